// LinkPort's network printer ports as callers see them: the PM* exports against loopback
// listeners standing in for the printer. Nothing but 127.0.0.1 and ::1 is ever contacted.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/devfile.h"
#include "platform/netport.h"
#include "platform/portlist.h"
#include "portlib/LinkPort.h"
#include "tests/support/loopback.h"
#include "tests/support/port_env.h"
#include "tests/support/thread_state.h"

namespace thermpos::testing {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class NetPortTest : public PortEnvTest {
  protected:
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(PMClosePort(handle), 1);
        }
        if (peer >= 0)
            ::close(peer);
        PortEnvTest::TearDown();
    }
    void Map(const std::string& name, const std::string& uri) {
        WriteHive(PortsSection("\"" + name + "\"=" + RegText(uri)));
    }
    // Opens NET1 on the listener and takes the printer's side of the connection.
    void Connect(LoopbackListener& listener) {
        Map("NET1", SocketUri(listener.port()));
        ASSERT_EQ(PMOpenPort("NET1", &handle, nullptr), 1);
        peer = listener.Accept();
        ASSERT_GE(peer, 0);
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    int peer = -1;
};

TEST_F(NetPortTest, WriteReachesThePrinterAndReadsHonourTheTimeOuts) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    Connect(listener);

    int written = -1;
    EXPECT_EQ(PMWritePort(handle, "\x1b@hello", 7, &written), 0);
    EXPECT_EQ(written, 7);
    EXPECT_EQ(ReceiveFrom(peer, 7), "\x1b@hello");

    // Immediate reads return at once with what has arrived, nothing included.
    ASSERT_EQ(PMSetReadPortTimeOuts(handle, MAXDWORD, 0, 0), 1);
    char buf[16] = {};
    int read = -1;
    EXPECT_EQ(PMReadPort(handle, buf, sizeof buf, &read), 0);
    EXPECT_EQ(read, 0);

    // A total time-out ends a read with fewer bytes than asked, without an error.
    ASSERT_EQ(PMSetReadPortTimeOuts(handle, 0, 0, 100), 1);
    ASSERT_EQ(::write(peer, "\x14\x00", 2), 2);
    auto start = Clock::now();
    EXPECT_EQ(PMReadPort(handle, buf, 4, &read), 0);
    EXPECT_GE(MsSince(start), 95);
    EXPECT_EQ(std::string(buf, read), std::string("\x14\x00", 2));

    // With a long total, the read waits for the whole block.
    ASSERT_EQ(PMSetReadPortTimeOuts(handle, 0, 0, 5000), 1);
    std::thread late([&] { (void)::write(peer, "\x14\x00\x00\x0f", 4); });
    EXPECT_EQ(PMReadPort(handle, buf, 4, &read), 0);
    late.join();
    EXPECT_EQ(std::string(buf, read), std::string("\x14\x00\x00\x0f", 4));
}

TEST_F(NetPortTest, LargeWriteArrivesWholeAndInOrder) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    Connect(listener);
    std::string data(64 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    std::string received;
    std::thread reader([&] { received = ReceiveFrom(peer, data.size()); });
    ASSERT_EQ(PMSetWritePortTimeOuts(handle, 0, 10000), 1);
    int written = -1;
    EXPECT_EQ(PMWritePort(handle, data.data(), static_cast<int>(data.size()), &written), 0);
    reader.join();
    EXPECT_EQ(written, static_cast<int>(data.size()));
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes, not the same";
}

TEST_F(NetPortTest, WriteToAPrinterThatStopsReadingTimesOutWithTheShortCount) {
    LoopbackListener listener(4, false, 4096);
    ASSERT_TRUE(listener.ok());
    Connect(listener);
    ASSERT_EQ(PMSetWritePortTimeOuts(handle, 0, 200), 1);
    std::vector<char> big(32 << 20, 'x');
    int written = -1;
    auto start = Clock::now();
    EXPECT_EQ(PMWritePort(handle, big.data(), static_cast<int>(big.size()), &written), 1460);
    EXPECT_GE(MsSince(start), 195);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
}

