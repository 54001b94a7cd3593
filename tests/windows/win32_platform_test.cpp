// The Win32 twins of the platform layer, as a Windows program sees them (run under Wine
// here): the claim's named mutex, wake descriptors, code pages, the loader, and device
// handles over overlapped I/O.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/devfile.h"
#include "platform/eventfd.h"
#include "platform/module.h"
#include "platform/sync.h"

namespace {

using namespace thermpos::platform;
using namespace std::chrono_literals;

// A limit no working call comes near; only a hang reaches it.
constexpr auto kGenerous = 30s;

TEST(Win32NamedMutex, OneOwnerAtATimeAndFreedByClose) {
    NamedMutex first;
    ASSERT_EQ(first.Create("Win32Test.Printer"), ERROR_SUCCESS);
    EXPECT_TRUE(first.Owned());
    NamedMutex second;
    EXPECT_EQ(second.Create("Win32Test.Printer"), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(second.Owned());
    first.Close();
    EXPECT_EQ(second.Create("Win32Test.Printer"), ERROR_SUCCESS);
}

TEST(Win32NamedMutex, NamesAreKeptApartAndCheckedAsElsewhere) {
    // A backslash is the object namespace's separator: it must not make the name invalid
    // nor let two different names meet.
    NamedMutex slash, plain, encoded;
    EXPECT_EQ(slash.Create("Win32Test\\Drawer"), ERROR_SUCCESS);
    EXPECT_EQ(plain.Create("Win32Test_Drawer"), ERROR_SUCCESS);
    EXPECT_EQ(encoded.Create("Win32Test%5CDrawer"), ERROR_SUCCESS);
    NamedMutex empty, tooLong;
    EXPECT_EQ(empty.Create(""), ERROR_INVALID_NAME);
    EXPECT_EQ(tooLong.Create(std::string(300, 'x')), ERROR_INVALID_NAME);
    // Long names are shortened with a digest, still within the object name limit.
    NamedMutex longName;
    EXPECT_EQ(longName.Create(std::string(250, '\\')), ERROR_SUCCESS);
}

TEST(Win32WakeDescriptor, SignalledUntilDrainedAndUnknownNumbersAreRefused) {
    WakeDescriptor wake;
    ASSERT_TRUE(wake.Valid());
    EXPECT_FALSE(wake.Signalled());
    wake.Signal();
    EXPECT_TRUE(wake.Signalled());
    EXPECT_TRUE(WaitReadable(wake.Fd(), 0));
    wake.Drain();
    EXPECT_FALSE(wake.Signalled());
    WakeDescriptor other;
    EXPECT_NE(other.Fd(), wake.Fd());
    EXPECT_FALSE(WaitReadable(-1, 0));
    EXPECT_FALSE(WaitReadable(0x3ffffff0, 0));  // no handle of this process
}

TEST(Win32WakeDescriptor, SignalFromAnotherThreadEndsAWait) {
    WakeDescriptor wake;
    std::thread signaller([&] { wake.Signal(); });
    EXPECT_TRUE(WaitReadable(wake.Fd(), 30000));
    signaller.join();
}

TEST(Win32CodePage, SystemTablesConvertBothWays) {
    struct Case {
        UINT codePage;
        std::string bytes;
        std::u16string wide;
    };
    const Case cases[] = {
        {437, "\x80\x9b", u"\u00c7\u00a2"},
        {1252, "\x80\xe9", u"\u20ac\u00e9"},
        {65001, "\xe2\x82\xac", u"\u20ac"},
        {932, "\x82\xa0", u"\u3042"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        std::u16string wide;
        ASSERT_EQ(MultiByteToWide(c.codePage, c.bytes, &wide), ERROR_SUCCESS);
        EXPECT_EQ(wide, c.wide);
        std::string bytes;
        bool usedDefault = true;
        ASSERT_EQ(WideToMultiByte(c.codePage, c.wide, &bytes, '?', &usedDefault), ERROR_SUCCESS);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_FALSE(usedDefault);
    }
}

TEST(Win32CodePage, MissingCharactersAndUnknownPages) {
    std::string out;
    bool usedDefault = false;
    ASSERT_EQ(WideToMultiByte(1252, u"a\u4e2db", &out, '*', &usedDefault), ERROR_SUCCESS);
    EXPECT_EQ(out, "a*b");
    EXPECT_TRUE(usedDefault);
    std::u16string wide;
    EXPECT_EQ(MultiByteToWide(1, "x", &wide), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWide(999, "x", &wide), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(thermpos::platform::IsValidCodePage(CP_ACP));
    EXPECT_TRUE(thermpos::platform::IsValidCodePage(thermpos::platform::GetACP()));
    EXPECT_EQ(MultiByteToWide(437, "", &wide), ERROR_SUCCESS);
    EXPECT_TRUE(wide.empty());
}

void ThisModuleMarker() {}

TEST(Win32Module, PathsOfTheProgramAndItsCode) {
    const std::string exe = module::ExecutablePath();
    EXPECT_TRUE(module::IsAbsolutePath(exe)) << exe;
    EXPECT_EQ(module::PathOf(reinterpret_cast<const void*>(&ThisModuleMarker)), exe);
    void* kernel = module::FindLoaded("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_NE(module::ExportAddress(kernel, "CreateFileA"), nullptr);
    EXPECT_EQ(module::ExportAddress(kernel, "NoSuchExport"), nullptr);
    std::string error;
    EXPECT_EQ(module::Load("C:\\no\\such\\library.dll", &error), nullptr);
    EXPECT_FALSE(error.empty());
}

TEST(Win32Module, AbsolutePaths) {
    const std::pair<const char*, bool> cases[] = {
        {"C:\\Windows\\ThermSO.dll", true},
        {"c:/x.dll", true},
        {"\\\\.\\COM3", true},
        {"\\\\server\\share\\x.dll", true},
        {"ThermSO.dll", false},
        {"C:ThermSO.dll", false},
        {"\\ThermSO.dll", false},
        {"", false},
        {"/usr/lib/x.so", false},
    };
    for (const auto& [path, absolute] : cases)
        EXPECT_EQ(module::IsAbsolutePath(path), absolute) << path;
}

// A named pipe stands in for a port whose driver never ends a read by itself.
class Win32DeviceFile : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = "\\\\.\\pipe\\thermpos-devfile-" + std::to_string(::GetCurrentProcessId());
        server_ = ::CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                     0, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE);
        ASSERT_EQ(devfile::OpenDevicePath(name_, GENERIC_READ | GENERIC_WRITE, 0, &port_),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE)
            (void)devfile::CloseHandle(port_);
        if (server_ != INVALID_HANDLE_VALUE)
            ::CloseHandle(server_);
    }
    std::string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32DeviceFile, BytesPassBothWays) {
    DWORD written = 0;
    ASSERT_EQ(devfile::WriteFile(port_, "\x1b@", 2, &written), ERROR_SUCCESS);
    EXPECT_EQ(written, 2u);
    char got[8] = {};
    DWORD n = 0;
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!::ReadFile(server_, got, sizeof got, nullptr, &ov)) {
        ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(::GetOverlappedResult(server_, &ov, &n, TRUE));
    ::CloseHandle(ov.hEvent);
    EXPECT_EQ(std::string(got, n), "\x1b@");

    DWORD sent = 0;
    ov = {};
    ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!::WriteFile(server_, "\x14", 1, nullptr, &ov)) {
        ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(::GetOverlappedResult(server_, &ov, &sent, TRUE));
    ::CloseHandle(ov.hEvent);
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 20000, 0, 0}), ERROR_SUCCESS);
    char status = 0;
    DWORD read = 0;
    ASSERT_EQ(devfile::ReadFile(port_, &status, 1, &read), ERROR_SUCCESS);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(status, '\x14');
}

