// Server helpers: dispatch object base, class factories, module counts, registration.
//
// Threads: none started. The module counts and reference counts are atomics.
#include "platform/comserver.h"

#include <new>

#include "platform/module.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::platform::com {

namespace {

std::atomic<LONG> g_objects{0};
std::atomic<LONG> g_locks{0};

}  // namespace

void ModuleObjectCreated() {
    g_objects.fetch_add(1);
}
void ModuleObjectDestroyed() {
    g_objects.fetch_sub(1);
}
LONG ModuleObjectCount() {
    return g_objects.load();
}
void ModuleLock() {
    g_locks.fetch_add(1);
}
void ModuleUnlock() {
    // An unbalanced LockServer(FALSE) must not drive the count negative and keep the
    // module pinned (or unloadable) for ever.
    LONG current = g_locks.load();
    while (current > 0 && !g_locks.compare_exchange_weak(current, current - 1)) {
    }
}
LONG ModuleLockCount() {
    return g_locks.load();
}
HRESULT ModuleCanUnloadNow() {
    return g_objects.load() == 0 && g_locks.load() == 0 ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------------------
// DispatchObject

DispatchObject::DispatchObject(const DispatchTable* table, void* self)
    : table_(table), self_(self) {
    ModuleObjectCreated();
}

DispatchObject::~DispatchObject() {
    ModuleObjectDestroyed();
}

HRESULT DispatchObject::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
        *object = static_cast<IDispatch*>(this);
    } else if (void* extra = QueryExtraInterface(riid)) {
        *object = extra;
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG DispatchObject::AddRef() {
    return refs_.fetch_add(1) + 1;
}

ULONG DispatchObject::Release() {
    ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) {
        // Keep the object alive through clean-up that may hand out and drop references.
        refs_.store(1);
        OnFinalRelease();
        delete this;
    }
    return left;
}

HRESULT DispatchObject::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT /*index*/, LCID /*lcid*/, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID /*riid*/, LPOLESTR* names, UINT count, LCID /*lcid*/,
                                      DISPID* dispIds) {
    if (!table_)
        return E_UNEXPECTED;
    return table_->GetIDsOfNames(names, count, dispIds);
}

HRESULT DispatchObject::Invoke(DISPID dispId, REFIID riid, LCID /*lcid*/, WORD flags,
                               DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                               UINT* argErr) {
    if (!(riid == IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (!table_)
        return E_UNEXPECTED;
    // The object must survive a handler that releases the caller's last reference.
    AddRef();
    HRESULT hr = table_->Invoke(self_, dispId, flags, params, result, excepInfo, argErr);
    Release();
    return hr;
}

// ---------------------------------------------------------------------------------------
// ClassFactory

ClassFactory::ClassFactory(CreateObjectFn create) : create_(create) {
    ModuleObjectCreated();
}

ClassFactory::~ClassFactory() {
    ModuleObjectDestroyed();
}

HRESULT ClassFactory::QueryInterface(REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!(riid == IID_IUnknown) && !(riid == IID_IClassFactory))
        return E_NOINTERFACE;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG ClassFactory::AddRef() {
    return refs_.fetch_add(1) + 1;
}

ULONG ClassFactory::Release() {
    ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0)
        delete this;
    return left;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    if (!create_)
        return E_UNEXPECTED;
    IUnknown* created = create_();
    if (!created)
        return E_OUTOFMEMORY;
    HRESULT hr = created->QueryInterface(riid, object);
    created->Release();  // the creator's reference; on failure this destroys the object
    return hr;
}

HRESULT ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleLock();
    else
        ModuleUnlock();
    return S_OK;
}