// A written job is only in the system's send queue; the drain ends when the printer has
// acknowledged all of it, or when the handle is closed under it.
TEST_F(NetPortTest, DrainWaitsUntilThePrinterTookTheBytes) {
    LoopbackListener listener(4, false, 4096);
    ASSERT_TRUE(listener.ok());
    Connect(listener);
    ASSERT_EQ(PMSetWritePortTimeOuts(handle, 0, 0), 1);  // no limit
    const std::string job(8192, 'j');
    int written = -1;
    ASSERT_EQ(PMWritePort(handle, job.data(), static_cast<int>(job.size()), &written), 0);

    std::atomic<int> rc{-1};
    std::promise<pid_t> drainerId;
    std::thread drainer([&] {
        drainerId.set_value(CurrentThreadId());
        rc = PMDrainPort(handle);
    });
    EXPECT_TRUE(WaitUntilBlockedInPoll(drainerId.get_future().get()))
        << "the drain does not wait (in poll) for the printer";
    EXPECT_EQ(rc.load(), -1) << "returned while the printer had not read the job";
    EXPECT_EQ(ReceiveFrom(peer, job.size()), job);
    drainer.join();
    EXPECT_EQ(rc.load(), 0);

    // Waiting without a limit on a printer that stopped reading: closing the handle ends it.
    ASSERT_EQ(PMWritePort(handle, job.data(), static_cast<int>(job.size()), &written), 0);
    rc = -1;
    std::promise<pid_t> stuckId;
    std::thread stuck([&] {
        stuckId.set_value(CurrentThreadId());
        rc = PMDrainPort(handle);
    });
    EXPECT_TRUE(WaitUntilBlockedInPoll(stuckId.get_future().get()));
    EXPECT_EQ(PMClosePort(handle), 1);
    handle = INVALID_HANDLE_VALUE;
    stuck.join();
    EXPECT_EQ(rc.load(), 6);
}

// A printer that stops taking data (its buffer full, the job held) fails the drain after
// the write constant; what had not left then never arrives, so a retry cannot print the
// end of the job twice, and the port reports the connection gone.
TEST_F(NetPortTest, DrainOfAStalledPrinterTimesOutAndDropsTheRest) {
    LoopbackListener listener(4, false, 4096);
    ASSERT_TRUE(listener.ok());
    Connect(listener);
    ASSERT_EQ(PMSetWritePortTimeOuts(handle, MAXDWORD, 300), 1);
    const std::string job(8192, 's');
    int written = -1;
    ASSERT_EQ(PMWritePort(handle, job.data(), static_cast<int>(job.size()), &written), 0);
    auto start = Clock::now();
    EXPECT_EQ(PMDrainPort(handle), 1460);
    EXPECT_GE(MsSince(start), 295);
    EXPECT_LT(ReceiveFrom(peer, job.size(), 500).size(), job.size());
    EXPECT_EQ(PMWritePort(handle, "x", 1, &written), 6);
}

TEST_F(NetPortTest, ClosedOrResetConnectionIsAVanishedDevice) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    Connect(listener);
    ::close(peer);
    peer = -1;
    ASSERT_EQ(PMSetReadPortTimeOuts(handle, 0, 0, 5000), 1);
    char buf[4];
    int read = -1;
    EXPECT_EQ(PMReadPort(handle, buf, 4, &read), 6) << "the printer closed the connection";
    // The first write after the close may still be taken by the system; the next fail.
    int rc = 0;
    for (int i = 0; i < 50 && rc == 0; ++i) {
        int written = 0;
        rc = PMWritePort(handle, "x", 1, &written);
        if (rc == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // let the reset come
    }
    EXPECT_EQ(rc, 6) << "and no SIGPIPE ended the test";
    EXPECT_EQ(PMClosePort(handle), 1);
    handle = INVALID_HANDLE_VALUE;

    // A reset (the printer dropped the connection) is the same; reopening connects again.
    ASSERT_EQ(PMOpenPort("NET1", &handle, nullptr), 1);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
    linger hard{1, 0};
    ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
    ::close(peer);
    peer = -1;
    EXPECT_EQ(PMReadPort(handle, buf, 4, &read), 6);
}

