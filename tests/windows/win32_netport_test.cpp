// Network ports and waits for input on Windows (run under Wine here): a Winsock listener
// in this process stands in for the printer, the port under test is a device-file handle
// over socket://, as the port library opens it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/devfile.h"
#include "platform/eventfd.h"
#include "platform/module.h"
#include "platform/netport.h"
#include "tests/support/port_io.h"

namespace {

using namespace thermpos::platform;
using namespace std::chrono_literals;
using thermpos::testing::kGenerous;
using thermpos::testing::ReadAsync;
using thermpos::testing::WaitAsync;
using thermpos::testing::WriteAsync;

SOCKET AsSocket(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned>(fd));
}

// Waits (bounded) until the socket can be read; true when it can.
bool Readable(int fd) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(AsSocket(fd), &set);
    timeval tv{30, 0};
    return ::select(0, &set, nullptr, nullptr, &tv) == 1;
}

std::string ReceiveSome(int fd) {
    if (!Readable(fd))
        return "(nothing)";
    char buf[256];
    const int n = ::recv(AsSocket(fd), buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, n) : std::string();
}

class Win32NetPort : public ::testing::Test {
  protected:
    void SetUp() override {
        netport::Endpoint any;
        ASSERT_EQ(netport::ParseListenAddress("127.0.0.1:0", &any), ERROR_SUCCESS);
        ASSERT_EQ(netport::Listen(any, 4, &listener_, &bound_), ERROR_SUCCESS);
        ASSERT_EQ(
            devfile::OpenNetworkPort("socket://" + bound_, GENERIC_READ | GENERIC_WRITE, &port_),
            ERROR_SUCCESS);
        ASSERT_TRUE(Readable(listener_));
        printer_ = netport::AcceptClient(listener_);
        ASSERT_GE(printer_, 0);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE)
            (void)devfile::CloseHandle(port_);
        netport::CloseSocket(printer_);
        netport::CloseSocket(listener_);
        EXPECT_EQ(devfile::OpenHandleCount(), 0u);
    }
    void PrinterSends(const std::string& bytes) {
        ASSERT_EQ(netport::SendSome(printer_, bytes.data(), bytes.size()),
                  static_cast<long>(bytes.size()));
    }

    int listener_ = -1;
    int printer_ = -1;
    std::string bound_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32NetPort, BytesPassBothWaysAndTheDcbIsKeptWithoutEffect) {
    DWORD written = 0;
    ASSERT_EQ(devfile::WriteFile(port_, "\x1b@hello", 7, &written), ERROR_SUCCESS);
    EXPECT_EQ(written, 7u);
    EXPECT_EQ(ReceiveSome(printer_), "\x1b@hello");
    EXPECT_EQ(devfile::FlushFileBuffers(port_), ERROR_SUCCESS);

    PrinterSends(std::string("\x14\x00\x00\x0f", 4));
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 20000, 0, 0}), ERROR_SUCCESS);
    auto read = ReadAsync(port_, 4);
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string("\x14\x00\x00\x0f", 4)));

    DCB dcb{};
    ASSERT_EQ(devfile::GetCommState(port_, &dcb), ERROR_SUCCESS);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    dcb.BaudRate = 38400;
    ASSERT_EQ(devfile::SetCommState(port_, dcb), ERROR_SUCCESS);
    dcb.ByteSize = 9;
    EXPECT_EQ(devfile::SetCommState(port_, dcb), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(devfile::GetCommState(port_, &dcb), ERROR_SUCCESS);
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 8);
}

TEST_F(Win32NetPort, ReadsEndAsTheirTimeOutsSay) {
    // Nothing comes: the total ends the read, with nothing and no error.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 50, 0, 0}), ERROR_SUCCESS);
    auto quiet = ReadAsync(port_, 1);
    ASSERT_EQ(quiet.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(quiet.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string()));

    // No total: only the gap after the bytes can end this read short of its size.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{50, 0, 0, 0, 0}), ERROR_SUCCESS);
    PrinterSends("ab");
    auto gap = ReadAsync(port_, 16);
    ASSERT_EQ(gap.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(gap.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string("ab")));

    // Immediate reads return at once with what is there.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0}), ERROR_SUCCESS);
    auto now = ReadAsync(port_, 16);
    ASSERT_EQ(now.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(now.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string()));
}

