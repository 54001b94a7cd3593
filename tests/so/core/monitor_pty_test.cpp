// The status monitor end to end: the framework's test printer and drawer, given their
// interpreters, on LinkPort and the virtual printer over a real pty. Everything waits on
// a status value or on the virtual printer's own waits, with generous limits.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "opos/OposConstants.h"
#include "so/core/StatusInterpreter.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"
#include "tests/so/core/MonitorTestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace std::chrono_literals;
using montest::Recording;
using thermpos::vprinter::PaperState;
using thermpos::vprinter::PrinterStatus;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

using Printer = Recording<CTestPrinter>;
using Drawer = Recording<CTestDrawer>;

const std::string kUsbGuid = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kUsbName = "USB#Vid_5D17&Pid_0A41#SERIALA#" + kUsbGuid;

size_t ThreadCount() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        n += e.is_directory();
    return n;
}

// Descriptors of this process open on `path` (the pty slave).
size_t OpenDescriptorsOn(const std::string& path) {
    size_t n = 0;
    std::error_code ec;
    std::string real = std::filesystem::canonical(path, ec).string();
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        n += !ec && target == real;
    }
    return n;
}

class MonitorPtyTest : public ::testing::Test {
  protected:
    void StartPrinter(VirtualPrinterOptions options = {}) {
        if (options.mapName.empty())
            options.mapName = "COM7";
        std::string error;
        ASSERT_TRUE(vp_.Start(options, &error)) << error;
    }
    void WriteDevices(const std::string& port, const std::string& pin3 = "") {
        sotest::WriteDevice("POSPrinter", kTestPrinterName,
                            {{"Port", port}, {kTestStatusMonitorValue, "1"}});
        std::map<std::string, std::string> drawer{{"Port", port}, {kTestStatusMonitorValue, "1"}};
        if (!pin3.empty())
            drawer["Pin3"] = pin3;
        sotest::WriteDevice("CashDrawer", kTestDrawerName, drawer);
    }
    void OpenPrinter(bool powerNotify = true) {
        printer_.SetPortManager(&table_);
        ASSERT_EQ(printer_.OpenService("POSPrinter", kTestPrinterName, nullptr), OPOS_SUCCESS);
        ASSERT_EQ(printer_.ClaimDevice(1000), OPOS_SUCCESS);
        printer_.SetPropertyNumber(PIDX_PowerNotify, powerNotify ? 1 : 0);
    }
    void OpenDrawer() {
        drawer_.SetPortManager(&table_);
        ASSERT_EQ(drawer_.OpenService("CashDrawer", kTestDrawerName, nullptr), OPOS_SUCCESS);
    }
    bool WaitStatus(const std::function<bool(const PrinterStatus&)>& condition) {
        return vp_.WaitStatus(condition, 10s);
    }
    // The virtual printer has answered the status request at least once.
    bool WaitAsbOn() {
        return WaitStatus([](const PrinterStatus& s) { return s.asbMask == 0x0F; });
    }
    // A printer's status interpreter asking for status on a port of the table with its
    // own profile and a 5 ms poll, as a printer's service object would. The listener goes
    // before the interpreter does, whatever fails after.
    struct Listener {
        explicit Listener(CPortManager& t) : table(t), interpreter(&device) {
            device.standalone = true;
            interpreter.SetCommand("\x1d\x61\x0f", 3);
        }
        ~Listener() {
            if (acquired)
                (void)table.ReleasePort(&binding);
        }
        CPortManager& table;
        montest::Recording<CServiceDevice> device;
        CPrinterStatusInterpreter interpreter;
        PortBinding binding;
        bool acquired = false;
    };
    void Listen(Listener& l, const std::string& port, const MonitorProfile& profile) {
        ASSERT_EQ(table_.AcquirePort(port, PortKindExclusive, &l.binding, "QMXRT-K410"), 0);
        l.acquired = true;
        ASSERT_EQ(table_.AddStatusListener(l.binding, &l.interpreter, 5, &profile), 0);
    }

    // Over twenty cycles the port brought input a few times a cycle (a reply for each
    // request of the cycle, perhaps in two reads). The printer answers a request at once,
    // so a monitor that wrote the request again the moment it read a reply would see
    // thousands.
    static void ExpectAFewRepliesPerCycle(const CStatusMonitor& monitor) {
        using Wakes = CStatusMonitor::WakeCounts;
        const Wakes before = monitor.Wakes();
        ASSERT_TRUE(
            monitor.WaitWakes([&](const Wakes& w) { return w.timed >= before.timed + 20; }, 30s))
            << "input " << monitor.Wakes().input - before.input;
        const Wakes after = monitor.Wakes();
        EXPECT_LE(after.input - before.input, 4 * (after.timed - before.timed) + 4)
            << "cycles " << after.timed - before.timed;
    }

