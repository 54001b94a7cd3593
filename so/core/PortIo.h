// What the port table (PortTable.h) and a port's status monitor (StatusMonitor.h) share of
// one open port: the port library calls, replaceable so tests can script a port, and the
// port's handle with the lock held around every call on it.
#pragma once

#include <mutex>
#include <string>

#include "platform/comm.h"
#include "platform/win32.h"

namespace thermpos::so {

// The port library calls the table and the monitors make. Each has the signature and
// result convention of the port library export of that name.
struct PortBackend {
    int (*open)(const char* portName, HANDLE* handle, const char* modelKey);
    int (*close)(HANDLE handle);
    int (*write)(HANDLE handle, const void* data, int length, int* written);
    int (*read)(HANDLE handle, void* buffer, int size, int* read);
    int (*setTimeouts)(HANDLE handle, DWORD readInterval, DWORD readMultiplier, DWORD readConstant,
                       DWORD writeMultiplier, DWORD writeConstant);
    int (*getProperties)(HANDLE handle, DCB* dcb);
    int (*setProperties)(HANDLE handle, const DCB* dcb);
    // Null in backends that cannot report them; the monitor then restores the device
    // core's own time-outs after its immediate reads.
    int (*getTimeouts)(HANDLE handle, COMMTIMEOUTS* timeouts) = nullptr;
    // Waits until written bytes have left the host (PMDrainPort). Null in backends whose
    // writes are done when they return.
    int (*drain)(HANDLE handle) = nullptr;
    // PMWaitPort: 0 input (or a hang-up a read reports), 1 wakeFd, 258 time-out,
    // 0xFFFFFFFF cannot wait. Null in backends that cannot wait: the monitor then polls
    // on its interval.
    DWORD (*waitInput)(HANDLE handle, int wakeFd, DWORD timeoutMs) = nullptr;
};

// The port library's own calls.
const PortBackend& LinkPortBackend();

// One open port. Owned by its port table entry, which outlives the entry's monitor.
struct CPortIo {
    // Held around every call on the handle, and around every read or change of it.
    std::mutex ioLock;
    // Guarded by ioLock: set by the table when it opens the port and invalidated when it
    // closes it; the monitor replaces it when it reopens a port that went away.
    HANDLE handle = INVALID_HANDLE_VALUE;

    // Guarded by ioLock: the serial settings and time-outs the devices last set through
    // the table, applied again when the monitor reopens a port that went away.
    bool haveDcb = false;
    DCB dcb{};
    bool haveTimeouts = false;
    COMMTIMEOUTS timeouts{};

    // Fixed before the entry is shared, read without a lock.
    std::string portName;  // the first device's port name; the table's lookup key
    std::string modelKey;  // the first device's PhysicalDeviceID; opens and reopens
};

}  // namespace thermpos::so
