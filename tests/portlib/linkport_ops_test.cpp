// The port operations over a fake backend: chunked writes and their error paths, the
// argument tests, name classification, the infrared set-up and the time-out helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "portlib/PortOps.h"
#include "tests/support/fake_device_backend.h"

namespace thermpos::testing {
namespace {

using namespace thermpos::linkport;

HANDLE const kPort = reinterpret_cast<HANDLE>(std::uintptr_t{0x104});
constexpr int kSentinel = -7777;

std::vector<unsigned char> Pattern(int n) {
    std::vector<unsigned char> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i / 1024 + 1);
    return v;
}

TEST(WritePort, CutsThreeThousandBytesInto1024_1024_952) {
    FakeDeviceBackend io;
    auto data = Pattern(3000);
    int written = kSentinel;
    EXPECT_EQ(WritePort(io, kPort, data.data(), 3000, &written), 0);
    EXPECT_EQ(written, 3000);
    ASSERT_EQ(io.writes.size(), 3u);
    EXPECT_EQ(io.writes[0].size, 1024u);
    EXPECT_EQ(io.writes[1].size, 1024u);
    EXPECT_EQ(io.writes[2].size, 952u);
    // Each chunk starts where the previous one ended.
    EXPECT_EQ(io.writes[0].firstByte, 1);
    EXPECT_EQ(io.writes[1].firstByte, 2);
    EXPECT_EQ(io.writes[2].firstByte, 3);
    EXPECT_EQ(io.writes[2].handle, kPort);
}

TEST(WritePort, FailingSecondChunkReturnsItsErrorAndCountsWhatItMoved) {
    FakeDeviceBackend io;
    io.writeScript[1] = {ERROR_OUT_OF_PAPER, 100};
    auto data = Pattern(3000);
    int written = kSentinel;
    EXPECT_EQ(WritePort(io, kPort, data.data(), 3000, &written), ERROR_OUT_OF_PAPER);
    EXPECT_EQ(written, 1024 + 100);
    EXPECT_EQ(io.writes.size(), 2u) << "nothing is written after a failed chunk";
}

TEST(WritePort, ChunkThatMovesNothingEndsTheLoopWithTimeout) {
    FakeDeviceBackend io;
    io.writeScript[1] = {ERROR_SUCCESS, 0};
    auto data = Pattern(3000);
    int written = kSentinel;
    EXPECT_EQ(WritePort(io, kPort, data.data(), 3000, &written), ERROR_TIMEOUT);
    EXPECT_EQ(written, 1024);
    EXPECT_EQ(io.writes.size(), 2u);
}

// A write that times out after queuing part of the data discards that part: its caller
// sends all of it again. One that queued nothing leaves the port's queue alone (what is
// in it is another writer's, a job still waiting for the printer); other errors are not
// a stalled line.
TEST(WritePort, TimeOutDiscardsWhatTheWriteQueuedAndNothingElse) {
    struct Case {
        const char* what;
        std::map<std::size_t, FakeDeviceBackend::Result> script;
        int abandons;
    } cases[] = {
        {"first chunk moves nothing", {{0, {ERROR_TIMEOUT, 0}}}, 0},
        {"first chunk stalls half-way", {{0, {ERROR_TIMEOUT, 300}}}, 1},
        {"second chunk moves nothing", {{1, {ERROR_TIMEOUT, 0}}}, 1},
        {"serial time-out without error", {{1, {ERROR_SUCCESS, 0}}}, 1},
        {"out of paper is no stall", {{1, {ERROR_OUT_OF_PAPER, 10}}}, 0},
        {"all written", {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDeviceBackend io;
        io.writeScript = c.script;
        auto data = Pattern(3000);
        int written = kSentinel;
        (void)WritePort(io, kPort, data.data(), 3000, &written);
        EXPECT_EQ(io.abandons, c.abandons);
    }
}

TEST(WritePort, ShortChunkAdvancesByWhatWasWritten) {
    FakeDeviceBackend io;
    io.writeScript[0] = {ERROR_SUCCESS, 500};
    auto data = Pattern(2000);
    int written = kSentinel;
    EXPECT_EQ(WritePort(io, kPort, data.data(), 2000, &written), 0);
    EXPECT_EQ(written, 2000);
    ASSERT_EQ(io.writes.size(), 3u);
    EXPECT_EQ(io.writes[1].size, 1024u);
    EXPECT_EQ(io.writes[2].size, 2000u - 500 - 1024);
}

TEST(WritePort, ArgumentTestsAndEmptyWrites) {
    FakeDeviceBackend io;
    char byte = 'x';
    int written = kSentinel;
    EXPECT_EQ(WritePort(io, INVALID_HANDLE_VALUE, &byte, 1, &written), ERROR_INVALID_HANDLE);
    EXPECT_EQ(written, kSentinel);
    EXPECT_EQ(WritePort(io, kPort, nullptr, 1, &written), ERROR_GEN_FAILURE);
    EXPECT_EQ(written, kSentinel);
    EXPECT_EQ(WritePort(io, kPort, &byte, 0, &written), 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(WritePort(io, kPort, &byte, -5, &written), 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(WritePort(io, kPort, &byte, 1, nullptr), 0);
    EXPECT_EQ(io.writes.size(), 1u);
}

TEST(WritePort, CountReportedBeyondTheChunkIsNotTrusted) {
    FakeDeviceBackend io;
    io.writeScript[0] = {ERROR_SUCCESS, 5000};
    auto data = Pattern(100);
    int written = kSentinel;
    EXPECT_EQ(WritePort(io, kPort, data.data(), 100, &written), 0);
    EXPECT_EQ(written, 100);
}

TEST(ReadPort, ArgumentTestsLeaveOutputsAlone) {
    FakeDeviceBackend io;
    char buf[8];
    int read = kSentinel;
    EXPECT_EQ(ReadPort(io, INVALID_HANDLE_VALUE, buf, 8, &read), ERROR_INVALID_HANDLE);
    EXPECT_EQ(read, kSentinel);
    EXPECT_EQ(ReadPort(io, kPort, nullptr, 8, &read), ERROR_GEN_FAILURE);
    EXPECT_EQ(read, kSentinel);
    // A negative size must never reach the system as a huge unsigned count.
    EXPECT_EQ(ReadPort(io, kPort, buf, -1, &read), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(read, 0);
    EXPECT_TRUE(io.reads.empty());
}

TEST(ReadPort, PassesCountAndError) {
    FakeDeviceBackend io;
    io.readResult = {ERROR_NOT_READY, 3};
    char buf[8];
    int read = kSentinel;
    EXPECT_EQ(ReadPort(io, kPort, buf, 8, &read), ERROR_NOT_READY);
    EXPECT_EQ(read, 3);
    ASSERT_EQ(io.reads.size(), 1u);
    EXPECT_EQ(io.reads[0], 8u);
    io.readResult = {ERROR_SUCCESS, 2};
    EXPECT_EQ(ReadPort(io, kPort, buf, 8, nullptr), 0);
}

TEST(ClosePort, PurgesEverythingThenCloses) {
    FakeDeviceBackend io;
    EXPECT_EQ(ClosePort(io, INVALID_HANDLE_VALUE), 0);
    EXPECT_TRUE(io.purges.empty());
    EXPECT_TRUE(io.closed.empty());

    EXPECT_EQ(ClosePort(io, kPort), 1);
    ASSERT_EQ(io.purges.size(), 1u);
    EXPECT_EQ(io.purges[0], 0x0Fu);
    ASSERT_EQ(io.closed.size(), 1u);
    EXPECT_EQ(io.closed[0], kPort);

    io.closeError = ERROR_INVALID_HANDLE;  // not an open handle: not reported as closed
    EXPECT_EQ(ClosePort(io, kPort), 0);
}

TEST(PortTimeOuts, GetRefusesBadArguments) {
    FakeDeviceBackend io;
    COMMTIMEOUTS t{};
    EXPECT_EQ(GetPortTimeOuts(io, kPort, nullptr), 0);
    EXPECT_EQ(GetPortTimeOuts(io, nullptr, &t), 0);
    EXPECT_EQ(GetPortTimeOuts(io, INVALID_HANDLE_VALUE, &t), 0);
    EXPECT_EQ(GetPortTimeOuts(io, kPort, &t), 1);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
}

TEST(PortTimeOuts, PartialSettersKeepTheOtherHalf) {
    FakeDeviceBackend io;
    EXPECT_EQ(SetPortTimeOuts(io, kPort, true, false, COMMTIMEOUTS{10, 20, 30, 40, 50}), 1);
    EXPECT_EQ(io.timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(io.timeouts.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(io.timeouts.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(io.timeouts.WriteTotalTimeoutConstant, 5u);

    EXPECT_EQ(SetPortTimeOuts(io, kPort, false, true, COMMTIMEOUTS{0, 0, 0, 60, 70}), 1);
    EXPECT_EQ(io.timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(io.timeouts.WriteTotalTimeoutMultiplier, 60u);
    EXPECT_EQ(io.timeouts.WriteTotalTimeoutConstant, 70u);

    io.timeoutsError = ERROR_INVALID_HANDLE;
    EXPECT_EQ(SetPortTimeOuts(io, kPort, true, true, COMMTIMEOUTS{}), 0);
    EXPECT_EQ(io.setTimeoutsCalls, 2) << "nothing is written when the read fails";
}

TEST(PortProperties, NullDcbFails) {
    FakeDeviceBackend io;
    DCB dcb{};
    EXPECT_EQ(GetPortProperties(io, kPort, nullptr), 0);
    io.state.BaudRate = 19200;
    EXPECT_EQ(GetPortProperties(io, kPort, &dcb), 1);
    EXPECT_EQ(dcb.BaudRate, 19200u);
    dcb.BaudRate = 9600;
    EXPECT_EQ(SetPortProperties(io, kPort, dcb), 1);
    EXPECT_EQ(io.state.BaudRate, 9600u);
}

class OpenPortTest : public ::testing::Test {
  protected:
    void SetUp() override { setenv("THERMPOS_OPEN_WAIT_MS", "7", 1); }
    void TearDown() override { unsetenv("THERMPOS_OPEN_WAIT_MS"); }
    FakeDeviceBackend io;
    HANDLE handle = nullptr;
};

TEST_F(OpenPortTest, UnknownPrefixFailsAtOnceWithoutWaiting) {
    for (const char* name : {"PRN", "", "CO", "FILE:", "nul"}) {
        handle = nullptr;
        EXPECT_EQ(OpenPort(io, name, &handle, nullptr), 0) << name;
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << name;
    }
    EXPECT_TRUE(io.opened.empty());
    EXPECT_TRUE(io.pauses.empty());
}

TEST_F(OpenPortTest, SerialAndParallelOpenUnchangedNamesAndKeepTheirSettings) {
    io.devices["com1"] = kPort;
    io.devices["LPT1:"] = kPort;
    EXPECT_EQ(OpenPort(io, "com1", &handle, nullptr), 1);
    EXPECT_EQ(handle, kPort);
    EXPECT_EQ(OpenPort(io, "LPT1:", &handle, nullptr), 1);
    EXPECT_EQ(io.opened, (std::vector<std::string>{"com1", "LPT1:"}));
    EXPECT_EQ(io.pauses, (std::vector<DWORD>{7, 7}));
    EXPECT_EQ(io.setStateCalls, 0);
    EXPECT_EQ(io.setTimeoutsCalls, 0);
    EXPECT_TRUE(io.purges.empty());
}

TEST_F(OpenPortTest, FailedOpenStillWaits) {
    EXPECT_EQ(OpenPort(io, "COM2", &handle, nullptr), 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(io.pauses, (std::vector<DWORD>{7}));
}

TEST_F(OpenPortTest, InfraredInAnyCaseOpensCom4With9600_8N1AndImmediateReads) {
    for (const char* name : {"IRDA", "irda", "IrDA:"}) {
        FakeDeviceBackend ir;
        ir.devices["COM4"] = kPort;
        ir.devices["COM4:"] = kPort;
        std::memset(&ir.state, 0xFF, sizeof ir.state);  // every bit set before
        EXPECT_EQ(OpenPort(ir, name, &handle, nullptr), 1) << name;
        ASSERT_EQ(ir.opened.size(), 1u);
        EXPECT_EQ(ir.opened[0].substr(0, 4), "COM4");
        EXPECT_EQ(ir.setups, (std::vector<std::pair<DWORD, DWORD>>{{2048, 2048}}));
        EXPECT_EQ(ir.purges, (std::vector<DWORD>{0x0F}));
        EXPECT_EQ(ir.state.BaudRate, 9600u);
        EXPECT_EQ(ir.state.ByteSize, 8);
        EXPECT_EQ(ir.state.Parity, NOPARITY);
        EXPECT_EQ(ir.state.StopBits, ONESTOPBIT);
        // Of the fifteen flag bits only fBinary and fParity stay; fDummy2 is untouched.
        DWORD flags = 0;
        std::memcpy(&flags, reinterpret_cast<const char*>(&ir.state) + 8, sizeof flags);
        EXPECT_EQ(flags, 0xFFFF8003u) << name;
        EXPECT_EQ(ir.timeouts.ReadIntervalTimeout, MAXDWORD);
        EXPECT_EQ(ir.timeouts.ReadTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(ir.timeouts.ReadTotalTimeoutConstant, 0u);
        EXPECT_EQ(ir.timeouts.WriteTotalTimeoutMultiplier, 0u);
        EXPECT_EQ(ir.timeouts.WriteTotalTimeoutConstant, 0u);
    }
}

TEST_F(OpenPortTest, NameLengthIsBoundedByTheBuffer) {
    std::string longest = "COM" + std::string(252, '9');  // 255 characters
    io.devices[longest] = kPort;
    EXPECT_EQ(OpenPort(io, longest.c_str(), &handle, nullptr), 1);

    std::string tooLong = longest + "9";  // 256: would not fit with its terminating zero
    io.devices[tooLong] = kPort;
    EXPECT_EQ(OpenPort(io, tooLong.c_str(), &handle, nullptr), 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(io.opened.size(), 1u);
    EXPECT_EQ(io.pauses.size(), 1u);

    EXPECT_EQ(OpenPort(io, nullptr, &handle, nullptr), 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(io, "COM1", nullptr, nullptr), 0);
}

TEST(OpenWait, EnvironmentOnlyShortensIt) {
    unsetenv("THERMPOS_OPEN_WAIT_MS");
    EXPECT_EQ(OpenWaitMs(), 1000u);
    setenv("THERMPOS_OPEN_WAIT_MS", "25", 1);
    EXPECT_EQ(OpenWaitMs(), 25u);
    setenv("THERMPOS_OPEN_WAIT_MS", "0", 1);
    EXPECT_EQ(OpenWaitMs(), 0u);
    setenv("THERMPOS_OPEN_WAIT_MS", "5000", 1);
    EXPECT_EQ(OpenWaitMs(), 1000u);
    for (const char* bad : {"abc", "-5", "12ms", ""}) {
        setenv("THERMPOS_OPEN_WAIT_MS", bad, 1);
        EXPECT_EQ(OpenWaitMs(), 1000u) << bad;
    }
    unsetenv("THERMPOS_OPEN_WAIT_MS");
}

TEST(CopyPortNames, KeepsSerialParallelAndUsbInOrder) {
    char** list = nullptr;
    int count = -1;
    ASSERT_EQ(
        CopyPortNames({"COM1:", "FILE:", "LPT1:", "USB001", "nul:", "com10:", "US"}, &list, &count),
        1);
    ASSERT_EQ(count, 4);
    EXPECT_STREQ(list[0], "COM1:");
    EXPECT_STREQ(list[1], "LPT1:");
    EXPECT_STREQ(list[2], "USB001");
    EXPECT_STREQ(list[3], "com10:");  // copied whole, case kept
    for (int i = 0; i < count; ++i)
        std::free(list[i]);
    std::free(list);
}

TEST(CopyPortNames, NoPortsIsSuccessWithAnEmptyList) {
    char** list = nullptr;
    int count = -1;
    ASSERT_EQ(CopyPortNames({"FILE:", "XPS"}, &list, &count), 1);
    EXPECT_EQ(count, 0);
    ASSERT_NE(list, nullptr);
    std::free(list);

    char** untouched = reinterpret_cast<char**>(0x10);
    EXPECT_EQ(CopyPortNames({"COM1:"}, nullptr, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(CopyPortNames({"COM1:"}, &untouched, nullptr), 0);
    EXPECT_EQ(untouched, reinterpret_cast<char**>(0x10));
}

}  // namespace
}  // namespace thermpos::testing
