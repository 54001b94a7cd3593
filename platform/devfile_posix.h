// What the POSIX device-file files share (devfile_posix.cpp: the handle table, opening
// and closing; devfile_io_posix.cpp: reads, writes and waits; devfile_serial_posix.cpp:
// terminal settings). Private to them; a Win32 build replaces them and this header.
//
// Locks, in the order they may be taken:
//   1. the handle table's lock (devfile_posix.cpp): held only to find, add or remove an
//      entry;
//   2. Device::lock: a handle's time-outs and remembered DCB fields; never held while
//      waiting for the device.
// Reads and writes hold neither lock while they wait: they keep the Device alive with a
// shared_ptr and wait on poll() over the device and the handle's wake-up descriptor,
// which CloseHandle signals.
#pragma once

#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/comm.h"
#include "platform/devfile_timeouts.h"
#include "platform/win32.h"

namespace thermpos::platform::devfile {

// What termios cannot hold: remembered per handle and given back by GetCommState.
struct RememberedDcb {
    DWORD fOutxCtsFlow = 0;
    DWORD fOutxDsrFlow = 0;
    DWORD fDtrControl = DTR_CONTROL_ENABLE;
    DWORD fDsrSensitivity = 0;
    DWORD fTXContinueOnXoff = 0;
    DWORD fErrorChar = 0;
    DWORD fNull = 0;
    DWORD fRtsControl = RTS_CONTROL_ENABLE;
    DWORD fAbortOnError = 0;
    WORD XonLim = 2048;
    WORD XoffLim = 512;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    // The framing last set on a pseudo-terminal, which cannot hold it.
    bool framingSet = false;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
};

struct Device {
    int fd = -1;
    // A second, blocking descriptor for writes to drivers without poll support (the
    // parallel port); -1 when writes go through fd.
    int blockingWriteFd = -1;
    int wakeFd = -1;  // eventfd, readable once CloseHandle ran
    bool terminal = false;
    bool pseudoTerminal = false;
    // poll() tells when input arrives: terminals, sockets, pipes and character devices
    // other than the parallel port (whose driver reports ready whatever the state).
    bool waitable = false;
    // A connected TCP stream to a network printer (netport.h).
    bool socket = false;
    // Opened through the USB printer device namespace ("\\.\USB#..."), set before the
    // handle is returned.
    std::atomic<bool> usbNamespace{false};

    std::mutex lock;
    COMMTIMEOUTS timeouts{};   // guarded by lock
    RememberedDcb remembered;  // guarded by lock
    DCB networkDcb{};          // guarded by lock; a socket's settings, kept without effect

    Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device();

    COMMTIMEOUTS Timeouts() {
        std::lock_guard guard(lock);
        return timeouts;
    }
};

// The device of an open handle; null for an unknown or closed one.
std::shared_ptr<Device> Find(HANDLE handle);

// Milliseconds until deadline for poll(): -1 for none, rounded up so that a wait never
// ends just before its deadline and loops once more for nothing.
int PollTimeout(Deadline deadline);

enum class WaitResult { Ready, HungUp, TimedOut, Closed, Failed };

// Waits until the device is ready for `events`, the deadline passes, or the handle is
// closed. HungUp: the device reports an error or hang-up instead of readiness.
WaitResult WaitFor(const Device& dev, short events, Deadline deadline, int* err);

// The error of a failed read or write (see devfile_posix.cpp).
LONG IoError(const Device& dev, int err);

// Terminal settings at open (devfile_serial_posix.cpp): raw binary mode, and the DCB
// fields the line already has that termios cannot give back.
void MakeRaw(int fd);
void InitRemembered(int fd, RememberedDcb* r);

}  // namespace thermpos::platform::devfile
