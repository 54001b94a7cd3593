// Shared libraries by path: what LoadLibrary, GetModuleHandle, GetProcAddress and
// GetModuleFileName do for the code that needs a server library's exports directly
// (activation, registration, tests).
//
// A library is unloaded only by Release, for one of which nothing was used: servers and
// their objects may outlive every pointer a caller knows of, as activation.h explains.
//
// Thread safety: any thread; the system loader serialises the calls.
#pragma once

#include <string>

namespace thermpos::platform::module {

// Whether path is absolute here: "/..." on POSIX; "C:\...", "C:/..." or "\\..." (UNC and
// device paths) on Windows.
inline bool IsAbsolutePath(const std::string& path) {
#ifdef _WIN32
    if (path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
        path[1] == ':' && (path[2] == '\\' || path[2] == '/'))
        return true;
    return path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
#else
    return !path.empty() && path[0] == '/';
#endif
}

// Loads the library at `path` (or finds it, when it is loaded already) with every symbol
// resolved at once, and keeps it loaded. Null with *error set to the loader's message.
[[nodiscard]] void* Load(const std::string& path, std::string* error);

// Gives back what one Load took: the library is unloaded when no other Load holds it.
// Only for a library none of whose code or objects were used.
void Release(void* library);

// The library at `path` if this process has loaded it, without loading it (like
// GetModuleHandle); null otherwise.
[[nodiscard]] void* FindLoaded(const std::string& path);

// The address of an exported function, or null when the library has none of that name.
[[nodiscard]] void* ExportAddress(void* library, const char* name);

// The same, typed: Export<com::ServerEntryFn>(library, "DllRegisterServer") (activation.h).
template <typename Function>
[[nodiscard]] Function Export(void* library, const char* name) {
    return reinterpret_cast<Function>(ExportAddress(library, name));
}

// Absolute path, links resolved, of the loaded library or program that holds `address`;
// empty when the loader cannot tell.
[[nodiscard]] std::string PathOf(const void* address);

// Absolute path of the running program; empty when the system cannot tell.
[[nodiscard]] std::string ExecutablePath();

}  // namespace thermpos::platform::module
