// The monitor thread over a scripted fake port: what it writes and reads, its time-outs,
// the per-port and per-model cases and the error table. The fake answers from the
// monitor thread and signals every call, so the tests wait on calls, never on time.
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

namespace {

using namespace std::chrono_literals;
using montest::Recording;

const std::string kRequest("\x1d\x61\x0f", 3);

struct Read {
    int error;
    std::string bytes;
    // Not delivered before then: bytes still on their way down a slow line.
    std::chrono::steady_clock::time_point due{};
};

// Scripted port: writes and reads are recorded; reads and errors come from queues.
struct FakePort {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> writes;
    std::deque<int> writeErrors;  // next write results; 0 when empty
    std::deque<Read> reads;       // next read results; nothing read when empty
    int readCalls = 0;
    std::vector<COMMTIMEOUTS> timeoutsSet;
    std::vector<std::pair<HANDLE, DWORD>> baudsSet;  // SetPortProperties: handle, BaudRate
    COMMTIMEOUTS current{MAXDWORD, 0, 0, MAXDWORD, 3000};
    int opens = 0;
    int closes = 0;
    int reopenFailures = 0;  // opens after the first that fail
    std::uintptr_t nextHandle = 0x100;

    template <class Pred>
    bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, pred);
    }
    size_t Writes() {
        std::lock_guard<std::mutex> lock(mutex);
        return writes.size();
    }
    int ReadCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return readCalls;
    }
};
FakePort* g_port = nullptr;

template <class F>
auto Locked(F f) {
    std::lock_guard<std::mutex> lock(g_port->mutex);
    auto result = f(*g_port);
    g_port->changed.notify_all();
    return result;
}

const PortBackend kFake{
    [](const char*, HANDLE* handle, const char*) {
        return Locked([&](FakePort& p) {
            if (p.opens++ > 0 && p.reopenFailures > 0) {
                --p.reopenFailures;
                *handle = INVALID_HANDLE_VALUE;
                return 0;
            }
            *handle = reinterpret_cast<HANDLE>(p.nextHandle++);
            return 1;
        });
    },
    [](HANDLE) { return Locked([](FakePort& p) { return ++p.closes, 1; }); },
    [](HANDLE handle, const void* data, int length, int* written) {
        if (handle == INVALID_HANDLE_VALUE)
            return (*written = 0), int{ERROR_INVALID_HANDLE};
        return Locked([&](FakePort& p) {
            p.writes.emplace_back(static_cast<const char*>(data), length);
            int rc = 0;
            if (!p.writeErrors.empty()) {
                rc = p.writeErrors.front();
                p.writeErrors.pop_front();
            }
            *written = rc ? 0 : length;
            return rc;
        });
    },
    [](HANDLE handle, void* buffer, int size, int* read) {
        if (handle == INVALID_HANDLE_VALUE)
            return (*read = 0), int{ERROR_INVALID_HANDLE};
        return Locked([&](FakePort& p) {
            ++p.readCalls;
            *read = 0;
            if (p.reads.empty() || p.reads.front().due > std::chrono::steady_clock::now())
                return 0;
            Read r = p.reads.front();
            p.reads.pop_front();
            int n = std::min<int>(size, static_cast<int>(r.bytes.size()));
            std::memcpy(buffer, r.bytes.data(), n);
            *read = n;
            return r.error;
        });
    },
    [](HANDLE, DWORD ri, DWORD rm, DWORD rc, DWORD wm, DWORD wc) {
        return Locked([&](FakePort& p) {
            p.current = COMMTIMEOUTS{ri, rm, rc, wm, wc};
            p.timeoutsSet.push_back(p.current);
            return 1;
        });
    },
    [](HANDLE, DCB*) { return 1; },
    [](HANDLE handle, const DCB* dcb) {
        return Locked(
            [&](FakePort& p) { return p.baudsSet.emplace_back(handle, dcb->BaudRate), 1; });
    },
    [](HANDLE, COMMTIMEOUTS* t) {
        return Locked([&](FakePort& p) {
            *t = p.current;
            return 1;
        });
    },
};

