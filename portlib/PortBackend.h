// The system calls LinkPort makes, behind one interface so that tests can stand in for
// the device (recording every write call, failing a chosen one) without hardware.
//
// Each operation is the Win32 call of the same role in the original design and returns
// its system error number directly (0 on success). Operations may block as their device
// layer counterparts do (platform/devfile.h); none takes a lock the caller could hold.
// Handles are the backend's own: only handles from its Open reach its other operations.
#pragma once

#include "platform/comm.h"
#include "platform/win32.h"

namespace thermpos::linkport {

class PortBackend {
  public:
    // CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /*no sharing*/, nullptr,
    // OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr). On failure *handle is
    // INVALID_HANDLE_VALUE. A second open of a device that is open fails (5 or 32).
    virtual LONG Open(const char* name, HANDLE* handle) = 0;
    // CloseHandle.
    virtual LONG Close(HANDLE handle) = 0;
    // One WriteFile: *written is what the call moved, also when it fails; a total write
    // time-out gives ERROR_TIMEOUT with the bytes written so far.
    virtual LONG Write(HANDLE handle, const void* data, DWORD size, DWORD* written) = 0;
    // One ReadFile, bounded by the handle's read time-outs.
    virtual LONG Read(HANDLE handle, void* buffer, DWORD size, DWORD* read) = 0;
    virtual LONG Setup(HANDLE handle, DWORD inQueue, DWORD outQueue) = 0;  // SetupComm
    virtual LONG Purge(HANDLE handle, DWORD flags) = 0;                    // PurgeComm
    virtual LONG GetState(HANDLE handle, DCB* dcb) = 0;                    // GetCommState
    virtual LONG SetState(HANDLE handle, const DCB& dcb) = 0;              // SetCommState
    virtual LONG GetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) = 0;   // GetCommTimeouts
    virtual LONG SetTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) = 0;
    // FlushFileBuffers: waits until the written bytes have left the host. Backends whose
    // writes are done once they return (the tests' fakes) have nothing to wait for.
    virtual LONG Flush(HANDLE) { return 0; }
    // The fixed pause after a serial, parallel or infrared open (Sleep).
    virtual void Pause(DWORD milliseconds) = 0;
    // Waits until the handle has input (or news a read will report), wakeFd is readable or
    // the time passes: devfile::WaitForInput. Backends that cannot wait say WAIT_FAILED,
    // and their callers fall back to timed waits.
    virtual DWORD WaitInput(HANDLE handle, int wakeFd, DWORD timeoutMs);

  protected:
    ~PortBackend() = default;
};

// The real one: the device-file layer and the system clock.
PortBackend& SystemBackend();

}  // namespace thermpos::linkport
