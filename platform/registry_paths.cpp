#include "platform/registry_paths.h"

#include "platform/portname.h"

namespace thermpos::regpath {

const char* HardwareKeyForModel(std::string_view modelKey) {
    using portname::EqualNoCase;
    if (EqualNoCase(modelKey, kModelKeyRtk6100))
        return kHardwareKeyRtk6100;
    if (EqualNoCase(modelKey, kModelKeyRtk410) || EqualNoCase(modelKey, kModelKeyQmx5500))
        return kHardwareKeyRtk410;
    return nullptr;
}

std::string DeviceKeyPath(std::string_view deviceClass, std::string_view deviceName) {
    std::string path = kServiceOpos;
    path += '\\';
    path += deviceClass;
    path += '\\';
    path += deviceName;
    return path;
}

}  // namespace thermpos::regpath
