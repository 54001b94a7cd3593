#include "setup/SetupRegistry.h"

#include <climits>
#include <cstdio>
#include <vector>

#include "platform/regkey.h"

namespace setup {
namespace {

// Values larger than this are not settings of ours; refusing them keeps a damaged hive
// from making the utility allocate without bound.
constexpr DWORD kMaxValueBytes = 64 * 1024;
// Enumeration stops after this many indices even if the store never says "no more";
// a broken store must not hang the utility.
constexpr DWORD kMaxEnumerationIndex = 100000;

class KeyHandle : public thermpos::platform::registry::KeyHolder {
  public:
    bool Open(const std::string& path, REGSAM sam) {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, sam, Out()) == ERROR_SUCCESS;
    }
    bool Create(const std::string& path) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, Out(),
                               nullptr) == ERROR_SUCCESS;
    }
};

// A device path is "root + name"; without a name it would be the root itself, and writing
// settings into the root would scatter them over every device.
bool NamesDevice(const std::string& keyPath) {
    return !keyPath.empty() && keyPath.back() != '\\';
}

std::string WithoutTrailingSeparator(std::string path) {
    while (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

std::optional<std::string> QueryText(HKEY key, const char* valueName) {
    DWORD size = 0;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size > kMaxValueBytes) {
        return std::nullopt;
    }
    // One byte more than the value, zero-filled: a value stored without its terminating
    // zero still reads as terminated text.
    std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
    DWORD got = size;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()),
                         &got) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::string(buffer.data());
}

}  // namespace

std::string FormatCode(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u", value);
    return text;
}

unsigned ParseDecimal(std::string_view text) {
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > UINT_MAX) {
            return UINT_MAX;
        }
    }
    return static_cast<unsigned>(value);
}

std::string Truncate(std::string_view text, std::size_t limit) {
    return std::string(text.substr(0, limit));
}

std::optional<std::string> CSetupRegistry::ReadValue(const std::string& valueName,
                                                     const std::string& keyPath) {
    if (!NamesDevice(keyPath)) {
        return std::nullopt;
    }
    KeyHandle key;
    if (!key.Open(keyPath, KEY_ALL_ACCESS)) {
        return std::nullopt;
    }
    return QueryText(key.Get(), valueName.c_str());
}

bool CSetupRegistry::WriteValue(const std::string& valueName, const std::string& text,
                                const std::string& keyPath) {
    if (!NamesDevice(keyPath) || text.size() >= kMaxValueBytes) {
        return false;
    }
    KeyHandle key;
    if (!key.Open(keyPath, KEY_SET_VALUE)) {
        return false;
    }
    if (RegSetValueExA(key.Get(), valueName.c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)) != ERROR_SUCCESS) {
        return false;
    }
    // Fails when the key was deleted meanwhile, and the value with it.
    return RegFlushKey(key.Get()) == ERROR_SUCCESS;
}

bool CSetupRegistry::CanOpenRoot(const std::string& root) {
    KeyHandle key;
    return key.Open(WithoutTrailingSeparator(root), KEY_ALL_ACCESS);
}

DeviceList CSetupRegistry::EnumerateDevices(const std::string& root, const std::string& filterValue,
                                            const std::string& wanted) {
    DeviceList list;
    KeyHandle rootKey;
    if (!rootKey.Open(WithoutTrailingSeparator(root), KEY_ALL_ACCESS)) {
        return list;
    }
    list.rootOpened = true;
    for (DWORD index = 0; index < kMaxEnumerationIndex && list.names.size() < kMaxDevices;
         ++index) {
        char name[1024];
        DWORD length = sizeof name;
        LONG result =
            RegEnumKeyExA(rootKey.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        // An index the store cannot name (a vanished key, a name too long for the buffer)
        // is passed over; its neighbours still count.
        if (result != ERROR_SUCCESS || length >= sizeof name) {
            continue;
        }
        std::string device(name, length);
        KeyHandle deviceKey;
        if (!deviceKey.Open(WithoutTrailingSeparator(root) + "\\" + device, KEY_ALL_ACCESS)) {
            continue;
        }
        std::optional<std::string> value = QueryText(deviceKey.Get(), filterValue.c_str());
        if (value && *value == wanted) {
            list.names.push_back(std::move(device));
        }
    }
    return list;
}

std::optional<std::string> CSetupRegistry::ReadPortMapping(const std::string& port) {
    KeyHandle key;
    if (port.empty() || !key.Open(kPortMapKey, KEY_QUERY_VALUE)) {
        return std::nullopt;
    }
    return QueryText(key.Get(), port.c_str());
}

bool CSetupRegistry::WritePortMapping(const std::string& port, const std::string& devicePath) {
    if (port.empty() || devicePath.size() >= kMaxValueBytes) {
        return false;
    }
    KeyHandle key;
    if (!key.Create(kPortMapKey)) {
        return false;
    }
    LONG result;
    if (devicePath.empty()) {
        result = RegDeleteValueA(key.Get(), port.c_str());
        if (result == ERROR_FILE_NOT_FOUND) {
            result = ERROR_SUCCESS;
        }
    } else {
        result = RegSetValueExA(key.Get(), port.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(devicePath.c_str()),
                                static_cast<DWORD>(devicePath.size() + 1));
    }
    if (result == ERROR_SUCCESS) {
        result = RegFlushKey(key.Get());
    }
    return result == ERROR_SUCCESS;
}

}  // namespace setup
