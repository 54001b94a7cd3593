// Device files: ports opened by their Windows-style names, read and written with
// COMMTIMEOUTS semantics, and serial settings kept as a DCB over termios.
//
// Calls mirror the Win32 file and communications functions of the same names, but return
// the system error number directly (0 on success) instead of a BOOL plus GetLastError.
// Files: devfile.cpp resolves names and opens by name or URI (portable, over
// devfile_system.h), devfile_timeouts.h works out COMMTIMEOUTS deadlines (portable), and
// devfile_posix.cpp, devfile_io_posix.cpp and devfile_serial_posix.cpp are the devices over
// POSIX descriptors, the only code that touches port file descriptors; a Win32 build
// replaces those three with devfile_win32.cpp.
//
// Names. CreateFile resolves "COM3", "COM3:", "LPT1" or "\\.\<name>" through the
// registry map HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOS\Ports (value name = port name, data
// = absolute device path, or a network printer's "socket://HOST[:PORT]"). An unmapped
// COMn is /dev/ttyS(n-1), an unmapped LPTn /dev/lp(n-1), an unmapped "IP_<host>" the
// network printer socket://<host>:9100; any other unmapped name is not found. A name never is a
// path itself, so only the map (written by an administrator) decides which files can be reached.
//
// Exclusive open. A handle opened without sharing holds an exclusive flock on the
// device; a second such open of the same device, from this or another process, fails
// with ERROR_SHARING_VIOLATION (32); shared opens take a shared lock, so they and an
// exclusive open keep each other out. flock works on pseudo-terminals as on real ports.
// Programs that do not take the lock are not kept out.
//
// Handles. A HANDLE is an opaque number from a process-wide table, never a pointer; an
// unknown, closed or INVALID_HANDLE_VALUE handle gives ERROR_INVALID_HANDLE (6) instead
// of touching memory. CloseHandle wakes every read or write still waiting on the handle
// (they return 6) and the descriptor is closed when the last of them has left.
//
// Errors (errno -> Win32): ENOSPC 28 (out of paper, as printer drivers report it),
// EIO 21 (not ready), ENODEV/ENXIO/ESHUTDOWN/EBADF 6 (the device vanished: reopen),
// EAGAIN/ETIMEDOUT 1460, EBUSY 170, EACCES/EPERM/EROFS/EISDIR 5, ENOENT 2, ENOTDIR 3,
// ENAMETOOLONG 206, ENOMEM 8, anything else 31 (general failure). A terminal that hung
// up (a USB-serial adapter unplugged, a pty whose master closed; CLOCAL keeps a lost
// carrier from doing it) reports 6, like a USB printer that was unplugged, so that the
// owner reopens it; so does a network port whose connection was closed or reset.
// Reads of a port opened through the USB printer namespace ("\\.\USB#...") return at
// once with what has arrived, whatever its time-outs, as USB printer ports do.
//
// Terminals. Opening a terminal puts it in raw binary mode (no echo, no line-end or flow
// translation, CLOCAL) before any DCB is applied, so printer bytes pass unchanged. The
// DCB maps onto termios as dcb_termios.h describes. The DCB fields termios cannot express
// are kept per handle, returned by GetCommState and have no effect: fOutxDsrFlow (DSR
// output flow control), fDsrSensitivity, fTXContinueOnXoff, fErrorChar, ErrorChar,
// fAbortOnError, XonLim, XoffLim, EofChar, EvtChar; DTR_CONTROL_HANDSHAKE raises DTR.
// fNull (discard received NULs) is done by ReadFile. A serial driver that does not take
// the rate or framing fails SetCommState with ERROR_INVALID_PARAMETER, settings restored.
// A pseudo-terminal has no modem lines and always frames 8N1: there the calls succeed,
// and the framing set is what GetCommState reports.
//
// Parallel ports (/dev/lpN) cannot be polled: their writes block in the driver under its
// own time-out, and CloseHandle does not wake them.
//
// Thread safety: every function may be called from any thread. Calls on different
// handles are independent; reads and writes on one handle may run at the same time (one
// reader and one writer), settings changes take the handle's own lock briefly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/comm.h"
#include "platform/sync.h"
#include "platform/win32.h"

