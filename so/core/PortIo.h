// What the port table (PortTable.h) and a port's status monitor (StatusMonitor.h) share of
// one open port: its handle, the lock held around every call on it, and the settings the
// devices gave it. The calls themselves go through PortLibrary (PortLibrary.h).
#pragma once

#include <string>
#include <utility>

#include "platform/comm.h"
#include "platform/thread_safety.h"
#include "platform/win32.h"
#include "so/core/PortLibrary.h"

namespace thermpos::so {

// One open port. Owned by its port table entry, which outlives the entry's monitor.
struct CPortIo {
    CPortIo(std::string portName, std::string modelKey)
        : portName(std::move(portName)), modelKey(std::move(modelKey)) {}

    // Held around every call on the handle, and around every read or change of it. The
    // last lock of every order (PortTable.h, StatusMonitor.h): nothing is taken under it.
    thermpos::platform::Mutex ioLock;
    // Set by the table when it opens the port and invalidated when it closes it; the
    // monitor replaces it when it reopens a port that went away.
    HANDLE handle GUARDED_BY(ioLock) = INVALID_HANDLE_VALUE;

    // The serial settings and time-outs the devices last set through the table, applied
    // again when the monitor reopens a port that went away.
    bool haveDcb GUARDED_BY(ioLock) = false;
    DCB dcb GUARDED_BY(ioLock){};
    bool haveTimeouts GUARDED_BY(ioLock) = false;
    COMMTIMEOUTS timeouts GUARDED_BY(ioLock){};

    // Fixed before the entry is shared, read without a lock.
    const std::string portName;  // the first device's port name; the table's lookup key
    const std::string modelKey;  // the first device's PhysicalDeviceID; opens and reopens
};

}  // namespace thermpos::so
