#include "so/core/DeviceConfig.h"

#include <cctype>
#include <cstdint>
#include <vector>

#include "platform/portname.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::so {

namespace {

// Configuration values are short texts; anything larger is not ours.
constexpr DWORD kMaxValueBytes = 64 * 1024;

using thermpos::platform::registry::KeyHolder;

bool OpenDeviceKey(const std::string& deviceClass, const std::string& deviceName, KeyHolder* key) {
    return RegOpenKeyExA(
               HKEY_LOCAL_MACHINE,
               thermpos::platform::regpath::DeviceKeyPath(deviceClass, deviceName).c_str(), 0,
               KEY_READ, key->Out()) == ERROR_SUCCESS;
}

}  // namespace

bool DeviceKeyExists(const std::string& deviceClass, const std::string& deviceName) {
    // Empty parts would name the class key or the ServiceOPOS key itself.
    if (deviceClass.empty() || deviceName.empty())
        return false;
    KeyHolder key;
    return OpenDeviceKey(deviceClass, deviceName, &key);
}

std::optional<std::string> ReadDeviceValue(const std::string& valueName,
                                           const std::string& deviceClass,
                                           const std::string& deviceName) {
    if (deviceClass.empty() || deviceName.empty())
        return std::nullopt;
    KeyHolder key;
    if (!OpenDeviceKey(deviceClass, deviceName, &key))
        return std::nullopt;
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    if (size > kMaxValueBytes)
        return std::nullopt;
    // One byte more than the value keeps the content terminated whatever its type.
    std::vector<BYTE> buffer(size + 1, 0);
    DWORD read = size;
    LONG rc = RegQueryValueExA(key.Get(), valueName.c_str(), nullptr, &type, buffer.data(), &read);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;  // changed under us: treat as missing
    const char* text = reinterpret_cast<const char*>(buffer.data());
    return std::string(text);
}

LONG ParseDecimalText(const std::string& text) {
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX)
            return INT32_MAX;
    }
    return static_cast<LONG>(value);
}

LONG ReadDeviceNumber(const std::string& valueName, const std::string& deviceClass,
                      const std::string& deviceName, LONG fallback) {
    auto text = ReadDeviceValue(valueName, deviceClass, deviceName);
    return text ? ParseDecimalText(*text) : fallback;
}

bool IsSerialPortName(const std::string& port) {
    return thermpos::platform::portname::KindOf(port) ==
           thermpos::platform::portname::PortKind::Serial;
}
bool IsParallelPortName(const std::string& port) {
    return thermpos::platform::portname::KindOf(port) ==
           thermpos::platform::portname::PortKind::Parallel;
}

}  // namespace thermpos::so
