#include "platform/registry_paths.h"

namespace thermpos::platform::regpath {

std::string DeviceKeyPath(std::string_view deviceClass, std::string_view deviceName) {
    std::string path = kServiceOpos;
    path += '\\';
    path += deviceClass;
    path += '\\';
    path += deviceName;
    return path;
}

}  // namespace thermpos::platform::regpath
