// The loopback line against a peer that is a network port of the device-file layer, so
// that the same cases run over POSIX sockets and over Winsock.
#include "platform/loopback.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "platform/devfile.h"
#include "tests/support/port_io.h"

namespace {

using namespace thermpos::platform;
using namespace std::chrono_literals;
using namespace thermpos::platform::devfile;  // GENERIC_READ, where the system has none

using thermpos::testing::kGenerous;
using thermpos::testing::WriteAll;
using thermpos::testing::WriteAsync;

class LoopbackLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(line_.Listen(&error)) << error;
        ASSERT_GT(line_.Port(), 0);
        ASSERT_EQ(devfile::OpenNetworkPort("socket://127.0.0.1:" + std::to_string(line_.Port()),
                                           GENERIC_READ | GENERIC_WRITE, &peer_),
                  ERROR_SUCCESS);
        ASSERT_TRUE(line_.Accept(kGenerous, &error)) << error;
        // Reads wait for what they asked for, up to the limit.
        ASSERT_EQ(devfile::SetCommTimeouts(peer_, COMMTIMEOUTS{0, 0, 30000, 0, 0}), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (peer_ != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(devfile::CloseHandle(peer_), ERROR_SUCCESS);
        }
    }
    // What the peer reads, up to `size` bytes or the first read that brings nothing.
    std::string PeerReceives(std::size_t size) {
        std::string got;
        char buffer[4096];
        while (got.size() < size) {
            DWORD n = 0;
            const DWORD ask = static_cast<DWORD>(std::min(sizeof buffer, size - got.size()));
            if (devfile::ReadFile(peer_, buffer, ask, &n) != ERROR_SUCCESS || n == 0)
                break;
            got.append(buffer, n);
        }
        return got;
    }

    LoopbackLine line_;
    HANDLE peer_ = INVALID_HANDLE_VALUE;
};

TEST_F(LoopbackLineTest, LinesComeWholeWhateverTheReadsBringAndWithoutTheirEnds) {
    // Two lines and a half in one piece, the rest later: nothing read past a line is lost.
    WriteAll(peer_, "ok\r\nstatus;cover: open;\nhal");
    std::string line;
    ASSERT_TRUE(line_.ReadLine(&line, kGenerous));
    EXPECT_EQ(line, "ok");
    ASSERT_TRUE(line_.ReadLine(&line, kGenerous));
    EXPECT_EQ(line, "status;cover: open;");
    WriteAll(peer_, "f\n\n");
    ASSERT_TRUE(line_.ReadLine(&line, kGenerous));
    EXPECT_EQ(line, "half");
    ASSERT_TRUE(line_.ReadLine(&line, kGenerous));
    EXPECT_EQ(line, "");
}

TEST_F(LoopbackLineTest, ASendLargerThanTheSocketBuffersArrivesWholeAndInOrder) {
    std::string data;
    for (int i = 0; data.size() < (1u << 20); ++i)
        data += std::to_string(i) + '\n';
    auto received = std::async(std::launch::async, [&] { return PeerReceives(data.size()); });
    EXPECT_TRUE(line_.Send(data, kGenerous));
    ASSERT_EQ(received.wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(received.get() == data);  // not EXPECT_EQ: a megabyte in the message
}

TEST_F(LoopbackLineTest, AnOverlongLineEndsTheReadInsteadOfGrowingWithoutBound) {
    // The end comes after the limit: a line reader without one would return the line.
    // Sent from a thread of its own, as it may be more than the socket buffers hold.
    const std::string overlong = std::string(70 * 1024, 'x') + "\n";
    auto sent = WriteAsync(peer_, overlong);
    std::string line;
    EXPECT_FALSE(line_.ReadLine(&line, kGenerous));
    line_.Close();  // ends a send still under way
    ASSERT_EQ(sent.wait_for(kGenerous), std::future_status::ready);
}

TEST_F(LoopbackLineTest, APeerThatWentAwayEndsTheReadAndItsHalfLineIsNoLine) {
    WriteAll(peer_, "whole\npart");
    EXPECT_EQ(devfile::CloseHandle(peer_), ERROR_SUCCESS);
    peer_ = INVALID_HANDLE_VALUE;
    std::string line;
    ASSERT_TRUE(line_.ReadLine(&line, kGenerous));
    EXPECT_EQ(line, "whole");
    EXPECT_FALSE(line_.ReadLine(&line, kGenerous));
}

TEST_F(LoopbackLineTest, AClosedLineNeitherSendsNorReads) {
    line_.Close();
    EXPECT_EQ(line_.Port(), 0);
    EXPECT_FALSE(line_.Send("status\n", kGenerous));
    std::string line;
    EXPECT_FALSE(line_.ReadLine(&line, kGenerous));
    // The peer sees the end of the connection, the helper program's cue to end, and not
    // just a read that found nothing in time.
    char byte;
    DWORD n = 0;
    EXPECT_EQ(devfile::ReadFile(peer_, &byte, 1, &n), ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
}

TEST(LoopbackLineAccept, NoConnectionOrNoListenerIsAClearFailure) {
    std::string error;
    LoopbackLine unopened;
    EXPECT_FALSE(unopened.Accept(10ms, &error));
    EXPECT_NE(error.find("no connection"), std::string::npos) << error;

    LoopbackLine line;
    ASSERT_TRUE(line.Listen(&error)) << error;
    error.clear();
    EXPECT_FALSE(line.Accept(50ms, &error));
    EXPECT_NE(error.find("no connection"), std::string::npos) << error;
}

}  // namespace