TEST_F(NetPortTest, CloseWakesAReadThatWaits) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    Connect(listener);
    ASSERT_EQ(PMSetReadPortTimeOuts(handle, 0, 0, 0), 1);  // no limit at all
    int rc = -1;
    std::promise<pid_t> readerId;
    std::thread reader([&] {
        readerId.set_value(CurrentThreadId());
        char buf[4];
        int read = 0;
        rc = PMReadPort(handle, buf, 4, &read);
    });
    // Closed while the read waits: a read that starts on a closed handle fails as well.
    EXPECT_TRUE(WaitUntilBlockedInPoll(readerId.get_future().get()));
    EXPECT_EQ(PMClosePort(handle), 1);
    reader.join();
    handle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(rc, 6);
}

TEST_F(NetPortTest, ConnectRefusedAndTimedOutFailWithTheirErrors) {
    unsigned short closedPort;
    {
        LoopbackListener gone;
        ASSERT_TRUE(gone.ok());
        closedPort = gone.port();
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    Map("NET1", SocketUri(closedPort));
    EXPECT_EQ(
        platform::devfile::CreateFile(
            "NET1", platform::devfile::GENERIC_READ | platform::devfile::GENERIC_WRITE, 0, &h),
        platform::netport::ERROR_CONNECTION_REFUSED);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(PMOpenPort("NET1", &handle, nullptr), 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);

    // A listener that never accepts and whose queue is full leaves the connect unanswered.
    LoopbackListener full(0);
    ASSERT_TRUE(full.ok());
    std::vector<int> fillers = FillAcceptQueue(full.port());
    Map("NET1", SocketUri(full.port()));
    auto start = Clock::now();
    EXPECT_EQ(
        platform::devfile::CreateFile(
            "NET1", platform::devfile::GENERIC_READ | platform::devfile::GENERIC_WRITE, 0, &h),
        ERROR_TIMEOUT);
    EXPECT_GE(MsSince(start), static_cast<long long>(platform::netport::kDefaultConnectMs) - 5);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    for (int fd : fillers)
        ::close(fd);
    EXPECT_EQ(platform::devfile::OpenHandleCount(), 0u);
}

TEST_F(NetPortTest, NamesAddressesAndTheSettingsKeptWithoutEffect) {
    // A host name goes through the system resolver; an IP_ name mapped elsewhere goes
    // where the map says; an IPv6 literal goes in brackets.
    LoopbackListener listener;
    ASSERT_TRUE(listener.ok());
    Map("IP_127.0.0.1", SocketUri(listener.port(), "localhost"));
    ASSERT_EQ(PMOpenPort("IP_127.0.0.1", &handle, nullptr), 1);
    peer = listener.Accept();
    ASSERT_GE(peer, 0);

    DCB dcb{};
    ASSERT_EQ(PMGetPortProperties(handle, &dcb), 1);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    dcb.BaudRate = 19200;
    dcb.Parity = EVENPARITY;
    ASSERT_EQ(PMSetPortProperties(handle, dcb), 1);
    DCB bad = dcb;
    bad.ByteSize = 9;
    EXPECT_EQ(PMSetPortProperties(handle, bad), 0);
    DCB back{};
    ASSERT_EQ(PMGetPortProperties(handle, &back), 1);
    EXPECT_EQ(back.BaudRate, 19200u);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.ByteSize, 8);

    std::string path;
    ASSERT_EQ(platform::devfile::ResolvePortName("ip_10.0.0.7", &path), 0);
    EXPECT_EQ(path, "socket://10.0.0.7") << "resolved only, never contacted";

    LoopbackListener six(4, true);
    if (!six.ok())
        GTEST_SKIP() << "no IPv6 loopback here";
    HANDLE h6 = INVALID_HANDLE_VALUE;
    Map("NET6", "socket://[::1]:" + std::to_string(six.port()));
    ASSERT_EQ(PMOpenPort("NET6", &h6, nullptr), 1);
    int fd6 = six.Accept();
    EXPECT_GE(fd6, 0);
    int written = 0;
    EXPECT_EQ(PMWritePort(h6, "6", 1, &written), 0);
    EXPECT_EQ(ReceiveFrom(fd6, 1), "6");
    EXPECT_EQ(PMClosePort(h6), 1);
    ::close(fd6);
}

