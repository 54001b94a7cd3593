// What the port table (PortTable.h) and a port's status monitor (StatusMonitor.h) share of
// one open port: its handle, the lock held around every call on it, and the settings the
// devices gave it. The calls themselves go through PortLibrary (PortLibrary.h).
#pragma once

#include <atomic>
#include <chrono>
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

    // Fixed before the entry is shared, read without a lock: the first device's port
    // name, the table's lookup key.
    const std::string portName;
    // The PhysicalDeviceID the port is opened and reopened with (a USB printer is found
    // again by it): the first device's, until a printer binds to the port, whose key then
    // stays, since a drawer has none of its own.
    std::string modelKey GUARDED_BY(ioLock);

    // The devices' own writes (CPortManager::WritePort), each counted from before its
    // write until its drain ended; the monitor counts a printer's silence only from the
    // end of the last one, since a status request written behind a long print is answered
    // after it.
    std::atomic<unsigned> outputsRunning{0};
    std::atomic<std::chrono::steady_clock::rep> lastOutputEnd{0};

    void BeginOutput() { outputsRunning.fetch_add(1, std::memory_order_acq_rel); }
    void EndOutput() {
        lastOutputEnd.store(std::chrono::steady_clock::now().time_since_epoch().count(),
                            std::memory_order_release);
        outputsRunning.fetch_sub(1, std::memory_order_acq_rel);
    }
    // now while a write runs, else the end of the last one (the clock's epoch before any).
    std::chrono::steady_clock::time_point OutputBusyUntil(
        std::chrono::steady_clock::time_point now) const {
        if (outputsRunning.load(std::memory_order_acquire) != 0)
            return now;
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(lastOutputEnd.load(std::memory_order_acquire)));
    }
};

}  // namespace thermpos::so
