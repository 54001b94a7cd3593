// Loading libraries on Windows: LoadLibrary and the loader's own module list.
#include "platform/module.h"

#include "platform/win32.h"

namespace thermpos::platform::module {

namespace {

std::string ModuleFileName(HMODULE module) {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

}  // namespace

void* Load(const std::string& path, std::string* error) {
    // The library's own folder is searched for what it depends on, not the current one.
    HMODULE library = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library && error)
        *error = path + ": cannot be loaded (error " + std::to_string(::GetLastError()) + ")";
    return reinterpret_cast<void*>(library);
}

void Release(void* library) {
    if (library)
        ::FreeLibrary(reinterpret_cast<HMODULE>(library));
}

void* FindLoaded(const std::string& path) {
    HMODULE library = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, path.c_str(), &library))
        return nullptr;
    return reinterpret_cast<void*>(library);
}

void* ExportAddress(void* library, const char* name) {
    if (!library)
        return nullptr;
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

std::string PathOf(const void* address) {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<const char*>(address), &module))
        return ExecutablePath();
    return ModuleFileName(module);
}

std::string ExecutablePath() {
    return ModuleFileName(nullptr);
}

}  // namespace thermpos::platform::module