    // Declared first, so the devices (declared later) release their ports before the
    // table and the printer go.
    VirtualPrinter vp_;
    CPortManager table_;
    Printer printer_;
    Drawer drawer_;
};

TEST_F(MonitorPtyTest, PrinterAndDrawerShareOneHandleOneThreadAndOneQuery) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    OpenDrawer();
    const size_t threadsBefore = ThreadCount();
    const size_t fdsBefore = OpenDescriptorsOn(vp_.DevicePath());  // the printer's own
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    ASSERT_EQ(drawer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1) << "the drawer joins the printer's monitor";
    EXPECT_EQ(table_.OpenPortCount(), 1u);
    EXPECT_EQ(printer_.Binding().handle, drawer_.Binding().handle);
    EXPECT_EQ(OpenDescriptorsOn(vp_.DevicePath()), fdsBefore + 1);
    auto entry = table_.FindEntry("COM7");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->monitor.ListenerCounts(), std::vector<size_t>{2});
    ASSERT_TRUE(WaitAsbOn());

    vp_.SetDrawer(true);
    ASSERT_TRUE(drawer_.log.WaitFor(CASH_SUE_DRAWEROPEN));
    vp_.SetPaper(PaperState::NearEnd);
    vp_.SetCover(true);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_COVER_OPEN));
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_NEAREMPTY));
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_OFFLINE));
    ASSERT_TRUE(drawer_.log.WaitFor(kDrawerSueCoverOpen));
    EXPECT_EQ(printer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_OFFLINE);
    for (LONG v : printer_.log.Values())
        EXPECT_NE(v, CASH_SUE_DRAWEROPEN) << "drawer values stay with the drawer";

    // Disabling the drawer keeps the port and the thread for the printer.
    ASSERT_EQ(drawer_.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(drawer_.StatusInterpreter(), nullptr);
    EXPECT_TRUE(table_.MonitorRunning("COM7"));
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    EXPECT_EQ(OpenDescriptorsOn(vp_.DevicePath()), fdsBefore + 1);
    vp_.SetCover(false);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_COVER_OK));

    // Disabling the printer afterwards ends the thread and closes the port.
    ASSERT_EQ(printer_.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_FALSE(table_.MonitorRunning("COM7"));
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(OpenDescriptorsOn(vp_.DevicePath()), fdsBefore);
}

TEST_F(MonitorPtyTest, OfflinePrinterIsAskedEveryCycleAndPowerFollowsWithPowerNotifyOnly) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter(true);
    OpenDrawer();  // PowerNotify 0
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_EQ(drawer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_TRUE(WaitAsbOn());

    vp_.SetOnline(false);
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_OFFLINE));
    EXPECT_EQ(printer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_OFFLINE);
    // The request (3 bytes) goes out again cycle after cycle while the bit is set.
    const uint64_t base = vp_.Status().bytesAccepted;
    ASSERT_TRUE(WaitStatus([&](const PrinterStatus& s) { return s.bytesAccepted >= base + 30; }));

    vp_.SetOnline(true);
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    EXPECT_EQ(printer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_ONLINE);
    // Back online the printer sends its blocks by itself: the requests stop.
    const std::vector<LONG> values = printer_.log.Values();
    EXPECT_EQ(std::count(values.begin(), values.end(), OPOS_SUE_POWER_OFFLINE), 1);
    vp_.SetDrawer(true);  // one more block, and time for any stray request
    ASSERT_TRUE(drawer_.log.WaitFor(CASH_SUE_DRAWEROPEN));
    const uint64_t settled = vp_.Status().bytesAccepted;
    vp_.SetDrawer(false);
    ASSERT_TRUE(drawer_.log.WaitFor(CASH_SUE_DRAWERCLOSED));
    EXPECT_LE(vp_.Status().bytesAccepted, settled + 3);

    // The drawer, with PowerNotify 0, saw the same blocks but keeps no power state.
    EXPECT_EQ(drawer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_UNKNOWN);
}

