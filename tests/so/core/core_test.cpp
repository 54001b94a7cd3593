// The device core in-process: configuration parsing, the port table on the recording fake
// port of tests/support (error mapping, name matching, sharing), and the real table on a
// pty.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "so/core/DeviceConfig.h"
#include "so/core/PortLibrary.h"
#include "so/core/PortTable.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"
#include "tests/support/fake_port.h"

namespace {

using thermpos::testing::FakePort;

class PortTableTest : public ::testing::Test {
  protected:
    // The table is declared after the fake so it closes its ports before the fake goes.
    PortTableTest() { fake_.Reset(); }
    FakePort& fake_ = FakePort::Get();
    CPortManager table_{FakePort::Get()};
};

TEST_F(PortTableTest, PortsAreMatchedByWholeNameIgnoringCaseAndOneColon) {
    PortBinding drawer, printer, other;
    ASSERT_EQ(table_.AcquirePort("COM1", PortKindSharable, &drawer, ""), OPOS_SUCCESS);
    ASSERT_EQ(table_.AcquirePort("com1:", PortKindExclusive, &printer, ""), OPOS_SUCCESS);
    EXPECT_EQ(drawer.handle, printer.handle);
    EXPECT_NE(drawer.id, printer.id);
    // With prefix matching this printer would write to the one on COM1.
    ASSERT_EQ(table_.AcquirePort("COM10", PortKindExclusive, &other, ""), OPOS_SUCCESS);
    EXPECT_NE(other.handle, printer.handle);
    EXPECT_EQ(table_.OpenPortCount(), 2u);
    EXPECT_EQ(fake_.Opens().size(), 2u);

    EXPECT_TRUE(CPortManager::SamePortName("LPT1", "lpt1:"));
    EXPECT_FALSE(CPortManager::SamePortName("COM1", "COM1::"));
    EXPECT_FALSE(CPortManager::SamePortName("COM1", "COM"));
}

TEST_F(PortTableTest, TwoExclusiveDevicesNeverShareWhicheverCameFirst) {
    PortBinding first, second, drawer;
    ASSERT_EQ(table_.AcquirePort("COM2", PortKindSharable, &drawer, ""), OPOS_SUCCESS);
    ASSERT_EQ(table_.AcquirePort("COM2", PortKindExclusive, &first, ""), OPOS_SUCCESS);
    EXPECT_EQ(table_.AcquirePort("COM2:", PortKindExclusive, &second, ""), OPOS_E_CLAIMED);
    EXPECT_EQ(second.handle, INVALID_HANDLE_VALUE);
    // Once the first printer lets go, another may take the port.
    ASSERT_EQ(table_.ReleasePort(&first), OPOS_SUCCESS);
    EXPECT_EQ(table_.AcquirePort("COM2", PortKindExclusive, &second, ""), OPOS_SUCCESS);
}

TEST_F(PortTableTest, PortClosesWithItsLastBindingOnly) {
    PortBinding drawer, printer;
    ASSERT_EQ(table_.AcquirePort("COM3", PortKindSharable, &drawer, ""), OPOS_SUCCESS);
    ASSERT_EQ(table_.AcquirePort("COM3", PortKindExclusive, &printer, ""), OPOS_SUCCESS);
    HANDLE handle = printer.handle;
    ASSERT_EQ(table_.ReleasePort(&drawer), OPOS_SUCCESS);
    EXPECT_EQ(drawer.handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(fake_.Closed().empty());
    EXPECT_EQ(table_.WritePort(printer, "x", 1), OPOS_SUCCESS);

    PortBinding stale = printer;
    ASSERT_EQ(table_.ReleasePort(&printer), OPOS_SUCCESS);
    ASSERT_EQ(fake_.Closed().size(), 1u);
    EXPECT_EQ(fake_.Closed()[0], handle);
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_EQ(table_.ReleasePort(&stale), OPOS_E_ILLEGAL);
    EXPECT_EQ(table_.WritePort(stale, "x", 1), OPOS_E_ILLEGAL);
}

TEST_F(PortTableTest, BadArgumentsAndFailedOpensAre111) {
    PortBinding binding;
    EXPECT_EQ(table_.AcquirePort("", PortKindSharable, &binding, ""), OPOS_E_FAILURE);
    EXPECT_EQ(table_.AcquirePort("COM4", 0, &binding, ""), OPOS_E_FAILURE);
    fake_.SetOpenFails(true);
    EXPECT_EQ(table_.AcquirePort("COM4", PortKindExclusive, &binding, ""), OPOS_E_FAILURE);
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    fake_.SetOpenFails(false);

    PortBinding bad;
    EXPECT_EQ(table_.ReleasePort(&bad), OPOS_E_FAILURE);
    EXPECT_EQ(table_.WritePort(bad, "x", 1), OPOS_E_FAILURE);
    ASSERT_EQ(table_.AcquirePort("COM4", PortKindExclusive, &binding, ""), OPOS_SUCCESS);
    EXPECT_EQ(table_.WritePort(binding, nullptr, 1), OPOS_E_FAILURE);
    char buffer[4];
    LONG length = 0;
    EXPECT_EQ(table_.ReadPort(binding, buffer, &length), OPOS_E_FAILURE);
    EXPECT_EQ(table_.ReadPort(binding, nullptr, &length), OPOS_E_FAILURE);
    PortBinding elsewhere = binding;
    elsewhere.portName = "COM5";
    EXPECT_EQ(table_.WritePort(elsewhere, "x", 1), OPOS_E_ILLEGAL);
}

TEST_F(PortTableTest, SystemErrorsBecomeOposResults) {
    PortBinding binding;
    ASSERT_EQ(table_.AcquirePort("COM6", PortKindExclusive, &binding, ""), OPOS_SUCCESS);
    const std::pair<int, LONG> cases[] = {
        {0, OPOS_SUCCESS},      {21, OPOS_E_OFFLINE},      {170, OPOS_E_TIMEOUT},
        {1460, OPOS_E_TIMEOUT}, {1167, OPOS_E_NOHARDWARE}, {28, OPOS_E_FAILURE},
        {6, OPOS_E_FAILURE},    {31, OPOS_E_FAILURE},
    };
    for (auto [error, expected] : cases) {
        fake_.SetWriteError(error);
        EXPECT_EQ(table_.WritePort(binding, "abc", 3), expected) << "system error " << error;
    }
    char buffer[8];
    LONG length = sizeof(buffer);
    fake_.SetReadError(ERROR_MORE_DATA);
    EXPECT_EQ(table_.ReadPort(binding, buffer, &length), OPOS_SUCCESS);
    EXPECT_EQ(length, 8);
    fake_.SetReadError(ERROR_NOT_READY);
    EXPECT_EQ(table_.ReadPort(binding, buffer, &length), OPOS_E_FAILURE);
}

TEST_F(PortTableTest, RefusedTimeoutsFailExceptOnUsbPorts) {
    PortBinding serial, usb;
    ASSERT_EQ(table_.AcquirePort("COM8", PortKindExclusive, &serial, ""), OPOS_SUCCESS);
    ASSERT_EQ(table_.AcquirePort("USB001", PortKindExclusive, &usb, ""), OPOS_SUCCESS);
    fake_.RefuseTimeouts(true);
    EXPECT_EQ(table_.SetPortTimeouts(serial, MAXDWORD, 0, 0, MAXDWORD, 1000), OPOS_E_FAILURE);
    EXPECT_EQ(table_.SetPortTimeouts(usb, MAXDWORD, 0, 0, MAXDWORD, 1000), OPOS_SUCCESS);
}

// ---------------------------------------------------------------------------------------
// Devices on the fake table

class DeviceOnFakeTable : public PortTableTest {
  protected:
    void Open(CServiceDevice& device, const std::string& deviceClass, const std::string& name,
              std::map<std::string, std::string> values) {
        sotest::WriteDevice(deviceClass, name, values);
        ASSERT_EQ(device.OpenService(deviceClass, name, nullptr), OPOS_SUCCESS);
    }
};

TEST_F(DeviceOnFakeTable, RefusedTimeoutsFailTheEnableAndLetThePortGo) {
    CTestPrinter printer;
    printer.SetPortManager(&table_);
    Open(printer, "POSPrinter", kTestPrinterName, {{"Port", "LPT1"}});
    ASSERT_EQ(printer.ClaimDevice(0), OPOS_SUCCESS);
    fake_.RefuseTimeouts(true);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(printer.ResultCode(), OPOS_E_TIMEOUT);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_DeviceEnabled), 0);
    // Keeping the binding would block this device's own next enable with 102.
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    fake_.RefuseTimeouts(false);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(printer.ResultCode(), OPOS_SUCCESS);
}

