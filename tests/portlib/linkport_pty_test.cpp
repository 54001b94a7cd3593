// LinkPort as its callers see it: the exported PM* functions over a real pseudo-terminal
// mapped as a COM port in a temporary registry.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "portlib/LinkPort.h"
#include "tests/support/port_env.h"

namespace thermpos::testing {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class LinkPortTest : public PortEnvTest {
  protected:
    void SetUp() override {
        PortEnvTest::SetUp();
        ASSERT_TRUE(pty.ok());
        MapPorts("");
    }
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
            EXPECT_EQ(PMClosePort(handle), 1);
        }
        PortEnvTest::TearDown();
    }
    void MapPorts(const std::string& more) {
        WriteHive(PortsSection("\"COM7\"=" + RegText(pty.slave()) +
                               "\n\"COM4\"=" + RegText(pty.slave()) + "\n" + more));
    }
    void OpenCom7() {
        ASSERT_EQ(PMOpenPort("COM7", &handle, nullptr), 1);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }

    Pty pty;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(LinkPortTest, WriteReachesThePrinterAndItsAnswerComesBack) {
    OpenCom7();
    std::string receipt(3000, 'r');
    receipt += "\x1b\x64\x03\x1d\x56\x00";
    int written = -1;
    EXPECT_EQ(PMWritePort(handle, receipt.data(), static_cast<int>(receipt.size()), &written), 0);
    EXPECT_EQ(written, static_cast<int>(receipt.size()));
    EXPECT_EQ(pty.Receive(receipt.size()), receipt);

    ASSERT_EQ(PMSetReadPortTimeOuts(handle, 0, 0, 5000), 1);
    pty.Send(std::string("\x14\x00\x00\x0f", 4));
    char status[4] = {};
    int read = -1;
    EXPECT_EQ(PMReadPort(handle, status, 4, &read), 0);
    EXPECT_EQ(read, 4);
    EXPECT_EQ(std::string(status, 4), std::string("\x14\x00\x00\x0f", 4));
}

TEST_F(LinkPortTest, ImmediateReadWithNothingPendingReturnsNothingAtOnce) {
    OpenCom7();
    ASSERT_EQ(PMSetPortTimeOuts(handle, MAXDWORD, 0, 0, 0, 2000), 1);
    COMMTIMEOUTS t{};
    ASSERT_EQ(PMGetPortTimeOuts(handle, &t), 1);
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 2000u);
    char buf[16];
    int read = -1;
    EXPECT_EQ(PMReadPort(handle, buf, sizeof buf, &read), 0);
    EXPECT_EQ(read, 0);
}

TEST_F(LinkPortTest, CloseDiscardsWhatWasNotReadYet) {
    OpenCom7();
    pty.Send("stale status");
    // The bytes are in the terminal's input once a second descriptor sees them.
    int fd = ::open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ::close(fd);

    EXPECT_EQ(PMClosePort(handle), 1);
    handle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(PMClosePort(handle), 0);
    OpenCom7();
    ASSERT_EQ(PMSetReadPortTimeOuts(handle, MAXDWORD, 0, 0), 1);
    char buf[32];
    int read = -1;
    EXPECT_EQ(PMReadPort(handle, buf, sizeof buf, &read), 0);
    EXPECT_EQ(read, 0) << "a new owner of the port must not get the old one's answers";
}

TEST_F(LinkPortTest, InfraredInAnyCaseOpensCom4As9600_8N1WithoutFlowControl) {
    // Start from settings the infrared set-up must undo.
    termios t = pty.Settings();
    cfsetospeed(&t, B38400);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    ASSERT_TRUE(pty.SetSettings(t));

    ASSERT_EQ(PMOpenPort("irDA", &handle, nullptr), 1);
    t = pty.Settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, CS8);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
    COMMTIMEOUTS timeouts{};
    ASSERT_EQ(PMGetPortTimeOuts(handle, &timeouts), 1);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant, 0u);
}

TEST_F(LinkPortTest, SerialOpenKeepsTheSystemSettingsAndWaits) {
    setenv("THERMPOS_OPEN_WAIT_MS", "150", 1);
    termios before = pty.Settings();
    cfsetospeed(&before, B57600);
    ASSERT_TRUE(pty.SetSettings(before));
    auto start = Clock::now();
    OpenCom7();
    EXPECT_GE(MsSince(start), 145);
    termios after = pty.Settings();
    EXPECT_EQ(cfgetospeed(&after), B57600);

    HANDLE other = nullptr;
    EXPECT_EQ(PMOpenPort("PRN", &other, nullptr), 0);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
}

