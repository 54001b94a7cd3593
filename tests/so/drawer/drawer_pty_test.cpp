// The CashDrawer service object end to end: ThermSO activated through the control object
// core, the virtual printer on a real pty as the printer the drawer hangs on. Waits are
// on the events the application receives or on the virtual printer's state, with
// generous limits; what was sent is read from what the virtual printer decoded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "tests/so/ControlCalls.h"
#include "tests/so/PrinterAndDrawerTest.h"

namespace {

using namespace std::chrono_literals;
using thermpos::opos::ControlEventListener;
using thermpos::opos::COposControl;
using thermpos::platform::com::OutgoingArgs;

// Records status updates ("S1") and direct I/O events ("D0:5:text").
class Recorder : public ControlEventListener {
  public:
    void OnStatusUpdate(LONG data) override { Add("S" + std::to_string(data)); }
    void OnDirectIO(LONG number, LONG* data, std::string* text) override {
        Add("D" + std::to_string(number) + ":" + std::to_string(*data) + ":" + *text);
    }
    // Waits until `event` arrived `count` times in all (limit 10 s).
    bool WaitFor(const std::string& event, size_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return CountLocked(event) >= count; });
    }
    size_t Count(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

  private:
    void Add(std::string event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    size_t CountLocked(const std::string& event) const {
        size_t n = 0;
        for (const std::string& e : events_)
            n += e == event;
        return n;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

LONG WaitForDrawerClose(COposControl& drawer) {
    OutgoingArgs args;
    args.Long(1000).Long(800).Long(100).Long(500);
    return drawer.CallLong("WaitForDrawerClose", args);
}

class DrawerPtyTest : public sotest::PrinterAndDrawerTest {
  protected:
    static constexpr char kCd2[] = "RTK410.TALVERN.CD2";

    void SetUp() override {
        PrinterAndDrawerTest::SetUp();
        sotest::WriteDevice("CashDrawer", kCd2, {{"Port", kPort}, {"CapStatus", "001"}});
    }

    void Start(COposControl& c, Recorder& recorder, const char* name) {
        c.SetListener(&recorder);
        sotest::OpenClaimEnable(c, name, 1000);
    }

    void CloseDrawerAtPrinter() {
        vp_.SetDrawer(false);
        ASSERT_TRUE(vp_.WaitStatus([](const auto& s) { return !s.drawerOpen; }, 10s));
    }

    // The drawer pulses the virtual printer decoded (its log lines), after it stopped.
    std::vector<std::string> DecodedPulses() {
        vp_.Stop();
        std::vector<std::string> pulses;
        for (const std::string& command : thermpos::testing::LoggedCommands(outDir_))
            if (command.rfind("DLE DC4", 0) == 0)
                pulses.push_back(command.substr(command.find("fn=")));
        return pulses;
    }
};

TEST_F(DrawerPtyTest, OpenReportedOpenThenWaitEndsWhenTheDrawerCloses) {
    Recorder recorder;
    COposControl drawer("CashDrawer");
    Start(drawer, recorder, kDrawer);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatus), 1);

    EXPECT_EQ(drawer.CallLong("OpenDrawer"), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 1);
    ASSERT_TRUE(recorder.WaitFor("S1"));

    auto waiting = std::async(std::launch::async, [&] { return WaitForDrawerClose(drawer); });
    // Whether the wait began before the close or after, it ends with success.
    CloseDrawerAtPrinter();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), OPOS_SUCCESS);
    ASSERT_TRUE(recorder.WaitFor("S0"));
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 0);
    EXPECT_EQ(WaitForDrawerClose(drawer), OPOS_SUCCESS);

    EXPECT_EQ(DecodedPulses(), std::vector<std::string>{"fn=1 pin=2 t=1000ms"});
}