TEST_F(MonitorPtyTest, PaperOutIsEmptyAndNearEndRunningOutBecomesEmpty) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_TRUE(WaitAsbOn());
    auto paperValues = [&] {
        std::vector<LONG> paper;
        for (LONG v : printer_.log.Values())
            if (v >= PTR_SUE_REC_EMPTY && v <= PTR_SUE_REC_PAPEROK)
                paper.push_back(v);
        return paper;
    };
    vp_.SetPaper(PaperState::Out);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_EMPTY));
    vp_.SetPaper(PaperState::Ok);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_PAPEROK));
    EXPECT_EQ(paperValues(), (std::vector<LONG>{PTR_SUE_REC_EMPTY, PTR_SUE_REC_PAPEROK}));

    printer_.log.Clear();
    vp_.SetPaper(PaperState::NearEnd);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_NEAREMPTY));
    vp_.SetPaper(PaperState::Out);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_EMPTY));
    EXPECT_EQ(paperValues(), (std::vector<LONG>{PTR_SUE_REC_NEAREMPTY, PTR_SUE_REC_EMPTY}));
}

TEST_F(MonitorPtyTest, Pin3PolarityComesFromTheDrawersOwnKey) {
    StartPrinter();
    for (const char* pin3 : {"000", "001", ""}) {
        SCOPED_TRACE(pin3);
        WriteDevices("COM7", pin3);
        Drawer drawer;
        drawer.SetPortManager(&table_);
        ASSERT_EQ(drawer.OpenService("CashDrawer", kTestDrawerName, nullptr), OPOS_SUCCESS);
        ASSERT_EQ(drawer.SetDeviceEnabled(1), OPOS_SUCCESS);
        auto* interpreter =
            dynamic_cast<const CDrawerStatusInterpreter*>(drawer.StatusInterpreter());
        ASSERT_NE(interpreter, nullptr);
        const bool openLow = std::string(pin3) == "000";
        EXPECT_EQ(interpreter->Pin3(), openLow ? 0 : 1);
        ASSERT_TRUE(WaitAsbOn());
        // Drawer closed: block 0x10. With Pin3 0 that level reads as open.
        if (openLow) {
            ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWEROPEN));
        }
        vp_.SetDrawer(true);  // block 0x14
        ASSERT_TRUE(drawer.log.WaitFor(openLow ? CASH_SUE_DRAWERCLOSED : CASH_SUE_DRAWEROPEN));
        vp_.SetDrawer(false);
        if (!openLow) {
            ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWERCLOSED));
        }
        ASSERT_EQ(drawer.Close(), OPOS_SUCCESS);
        EXPECT_EQ(table_.OpenPortCount(), 0u);
    }
}

class MonitorUsbTest : public MonitorPtyTest {
  protected:
    void SetUp() override {
        // The USB printer tree the registry walk follows from USB001 to the device name,
        // which the Ports map sends to the virtual printer's link.
        const std::string enumKey = "SYSTEM\\CurrentControlSet\\Enum";
        sotest::SetValue(enumKey + "\\USBPRINT\\QMXRT-K410\\7&aaaa&0&USB001\\Device Parameters",
                         "PortName", "USB001");
        const std::string device = enumKey + "\\USB\\Vid_5D17&Pid_0A41\\SERIALA";
        sotest::SetValue(device, "ParentIdPrefix", "7&aaaa&0");
        sotest::SetValue(device + "\\Device Parameters", "SymbolicName", "\\??\\" + kUsbName);
        link_ = sotest::TempDir() + "/usb-printer";
        VirtualPrinterOptions options;
        options.linkPath = link_;
        options.mapName = kUsbName;
        StartPrinter(options);
        sotest::WriteDevice("POSPrinter", kTestPrinterName,
                            {{"Port", "USB001"},
                             {"PhysicalDeviceID", "QMXRT-K410"},
                             {kTestStatusMonitorValue, "1"}});
    }
    void TearDown() override {
        sotest::DeleteTree("SYSTEM\\CurrentControlSet\\Enum\\USBPRINT");
        sotest::DeleteTree("SYSTEM\\CurrentControlSet\\Enum\\USB");
    }
    std::string link_;
};

TEST_F(MonitorUsbTest, VanishedPrinterIsPowerOffAndReopenedWhenItComesBack) {
    OpenPrinter();
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_TRUE(WaitAsbOn());
    HANDLE first = printer_.Binding().handle;

    vp_.Unplug();
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_OFF))
        << ::testing::PrintToString(printer_.log.Values());
    EXPECT_EQ(printer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_OFF);

    std::string error;
    ASSERT_TRUE(vp_.Replug(&error)) << error;
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    ASSERT_TRUE(WaitAsbOn()) << "the new device got the status request";
    vp_.SetCover(true);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_COVER_OPEN));
    auto entry = table_.FindEntry("USB001");
    ASSERT_TRUE(entry);
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        EXPECT_NE(entry->io.handle, first);
    }
    const size_t fdsEnabled = OpenDescriptorsOn(vp_.DevicePath());
    ASSERT_EQ(printer_.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(OpenDescriptorsOn(vp_.DevicePath()), fdsEnabled - 1);
}