TEST_F(LinkPortTest, SecondOpenFailsHereAndInAnotherProcess) {
    OpenCom7();
    HANDLE second = nullptr;
    EXPECT_EQ(PMOpenPort("com7:", &second, nullptr), 0);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = nullptr;
        _exit(PMOpenPort("COM7", &h, nullptr) == 0 && h == INVALID_HANDLE_VALUE ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(LinkPortTest, SerialSettingsRoundTrip) {
    OpenCom7();
    DCB dcb{};
    ASSERT_EQ(PMGetPortProperties(handle, &dcb), 1);
    dcb.BaudRate = 19200;
    dcb.fParity = 1;
    dcb.fOutxDsrFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fAbortOnError = 1;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    ASSERT_EQ(PMSetPortProperties(handle, dcb), 1);
    DCB back{};
    ASSERT_EQ(PMGetPortProperties(handle, &back), 1);
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
    EXPECT_EQ(PMGetPortProperties(handle, nullptr), 0);
    dcb.ByteSize = 3;
    EXPECT_EQ(PMSetPortProperties(handle, dcb), 0);
}

TEST_F(LinkPortTest, SystemErrorsReachTheCallerAsWin32Numbers) {
    MapPorts("\"COM9\"=\"/dev/full\"\n");
    HANDLE full = nullptr;
    ASSERT_EQ(PMOpenPort("COM9", &full, nullptr), 1);
    int written = -1;
    EXPECT_EQ(PMWritePort(full, "x", 1, &written), 28) << "ENOSPC is out of paper";
    EXPECT_EQ(written, 0);
    EXPECT_EQ(PMClosePort(full), 1);

    OpenCom7();
    // Nobody reads: the write stalls and times out with what it did write.
    ASSERT_EQ(PMSetWritePortTimeOuts(handle, 0, 50), 1);
    std::vector<char> big(1 << 20, 'x');
    EXPECT_EQ(PMWritePort(handle, big.data(), static_cast<int>(big.size()), &written), 1460);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(big.size()));
    // A pty has no transmitter: what was written is with the program on the other side.
    EXPECT_EQ(PMDrainPort(handle), 0);

    pty.CloseMaster();  // the printer went away: vanished, so the owner reopens
    EXPECT_EQ(PMWritePort(handle, "x", 1, &written), 6);
    char buf[4];
    int read = -1;
    EXPECT_EQ(PMReadPort(handle, buf, 4, &read), 6);
    // The reopen closes the handle while a writer is on its way to the drain: the bytes
    // had left with the write, so the drain must not report them lost (a retry would
    // print them twice). Any other closed handle stays invalid.
    EXPECT_EQ(PMClosePort(handle), 1);
    EXPECT_EQ(PMDrainPort(handle), 0);
    EXPECT_EQ(PMClosePort(full), 0);
    EXPECT_EQ(PMDrainPort(full), 6);
    handle = nullptr;
}

TEST_F(LinkPortTest, InvalidHandleAndNullArguments) {
    char buf[4] = {};
    int n = -5;
    EXPECT_EQ(PMWritePort(INVALID_HANDLE_VALUE, buf, 4, &n), 6);
    EXPECT_EQ(PMReadPort(INVALID_HANDLE_VALUE, buf, 4, &n), 6);
    EXPECT_EQ(n, -5);
    EXPECT_EQ(PMClosePort(INVALID_HANDLE_VALUE), 0);
    EXPECT_EQ(PMDrainPort(INVALID_HANDLE_VALUE), 6);
    COMMTIMEOUTS t{};
    EXPECT_EQ(PMGetPortTimeOuts(INVALID_HANDLE_VALUE, &t), 0);
    EXPECT_EQ(PMSetPortTimeOuts(INVALID_HANDLE_VALUE, 1, 2, 3, 4, 5), 0);
    OpenCom7();
    EXPECT_EQ(PMReadPort(handle, nullptr, 4, &n), 31);
    EXPECT_EQ(n, -5);
    EXPECT_EQ(PMWritePort(handle, nullptr, 4, &n), 31);
}

TEST_F(LinkPortTest, EnumerationListsMappedPortsAndGivesTheListBack) {
    MapPorts("\"USB#Vid_5D17&Pid_0A41#S#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\"=\"/dev/x\"\n");
    char** list = nullptr;
    int count = -1;
    ASSERT_EQ(PMEnumeratePorts(&list, &count), 1);
    ASSERT_NE(list, nullptr);
    bool com7 = false;
    for (int i = 0; i < count; ++i) {
        std::string name = list[i];
        com7 |= name == "COM7:";
        EXPECT_TRUE(name.rfind("COM", 0) == 0 || name.rfind("LPT", 0) == 0 ||
                    name.rfind("USB", 0) == 0)
            << name;
        EXPECT_EQ(name.find('#'), std::string::npos) << name;
    }
    EXPECT_TRUE(com7);
    PMFreePortList(list, count);
    PMFreePortList(nullptr, 3);

    char** untouched = reinterpret_cast<char**>(0x10);
    EXPECT_EQ(PMEnumeratePorts(&untouched, nullptr), 0);
    EXPECT_EQ(untouched, reinterpret_cast<char**>(0x10));
    EXPECT_EQ(PMEnumeratePorts(nullptr, &count), 0);
    EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace thermpos::testing
