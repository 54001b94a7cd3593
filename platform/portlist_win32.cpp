// The ports Windows offers: the spooler's port list, the serial ports of the device map
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, whose values' data are the COM names) and the USB
// printers, found as device interfaces of the USB printing class and listed by the port
// name their driver gave them ("USB001", the "PortName" of the device's parameters) when
// the filter keeps the vendor and product id of the USB device they hang from.
//
// Of the spooler's ports only those a port name opens are kept: COMn, LPTn, USBnnn and
// network printers' IP_<host>; FILE:, NUL:, the document writers' ports and the like are
// no printer ports. Every list is bounded: the spooler's buffer is grown at most a few
// times, names longer than a port name can be are left out.
//
// Threads: none started here; no locks.
#include <cwctype>
#include <string>
#include <vector>

#include "platform/netport.h"
#include "platform/portlist_system.h"
#include "platform/portname.h"
#include "platform/reg_text_encoding.h"

// After windows.h (platform/win32.h, through portlist.h).
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winspool.h>

namespace thermpos::platform::portlist::detail {
namespace {

constexpr std::size_t kMaxName = 255;
constexpr DWORD kMaxSpoolerBytes = 4u << 20;

// The device interface class of USB printers.
constexpr GUID kUsbPrintInterface = {
    0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};

std::string Narrow(const wchar_t* text, std::size_t count) {
    return registry::detail::Utf16leToNarrow(reinterpret_cast<const BYTE*>(text), count * 2);
}

std::string Narrow(const wchar_t* text) {
    return text ? Narrow(text, wcsnlen(text, kMaxName + 1)) : std::string();
}

bool IsPrinterPort(const std::string& name) {
    if (name.empty() || name.size() > kMaxName || portname::HasControlCharacter(name))
        return false;
    const std::string_view bare = portname::WithoutColon(name);
    switch (portname::KindOf(bare)) {
        case portname::PortKind::Serial:
        case portname::PortKind::Parallel:
            return portname::PortNumber(bare) != 0;
        case portname::PortKind::Usb:
            return bare.size() > 3;
        case portname::PortKind::Network:
            return netport::IsIpName(bare);
        default:
            return false;
    }
}

void AddSpoolerPorts(std::vector<std::string>* names) {
    DWORD needed = 0, count = 0;
    std::vector<BYTE> buffer;
    for (int attempt = 0; attempt < 4; ++attempt) {
        buffer.resize(std::max<DWORD>(needed, 1024));
        if (EnumPortsW(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
                       &count))
            break;
        count = 0;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed > kMaxSpoolerBytes)
            return;  // no spooler (a service stopped), or an answer past reason
    }
    const auto* ports = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count && (i + 1) * sizeof(PORT_INFO_1W) <= buffer.size(); ++i) {
        std::string name = Narrow(ports[i].pName);
        if (IsPrinterPort(name))
            names->push_back(std::move(name));
    }
}

void AddDeviceMapSerialPorts(std::vector<std::string>* names) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        wchar_t valueName[kMaxName + 2];
        DWORD cch = kMaxName + 1;
        wchar_t data[kMaxName + 2] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        DWORD type = REG_NONE;
        const LONG rc = RegEnumValueW(key, i, valueName, &cch, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &size);
        if (rc == ERROR_MORE_DATA)
            continue;  // a name or data no port name can be
        if (rc != ERROR_SUCCESS)
            break;
        if (type != REG_SZ)
            continue;
        std::string name = Narrow(data, wcsnlen(data, size / sizeof(wchar_t)));
        if (IsPrinterPort(name))
            names->push_back(std::move(name));
    }
    RegCloseKey(key);
}

// "PortName" of a USB printing device's parameters.
std::string UsbPortName(HDEVINFO set, SP_DEVINFO_DATA* device) {
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE)
        return {};
    wchar_t data[kMaxName + 2] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    DWORD type = REG_NONE;
    const LONG rc =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return {};
    return Narrow(data, wcsnlen(data, size / sizeof(wchar_t)));
}

// The hardware key of the USB device a printing device hangs from.
std::string ParentHardwareKey(DEVINST device) {
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    std::string key;
    if (!HardwareKeyOfInstanceId(Narrow(id, wcsnlen(id, MAX_DEVICE_ID_LEN)), &key))
        return {};
    return key;
}

void AddUsbPrinters(UsbHardwareFilter keep, std::vector<std::string>* names) {
    HDEVINFO set = SetupDiGetClassDevsW(&kUsbPrintInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return;
    for (DWORD i = 0; i < 1000; ++i) {
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterface, i, &iface))
            break;
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        DWORD needed = 0;
        // Only the device is wanted, not the path: the call fails for the missing buffer
        // and fills in the device all the same.
        SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &needed, &device);
        if (device.DevInst == 0)
            continue;
        if (keep) {
            const std::string hardwareKey = ParentHardwareKey(device.DevInst);
            if (hardwareKey.empty() || !keep(hardwareKey))
                continue;
        }
        std::string name = UsbPortName(set, &device);
        if (IsPrinterPort(name))
            names->push_back(std::move(name));
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<std::string> SystemPortNames(const Roots&, UsbHardwareFilter keepUsb) {
    std::vector<std::string> names;
    AddSpoolerPorts(&names);
    AddDeviceMapSerialPorts(&names);
    AddUsbPrinters(keepUsb, &names);
    return names;
}

}  // namespace thermpos::platform::portlist::detail