TEST_F(DeviceOnFakeTable, EnableWithoutPortFailsAnd111LeavesItDisabled) {
    CTestDrawer drawer;
    drawer.SetPortManager(&table_);
    Open(drawer, "CashDrawer", kTestDrawerName, {});
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(drawer.ResultCode(), OPOS_E_FAILURE);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_DeviceEnabled), 0);
}

TEST_F(DeviceOnFakeTable, CloseTwiceIs106AndReleasesWhatItHeld) {
    CTestPrinter printer;
    printer.SetPortManager(&table_);
    Open(printer, "POSPrinter", kTestPrinterName, {{"Port", "COM9"}});
    ASSERT_EQ(printer.ClaimDevice(0), OPOS_SUCCESS);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(printer.Close(), OPOS_SUCCESS);
    EXPECT_EQ(table_.OpenPortCount(), 0u);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_State), OPOS_S_CLOSED);
    EXPECT_EQ(printer.Close(), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.CheckState(1), OPOS_E_CLOSED);
    EXPECT_EQ(printer.ClaimDevice(0), OPOS_E_CLOSED);
}

// ---------------------------------------------------------------------------------------
// Configuration

class ConfigurationTest : public ::testing::Test {
  protected:
    CTestPrinter& Open(std::map<std::string, std::string> values) {
        sotest::WriteDevice("POSPrinter", kTestPrinterName, values);
        EXPECT_EQ(printer_.OpenService("POSPrinter", kTestPrinterName, nullptr), OPOS_SUCCESS);
        return printer_;
    }
    CTestPrinter printer_;
};

