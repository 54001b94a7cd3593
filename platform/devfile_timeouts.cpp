// COMMTIMEOUTS arithmetic. See devfile_timeouts.h.
#include "platform/devfile_timeouts.h"

#include <algorithm>
#include <cstdint>

namespace thermpos::platform::devfile {
namespace {

Deadline Earlier(Deadline a, Clock::time_point b) {
    return a ? std::min(*a, b) : b;
}

}  // namespace

Deadline TotalDeadline(Clock::time_point start, DWORD multiplier, DWORD constant, DWORD size) {
    if (multiplier == 0 && constant == 0)
        return std::nullopt;
    std::uint64_t ms = std::uint64_t{multiplier} * size + constant;  // < 2^64: no wrap
    if (ms > 100'000'000'000ull)
        return std::nullopt;
    return start + std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

ReadTimeouts PlanRead(const COMMTIMEOUTS& t, bool immediatePort, DWORD size,
                      Clock::time_point start) {
    ReadTimeouts plan;
    plan.immediate =
        immediatePort || (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                          t.ReadTotalTimeoutConstant == 0);
    plan.firstByte = t.ReadIntervalTimeout == MAXDWORD &&
                     t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant > 0 &&
                     t.ReadTotalTimeoutConstant < MAXDWORD;
    if (plan.firstByte)
        plan.total = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    else if (!plan.immediate)
        plan.total =
            TotalDeadline(start, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, size);
    plan.useInterval = !plan.immediate && !plan.firstByte && t.ReadIntervalTimeout != 0 &&
                       t.ReadIntervalTimeout != MAXDWORD;
    plan.intervalMs = t.ReadIntervalTimeout;
    return plan;
}

Deadline ReadTimeouts::Next(DWORD got, Clock::time_point lastByte) const {
    if (useInterval && got > 0)
        return Earlier(total, lastByte + std::chrono::milliseconds(intervalMs));
    return total;
}

DrainTimeouts PlanDrain(const COMMTIMEOUTS& t, DWORD queued, Clock::time_point start) {
    DrainTimeouts plan;
    plan.total =
        TotalDeadline(start, t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, queued);
    if (t.WriteTotalTimeoutConstant != 0)
        plan.stall = std::chrono::milliseconds(t.WriteTotalTimeoutConstant);
    return plan;
}

DrainTimeouts PlanWrite(const COMMTIMEOUTS& t, DWORD size, Clock::time_point start) {
    return PlanDrain(t, size, start);
}

Deadline DrainTimeouts::Next(Clock::time_point lastProgress) const {
    return stall ? Earlier(total, lastProgress + *stall) : total;
}

int DrainRecheckMs(long baud, long queued) {
    constexpr long kShortest = 1, kLongest = 20;
    if (baud <= 0)
        return kLongest;
    const long long ms = static_cast<long long>(std::max(queued, 0L)) * 10 * 1000 / baud;
    return static_cast<int>(std::clamp<long long>(ms, kShortest, kLongest));
}

}  // namespace thermpos::platform::devfile