// A USB port writes the request again in the cycle after each read, not at the read.
TEST_F(MonitorUsbTest, TheRequestIsRepeatedOnceACycleNotOnceAReply) {
    OpenPrinter();
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_TRUE(WaitAsbOn());
    auto entry = table_.FindEntry("USB001");
    ASSERT_TRUE(entry);
    ExpectAFewRepliesPerCycle(entry->monitor);
}

// A parallel printer that wants the request right after each read (the RT-K410) gets it
// after the read of each cycle; after a reply read between cycles, in the next cycle.
TEST_F(MonitorPtyTest, AParallelPrinterIsAskedAgainOnceACycleNotOnceAReply) {
    VirtualPrinterOptions options;
    options.mapName = "LPT1";
    StartPrinter(options);
    MonitorProfile profile;
    profile.writeAfterParallelRead = true;
    Listener listener(table_);
    ASSERT_NO_FATAL_FAILURE(Listen(listener, "LPT1", profile));
    ASSERT_TRUE(WaitAsbOn());
    auto entry = table_.FindEntry("LPT1");
    ASSERT_TRUE(entry);
    ExpectAFewRepliesPerCycle(entry->monitor);
}

// A serial printer that is held answers each request with its hold reply; it gets the
// request again once a cycle, not the moment each hold reply arrives.
TEST_F(MonitorPtyTest, AHeldSerialPrinterIsAskedAgainOnceACycleNotOnceAReply) {
    sotest::Pty pty;
    pty.MapAs("COM13");
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    std::thread heldPrinter([&] {
        std::string pending;
        while (!stop) {
            pending += pty.Read(3, 20);
            for (; pending.size() >= 3; pending.erase(0, 3)) {
                ++requests;
                if (!pty.Send(std::string("\x3c\x00", 2)))
                    return;
            }
        }
    });
    struct StopAndJoin {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~StopAndJoin() {
            stop = true;
            thread.join();
        }
    } joined{stop, heldPrinter};
    MonitorProfile profile;
    ASSERT_TRUE(profile.holdReplies);
    Listener listener(table_);
    ASSERT_NO_FATAL_FAILURE(Listen(listener, "COM13", profile));
    auto entry = table_.FindEntry("COM13");
    ASSERT_TRUE(entry);
    const CStatusMonitor& monitor = entry->monitor;

    using Wakes = CStatusMonitor::WakeCounts;
    ASSERT_TRUE(monitor.WaitWakes([](const Wakes& w) { return w.input >= 2; }, 10s));
    const Wakes before = monitor.Wakes();
    const int requestsBefore = requests;
    // Twenty cycles, or as many hold replies as twenty cycles could never bring.
    ASSERT_TRUE(monitor.WaitWakes(
        [&](const Wakes& w) {
            return w.timed >= before.timed + 20 || w.input >= before.input + 500;
        },
        30s));
    const Wakes after = monitor.Wakes();
    const int cycles = static_cast<int>(after.timed - before.timed);
    EXPECT_LE(after.input - before.input, 4u * (after.timed - before.timed) + 4)
        << "cycles " << cycles;
    EXPECT_LE(requests - requestsBefore, 2 * cycles + 4) << "cycles " << cycles;
    EXPECT_GE(requests - requestsBefore, cycles / 2) << "a held printer is still asked";
}

// Between status blocks the monitor sleeps on the port. These catch a wake-up lost on the
// way: once a full idle interval has passed, the wait is made so long that only a wake-up
// can end it, so a lost one hangs the test instead of passing late.
class MonitorWaitTest : public MonitorPtyTest {
  protected:
    using Wakes = CStatusMonitor::WakeCounts;
    static constexpr DWORD kForever = 600000;

