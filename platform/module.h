// Shared libraries by path: what LoadLibrary, GetModuleHandle and GetProcAddress do for
// the code that needs a server library's exports directly (registration, tests).
//
// Libraries are never unloaded through this interface: servers and their objects may
// outlive every pointer a caller knows of, as activation.h explains.
//
// Thread safety: any thread; the system loader serialises the calls.
#pragma once

#include <string>

namespace thermpos::module {

// Loads the library at `path` (or finds it, when it is loaded already) with every symbol
// resolved at once, and keeps it loaded. Null with *error set to the loader's message.
[[nodiscard]] void* Load(const std::string& path, std::string* error);

// The library at `path` if this process has loaded it, without loading it (like
// GetModuleHandle); null otherwise.
[[nodiscard]] void* FindLoaded(const std::string& path);

// The address of an exported function, or null when the library has none of that name.
[[nodiscard]] void* ExportAddress(void* library, const char* name);

// The same, typed: Export<HRESULT (*)()>(library, "DllRegisterServer").
template <typename Function>
[[nodiscard]] Function Export(void* library, const char* name) {
    return reinterpret_cast<Function>(ExportAddress(library, name));
}

}  // namespace thermpos::module
