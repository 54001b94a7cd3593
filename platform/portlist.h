// The machine's port list, standing in for the printer spooler's, and the registry
// entries that describe USB printers.
//
// Ports come from three places:
//  - the registry map HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOS\Ports ("COM3"="/dev/ttyUSB0");
//  - serial and parallel device nodes that open under their default names: /dev/ttySk is
//    "COM(k+1):" and /dev/lpk is "LPT(k+1):" (ttyS nodes whose sysfs "type" says no UART
//    is present are left out);
//  - the USB printer tree under SYSTEM\CurrentControlSet\Enum\USBPRINT, which
//    ScanUsbPrinters writes from sysfs: each instance's "Device Parameters\PortName"
//    ("USB001").
// Nodes without a default name (/dev/ttyUSB*, /dev/ttyACM*, and /dev/usb/lp* before a
// scan) appear once they are mapped; UnreachedNodes lists them.
//
// The /dev and /sys roots are parameters so that tests can use fake trees. Functions are
// thread-safe; they take no locks of their own beyond the registry store's.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace thermpos::platform::portlist {

struct PortMapping {
    std::string name;  // as stored ("COM3", or a USB symbolic name)
    std::string path;  // the device path
};

// What the registry says about ports.
struct RegistryPorts {
    std::vector<PortMapping> map;           // the Ports values, in registry order
    std::vector<std::string> usbPortNames;  // "PortName" of every USB printing instance
};

struct Roots {
    std::string dev = "/dev";
    std::string sys = "/sys";
};

// Reads the Ports map and the USB printer port names. A missing key is not an error.
[[nodiscard]] LONG ReadRegistryPorts(RegistryPorts* out);

// Which of the USB printers the system itself lists (Windows: the devices of the USB
// printing interface class) are kept, by the hardware key of their USB device
// ("Vid_5D17&Pid_0A41"); null keeps them all. The port library keeps the models its USB
// walk knows.
using UsbHardwareFilter = bool (*)(std::string_view hardwareKey);

// Port names as the spooler would give them ("COM1:", "LPT1:", "USB001", others as
// stored), without duplicates (compared without regard to case or a trailing colon),
// COM first, then LPT, then USB, then the rest, each in numeric then name order. USB
// symbolic names of the map are not ports and are left out.
std::vector<std::string> ListPorts(const RegistryPorts& registry, const Roots& roots,
                                   UsbHardwareFilter keepUsb = nullptr);

// The hardware key of a USB device instance id: "USB\VID_5D17&PID_0A41\SERIAL" (any
// letter case; an interface of a composite device, "...&PID_0A41&MI_00\...", alike) gives
// "Vid_5D17&Pid_0A41". False for any other id.
bool HardwareKeyOfInstanceId(std::string_view instanceId, std::string* hardwareKey);

// Serial and printer device nodes under roots.dev that no listed name opens.
std::vector<std::string> UnreachedNodes(const RegistryPorts& registry, const Roots& roots);

// The registry's Ports map, for `thermpos ports map|unmap`. Names are port names
// (a trailing colon is dropped; no backslash or control character; at most 255
// characters; removal accepts a backslash); paths are absolute, or a network printer's
// "socket://HOST[:PORT]". ERROR_INVALID_NAME for a bad name, ERROR_INVALID_PARAMETER for a
// path that is not absolute, ERROR_BAD_PATHNAME for a path with a control character or a
// malformed URI, ERROR_BAD_DEVICE for an existing path that is not a character device
// (after links: a pty link is one; a path not there yet is accepted), ERROR_FILE_NOT_FOUND
// when removing a name that is not mapped. A refused mapping writes nothing, not even the Ports
// key.
[[nodiscard]] LONG SetPortMapping(const std::string& name, const std::string& path);
[[nodiscard]] LONG RemovePortMapping(const std::string& name);

// One USB printer found under sysfs and entered in the registry.
struct UsbPrinter {
    std::string node;            // "/dev/usb/lp0" (under roots.dev)
    std::string modelKey;        // "QMXRT-K410": manufacturer and model, spaces removed
    std::string hardwareKey;     // "Vid_5D17&Pid_0A41"
    std::string instance;        // USB device instance: the serial number, else the bus path
    std::string parentIdPrefix;  // "7&1a2b3c4d&0"
    std::string printInstance;   // USBPRINT instance: parentIdPrefix + "&" + portName
    std::string portName;        // "USB001"; kept across scans of the same device
    std::string symbolicName;    // "\??\USB#Vid_5D17&Pid_0A41#<instance>#{...}"
};

// Finds the printers bound to the usblp driver (roots.sys/class/usbmisc/lp*) and writes,
// for each, the keys the port library's USB walk reads:
//   SYSTEM\CurrentControlSet\Enum\USBPRINT\<modelKey>\<printInstance>\Device Parameters
//       "PortName"
//   SYSTEM\CurrentControlSet\Enum\USB\<hardwareKey>\<instance>  "ParentIdPrefix"
//       ...\Device Parameters  "SymbolicName"
//   SOFTWARE\ThermPOS\Ports  "<symbolic name without \??\>" = "<roots.dev>/usb/lpN"
// Entries without a readable idVendor/idProduct or model are skipped. Returns 0 or the
// first registry error.
[[nodiscard]] LONG ScanUsbPrinters(const Roots& roots, std::vector<UsbPrinter>* found);

}  // namespace thermpos::platform::portlist
