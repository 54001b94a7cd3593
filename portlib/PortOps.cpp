// Port operations over a backend. See LinkPort.h for the contracts.
//
// Threads: none started here. No state is kept between calls, so there are no locks;
// calls on one handle are serialised by the caller.
#include "portlib/PortOps.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/devfile.h"
#include "platform/portname.h"
#include "platform/regkey.h"
#include "portlib/UsbModels.h"

namespace thermpos::linkport {
namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kValueBytes = 256;  // PortName, ParentIdPrefix and SymbolicName buffers

class Key : public platform::registry::KeyHolder {
  public:
    bool Open(HKEY parent, const char* name) {
        return RegOpenKeyExA(parent, name, 0, KEY_READ, Out()) == ERROR_SUCCESS;
    }
};

// A string value read into a 256-byte buffer; empty when missing, not text, or too long.
bool ReadText(HKEY key, const char* name, char (&out)[kValueBytes + 1]) {
    std::memset(out, 0, sizeof out);
    DWORD size = kValueBytes;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size) !=
        ERROR_SUCCESS)
        return false;
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

bool EnumSubkey(HKEY key, DWORD index, char (&name)[kNameBufferSize + 1], LONG* rc) {
    DWORD cch = sizeof name;
    *rc = RegEnumKeyExA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
    return *rc == ERROR_SUCCESS;
}

// Opens the device of the first USB device instance under `hardware` whose
// ParentIdPrefix begins printInstance.
bool OpenUsbDevice(DeviceBackend& io, HKEY hardware, const char* printInstance, HANDLE* handle) {
    char name[kNameBufferSize + 1];
    LONG rc = ERROR_SUCCESS;
    for (DWORD j = 0; rc != ERROR_NO_MORE_ITEMS; ++j) {
        if (!EnumSubkey(hardware, j, name, &rc)) {
            if (rc == ERROR_MORE_DATA)
                continue;
            break;
        }
        Key device;
        if (!device.Open(hardware, name))
            continue;
        char prefix[kValueBytes + 1];
        // An empty prefix would claim every printing instance.
        if (!ReadText(device.Get(), "ParentIdPrefix", prefix) || !prefix[0] ||
            std::strncmp(printInstance, prefix, std::strlen(prefix)) != 0)
            continue;
        Key params;
        char symbolic[kValueBytes + 1];
        if (!params.Open(device.Get(), "Device Parameters") ||
            !ReadText(params.Get(), "SymbolicName", symbolic) || std::strlen(symbolic) < 4)
            continue;
        // "\??\USB#..." becomes "\\.\USB#...", the name the device namespace opens.
        symbolic[1] = '\\';
        symbolic[2] = '.';
        HANDLE h = INVALID_HANDLE_VALUE;
        if (io.Open(symbolic, &h) == ERROR_SUCCESS && h != INVALID_HANDLE_VALUE) {
            *handle = h;
            return true;
        }
    }
    return false;
}

int OpenUsbPrinter(DeviceBackend& io, const char* portName, const char* modelKey, HANDLE* handle) {
    if (!modelKey)
        return 0;
    Key system, control, enumKey, usbPrint, model;
    if (!system.Open(HKEY_LOCAL_MACHINE, "SYSTEM") ||
        !control.Open(system.Get(), "CurrentControlSet") || !enumKey.Open(control.Get(), "Enum") ||
        !usbPrint.Open(enumKey.Get(), "USBPRINT") || !model.Open(usbPrint.Get(), modelKey))
        return 0;

    char instance[kNameBufferSize + 1];
    LONG rc = ERROR_SUCCESS;
    for (DWORD i = 0; rc != ERROR_NO_MORE_ITEMS; ++i) {
        if (!EnumSubkey(model.Get(), i, instance, &rc)) {
            if (rc == ERROR_MORE_DATA)
                continue;
            break;
        }
        Key printing, params;
        char port[kValueBytes + 1];
        if (!printing.Open(model.Get(), instance) ||
            !params.Open(printing.Get(), "Device Parameters") ||
            !ReadText(params.Get(), "PortName", port) ||
            !platform::portname::EqualNoCase(port, portName))
            continue;
        const char* hardwareName = UsbHardwareKeyForModel(modelKey);
        Key usb, hardware;
        if (!hardwareName || !usb.Open(enumKey.Get(), "USB") ||
            !hardware.Open(usb.Get(), hardwareName))
            continue;
        if (OpenUsbDevice(io, hardware.Get(), instance, handle))
            return 1;
    }
    return 0;
}