TEST_F(ConfigurationTest, MissingValuesTakeTheirDefaults) {
    CTestPrinter& p = Open({});
    EXPECT_EQ(p.GetPropertyString(PIDX_ServiceObjectDescription), "[Error]");
    EXPECT_EQ(p.GetPropertyString(PIDX_DeviceDescription), "[Error]");
    EXPECT_EQ(p.GetPropertyNumber(PIDX_ServiceObjectVersion), 1008000);
    EXPECT_EQ(p.GetPropertyString(kTestPropPort), "");
    EXPECT_EQ(p.GetPropertyString(kTestPropPhysicalDeviceID), "");
    EXPECT_EQ(p.GetPropertyNumber(kTestPropWriteTotalConstant), 2000);
    EXPECT_EQ(p.GetPropertyNumber(kTestPropStatusBackInterval), 5);
    EXPECT_EQ(p.GetPropertyNumber(kTestPropBaudRate), 19200);
    EXPECT_EQ(p.GetPropertyNumber(kTestPropParity), 0);
    EXPECT_EQ(p.GetPropertyNumber(kTestPropHandShake), 0);
    EXPECT_EQ(p.GetPropertyNumber(kTestPropBitLength), 8);
    EXPECT_EQ(p.GetPropertyNumber(PIDX_CapPowerReporting), OPOS_PR_STANDARD);
    EXPECT_EQ(p.GetPropertyNumber(PIDX_PowerState), OPOS_PS_UNKNOWN);
}

