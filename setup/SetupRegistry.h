// The only code of SetupSheet that talks to the registry.
//
// Every page reads and writes its logical device keys through this class, so that a page
// holds no registry handle of its own and tests can count or refuse writes by wrapping it.
// Values are REG_SZ text; switches and list positions are stored as three-digit code text
// (FormatCode), numbers typed by the user as typed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_paths.h"

namespace setup {

// Key paths below HKEY_LOCAL_MACHINE; a device key is the root followed by its name.
inline constexpr const char* kPrinterRoot = thermpos::platform::regpath::kPrinterRoot;
inline constexpr const char* kDrawerRoot = thermpos::platform::regpath::kDrawerRoot;
// Our map of Windows-style port names to device paths (the spooler's port settings).
inline constexpr const char* kPortMapKey = thermpos::platform::regpath::kPorts;

// The lists of the pages hold at most this many logical device names.
inline constexpr std::size_t kMaxDevices = 260;
// Texts typed or chosen are stored from at most this many characters; the edit boxes
// accept no more, so what the user sees is what is stored.
inline constexpr std::size_t kEditLimit = 7;

// "%0003u": at least three digits with leading zeros (5 -> "005", 2000 -> "2000").
std::string FormatCode(unsigned value);

// Decimal value of the leading digits; empty or non-numeric text gives 0. Saturates
// instead of overflowing, so no text can wrap round to a small number.
unsigned ParseDecimal(std::string_view text);

// The first `limit` characters of text.
std::string Truncate(std::string_view text, std::size_t limit);

struct DeviceList {
    bool rootOpened = false;         // false: the root key is missing or not accessible
    std::vector<std::string> names;  // in registry enumeration order, at most kMaxDevices
};

class CSetupRegistry {
  public:
    virtual ~CSetupRegistry() = default;

    // The value's text, or nothing when the key cannot be opened with full access or the
    // value does not exist. keyPath is a full path such as kPrinterRoot + name; a path
    // that ends in a backslash (no device name) names no device and reads nothing.
    virtual std::optional<std::string> ReadValue(const std::string& valueName,
                                                 const std::string& keyPath);

    // Stores text as REG_SZ into an existing key and flushes it. Never creates the key.
    // False when the key cannot be opened or the store fails; the caller shows nothing.
    virtual bool WriteValue(const std::string& valueName, const std::string& text,
                            const std::string& keyPath);

    // Whether root (kPrinterRoot or kDrawerRoot) opens with full access.
    virtual bool CanOpenRoot(const std::string& root);

    // The subkeys of root whose value `filterValue` is exactly (case-sensitive) `wanted`.
    virtual DeviceList EnumerateDevices(const std::string& root, const std::string& filterValue,
                                        const std::string& wanted);

    // Device path behind a port name in the Ports map ("LPT1" -> "/dev/lp0").
    virtual std::optional<std::string> ReadPortMapping(const std::string& port);
    // Creates the Ports key when needed; an empty path removes the entry, so the port
    // falls back to its default device.
    virtual bool WritePortMapping(const std::string& port, const std::string& devicePath);
};

// Convenience for the pages: the logical device keys.
inline std::string PrinterKey(const std::string& name) {
    return kPrinterRoot + name;
}
inline std::string DrawerKey(const std::string& name) {
    return kDrawerRoot + name;
}

}  // namespace setup
