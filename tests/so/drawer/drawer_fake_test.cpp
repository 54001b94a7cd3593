// The drawer device over a scripted printer port: the pulse it builds from its
// configuration, its timings, the printer-not-ready rule per port type, the enable probe,
// and callers blocked in it while the device is disabled, released or closed. The fake
// printer answers the status request with its current status block and sends a new block
// whenever a test changes it, as automatic status back does; tests wait on what the
// device reports or on the fake's calls, never on fixed sleeps.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "opos/OposConstants.h"
#include "so/core/PortTable.h"
#include "so/drawer/CashDrawers.h"
#include "tests/so/TestSupport.h"
#include "tests/so/core/MonitorTestSupport.h"
#include "tests/support/fake_port.h"

namespace {

using namespace std::chrono_literals;

const std::string kRequest("\x1d\x61\x0f", 3);
const std::string kPulse("\x10\x14\x01", 3);
// Status blocks: b0 bit 4 is always set; bit 2 is pin 3, bit 5 the cover.
const std::string kPin3Low("\x10\x00\x00\x00", 4);
const std::string kPin3High("\x14\x00\x00\x00", 4);
const std::string kCoverOpen("\x30\x00\x00\x00", 4);
const std::string kPaperEnd("\x10\x00\x0c\x00", 4);

// The printer at the fake port's far end: it answers the status request with its current
// block, sends a new one when a test changes it, and its writes can fail.
class FakePrinter : public thermpos::testing::FakePort {
  public:
    FakePrinter() {
        Reset();
        SetStatus(kPin3Low);
    }
    // The drawer opens on the pulse: pin 3 goes high, and the printer says so.
    void OpenOnPulse() { SetStatusOnWrite(kPulse, kPin3High); }
    std::vector<std::string> Pulses() {
        std::vector<std::string> out;
        for (const WriteCall& w : Snapshot().writeCalls)
            if (w.bytes.compare(0, kPulse.size(), kPulse) == 0)
                out.push_back(w.bytes);
        return out;
    }
};

// A drawer on the test's port table that logs the status values it accepts.
template <class Drawer>
class TestDrawer : public montest::Recording<Drawer> {
  public:
    using CServiceDevice::SetPortManager;
};
using Cd1 = TestDrawer<CCashDrawer1>;
using Cd2 = TestDrawer<CCashDrawer2>;

constexpr char kCd1[] = "RTK410.TALVERN.CD1";
constexpr char kCd2[] = "RTK410.TALVERN.CD2";

class DrawerFakeTest : public ::testing::Test {
  protected:
    // Writes the drawer's key: its port plus the given values (nullopt leaves one out).
    void Configure(const char* name, const std::string& port,
                   std::map<std::string, std::string> values = {{"CapStatus", "001"}}) {
        values["Port"] = port;
        sotest::WriteDevice("CashDrawer", name, values);
    }
    template <class D>
    void Open(D& drawer, const char* name) {
        drawer.SetPortManager(&table_);
        ASSERT_EQ(drawer.OpenService("CashDrawer", name, nullptr), OPOS_SUCCESS);
    }
    template <class D>
    void OpenAndEnable(D& drawer, const char* name, bool claim = true) {
        Open(drawer, name);
        if (claim) {
            ASSERT_EQ(drawer.ClaimDevice(0), OPOS_SUCCESS);
        }
        drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(drawer.ResultCode(), OPOS_SUCCESS);
    }
    // Waits until n of the device's callers are blocked inside (not only entered: a
    // disable that came before the wait would be seen as the state, not as a wake).
    static bool WaitWaiters(const CCashDrawerDevice& drawer, std::size_t n) {
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (drawer.BlockedCount() != n) {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    FakePrinter printer_;
    CPortManager table_{printer_};
};

TEST_F(DrawerFakeTest, PulseCarriesTheConnectorAndTheConfiguredOnTime) {
    struct Case {
        std::optional<std::string> onTime;
        BYTE expected;
    };
    const Case cases[] = {{std::nullopt, 10}, {"10", 12}, {"13", 12},  {"010", 12},
                          {"5", 5},           {"005", 5}, {"200", 200}};
    for (const Case& c : cases) {
        for (bool second : {false, true}) {
            SCOPED_TRACE((c.onTime ? *c.onTime : "absent") + (second ? " CD2" : " CD1"));
            std::map<std::string, std::string> values;
            if (c.onTime)
                values["OnTime"] = *c.onTime;
            const char* name = second ? kCd2 : kCd1;
            Configure(name, "COM7", values);
            std::unique_ptr<CCashDrawerDevice> drawer;
            if (second) {
                auto d = std::make_unique<Cd2>();
                OpenAndEnable(*d, name);
                drawer = std::move(d);
            } else {
                auto d = std::make_unique<Cd1>();
                OpenAndEnable(*d, name);
                drawer = std::move(d);
            }
            const size_t before = printer_.Pulses().size();
            LONG data = 0;
            std::string text;
            EXPECT_EQ(drawer->DirectIO(1, &data, &text), OPOS_SUCCESS);
            auto pulses = printer_.Pulses();
            ASSERT_EQ(pulses.size(), before + 1);
            const std::string expected{0x10, 0x14, 0x01, static_cast<char>(second ? 1 : 0),
                                       static_cast<char>(c.expected)};
            EXPECT_EQ(pulses.back(), expected);
        }
    }
}

TEST_F(DrawerFakeTest, OnlyTheCode001MakesTheStateSensed) {
    for (const char* value : {"1", "01", "000", "0010", "001"}) {
        SCOPED_TRACE(value);
        Configure(kCd1, "COM7", {{"CapStatus", value}});
        Cd1 drawer;
        Open(drawer, kCd1);
        EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatus),
                  std::string(value) == "001" ? 1 : 0);
    }
}

TEST_F(DrawerFakeTest, Pin3PolarityDecidesWhichLevelIsOpen) {
    struct Case {
        std::optional<std::string> pin3;
        bool openWhenHigh;
    };
    for (const Case& c : {Case{"000", false}, Case{"001", true}, Case{std::nullopt, true}}) {
        SCOPED_TRACE(c.pin3.value_or("absent"));
        std::map<std::string, std::string> values{{"CapStatus", "001"}};
        if (c.pin3)
            values["Pin3"] = *c.pin3;
        Configure(kCd1, "COM7", values);
        // The state at enable is the one the drawer reports closed.
        printer_.SetStatus(c.openWhenHigh ? kPin3Low : kPin3High);
        Cd1 drawer;
        OpenAndEnable(drawer, kCd1);
        printer_.Send(c.openWhenHigh ? kPin3High : kPin3Low);
        ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWEROPEN));
        EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 1);
        printer_.Send(c.openWhenHigh ? kPin3Low : kPin3High);
        ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWERCLOSED));
        EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 0);
    }
}