// The infrared port: 9600 8N1, no flow control, reads that return at once. Results are
// not tested: a port that refuses a setting still opened.
void ConfigureInfrared(DeviceBackend& io, HANDLE handle) {
    io.Setup(handle, 2048, 2048);
    io.Purge(handle, kPurgeAll);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (io.GetState(handle, &dcb) == ERROR_SUCCESS) {
        dcb.BaudRate = 9600;
        dcb.fBinary = 1;
        dcb.fParity = 1;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fDsrSensitivity = 0;
        dcb.fTXContinueOnXoff = 0;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fErrorChar = 0;
        dcb.fNull = 0;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fAbortOnError = 0;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        io.SetState(handle, dcb);
    }
    COMMTIMEOUTS t{};
    if (io.GetTimeouts(handle, &t) == ERROR_SUCCESS) {
        t = COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0};
        io.SetTimeouts(handle, t);
    }
}

// The kinds the port list offers; the infrared port is reached by name only.
bool IsListedKind(const std::string& name) {
    const platform::portname::PortKind kind = platform::portname::KindOf(name);
    return kind == platform::portname::PortKind::Serial ||
           kind == platform::portname::PortKind::Parallel ||
           kind == platform::portname::PortKind::Usb ||
           kind == platform::portname::PortKind::Network;
}

}  // namespace

DWORD OpenWaitMs() {
    const char* text = std::getenv("THERMPOS_OPEN_WAIT_MS");
    if (!text || !*text)
        return kOpenWaitMs;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*end || text[0] == '-')
        return kOpenWaitMs;
    return static_cast<DWORD>(std::min<unsigned long>(v, kOpenWaitMs));
}

int OpenPort(DeviceBackend& io, const char* portName, HANDLE* handle, const char* modelKey) {
    if (!handle)
        return 0;
    *handle = INVALID_HANDLE_VALUE;
    if (!portName)
        return 0;
    // The name buffer holds 255 characters; a longer name is refused, not cut or overrun.
    std::size_t length = strnlen(portName, kNameBufferSize);
    if (length >= static_cast<std::size_t>(kNameBufferSize))
        return 0;
    char name[kNameBufferSize];
    std::memcpy(name, portName, length + 1);

    // Any name the Ports map sends to the network is a network port, whatever its letters.
    const platform::portname::PortKind kind = platform::devfile::IsNetworkPort(name)
                                                  ? platform::portname::PortKind::Network
                                                  : platform::portname::KindOf(name);
    const bool infrared = kind == platform::portname::PortKind::Infrared;
    if (infrared)
        std::memcpy(name, "COM4", 4);
    else if (kind == platform::portname::PortKind::Usb)
        return OpenUsbPrinter(io, name, modelKey, handle);
    else if (kind == platform::portname::PortKind::None)
        return 0;
    else if (kind == platform::portname::PortKind::Network) {
        // A network printer has no line to settle: the connect itself is bounded.
        HANDLE h = INVALID_HANDLE_VALUE;
        if (io.Open(name, &h) != ERROR_SUCCESS || h == INVALID_HANDLE_VALUE)
            return 0;
        *handle = h;
        return 1;
    }

    HANDLE h = INVALID_HANDLE_VALUE;
    if (io.Open(name, &h) == ERROR_SUCCESS)
        *handle = h;
    io.Pause(OpenWaitMs());
    if (*handle == INVALID_HANDLE_VALUE)
        return 0;
    if (infrared)
        ConfigureInfrared(io, *handle);
    return 1;
}

