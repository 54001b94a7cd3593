// The device-file layer: names, handles, errno mapping, exclusive opens, time-out rules,
// raw mode and the DCB over a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "platform/dcb_termios.h"
#include "platform/devfile.h"
#include "platform/eventfd.h"
#include "tests/support/port_env.h"

namespace thermpos::testing {
namespace {

using namespace thermpos::platform::devfile;
using Clock = std::chrono::steady_clock;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(ErrorFromErrno, DriverErrorsBecomeTheNumbersTheServiceObjectsKnow) {
    EXPECT_EQ(ErrorFromErrno(ENOSPC), 28);  // printer drivers: out of paper
    EXPECT_EQ(ErrorFromErrno(EIO), 21);
    EXPECT_EQ(ErrorFromErrno(ENODEV), 6);  // vanished USB device: reopen
    EXPECT_EQ(ErrorFromErrno(ENXIO), 6);
    EXPECT_EQ(ErrorFromErrno(EAGAIN), 1460);
    EXPECT_EQ(ErrorFromErrno(ETIMEDOUT), 1460);
    EXPECT_EQ(ErrorFromErrno(EBUSY), 170);
    EXPECT_EQ(ErrorFromErrno(EACCES), 5);
    EXPECT_EQ(ErrorFromErrno(EPERM), 5);
    EXPECT_EQ(ErrorFromErrno(ENOENT), 2);
    EXPECT_EQ(ErrorFromErrno(ENOTDIR), 3);
    EXPECT_EQ(ErrorFromErrno(EISDIR), 5);
    EXPECT_EQ(ErrorFromErrno(ENOMEM), 8);
    EXPECT_EQ(ErrorFromErrno(ENAMETOOLONG), 206);
    EXPECT_EQ(ErrorFromErrno(EPROTO), 31);
    EXPECT_EQ(ErrorFromErrno(0), 0);
}

class DevFileTest : public PortEnvTest {};

TEST_F(DevFileTest, NamesResolveThroughTheMapThenTheDefaults) {
    WriteHive(
        PortsSection("\"COM3\"=\"/dev/ttyUSB0\"\n\"COM5\"=\"relative/path\"\n"
                     "\"USB#V#S#{G}\"=\"/dev/usb/lp0\"\n\"COM6\"=dword:00000001\n"));
    struct Case {
        const char* name;
        LONG rc;
        const char* path;
    } cases[] = {
        {"COM3", 0, "/dev/ttyUSB0"},
        {"com3:", 0, "/dev/ttyUSB0"},
        {"\\\\.\\COM3", 0, "/dev/ttyUSB0"},
        {"COM4", 0, "/dev/ttyS3"},
        {"com12:", 0, "/dev/ttyS11"},
        {"LPT2", 0, "/dev/lp1"},
        {"\\\\.\\USB#V#S#{G}", 0, "/dev/usb/lp0"},
        {"COM5", ERROR_PATH_NOT_FOUND, ""},
        {"COM6", ERROR_PATH_NOT_FOUND, ""},
        {"COM0", ERROR_FILE_NOT_FOUND, ""},
        {"COM4x", ERROR_FILE_NOT_FOUND, ""},
        {"PRN", ERROR_FILE_NOT_FOUND, ""},
        {"/dev/ttyS0", ERROR_FILE_NOT_FOUND, ""},
        {"", ERROR_INVALID_NAME, ""},
        {":", ERROR_INVALID_NAME, ""},
    };
    for (const auto& c : cases) {
        std::string path = "unchanged";
        EXPECT_EQ(ResolvePortName(c.name, &path), c.rc) << c.name;
        if (c.rc == 0)
            EXPECT_EQ(path, c.path) << c.name;
        else
            EXPECT_EQ(path, "unchanged") << c.name;
    }
    std::string path;
    EXPECT_EQ(ResolvePortName("COM" + std::string(253, '1'), &path), ERROR_INVALID_NAME);
}

TEST_F(DevFileTest, UnreadableHiveDoesNotFallBackToDefaults) {
    WriteHive("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ThermPOS\\Ports]\n\"COM1\"=garbage\n");
    std::string path;
    EXPECT_NE(ResolvePortName("COM1", &path), ERROR_SUCCESS);
    EXPECT_TRUE(path.empty());
}

TEST_F(DevFileTest, UnknownHandlesAreRefusedByEveryCall) {
    HANDLE bogus = reinterpret_cast<HANDLE>(std::uintptr_t{0xDEAD0});
    char buf[4];
    DWORD n = 99;
    DCB dcb{};
    COMMTIMEOUTS t{};
    EXPECT_EQ(ReadFile(bogus, buf, 4, &n), ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(WriteFile(bogus, buf, 4, &n), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetCommState(INVALID_HANDLE_VALUE, &dcb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetCommState(nullptr, dcb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetCommTimeouts(bogus, &t), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetCommTimeouts(bogus, t), ERROR_INVALID_HANDLE);
    EXPECT_EQ(PurgeComm(bogus, PURGE_RXCLEAR), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetupComm(bogus, 1, 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CloseHandle(bogus), ERROR_INVALID_HANDLE);
}

class PtyTest : public PortEnvTest {
  protected:
    void SetUp() override {
        PortEnvTest::SetUp();
        ASSERT_TRUE(pty.ok());
        WriteHive(PortsSection("\"COM7\"=" + RegText(pty.slave()) + "\n"));
        ASSERT_EQ(CreateFile("COM7", kReadWrite, 0, &h), ERROR_SUCCESS);
    }
    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_EQ(CloseHandle(h), ERROR_SUCCESS);
        }
        EXPECT_EQ(OpenHandleCount(), 0u);
        PortEnvTest::TearDown();
    }
    LONG SetReadTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        return SetCommTimeouts(h, COMMTIMEOUTS{interval, multiplier, constant, 0, 0});
    }

    Pty pty;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(PtyTest, SecondOpenIsASharingViolationUntilTheFirstCloses) {
    HANDLE second = nullptr;
    EXPECT_EQ(CreateFile("COM7", kReadWrite, 0, &second), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenDevicePath(pty.slave(), kReadWrite, FILE_SHARE_READ, &second), 32)
        << "a shared open does not get past an exclusive one";

    // Another process is kept out the same way.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE other = nullptr;
        _exit(OpenDevicePath(pty.slave(), kReadWrite, 0, &other) == 32 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(CloseHandle(h), ERROR_SUCCESS);
    EXPECT_EQ(CloseHandle(h), ERROR_INVALID_HANDLE) << "a handle closes once";
    h = INVALID_HANDLE_VALUE;
    ASSERT_EQ(CreateFile("COM7:", kReadWrite, 0, &h), ERROR_SUCCESS);
}

TEST_F(PtyTest, BytesPassUnchangedBothWays) {
    std::string bytes("a\r\nb\n\x11\x13\x03\x00\xff", 10);
    DWORD n = 0;
    ASSERT_EQ(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n), 0);
    EXPECT_EQ(n, bytes.size());
    EXPECT_EQ(pty.Receive(bytes.size()), bytes);

    pty.Send(bytes);
    ASSERT_EQ(SetReadTimeouts(0, 0, 5000), 0);
    char buf[32] = {};
    ASSERT_EQ(ReadFile(h, buf, static_cast<DWORD>(bytes.size()), &n), 0);
    EXPECT_EQ(std::string(buf, n), bytes);
}

TEST_F(PtyTest, ImmediateReadReturnsAtOnceWithWhatHasArrived) {
    ASSERT_EQ(SetReadTimeouts(MAXDWORD, 0, 0), 0);
    char buf[16];
    DWORD n = 99;
    EXPECT_EQ(ReadFile(h, buf, sizeof buf, &n), 0);
    EXPECT_EQ(n, 0u);

    pty.Send("xyz");
    // Wait until the bytes are there (poll on a second descriptor), then read at once.
    int fd = ::open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ::close(fd);
    EXPECT_EQ(ReadFile(h, buf, sizeof buf, &n), 0);
    EXPECT_EQ(std::string(buf, n), "xyz");
}

TEST_F(PtyTest, TotalReadTimeOutEndsTheReadWithoutError) {
    ASSERT_EQ(SetReadTimeouts(0, 0, 80), 0);
    pty.Send("ab");
    char buf[16];
    DWORD n = 0;
    auto start = Clock::now();
    EXPECT_EQ(ReadFile(h, buf, sizeof buf, &n), 0);
    EXPECT_GE(MsSince(start), 75);
    EXPECT_EQ(std::string(buf, n), "ab");
}

TEST_F(PtyTest, HugeTotalsMeanNoLimitRatherThanAnOverflowedOne) {
    ASSERT_EQ(SetCommTimeouts(h, COMMTIMEOUTS{0, MAXDWORD, MAXDWORD, MAXDWORD, MAXDWORD}), 0);
    pty.Send("abc");
    char buf[3];
    DWORD n = 0;
    EXPECT_EQ(ReadFile(h, buf, 3, &n), 0);
    EXPECT_EQ(std::string(buf, n), "abc");
    EXPECT_EQ(WriteFile(h, "def", 3, &n), 0);
    EXPECT_EQ(pty.Receive(3), "def");
}

TEST_F(PtyTest, FirstByteModeReturnsAsSoonAsAnythingArrives) {
    // An hour's total: a read that waited for it instead of the first byte would still be
    // waiting when the generous limit below runs out.
    ASSERT_EQ(SetReadTimeouts(MAXDWORD, MAXDWORD, 3600000), 0);
    char buf[16];
    DWORD n = 0;
    auto read = std::async(std::launch::async, [&] { return ReadFile(h, buf, sizeof buf, &n); });
    pty.Send("Q");
    const bool returned = read.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!returned) {
        EXPECT_EQ(CloseHandle(h), ERROR_SUCCESS);  // wakes the read, so the test can end
        h = INVALID_HANDLE_VALUE;
    }
    ASSERT_TRUE(returned) << "the read waited past the first byte";
    EXPECT_EQ(read.get(), 0);
    EXPECT_EQ(std::string(buf, n), "Q");
}

TEST_F(PtyTest, CloseWakesAReadThatWouldWaitForEver) {
    ASSERT_EQ(SetReadTimeouts(0, 0, 0), 0);
    LONG rc = -1;
    std::thread reader([&] {
        char buf[16];
        DWORD n = 0;
        rc = ReadFile(h, buf, sizeof buf, &n);
    });
    EXPECT_EQ(CloseHandle(h), ERROR_SUCCESS);
    reader.join();  // hangs here if close does not wake the read
    EXPECT_EQ(rc, ERROR_INVALID_HANDLE);
    h = INVALID_HANDLE_VALUE;
}

TEST_F(PtyTest, WriteTimeOutReportsTheBytesItWrote) {
    // Nobody reads the master: the pseudo-terminal's buffer fills and the write stalls.
    ASSERT_EQ(SetCommTimeouts(h, COMMTIMEOUTS{0, 0, 0, 0, 100}), 0);
    std::vector<char> big(1 << 20, 'x');
    DWORD n = 0;
    auto start = Clock::now();
    EXPECT_EQ(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n), ERROR_TIMEOUT);
    EXPECT_GE(MsSince(start), 95);
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, big.size());
}

// The wait a port's watcher sleeps in: each way it can end, and input left for the read.
TEST_F(PtyTest, WaitForInputEndsOnInputWakeDescriptorCloseOrTime) {
    platform::WakeDescriptor wake;
    ASSERT_TRUE(wake.Valid());
    EXPECT_EQ(WaitForInput(h, wake.Fd(), 20), WAIT_TIMEOUT);

    pty.Send("\x14");
    EXPECT_EQ(WaitForInput(h, wake.Fd(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForInput(h, -1, INFINITE), WAIT_OBJECT_0) << "still there: nothing was read";
    char buf[8] = {};
    DWORD n = 0;
    ASSERT_EQ(SetReadTimeouts(MAXDWORD, 0, 0), 0);
    ASSERT_EQ(ReadFile(h, buf, sizeof buf, &n), 0);
    EXPECT_EQ(std::string(buf, n), "\x14");

    wake.Signal();
    EXPECT_EQ(WaitForInput(h, wake.Fd(), INFINITE), WAIT_OBJECT_0 + 1);
    wake.Drain();

    // Another thread closing the handle ends a wait that has no limit.
    DWORD closed = 0;
    std::thread waiter([&] { closed = WaitForInput(h, wake.Fd(), INFINITE); });
    ASSERT_EQ(CloseHandle(h), ERROR_SUCCESS);
    waiter.join();  // hangs here if the close does not end the wait
    // Ended by the close, or begun after it.
    EXPECT_TRUE(closed == WAIT_OBJECT_0 || closed == WAIT_FAILED) << closed;
    EXPECT_EQ(WaitForInput(h, wake.Fd(), 0), WAIT_FAILED) << "closed handle";
    h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WaitForInput(INVALID_HANDLE_VALUE, -1, 0), WAIT_FAILED);
}

TEST_F(PtyTest, WaitForInputSeesAHangUp) {
    pty.CloseMaster();
    EXPECT_EQ(WaitForInput(h, -1, INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(SetReadTimeouts(MAXDWORD, 0, 0), 0);
    char buf[4] = {};
    DWORD n = 0;
    EXPECT_EQ(ReadFile(h, buf, sizeof buf, &n), ERROR_INVALID_HANDLE) << "the read tells why";
}

// A serial port only hangs up when its device went (a USB-serial adapter unplugged):
// "vanished", so that the owner reopens it instead of waiting for it to get ready.
TEST_F(PtyTest, HungUpTerminalIsAVanishedDevice) {
    pty.CloseMaster();
    char buf[4] = {};
    DWORD n = 0;
    EXPECT_EQ(WriteFile(h, buf, 4, &n), ERROR_INVALID_HANDLE);
    ASSERT_EQ(SetReadTimeouts(0, 0, 0), 0);
    EXPECT_EQ(ReadFile(h, buf, 4, &n), ERROR_INVALID_HANDLE) << "must not wait for ever either";
}

TEST_F(PtyTest, NullStrippingDropsReceivedNuls) {
    DCB dcb{};
    ASSERT_EQ(GetCommState(h, &dcb), 0);
    dcb.fNull = 1;
    ASSERT_EQ(SetCommState(h, dcb), 0);
    ASSERT_EQ(SetReadTimeouts(0, 0, 5000), 0);
    pty.Send(std::string("a\0b\0\0c", 6));
    char buf[8] = {};
    DWORD n = 0;
    ASSERT_EQ(ReadFile(h, buf, 3, &n), 0);
    EXPECT_EQ(std::string(buf, n), "abc");
}

TEST_F(PtyTest, PurgeDiscardsUnreadInput) {
    pty.Send("stale");
    int fd = ::open(pty.slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ::close(fd);
    EXPECT_EQ(PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT), 0);
    ASSERT_EQ(SetReadTimeouts(MAXDWORD, 0, 0), 0);
    char buf[8];
    DWORD n = 99;
    EXPECT_EQ(ReadFile(h, buf, sizeof buf, &n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(PurgeComm(h, 0x100), ERROR_INVALID_PARAMETER);
}

// The serial settings the configuration store writes ("BaudRate", "Parity", "HandShake",
// "BitLength"), as the DCB it builds from them.
struct StoreSetting {
    DWORD baud;
    BYTE bits;
    BYTE parity;
    DWORD handshake;  // 0 DTR/DSR, 1 XON/XOFF, 2 neither
};
constexpr StoreSetting kStoreSettings[] = {
    {9600, 8, NOPARITY, 0},     {19200, 7, ODDPARITY, 1}, {38400, 7, EVENPARITY, 0},
    {115200, 8, EVENPARITY, 2}, {4800, 8, ODDPARITY, 1},  {19200, 7, NOPARITY, 2},
};

DCB StoreDcb(DCB dcb, const StoreSetting& s) {
    dcb.BaudRate = s.baud;
    dcb.fBinary = 1;
    dcb.fParity = s.parity != NOPARITY;
    dcb.fOutxDsrFlow = s.handshake == 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = dcb.fInX = (s.handshake & 1);
    dcb.fNull = 0;
    dcb.fAbortOnError = 1;
    dcb.ByteSize = s.bits;
    dcb.Parity = s.parity;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

speed_t SpeedOf(DWORD baud) {
    switch (baud) {
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        default:
            return B115200;
    }
}

void ExpectSameConfiguredFields(const DCB& back, const DCB& dcb) {
    EXPECT_EQ(back.BaudRate, dcb.BaudRate);
    EXPECT_EQ(back.fBinary, 1u);
    EXPECT_EQ(back.fParity, dcb.fParity);
    EXPECT_EQ(back.fOutxCtsFlow, dcb.fOutxCtsFlow);
    EXPECT_EQ(back.fOutX, dcb.fOutX);
    EXPECT_EQ(back.fInX, dcb.fInX);
    EXPECT_EQ(back.ByteSize, dcb.ByteSize);
    EXPECT_EQ(back.Parity, dcb.Parity);
    EXPECT_EQ(back.StopBits, dcb.StopBits);
}

TEST(DcbTermios, ConfiguredSettingsRoundTripThroughTermios) {
    for (const auto& s : kStoreSettings) {
        SCOPED_TRACE(::testing::Message()
                     << s.baud << " " << int(s.bits) << " " << int(s.parity) << " " << s.handshake);
        DCB dcb = StoreDcb(DCB{}, s);
        termios t{};
        t.c_oflag = OPOST;  // bits the DCB does not own stay as they are
        ASSERT_EQ(DcbToTermios(dcb, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), SpeedOf(s.baud));
        EXPECT_EQ(cfgetispeed(&t), SpeedOf(s.baud));
        EXPECT_EQ(t.c_cflag & CSIZE, s.bits == 7 ? CS7 : CS8);
        EXPECT_EQ(bool(t.c_cflag & PARENB), s.parity != NOPARITY);
        EXPECT_EQ(bool(t.c_cflag & PARODD), s.parity == ODDPARITY);
        EXPECT_EQ(bool(t.c_iflag & INPCK), s.parity != NOPARITY);
        EXPECT_FALSE(t.c_cflag & (CSTOPB | CMSPAR | CRTSCTS));
        EXPECT_EQ(bool(t.c_iflag & IXON), bool(s.handshake & 1));
        EXPECT_EQ(bool(t.c_iflag & IXOFF), bool(s.handshake & 1));
        EXPECT_EQ(t.c_oflag, tcflag_t{OPOST});

        DCB back{};
        TermiosToDcb(t, &back);
        ExpectSameConfiguredFields(back, dcb);
    }
}

TEST(DcbTermios, FramingEdgesAndRefusals) {
    DCB dcb = StoreDcb(DCB{}, kStoreSettings[0]);
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    dcb.Parity = MARKPARITY;
    termios t{};
    ASSERT_EQ(DcbToTermios(dcb, &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, CS5);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CMSPAR);
    DCB back{};
    TermiosToDcb(t, &back);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);
    EXPECT_EQ(back.Parity, MARKPARITY);
    dcb.ByteSize = 6;
    dcb.StopBits = TWOSTOPBITS;
    dcb.Parity = SPACEPARITY;
    ASSERT_EQ(DcbToTermios(dcb, &t), 0);
    TermiosToDcb(t, &back);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.Parity, SPACEPARITY);
    EXPECT_EQ(back.ByteSize, 6);

    DCB good = StoreDcb(DCB{}, kStoreSettings[1]);
    auto refused = [&](auto change) {
        DCB bad = good;
        change(bad);
        termios before{};
        before.c_cflag = CS7 | PARENB;
        termios after = before;
        EXPECT_EQ(DcbToTermios(bad, &after), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(std::memcmp(&after, &before, sizeof after), 0) << "nothing changes on failure";
    };
    refused([](DCB& d) { d.BaudRate = 0; });
    refused([](DCB& d) { d.BaudRate = 12345; });
    refused([](DCB& d) { d.ByteSize = 9; });
    refused([](DCB& d) { d.ByteSize = 4; });
    refused([](DCB& d) { d.Parity = 5; });
    refused([](DCB& d) { d.StopBits = 3; });
    refused([](DCB& d) {
        d.ByteSize = 5;
        d.StopBits = TWOSTOPBITS;
    });
    refused([](DCB& d) { d.StopBits = ONE5STOPBITS; });  // with 7 data bits
}

// On a pseudo-terminal: what it holds goes through termios, the framing it cannot hold
// is remembered, and the rest of the DCB comes back as set.
TEST_F(PtyTest, ConfiguredSettingsRoundTripOnAPseudoTerminal) {
    for (const auto& s : kStoreSettings) {
        SCOPED_TRACE(::testing::Message()
                     << s.baud << " " << int(s.bits) << " " << int(s.parity) << " " << s.handshake);
        DCB dcb{};
        ASSERT_EQ(GetCommState(h, &dcb), 0);
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        dcb = StoreDcb(dcb, s);
        ASSERT_EQ(SetCommState(h, dcb), 0);

        termios t = pty.Settings();
        EXPECT_EQ(cfgetospeed(&t), SpeedOf(s.baud));
        EXPECT_EQ(bool(t.c_iflag & INPCK), s.parity != NOPARITY);
        EXPECT_EQ(bool(t.c_iflag & IXON), bool(s.handshake & 1));
        EXPECT_FALSE(t.c_oflag & OPOST) << "raw mode survives a DCB";

        DCB back{};
        ASSERT_EQ(GetCommState(h, &back), 0);
        EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
    }
}

TEST_F(PtyTest, FlowControlSplitAndRefusalsOnTheHandle) {
    DCB dcb{};
    ASSERT_EQ(GetCommState(h, &dcb), 0);
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;  // input flow only: CRTSCTS all the same
    ASSERT_EQ(SetCommState(h, dcb), 0);
    EXPECT_TRUE(pty.Settings().c_cflag & CRTSCTS);
    DCB back{};
    ASSERT_EQ(GetCommState(h, &back), 0);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    EXPECT_EQ(back.fRtsControl, RTS_CONTROL_HANDSHAKE);

    DCB bad = back;
    bad.ByteSize = 9;
    EXPECT_EQ(SetCommState(h, bad), ERROR_INVALID_PARAMETER);
    DCB now{};
    ASSERT_EQ(GetCommState(h, &now), 0);
    EXPECT_EQ(std::memcmp(&now, &back, sizeof now), 0);
}

TEST_F(DevFileTest, PlainFilesHaveNoSerialSettings) {
    std::string path = dir_ + "/printer";
    { std::ofstream(path) << ""; }
    HANDLE f = nullptr;
    ASSERT_EQ(OpenDevicePath(path, kReadWrite, 0, &f), 0);
    DCB dcb{};
    EXPECT_EQ(GetCommState(f, &dcb), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(SetCommState(f, dcb), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(PurgeComm(f, 0x0F), 0);
    EXPECT_EQ(WaitForInput(f, -1, 0), WAIT_FAILED) << "always readable: a waiter would spin";
    DWORD n = 0;
    EXPECT_EQ(WriteFile(f, "abc", 3, &n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(CloseHandle(f), 0);
    EXPECT_EQ(OpenDevicePath(dir_, kReadWrite, 0, &f), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenDevicePath(dir_ + "/none", kReadWrite, 0, &f), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(f, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace thermpos::testing