class Device : public Recording<CServiceDevice> {
  public:
    Device() { standalone = true; }
};

class MonitorTest : public ::testing::Test {
  protected:
    MonitorTest() { g_port = &port_; }
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
    void QueueRead(int error, const std::string& bytes,
                   std::chrono::milliseconds after = std::chrono::milliseconds(0)) {
        const auto due = std::chrono::steady_clock::now() + after;
        Locked([&](FakePort& p) { return p.reads.push_back({error, bytes, due}), 0; });
    }
    void QueueWriteError(int error, int times = 1) {
        Locked([&](FakePort& p) {
            for (int i = 0; i < times; ++i)
                p.writeErrors.push_back(error);
            return 0;
        });
    }
    bool WaitWrites(size_t n) {
        return port_.WaitUntil([&] { return port_.writes.size() >= n; });
    }
    bool WaitReadsDrained() {
        return port_.WaitUntil([&] { return port_.reads.empty(); });
    }

    FakePort port_;
    Device printerDevice_;
    Device drawerDevice_;
    CPrinterStatusInterpreter printer_{&printerDevice_};
    CDrawerStatusInterpreter drawer_{&drawerDevice_, 1};
    CPortManager table_{kFake};
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
    EXPECT_EQ(port_.writes[0], kRequest);

    // Both listeners get the same block, printer first.
    QueueRead(0, std::string("\x34\0\0\0", 4));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWEROPEN));
    EXPECT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_COVER_OPEN));

    ASSERT_EQ(table_.ReleasePort(&drawerBinding_), 0);
    EXPECT_TRUE(table_.MonitorRunning("COM3"));
    ASSERT_EQ(table_.ReleasePort(&printerBinding_), 0);
    EXPECT_FALSE(table_.MonitorRunning("COM3"));
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_EQ(port_.closes, 1);
}

TEST_F(MonitorTest, RequestIsWrittenOnceWhileTheReplyIsAwaitedAndAgainOnResend) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    // Many cycles with nothing to read: still one write.
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.readCalls >= 20; }));
    EXPECT_EQ(port_.Writes(), 1u);

    // Offline: the printer interpreter asks for the request again, every cycle.
    QueueRead(0, std::string("\x18\0\0\0", 4));
    ASSERT_TRUE(WaitWrites(2));
    QueueRead(0, std::string("\x18\0\0\0", 4));
    ASSERT_TRUE(WaitWrites(3));
    QueueRead(0, std::string("\x10\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    size_t writes = port_.Writes();
    int reads = port_.ReadCalls();
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.readCalls >= reads + 20; }));
    EXPECT_LE(port_.Writes(), writes + 1);
    EXPECT_EQ(printerDevice_.log.Values(),
              (std::vector<LONG>{OPOS_SUE_POWER_OFFLINE, OPOS_SUE_POWER_ONLINE}));
}

TEST_F(MonitorTest, SerialTimeoutsAreSetAroundEachCallAndRestored) {
    StartPrinter("COM3");
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.timeoutsSet.size() >= 4; }));
    std::lock_guard<std::mutex> lock(port_.mutex);
    const COMMTIMEOUTS& write = port_.timeoutsSet[0];
    EXPECT_EQ(write.WriteTotalTimeoutMultiplier, MAXDWORD);
    EXPECT_EQ(write.WriteTotalTimeoutConstant, 2000u);
    const COMMTIMEOUTS& read = port_.timeoutsSet[2];
    EXPECT_EQ(read.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(read.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(read.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(read.WriteTotalTimeoutConstant, 3000u) << "the read keeps the write time-outs";
    for (size_t i : {1u, 3u})
        EXPECT_EQ(port_.timeoutsSet[i].WriteTotalTimeoutConstant, 3000u) << i;
}

TEST_F(MonitorTest, UsbPortsKeepTheirTimeoutsAndWriteAgainAfterEachRead) {
    StartPrinter("USB001");
    ASSERT_TRUE(WaitWrites(3));
    std::lock_guard<std::mutex> lock(port_.mutex);
    EXPECT_TRUE(port_.timeoutsSet.empty());
}

TEST_F(MonitorTest, ParallelRtk410WritesTheRequestRightAfterEachRead) {
    StartPrinter("LPT1", "qmxrt-k410");
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.readCalls >= 5; }));
    std::lock_guard<std::mutex> lock(port_.mutex);
    EXPECT_GE(port_.writes.size(), static_cast<size_t>(port_.readCalls));
}

