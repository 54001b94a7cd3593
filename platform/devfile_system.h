// What devfile.cpp, which opens ports by name on every system, takes from each system's
// device files: one twin per system (devfile_posix.cpp, devfile_win32.cpp). Private to
// the device-file code.
//
// Threads: see the twins for the handle table and its locks; nothing here holds a lock.
#pragma once

#include <string>
#include <string_view>

#include "platform/comm.h"
#include "platform/netport.h"
#include "platform/win32.h"

namespace thermpos::platform::devfile::detail {

// A network port's time-outs until its owner sets its own: devices that set none on a port
// that is not serial (they take it for a USB printer's) read at once, as a USB printer port
// does, instead of waiting for ever for a full buffer. Writes have no limit of their own;
// keep-alive ends one to a printer that went silent.
inline constexpr COMMTIMEOUTS kNetworkTimeouts{MAXDWORD, 0, 0, 0, 0};

// What a serial port starts with, given to a network port so that a caller's
// read-modify-write of the DCB works; nothing of it reaches the wire.
DCB NetworkDcb();

// ---- what each system's file gives ----

// Opens the device path a port name resolved to (not a network URI), as OpenDevicePath
// does, with what the name itself tells of the device (`name` as the caller gave it).
[[nodiscard]] LONG OpenResolvedDevice(std::string_view name, const std::string& path, DWORD access,
                                      DWORD shareMode, HANDLE* handle);
// Connects to the network printer at `endpoint` within netport::kDefaultConnectMs and makes
// a handle of the connection (kNetworkTimeouts, NetworkDcb()). *handle is untouched on
// failure.
[[nodiscard]] LONG OpenConnectedPort(const netport::Endpoint& endpoint, HANDLE* handle);

}  // namespace thermpos::platform::devfile::detail