TEST_F(DrawerFakeTest, WithoutCapStatusTheDrawerOpensBlindButStillReports) {
    Configure(kCd1, "COM7", {});
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1);
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
    EXPECT_EQ(printer_.Pulses().size(), 1u);
    printer_.Send(kPin3High);
    ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWEROPEN));
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 0);
    EXPECT_EQ(drawer.WaitForDrawerClose(0, 0, 0, 0), OPOS_E_ILLEGAL);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_ILLEGAL);
}

TEST_F(DrawerFakeTest, OpenDrawerSucceedsOnceTheOpenReportArrives) {
    Configure(kCd1, "COM7");
    printer_.OpenOnPulse();
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1);
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 1);
}

TEST_F(DrawerFakeTest, OpenDrawerFailsWhenTheDrawerNeverReportsOpen) {
    Configure(kCd1, "COM7");
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_E_FAILURE);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2200ms);
    EXPECT_EQ(printer_.Pulses().size(), 1u);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_FAILURE);
}

TEST_F(DrawerFakeTest, OpenDrawerClaimsForTheCallOnlyWhenNotClaimed) {
    Configure(kCd1, "COM7");
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1, /*claim=*/false);
    printer_.OpenOnPulse();
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_Claimed), 0);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_DeviceEnabled), 1);

    // A failing call gives its claim back too, and keeps its own result.
    printer_.SetWriteError(ERROR_NOT_READY);
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_E_OFFLINE);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_OFFLINE);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_Claimed), 0);
    printer_.SetWriteError(0);

    ASSERT_EQ(drawer.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_Claimed), 1);
}

