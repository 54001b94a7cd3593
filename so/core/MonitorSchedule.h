// When a port's monitor thread runs its next cycle, how long it waits for it and what kind
// of cycle it runs: the rules of "Between cycles" (StatusMonitor.h) as functions of a small
// state, the wait's result and the time, with no thread, clock or port of their own.
//
// The thread goes round: PlanWait says which wait comes next; the thread waits (and ends
// there when it is stopped); AfterWake reads how the wait ended and says which cycle to run;
// the thread runs it; AfterCycle takes what the cycle left.
#pragma once

#include <chrono>

#include "platform/win32.h"
#include "so/core/PortLibrary.h"

namespace thermpos::so {

using MonitorClock = std::chrono::steady_clock;

// What the thread carries from one cycle to the next.
struct CycleState {
    // The next cycle writes a request: the write step's own condition after the last
    // cycle (MonitorCycle::WriteDue). The first cycle writes the requests.
    bool writeDue = true;
    // While a write is due, input that arrives first is read at once and the write waits
    // for its time, so requests go out at the poll interval and status comes in as soon as
    // it is sent. An input wake that reads nothing while a write is due leaves the rest of
    // that interval to a timed wait (false until the next full cycle).
    bool watchInput = true;
    // Input wakes in a row whose cycle read nothing while no write was due: a descriptor
    // that stays ready with nothing for the read (a hang-up that no reopen clears, a reply
    // a paused device took) must not make the thread spin, so such a wake is followed by a
    // timed wait, doubling from the poll interval up to the idle interval.
    unsigned quietWakes = 0;
    bool backOff = false;  // the next wait is that back-off
    // When the last cycle that ran its write step ended; the next write is due a poll
    // interval later.
    MonitorClock::time_point lastCycle{};

    // Whether the printer still answers. A printer with automatic status back sends a
    // block only when its state changes, so an idle one that answered is asked again
    // every resend interval while nothing arrives (it answers with its current block), and
    // one that then sends nothing for the silence time, although the request went out, is
    // taken as silent (switched off, or its cable pulled). The clock starts again after
    // the port was busy otherwise (a device's output, a pause), since a request written
    // behind a long print is answered only after it. Nothing is judged on a port whose
    // printer never sent a byte (a one-way parallel port).
    bool heard = false;                     // the printer sent bytes since the thread started
    bool asked = false;                     // the request was written since quietSince
    bool silent = false;                    // taken as silent, until the printer sends again
    MonitorClock::time_point quietSince{};  // its last bytes, or the end of the port's other use
    MonitorClock::time_point lastAsked{};   // the request's last write
};

struct MonitorTiming {
    bool canWait = false;   // the port library waits for input and the wake descriptor exists
    DWORD pollMs = 5;       // the poll interval
    DWORD idleMs = 1000;    // the longest wait for input, never shorter than pollMs
    DWORD resendMs = 1000;  // a printer that answered is asked again this long after it went quiet
    DWORD silentMs = 3000;  // and taken as silent after this long without a byte
};

enum class WaitKind {
    Timed,     // for the time only
    BackOff,   // for the time only, after a quiet input wake
    ForInput,  // for input on the port or the wake descriptor, at most the time
};

struct NextWait {
    WaitKind kind = WaitKind::Timed;
    DWORD ms = 0;
};

// What the cycle after a wait does.
enum class CycleKind {
    // Its time came (the wait's time passed, or the port cannot be waited on): the write
    // step, the read step, and the writes that follow a read at once.
    OnTime,
    // Input or a wake-up came while no write was due: the write step runs (a query added
    // meanwhile writes its request), but the writes that follow a read go in the next
    // cycle; written the moment input brought a reply, each reply would bring the next
    // request at once.
    Early,
    // Input or a wake-up came before the due write: the read step only, whether or not a
    // reply is awaited; the write waits for its time.
    ReadFirst,
};

// Which of the monitor's wake counts (CStatusMonitor::WakeCounts) a wait adds to.
enum class WakeCount { Input, Kicked, Idle, Timed };

struct WakePlan {
    // The port could not be waited on after all (a handle being reopened, a parallel
    // port): a timed wait of fallbackMs comes before the cycle.
    bool fallbackWait = false;
    DWORD fallbackMs = 0;
    CycleKind cycle = CycleKind::OnTime;
    WakeCount counted = WakeCount::Timed;
    bool byInput = false;  // the port had input
};

// Milliseconds from now until the due write, rounded up so that a wait does not end just
// before it; 0 when it is due already.
DWORD UntilWriteMs(const CycleState& state, const MonitorTiming& timing,
                   MonitorClock::time_point now);

// The wait before the next cycle.
NextWait PlanWait(const CycleState& state, const MonitorTiming& timing,
                  MonitorClock::time_point now);

// How the wait ended (a Timed or BackOff wait ends with TimedOut) and the cycle to run.
// Updates the state's back-off.
WakePlan AfterWake(CycleState* state, const NextWait& wait, PortWait woke,
                   const MonitorTiming& timing, MonitorClock::time_point now);

// After the cycle: writeDue is the write step's condition now, bytesRead whether a read of
// the cycle brought bytes, now the time the cycle ended.
void AfterCycle(CycleState* state, const WakePlan& plan, bool writeDue, bool bytesRead,
                MonitorClock::time_point now);

// Whether a printer that answered before has been quiet for the resend interval since its
// last bytes and the request's last write: the next cycle writes the request although no
// write is due.
bool ResendDue(const CycleState& state, const MonitorTiming& timing, MonitorClock::time_point now);
// The port was in other use (a device's output, a pause of the monitor) until `until`:
// silence counts from then, and requests written before it do not count.
void NotePortBusy(CycleState* state, MonitorClock::time_point until);
// What the cycle's exchange tells of the printer: wrote, the request went out (or its write
// timed out); bytesRead, bytes came. True once, when the printer is now taken as silent;
// the next bytes end that.
bool AfterExchange(CycleState* state, const MonitorTiming& timing, bool wrote, bool bytesRead,
                   MonitorClock::time_point now);

}  // namespace thermpos::so