TEST_F(Win32NetPort, APrinterThatClosedItsEndIsAVanishedDevice) {
    PrinterSends("z");
    netport::CloseSocket(printer_);
    printer_ = -1;
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 20000, 0, 0}), ERROR_SUCCESS);
    // What it sent before it went is still read; then the end shows.
    auto first = ReadAsync(port_, 4);
    ASSERT_EQ(first.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(first.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string("z")));
    auto after = ReadAsync(port_, 4);
    ASSERT_EQ(after.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(after.get().first, ERROR_INVALID_HANDLE);
    DWORD written = 0;
    EXPECT_EQ(devfile::WriteFile(port_, "job", 3, &written), ERROR_INVALID_HANDLE);
}

TEST_F(Win32NetPort, CloseWakesABlockedReadAndAWait) {
    // No time-outs at all: only the close can end these.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 0, 0, 0}), ERROR_SUCCESS);
    auto read = ReadAsync(port_, 1);
    auto wait = WaitAsync(port_, -1, INFINITE);
    ASSERT_EQ(read.wait_for(50ms), std::future_status::timeout);  // it really blocks
    EXPECT_EQ(devfile::CloseHandle(port_), ERROR_SUCCESS);
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get().first, ERROR_INVALID_HANDLE);
    ASSERT_EQ(wait.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(wait.get(), WAIT_OBJECT_0);  // the port: its next read tells why
}

TEST_F(Win32NetPort, WaitEndsOnDataOnTheWakeEventOrItsTimeAndLosesNoByte) {
    WakeDescriptor wake;
    ASSERT_TRUE(wake.Valid());
    EXPECT_EQ(devfile::WaitForInput(port_, wake.Fd(), 50), WAIT_TIMEOUT);

    auto woken = WaitAsync(port_, wake.Fd(), INFINITE);
    ASSERT_EQ(woken.wait_for(50ms), std::future_status::timeout);
    wake.Signal();
    ASSERT_EQ(woken.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(woken.get(), WAIT_OBJECT_0 + 1);
    wake.Drain();

    auto data = WaitAsync(port_, wake.Fd(), INFINITE);
    PrinterSends("\x12\x34");
    ASSERT_EQ(data.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(data.get(), WAIT_OBJECT_0);
    // The byte the wait took to find the input comes first, in order, with the rest.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 20000, 0, 0}), ERROR_SUCCESS);
    auto read = ReadAsync(port_, 2);
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), std::make_pair(LONG{ERROR_SUCCESS}, std::string("\x12\x34")));
}

TEST_F(Win32NetPort, AWriteThePrinterStopsTakingEndsAtTheStallLimit) {
    // The service objects' setting: the total never comes, the constant is the stall limit.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{MAXDWORD, 0, 0, MAXDWORD, 300}),
              ERROR_SUCCESS);
    const std::string job(64 << 20, 'x');  // far more than the buffers on both sides hold
    auto write = WriteAsync(port_, job);
    ASSERT_EQ(write.wait_for(kGenerous), std::future_status::ready);
    const auto [rc, written] = write.get();
    EXPECT_EQ(rc, ERROR_TIMEOUT);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, job.size());
    // What is queued is thrown away with the connection, never printed after the failure
    // was reported; the handle then says the device has gone, so that the owner reconnects.
    EXPECT_EQ(devfile::AbandonOutput(port_), ERROR_SUCCESS);
    DWORD more = 0;
    EXPECT_EQ(devfile::WriteFile(port_, "x", 1, &more), ERROR_INVALID_HANDLE);
    EXPECT_EQ(devfile::FlushFileBuffers(port_), ERROR_TIMEOUT);
}

