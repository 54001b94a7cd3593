// The status monitor's rules on their own, without threads or ports: the schedule between
// cycles (which wait, how long, which cycle after it), the per-port and per-model policy,
// and the port-kind rule it is built on. Each row is one rule of the monitor's loop; a
// row that fails names the rule that changed.
#include <gtest/gtest.h>

#include <vector>

#include "so/core/MonitorPolicy.h"
#include "so/core/MonitorSchedule.h"
#include "so/core/PortNameKind.h"
#include "so/core/StatusMonitor.h"

namespace thermpos::so {
namespace {

using namespace std::chrono_literals;
using platform::portname::KindOf;
using platform::portname::PortKind;

const MonitorClock::time_point kT0 = MonitorClock::time_point{} + 1h;

CycleState State(bool writeDue, bool watchInput, unsigned quietWakes = 0, bool backOff = false) {
    CycleState s;
    s.writeDue = writeDue;
    s.watchInput = watchInput;
    s.quietWakes = quietWakes;
    s.backOff = backOff;
    s.lastCycle = kT0;
    return s;
}

constexpr MonitorTiming kWaits{true, 5, 1000};
constexpr MonitorTiming kPolls{false, 5, 1000};

TEST(MonitorScheduleTest, PlanWaitPicksTheWaitAndItsLimit) {
    struct Row {
        const char* rule;
        CycleState state;
        MonitorTiming timing;
        MonitorClock::duration sinceCycle;
        WaitKind kind;
        DWORD ms;
    };
    const Row rows[] = {
        {"a port that cannot be waited on is polled on the interval, due or not", State(true, true),
         kPolls, 2ms, WaitKind::Timed, 5},
        {"polled: a back-off has no meaning there", State(false, true, 3, true), kPolls, 0ms,
         WaitKind::Timed, 5},
        {"a due write after a quiet input wake waits for the rest of its interval",
         State(true, false), kWaits, 2ms, WaitKind::Timed, 3},
        {"the rest of the interval is rounded up", State(true, false), kWaits, 1500us,
         WaitKind::Timed, 4},
        {"a write overdue is not waited for", State(true, false), kWaits, 9ms, WaitKind::Timed, 0},
        {"a due write watches for input until its time", State(true, true), kWaits, 1ms,
         WaitKind::ForInput, 4},
        {"nothing due: wait for input up to the idle interval", State(false, true), kWaits, 1ms,
         WaitKind::ForInput, 1000},
        {"first quiet wake backs off for one poll interval", State(false, true, 1, true), kWaits,
         0ms, WaitKind::BackOff, 5},
        {"each quiet wake in a row doubles the back-off", State(false, true, 4, true), kWaits, 0ms,
         WaitKind::BackOff, 40},
        {"the back-off stops at the idle interval", State(false, true, 9, true), kWaits, 0ms,
         WaitKind::BackOff, 1000},
        {"the doubling stops after ten steps", State(false, true, 40, true),
         MonitorTiming{true, 1, 100000}, 0ms, WaitKind::BackOff, 1024},
        {"a due write overrides the back-off", State(true, true, 3, true), kWaits, 1ms,
         WaitKind::ForInput, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        const NextWait wait = PlanWait(row.state, row.timing, kT0 + row.sinceCycle);
        EXPECT_EQ(wait.kind, row.kind);
        EXPECT_EQ(wait.ms, row.ms);
    }
}

TEST(MonitorScheduleTest, AfterWakeSaysWhichCycleRunsAndWhatIsCounted) {
    struct Row {
        const char* rule;
        bool writeDue;
        WaitKind waited;
        PortWait woke;
        CycleKind cycle;
        WakeCount counted;
        bool byInput;
    };
    const Row rows[] = {
        {"a timed wait runs the cycle on time", true, WaitKind::Timed, PortWait::TimedOut,
         CycleKind::OnTime, WakeCount::Timed, false},
        {"so does a back-off", false, WaitKind::BackOff, PortWait::TimedOut, CycleKind::OnTime,
         WakeCount::Timed, false},
        {"the due write's time came", true, WaitKind::ForInput, PortWait::TimedOut,
         CycleKind::OnTime, WakeCount::Timed, false},
        {"the idle interval passed with nothing on the port", false, WaitKind::ForInput,
         PortWait::TimedOut, CycleKind::OnTime, WakeCount::Idle, false},
        {"input before the due write: read now, write on time", true, WaitKind::ForInput,
         PortWait::Input, CycleKind::ReadFirst, WakeCount::Input, true},
        {"input with nothing due: a whole cycle, follow-up writes later", false, WaitKind::ForInput,
         PortWait::Input, CycleKind::Early, WakeCount::Input, true},
        {"a wake-up before the due write reads first", true, WaitKind::ForInput, PortWait::Woken,
         CycleKind::ReadFirst, WakeCount::Kicked, false},
        {"a wake-up with nothing due writes a query added meanwhile", false, WaitKind::ForInput,
         PortWait::Woken, CycleKind::Early, WakeCount::Kicked, false},
        {"a port that could not be waited on runs on time", true, WaitKind::ForInput,
         PortWait::CannotWait, CycleKind::OnTime, WakeCount::Timed, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        CycleState state = State(row.writeDue, true, 2, row.waited == WaitKind::BackOff);
        const WakePlan plan =
            AfterWake(&state, NextWait{row.waited, 7}, row.woke, kWaits, kT0 + 1ms);
        EXPECT_EQ(plan.cycle, row.cycle);
        EXPECT_EQ(plan.counted, row.counted);
        EXPECT_EQ(plan.byInput, row.byInput);
        EXPECT_EQ(plan.fallbackWait, row.woke == PortWait::CannotWait);
        EXPECT_FALSE(state.backOff) << "a back-off is spent by its wait";
        // Only an idle time-out ends a run of quiet wakes.
        const bool idle = row.counted == WakeCount::Idle;
        EXPECT_EQ(state.quietWakes, idle ? 0u : 2u);
    }
}

TEST(MonitorScheduleTest, AWaitThatFailsFallsBackToATimedWait) {
    // Until the due write when one is due, else one poll interval.
    CycleState due = State(true, true);
    WakePlan plan =
        AfterWake(&due, NextWait{WaitKind::ForInput, 5}, PortWait::CannotWait, kWaits, kT0 + 3ms);
    EXPECT_EQ(plan.fallbackMs, 2u);
    CycleState idle = State(false, true);
    plan = AfterWake(&idle, NextWait{WaitKind::ForInput, 1000}, PortWait::CannotWait,
                     MonitorTiming{true, 20, 1000}, kT0 + 3ms);
    EXPECT_EQ(plan.fallbackMs, 20u);
}

TEST(MonitorScheduleTest, AfterCycleCarriesTheStateToTheNextWait) {
    const auto plan = [](CycleKind cycle, bool byInput) {
        WakePlan p;
        p.cycle = cycle;
        p.byInput = byInput;
        return p;
    };
    struct Row {
        const char* rule;
        CycleState before;
        WakePlan plan;
        bool writeDue;
        bool bytesRead;
        CycleState after;  // lastCycle checked apart
        bool cycleCounts;  // the next write is due a poll interval after this cycle
    };
    const Row rows[] = {
        {"a timed cycle that wrote: the next write is due later", State(true, false),
         plan(CycleKind::OnTime, false), false, false, State(false, true), true},
        {"bytes read end a run of quiet wakes", State(false, true, 3, true),
         plan(CycleKind::Early, true), false, true, State(false, true), true},
        {"input that read nothing while a write was due: a timed wait for the rest",
         State(true, true), plan(CycleKind::ReadFirst, true), true, false, State(true, false),
         false},
        {"input that read nothing with nothing due: one more quiet wake, back off",
         State(false, true, 1), plan(CycleKind::Early, true), false, false,
         State(false, true, 2, true), true},
        {"a wake-up that read nothing is not a quiet wake", State(false, true, 1),
         plan(CycleKind::Early, false), true, false, State(true, true, 1), true},
        {"a read-first cycle leaves the write's time where it was", State(true, true),
         plan(CycleKind::ReadFirst, true), true, true, State(true, true), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        CycleState state = row.before;
        AfterCycle(&state, row.plan, row.writeDue, row.bytesRead, kT0 + 9ms);
        EXPECT_EQ(state.writeDue, row.after.writeDue);
        EXPECT_EQ(state.watchInput, row.after.watchInput);
        EXPECT_EQ(state.quietWakes, row.after.quietWakes);
        EXPECT_EQ(state.backOff, row.after.backOff);
        EXPECT_EQ(state.lastCycle, row.cycleCounts ? kT0 + 9ms : kT0);
    }
}

CycleState Heard(MonitorClock::duration quietFor, MonitorClock::duration askedAgo) {
    CycleState s = State(false, true);
    s.heard = true;
    s.quietSince = kT0 - quietFor;
    s.lastAsked = kT0 - askedAgo;
    return s;
}

TEST(MonitorScheduleTest, APrinterThatAnsweredIsAskedAgainOnceASecondWhileQuiet) {
    struct Row {
        const char* rule;
        CycleState state;
        bool resendDue;
        DWORD waitMs;  // the wait planned with nothing due
    };
    const Row rows[] = {
        {"a port that never answered waits the idle interval and is not asked again",
         State(false, true), false, 1000},
        {"answered just now: the wait ends when the resend is due", Heard(200ms, 200ms), false,
         800},
        {"the request's last write counts as much as the last bytes", Heard(900ms, 300ms), false,
         700},
        {"quiet for a second since both: asked again", Heard(1s, 1s), true, 0},
        {"long silent: still asked, once a second after the last write", Heard(10s, 1500ms), true,
         0},
    };
    const MonitorTiming longIdle{true, 5, 60000};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        EXPECT_EQ(ResendDue(row.state, kWaits, kT0), row.resendDue);
        const NextWait wait = PlanWait(row.state, kWaits, kT0);
        EXPECT_EQ(wait.kind, WaitKind::ForInput);
        EXPECT_EQ(wait.ms, row.waitMs);
        // A long idle interval (as the tests set) does not put the resend off.
        if (row.state.heard) {
            EXPECT_EQ(PlanWait(row.state, longIdle, kT0).ms, row.waitMs);
        }
    }
    // Nor does a back-off after quiet input wakes.
    CycleState backingOff = Heard(900ms, 900ms);
    backingOff.quietWakes = 9;
    backingOff.backOff = true;
    const NextWait wait = PlanWait(backingOff, kWaits, kT0);
    EXPECT_EQ(wait.kind, WaitKind::BackOff);
    EXPECT_EQ(wait.ms, 100u);
}

TEST(MonitorScheduleTest, SilenceIsThreeSecondsWithoutABytePastARequest) {
    // Steps of one exchange each: at `at` after the start, whether the cycle wrote the
    // request and read bytes, and whether the port was busy otherwise until then.
    struct Step {
        MonitorClock::duration at;
        bool wrote, bytesRead, busyBefore;
        bool becameSilent;
    };
    struct Row {
        const char* rule;
        std::vector<Step> steps;
        bool silentAtEnd;
    };
    const Row rows[] = {
        {"never answered: not judged however long it is asked",
         {{0s, true, false, false, false},
          {5s, true, false, false, false},
          {60s, true, false, false, false}},
         false},
        {"answered, then asked and silent for three seconds",
         {{0s, true, true, false, false},
          {1s, true, false, false, false},
          {2s, true, false, false, false},
          {2999ms, false, false, false, false},
          {3s, true, false, false, true}},
         true},
        {"reported once: later silent cycles say nothing new",
         {{0s, false, true, false, false},
          {1s, true, false, false, false},
          {3s, true, false, false, true},
          {4s, true, false, false, false}},
         true},
        {"quiet without a request written is not silence",
         {{0s, false, true, false, false}, {10s, false, false, false, false}},
         false},
        {"bytes end the silence",
         {{0s, false, true, false, false},
          {1s, true, false, false, false},
          {3s, true, false, false, true},
          {4s, false, true, false, false}},
         false},
        {"and a new silence is judged afresh",
         {{0s, false, true, false, false},
          {1s, true, false, false, false},
          {3s, true, false, false, true},
          {4s, false, true, false, false},
          {5s, true, false, false, false},
          {7s, true, false, false, true}},
         true},
        {"the port's other use restarts the clock: a request behind a long print waits",
         {{0s, false, true, false, false},
          {1s, true, false, false, false},
          {2500ms, false, false, true, false},
          {3500ms, true, false, false, false},
          {5499ms, true, false, false, false},
          {5500ms, true, false, false, true}},
         true},
        {"requests written before the busy time do not count after it",
         {{0s, false, true, false, false},
          {1s, true, false, false, false},
          {3s, false, false, true, false},
          {7s, false, false, false, false}},
         false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.rule);
        CycleState state = State(false, true);
        for (const Step& step : row.steps) {
            SCOPED_TRACE(std::chrono::duration_cast<std::chrono::milliseconds>(step.at).count());
            if (step.busyBefore)
                NotePortBusy(&state, kT0 + step.at);
            EXPECT_EQ(AfterExchange(&state, kWaits, step.wrote, step.bytesRead, kT0 + step.at),
                      step.becameSilent);
        }
        EXPECT_EQ(state.silent, row.silentAtEnd);
    }
}

TEST(MonitorScheduleTest, ABusyTimeBeforeTheLastBytesChangesNothing) {
    CycleState state = State(false, true);
    ASSERT_FALSE(AfterExchange(&state, kWaits, true, true, kT0 + 5s));
    ASSERT_FALSE(AfterExchange(&state, kWaits, true, false, kT0 + 6s));
    // An output that ended before the printer's last bytes (the port's record of it, read
    // every cycle) keeps the request written since.
    NotePortBusy(&state, kT0 + 1s);
    EXPECT_TRUE(state.asked);
    EXPECT_EQ(state.quietSince, kT0 + 5s);
    EXPECT_TRUE(AfterExchange(&state, kWaits, false, false, kT0 + 8s));
}

TEST(MonitorPolicyTest, RulesByPortKindAndProfile) {
    MonitorProfile all;
    all.rewriteAfterEveryRead = all.rewriteAfterReply = all.holdReplies = true;
    all.writeAfterParallelRead = true;
    const MonitorProfile none{false, false, false, false};
    struct Row {
        MonitoredPort port;
        bool stepTimeouts, reopens, checksHandleFirst, unreportedBlock;
        // With every profile rule on, and with none.
        bool everyReadAll, everyReadNone, replyAll, holdAll, writeAfterReadAll;
    };
    const Row rows[] = {
        {MonitoredPort::Usb, false, true, false, true, true, true, false, false, false},
        {MonitoredPort::Serial, true, true, true, false, true, false, true, true, false},
        {MonitoredPort::Network, true, true, true, false, false, false, false, false, false},
        {MonitoredPort::Parallel, true, false, false, false, false, false, false, false, true},
        {MonitoredPort::Other, true, false, false, false, false, false, false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.port));
        const MonitorPolicy on = MonitorPolicy::For(row.port, all);
        const MonitorPolicy off = MonitorPolicy::For(row.port, none);
        for (const MonitorPolicy& p : {on, off}) {
            EXPECT_EQ(p.stepTimeouts, row.stepTimeouts);
            EXPECT_EQ(p.reopens, row.reopens);
            EXPECT_EQ(p.checksHandleFirst, row.checksHandleFirst);
            EXPECT_EQ(p.unreportedBlock, row.unreportedBlock);
        }
        EXPECT_EQ(on.rewriteAfterEveryRead, row.everyReadAll);
        EXPECT_EQ(off.rewriteAfterEveryRead, row.everyReadNone);
        EXPECT_EQ(on.rewriteAfterReply, row.replyAll);
        EXPECT_EQ(on.holdReplies, row.holdAll);
        EXPECT_EQ(on.writeAfterRead, row.writeAfterReadAll);
        EXPECT_FALSE(off.rewriteAfterReply || off.holdReplies || off.writeAfterRead);
    }
}

TEST(MonitorPolicyTest, PortsAreClassifiedAsTheMonitorSeesThem) {
    EXPECT_EQ(ClassifyMonitoredPort("usb001"), MonitoredPort::Usb);
    EXPECT_EQ(ClassifyMonitoredPort("LPT1"), MonitoredPort::Parallel);
    EXPECT_EQ(ClassifyMonitoredPort("\\\\.\\COM3"), MonitoredPort::Serial);
    EXPECT_EQ(ClassifyMonitoredPort("IP_printer.example.com"), MonitoredPort::Network);
    EXPECT_EQ(ClassifyMonitoredPort("IRDA"), MonitoredPort::Other);
}

TEST(PortNameKindTest, KindsIgnoreCaseWhicheverRuleIsUsed) {
    // A Port value typed in lower case is the same port for the status monitor as for
    // the port library that opened it.
    EXPECT_EQ(KindOf("usb001"), PortKind::Usb);
    EXPECT_EQ(KindFoundIn("usb001"), PortKind::Usb);
    EXPECT_EQ(KindOf("Lpt1:"), PortKind::Parallel);
    EXPECT_EQ(KindFoundIn("Lpt1:"), PortKind::Parallel);
    EXPECT_EQ(KindOf("com3"), PortKind::Serial);
    EXPECT_EQ(KindFoundIn("com3"), PortKind::Serial);
}

TEST(PortNameKindTest, LeadingKindAndKindFoundInsideDifferOnlyWhereDocumented) {
    // The port library opens what it is given; a device-namespace name is not its port.
    EXPECT_EQ(KindOf("\\\\.\\COM3"), PortKind::None);
    EXPECT_EQ(KindFoundIn("\\\\.\\COM3"), PortKind::Serial);
    // Infrared is a kind of its own only where names are opened.
    EXPECT_EQ(KindOf("IrDA"), PortKind::Infrared);
    EXPECT_EQ(KindFoundIn("IRDA"), PortKind::None);
    // USB is looked for first.
    EXPECT_EQ(KindFoundIn("COM-USB"), PortKind::Usb);
    EXPECT_EQ(KindFoundIn(""), PortKind::None);
    // A host name may hold another kind's letters.
    EXPECT_EQ(KindFoundIn("\\\\.\\IP_shop.example.com"), PortKind::Network);
}

}  // namespace
}  // namespace thermpos::so
