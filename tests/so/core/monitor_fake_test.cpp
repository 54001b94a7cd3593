// The monitor thread over a scripted fake port: what it writes and reads, its time-outs,
// the per-port and per-model cases and the error table. The fake's printer sends nothing
// by itself: every read a test expects is queued. The fake answers from the monitor
// thread and signals every call, so the tests wait on calls, never on time.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <deque>
#include <string>
#include <tuple>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "so/core/PortTable.h"
#include "so/core/StatusInterpreter.h"
#include "so/printer/ThermalPrinter.h"
#include "tests/so/core/MonitorTestSupport.h"
#include "tests/support/fake_port.h"

namespace {

using namespace std::chrono_literals;
using montest::Recording;
using thermpos::testing::FakePort;
using Record = FakePort::Record;

const std::string kRequest("\x1d\x61\x0f", 3);

class Device : public Recording<CServiceDevice> {
  public:
    Device() { standalone = true; }
};

class MonitorTest : public ::testing::Test {
  protected:
    MonitorTest() {
        port_.Reset();
        port_.SetAnswers(false);
    }
    ~MonitorTest() override {
        for (PortBinding* b : {&printerBinding_, &drawerBinding_})
            if (!b->IsBad())
                (void)table_.ReleasePort(b);
    }

    // Acquires `name` for a printer (model key `model`) and registers its interpreter
    // with the monitor profile the printer classes give for that model.
    void StartPrinter(const std::string& name, const std::string& model = "QMX5500",
                      LONG interval = 1) {
        ASSERT_EQ(table_.AcquirePort(name, PortKindExclusive, &printerBinding_, model), 0);
        printer_.SetCommand(kRequest.data(), kRequest.size());
        const MonitorProfile profile = CThermalPrinter::StatusMonitorProfile(model);
        ASSERT_EQ(table_.AddStatusListener(printerBinding_, &printer_, interval, &profile), 0);
    }
    void StartDrawer(const std::string& name) {
        ASSERT_EQ(table_.AcquirePort(name, PortKindSharable, &drawerBinding_, ""), 0);
        drawer_.SetCommand(kRequest.data(), kRequest.size());
        ASSERT_EQ(table_.AddStatusListener(drawerBinding_, &drawer_, 1), 0);
    }
    // Every write call, requests included.
    bool WaitWrites(size_t n) {
        return port_.WaitUntil([&](const Record& r) { return r.writeCalls.size() >= n; });
    }
    bool WaitReads(int n) {
        return port_.WaitUntil([&](const Record& r) { return r.readCalls >= n; });
    }
    bool WaitReadsDrained() {
        return port_.WaitUntil([](const Record& r) { return r.readsQueued == 0; });
    }
    size_t WriteCalls() { return port_.Snapshot().writeCalls.size(); }
    int ReadCalls() { return port_.Snapshot().readCalls; }

    FakePort port_;
    Device printerDevice_;
    Device drawerDevice_;
    CPrinterStatusInterpreter printer_{&printerDevice_};
    CDrawerStatusInterpreter drawer_{&drawerDevice_, 1};
    CPortManager table_{port_};
    PortBinding printerBinding_;
    PortBinding drawerBinding_;
};

TEST_F(MonitorTest, OneQueryForEqualCommandsAndTheThreadLivesWhileItHasListeners) {
    StartPrinter("COM3");
    StartDrawer("COM3");
    auto entry = table_.FindEntry("COM3");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->monitor.ListenerCounts(), std::vector<size_t>{2});
    EXPECT_TRUE(table_.MonitorRunning("COM3"));
    ASSERT_TRUE(WaitWrites(1));
    EXPECT_EQ(port_.Snapshot().writeCalls.at(0).bytes, kRequest);

    // Both listeners get the same block, printer first.
    port_.QueueRead(0, std::string("\x34\0\0\0", 4));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWEROPEN));
    EXPECT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_COVER_OPEN));

    ASSERT_EQ(table_.ReleasePort(&drawerBinding_), 0);
    EXPECT_TRUE(table_.MonitorRunning("COM3"));
    ASSERT_EQ(table_.ReleasePort(&printerBinding_), 0);
    EXPECT_FALSE(table_.MonitorRunning("COM3"));
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_EQ(port_.Closed().size(), 1u);
}

