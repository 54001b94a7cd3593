// The USB printer registry walk of PMOpenPort, over a temporary hive and a fake backend
// that records the device name it is asked to open.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "portlib/PortOps.h"
#include "tests/support/fake_device_backend.h"
#include "tests/support/port_env.h"

namespace thermpos::testing {
namespace {

using namespace thermpos::linkport;

HANDLE const kPrinter = reinterpret_cast<HANDLE>(std::uintptr_t{0x208});
const std::string kGuid = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

class UsbWalkTest : public PortEnvTest {
  protected:
    void SetUp() override {
        PortEnvTest::SetUp();
        openBefore_ = platform::registry::OpenHandleCount();
    }
    void TearDown() override {
        EXPECT_EQ(platform::registry::OpenHandleCount(), openBefore_)
            << "a registry key was left open";
        PortEnvTest::TearDown();
    }

    static std::string PrintInstance(const std::string& model, const std::string& instance,
                                     const std::string& port) {
        return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBPRINT\\" + model + "\\" +
               instance + "\\Device Parameters]\n\"PortName\"=\"" + port + "\"\n\n";
    }
    static std::string UsbDevice(const std::string& hardware, const std::string& instance,
                                 const std::string& prefix) {
        std::string key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\" + hardware +
                          "\\" + instance;
        return key + "]\n\"ParentIdPrefix\"=\"" + prefix + "\"\n\n" + key +
               "\\Device Parameters]\n\"SymbolicName\"=" +
               RegText("\\??\\USB#" + hardware + "#" + instance + kGuid) + "\n\n";
    }
    static std::string Opened(const std::string& hardware, const std::string& instance) {
        return "\\\\.\\USB#" + hardware + "#" + instance + kGuid;
    }

    // Two RT-K410 printers: USB002 on the first instance, USB001 on the second.
    void WriteTwoPrinters() {
        WriteHive(PrintInstance("QMXRT-K410", "7&aaaa&0&USB002", "USB002") +
                  PrintInstance("QMXRT-K410", "7&bbbb&0&USB001", "USB001") +
                  UsbDevice("Vid_5D17&Pid_0A41", "SERIALA", "7&aaaa&0") +
                  UsbDevice("Vid_5D17&Pid_0A41", "SERIALB", "7&bbbb&0"));
    }

    FakeDeviceBackend io;
    HANDLE handle = nullptr;
    std::size_t openBefore_ = 0;
};

TEST_F(UsbWalkTest, OpensTheInstanceWhoseParentCarriesTheMatchingPrefix) {
    WriteTwoPrinters();
    io.devices[Opened("Vid_5D17&Pid_0A41", "SERIALB")] = kPrinter;
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "QMXRT-K410"), 1);
    EXPECT_EQ(handle, kPrinter);
    ASSERT_EQ(io.opened.size(), 1u);
    EXPECT_EQ(io.opened[0], Opened("Vid_5D17&Pid_0A41", "SERIALB"));
    EXPECT_TRUE(io.pauses.empty()) << "USB opens do not wait";
    EXPECT_EQ(io.setStateCalls + io.setTimeoutsCalls, 0) << "USB ports keep their settings";
}

TEST_F(UsbWalkTest, PortNameComparesWithoutCaseButPrefixWithCase) {
    WriteTwoPrinters();
    io.devices[Opened("Vid_5D17&Pid_0A41", "SERIALA")] = kPrinter;
    EXPECT_EQ(OpenPort(io, "usb002", &handle, "qmxrt-k410"), 1);

    WriteHive(PrintInstance("QMXRT-K410", "7&abcd&0&USB001", "USB001") +
              UsbDevice("Vid_5D17&Pid_0A41", "SERIALC", "7&ABCD&0"));
    io.opened.clear();
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "QMXRT-K410"), 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(io.opened.empty());
}

TEST_F(UsbWalkTest, UnknownModelOrMissingTreeReturnsZero) {
    WriteTwoPrinters();
    io.devices[Opened("Vid_5D17&Pid_0A41", "SERIALB")] = kPrinter;
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "NOSUCHMODEL"), 0);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(io, "USB001", &handle, nullptr), 0);
    EXPECT_EQ(OpenPort(io, "USB003", &handle, "QMXRT-K410"), 0);
    EXPECT_TRUE(io.opened.empty());

    // A model with printing instances but a model key the walk has no hardware key for.
    WriteHive(PrintInstance("OTHERPRINTER", "7&bbbb&0&USB001", "USB001") +
              UsbDevice("Vid_5D17&Pid_0A41", "SERIALB", "7&bbbb&0"));
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "OTHERPRINTER"), 0);

    WriteHive("");
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "QMXRT-K410"), 0);
}

TEST_F(UsbWalkTest, ModelKeySelectsTheHardwareKey) {
    // The RT-K6100 lives under Pid_0B62; the same tree under Pid_0A41 is not its own.
    WriteHive(PrintInstance("TALVERNRT-K6100", "7&cccc&0&USB001", "USB001") +
              UsbDevice("Vid_5D17&Pid_0A41", "WRONG", "7&cccc&0") +
              UsbDevice("Vid_5D17&Pid_0B62", "RIGHT", "7&cccc&0"));
    io.devices[Opened("Vid_5D17&Pid_0A41", "WRONG")] = kPrinter;
    io.devices[Opened("Vid_5D17&Pid_0B62", "RIGHT")] = kPrinter;
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "TALVERNRT-K6100"), 1);
    ASSERT_EQ(io.opened.size(), 1u);
    EXPECT_EQ(io.opened[0], Opened("Vid_5D17&Pid_0B62", "RIGHT"));
}

TEST_F(UsbWalkTest, DeviceThatDoesNotOpenGivesWayToTheNextOne) {
    WriteHive(PrintInstance("QMXQMX5500", "7&dddd&0&USB001", "USB001") +
              UsbDevice("Vid_5D17&Pid_0A41", "GONE", "7&dddd&0") +
              UsbDevice("Vid_5D17&Pid_0A41", "HERE", "7&dddd&0"));
    io.devices[Opened("Vid_5D17&Pid_0A41", "HERE")] = kPrinter;
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "QMXQMX5500"), 1);
    EXPECT_EQ(io.opened.size(), 2u);
    EXPECT_EQ(handle, kPrinter);
}

TEST_F(UsbWalkTest, EmptyPrefixOrShortSymbolicNameIsSkipped) {
    std::string key =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_5D17&Pid_0A41";
    WriteHive(PrintInstance("QMXRT-K410", "7&eeee&0&USB001", "USB001") + key +
              "\\EMPTY]\n\"ParentIdPrefix\"=\"\"\n\n" + key +
              "\\EMPTY\\Device Parameters]\n\"SymbolicName\"=\"\\\\??\\\\X\"\n\n" + key +
              "\\SHORT]\n\"ParentIdPrefix\"=\"7&eeee\"\n\n" + key +
              "\\SHORT\\Device Parameters]\n\"SymbolicName\"=\"ab\"\n\n");
    EXPECT_EQ(OpenPort(io, "USB001", &handle, "QMXRT-K410"), 0);
    EXPECT_TRUE(io.opened.empty());
}

}  // namespace
}  // namespace thermpos::testing
