// LinkPort: opens, configures, reads, writes and closes printer ports, and lists them.
//
// A flat C interface over the device-file layer. The library keeps no state between
// calls: every function works on the handle its caller passes, any number of ports may
// be open at once, and serialising calls on one handle is the caller's business (two
// threads may use two different handles freely). Nothing is retried inside the library
// and no function throws.
//
// Port names
//   "COMn" serial, "LPTn" parallel, "USBnnn" USB printer, "IRDA..." the infrared port
//   (opened as the serial port "COM4..."). Prefixes compare without regard to case and a
//   trailing colon is accepted ("COM1:", as PMEnumeratePorts reports it). A name is
//   resolved through the registry map HKEY_LOCAL_MACHINE\SOFTWARE\ThermPOS\Ports
//   ("COM1"="/dev/ttyUSB0"); an unmapped COMn opens /dev/ttyS(n-1) and an unmapped LPTn
//   /dev/lp(n-1). Names are limited to 255 characters.
//   Network printers (raw TCP): "IP_<host>" reaches <host> on port 9100 without a map
//   entry, and any name mapped to "socket://HOST[:PORT]" reaches that printer
//   ("COM9"="socket://192.168.1.50:9100"). Their open connects within 3 s and does not
//   wait afterwards; reads and writes honour the handle's time-outs as a serial port's
//   do; PMSetPortProperties checks and remembers the DCB without effect. A connection the
//   printer closed or reset gives 6, as a vanished device does, and reopening the name
//   connects again.
//
// Handles
//   A handle is owned by the caller from a successful PMOpenPort until PMClosePort. The
//   open is exclusive: while a handle is open, a second open of the same device from this
//   or any other process fails. INVALID_HANDLE_VALUE (all bits set) is never a valid handle.
//
// System error codes (results of PMWritePort and PMReadPort)
//   0 success, 1460 time-out, 170 busy, 21 not ready, 28 out of paper, 6 invalid handle
//   (also: the device vanished, so reopen), 5 access denied, 2 not found,
//   31 general failure (null data or buffer; any other system error).
//
// Serial settings
//   DCB and COMMTIMEOUTS have the Windows layouts (platform/comm.h). On Linux the DCB maps
//   onto termios and the modem lines; what termios cannot express is accepted, remembered
//   for the handle and returned by PMGetPortProperties without taking effect:
//   fOutxDsrFlow (DSR output flow control), fDsrSensitivity, fTXContinueOnXoff,
//   fErrorChar/ErrorChar, fAbortOnError, XonLim/XoffLim, EofChar, EvtChar, and
//   DTR_CONTROL_HANDSHAKE (DTR is raised instead). fNull is honoured by the read path.
//   On a pseudo-terminal the modem lines cannot be set; that does not fail the call.
#pragma once

#include "platform/comm.h"
#include "platform/win32.h"

#ifdef _WIN32
#define LINKPORT_API  // LinkPort.def names the exports
#else
#define LINKPORT_API __attribute__((visibility("default")))
#endif

