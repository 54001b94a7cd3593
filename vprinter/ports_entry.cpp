// The virtual printer's entry in the registry's Ports map. See ports_entry.h.
#include "vprinter/ports_entry.h"

#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::vprinter {

using platform::regpath::kPorts;

bool PortsEntry::Publish(const std::string& name, const std::string& value, std::string* error) {
    if (name == name_ && value == value_)
        return true;
    platform::registry::KeyHolder key;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPorts, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE | KEY_QUERY_VALUE, nullptr, key.Out(), nullptr);
    if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExA(key.Get(), name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
    }
    if (rc != ERROR_SUCCESS) {
        *error = "registry Ports entry " + name + ": error " + std::to_string(rc);
        return false;
    }
    name_ = name;
    value_ = value;
    return true;
}

void PortsEntry::Withdraw() {
    if (value_.empty())
        return;
    platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPorts, 0, KEY_ALL_ACCESS, key.Out()) == ERROR_SUCCESS) {
        char current[4096];
        DWORD size = sizeof current;
        DWORD type = 0;
        if (RegQueryValueExA(key.Get(), name_.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(current), &size) == ERROR_SUCCESS &&
            type == REG_SZ && size > 0 && std::string(current, size - 1) == value_)
            (void)RegDeleteValueA(key.Get(), name_.c_str());
    }
    value_.clear();
}

}  // namespace thermpos::vprinter
