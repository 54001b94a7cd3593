// The nine logical devices of the product, as `thermpos install-devices` creates them.
//
// The service objects accept any device whose key exists; only the installation (and its
// tests) need the list itself. What a printer's model decides (its model key) comes from
// the model's profile (so/printer/ModelProfile.h), found by the printer's logical name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/portname.h"
#include "platform/registry_paths.h"
#include "so/printer/ModelProfile.h"

namespace thermpos::devices {

using platform::regpath::kDrawerClass;
using platform::regpath::kPrinterClass;

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
    const char* serviceObjectDescription;
    const char* deviceDescription;
};

inline constexpr LogicalDevice kLogicalDevices[] = {
    {kPrinterClass, "RTK410.TALVERN.POSPrinter", kPrinterProgId, "RT-K410",
     "RTK410.TALVERN.POSPrinter", 0, "QMX Thermal POSPrinter Service Object",
     "TALVERN RT-K410 Thermal Receipt Printer"},
    {kPrinterClass, "QMX5500TYPEII.TALVERN.POSPrinter", kPrinterProgId, "QMX5500",
     "QMX5500TYPEII.TALVERN.POSPrinter", 0, "QMX Thermal POSPrinter Service Object",
     "TALVERN QMX5500 Type II Thermal Receipt Printer"},
    {kPrinterClass, "RTK6100.TALVERN.POSPrinter", kPrinterProgId, "RT-K6100",
     "RTK6100.TALVERN.POSPrinter", 0, "QMX Thermal POSPrinter Service Object",
     "TALVERN RT-K6100 Thermal Receipt Printer"},
    {kDrawerClass, "RTK410.TALVERN.CD1", kDrawerProgId, "RT-K410", "RTK410.TALVERN.POSPrinter", 1,
     "QMX Thermal CashDrawer Service Object", "TALVERN RT-K410 Cash Drawer 1"},
    {kDrawerClass, "RTK410.TALVERN.CD2", kDrawerProgId, "RT-K410", "RTK410.TALVERN.POSPrinter", 2,
     "QMX Thermal CashDrawer Service Object", "TALVERN RT-K410 Cash Drawer 2"},
    {kDrawerClass, "QMX5500TYPEII.TALVERN.CD1", kDrawerProgId, "QMX5500",
     "QMX5500TYPEII.TALVERN.POSPrinter", 1, "QMX Thermal CashDrawer Service Object",
     "TALVERN QMX5500 Type II Cash Drawer 1"},
    {kDrawerClass, "QMX5500TYPEII.TALVERN.CD2", kDrawerProgId, "QMX5500",
     "QMX5500TYPEII.TALVERN.POSPrinter", 2, "QMX Thermal CashDrawer Service Object",
     "TALVERN QMX5500 Type II Cash Drawer 2"},
    {kDrawerClass, "RTK6100.TALVERN.CD1", kDrawerProgId, "RT-K6100", "RTK6100.TALVERN.POSPrinter",
     1, "QMX Thermal CashDrawer Service Object", "TALVERN RT-K6100 Cash Drawer 1"},
    {kDrawerClass, "RTK6100.TALVERN.CD2", kDrawerProgId, "RT-K6100", "RTK6100.TALVERN.POSPrinter",
     2, "QMX Thermal CashDrawer Service Object", "TALVERN RT-K6100 Cash Drawer 2"},
};

inline constexpr std::size_t kLogicalDeviceCount =
    sizeof kLogicalDevices / sizeof kLogicalDevices[0];

// The device of that class and name (both compared without regard to case), or null.
inline const LogicalDevice* FindLogicalDevice(std::string_view deviceClass, std::string_view name) {
    for (const auto& device : kLogicalDevices) {
        if (platform::portname::EqualNoCase(device.deviceClass, deviceClass) &&
            platform::portname::EqualNoCase(device.name, name))
            return &device;
    }
    return nullptr;
}

// The PhysicalDeviceID a printer is installed with: its model's key, the one the USB printer
// walk and the status monitor know the model by. Empty for a drawer (and for a printer no
// model serves).
inline std::string PhysicalDeviceId(const LogicalDevice& device) {
    const so::ModelProfile* model =
        device.drawerNumber == 0 ? so::FindModelByDeviceName(device.name) : nullptr;
    return model != nullptr ? model->modelKey : "";
}

inline std::string DeviceKeyPath(const LogicalDevice& device) {
    return platform::regpath::DeviceKeyPath(device.deviceClass, device.name);
}

}  // namespace thermpos::devices
