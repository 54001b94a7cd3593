// The virtual printer on TCP (--listen): hosts on loopback connections, one served at a
// time, unplug and replug of the listener. Only 127.0.0.1 is used.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_env.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {
namespace {

using thermpos::testing::ConnectLoopback;
using thermpos::testing::ReceiveFrom;
using namespace std::chrono_literals;

const std::string kStatusRequest("\x10\x04\x01", 3);  // DLE EOT 1: answered with one byte

bool Send(int fd, const std::string& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string MapEntry(const std::string& name) {
    registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, regpath::kPorts, 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return "";
    char value[1024] = {};
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    return RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value),
                            &size) == ERROR_SUCCESS
               ? std::string(value)
               : "";
}

class TcpPrinterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options_.listenAddress = "127.0.0.1:0";
        options_.mapName = "IP_127.0.0.1";
        std::string error;
        ASSERT_TRUE(printer_.Start(options_, &error)) << error;
        address_ = printer_.ListenAddress();
        ASSERT_EQ(address_.rfind("127.0.0.1:", 0), 0u) << address_;
        ASSERT_NE(address_, "127.0.0.1:0");
    }

    thermpos::testing::TempEnv env_;
    VirtualPrinterOptions options_;
    VirtualPrinter printer_;
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
    std::string error;
    ASSERT_TRUE(printer_.Start(options_, &error)) << error;
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
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], 1);
        ::close(out[0]);
        execl(THERMPOS_VPRINTER_PROGRAM, "thermpos-vprinter", "--listen", "127.0.0.1:0", nullptr);
        _exit(127);
    }
    ::close(out[1]);
    std::string address;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n')
        address += c;
    ::close(out[0]);
    ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << address;
    int host = ConnectLoopback(address);
    EXPECT_GE(host, 0);
    EXPECT_TRUE(Send(host, kStatusRequest));
    EXPECT_EQ(ReceiveFrom(host, 1), "\x12");
    ::close(host);
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace thermpos::vprinter
