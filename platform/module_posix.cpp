// Shared libraries by path over the system loader.
#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

namespace thermpos::platform::module {

void* Load(const std::string& path, std::string* error) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        *error = why ? why : path + ": cannot be loaded";
    }
    return library;
}

void Release(void* library) {
    if (library)
        ::dlclose(library);
}

void* FindLoaded(const std::string& path) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    // The look-up took a reference of its own; the library stays loaded by whoever
    // loaded it, so the handle stays good after giving that reference back.
    if (library)
        ::dlclose(library);
    return library;
}

void* ExportAddress(void* library, const char* name) {
    return library ? ::dlsym(library, name) : nullptr;
}

std::string PathOf(const void* address) {
    Dl_info info{};
    if (!::dladdr(address, &info) || !info.dli_fname)
        return {};
    char resolved[PATH_MAX];
    if (*info.dli_fname && ::realpath(info.dli_fname, resolved))
        return resolved;
    // The main program may be reported by a bare or empty name.
    return ExecutablePath();
}

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    path[n] = '\0';
    return path;
}

}  // namespace thermpos::platform::module