TEST_F(NetPortTest, HostileNamesAndAddressesAreRefusedAndOpenNothing) {
    const std::string longHost(300, 'a');
    const std::vector<std::string> uris = {"socket://",
                                           "socket://:9100",
                                           "socket://printer:",
                                           "socket://printer:0",
                                           "socket://printer:65536",
                                           "socket://printer:99999999999",
                                           "socket://printer:91a0",
                                           "socket://pri nter",
                                           "socket://printer/queue",
                                           "socket://[::1",
                                           "socket://[::1]x",
                                           "socket://printer\n:9100",
                                           std::string("socket://") + longHost};
    for (const std::string& uri : uris) {
        platform::netport::Endpoint e;
        EXPECT_EQ(platform::netport::ParseSocketUri(uri, &e), ERROR_BAD_PATHNAME) << uri;
        EXPECT_EQ(platform::portlist::SetPortMapping("NET1", uri), ERROR_BAD_PATHNAME) << uri;
        // Written straight into the hive, the entry still opens nothing.
        if (uri.find('\n') != std::string::npos)
            continue;
        Map("NET1", uri);
        HANDLE h = INVALID_HANDLE_VALUE;
        EXPECT_EQ(PMOpenPort("NET1", &h, nullptr), 0) << uri;
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    }
    for (const std::string& name : {std::string("IP_"), std::string("IP_a b"), "IP_" + longHost}) {
        HANDLE h = INVALID_HANDLE_VALUE;
        EXPECT_EQ(PMOpenPort(name.c_str(), &h, nullptr), 0) << name;
    }
    platform::netport::Endpoint e;
    ASSERT_EQ(platform::netport::ParseSocketUri("SOCKET://printer.example:65535/", &e), 0);
    EXPECT_EQ(e.host, "printer.example");
    EXPECT_EQ(e.port, 65535);
    ASSERT_EQ(platform::netport::ParseSocketUri("socket://[fe80::1]", &e), 0);
    EXPECT_EQ(e.host, "fe80::1");
    EXPECT_EQ(e.port, platform::netport::kDefaultPort);
    EXPECT_EQ(platform::devfile::OpenHandleCount(), 0u);
}

TEST_F(NetPortTest, PortListOffersTheMappedNetworkPorts) {
    ASSERT_EQ(platform::portlist::SetPortMapping("NET1", "socket://127.0.0.1:9100"), 0);
    ASSERT_EQ(platform::portlist::SetPortMapping("COM9", "socket://127.0.0.1"), 0);
    ASSERT_EQ(platform::portlist::SetPortMapping("IP_127.0.0.2", "socket://127.0.0.2:9101"), 0);
    ASSERT_EQ(platform::portlist::SetPortMapping("FOO", "/dev/null"), 0);
    char** list = nullptr;
    int count = 0;
    ASSERT_EQ(PMEnumeratePorts(&list, &count), 1);
    std::vector<std::string> names(list, list + count);
    PMFreePortList(list, count);
    auto has = [&](const std::string& n) {
        return std::find(names.begin(), names.end(), n) != names.end();
    };
    EXPECT_TRUE(has("NET1"));
    EXPECT_TRUE(has("COM9:"));
    EXPECT_TRUE(has("IP_127.0.0.2"));
    EXPECT_FALSE(has("FOO")) << "not a network port, not a listed kind";
}

}  // namespace
}  // namespace thermpos::testing
