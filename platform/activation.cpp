// Activation of in-process servers by CLSID or ProgID.
//
// Threads: none started. Lock: g_libraries.mutex guards the table of loaded libraries;
// it is held only around loading, the export look-up and the table, never while calling a
// server's entry points.
#include "platform/activation.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#ifndef _WIN32
#include "platform/file_trust.h"
#endif
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::platform::com {

namespace {

struct Libraries {
    std::mutex mutex;
    std::map<std::string, void*> handles;  // by path; guarded by mutex; never unloaded
};
Libraries g_libraries;

// Why this thread's last activation could not load its library.
thread_local std::string t_lastError;

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

// The exported function `name` of the server library at path, loading the library the
// first time. A library newly loaded for an entry it lacks is unloaded again: nothing of
// it was used.
HRESULT FindServerEntry(const std::string& path, const char* name, void** entry, std::string* why) {
    std::lock_guard<std::mutex> lock(g_libraries.mutex);
    void* handle = nullptr;
    const auto it = g_libraries.handles.find(path);
    const bool loaded = it != g_libraries.handles.end();
    if (loaded) {
        handle = it->second;
    } else {
        // A stored path is loaded only when nobody but root and this user could have put
        // the library there: a relative one would load whatever the current folder holds,
        // one that another user may replace would run their code in this process. The
        // resolved path is what is loaded, so a link swapped after the check changes
        // nothing.
        std::string error;
        std::string resolved;
        HRESULT refused = S_OK;
        if (!module::IsAbsolutePath(path)) {
            error = path + ": a server library is loaded only by an absolute path";
            refused = E_ACCESSDENIED;
        } else {
#ifdef _WIN32
            // The folders' access lists guard a library on Windows, as for every server.
            resolved = path;
#else
            std::string problem = platform::UntrustedFile(path, platform::TrustRules{false, true},
                                                          nullptr, &resolved);
            if (!problem.empty()) {
                // A library that is not there is "not found", not refused.
                refused = resolved.empty() ? CO_E_DLLNOTFOUND : E_ACCESSDENIED;
                error = std::move(problem);
            }
#endif
        }
        if (refused == S_OK) {
            handle = module::Load(resolved, &error);
            if (!handle)
                refused = CO_E_DLLNOTFOUND;
        }
        if (refused != S_OK) {
            t_lastError = error;
            if (why)
                *why = std::move(error);
            return refused;
        }
    }
    void* found = module::ExportAddress(handle, name);
    if (!found) {
        if (!loaded)
            module::Release(handle);
        return CO_E_ERRORINDLL;
    }
    if (!loaded)
        g_libraries.handles.emplace(path, handle);
    *entry = found;
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

HRESULT CallServerRegistration(const std::string& path, bool unregister, std::string* why) {
    void* entry = nullptr;
    const HRESULT hr = FindServerEntry(
        path, unregister ? "DllUnregisterServer" : "DllRegisterServer", &entry, why);
    if (FAILED(hr))
        return hr;
    return reinterpret_cast<ServerEntryFn>(entry)();
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

ThreadApartment::ThreadApartment() {
#ifdef _WIN32
    result_ = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
#else
    result_ = S_OK;
#endif
}

ThreadApartment::~ThreadApartment() {
#ifdef _WIN32
    if (SUCCEEDED(result_))
        ::CoUninitialize();
#endif
}

std::string LastActivationError() {
    return t_lastError;
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
        case E_ACCESSDENIED:
            return "server library refused (a relative path, or a file or folder another user "
                   "owns or may write)";
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

}  // namespace thermpos::platform::com

#ifndef _WIN32  // ole32 activates on Windows
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
    if (!progId || !clsid)
        return E_INVALIDARG;
    std::string narrow;
    for (const OLECHAR* p = progId; *p; ++p) {
        if (*p >= 0x80 || narrow.size() > 255)
            return CO_E_CLASSSTRING;
        narrow += static_cast<char>(*p);
    }
    return thermpos::platform::com::ClsidFromProgId(narrow, clsid);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD /*context*/, REFIID iid,
                         void** object) {
    using namespace thermpos::platform::com;
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    std::string path;
    HRESULT hr = InprocServerPath(clsid, &path);
    if (FAILED(hr))
        return hr;
    void* entry = nullptr;
    hr = FindServerEntry(path, "DllGetClassObject", &entry, nullptr);
    if (FAILED(hr))
        return hr;
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(entry);
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
#endif  // _WIN32