extern "C" {

// Opens a port by name.
//   portName  in: zero-terminated name (see "Port names"); null or 256 characters and more
//             fail.
//   handle    out: the open handle, or INVALID_HANDLE_VALUE on failure. Must not be null.
//   modelKey  in: the printer model's key under the system's USB printer devices
//             ("QMXRT-K410", "QMXQMX5500", "TALVERNRT-K6100"); used only for "USB" names,
//             may be null otherwise.
// Returns 1 when opened, 0 on failure.
// Blocks: every COM, LPT or IRDA open, successful or not, waits a fixed 1000 ms afterwards
// (environment THERMPOS_OPEN_WAIT_MS shortens it); USB opens and unknown names do not wait.
// A network port blocks while it connects (at most 3 s, host name lookup included) and
// does not wait afterwards.
// IRDA ports are set to 9600 baud 8N1, no flow control and immediate reads; COM and LPT
// ports keep the settings the system gives them. A "USB" name is found through the
// registry's USB printer tree: the instance under
// SYSTEM\CurrentControlSet\Enum\USBPRINT\<modelKey> whose "Device Parameters\PortName" is
// portName, and its parent under ...\Enum\USB\Vid_xxxx&Pid_yyyy with the matching
// "ParentIdPrefix", whose "Device Parameters\SymbolicName" is opened.
LINKPORT_API int PMOpenPort(const char* portName, HANDLE* handle, const char* modelKey);

// Writes length bytes in chunks of at most 1024 bytes, one system write per chunk, each
// bounded by the handle's write total time-out and ended when no byte moves for the write
// constant (so a printer that stops taking bytes ends the write even with the multiplier
// MAXDWORD, while one that keeps taking them slowly is never cut off).
//   data     in: the bytes; null gives 31.
//   written  out, may be null: bytes written in total, also on failure.
// Returns 0 when all bytes were written (also for length <= 0, where nothing is written),
// 6 for INVALID_HANDLE_VALUE, else the system error code of the failing chunk; the loop
// stops there. A chunk that moves no bytes without an error ends the loop with 1460.
// On 1460 after part of the data was written, what of it had not left is discarded, as
// PMDrainPort does on its time-out: a retry sends the whole job, so no tail of it may
// print later (a network connection is reset by it, and reports the device vanished).
// Blocks until the bytes are handed to the device or a write time-out passes.
LINKPORT_API int PMWritePort(HANDLE handle, const void* data, int length, int* written);

// One read of up to size bytes.
//   buffer  out: receives the bytes; null gives 31 and *read is left untouched.
//   read    out, may be null: bytes read (set to 0 first).
// Returns 0 (also when the read time-out passed with fewer bytes), 6 for
// INVALID_HANDLE_VALUE or a handle closed while the read waited, else a system error code.
// Blocks as the handle's read time-outs say: read interval MAXDWORD with zero totals
// returns at once with what has arrived; all zero waits until size bytes arrived.
LINKPORT_API int PMReadPort(HANDLE handle, void* buffer, int size, int* read);

// Waits until the bytes written to the port have left the host: a serial port's transmit
// queue is empty (a pseudo-terminal has none), a network printer acknowledged them all, a
// USB printer took the last transfer; a parallel port's writes already waited for that.
// PMWritePort returns once the system has the bytes; a caller that reports a job done
// (OutputComplete) calls this first, so that a printer unplugged meanwhile does not take
// a job reported printed with it.
// Returns 0 when they have left, 6 for INVALID_HANDLE_VALUE, a handle closed while it
// waited or a device that went away, 1460 when the time-out passed, else a system error.
// Blocks: at most as long as a write of the bytes still queued may take (write
// multiplier x bytes + write constant; no limit when both are 0), and no longer than the
// write constant while the queue does not move at all (a stalled line). On a time-out the
// bytes that had not left are discarded (a network port's connection is reset, which
// makes its next call report 6), so that they cannot print after the job was reported
// failed and sent again.
LINKPORT_API int PMDrainPort(HANDLE handle);

// Waits, holding nothing, until the port has something for PMReadPort: input, or a
// hang-up, error or closed connection that the read will report. Reads nothing.
//   wakeFd     in: a descriptor (an eventfd, a pipe) that ends the wait when it becomes
//              readable, so the caller can stop or redirect a waiting thread; -1 for none.
//   timeoutMs  in: the longest wait; INFINITE waits without limit.
// Returns 0 (the port), 1 (wakeFd), 258 (the time passed), or 0xFFFFFFFF when the handle
// is INVALID_HANDLE_VALUE or not open, or its device cannot be waited on (a parallel port,
// whose driver cannot tell when input arrives); the caller then reads on a timer.
// PMClosePort of the handle from another thread ends the wait with 0. Unlike the other
// functions, it may be called while another thread writes to the same handle.
LINKPORT_API DWORD PMWaitPort(HANDLE handle, int wakeFd, DWORD timeoutMs);

// Discards pending input and output, then closes the handle.
// Returns 1 when closed, 0 for INVALID_HANDLE_VALUE or a handle that is not open.
LINKPORT_API int PMClosePort(HANDLE handle);

// Copies the handle's time-outs into *timeouts.
// Returns non-zero on success; 0 for a null timeouts, a handle of 0 or
// INVALID_HANDLE_VALUE, or a handle that is not open.
LINKPORT_API int PMGetPortTimeOuts(HANDLE handle, COMMTIMEOUTS* timeouts);

// Replace all five time-outs, the three read time-outs, or the two write time-outs of the
// handle (milliseconds), keeping the others. Non-zero on success, 0 on failure.
LINKPORT_API int PMSetPortTimeOuts(HANDLE handle, DWORD readInterval, DWORD readMultiplier,
                                   DWORD readConstant, DWORD writeMultiplier, DWORD writeConstant);
LINKPORT_API int PMSetReadPortTimeOuts(HANDLE handle, DWORD readInterval, DWORD readMultiplier,
                                       DWORD readConstant);
LINKPORT_API int PMSetWritePortTimeOuts(HANDLE handle, DWORD writeMultiplier, DWORD writeConstant);

// Reads the serial settings of the handle into *dcb (DCBlength set to 28).
// Returns 1 on success; 0 for a null dcb, a handle that is not a serial port (parallel
// and USB printer ports have no DCB), or a failure.
LINKPORT_API int PMGetPortProperties(HANDLE handle, DCB* dcb);

// Applies the serial settings. Returns 1 on success; 0 when the handle is not a serial
// port or a value is out of range (a baud rate the system does not support, ByteSize
// outside 5..8, Parity above 4, StopBits above 2, 1.5 stop bits with more than 5 data
// bits). Nothing changes on failure.
LINKPORT_API int PMSetPortProperties(HANDLE handle, DCB dcb);

// Lists the machine's ports whose names begin with "COM", "LPT", "USB" or "IP_", and
// the names the Ports map sends to a network printer: the registry's Ports map, the
// serial and printer device nodes present, and the USB printers in the registry's USB
// printer tree. Names look like "COM1:", "LPT1:", "USB001"; COM names
// come first, then LPT, then USB, each in numeric order.
//   list   out: on success, a new array of *count new zero-terminated strings (a
//          non-null array even when *count is 0). Ownership passes to the caller, who
//          gives it back with PMFreePortList. Left untouched on failure.
//   count  out: the number of names; 0 on failure.
// Returns 1 on success, 0 on failure (a null argument or no memory). Names that cannot
// be copied for lack of memory are dropped.
LINKPORT_API int PMEnumeratePorts(char*** list, int* count);

// Frees a list returned by PMEnumeratePorts: count strings and the array. A null list
// does nothing.
LINKPORT_API void PMFreePortList(char** list, int count);

}  // extern "C"