TEST_F(DrawerFakeTest, CoverOrPaperReportBlocksThePulseExceptOnSerialPorts) {
    for (const char* port : {"LPT1", "USB001", "COM7"}) {
        for (const std::string& block : {kCoverOpen, kPaperEnd}) {
            SCOPED_TRACE(std::string(port) + (block == kCoverOpen ? " cover" : " paper"));
            printer_.SetStatus(kPin3Low);
            Configure(kCd1, port, {});
            Cd1 drawer;
            OpenAndEnable(drawer, kCd1);
            const LONG code = block == kCoverOpen ? kDrawerSueCoverOpen : kDrawerSuePaperEnd;
            printer_.Send(block);
            const bool serial = std::string(port) == "COM7";
            const size_t before = printer_.Pulses().size();
            // Taken on every port; only a serial port keeps the pulse going.
            ASSERT_TRUE(drawer.log.WaitFor(code));
            if (serial) {
                EXPECT_FALSE(drawer.PrinterNotReady());
                EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
                EXPECT_EQ(printer_.Pulses().size(), before + 1);
                continue;
            }
            EXPECT_TRUE(drawer.PrinterNotReady());
            EXPECT_EQ(drawer.OpenDrawer(), OPOS_E_FAILURE);
            EXPECT_EQ(printer_.Pulses().size(), before);
            // DirectIO does not look at the flag.
            LONG data = 0;
            std::string text;
            EXPECT_EQ(drawer.DirectIO(1, &data, &text), OPOS_SUCCESS);

            printer_.Send(kPin3Low);
            ASSERT_TRUE(drawer.log.WaitFor(code == kDrawerSueCoverOpen ? kDrawerSueCoverClosed
                                                                       : kDrawerSuePaperOk));
            EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
        }
    }
}

// A pulse right after enabling is judged by the printer's first block, not by the state
// the drawer starts from: a cover that was open before the enable refuses it.
TEST_F(DrawerFakeTest, APulseRightAfterEnablingWaitsForTheFirstBlock) {
    for (const char* port : {"LPT1", "USB001"}) {
        SCOPED_TRACE(port);
        printer_.SetStatus(kCoverOpen);
        Configure(kCd1, port);
        Cd1 drawer;
        OpenAndEnable(drawer, kCd1);
        EXPECT_EQ(drawer.OpenDrawer(), OPOS_E_FAILURE);
        EXPECT_TRUE(printer_.Pulses().empty());
        EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 0);
    }
}

// The printer the drawer hangs on answered and then falls silent: once the monitor takes
// it as off, the pulse answers 108 instead of going to a printer that will not give it,
// and the printer's next block lets it through again.
TEST_F(DrawerFakeTest, APulseToAPrinterThatStoppedAnsweringIsRefused) {
    Configure(kCd1, "COM7", {});  // no drawer switch: a pulse written is a success
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1);
    ASSERT_TRUE(drawer.WaitForFirstStatus());
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
    printer_.SetAnswers(false);
    ASSERT_TRUE(drawer.log.WaitFor(OPOS_SUE_POWER_OFF_OFFLINE));
    EXPECT_TRUE(drawer.PrinterSilent());
    const size_t before = printer_.Pulses().size();
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_E_OFFLINE);
    LONG data = 0;
    std::string text;
    EXPECT_EQ(drawer.DirectIO(1, &data, &text), OPOS_E_OFFLINE);
    EXPECT_EQ(printer_.Pulses().size(), before);

    // Asked again once a second, the printer answers once it is back.
    printer_.SetAnswers(true);
    ASSERT_TRUE(drawer.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    EXPECT_FALSE(drawer.PrinterSilent());
    EXPECT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
}

TEST_F(DrawerFakeTest, SilentPrinterFailsTheEnable) {
    Configure(kCd1, "COM7");
    printer_.SetAnswers(false);
    Cd1 drawer;
    Open(drawer, kCd1);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_NOHARDWARE);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_DeviceEnabled), 0);
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_EQ(drawer.StatusInterpreter(), nullptr);
}

TEST_F(DrawerFakeTest, EnablingTwiceKeepsOneListener) {
    Configure(kCd1, "COM7");
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1, /*claim=*/false);
    const CStatusInterpreter* first = drawer.StatusInterpreter();
    ASSERT_NE(first, nullptr);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(drawer.StatusInterpreter(), first);
    auto entry = table_.FindEntry("COM7");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->monitor.ListenerCounts(), std::vector<size_t>{1});
}

