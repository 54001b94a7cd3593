// What the port list takes from the system itself, besides the registry's Ports map and
// USB printer entries: one twin per system (portlist_posix.cpp, portlist_win32.cpp).
// Private to the port list.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/portlist.h"

namespace thermpos::platform::portlist::detail {

// Sysfs attributes are a page at most.
inline constexpr std::size_t kMaxAttribute = 4096;

// "COM12" from 3 -> 12; 0 when the rest is not 1 to 6 digits.
unsigned long TrailingNumber(std::string_view s, std::size_t from);

// A sysfs attribute's text (at most kMaxAttribute bytes) without trailing white space;
// empty when it cannot be read.
std::string ReadAttribute(const std::filesystem::path& file);

// The port names the system offers, in any order, with or without a colon ("COM1",
// "LPT2:", "USB001", "IP_10.0.0.5"); the list sorts them, drops duplicates and leaves out
// names the Ports map decides. Here, serial and parallel device nodes under roots.dev;
// on Windows, the spooler's ports, the serial ports of the device map and the USB printer
// interfaces whose USB device keepUsb keeps (roots are not used there).
std::vector<std::string> SystemPortNames(const Roots& roots, UsbHardwareFilter keepUsb);

}  // namespace thermpos::platform::portlist::detail