// A drawer carries no model key; the printer's quirk must hold whichever came first.
TEST_F(MonitorTest, PrinterProfileRulesTheSharedPortWhateverTheEnableOrder) {
    StartDrawer("LPT1");
    ASSERT_TRUE(WaitWrites(1));
    StartPrinter("LPT1", "QMXRT-K410");
    auto entry = table_.FindEntry("LPT1");
    ASSERT_TRUE(entry);
    EXPECT_TRUE(entry->monitor.Profile().writeAfterParallelRead);

    const auto [reads, writes] =
        Locked([](FakePort& p) { return std::make_pair(p.readCalls, p.writes.size()); });
    ASSERT_TRUE(port_.WaitUntil([&, reads = reads] { return port_.readCalls >= reads + 10; }));
    std::lock_guard<std::mutex> lock(port_.mutex);
    // The write follows its read under the same I/O lock; one may still be on its way.
    EXPECT_GE(port_.writes.size() - writes + 1, static_cast<size_t>(port_.readCalls - reads));
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
    QueueRead(0, std::string("\x3c\x00", 2));
    ASSERT_TRUE(WaitWrites(2));
    // A resend asked for during hold marks the reply awaited without writing.
    QueueRead(0, std::string("\x18\0\0\0", 4));
    ASSERT_TRUE(WaitReadsDrained());
    int reads = port_.ReadCalls();
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.readCalls >= reads + 10; }));
    EXPECT_EQ(port_.Writes(), 2u);
    // 0x14 ends the hold: the next resend writes again.
    QueueRead(0, std::string("\x14\0\0\0\x18\0\0\0", 8));
    ASSERT_TRUE(WaitWrites(3));
}

// What a slow serial line does to the status blocks: none of them may be lost.
TEST_F(MonitorTest, StatusBlocksSplitPrecededOrPackedTogetherAllArrive) {
    StartPrinter("COM3");
    StartDrawer("COM3");
    ASSERT_TRUE(WaitWrites(1));

    // One block in two halves, 50 ms apart.
    QueueRead(0, std::string("\x14\0", 2));
    QueueRead(0, std::string("\0\0", 2), 50ms);
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWEROPEN));

    // A block behind bytes that belong to no block.
    QueueRead(0, std::string("\x80\x07\x11", 3) + std::string("\x30\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_COVER_OPEN));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWERCLOSED));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(kDrawerSueCoverOpen));  // the block's last value

    // Two blocks in one read: the drawer opened and shut again in between.
    drawerDevice_.log.Clear();
    QueueRead(0, std::string("\x34\0\0\0\x30\0\0\0", 8));
    ASSERT_TRUE(drawerDevice_.log.WaitFor(CASH_SUE_DRAWERCLOSED));
    EXPECT_EQ(drawerDevice_.log.Values(),
              (std::vector<LONG>{CASH_SUE_DRAWEROPEN, CASH_SUE_DRAWERCLOSED}));
    EXPECT_EQ(printerDevice_.log.Values(), std::vector<LONG>{PTR_SUE_COVER_OPEN});
}

TEST_F(MonitorTest, ErrorTable) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    // 28 on a status read: paper empty.
    QueueRead(ERROR_OUT_OF_PAPER, "");
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_REC_EMPTY));
    // 21: offline, and the request goes out again.
    size_t writes = port_.Writes();
    QueueRead(ERROR_NOT_READY, "");
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFFLINE));
    ASSERT_TRUE(WaitWrites(writes + 1));
    // An invalid handle on a serial port: its device went (a USB-serial adapter pulled
    // out), so it is reopened rather than failing every later job.
    QueueRead(ERROR_INVALID_HANDLE, "");
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.opens >= 2; }));
}