// A disable holds the device lock while it releases the port, which ends and joins the
// port's monitor thread; pulses from another thread take the same lock, and meanwhile
// the monitor thread reports the drawer opening and shutting under its monitor lock. A
// report that took the device lock, or an enable step that took it a second time, hangs
// here; a pulse that read the binding outside the lock is a race for ThreadSanitizer.
TEST_F(DrawerFakeTest, EnableCyclesBesidePulsesAndReportsNeitherHangNorRace) {
    printer_.OpenOnPulse();
    Configure(kCd1, "COM7");
    Cd1 drawer;
    Open(drawer, kCd1);
    ASSERT_EQ(drawer.ClaimDevice(0), OPOS_SUCCESS);
    auto backlog = [&] { return printer_.InputPending(); };
    std::atomic<bool> stop{false};
    std::thread pulser([&] {
        LONG data = 0;
        std::string text;
        while (!stop.load()) {
            // Only as fast as the monitor reads, so the reports stay current.
            if (backlog() <= kPin3Low.size() && drawer.DirectIO(1, &data, &text) == OPOS_SUCCESS)
                printer_.Send(kPin3Low);  // shut again: the next pulse is news
            std::this_thread::yield();
        }
    });
    constexpr int kCycles = 8;
    // On a thread of its own, so that a lock cycle fails the test instead of hanging it.
    auto cycles = std::async(std::launch::async, [&]() -> std::string {
        for (int i = 0; i < kCycles; ++i) {
            const std::string cycle = " in cycle " + std::to_string(i);
            drawer.log.Clear();
            // Judged by the state, not ResultCode: the pulser's calls set that too.
            drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
            if (drawer.GetPropertyNumber(PIDX_DeviceEnabled) != 1)
                return "enable failed" + cycle;
            // A pulse went out and its report came back: from now on both are in flight.
            if (!drawer.log.WaitFor(CASH_SUE_DRAWEROPEN))
                return "no open report" + cycle;
            drawer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
            if (drawer.GetPropertyNumber(PIDX_DeviceEnabled) != 0)
                return "disable failed" + cycle;
        }
        return "";
    });
    if (cycles.wait_for(120s) != std::future_status::ready) {
        ADD_FAILURE() << "enabling and disabling hung beside pulses and status reports";
        std::fflush(stdout);
        std::_Exit(1);  // the hung threads can be neither joined nor left behind
    }
    stop = true;
    pulser.join();
    EXPECT_EQ(cycles.get(), "");
    EXPECT_GE(printer_.Pulses().size(), static_cast<std::size_t>(kCycles));
}

TEST_F(DrawerFakeTest, WaitForDrawerCloseReturnsAtOnceWhenClosedAndWhenItCloses) {
    Configure(kCd1, "COM7");
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1);
    EXPECT_EQ(drawer.WaitForDrawerClose(1000, 800, 100, 500), OPOS_SUCCESS);

    printer_.Send(kPin3High);
    ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWEROPEN));
    auto waiting =
        std::async(std::launch::async, [&] { return drawer.WaitForDrawerClose(0, 0, 0, 0); });
    ASSERT_TRUE(WaitWaiters(drawer, 1));
    printer_.Send(kPin3Low);
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), OPOS_SUCCESS);
}

// A caller blocked in WaitForDrawerClose is woken by whatever takes the device away from
// it, with that state's result, and the device outlives it.
TEST_F(DrawerFakeTest, DisableReleaseAndCloseWakeABlockedWaiter) {
    struct Case {
        const char* name;
        bool claimed;  // by the application, else the waiter claims for its call
        LONG expected;
    };
    for (const Case& c :
         {Case{"disable", true, OPOS_E_DISABLED}, Case{"disable", false, OPOS_E_DISABLED},
          Case{"release", true, OPOS_E_NOTCLAIMED}, Case{"close", true, OPOS_E_CLOSED},
          Case{"close", false, OPOS_E_CLOSED}}) {
        SCOPED_TRACE(std::string(c.name) + (c.claimed ? " claimed" : " unclaimed"));
        printer_.SetStatus(kPin3Low);
        Configure(kCd1, "COM7");
        auto drawer = std::make_unique<Cd1>();
        OpenAndEnable(*drawer, kCd1, c.claimed);
        printer_.Send(kPin3High);
        ASSERT_TRUE(drawer->log.WaitFor(CASH_SUE_DRAWEROPEN));

        auto waiting =
            std::async(std::launch::async, [&] { return drawer->WaitForDrawerClose(0, 0, 0, 0); });
        ASSERT_TRUE(WaitWaiters(*drawer, 1));
        if (std::string(c.name) == "disable") {
            drawer->SetPropertyNumber(PIDX_DeviceEnabled, 0);
        } else if (std::string(c.name) == "release") {
            EXPECT_EQ(drawer->ReleaseDevice(), OPOS_SUCCESS);
        } else {
            EXPECT_EQ(drawer->CloseDevice(), OPOS_SUCCESS);
        }
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(waiting.get(), c.expected);
        EXPECT_EQ(drawer->WaiterCount(), 0u);
        if (std::string(c.name) == "disable") {
            // The waiter's own claim went with it; the application's stayed.
            EXPECT_EQ(drawer->GetPropertyNumber(PIDX_Claimed), c.claimed ? 1 : 0);
        }
        drawer.reset();  // destroyed right after: nothing may still touch it
    }
}

