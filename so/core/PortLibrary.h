// PortLibrary: the port library calls the port table (PortTable.h) and the ports' status
// monitors (StatusMonitor.h) make, behind one interface so that tests can script a port.
// LinkPortLibrary() is the only implementation outside tests: it calls the PM* exports of
// LinkPort (portlib/LinkPort.h) and is the one place that reads their results.
//
// One convention for every operation that reports a result: a SystemError, Success when
// the call did what it says. The exports that report a number (write, read, drain) give
// it as it is; those that only say 1 or 0 (open, close, time-outs, serial settings) give
// GenFailure for their 0. Nothing above this interface compares a port result with 1, and
// only the port table turns a SystemError into an OPOS result (CPortManager::OposResult).
//
// Locks: the caller holds the port's I/O lock (CPortIo::ioLock) around every call on a
// handle except Drain and WaitInput, which run without it so that the monitor can keep
// reading while a writer waits (see PortTable.h); no operation takes a lock of its own
// that a caller could hold.
//
// Handles: a handle from Open belongs to the port table entry that opened it until its
// Close; the monitor closes and replaces it when it reopens a vanished device. A device
// that vanished (a USB printer or USB-serial adapter unplugged, a network printer that
// dropped the connection) gives InvalidHandle from every call on its handle, which the
// monitor answers by reopening the port; so does INVALID_HANDLE_VALUE.
#pragma once

#include <string>

#include "platform/comm.h"
#include "platform/win32.h"

namespace thermpos::so {

// A system error number (Win32 numbering) from the port library. The names are the ones the
// port table and the monitor act on; any other number passes through as it is.
enum class SystemError : LONG {
    Success = 0,
    InvalidFunction = 1,
    AccessDenied = 5,
    InvalidHandle = 6,
    NotReady = 21,
    Crc = 23,
    OutOfPaper = 28,
    GenFailure = 31,
    Busy = 170,
    MoreData = 234,
    IoDevice = 1117,
    DeviceNotConnected = 1167,
    Timeout = 1460,
};

constexpr SystemError ToSystemError(LONG number) {
    return static_cast<SystemError>(number);
}
constexpr LONG ToNumber(SystemError error) {
    return static_cast<LONG>(error);
}

// How a wait for input ended.
enum class PortWait {
    Input,       // the port has input, or a hang-up or closed connection a read reports
    Woken,       // the wake descriptor became readable
    TimedOut,    // the time passed with nothing on the port
    CannotWait,  // the device cannot be waited on (a parallel port) or the handle is gone
};

class PortLibrary {
  public:
    // Opens the port by name (PMOpenPort). modelKey finds a USB printer in the registry's
    // USB printer tree; ignored for other names.
    //   handle  out: the new handle; INVALID_HANDLE_VALUE or null when it failed.
    // Blocks while the port opens: a second after a COM or LPT open, up to 3 s while a
    // network printer connects.
    [[nodiscard]] virtual SystemError Open(const std::string& portName, const std::string& modelKey,
                                           HANDLE* handle) = 0;
    // Discards pending input and output, then closes the handle (PMClosePort). Does not
    // block; a wait on the handle in another thread ends.
    virtual SystemError Close(HANDLE handle) = 0;
    // Writes length bytes (PMWritePort). *written gets the count, also on failure. Blocks
    // until the system took the bytes, at most the handle's write time-out per 1024 bytes.
    [[nodiscard]] virtual SystemError Write(HANDLE handle, const void* data, int length,
                                            int* written) = 0;
    // One read of up to size bytes (PMReadPort). *read gets the count (0 first). Blocks as
    // the handle's read time-outs say; the monitor's reads do not block.
    [[nodiscard]] virtual SystemError Read(HANDLE handle, void* buffer, int size, int* read) = 0;
    // Waits until the written bytes have left the host (PMDrainPort), at most as long as
    // writing them may take; Timeout when that passed. Called without the I/O lock.
    [[nodiscard]] virtual SystemError Drain(HANDLE handle) = 0;
    // The handle's five time-outs (PMGetPortTimeOuts / PMSetPortTimeOuts). Do not block.
    [[nodiscard]] virtual SystemError GetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) = 0;
    [[nodiscard]] virtual SystemError SetTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) = 0;
    // The serial settings (PMGetPortProperties / PMSetPortProperties); a port without them
    // (parallel, USB) fails. Do not block.
    [[nodiscard]] virtual SystemError GetProperties(HANDLE handle, DCB* dcb) = 0;
    [[nodiscard]] virtual SystemError SetProperties(HANDLE handle, const DCB& dcb) = 0;

    // Whether WaitInput can wait at all. A library that cannot (the tests' scripted ports)
    // is polled by the monitor on its interval, and WaitInput is not called.
    virtual bool CanWait() const = 0;
    // Waits, holding nothing, until the handle has input, wakeFd (-1: none) becomes
    // readable or timeoutMs passes (PMWaitPort). Closing the handle from another thread
    // ends the wait with Input. Called without the I/O lock.
    [[nodiscard]] virtual PortWait WaitInput(HANDLE handle, int wakeFd, DWORD timeoutMs) = 0;

  protected:
    ~PortLibrary() = default;
};

// LinkPort's own calls. Alive for the whole process.
PortLibrary& LinkPortLibrary();

}  // namespace thermpos::so
