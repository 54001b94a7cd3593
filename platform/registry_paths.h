// Where things live in the registry: the one place these paths are spelt. Every path is
// below HKEY_LOCAL_MACHINE.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace thermpos::platform::regpath {

// Joins string literals at compile time, so that the longer paths below are built from
// the shorter ones instead of repeating them.
template <std::size_t A, std::size_t B>
constexpr std::array<char, A + B - 1> Join(const char (&a)[A], const char (&b)[B]) {
    std::array<char, A + B - 1> out{};
    for (std::size_t i = 0; i + 1 < A; ++i)
        out[i] = a[i];
    for (std::size_t i = 0; i < B; ++i)
        out[A - 1 + i] = b[i];
    return out;
}

// Parent of the device class keys; a logical device is kServiceOpos\<class>\<name>.
inline constexpr char kServiceOpos[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS";
inline constexpr char kPrinterClass[] = "POSPrinter";
inline constexpr char kDrawerClass[] = "CashDrawer";

// The class keys with a trailing separator, ready for a device name to be appended.
inline constexpr auto kPrinterRootText = Join(kServiceOpos, "\\POSPrinter\\");
inline constexpr auto kDrawerRootText = Join(kServiceOpos, "\\CashDrawer\\");
inline constexpr const char* kPrinterRoot = kPrinterRootText.data();
inline constexpr const char* kDrawerRoot = kDrawerRootText.data();

// Our map of Windows-style port names to device paths ("COM1"="/dev/ttyUSB0").
inline constexpr char kPorts[] = "SOFTWARE\\ThermPOS\\Ports";

// In-process server registration: Classes\<ProgID>\CLSID and Classes\CLSID\{guid}.
inline constexpr char kClasses[] = "SOFTWARE\\Classes";

// The system's device tree, as the USB printer walk reads it: printing instances under
// kUsbPrint\<model key>, their USB devices under kUsb\<hardware key>.
inline constexpr char kDeviceEnum[] = "SYSTEM\\CurrentControlSet\\Enum";
inline constexpr auto kUsbPrintText = Join(kDeviceEnum, "\\USBPRINT");
inline constexpr auto kUsbText = Join(kDeviceEnum, "\\USB");
inline constexpr const char* kUsbPrint = kUsbPrintText.data();
inline constexpr const char* kUsb = kUsbText.data();

// kServiceOpos\<deviceClass>\<deviceName>.
std::string DeviceKeyPath(std::string_view deviceClass, std::string_view deviceName);

}  // namespace thermpos::platform::regpath