    // Enables the printer and returns once its monitor is in a wait that only input or a
    // wake-up ends.
    void EnableAndLetItSleep() {
        ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
        ASSERT_TRUE(WaitAsbOn());
        entry_ = table_.FindEntry("COM7");
        ASSERT_TRUE(entry_);
        CStatusMonitor& monitor = entry_->monitor;
        // Two idle ends in a row with nothing between: between blocks the thread slept
        // through whole intervals instead of polling.
        ASSERT_TRUE(monitor.WaitWakes([](const Wakes& w) { return w.idle >= 1; }, 10s));
        const Wakes first = monitor.Wakes();
        ASSERT_TRUE(monitor.WaitWakes([&](const Wakes& w) { return w.idle > first.idle; }, 10s));
        const Wakes second = monitor.Wakes();
        EXPECT_EQ(second.timed, first.timed);
        EXPECT_EQ(second.input, first.input);

        asleep_ = SleepForever();
    }
    // Makes the wait for input endless and returns once the thread sleeps in it.
    Wakes SleepForever() {
        CStatusMonitor& monitor = entry_->monitor;
        const Wakes before = monitor.Wakes();
        monitor.SetIdleInterval(kForever);
        EXPECT_TRUE(monitor.WaitWakes(
            [&](const Wakes& w) { return w.kicked > before.kicked && w.sleeping; }, 10s));
        return monitor.Wakes();
    }

    std::shared_ptr<CPortEntry> entry_;  // kept past a disable that removes it from the table
    Wakes asleep_;
};

TEST_F(MonitorWaitTest, AStatusChangeEndsALongWaitForInput) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    EnableAndLetItSleep();
    vp_.SetCover(true);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_COVER_OPEN));
    EXPECT_GT(entry_->monitor.Wakes().input, asleep_.input);
    vp_.SetPaper(PaperState::NearEnd);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_NEAREMPTY));
}

TEST_F(MonitorWaitTest, DisablingEndsALongWaitForInput) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    EnableAndLetItSleep();
    ASSERT_EQ(printer_.SetDeviceEnabled(0), OPOS_SUCCESS);  // hangs if the stop is lost
    EXPECT_FALSE(entry_->monitor.Running());
    EXPECT_EQ(entry_->monitor.Wakes().idle, asleep_.idle);
}

TEST_F(MonitorWaitTest, ADrawerJoiningASleepingMonitorIsServedAtOnce) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    OpenDrawer();
    EnableAndLetItSleep();
    ASSERT_EQ(drawer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    vp_.SetDrawer(true);
    ASSERT_TRUE(drawer_.log.WaitFor(CASH_SUE_DRAWEROPEN));
    EXPECT_EQ(entry_->monitor.ListenerCounts(), std::vector<size_t>{2});
}

// The printer vanishes while the monitor sleeps on its handle, and comes back under the
// same name: the hang-up ends the wait, and after the reopen the monitor sleeps on the
// new handle, not on the closed one (which it could only poll on the interval).
TEST_F(MonitorWaitTest, AReopenedPortIsWaitedOnAfterAHangUpEndedTheWait) {
    VirtualPrinterOptions options;
    options.linkPath = sotest::TempDir() + "/serial-printer";
    StartPrinter(options);
    WriteDevices("COM7");
    OpenPrinter();
    EnableAndLetItSleep();
    CStatusMonitor& monitor = entry_->monitor;

    vp_.Unplug();
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_OFF))
        << ::testing::PrintToString(printer_.log.Values());
    EXPECT_GT(monitor.Wakes().input, asleep_.input) << "the hang-up ended the wait";

    std::string error;
    ASSERT_TRUE(vp_.Replug(&error)) << error;
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    ASSERT_TRUE(WaitAsbOn());
    const Wakes back = SleepForever();
    vp_.SetCover(true);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_COVER_OPEN));
    EXPECT_GT(monitor.Wakes().input, back.input);
}

// Two devices on one port enabled and disabled over and over from two threads while the
// virtual printer sends blocks: run under ThreadSanitizer (label tsan).
TEST_F(MonitorPtyTest, EnableAndDisableFromTwoThreadsWhileBlocksArrive) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    OpenDrawer();
    const size_t fdsBefore = OpenDescriptorsOn(vp_.DevicePath());
    std::atomic<bool> stop{false};
    std::thread blocks([&] {
        bool open = false;
        while (!stop.load()) {
            vp_.SetDrawer(open = !open);
            // Pacing only: a block every few cycles of the monitor.
            std::this_thread::sleep_for(2ms);
        }
    });
    auto cycle = [](CServiceDevice& device) {
        for (int i = 0; i < 25; ++i) {
            EXPECT_EQ(device.SetDeviceEnabled(1), OPOS_SUCCESS);
            EXPECT_EQ(device.SetDeviceEnabled(0), OPOS_SUCCESS);
        }
    };
    std::thread a([&] { cycle(printer_); });
    std::thread b([&] { cycle(drawer_); });
    a.join();
    b.join();
    stop = true;
    blocks.join();
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_FALSE(table_.MonitorRunning("COM7"));
    EXPECT_EQ(OpenDescriptorsOn(vp_.DevicePath()), fdsBefore);
}

}  // namespace
