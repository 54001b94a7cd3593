// COMMTIMEOUTS arithmetic for device files: when a read or write must end, worked out from
// a handle's time-outs, the size of the transfer and the time it started. Portable: a
// backend that waits on anything (poll here, overlapped I/O or Winsock elsewhere) asks
// these functions and only does the waiting itself. Private to the device-file code.
//
// Pure functions of their arguments: any thread, no locks.
#pragma once

#include <chrono>
#include <optional>

#include "platform/comm.h"
#include "platform/win32.h"

namespace thermpos::platform::devfile {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // nullopt: no limit

// start + multiplier * size + constant; no limit when both are 0, or when the sum is so
// large (about three years and more) that the clock would overflow before it mattered.
[[nodiscard]] Deadline TotalDeadline(Clock::time_point start, DWORD multiplier, DWORD constant,
                                     DWORD size);

// How one read of `size` bytes ends.
struct ReadTimeouts {
    // Return at once with what has arrived (interval MAXDWORD and both totals 0, or a port
    // whose reads always do so: a USB printer port).
    bool immediate = false;
    // Interval and multiplier MAXDWORD and 0 < constant < MAXDWORD: wait until `total` for
    // the first byte, then return at once with what is there.
    bool firstByte = false;
    // A gap longer than intervalMs after a byte ends the read (0 and MAXDWORD: no gap
    // limit; never with immediate or firstByte).
    bool useInterval = false;
    DWORD intervalMs = 0;
    Deadline total;  // the limit of the whole read; none with immediate

    // When the read waiting now must end: `total`, or earlier once bytes have come and
    // the gap after the last of them passes.
    [[nodiscard]] Deadline Next(DWORD got, Clock::time_point lastByte) const;
};
[[nodiscard]] ReadTimeouts PlanRead(const COMMTIMEOUTS& t, bool immediatePort, DWORD size,
                                    Clock::time_point start);

// How a wait for queued output to leave ends: the time a write of the queued bytes would
// get, or earlier when the queue stops moving for the write constant alone (a printer
// holding its handshake line, a network printer whose buffer stays full; with a
// multiplier of MAXDWORD, as the service objects set it, the total alone would never end
// the wait).
struct DrainTimeouts {
    Deadline total;
    std::optional<Clock::duration> stall;  // none when the write constant is 0

    [[nodiscard]] Deadline Next(Clock::time_point lastProgress) const;
};
[[nodiscard]] DrainTimeouts PlanDrain(const COMMTIMEOUTS& t, DWORD queued, Clock::time_point start);
// How a write of `size` bytes ends: as a wait for that many queued bytes would. Its total
// is the Win32 one; a write that moves no byte for the write constant is a stalled line
// and ends then, however far away the total is, while each byte taken starts that time
// again, so a slow printer that keeps taking bytes is never cut off by it.
[[nodiscard]] DrainTimeouts PlanWrite(const COMMTIMEOUTS& t, DWORD size, Clock::time_point start);

// How long a drain waits before looking at a serial line's transmit queue again: about
// the time the line needs for what is queued at `baud` (0: unknown), so that a long job
// is not looked at hundreds of times, yet its end is not noticed late by much.
[[nodiscard]] int DrainRecheckMs(long baud, long queued);

}  // namespace thermpos::platform::devfile
