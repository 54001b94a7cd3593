// Serial ports on Windows (run under Wine here): a pseudo-terminal mapped to a COM port by
// com_pty.py, whose far side answers "PING" with 0x14 and stops reading at "HOLD" until
// this program prints the release line. What a serial driver brings: read time-outs swapped
// for a wait's read-ahead and back, writes cut into pieces the line moves within the stall
// limit, and a drain that cannot hang.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "platform/devfile.h"
#include "platform/eventfd.h"
#include "tests/support/port_io.h"

namespace {

using namespace thermpos::platform;
using namespace std::chrono_literals;
using thermpos::testing::kGenerous;
using thermpos::testing::ReadAsync;
using thermpos::testing::WaitAsync;
using thermpos::testing::WriteAll;
using thermpos::testing::WriteAsync;

class Win32Serial : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* com = std::getenv("THERMPOS_TEST_COM");
        ASSERT_NE(com, nullptr) << "run through tests/windows/com_pty.py";
        ASSERT_EQ(devfile::OpenDevicePath(std::string("\\\\.\\") + com,
                                          GENERIC_READ | GENERIC_WRITE, 0, &port_),
                  ERROR_SUCCESS);
        DCB dcb{};
        ASSERT_EQ(devfile::GetCommState(port_, &dcb), ERROR_SUCCESS);  // a serial port
        dcb.BaudRate = 115200;
        ASSERT_EQ(devfile::SetCommState(port_, dcb), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(devfile::CloseHandle(port_), ERROR_SUCCESS);
        }
    }
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32Serial, AWaitFindsTheReplyAndTheOwnersReadTimeOutsComeBack) {
    const COMMTIMEOUTS owners{MAXDWORD, 0, 0, MAXDWORD, 2000};  // immediate reads
    ASSERT_EQ(devfile::SetCommTimeouts(port_, owners), ERROR_SUCCESS);
    WakeDescriptor wake;
    EXPECT_EQ(devfile::WaitForInput(port_, wake.Fd(), 50), WAIT_TIMEOUT);
    wake.Signal();
    EXPECT_EQ(devfile::WaitForInput(port_, wake.Fd(), INFINITE), WAIT_OBJECT_0 + 1);
    wake.Drain();

    WriteAll(port_, "PING");
    auto waited = WaitAsync(port_, -1, INFINITE);
    ASSERT_EQ(waited.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(waited.get(), WAIT_OBJECT_0);
    char reply[4] = {};
    DWORD n = 0;
    ASSERT_EQ(devfile::ReadFile(port_, reply, sizeof reply, &n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(reply, n), "\x14");
    // Immediate again: a read with nothing there returns at once, not after the wait's
    // read time-outs.
    auto empty = ReadAsync(port_, sizeof reply);
    ASSERT_EQ(empty.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(empty.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string()));
}

TEST_F(Win32Serial, CloseWakesAWait) {
    auto waited = WaitAsync(port_, -1, INFINITE);
    ASSERT_EQ(waited.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(devfile::CloseHandle(port_), ERROR_SUCCESS);
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(waited.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(waited.get(), WAIT_OBJECT_0);
}

// Last: the far side reads nothing after HOLD until the release line.
TEST_F(Win32Serial, AWriteTheLineStopsTakingEndsAtTheStallLimitAndTheDrainIsBounded) {
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{MAXDWORD, 0, 0, MAXDWORD, 300}),
              ERROR_SUCCESS);
    WriteAll(port_, "HOLD");
    const std::string job(4 << 20, 'x');  // more than a terminal's buffers hold
    auto write = WriteAsync(port_, job);
    ASSERT_EQ(write.wait_for(kGenerous), std::future_status::ready);
    const auto [rc, written] = write.get();
    EXPECT_EQ(rc, ERROR_TIMEOUT);
    EXPECT_LT(written, job.size());
    auto drain = std::async(std::launch::async, [&] { return devfile::FlushFileBuffers(port_); });
    ASSERT_EQ(drain.wait_for(kGenerous), std::future_status::ready);
    const LONG drained = drain.get();
    EXPECT_TRUE(drained == ERROR_SUCCESS || drained == ERROR_TIMEOUT) << drained;
    std::printf("thermpos-pty: release\n");
    std::fflush(stdout);
}

}  // namespace