TEST_F(ConfigurationTest, SerialValuesAreReadForComPortsOnly) {
    CTestPrinter& lpt = Open({{"Port", "LPT1:"}, {"BaudRate", "9600"}, {"BitLength", "7"}});
    EXPECT_EQ(lpt.GetPropertyNumber(kTestPropBaudRate), 19200);
    EXPECT_EQ(lpt.GetPropertyNumber(kTestPropBitLength), 8);
    lpt.Close();

    CTestPrinter& com = Open({{"Port", "com3"},
                              {"BaudRate", "9600"},
                              {"Parity", "002"},
                              {"HandShake", "001"},
                              {"BitLength", "7"},
                              {"ServiceObjectDescription", "SO text"},
                              {"PhysicalDeviceID", "QMXRT-K410"},
                              {"Version", "1008123 build"},
                              {"StatusBackInterval", "50"}});
    EXPECT_EQ(com.GetPropertyNumber(kTestPropBaudRate), 9600);
    EXPECT_EQ(com.GetPropertyNumber(kTestPropParity), 2);
    EXPECT_EQ(com.GetPropertyNumber(kTestPropHandShake), 1);
    EXPECT_EQ(com.GetPropertyNumber(kTestPropBitLength), 7);
    EXPECT_EQ(com.GetPropertyString(PIDX_ServiceObjectDescription), "SO text");
    EXPECT_EQ(com.GetPropertyString(kTestPropPhysicalDeviceID), "QMXRT-K410");
    EXPECT_EQ(com.GetPropertyNumber(PIDX_ServiceObjectVersion), 1008123);
    EXPECT_EQ(com.GetPropertyNumber(kTestPropStatusBackInterval), 50);
}

TEST_F(ConfigurationTest, WriteTimeoutIsRaisedToOneSecond) {
    const std::pair<const char*, LONG> cases[] = {
        {"500", 1000}, {"999", 1000}, {"1000", 1000}, {"3000", 3000}, {"none", 1000}};
    for (auto [text, expected] : cases) {
        CTestPrinter& p = Open({{"WriteTimeout", text}});
        EXPECT_EQ(p.GetPropertyNumber(kTestPropWriteTotalConstant), expected) << text;
        p.Close();
    }
}

TEST(DecimalText, LeadingDigitsOnlyAndNoOverflow) {
    EXPECT_EQ(ParseDecimalText("9600"), 9600);
    EXPECT_EQ(ParseDecimalText("012"), 12);
    EXPECT_EQ(ParseDecimalText("12ab3"), 12);
    EXPECT_EQ(ParseDecimalText("abc"), 0);
    EXPECT_EQ(ParseDecimalText(" 12"), 0);
    EXPECT_EQ(ParseDecimalText("-5"), 0);
    EXPECT_EQ(ParseDecimalText(""), 0);
    EXPECT_EQ(ParseDecimalText("99999999999999999999"), 2147483647);
}

// ---------------------------------------------------------------------------------------
// The process-wide table on a real pseudo-terminal