HRESULT GetClassObject(const ServerClass* classes, size_t count, const GUID* clsid, const GUID* iid,
                       void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!clsid || !iid)
        return E_INVALIDARG;
    for (size_t i = 0; i < count; ++i) {
        if (!(classes[i].clsid == *clsid))
            continue;
        auto* factory = new (std::nothrow) ClassFactory(classes[i].create);
        if (!factory)
            return E_OUTOFMEMORY;
        HRESULT hr = factory->QueryInterface(*iid, out);
        factory->Release();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// ---------------------------------------------------------------------------------------
// Registration

std::string ThisModulePath() {
    return module::PathOf(reinterpret_cast<const void*>(&ThisModulePath));
}

namespace {

using regpath::kClasses;

// Sets the default (valueName null) or a named REG_SZ value of root\path, creating keys.
LONG WriteString(const std::string& path, const char* valueName, const std::string& text) {
    registry::KeyHolder key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, key.Out(), nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    return RegSetValueExA(key.Get(), valueName, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

// A ProgID becomes one key name: it may hold neither a backslash nor be empty.
bool ValidProgId(const char* progId) {
    if (!progId || !*progId)
        return false;
    for (const char* p = progId; *p; ++p)
        if (*p == '\\')
            return false;
    return true;
}

// The class a ProgID names now: true and *clsid when it names one, false when the ProgID
// (or its CLSID value) is absent or not a GUID.
bool RegisteredClassOf(const char* progId, GUID* clsid) {
    registry::KeyHolder key;
    std::string path = std::string(kClasses) + "\\" + progId + "\\CLSID";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.Out()) !=
        ERROR_SUCCESS)
        return false;
    char value[64] = {};
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    return GuidFromString(value, clsid);
}

bool ProgIdNamesAnotherClass(const char* progId, const CLSID& ours) {
    GUID registered{};
    return RegisteredClassOf(progId, &registered) && !(registered == ours);
}

// Deletes one value of HKLM\path (null: the default value), then the key itself when that
// left it with no value and no subkey. A key or value already gone is fine.
LONG DeleteValueAndEmptyKey(const std::string& path, const char* valueName) {
    {
        registry::KeyHolder key;
        LONG rc =
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_SET_VALUE, key.Out());
        if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = RegDeleteValueA(key.Get(), valueName);
        if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
            return rc;
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        length = sizeof name;
        if (RegEnumValueA(key.Get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
    }
    const LONG rc = RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
}

// Why the server's objects may be created in any apartment: see ThreadingModel above.
constexpr char kThreadingModel[] = "Both";

}  // namespace

HRESULT RegisterServerClasses(const ServerClass* classes, size_t count,
                              const std::string& libraryPath) {
    if (!module::IsAbsolutePath(libraryPath))
        return SELFREG_E_CLASS;
    // Every refusal before the first write, so that a refused registration changes nothing.
    for (size_t i = 0; i < count; ++i) {
        if (!ValidProgId(classes[i].progId))
            return SELFREG_E_CLASS;
        if (classes[i].sharedProgId && ProgIdNamesAnotherClass(classes[i].progId, classes[i].clsid))
            return SELFREG_E_CLASS;
    }
    for (size_t i = 0; i < count; ++i) {
        const ServerClass& c = classes[i];
        char guid[39];
        GuidToString(c.clsid, guid);
        const std::string description = c.description ? c.description : "";
        const std::string clsidKey = std::string(kClasses) + "\\CLSID\\" + guid;
        const std::string progKey = std::string(kClasses) + "\\" + c.progId;
        LONG rc = WriteString(clsidKey, nullptr, description);
        if (rc == ERROR_SUCCESS)
            rc = WriteString(clsidKey + "\\InprocServer32", nullptr, libraryPath);
        if (rc == ERROR_SUCCESS)
            rc = WriteString(clsidKey + "\\InprocServer32", "ThreadingModel", kThreadingModel);
        if (rc == ERROR_SUCCESS)
            rc = WriteString(clsidKey + "\\ProgID", nullptr, c.progId);
        if (rc == ERROR_SUCCESS)
            rc = WriteString(progKey, nullptr, description);
        if (rc == ERROR_SUCCESS)
            rc = WriteString(progKey + "\\CLSID", nullptr, guid);
        if (rc != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT UnregisterServerClasses(const ServerClass* classes, size_t count) {
    HRESULT result = S_OK;
    auto remove = [&](const std::string& path, const char* valueName) {
        if (DeleteValueAndEmptyKey(path, valueName) != ERROR_SUCCESS)
            result = SELFREG_E_CLASS;
    };
    for (size_t i = 0; i < count; ++i) {
        const ServerClass& c = classes[i];
        char guid[39];
        GuidToString(c.clsid, guid);
        const std::string clsidKey = std::string(kClasses) + "\\CLSID\\" + guid;
        // Deepest first, so that each key is judged empty after its subkeys went.
        remove(clsidKey + "\\InprocServer32", "ThreadingModel");
        remove(clsidKey + "\\InprocServer32", nullptr);
        remove(clsidKey + "\\ProgID", nullptr);
        remove(clsidKey, nullptr);
        // A ProgID that now names another class belongs to whoever registered it since.
        if (ValidProgId(c.progId) && !ProgIdNamesAnotherClass(c.progId, c.clsid)) {
            const std::string progKey = std::string(kClasses) + "\\" + c.progId;
            remove(progKey + "\\CLSID", nullptr);
            remove(progKey, nullptr);
        }
    }
    return result;
}

}  // namespace thermpos::platform::com
