// When a device read or wait must end, from COMMTIMEOUTS as the Win32 serial driver reads
// them. A fault here makes a status read wait for ever, return before the printer could
// answer, or a stalled line hold a print job without end.
#include "platform/devfile_timeouts.h"

#include <gtest/gtest.h>

#include <optional>

namespace thermpos::platform::devfile {
namespace {

using std::chrono::milliseconds;

const Clock::time_point kStart = Clock::now();

std::optional<long long> MsAfterStart(Deadline d) {
    if (!d)
        return std::nullopt;
    return std::chrono::duration_cast<milliseconds>(*d - kStart).count();
}

TEST(DevfileTimeoutsTest, ReadFormsOfCommTimeouts) {
    struct Case {
        const char* what;
        COMMTIMEOUTS t;
        bool usbPort;
        DWORD size;
        bool immediate, firstByte, interval;
        std::optional<long long> totalMs;
    };
    const Case cases[] = {
        {"all zero: wait for the whole buffer",
         {0, 0, 0, 0, 0},
         false,
         10,
         false,
         false,
         false,
         std::nullopt},
        {"interval MAXDWORD, totals 0: at once",
         {MAXDWORD, 0, 0, 0, 0},
         false,
         10,
         true,
         false,
         false,
         std::nullopt},
        {"first byte within the constant",
         {MAXDWORD, MAXDWORD, 500, 0, 0},
         false,
         10,
         false,
         true,
         false,
         500},
        {"constant MAXDWORD is no first-byte read",
         {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0},
         false,
         1,
         false,
         false,
         false,
         2ll * MAXDWORD},
        {"interval alone", {50, 0, 0, 0, 0}, false, 10, false, false, true, std::nullopt},
        {"multiplier times size plus constant",
         {20, 10, 100, 0, 0},
         false,
         5,
         false,
         false,
         true,
         150},
        {"a USB printer port reads at once whatever is set",
         {0, 0, 1000, 0, 0},
         true,
         10,
         true,
         false,
         false,
         std::nullopt},
        {"beyond years: no limit",
         {0, MAXDWORD, MAXDWORD, 0, 0},
         false,
         MAXDWORD,
         false,
         false,
         false,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ReadTimeouts plan = PlanRead(c.t, c.usbPort, c.size, kStart);
        EXPECT_EQ(plan.immediate, c.immediate);
        EXPECT_EQ(plan.firstByte, c.firstByte);
        EXPECT_EQ(plan.useInterval, c.interval);
        EXPECT_EQ(MsAfterStart(plan.total), c.totalMs);
    }
}

TEST(DevfileTimeoutsTest, TheIntervalCountsOnlyOnceBytesCame) {
    const ReadTimeouts plan = PlanRead({50, 10, 1000, 0, 0}, false, 4, kStart);
    EXPECT_EQ(MsAfterStart(plan.Next(0, kStart)), 1040) << "no byte yet: the total alone";
    EXPECT_EQ(MsAfterStart(plan.Next(2, kStart + milliseconds(100))), 150);
    EXPECT_EQ(MsAfterStart(plan.Next(3, kStart + milliseconds(1000))), 1040)
        << "the total still ends a read that keeps trickling";

    const ReadTimeouts noTotal = PlanRead({50, 0, 0, 0, 0}, false, 4, kStart);
    EXPECT_EQ(MsAfterStart(noTotal.Next(0, kStart)), std::nullopt);
    EXPECT_EQ(MsAfterStart(noTotal.Next(1, kStart + milliseconds(7))), 57);
}

TEST(DevfileTimeoutsTest, AStalledLineEndsTheDrainEvenWithoutATotal) {
    // The service objects set a multiplier of MAXDWORD: the total is years away, so only
    // the queue standing still for the constant ends the wait.
    const DrainTimeouts plan = PlanDrain({0, 0, 0, MAXDWORD, 2000}, 100, kStart);
    EXPECT_EQ(MsAfterStart(plan.total), std::nullopt);
    EXPECT_EQ(MsAfterStart(plan.Next(kStart)), 2000);
    EXPECT_EQ(MsAfterStart(plan.Next(kStart + milliseconds(300))), 2300)
        << "progress moves the stall limit on";

    const DrainTimeouts bounded = PlanDrain({0, 0, 0, 10, 100}, 20, kStart);
    EXPECT_EQ(MsAfterStart(bounded.Next(kStart + milliseconds(250))), 300)
        << "the total ends it however the queue moves";

    const DrainTimeouts none = PlanDrain({0, 0, 0, 0, 0}, 20, kStart);
    EXPECT_EQ(MsAfterStart(none.Next(kStart)), std::nullopt);
}

}  // namespace
}  // namespace thermpos::platform::devfile
