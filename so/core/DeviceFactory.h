// Creation of device objects by logical device name.
//
// The printer and drawer classes register a creator for each logical device name they
// serve, from their own source files, so the automation surface needs no list of them:
//
//     static const DeviceRegistration kRegistration("POSPrinter", "RTK410.TALVERN.POSPrinter",
//         [] { return std::unique_ptr<CServiceDevice>(new CPrinterRTK410); });
//
// OpenService asks CreateDeviceObject; a name nobody registered gives null and the
// automation object answers as if closed (101).
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace thermpos::so {

class CServiceDevice;

using DeviceCreator = std::function<std::unique_ptr<CServiceDevice>()>;

// Registers creator for (deviceClass, logicalName); both compare without regard to case.
// Registrations keep their order; the first matching one is used.
void RegisterDeviceCreator(const std::string& deviceClass, const std::string& logicalName,
                           DeviceCreator creator);

// A new device object for the name, or null when none is registered (or allocation fails).
std::unique_ptr<CServiceDevice> CreateDeviceObject(const std::string& deviceClass,
                                                   const std::string& logicalName);

// Registers at static initialisation time.
struct DeviceRegistration {
    DeviceRegistration(const std::string& deviceClass, const std::string& logicalName,
                       DeviceCreator creator) {
        RegisterDeviceCreator(deviceClass, logicalName, std::move(creator));
    }
};

}  // namespace thermpos::so