TEST(Win32NetPortOpen, RefusedMalformedAndUnansweredPorts) {
    netport::Endpoint any;
    ASSERT_EQ(netport::ParseListenAddress("127.0.0.1:0", &any), ERROR_SUCCESS);
    int listener = -1;
    std::string bound;
    ASSERT_EQ(netport::Listen(any, 1, &listener, &bound), ERROR_SUCCESS);
    netport::CloseSocket(listener);  // nobody listens there now

    const std::pair<std::string, LONG> cases[] = {
        {"socket://" + bound, ERROR_CONNECTION_REFUSED},
        {"socket://", ERROR_BAD_PATHNAME},
        {"socket://printer:0", ERROR_BAD_PATHNAME},
        {"socket://bad host", ERROR_BAD_PATHNAME},
    };
    for (const auto& [uri, expected] : cases) {
        SCOPED_TRACE(uri);
        HANDLE h = nullptr;
        EXPECT_EQ(devfile::OpenNetworkPort(uri, GENERIC_READ | GENERIC_WRITE, &h), expected);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(devfile::OpenHandleCount(), 0u);
}

// A resolver that answers only when the test lets it.
HANDLE g_answer = nullptr;
int SlowResolver(const char*, const char*, const addrinfo*, addrinfo** result) {
    ::WaitForSingleObject(g_answer, INFINITE);
    *result = nullptr;
    return EAI_NONAME;
}

TEST(Win32NetPortOpen, AHostLookupIsBoundedAndAskedOnceAtATime) {
    g_answer = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(g_answer, nullptr);
    netport::SetLookupForTesting(&SlowResolver);
    const netport::Endpoint printer{"printer.example", 9100};
    int fd = 0;
    EXPECT_EQ(netport::Connect(printer, 100, &fd), ERROR_TIMEOUT);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(netport::Connect(printer, 100, &fd), ERROR_TIMEOUT);
    EXPECT_EQ(netport::LookupsInFlight(), 1u);  // the second attempt joined the first

    ::SetEvent(g_answer);
    // Joins the lookup still in flight or asks again; either way the answer is the same.
    EXPECT_EQ(netport::Connect(printer, 30000, &fd), ERROR_BAD_NET_NAME);
    EXPECT_EQ(netport::LookupsInFlight(), 0u);
    netport::SetLookupForTesting(nullptr);
}

}  // namespace

namespace {

// The service object's status monitor hands its wake descriptor to the port library, a
// DLL with its own copy of this layer: the number must mean the same event there.
TEST(Win32WaitForInput, AWakeDescriptorOfOneModuleEndsTheWaitOfAnother) {
    std::string error;
    void* library = module::Load("LinkPort.dll", &error);
    ASSERT_NE(library, nullptr) << error;
    using Open = int (*)(const char*, HANDLE*, const char*);
    using Wait = DWORD (*)(HANDLE, int, DWORD);
    using Close = int (*)(HANDLE);
    auto open = module::Export<Open>(library, "PMOpenPort");
    auto wait = module::Export<Wait>(library, "PMWaitPort");
    auto close = module::Export<Close>(library, "PMClosePort");
    ASSERT_TRUE(open && wait && close);

    netport::Endpoint any;
    ASSERT_EQ(netport::ParseListenAddress("127.0.0.1:0", &any), ERROR_SUCCESS);
    int listener = -1;
    std::string bound;
    ASSERT_EQ(netport::Listen(any, 1, &listener, &bound), ERROR_SUCCESS);
    const std::string uri = "socket://" + bound;
    ASSERT_EQ(::RegSetKeyValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ThermPOS\\Ports", "WAITNET1", REG_SZ,
                                uri.c_str(), static_cast<DWORD>(uri.size() + 1)),
              ERROR_SUCCESS);
    HANDLE port = nullptr;
    ASSERT_EQ(open("WAITNET1", &port, nullptr), 1);

    WakeDescriptor wake;
    ASSERT_TRUE(wake.Valid());
    auto waited = std::async(std::launch::async, [&] { return wait(port, wake.Fd(), INFINITE); });
    ASSERT_EQ(waited.wait_for(50ms), std::future_status::timeout);
    wake.Signal();
    ASSERT_EQ(waited.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(waited.get(), 1u);

    EXPECT_EQ(close(port), 1);
    HKEY ports = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ThermPOS\\Ports", 0, KEY_SET_VALUE,
                        &ports) == ERROR_SUCCESS) {
        ::RegDeleteValueA(ports, "WAITNET1");
        ::RegCloseKey(ports);
    }
    netport::CloseSocket(listener);
}

}  // namespace