TEST_F(DrawerPtyTest, WithoutCapStatusEventsStillArrive) {
    sotest::WriteDevice("CashDrawer", kDrawer, {{"Port", kPort}, {"OnTime", "5"}});
    Recorder recorder;
    COposControl drawer("CashDrawer");
    Start(drawer, recorder, kDrawer);
    EXPECT_EQ(drawer.CallLong("OpenDrawer"), OPOS_SUCCESS);
    ASSERT_TRUE(recorder.WaitFor("S1"));
    EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_DrawerOpened), 0);
    EXPECT_EQ(WaitForDrawerClose(drawer), OPOS_E_ILLEGAL);
    CloseDrawerAtPrinter();
    ASSERT_TRUE(recorder.WaitFor("S0"));
    EXPECT_EQ(DecodedPulses(), std::vector<std::string>{"fn=1 pin=2 t=500ms"});
}

TEST_F(DrawerPtyTest, DirectIOEventsAreNumberedFromZero) {
    Recorder recorder;
    COposControl drawer("CashDrawer");
    Start(drawer, recorder, kDrawer);
    for (LONG value : {5, 6}) {
        LONG data = value;
        EXPECT_EQ(sotest::DirectIO(drawer, 1, &data, "kick"), OPOS_SUCCESS);
        EXPECT_EQ(data, value);
    }
    ASSERT_TRUE(recorder.WaitFor("D1:6:kick"));
    std::vector<std::string> direct;
    for (const std::string& e : recorder.Events())
        if (e[0] == 'D')
            direct.push_back(e);
    EXPECT_EQ(direct, (std::vector<std::string>{"D0:5:kick", "D1:6:kick"}));
}

TEST_F(DrawerPtyTest, TwoDrawersFollowOnePin3AndPulseTheirOwnConnectors) {
    Recorder first;
    Recorder second;
    COposControl cd1("CashDrawer");
    COposControl cd2("CashDrawer");
    Start(cd1, first, kDrawer);
    Start(cd2, second, kCd2);

    EXPECT_EQ(cd1.CallLong("OpenDrawer"), OPOS_SUCCESS);
    ASSERT_TRUE(first.WaitFor("S1"));
    ASSERT_TRUE(second.WaitFor("S1"));
    EXPECT_EQ(cd2.GetPropertyNumber(PIDXCash_DrawerOpened), 1);
    CloseDrawerAtPrinter();
    ASSERT_TRUE(first.WaitFor("S0"));
    ASSERT_TRUE(second.WaitFor("S0"));

    EXPECT_EQ(cd2.CallLong("OpenDrawer"), OPOS_SUCCESS);
    ASSERT_TRUE(first.WaitFor("S1", 2));
    ASSERT_TRUE(second.WaitFor("S1", 2));
    EXPECT_EQ(cd1.GetPropertyNumber(PIDXCash_DrawerOpened), 1);

    EXPECT_EQ(DecodedPulses(),
              (std::vector<std::string>{"fn=1 pin=2 t=1000ms", "fn=1 pin=5 t=1000ms"}));
}

// What `thermpos install-devices` and the configuration utility write is what the drawer
// reads: the six names, a port with its colon, and code texts such as "001". (The
// on-time and polarity codes are decoded in the scripted-port tests.)
TEST_F(DrawerPtyTest, KeysAsTheToolsWriteThemConfigureEveryDrawer) {
    for (const char* name :
         {"RTK410.TALVERN.CD1", "RTK410.TALVERN.CD2", "QMX5500TYPEII.TALVERN.CD1",
          "QMX5500TYPEII.TALVERN.CD2", "RTK6100.TALVERN.CD1", "RTK6100.TALVERN.CD2"}) {
        SCOPED_TRACE(name);
        sotest::WriteDevice("CashDrawer", name,
                            {{"Port", std::string(kPort) + ":"},
                             {"PrinterID", "whatever.POSPrinter"},
                             {"Pin3", "001"},
                             {"CapStatus", "001"},
                             {"OnTime", "005"}});
        Recorder recorder;
        COposControl drawer("CashDrawer");
        Start(drawer, recorder, name);
        EXPECT_EQ(drawer.GetPropertyNumber(PIDXCash_CapStatus), 1);
        LONG data = 0;
        EXPECT_EQ(sotest::DirectIO(drawer, 1, &data), OPOS_SUCCESS);
        EXPECT_EQ(drawer.Close(), OPOS_SUCCESS);
    }
}

