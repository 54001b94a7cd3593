// The virtual printer on TCP (--listen): hosts on loopback connections, one served at a
// time, unplug and replug of the listener. Only 127.0.0.1 is used.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/support/loopback.h"
#include "tests/support/temp_env.h"
#include "tests/vprinter/host_fixture.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {
namespace {

using hosttest::MapEntry;
using thermpos::testing::ConnectLoopback;
using thermpos::testing::ReceiveFrom;
using namespace std::chrono_literals;

const std::string kStatusRequest("\x10\x04\x01", 3);  // DLE EOT 1: answered with one byte

bool Send(int fd, const std::string& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

class TcpPrinterTest : public hosttest::HostTest {
  protected:
    void SetUp() override {
        options_.listenAddress = "127.0.0.1:0";
        options_.mapName = "IP_127.0.0.1";
        ASSERT_TRUE(Start());
        address_ = printer_.ListenAddress();
        ASSERT_EQ(address_.rfind("127.0.0.1:", 0), 0u) << address_;
        ASSERT_NE(address_, "127.0.0.1:0");
    }

    std::string address_;
};

TEST_F(TcpPrinterTest, ServesOneHostAtATimeAndPublishesItsAddress) {
    EXPECT_EQ(MapEntry("IP_127.0.0.1"), "socket://" + address_);
    EXPECT_EQ(printer_.SlavePath(), "");

    int first = ConnectLoopback(address_);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(Send(first, "hello\n" + kStatusRequest));
    EXPECT_EQ(ReceiveFrom(first, 1), "\x12");

    // A second host waits in the queue: its bytes are not read while the first is served.
    int second = ConnectLoopback(address_);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(Send(second, kStatusRequest));
    EXPECT_EQ(ReceiveFrom(second, 1, 300), "") << "answered while the first was served";
    ::close(first);
    EXPECT_EQ(ReceiveFrom(second, 1), "\x12") << "served once the first one left";
    ::close(second);

    printer_.Stop();
    EXPECT_EQ(MapEntry("IP_127.0.0.1"), "");
}

TEST_F(TcpPrinterTest, UnplugDropsTheConnectionAndReplugListensOnTheSamePort) {
    int host = ConnectLoopback(address_);
    ASSERT_GE(host, 0);
    ASSERT_TRUE(Send(host, kStatusRequest));
    ASSERT_EQ(ReceiveFrom(host, 1), "\x12");

    printer_.Unplug();
    EXPECT_FALSE(printer_.Plugged());
    EXPECT_EQ(printer_.ListenAddress(), "");
    EXPECT_EQ(ReceiveFrom(host, 1), "") << "the connection ended";
    ::close(host);
    EXPECT_LT(ConnectLoopback(address_), 0) << "nobody listens while unplugged";

    std::string error;
    ASSERT_TRUE(printer_.Replug(&error)) << error;
    EXPECT_EQ(printer_.ListenAddress(), address_);
    host = ConnectLoopback(address_);
    ASSERT_GE(host, 0);
    ASSERT_TRUE(Send(host, kStatusRequest));
    EXPECT_EQ(ReceiveFrom(host, 1), "\x12");
    ::close(host);
}

// What the printer acknowledged before the cable went is its own and is printed; what the
// host sends afterwards is refused, not acknowledged and dropped.
TEST_F(TcpPrinterTest, WhatWasAcknowledgedBeforeAnUnplugIsStillPrinted) {
    printer_.Stop();
    options_.model.baud = 9600;
    ASSERT_TRUE(Start());
    int host = ConnectLoopback(printer_.ListenAddress());
    ASSERT_GE(host, 0);
    const std::string receipt = std::string(300, 't') + "\n" + std::string("\x1d\x56\x00", 3);
    ASSERT_TRUE(Send(host, receipt));
    // Acknowledged: nothing left in the host's send queue.
    int queued = -1;
    for (int i = 0; i < 500 && queued != 0; ++i) {
        ASSERT_EQ(::ioctl(host, SIOCOUTQ, &queued), 0);
        if (queued != 0)
            std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(queued, 0);
    printer_.Unplug();
    EXPECT_TRUE(printer_.WaitReceipts(1, 10s)) << printer_.StatusText();
    EXPECT_EQ(printer_.Status().bytesProcessed, receipt.size());
    ::close(host);
}

TEST(TcpPrinterProgramTest, ListenPrintsTheAddressAndServesIt) {
    thermpos::testing::TempEnv env;
    hosttest::ProgramRun program({"--listen", "127.0.0.1:0"});
    const std::string address = program.FirstLine();
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    int host = ConnectLoopback(address);
    EXPECT_GE(host, 0);
    EXPECT_TRUE(Send(host, kStatusRequest));
    EXPECT_EQ(ReceiveFrom(host, 1), "\x12");
    ::close(host);
    ASSERT_TRUE(program.TerminatesCleanly());
}

}  // namespace
}  // namespace thermpos::vprinter