TEST_F(MonitorTest, RequestIsWrittenOnceWhileTheReplyIsAwaitedAndAgainOnResend) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    // Many cycles with nothing to read: still one write.
    ASSERT_TRUE(WaitReads(20));
    EXPECT_EQ(WriteCalls(), 1u);

    // Offline: the printer interpreter asks for the request again, every cycle.
    port_.QueueRead(0, std::string("\x18\0\0\0", 4));
    ASSERT_TRUE(WaitWrites(2));
    port_.QueueRead(0, std::string("\x18\0\0\0", 4));
    ASSERT_TRUE(WaitWrites(3));
    port_.QueueRead(0, std::string("\x10\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    size_t writes = WriteCalls();
    int reads = ReadCalls();
    ASSERT_TRUE(WaitReads(reads + 20));
    EXPECT_LE(WriteCalls(), writes + 1);
    EXPECT_EQ(printerDevice_.log.Values(),
              (std::vector<LONG>{OPOS_SUE_POWER_OFFLINE, OPOS_SUE_POWER_ONLINE}));
}

TEST_F(MonitorTest, SerialTimeoutsAreSetAroundEachCallAndRestored) {
    StartPrinter("COM3");
    ASSERT_TRUE(port_.WaitUntil([](const Record& r) { return r.timeoutsSet.size() >= 4; }));
    const std::vector<COMMTIMEOUTS> set = port_.Snapshot().timeoutsSet;
    const COMMTIMEOUTS& write = set[0];
    EXPECT_EQ(write.WriteTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(write.WriteTotalTimeoutConstant, 2000u);
    const COMMTIMEOUTS& read = set[2];
    EXPECT_EQ(read.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(read.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(read.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(read.WriteTotalTimeoutConstant, 3000u) << "the read keeps the write time-outs";
    for (size_t i : {1u, 3u})
        EXPECT_EQ(set[i].WriteTotalTimeoutConstant, 3000u) << i;
}

TEST_F(MonitorTest, UsbPortsKeepTheirTimeoutsAndWriteAgainAfterEachRead) {
    StartPrinter("USB001");
    ASSERT_TRUE(WaitWrites(3));
    EXPECT_TRUE(port_.Snapshot().timeoutsSet.empty());
}

TEST_F(MonitorTest, ParallelRtk410WritesTheRequestRightAfterEachRead) {
    StartPrinter("LPT1", "qmxrt-k410");
    ASSERT_TRUE(WaitReads(5));
    const Record r = port_.Snapshot();
    EXPECT_GE(r.writeCalls.size(), static_cast<size_t>(r.readCalls));
}

// A drawer carries no model key; the printer's quirk must hold whichever came first.
TEST_F(MonitorTest, PrinterProfileRulesTheSharedPortWhateverTheEnableOrder) {
    StartDrawer("LPT1");
    ASSERT_TRUE(WaitWrites(1));
    StartPrinter("LPT1", "QMXRT-K410");
    auto entry = table_.FindEntry("LPT1");
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->monitor.Profile().writeAfterParallelRead);

    const Record before = port_.Snapshot();
    ASSERT_TRUE(WaitReads(before.readCalls + 10));
    const Record after = port_.Snapshot();
    // The write follows its read under the same I/O lock; one may still be on its way.
    EXPECT_GE(after.writeCalls.size() - before.writeCalls.size() + 1,
              static_cast<size_t>(after.readCalls - before.readCalls));
}

TEST_F(MonitorTest, ADrawerJoiningLaterKeepsThePrintersProfile) {
    StartPrinter("LPT1", "TALVERNRT-K6100");
    StartDrawer("LPT1");
    ASSERT_EQ(table_.ReleasePort(&drawerBinding_), 0);
    auto entry = table_.FindEntry("LPT1");
    ASSERT_TRUE(entry);
    const MonitorProfile profile = entry->monitor.Profile();
    EXPECT_TRUE(profile.rewriteAfterEveryRead);
    EXPECT_TRUE(profile.writeAfterParallelRead);
}

TEST_F(MonitorTest, SerialHoldReplyStopsTheWritesUntilARecoveryReply) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    // 0x3C 0x00: the request goes out once more at once, then hold.
    port_.QueueRead(0, std::string("\x3c\x00", 2));
    ASSERT_TRUE(WaitWrites(2));
    // A resend asked for during hold marks the reply awaited without writing.
    port_.QueueRead(0, std::string("\x18\0\0\0", 4));
    ASSERT_TRUE(WaitReadsDrained());
    int reads = ReadCalls();
    ASSERT_TRUE(WaitReads(reads + 10));
    EXPECT_EQ(WriteCalls(), 2u);
    // 0x14 ends the hold: the next resend writes again.
    port_.QueueRead(0, std::string("\x14\0\0\0\x18\0\0\0", 8));
    ASSERT_TRUE(WaitWrites(3));
}

// What a slow serial line does to the status blocks: none of them may be lost.
TEST_F(MonitorTest, StatusBlocksSplitPrecededOrPackedTogetherAllArrive) {
    StartPrinter("COM3");
    StartDrawer("COM3");
    ASSERT_TRUE(WaitWrites(1));

    // One block in two halves, 50 ms apart.
    port_.QueueRead(0, std::string("\x14\0", 2));
    port_.QueueRead(0, std::string("\0\0", 2), 50ms);
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWEROPEN));

    // A block behind bytes that belong to no block.
    port_.QueueRead(0, std::string("\x80\x07\x11", 3) + std::string("\x30\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_COVER_OPEN));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWERCLOSED));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(kDrawerSueCoverOpen));  // the block's last value

    // Two blocks in one read: the drawer opened and shut again in between.
    drawerDevice_.log.Clear();
    port_.QueueRead(0, std::string("\x34\0\0\0\x30\0\0\0", 8));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWERCLOSED));
    EXPECT_EQ(drawerDevice_.log.Values(),
              (std::vector<LONG>{CASH_SUE_DRAWEROPEN, CASH_SUE_DRAWERCLOSED}));
    EXPECT_EQ(printerDevice_.log.Values(), std::vector<LONG>{PTR_SUE_COVER_OPEN});
}

TEST_F(MonitorTest, ErrorTable) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    // 28 on a status read: paper empty.
    port_.QueueRead(ERROR_OUT_OF_PAPER, "");
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_REC_EMPTY));
    // 21: offline, and the request goes out again.
    size_t writes = WriteCalls();
    port_.QueueRead(ERROR_NOT_READY, "");
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFFLINE));
    ASSERT_TRUE(WaitWrites(writes + 1));
    // An invalid handle on a serial port: its device went (a USB-serial adapter pulled
    // out), so it is reopened rather than failing every later job.
    port_.QueueRead(ERROR_INVALID_HANDLE, "");
    ASSERT_TRUE(port_.WaitUntil([](const Record& r) { return r.openCalls >= 2; }));
}