int WritePort(DeviceBackend& io, HANDLE handle, const void* data, int length, int* written) {
    if (handle == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    if (!data)
        return ERROR_GEN_FAILURE;
    const auto* bytes = static_cast<const unsigned char*>(data);
    int total = 0;
    LONG error = ERROR_SUCCESS;
    while (total < length) {
        DWORD chunk = static_cast<DWORD>(std::min(kWriteChunk, length - total));
        DWORD moved = 0;
        LONG rc = io.Write(handle, bytes + total, chunk, &moved);
        total += static_cast<int>(std::min(moved, chunk));
        if (rc != ERROR_SUCCESS) {
            error = rc;
            break;
        }
        // A write time-out on a serial port completes without error and moves nothing;
        // going round again would repeat it for ever.
        if (moved == 0) {
            error = ERROR_TIMEOUT;
            break;
        }
    }
    if (written)
        *written = total;
    return total >= length ? ERROR_SUCCESS : error;
}

DWORD DeviceBackend::WaitInput(HANDLE, int, DWORD) {
    return WAIT_FAILED;
}

DWORD WaitPort(DeviceBackend& io, HANDLE handle, int wakeFd, DWORD timeoutMs) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return WAIT_FAILED;
    return io.WaitInput(handle, wakeFd, timeoutMs);
}

int ReadPort(DeviceBackend& io, HANDLE handle, void* buffer, int size, int* read) {
    if (handle == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    if (!buffer)
        return ERROR_GEN_FAILURE;
    if (read)
        *read = 0;
    // A negative size would become a read of 4 GB into the caller's buffer.
    if (size < 0)
        return ERROR_INVALID_PARAMETER;
    DWORD got = 0;
    LONG rc = io.Read(handle, buffer, static_cast<DWORD>(size), &got);
    if (read)
        *read = static_cast<int>(std::min<DWORD>(got, static_cast<DWORD>(size)));
    return rc;
}

int DrainPort(DeviceBackend& io, HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    return io.Flush(handle);
}

int ClosePort(DeviceBackend& io, HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    io.Purge(handle, kPurgeAll);
    return io.Close(handle) == ERROR_SUCCESS ? 1 : 0;
}

int GetPortTimeOuts(DeviceBackend& io, HANDLE handle, COMMTIMEOUTS* timeouts) {
    if (!timeouts || !handle || handle == INVALID_HANDLE_VALUE)
        return 0;
    return io.GetTimeouts(handle, timeouts) == ERROR_SUCCESS ? 1 : 0;
}

int SetPortTimeOuts(DeviceBackend& io, HANDLE handle, bool setRead, bool setWrite,
                    const COMMTIMEOUTS& values) {
    COMMTIMEOUTS t{};
    if (io.GetTimeouts(handle, &t) != ERROR_SUCCESS)
        return 0;
    if (setRead) {
        t.ReadIntervalTimeout = values.ReadIntervalTimeout;
        t.ReadTotalTimeoutMultiplier = values.ReadTotalTimeoutMultiplier;
        t.ReadTotalTimeoutConstant = values.ReadTotalTimeoutConstant;
    }
    if (setWrite) {
        t.WriteTotalTimeoutMultiplier = values.WriteTotalTimeoutMultiplier;
        t.WriteTotalTimeoutConstant = values.WriteTotalTimeoutConstant;
    }
    return io.SetTimeouts(handle, t) == ERROR_SUCCESS ? 1 : 0;
}

int GetPortProperties(DeviceBackend& io, HANDLE handle, DCB* dcb) {
    if (!dcb)
        return 0;
    return io.GetState(handle, dcb) == ERROR_SUCCESS ? 1 : 0;
}

int SetPortProperties(DeviceBackend& io, HANDLE handle, const DCB& dcb) {
    return io.SetState(handle, dcb) == ERROR_SUCCESS ? 1 : 0;
}

int CopyPortNames(const std::vector<std::string>& names, char*** list, int* count,
                  const std::vector<std::string>& networkNames) {
    if (!count)
        return 0;
    *count = 0;
    if (!list)
        return 0;
    // Ownership of the array and of every string passes to the caller (PMFreePortList).
    auto** array = static_cast<char**>(std::calloc(names.size() + 1, sizeof(char*)));
    if (!array)
        return 0;
    int n = 0;
    for (const auto& name : names) {
        if (!IsListedKind(name) &&
            std::none_of(networkNames.begin(), networkNames.end(), [&](const std::string& n) {
                return platform::portname::SamePort(n, name);
            }))
            continue;
        char* copy = static_cast<char*>(std::malloc(name.size() + 1));
        if (!copy)
            continue;
        std::memcpy(copy, name.c_str(), name.size() + 1);
        array[n++] = copy;
    }
    *list = array;
    *count = n;
    return 1;
}

}  // namespace thermpos::linkport