TEST_F(Win32DeviceFile, ReadEndsAtItsTotalTimeOutWithNothing) {
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 50, 0, 0}), ERROR_SUCCESS);
    COMMTIMEOUTS back{};
    ASSERT_EQ(devfile::GetCommTimeouts(port_, &back), ERROR_SUCCESS);
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 50u);
    auto read = std::async(std::launch::async, [&] {
        char c;
        DWORD n = 99;
        LONG rc = devfile::ReadFile(port_, &c, 1, &n);
        return std::make_pair(rc, n);
    });
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), std::make_pair(LONG{ERROR_SUCCESS}, DWORD{0}));
}

TEST_F(Win32DeviceFile, CloseWakesABlockedRead) {
    // No time-outs at all: only the close can end this read.
    ASSERT_EQ(devfile::SetCommTimeouts(port_, COMMTIMEOUTS{0, 0, 0, 0, 0}), ERROR_SUCCESS);
    std::promise<void> started;
    auto read = std::async(std::launch::async, [&] {
        char c;
        DWORD n = 99;
        started.set_value();
        return devfile::ReadFile(port_, &c, 1, &n);
    });
    started.get_future().wait();
    ASSERT_EQ(read.wait_for(50ms), std::future_status::timeout);  // it really blocks
    EXPECT_EQ(devfile::CloseHandle(port_), ERROR_SUCCESS);
    ASSERT_EQ(read.wait_for(kGenerous), std::future_status::ready);
    EXPECT_EQ(read.get(), ERROR_INVALID_HANDLE);
    port_ = INVALID_HANDLE_VALUE;
}

TEST(Win32DeviceFileHandles, UnknownHandlesAndMissingDevices) {
    char c;
    DWORD n = 7;
    EXPECT_EQ(devfile::ReadFile(INVALID_HANDLE_VALUE, &c, 1, &n), ERROR_INVALID_HANDLE);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(devfile::WriteFile(reinterpret_cast<HANDLE>(0x1234), "x", 1, &n),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(devfile::CloseHandle(INVALID_HANDLE_VALUE), ERROR_INVALID_HANDLE);
    HANDLE h = nullptr;
    EXPECT_NE(devfile::OpenDevicePath("\\\\.\\pipe\\thermpos-none", GENERIC_READ, 0, &h),
              ERROR_SUCCESS);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(devfile::OpenHandleCount(), 0u);
}

}  // namespace