TEST_F(MonitorTest, VanishedSerialPortComesBackWithItsSettingsAfterBackOff) {
    StartPrinter("COM3");
    ASSERT_TRUE(WaitWrites(1));
    DCB dcb{};
    dcb.BaudRate = 38400;
    ASSERT_EQ(table_.SetPortProperties(printerBinding_, dcb), 1);
    ASSERT_EQ(table_.SetPortTimeouts(printerBinding_, MAXDWORD, 0, 0, 7, 1234), 0);

    // Two reopens fail: power off, and the attempts go on, further apart each time.
    Locked([](FakePort& p) { return p.reopenFailures = 2; });
    QueueRead(ERROR_INVALID_HANDLE, "");
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFF));
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.opens >= 4; }));
    auto entry = table_.FindEntry("COM3");
    ASSERT_TRUE(entry);
    HANDLE now;
    {
        std::lock_guard<std::mutex> io(entry->io.ioLock);
        now = entry->io.handle;
    }
    ASSERT_NE(now, INVALID_HANDLE_VALUE);
    // The new handle got the devices' serial settings; the request goes out on it again.
    ASSERT_TRUE(port_.WaitUntil([&] {
        return std::count(port_.baudsSet.begin(), port_.baudsSet.end(),
                          std::make_pair(now, DWORD{38400})) == 1;
    }));
    QueueRead(0, std::string("\x10\0\0\0", 4));
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
}

TEST_F(MonitorTest, PaperEmptyOnAStatusWrite) {
    QueueWriteError(ERROR_OUT_OF_PAPER);
    StartPrinter("COM3");
    ASSERT_TRUE(printerDevice_.log.WaitFor(PTR_SUE_REC_EMPTY));
    EXPECT_EQ(printerDevice_.log.Count(PTR_SUE_REC_EMPTY), 1u);
}

TEST_F(MonitorTest, DeviceGoneIsPowerOff) {
    QueueWriteError(ERROR_DEVICE_NOT_CONNECTED);
    StartPrinter("COM3");
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFF));
}

TEST_F(MonitorTest, UsbHandleGoneIsReopenedAndAFailedReopenIsPowerOff) {
    StartPrinter("USB002", "QMXRT-K410");
    ASSERT_TRUE(WaitWrites(1));
    auto entry = table_.FindEntry("USB002");
    HANDLE first = entry->io.handle;
    QueueWriteError(ERROR_INVALID_HANDLE);
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.opens >= 2; }));
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.writeErrors.empty(); }));
    EXPECT_EQ(port_.closes, 1);
    {
        std::lock_guard<std::mutex> io(entry->io.ioLock);
        EXPECT_NE(entry->io.handle, first);
    }
    EXPECT_TRUE(printerDevice_.log.Values().empty());

    Locked([](FakePort& p) { return p.reopenFailures = 1; });
    QueueWriteError(ERROR_IO_DEVICE);
    ASSERT_TRUE(printerDevice_.log.WaitFor(OPOS_SUE_POWER_OFF));
    // The next cycles find no handle (6) and try again; once it opens, blocks flow.
    QueueRead(0, std::string("\x10\0\0\0", 4));
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
    const int reads = port_.ReadCalls();
    QueueRead(0, std::string("\x34\0\0\0", 4));
    char reply[64];
    LONG length = sizeof reply;
    ASSERT_EQ(table_.ReadPort(printerBinding_, reply, &length), 0);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(port_.ReadCalls(), reads + 1);
    EXPECT_TRUE(printerDevice_.log.Values().empty());

    pause = CMonitorPause();  // ends it, as leaving its scope does
    EXPECT_FALSE(pause.Holds());
    QueueRead(0, std::string("\x30\0\0\0", 4));
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
    ASSERT_TRUE(port_.WaitUntil([&] { return port_.readCalls >= 20; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 15ms);
}

}  // namespace
