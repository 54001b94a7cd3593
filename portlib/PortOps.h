// The port library's operations on a given backend. The PM* exports (LinkPort.cpp) call
// them with SystemBackend(); tests call them with a fake. Contracts: LinkPort.h.
#pragma once

#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/win32.h"
#include "portlib/DeviceBackend.h"

namespace thermpos::linkport {

inline constexpr int kNameBufferSize = 256;  // names hold at most 255 characters
inline constexpr int kWriteChunk = 1024;
inline constexpr DWORD kOpenWaitMs = 1000;

// The pause after a serial, parallel or infrared open: 1000 ms, or the smaller value of
// THERMPOS_OPEN_WAIT_MS.
DWORD OpenWaitMs();

int OpenPort(DeviceBackend& io, const char* portName, HANDLE* handle, const char* modelKey);
int WritePort(DeviceBackend& io, HANDLE handle, const void* data, int length, int* written);
int ReadPort(DeviceBackend& io, HANDLE handle, void* buffer, int size, int* read);
int DrainPort(DeviceBackend& io, HANDLE handle);
DWORD WaitPort(DeviceBackend& io, HANDLE handle, int wakeFd, DWORD timeoutMs);
int ClosePort(DeviceBackend& io, HANDLE handle);
int GetPortTimeOuts(DeviceBackend& io, HANDLE handle, COMMTIMEOUTS* timeouts);
// Replaces the members selected by the flags, keeping the others.
int SetPortTimeOuts(DeviceBackend& io, HANDLE handle, bool setRead, bool setWrite,
                    const COMMTIMEOUTS& values);
int GetPortProperties(DeviceBackend& io, HANDLE handle, DCB* dcb);
int SetPortProperties(DeviceBackend& io, HANDLE handle, const DCB& dcb);

// The PMEnumeratePorts result from a port list: the names beginning with COM, LPT, USB or
// IP_, and those among networkNames (map entries that lead to a network printer),
// copied with malloc into a malloc'd array. 1, or 0 (leaving *list untouched) when the
// array cannot be allocated or an argument is null.
int CopyPortNames(const std::vector<std::string>& names, char*** list, int* count,
                  const std::vector<std::string>& networkNames = {});

}  // namespace thermpos::linkport
