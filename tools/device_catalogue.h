// The nine logical devices the service objects serve, and where their registry keys live.
//
// One table for every part that needs the list: `thermpos install-devices` writes the keys
// from it, and the service objects, the configuration utility and the tests can look a
// name up here instead of repeating the strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace thermpos::devices {

// Parent of the device class keys ("POSPrinter", "CashDrawer"), below HKEY_LOCAL_MACHINE.
inline constexpr char kServiceOposKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS";

inline constexpr char kPrinterClass[] = "POSPrinter";
inline constexpr char kDrawerClass[] = "CashDrawer";
inline constexpr char kPrinterProgId[] = "QMX.Thermal.POSPrinter";
inline constexpr char kDrawerProgId[] = "QMX.Thermal.CashDrawer";
inline constexpr char kServiceObjectVersion[] = "1008000";

struct LogicalDevice {
    const char* deviceClass;  // kPrinterClass or kDrawerClass
    const char* name;         // logical device name
    const char* progId;       // the key's default value
    const char* model;        // "RT-K410", "QMX5500", "RT-K6100"
    const char* printerName;  // the printer this device belongs to (itself for a printer)
    int drawerNumber;         // drawer kick connector 1 or 2; 0 for a printer
    // Model key naming the printer's USB printing instances and selecting the status
    // monitor's per-model cases; empty for drawers.
    const char* physicalDeviceId;
    const char* serviceObjectDescription;
    const char* deviceDescription;
};

// The RT-K6100's model key is the one the USB printer walk and the status monitor know
// ("TALVERNRT-K6100"); the model's built-in fallback ("QMXRT-K6100") matches neither, so
// an installed device carries the working key.
inline constexpr LogicalDevice kLogicalDevices[] = {
    {kPrinterClass, "RTK410.TALVERN.POSPrinter", kPrinterProgId, "RT-K410",
     "RTK410.TALVERN.POSPrinter", 0, "QMXRT-K410", "QMX Thermal POSPrinter Service Object",
     "TALVERN RT-K410 Thermal Receipt Printer"},
    {kPrinterClass, "QMX5500TYPEII.TALVERN.POSPrinter", kPrinterProgId, "QMX5500",
     "QMX5500TYPEII.TALVERN.POSPrinter", 0, "QMXQMX5500", "QMX Thermal POSPrinter Service Object",
     "TALVERN QMX5500 Type II Thermal Receipt Printer"},
    {kPrinterClass, "RTK6100.TALVERN.POSPrinter", kPrinterProgId, "RT-K6100",
     "RTK6100.TALVERN.POSPrinter", 0, "TALVERNRT-K6100", "QMX Thermal POSPrinter Service Object",
     "TALVERN RT-K6100 Thermal Receipt Printer"},
    {kDrawerClass, "RTK410.TALVERN.CD1", kDrawerProgId, "RT-K410", "RTK410.TALVERN.POSPrinter", 1,
     "", "QMX Thermal CashDrawer Service Object", "TALVERN RT-K410 Cash Drawer 1"},
    {kDrawerClass, "RTK410.TALVERN.CD2", kDrawerProgId, "RT-K410", "RTK410.TALVERN.POSPrinter", 2,
     "", "QMX Thermal CashDrawer Service Object", "TALVERN RT-K410 Cash Drawer 2"},
    {kDrawerClass, "QMX5500TYPEII.TALVERN.CD1", kDrawerProgId, "QMX5500",
     "QMX5500TYPEII.TALVERN.POSPrinter", 1, "", "QMX Thermal CashDrawer Service Object",
     "TALVERN QMX5500 Type II Cash Drawer 1"},
    {kDrawerClass, "QMX5500TYPEII.TALVERN.CD2", kDrawerProgId, "QMX5500",
     "QMX5500TYPEII.TALVERN.POSPrinter", 2, "", "QMX Thermal CashDrawer Service Object",
     "TALVERN QMX5500 Type II Cash Drawer 2"},
    {kDrawerClass, "RTK6100.TALVERN.CD1", kDrawerProgId, "RT-K6100", "RTK6100.TALVERN.POSPrinter",
     1, "", "QMX Thermal CashDrawer Service Object", "TALVERN RT-K6100 Cash Drawer 1"},
    {kDrawerClass, "RTK6100.TALVERN.CD2", kDrawerProgId, "RT-K6100", "RTK6100.TALVERN.POSPrinter",
     2, "", "QMX Thermal CashDrawer Service Object", "TALVERN RT-K6100 Cash Drawer 2"},
};

inline constexpr std::size_t kLogicalDeviceCount =
    sizeof kLogicalDevices / sizeof kLogicalDevices[0];

inline bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

// The device of that class and name (both compared without regard to case), or null.
inline const LogicalDevice* FindLogicalDevice(std::string_view deviceClass, std::string_view name) {
    for (const auto& device : kLogicalDevices) {
        if (SameNameIgnoringCase(device.deviceClass, deviceClass) &&
            SameNameIgnoringCase(device.name, name))
            return &device;
    }
    return nullptr;
}

// "SOFTWARE\OLEforRetail\ServiceOPOS\<class>\<name>", below HKEY_LOCAL_MACHINE.
inline std::string DeviceKeyPath(std::string_view deviceClass, std::string_view name) {
    std::string path = kServiceOposKey;
    path += '\\';
    path += deviceClass;
    path += '\\';
    path += name;
    return path;
}

inline std::string DeviceKeyPath(const LogicalDevice& device) {
    return DeviceKeyPath(device.deviceClass, device.name);
}

}  // namespace thermpos::devices