TEST_F(MonitorTest, VanishedSerialPortComesBackWithItsSettingsAfterBackOff) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    DCB dcb{};
    dcb.BaudRate = 38400;
    ASSERT_EQ(table_.SetPortProperties(printerBinding_, dcb), 1);
    ASSERT_EQ(table_.SetPortTimeouts(printerBinding_, MAXDWORD, 0, 0, 7, 1234), 0);

    // Two reopens fail: power off, and the attempts go on, further apart each time.
    port_.FailReopens(2);
    port_.QueueRead(ERROR_INVALID_HANDLE, "");
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFF));
    ASSERT_TRUE(port_.WaitUntil([](const Record& r) { return r.openCalls >= 4; }));
    auto entry = table_.FindEntry("COM3");
    ASSERT_TRUE(entry);
    HANDLE now;
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        now = entry->io.handle;
    }
    ASSERT_NE(now, INVALID_HANDLE_VALUE);
    // The new handle got the devices' serial settings; the request goes out on it again.
    ASSERT_TRUE(port_.WaitUntil([&](const Record& r) {
        return std::count_if(r.dcbsSet.begin(), r.dcbsSet.end(), [&](const auto& set) {
                   return set.first == now && set.second.BaudRate == 38400;
               }) == 1;
    }));
    port_.QueueRead(0, std::string("\x10\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
}

TEST_F(MonitorTest, PaperEmptyOnAStatusWrite) {
    port_.QueueWriteError(ERROR_OUT_OF_PAPER);
    StartPrinter("COM3");
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_REC_EMPTY));
    EXPECT_EQ(printerDevice_.log.Count(PTR_SUE_REC_EMPTY), 1u);
}

TEST_F(MonitorTest, DeviceGoneIsPowerOff) {
    port_.QueueWriteError(ERROR_DEVICE_NOT_CONNECTED);
    StartPrinter("COM3");
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFF));
}