TEST(SharedPty, PrinterAndDrawerShareOneHandleUntilBothLetGo) {
    sotest::Pty pty;
    pty.MapAs("COM11");
    sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Port", "COM11"}});
    sotest::WriteDevice("CashDrawer", kTestDrawerName, {{"Port", "COM11:"}});
    CTestPrinter printer;
    CTestDrawer drawer;
    ASSERT_EQ(printer.OpenService("POSPrinter", kTestPrinterName, nullptr), OPOS_SUCCESS);
    ASSERT_EQ(drawer.OpenService("CashDrawer", kTestDrawerName, nullptr), OPOS_SUCCESS);
    ASSERT_EQ(printer.ClaimDevice(0), OPOS_SUCCESS);
    ASSERT_EQ(printer.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_EQ(drawer.SetDeviceEnabled(1), OPOS_SUCCESS);
    EXPECT_EQ(printer.Binding().handle, drawer.Binding().handle);
    EXPECT_EQ(CPortManager::Instance().OpenPortCount(), 1u);

    LONG data = 0;
    std::string text = "P";
    EXPECT_EQ(printer.DirectIO(kTestWrite, &data, &text), OPOS_SUCCESS);
    text = "D";
    EXPECT_EQ(drawer.DirectIO(kTestWrite, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(pty.Read(2), "PD");

    ASSERT_EQ(printer.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(CPortManager::Instance().OpenPortCount(), 1u);
    text = "d";
    EXPECT_EQ(drawer.DirectIO(kTestWrite, &data, &text), OPOS_SUCCESS);
    EXPECT_EQ(pty.Read(1), "d");
    ASSERT_EQ(drawer.SetDeviceEnabled(0), OPOS_SUCCESS);
    EXPECT_EQ(CPortManager::Instance().OpenPortCount(), 0u);
}

TEST(SharedPty, WriteToAPortWhoseFarEndIsGoneFails) {
    sotest::Pty pty;
    pty.MapAs("COM12");
    sotest::WriteDevice("CashDrawer", kTestDrawerName, {{"Port", "COM12"}});
    CTestDrawer drawer;
    ASSERT_EQ(drawer.OpenService("CashDrawer", kTestDrawerName, nullptr), OPOS_SUCCESS);
    ASSERT_EQ(drawer.SetDeviceEnabled(1), OPOS_SUCCESS);
    pty.Hangup();
    LONG data = 0;
    std::string text(64, 'x');
    LONG rc = drawer.DirectIO(kTestWrite, &data, &text);
    EXPECT_NE(rc, OPOS_SUCCESS);
    EXPECT_TRUE(rc == OPOS_E_OFFLINE || rc == OPOS_E_FAILURE || rc == OPOS_E_NOHARDWARE) << rc;
}

// The one place that reads LinkPort's results: each export's convention, 1-or-0 or a system
// error number, must come out as one SystemError. A result read in the other convention
// turns every success of a 1-or-0 export into error 1 (invalid function), which the
// monitor takes for a printer that went off.
TEST(LinkPortLibrary, EveryCallAnswersInOneConvention) {
    using thermpos::so::PortWait;
    using thermpos::so::SystemError;
    PortLibrary& library = thermpos::so::LinkPortLibrary();
    sotest::Pty pty;
    pty.MapAs("COM13");
    HANDLE handle = INVALID_HANDLE_VALUE;
    ASSERT_EQ(library.Open("COM13", "", &handle), SystemError::Success);
    COMMTIMEOUTS timeouts{};
    EXPECT_EQ(library.GetTimeouts(handle, &timeouts), SystemError::Success);
    EXPECT_EQ(library.SetTimeouts(handle, COMMTIMEOUTS{MAXDWORD, 0, 0, MAXDWORD, 1000}),
              SystemError::Success);
    DCB dcb{};
    EXPECT_EQ(library.GetProperties(handle, &dcb), SystemError::Success);
    EXPECT_EQ(library.SetProperties(handle, dcb), SystemError::Success);
    int count = 0;
    EXPECT_EQ(library.Write(handle, "ab", 2, &count), SystemError::Success);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(library.Drain(handle), SystemError::Success);
    EXPECT_EQ(pty.Read(2), "ab");
    EXPECT_TRUE(library.CanWait());
    EXPECT_EQ(library.WaitInput(handle, -1, 0), PortWait::TimedOut);
    ASSERT_TRUE(pty.Send("z"));
    EXPECT_EQ(library.WaitInput(handle, -1, 5000), PortWait::Input);
    char byte = 0;
    EXPECT_EQ(library.Read(handle, &byte, 1, &count), SystemError::Success);
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(library.Close(handle), SystemError::Success);

    // And their failures.
    EXPECT_EQ(library.Open("NOPORT", "", &handle), SystemError::GenFailure);
    EXPECT_EQ(library.Write(INVALID_HANDLE_VALUE, "a", 1, &count), SystemError::InvalidHandle);
    EXPECT_EQ(library.Read(INVALID_HANDLE_VALUE, &byte, 1, &count), SystemError::InvalidHandle);
    EXPECT_EQ(library.Drain(INVALID_HANDLE_VALUE), SystemError::InvalidHandle);
    EXPECT_EQ(library.GetTimeouts(INVALID_HANDLE_VALUE, &timeouts), SystemError::GenFailure);
    EXPECT_EQ(library.SetProperties(INVALID_HANDLE_VALUE, dcb), SystemError::GenFailure);
    EXPECT_EQ(library.Close(INVALID_HANDLE_VALUE), SystemError::GenFailure);
    EXPECT_EQ(library.WaitInput(INVALID_HANDLE_VALUE, -1, 0), PortWait::CannotWait);
}

}  // namespace
