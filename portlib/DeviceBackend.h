// DeviceBackend: the device calls LinkPort makes below its exports, behind one interface so
// that tests can stand in for the device (recording every write call, failing a chosen
// one) without hardware. SystemBackend() is the only implementation outside tests.
//
// One convention for every operation that reports a result: the system error number
// (Win32 numbering, platform/devfile.h's table), 0 on success. LinkPort's exports turn
// these into their own results (LinkPort.h); nothing below them compares with 1.
//
// Handles are the backend's own: only a handle its Open gave reaches its other operations,
// and it stays the backend's until Close, which the caller makes exactly once. A device
// that vanished (a USB printer or USB-serial adapter unplugged, a network printer that
// closed or reset the connection) keeps its handle open: every later call on it returns
// ERROR_INVALID_HANDLE (6), and the caller closes it and opens the name again.
//
// Locks: LinkPort holds none while it calls a backend, and a backend takes none that its
// caller could hold; calls on one handle are serialised by LinkPort's callers, except
// WaitInput, which may run while another thread writes to the same handle.
#pragma once

#include "platform/comm.h"
#include "platform/win32.h"

namespace thermpos::linkport {

class DeviceBackend {
  public:
    // Opens the device by its Windows-style name for reading and writing, without sharing
    // (CreateFileA with GENERIC_READ | GENERIC_WRITE, share mode 0, OPEN_EXISTING).
    //   handle  out: the new handle, INVALID_HANDLE_VALUE on failure.
    // 0; 2 for a name with no device; 5 or 32 for a device that is open elsewhere.
    // Blocks while the device opens; a network printer's connect is bounded to 3 s.
    virtual LONG Open(const char* name, HANDLE* handle) = 0;

    // Closes the handle (CloseHandle); a read, write or wait still running on it from
    // another thread ends with 6. 0, or 6 when the handle is not open. Does not block.
    virtual LONG Close(HANDLE handle) = 0;

    // One write of size bytes (WriteFile). *written is what the call moved, also when it
    // fails. Blocks until the device took the bytes, at most the handle's write total
    // time-out (no limit when both write time-outs are 0) and at most the write constant
    // without a byte moving; on either time-out 1460 with the bytes written so far. A
    // serial write time-out may also end with 0 and nothing moved. 6 for a vanished device.
    virtual LONG Write(HANDLE handle, const void* data, DWORD size, DWORD* written) = 0;

    // One read of up to size bytes (ReadFile). *read is what arrived, also on failure.
    // Blocks as the handle's read time-outs say (interval MAXDWORD with zero totals: not
    // at all); a time-out is 0 with fewer bytes, not an error. 6 for a vanished device.
    virtual LONG Read(HANDLE handle, void* buffer, DWORD size, DWORD* read) = 0;

    // Queue sizes (SetupComm: 1, invalid function, for a device that is not a terminal)
    // and discarding pending input or output (PurgeComm: 0 on any device). Do not block.
    virtual LONG Setup(HANDLE handle, DWORD inQueue, DWORD outQueue) = 0;
    virtual LONG Purge(HANDLE handle, DWORD flags) = 0;

    // The serial settings (GetCommState / SetCommState) and the handle's time-outs
    // (GetCommTimeouts / SetCommTimeouts). Do not block. 1 for a device that has no serial
    // settings (a parallel or USB printer port; a network port keeps a DCB without effect);
    // a refused SetState changes nothing.
    virtual LONG GetState(HANDLE handle, DCB* dcb) = 0;
    virtual LONG SetState(HANDLE handle, const DCB& dcb) = 0;
    virtual LONG GetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) = 0;
    virtual LONG SetTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) = 0;

    // Waits until the written bytes have left the host (FlushFileBuffers), at most as long
    // as a write of the bytes still queued may take; 1460 when that passed (what had not
    // left is discarded). Backends whose writes are done once they return (the tests'
    // fakes) have nothing to wait for and return 0 at once.
    virtual LONG Flush(HANDLE) { return 0; }

    // Discards what was written and has not left (devfile::AbandonOutput): a terminal's
    // queue is flushed, a network connection reset. Does not block. Backends that keep
    // nothing queued (the tests' fakes) have nothing to discard.
    virtual LONG Abandon(HANDLE) { return 0; }

    // The fixed pause after a serial, parallel or infrared open (Sleep). Blocks for the
    // whole time; nothing can end it early.
    virtual void Pause(DWORD milliseconds) = 0;

    // Waits, holding nothing, until the handle has input (or news a read will report: a
    // hang-up, a closed connection), wakeFd becomes readable, or timeoutMs passes
    // (devfile::WaitForInput). Not a system error: the wait result WAIT_OBJECT_0 (the
    // port), WAIT_OBJECT_0 + 1 (wakeFd), WAIT_TIMEOUT, or WAIT_FAILED for a device that
    // cannot be waited on (a parallel port) and for backends that cannot wait, as this
    // default says; callers then fall back to timed waits. Closing the handle from
    // another thread ends the wait with WAIT_OBJECT_0.
    virtual DWORD WaitInput(HANDLE handle, int wakeFd, DWORD timeoutMs);

  protected:
    ~DeviceBackend() = default;
};

// The real one: the device-file layer and the system clock. Alive for the whole process.
DeviceBackend& SystemBackend();

}  // namespace thermpos::linkport