TEST_F(MonitorTest, UsbHandleGoneIsReopenedAndAFailedReopenIsPowerOff) {
    StartPrinter("USB002", "QMXRT-K410");
    ASSERT_TRUE(WaitWrites(1));
    auto entry = table_.FindEntry("USB002");
    HANDLE first;
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        first = entry->io.handle;
    }
    port_.QueueWriteError(ERROR_INVALID_HANDLE);
    ASSERT_TRUE(port_.WaitUntil([](const Record& r) { return r.openCalls >= 2; }));
    ASSERT_TRUE(port_.WaitUntil([](const Record& r) { return r.writeErrorsQueued == 0; }));
    EXPECT_EQ(port_.Closed().size(), 1u);
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        EXPECT_NE(entry->io.handle, first);
    }
    EXPECT_TRUE(printerDevice_.log.Values().empty());

    port_.FailReopens(1);
    port_.QueueWriteError(ERROR_IO_DEVICE);
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFF));
    // The next cycles find no handle (6) and try again; once it opens, blocks flow.
    port_.QueueRead(0, std::string("\x10\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
}

TEST_F(MonitorTest, APauseHoldsTheCyclesUntilItGoes) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    CMonitorPause pause;
    EXPECT_EQ(table_.PauseMonitor(PortBinding(), &pause), OPOS_E_FAILURE);
    EXPECT_EQ(table_.PauseMonitor(printerBinding_, nullptr), OPOS_E_FAILURE);
    PortBinding elsewhere = printerBinding_;
    elsewhere.portName = "COM4";
    EXPECT_EQ(table_.PauseMonitor(elsewhere, &pause), OPOS_E_ILLEGAL);
    EXPECT_FALSE(pause.Holds());

    ASSERT_EQ(table_.PauseMonitor(printerBinding_, &pause), 0);
    ASSERT_TRUE(pause.Holds());
    // The exchange of a paused device: the reply is its own, none went to the monitor.
    const int reads = ReadCalls();
    port_.QueueRead(0, std::string("\x34\0\0\0", 4));
    char reply[64];
    LONG length = sizeof reply;
    ASSERT_EQ(table_.ReadPort(printerBinding_, reply, &length), 0);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(ReadCalls(), reads + 1);
    EXPECT_TRUE(printerDevice_.log.Values().empty());

    pause = CMonitorPause();  // ends it, as leaving its scope does
    EXPECT_FALSE(pause.Holds());
    port_.QueueRead(0, std::string("\x30\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_COVER_OPEN));
}

TEST_F(MonitorTest, ListenerArgumentsAreChecked) {
    PortBinding binding;
    ASSERT_EQ(table_.AcquirePort("COM3", PortKindExclusive, &binding, ""), 0);
    EXPECT_EQ(table_.AddStatusListener(binding, &printer_, 5), OPOS_E_FAILURE) << "no command";
    printer_.SetCommand(kRequest.data(), kRequest.size());
    EXPECT_EQ(table_.AddStatusListener(binding, nullptr, 5), OPOS_E_FAILURE);
    EXPECT_EQ(table_.AddStatusListener(PortBinding(), &printer_, 5), OPOS_E_FAILURE);
    PortBinding elsewhere = binding;
    elsewhere.portName = "COM4";
    EXPECT_EQ(table_.AddStatusListener(elsewhere, &printer_, 5), OPOS_E_ILLEGAL);
    EXPECT_FALSE(table_.MonitorRunning("COM3"));

    PortBinding other;
    ASSERT_EQ(table_.AcquirePort("COM3", PortKindSharable, &other, ""), 0);
    PortBinding stale = binding;
    ASSERT_EQ(table_.ReleasePort(&binding), 0);
    EXPECT_EQ(table_.OpenPortCount(), 1u);
    // A released binding: accepting it would leave a listener that no release removes.
    drawer_.SetCommand(kRequest.data(), kRequest.size());
    EXPECT_EQ(table_.AddStatusListener(stale, &drawer_, 5), OPOS_E_FAILURE);
    EXPECT_EQ(table_.ReleasePort(&stale), OPOS_E_ILLEGAL) << "released twice";
    ASSERT_EQ(table_.ReleasePort(&other), 0);
}

TEST_F(MonitorTest, ZeroIntervalDoesNotSpin) {
    StartPrinter("COM3", "QMX5500", 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitReads(20));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 15ms);
}

}  // namespace