TEST_F(DrawerFakeTest, DirectIOPulsesAndNumbersItsEvents) {
    Configure(kCd1, "COM7", {});
    Cd1 drawer;
    Open(drawer, kCd1);
    LONG data = 7;
    std::string text = "x";
    EXPECT_EQ(drawer.DirectIO(1, &data, &text), OPOS_E_NOTCLAIMED);
    ASSERT_EQ(drawer.ClaimDevice(0), OPOS_SUCCESS);
    EXPECT_EQ(drawer.DirectIO(1, &data, &text), OPOS_E_DISABLED);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(drawer.DirectIO(2, &data, &text), OPOS_E_ILLEGAL);
    EXPECT_EQ(drawer.DirectIO(1, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(drawer.DirectIO(1, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(data, 7);
    EXPECT_EQ(text, "x");
    EXPECT_EQ(drawer.DirectIOEventCounter(), 2);
    EXPECT_EQ(printer_.Pulses().size(), 2u);
}

TEST_F(DrawerFakeTest, ExternalHealthCheckPulsesAndReportsTheWrite) {
    Configure(kCd1, "COM7", {});
    Cd1 drawer;
    OpenAndEnable(drawer, kCd1);
    EXPECT_EQ(drawer.CheckHealth(OPOS_CH_EXTERNAL), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyString(PIDX_CheckHealthText), "External HCheck: Successful");
    EXPECT_EQ(printer_.Pulses().size(), 1u);
    printer_.SetWriteError(ERROR_NOT_READY);
    EXPECT_EQ(drawer.CheckHealth(OPOS_CH_EXTERNAL), OPOS_E_OFFLINE);
    EXPECT_EQ(drawer.GetPropertyString(PIDX_CheckHealthText), "External HCheck: Not Responding");
    printer_.SetWriteError(0);
}

TEST_F(DrawerFakeTest, PropertiesStatisticsAndASecondOpen) {
    Configure(kCd1, "COM7");
    Cd1 drawer;
    Open(drawer, kCd1);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_CapPowerReporting), OPOS_PR_NONE);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatusMultiDrawerDetect), 0);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_CapStatisticsReporting), 0);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_CapUpdateStatistics), 0);
    std::string buffer;
    EXPECT_EQ(drawer.RetrieveStatistics(&buffer), OPOS_E_ILLEGAL);
    EXPECT_TRUE(buffer.empty());
    // The drawer's own properties leave ResultCode alone.
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatus), 1);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_ILLEGAL);

    // Opening an open drawer again fails without resetting what it knows.
    EXPECT_EQ(drawer.OpenService("CashDrawer", kCd1, nullptr), OPOS_OR_ALREADYOPEN);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatus), 1);
}

// The configuration is read with read access only, so a hive the process may not write
// still opens its drawers.
TEST_F(DrawerFakeTest, ReadOnlyHiveStillConfiguresTheDrawer) {
    Configure(kCd1, "COM7", {{"CapStatus", "001"}, {"OnTime", "005"}, {"Pin3", "000"}});
    struct ReadOnly {
        std::string hive = sotest::TempDir() + "/registry.reg";
        ReadOnly() { EXPECT_EQ(chmod(hive.c_str(), 0444), 0); }
        ~ReadOnly() { chmod(hive.c_str(), 0644); }
    } readOnly;
    Cd1 drawer;
    Open(drawer, kCd1);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatus), 1);
    EXPECT_EQ(drawer.OnTime(), 5);
    printer_.SetStatus(kPin3High);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(drawer.ResultCode(), OPOS_SUCCESS);
    auto* interpreter = dynamic_cast<const CDrawerStatusInterpreter*>(drawer.StatusInterpreter());
    ASSERT_NE(interpreter, nullptr);
    EXPECT_EQ(interpreter->Pin3(), 0);
}

}  // namespace
