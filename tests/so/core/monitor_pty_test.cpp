// The status monitor end to end where it needs Linux: the framework's test printer and
// drawer, given their interpreters, on LinkPort and the virtual printer over a real pty,
// with the process's threads and descriptors counted, USB and parallel names, printers
// scripted on a pty of the test's own, and the monitor's sleep on the port. (The cases
// that run under Wine too are in monitor_vprinter_test.cpp.) Everything waits on a status
// value or on the virtual printer's own waits, with generous limits.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tests/so/core/MonitorPrinterTest.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace montest;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

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

// With the virtual printer's own options (a link, another map name) where a test needs
// them: the printer in this process.
class MonitorPtyTest : public MonitorPrinterTest {
  protected:
    using MonitorPrinterTest::StartPrinter;
    void StartPrinter(VirtualPrinterOptions options) {
        if (options.mapName.empty())
            options.mapName = "COM7";
        std::string error;
        ASSERT_TRUE(Local().Start(options, &error)) << error;
        port_ = options.mapName;
    }
    VirtualPrinter& Local() { return *vp_.InProcess(); }
};

TEST_F(MonitorPtyTest, PrinterAndDrawerShareOneHandleOneThreadAndOneQuery) {
    StartPrinter();
    WriteDevices("COM7");
    OpenPrinter();
    OpenDrawer();
    const size_t threadsBefore = ThreadCount();
    const size_t fdsBefore = OpenDescriptorsOn(Local().DevicePath());  // the printer's own
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    ASSERT_EQ(drawer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1) << "the drawer joins the printer's monitor";
    EXPECT_EQ(table_.OpenPortCount(), 1u);
    EXPECT_EQ(printer_.Binding().handle, drawer_.Binding().handle);
    EXPECT_EQ(OpenDescriptorsOn(Local().DevicePath()), fdsBefore + 1);
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
    EXPECT_EQ(OpenDescriptorsOn(Local().DevicePath()), fdsBefore + 1);
    vp_.SetCover(false);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_COVER_OK));

    // Disabling the printer afterwards ends the thread and closes the port.
    ASSERT_EQ(printer_.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_FALSE(table_.MonitorRunning("COM7"));
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(OpenDescriptorsOn(Local().DevicePath()), fdsBefore);
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
    const size_t fdsEnabled = OpenDescriptorsOn(Local().DevicePath());
    ASSERT_EQ(printer_.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(OpenDescriptorsOn(Local().DevicePath()), fdsEnabled - 1);
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

// The models asked again after every reply or every read keep that rhythm on a serial
// port while the monitor leaves out the reads that can only find nothing (right after its
// own request, when its wait saw the port silent until then): a printer that answers is
// asked about once a cycle, and the one asked after every read is asked each cycle even
// when it never answers, since the read left out still counts as a read (without it, the
// request would wait for the idle interval's read).
TEST_F(MonitorPtyTest, ModelsAskedAfterEachReplyOrReadAreAskedOnceACycle) {
    struct Case {
        const char* what;
        const char* port;
        bool afterEveryRead;  // else after every reply
        bool answers;
    };
    const Case cases[] = {
        {"after every reply, answering", "COM14", false, true},
        {"after every read, answering", "COM15", true, true},
        {"after every read, silent", "COM16", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sotest::Pty pty;
        pty.MapAs(c.port);
        std::atomic<bool> stop{false};
        std::atomic<int> requests{0};
        std::thread printer([&] {
            std::string pending;
            while (!stop) {
                pending += pty.Read(3, 20);
                for (; pending.size() >= 3; pending.erase(0, 3)) {
                    ++requests;
                    if (c.answers && !pty.Send(std::string("\x14\x00\x00\x00", 4)))
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
        } joined{stop, printer};
        MonitorProfile profile;
        profile.holdReplies = false;
        profile.rewriteAfterEveryRead = c.afterEveryRead;
        profile.rewriteAfterReply = !c.afterEveryRead;
        Listener listener(table_);
        ASSERT_NO_FATAL_FAILURE(Listen(listener, c.port, profile));
        auto entry = table_.FindEntry(c.port);
        ASSERT_TRUE(entry);
        const CStatusMonitor& monitor = entry->monitor;

        using Wakes = CStatusMonitor::WakeCounts;
        ASSERT_TRUE(monitor.WaitWakes([](const Wakes& w) { return w.timed >= 2; }, 10s));
        const Wakes before = monitor.Wakes();
        const int requestsBefore = requests;
        ASSERT_TRUE(
            monitor.WaitWakes([&](const Wakes& w) { return w.timed >= before.timed + 20; }, 30s))
            << "requests " << requests - requestsBefore;
        const Wakes after = monitor.Wakes();
        const int cycles = static_cast<int>(after.timed - before.timed);
        const int asked = requests - requestsBefore;
        EXPECT_GE(asked, cycles / 2) << "cycles " << cycles;
        EXPECT_LE(asked, 2 * cycles + 4) << "cycles " << cycles;
        // After every read a write is due, so no wait is the idle one.
        if (c.afterEveryRead) {
            EXPECT_EQ(after.idle, before.idle) << "cycles " << cycles;
        }
    }
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
        // The printer answered, so it would be asked again every second: a reply between
        // idle ends, and a wait that the resend ends as well as a wake-up.
        monitor.SetResendInterval(kForever);
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
    const size_t fdsBefore = OpenDescriptorsOn(Local().DevicePath());
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
    EXPECT_EQ(OpenDescriptorsOn(Local().DevicePath()), fdsBefore);
}

}  // namespace