// The printer prints on its own thread of the application while the drawer opens and
// closes on another: one port, one status monitor, every receipt whole, every event once.
TEST_F(DrawerPtyTest, PrinterPrintsWhileItsDrawerOpensAndCloses) {
    Recorder printerEvents;
    Recorder drawerEvents;
    COposControl printer("POSPrinter");
    COposControl drawer("CashDrawer");
    // The shortest pulse: 100 ms on, 100 ms off.
    sotest::WriteDevice("CashDrawer", kDrawer,
                        {{"Port", kPort}, {"CapStatus", "001"}, {"OnTime", "1"}});
    Start(printer, printerEvents, kPrinter);
    Start(drawer, drawerEvents, kDrawer);

    constexpr int kOpenings = 3;
    constexpr int kMaxReceipts = 12;
    std::atomic<bool> drawerDone{false};
    // Prints until the drawer is done (at least twice), so the two overlap; each receipt
    // is left to be finished before the next, so none is dropped by the virtual printer's
    // own output queue.
    auto printing = std::async(std::launch::async, [&] {
        int printed = 0;
        while (printed < kMaxReceipts && (printed < 2 || !drawerDone.load())) {
            OutgoingArgs args;
            args.Long(PTR_S_RECEIPT)
                .String(
                    "\x1b|cAThermPOS\n\x1b|bCOrder 42\n1 x Coffee        2.50\n1 x Cake          "
                    "3.20\n\x1b|rATotal 5.70\n\x1b|fP");
            if (printer.CallLong("PrintNormal", args) != OPOS_SUCCESS)
                return -1;
            if (!vp_.WaitReceipts(++printed, 30s))
                return -2;
        }
        return printed;
    });
    for (int i = 1; i <= kOpenings; ++i) {
        // A printer ignores a pulse while the last one on that pin is still being output.
        const auto pulseOver = std::chrono::steady_clock::now() + 300ms;
        EXPECT_EQ(drawer.CallLong("OpenDrawer"), OPOS_SUCCESS) << "opening " << i;
        ASSERT_TRUE(drawerEvents.WaitFor("S1", i));
        auto waiting = std::async(std::launch::async, [&] { return WaitForDrawerClose(drawer); });
        CloseDrawerAtPrinter();
        ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(waiting.get(), OPOS_SUCCESS);
        ASSERT_TRUE(drawerEvents.WaitFor("S0", i));
        std::this_thread::sleep_until(pulseOver);
    }
    drawerDone = true;
    ASSERT_EQ(printing.wait_for(60s), std::future_status::ready);
    const int receiptsPrinted = printing.get();
    ASSERT_GT(receiptsPrinted, 0);
    ASSERT_TRUE(vp_.WaitReceipts(receiptsPrinted, 30s))
        << vp_.ReceiptCount() << " of " << receiptsPrinted << "\n"
        << vp_.StatusText();

    // The printer hears the cover, the drawer does not report it.
    vp_.SetCover(true);
    ASSERT_TRUE(printerEvents.WaitFor("S" + std::to_string(PTR_SUE_COVER_OPEN)));
    vp_.SetCover(false);
    ASSERT_TRUE(printerEvents.WaitFor("S" + std::to_string(PTR_SUE_COVER_OK)));

    EXPECT_EQ(drawerEvents.Count("S1"), static_cast<size_t>(kOpenings));
    EXPECT_EQ(drawerEvents.Count("S0"), static_cast<size_t>(kOpenings));
    EXPECT_EQ(drawerEvents.Events().size(), static_cast<size_t>(2 * kOpenings));
    EXPECT_EQ(printerEvents.Count("S" + std::to_string(PTR_SUE_COVER_OPEN)), 1u);
    EXPECT_EQ(printerEvents.Count("S0"), 0u);
    EXPECT_EQ(printerEvents.Count("S1"), 0u);

    auto receipts = vp_.Receipts();
    ASSERT_EQ(receipts.size(), static_cast<size_t>(receiptsPrinted));
    const std::string first = thermpos::vprinter::PixelHash(receipts[0].image);
    for (const auto& receipt : receipts)
        EXPECT_EQ(thermpos::vprinter::PixelHash(receipt.image), first) << receipt.index;
    EXPECT_EQ(printer.Close(), OPOS_SUCCESS);
    EXPECT_EQ(drawer.Close(), OPOS_SUCCESS);
}

}  // namespace