namespace thermpos::platform::devfile {

#ifdef _WIN32
#else
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;

// GetCommState/SetCommState/SetupComm on a handle that is not a terminal.
inline constexpr LONG ERROR_INVALID_FUNCTION = 1;
#endif  // _WIN32

// Win32 number for an errno value (see the table above).
[[nodiscard]] LONG ErrorFromErrno(int err);

// The Linux device path (or network URI) of a Windows-style port name. 0,
// ERROR_FILE_NOT_FOUND (no map entry, no default), ERROR_PATH_NOT_FOUND (a map entry that
// is neither an absolute path nor a URI), ERROR_BAD_PATHNAME (a malformed URI or IP_ host),
// ERROR_INVALID_NAME (empty or 256 characters and more), or a registry error.
[[nodiscard]] LONG ResolvePortName(std::string_view name, std::string* path);

// True when the name leads to a network printer: an unmapped "IP_<host>", or a map entry
// holding a "socket://" URI (well formed or not: opening it reports what is wrong).
[[nodiscard]] bool IsNetworkPort(std::string_view name);

// Opens a port by name (see "Names"): access is GENERIC_READ and/or GENERIC_WRITE; a
// shareMode of 0 opens exclusively. On failure *handle is INVALID_HANDLE_VALUE.
[[nodiscard]] LONG CreateFile(const char* name, DWORD access, DWORD shareMode, HANDLE* handle);
// Connects to the network printer a "socket://HOST[:PORT]" URI names (netport.h) within
// 3 s. The handle reads and writes with the time-outs below like a serial port (they
// start as immediate reads and writes without a total limit); its DCB
// is checked, kept and given back without effect; a connection the printer closed or
// reset is ERROR_INVALID_HANDLE, the device vanished.
[[nodiscard]] LONG OpenNetworkPort(const std::string& uri, DWORD access, HANDLE* handle);
// The same with a device path instead of a port name.
[[nodiscard]] LONG OpenDevicePath(const std::string& path, DWORD access, DWORD shareMode,
                                  HANDLE* handle);

// 0, or ERROR_INVALID_HANDLE when the handle is not open.
LONG CloseHandle(HANDLE handle);

// One read of up to size bytes, bounded by the handle's time-outs; *read receives the
// count also on failure. A time-out is not an error here (0 with fewer bytes), as on
// Windows. A closed handle or end of file ends the read with what has arrived.
[[nodiscard]] LONG ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read);

// Waits without a lock until the port has input, the handle's device reports a hang-up or
// error (a read then tells which), the handle is closed, wakeFd (may be -1) becomes
// readable, or timeoutMs passes (INFINITE: no limit). The device stays open while it
// waits, so closing the handle from another thread ends the wait instead of leaving it on
// a reused descriptor. Results, as WaitForMultipleObjects gives them: WAIT_OBJECT_0 the
// port, WAIT_OBJECT_0 + 1 wakeFd (the port is then not looked at), WAIT_TIMEOUT, or
// WAIT_FAILED for an unknown handle and for devices that cannot be waited on (a parallel
// port, whose driver cannot poll; a regular file), whose owner falls back to a timed
// wait. Nothing is read: the bytes stay for the next ReadFile. (On Windows the wait reads
// one byte ahead and hands it to the next ReadFile; a USB printer port answers
// WAIT_FAILED there.)
[[nodiscard]] DWORD WaitForInput(HANDLE handle, int wakeFd, DWORD timeoutMs);

// Writes size bytes within the write total time-out (multiplier * size + constant; both
// 0: no limit), and ends early when no byte moves for the write constant (a printer that
// stopped taking bytes: with the multiplier MAXDWORD the total never comes), while a
// write that keeps moving, however slowly, goes on. When either passes first:
// ERROR_TIMEOUT with *written the bytes that were written; they stay queued (see
// AbandonOutput).
[[nodiscard]] LONG WriteFile(HANDLE handle, const void* data, DWORD size, DWORD* written);

// Discards what was written through the handle and has not left, as a drain's time-out
// does: a terminal's transmit queue is flushed, a network connection is reset (the handle
// then reports the device vanished); other devices keep nothing to discard. A drain under
// way meanwhile ends with ERROR_TIMEOUT, not with success. 0, or ERROR_INVALID_HANDLE.
LONG AbandonOutput(HANDLE handle);

// Waits until the bytes written through the handle have left the host: a terminal's
// transmit queue is empty (a pseudo-terminal has none: its bytes are with the program on
// the other side once written), a network printer acknowledged every byte (on Windows:
// the system took every byte, which is all Winsock tells), a USB
// printer's last transfer completed; a parallel port's writes already waited in the
// driver. The bytes still queued get the write total time-out a write of them would get,
// and a queue that does not move for the write constant alone is a stalled line. On a
// time-out (ERROR_TIMEOUT) what had not left is discarded, so that it never prints after
// the write was reported failed: a terminal's queue is flushed, a network connection is
// reset (the handle then reports the device vanished). ERROR_TIMEOUT also when another
// call discarded the queue meanwhile (AbandonOutput). ERROR_INVALID_HANDLE when the
// handle is closed meanwhile or the device hangs up. A pseudo-terminal's handle closed
// between the write and the drain (a reopen after the other side went away) still
// answers ERROR_SUCCESS: its bytes had left with the write, and reporting them failed
// would print them twice after a retry.
[[nodiscard]] LONG FlushFileBuffers(HANDLE handle);

// Queue sizes are the kernel's on Linux; accepted for terminals, ignored.
LONG SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
// PURGE_RXCLEAR / PURGE_TXCLEAR discard unread input / unsent output of a terminal. The
// abort flags have nothing to abort (no overlapped I/O). Succeeds on non-terminals.
LONG PurgeComm(HANDLE handle, DWORD flags);

[[nodiscard]] LONG GetCommState(HANDLE handle, DCB* dcb);
// Validates everything first and changes nothing on failure (ERROR_INVALID_PARAMETER for
// an unsupported baud rate, ByteSize outside 5..8, Parity above 4, StopBits above 2,
// 1.5 stop bits with more than 5 data bits, two stop bits with 5).
LONG SetCommState(HANDLE handle, const DCB& dcb);

[[nodiscard]] LONG GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
LONG SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts);

// Number of handles open in this process (for leak checks in tests).
std::size_t OpenHandleCount();

}  // namespace thermpos::platform::devfile
