// Shared libraries by path over the system loader.
#include "platform/module.h"

#include <dlfcn.h>

namespace thermpos::module {

void* Load(const std::string& path, std::string* error) {
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        *error = why ? why : path + ": cannot be loaded";
    }
    return library;
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

}  // namespace thermpos::module
