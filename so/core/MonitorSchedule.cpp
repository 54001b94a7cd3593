// The monitor thread's schedule. See MonitorSchedule.h.
#include "so/core/MonitorSchedule.h"

#include <algorithm>
#include <cstdint>

namespace thermpos::so {

DWORD UntilWriteMs(const CycleState& state, const MonitorTiming& timing,
                   MonitorClock::time_point now) {
    const auto left = state.lastCycle + std::chrono::milliseconds(timing.pollMs) - now;
    return static_cast<DWORD>(
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

namespace {

MonitorClock::time_point ResendTime(const CycleState& state, const MonitorTiming& timing) {
    return std::max(state.quietSince, state.lastAsked) + std::chrono::milliseconds(timing.resendMs);
}

// The longest wait with no write due: the idle interval, or until the resend of a printer
// that answered before.
DWORD IdleWaitMs(const CycleState& state, const MonitorTiming& timing,
                 MonitorClock::time_point now) {
    if (!state.heard)
        return timing.idleMs;
    const auto left = ResendTime(state, timing) - now;
    const long long ms =
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count());
    return static_cast<DWORD>(std::min<long long>(ms, timing.idleMs));
}

}  // namespace

NextWait PlanWait(const CycleState& state, const MonitorTiming& timing,
                  MonitorClock::time_point now) {
    if (!timing.canWait)
        return {WaitKind::Timed, timing.pollMs};
    if (state.writeDue && !state.watchInput)
        return {WaitKind::Timed, UntilWriteMs(state, timing, now)};
    if (state.backOff && !state.writeDue) {
        const unsigned shift = std::min(state.quietWakes - 1, 10u);
        const DWORD backOff = static_cast<DWORD>(
            std::min<std::uint64_t>(timing.idleMs, std::uint64_t{timing.pollMs} << shift));
        return {WaitKind::BackOff, std::min(backOff, IdleWaitMs(state, timing, now))};
    }
    return {WaitKind::ForInput,
            state.writeDue ? UntilWriteMs(state, timing, now) : IdleWaitMs(state, timing, now)};
}

WakePlan AfterWake(CycleState* state, const NextWait& wait, PortWait woke,
                   const MonitorTiming& timing, MonitorClock::time_point now) {
    WakePlan plan;
    if (wait.kind != WaitKind::ForInput) {
        if (wait.kind == WaitKind::BackOff)
            state->backOff = false;
        return plan;
    }
    const bool due = state->writeDue;
    switch (woke) {
        case PortWait::Input:
        case PortWait::Woken:
            // Read now; a due write waits for its time.
            plan.cycle = due ? CycleKind::ReadFirst : CycleKind::Early;
            plan.byInput = woke == PortWait::Input;
            plan.counted = plan.byInput ? WakeCount::Input : WakeCount::Kicked;
            break;
        case PortWait::TimedOut:
            if (!due)
                state->quietWakes = 0;
            plan.counted = due ? WakeCount::Timed : WakeCount::Idle;
            break;
        case PortWait::CannotWait:
            plan.fallbackWait = true;
            plan.fallbackMs = due ? UntilWriteMs(*state, timing, now) : timing.pollMs;
            break;
    }
    return plan;
}

void AfterCycle(CycleState* state, const WakePlan& plan, bool writeDue, bool bytesRead,
                MonitorClock::time_point now) {
    if (plan.cycle != CycleKind::ReadFirst) {
        state->lastCycle = now;
        state->watchInput = true;
    }
    const bool wasDue = state->writeDue;
    state->writeDue = writeDue;
    if (bytesRead) {
        state->quietWakes = 0;
        state->backOff = false;
    } else if (plan.byInput && wasDue) {
        state->watchInput = false;
    } else if (plan.byInput) {
        ++state->quietWakes;
        state->backOff = true;
    }
}

bool ResendDue(const CycleState& state, const MonitorTiming& timing, MonitorClock::time_point now) {
    return state.heard && now >= ResendTime(state, timing);
}

void NotePortBusy(CycleState* state, MonitorClock::time_point until) {
    if (until > state->quietSince) {
        state->quietSince = until;
        state->asked = false;
    }
}

bool AfterExchange(CycleState* state, const MonitorTiming& timing, bool wrote, bool bytesRead,
                   MonitorClock::time_point now) {
    if (bytesRead) {
        state->heard = true;
        state->silent = false;
        state->asked = false;
        state->quietSince = now;
    }
    if (wrote) {
        state->asked = true;
        state->lastAsked = now;
    }
    if (!state->heard || !state->asked || state->silent ||
        now - state->quietSince < std::chrono::milliseconds(timing.silentMs))
        return false;
    state->silent = true;
    return true;
}

}  // namespace thermpos::so
