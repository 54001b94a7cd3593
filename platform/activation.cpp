// Activation of in-process servers by CLSID or ProgID.
//
// Threads: none started. Lock: g_libraries.mutex guards the table of loaded libraries;
// it is held only around dlopen/dlsym and the table, never while calling a server.
#include "platform/activation.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::com {

namespace {

using GetClassObjectFn = HRESULT (*)(const GUID*, const GUID*, void**);

struct Libraries {
    std::mutex mutex;
    std::map<std::string, GetClassObjectFn> entries;  // guarded by mutex; never unloaded
};
Libraries g_libraries;

// Longest registry text we read (paths, GUIDs); longer values are not ours.
constexpr DWORD kMaxValue = 4096;

// Default value of HKLM\path as text; ERROR_FILE_NOT_FOUND when key or value is missing.
LONG ReadDefault(const std::string& path, std::string* out) {
    registry::KeyHolder key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.Out());
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD type = 0;
    DWORD size = 0;
    rc = RegQueryValueExA(key.Get(), nullptr, nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS && (type != REG_SZ && type != REG_EXPAND_SZ))
        rc = ERROR_INVALID_DATA;
    if (rc == ERROR_SUCCESS && size > kMaxValue)
        rc = ERROR_INVALID_DATA;
    if (rc == ERROR_SUCCESS) {
        std::string buffer(size + 1, '\0');
        DWORD got = size;
        rc = RegQueryValueExA(key.Get(), nullptr, nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &got);
        if (rc == ERROR_SUCCESS) {
            buffer.resize(std::min<size_t>(got, buffer.size()));
            // Stored with its terminating zero; anything after the first zero is not text.
            if (auto zero = buffer.find('\0'); zero != std::string::npos)
                buffer.resize(zero);
            *out = buffer;
        }
    }
    return rc;
}

HRESULT LoadServer(const std::string& path, GetClassObjectFn* entry) {
    std::lock_guard<std::mutex> lock(g_libraries.mutex);
    auto it = g_libraries.entries.find(path);
    if (it != g_libraries.entries.end()) {
        *entry = it->second;
        return S_OK;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return CO_E_DLLNOTFOUND;
    auto fn = reinterpret_cast<GetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
    if (!fn) {
        dlclose(handle);  // nothing of it was used
        return CO_E_ERRORINDLL;
    }
    g_libraries.entries.emplace(path, fn);
    *entry = fn;
    return S_OK;
}

}  // namespace

HRESULT ClsidFromProgId(std::string_view progId, CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    if (progId.empty() || progId.size() > 255 || progId.find('\\') != std::string_view::npos ||
        progId.find('\0') != std::string_view::npos)
        return CO_E_CLASSSTRING;
    std::string text;
    if (ReadDefault(std::string(regpath::kClasses) + "\\" + std::string(progId) + "\\CLSID",
                    &text) != ERROR_SUCCESS)
        return CO_E_CLASSSTRING;
    if (!GuidFromString(text.c_str(), clsid))
        return CO_E_CLASSSTRING;
    return S_OK;
}

HRESULT InprocServerPath(const CLSID& clsid, std::string* path) {
    if (!path)
        return E_POINTER;
    char guid[39];
    GuidToString(clsid, guid);
    std::string text;
    if (ReadDefault(std::string(regpath::kClasses) + "\\CLSID\\" + guid + "\\InprocServer32",
                    &text) != ERROR_SUCCESS ||
        text.empty())
        return REGDB_E_CLASSNOTREG;
    *path = text;
    return S_OK;
}

HRESULT CreateObjectByProgID(std::string_view progId, IDispatch** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    CLSID clsid;
    HRESULT hr = ClsidFromProgId(progId, &clsid);
    if (FAILED(hr))
        return hr;
    return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(object));
}

std::string DescribeActivationError(HRESULT hr) {
    switch (hr) {
        case S_OK:
            return "success";
        case CO_E_CLASSSTRING:
            return "ProgID not registered";
        case REGDB_E_CLASSNOTREG:
            return "class not registered";
        case CO_E_DLLNOTFOUND:
            return "server library cannot be loaded";
        case CO_E_ERRORINDLL:
            return "server library has no DllGetClassObject";
        case CLASS_E_CLASSNOTAVAILABLE:
            return "server library does not provide the class";
        case CLASS_E_NOAGGREGATION:
            return "class does not support aggregation";
        case E_NOINTERFACE:
            return "object does not support the interface";
        case E_OUTOFMEMORY:
            return "out of memory";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "error 0x%08X", static_cast<unsigned>(hr));
            return text;
        }
    }
}

}  // namespace thermpos::com

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    if (!progId || !clsid)
        return E_INVALIDARG;
    std::string narrow;
    for (const OLECHAR* p = progId; *p; ++p) {
        if (*p >= 0x80 || narrow.size() > 255)
            return CO_E_CLASSSTRING;
        narrow += static_cast<char>(*p);
    }
    return thermpos::com::ClsidFromProgId(narrow, clsid);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD /*context*/, REFIID iid,
                         void** object) {
    using namespace thermpos::com;
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    std::string path;
    HRESULT hr = InprocServerPath(clsid, &path);
    if (FAILED(hr))
        return hr;
    GetClassObjectFn getClassObject = nullptr;
    hr = LoadServer(path, &getClassObject);
    if (FAILED(hr))
        return hr;
    IClassFactory* factory = nullptr;
    hr = getClassObject(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    if (!factory)
        return E_UNEXPECTED;
    hr = factory->CreateInstance(nullptr, iid, object);
    factory->Release();
    if (FAILED(hr))
        *object = nullptr;
    return hr;
}
