// The automation surface and the device life cycle, driven the way a control object
// drives them: objects activated by ProgID from the registry, methods called by name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/activation.h"
#include "platform/dispatch.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "tests/so/ControlCalls.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"

using sotest::DirectIO;
using thermpos::opos::COposControl;
using thermpos::platform::com::ComPtr;
using thermpos::platform::com::DispatchDriver;
using thermpos::platform::com::OutgoingArgs;
using thermpos::platform::com::Variant;

namespace {

// A raw service object, called the way the control object calls it.
class RawSO {
  public:
    explicit RawSO(const char* progId) {
        EXPECT_EQ(thermpos::platform::com::CreateObjectByProgID(progId, so_.Out()), S_OK);
    }
    LONG Long(const char* method, OutgoingArgs& args) {
        Variant result;
        LONG value = -999;
        last_ = DispatchDriver(so_.Get()).Call(method, args, result.Get());
        result.ToLong(&value);
        return value;
    }
    LONG Long(const char* method) {
        OutgoingArgs none;
        return Long(method, none);
    }
    LONG Open(const char* deviceClass, const char* name) {
        OutgoingArgs args;
        args.String(deviceClass).String(name).Dispatch(nullptr);
        return Long("OpenService", args);
    }
    std::string String(LONG index) {
        OutgoingArgs args;
        args.Long(index);
        Variant result;
        std::string text;
        last_ = DispatchDriver(so_.Get()).Call("GetPropertyString", args, result.Get());
        result.ToAnsi(&text);
        return text;
    }
    LONG Number(LONG index) {
        OutgoingArgs args;
        args.Long(index);
        return Long("GetPropertyNumber", args);
    }
    void SetNumber(LONG index, LONG value) {
        OutgoingArgs args;
        args.Long(index).Long(value);
        DispatchDriver(so_.Get()).Call("SetPropertyNumber", args);
    }
    IDispatch* Get() { return so_.Get(); }
    void Drop() { so_.Reset(); }
    HRESULT last_ = S_OK;

  private:
    ComPtr<IDispatch> so_;
};

LONG Claim(COposControl& c) {
    OutgoingArgs args;
    args.Long(0);
    return c.CallLong("ClaimDevice", args);
}

class SurfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sotest::RegisterServer(sotest::TestServerPath()), S_OK);
        pty_.MapAs("COM7");
        sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Port", "COM7"}});
        sotest::WriteDevice("CashDrawer", kTestDrawerName, {{"Port", "COM7:"}});
    }
    sotest::Pty pty_;
};

// ---------------------------------------------------------------------------------------
// The shipped server, without any device class of the tests.

TEST(ShippedServer, RegistersActivatesAndAnswersClosedForNamesItCannotCreate) {
    ASSERT_EQ(sotest::RegisterServer(sotest::ServerPath()), S_OK);
    std::string path;
    CLSID clsid{};
    ASSERT_EQ(thermpos::platform::com::ClsidFromProgId("QMX.Thermal.CashDrawer", &clsid), S_OK);
    ASSERT_EQ(thermpos::platform::com::InprocServerPath(clsid, &path), S_OK);
    EXPECT_EQ(path, sotest::ServerPath());

    RawSO drawer("QMX.Thermal.CashDrawer");
    sotest::WriteDevice("CashDrawer", "NoSuch.Drawer", {});
    EXPECT_EQ(drawer.Open("CashDrawer", "NoSuch.Drawer"), OPOS_E_CLOSED);
    EXPECT_EQ(drawer.String(PIDX_DeviceName), "[Error]");
    EXPECT_EQ(drawer.Long("GetOpenResult"), OPOS_E_CLOSED);
    EXPECT_EQ(drawer.Long("OpenDrawer"), OPOS_E_CLOSED);
    EXPECT_EQ(drawer.Long("CloseService"), OPOS_E_CLOSED);

    // The server may unload only once its last object is gone.
    void* library = thermpos::platform::module::FindLoaded(sotest::ServerPath());
    ASSERT_NE(library, nullptr);
    auto canUnload = thermpos::platform::module::Export<thermpos::platform::com::ServerEntryFn>(
        library, "DllCanUnloadNow");
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE);
    drawer.Drop();
    EXPECT_EQ(canUnload(), S_OK);
}

// An object whose open failed for one model must create the model of the next open.
TEST(ShippedServer, AFailedOpenLeavesNoDeviceForTheNextOpen) {
    ASSERT_EQ(sotest::RegisterServer(sotest::ServerPath()), S_OK);
    const std::string rtk410 = "RTK410.TALVERN.POSPrinter";
    const std::string qmx5500 = "QMX5500TYPEII.TALVERN.POSPrinter";
    sotest::DeleteTree(sotest::DeviceKey("POSPrinter", rtk410));
    sotest::WriteDevice("POSPrinter", qmx5500, {{"Port", "COM7"}});

    RawSO printer("QMX.Thermal.POSPrinter");
    EXPECT_EQ(printer.Open("POSPrinter", rtk410.c_str()), OPOS_OR_REGBADNAME);
    EXPECT_EQ(printer.Long("GetOpenResult"), OPOS_OR_REGBADNAME);
    ASSERT_EQ(printer.Open("POSPrinter", qmx5500.c_str()), OPOS_SUCCESS);
    EXPECT_EQ(printer.Long("GetOpenResult"), OPOS_SUCCESS);
    // The QMX5500 has no font C; the RT-K410 has.
    EXPECT_EQ(printer.String(PIDXPtr_FontTypefaceList), "1 Font A,2 Font B");
    EXPECT_EQ(printer.Long("CloseService"), OPOS_SUCCESS);
    EXPECT_EQ(printer.Long("GetOpenResult"), OPOS_E_CLOSED);
    sotest::DeleteTree(sotest::DeviceKey("POSPrinter", qmx5500));
}

// ---------------------------------------------------------------------------------------

TEST_F(SurfaceTest, ControlCoreActivatesByProgIdAndOpens) {
    COposControl printer("POSPrinter");
    EXPECT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_State), OPOS_S_IDLE);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ServiceObjectVersion), 1008000);
    EXPECT_EQ(printer.GetPropertyString(PIDX_DeviceName), kTestPrinterName);
    EXPECT_EQ(printer.Open(kTestPrinterName), OPOS_OR_ALREADYOPEN);
    EXPECT_EQ(printer.Close(), OPOS_SUCCESS);

    COposControl missing("POSPrinter");
    EXPECT_EQ(missing.Open("Not.Installed"), OPOS_OR_REGBADNAME);
    sotest::SetValue(sotest::DeviceKey("POSPrinter", "Bad.ProgId"), nullptr, "No.Such.ProgId");
    EXPECT_EQ(missing.Open("Bad.ProgId"), OPOS_OR_REGPROGID);
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(SurfaceTest, OpenServiceMatchesNamesWithoutRegardToCaseAndClassMustMatch) {
    RawSO printer("QMX.Thermal.POSPrinter");
    EXPECT_EQ(printer.Open("posprinter", "TEST.PRINTER"), OPOS_SUCCESS);
    // The device keeps the caller's spelling (the claim mutex is named by it).
    EXPECT_EQ(printer.String(PIDX_DeviceName), "TEST.PRINTER");

    RawSO wrongName("QMX.Thermal.POSPrinter");
    EXPECT_EQ(wrongName.Open("POSPrinter", kTestDrawerName), OPOS_E_CLOSED);
    EXPECT_EQ(wrongName.String(PIDX_DeviceName), "[Error]");
    RawSO wrongClass("QMX.Thermal.CashDrawer");
    EXPECT_EQ(wrongClass.Open("POSPrinter", kTestPrinterName), OPOS_E_CLOSED);
    EXPECT_EQ(wrongClass.Open("CashDrawer", kTestDrawerName), OPOS_SUCCESS);
}

TEST_F(SurfaceTest, ClosedObjectAnswersByTheForwardingRule) {
    RawSO printer("QMX.Thermal.POSPrinter");
    EXPECT_EQ(printer.String(PIDX_CheckHealthText), "[Error]");
    EXPECT_EQ(printer.Long("GetOpenResult"), OPOS_E_CLOSED);
    EXPECT_EQ(printer.Number(PIDX_State), OPOS_E_CLOSED);
    printer.SetNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(printer.last_, S_OK);
    OutgoingArgs args;
    args.Long(2).String("text");
    EXPECT_EQ(printer.Long("PrintNormal", args), OPOS_E_CLOSED);
}

TEST_F(SurfaceTest, CloseIsCloseServiceAndTheObjectOpensAgain) {
    RawSO printer("QMX.Thermal.POSPrinter");
    ASSERT_EQ(printer.Open("POSPrinter", kTestPrinterName), OPOS_SUCCESS);
    EXPECT_EQ(printer.Open("POSPrinter", kTestPrinterName), OPOS_OR_ALREADYOPEN);
    EXPECT_EQ(printer.Long("Close"), OPOS_SUCCESS);
    EXPECT_EQ(printer.Long("CloseService"), OPOS_E_CLOSED);
    ASSERT_EQ(printer.Open("POSPrinter", kTestPrinterName), OPOS_SUCCESS);
    OutgoingArgs zero;
    zero.Long(0);
    EXPECT_EQ(printer.Long("Claim", zero), OPOS_SUCCESS);
    EXPECT_EQ(printer.Long("Release"), OPOS_SUCCESS);
    EXPECT_EQ(printer.Long("CloseService"), OPOS_SUCCESS);
}

TEST_F(SurfaceTest, StatisticsTakeTheirBufferByReferenceAndAreRefused) {
    RawSO printer("QMX.Thermal.POSPrinter");
    ASSERT_EQ(printer.Open("POSPrinter", kTestPrinterName), OPOS_SUCCESS);

    OutgoingArgs byValue;
    byValue.String("U_");
    Variant result;
    EXPECT_EQ(DispatchDriver(printer.Get()).Call("ResetStatistics", byValue, result.Get()),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(printer.Number(PIDX_ResultCode), OPOS_SUCCESS);  // never reached the device

    for (const char* method : {"ResetStatistics", "RetrieveStatistics", "UpdateStatistics"}) {
        BSTR buffer = thermpos::platform::com::BString::FromAnsi("").Release();
        OutgoingArgs byRef;
        byRef.BstrRef(&buffer);
        EXPECT_EQ(printer.Long(method, byRef), OPOS_E_ILLEGAL) << method;
        EXPECT_EQ(SysStringLen(buffer), 0u) << method;
        SysFreeString(buffer);
    }
    EXPECT_EQ(printer.Number(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.Number(PIDX_CapStatisticsReporting), 0);
    EXPECT_EQ(printer.Number(PIDX_CapUpdateStatistics), 0);
}

TEST_F(SurfaceTest, FinalReleaseClosesTheDeviceAndFreesTheClaim) {
    RawSO first("QMX.Thermal.POSPrinter");
    ASSERT_EQ(first.Open("POSPrinter", kTestPrinterName), OPOS_SUCCESS);
    OutgoingArgs zero;
    zero.Long(0);
    ASSERT_EQ(first.Long("ClaimDevice", zero), OPOS_SUCCESS);
    first.Drop();  // no CloseService

    RawSO second("QMX.Thermal.POSPrinter");
    ASSERT_EQ(second.Open("POSPrinter", kTestPrinterName), OPOS_SUCCESS);
    OutgoingArgs again;
    again.Long(0);
    EXPECT_EQ(second.Long("ClaimDevice", again), OPOS_SUCCESS);
}

// ---------------------------------------------------------------------------------------
// Life cycle and result codes

TEST_F(SurfaceTest, ClaimExcludesOtherObjectsAndProcessesUntilReleased) {
    COposControl a("POSPrinter");
    COposControl b("POSPrinter");
    ASSERT_EQ(a.Open(kTestPrinterName), OPOS_SUCCESS);
    ASSERT_EQ(b.Open(kTestPrinterName), OPOS_SUCCESS);
    EXPECT_EQ(Claim(a), OPOS_SUCCESS);
    EXPECT_EQ(Claim(a), OPOS_E_ILLEGAL);
    EXPECT_EQ(Claim(b), OPOS_E_CLAIMED);
    {
        sotest::ClaimingProcess other("POSPrinter", kTestPrinterName);
        EXPECT_EQ(other.ClaimResult(), OPOS_E_CLAIMED);
    }
    EXPECT_EQ(a.CallLong("ReleaseDevice"), OPOS_SUCCESS);
    EXPECT_EQ(a.CallLong("ReleaseDevice"), OPOS_E_NOTCLAIMED);
    {
        sotest::ClaimingProcess other("POSPrinter", kTestPrinterName);
        EXPECT_EQ(other.ClaimResult(), OPOS_SUCCESS);
        EXPECT_EQ(Claim(b), OPOS_E_CLAIMED);
    }
    EXPECT_EQ(Claim(b), OPOS_SUCCESS);
    EXPECT_EQ(b.GetPropertyNumber(PIDX_Claimed), 1);
}

TEST_F(SurfaceTest, EnablingFollowsTheSharingKind) {
    COposControl printer("POSPrinter");
    COposControl drawer("CashDrawer");
    ASSERT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
    ASSERT_EQ(drawer.Open(kTestDrawerName), OPOS_SUCCESS);

    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_DeviceEnabled), 0);

    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);  // sharable: no claim needed
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_DeviceEnabled), 1);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);

    ASSERT_EQ(Claim(printer), OPOS_SUCCESS);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);  // shares the drawer's port
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS);

    // Releasing disables first.
    EXPECT_EQ(printer.CallLong("ReleaseDevice"), OPOS_SUCCESS);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_DeviceEnabled), 0);
}

TEST_F(SurfaceTest, PropertySettersRefuseIllegalValuesAndKeepTheOldOne) {
    COposControl printer("POSPrinter");
    ASSERT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
    ASSERT_EQ(Claim(printer), OPOS_SUCCESS);

    printer.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_DECIMAL);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS);
    printer.SetPropertyNumber(PIDX_BinaryConversion, 3);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_BinaryConversion), OPOS_BC_DECIMAL);

    printer.SetPropertyNumber(PIDX_PowerNotify, 1);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_PowerState), OPOS_PS_ONLINE);
    printer.SetPropertyNumber(PIDX_PowerNotify, 0);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_PowerNotify), 1);

    EXPECT_EQ(printer.GetPropertyNumber(15), 0);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.GetPropertyString(1000005), "Not Supported");
    printer.SetPropertyNumber(PIDX_CapStatisticsReporting, 1);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);
    printer.SetPropertyString(PIDX_DeviceName, "other");
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_E_ILLEGAL);

    OutgoingArgs level;
    level.Long(OPOS_CH_INTERNAL);
    EXPECT_EQ(printer.CallLong("CheckHealth", level), OPOS_E_ILLEGAL);
    OutgoingArgs badLevel;
    badLevel.Long(4);
    EXPECT_EQ(printer.CallLong("CheckHealth", badLevel), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.CallLong("ClearOutput"), OPOS_E_NOSERVICE);
}

TEST_F(SurfaceTest, StateChecksComeInOrderClosedNotClaimedDisabled) {
    COposControl printer("POSPrinter");
    ASSERT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
    OutgoingArgs level;
    level.Long(OPOS_CH_EXTERNAL);
    EXPECT_EQ(printer.CallLong("CheckHealth", level), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(printer.CallLong("ClearInput"), OPOS_E_NOTCLAIMED);
    ASSERT_EQ(Claim(printer), OPOS_SUCCESS);
    OutgoingArgs again;
    again.Long(OPOS_CH_EXTERNAL);
    EXPECT_EQ(printer.CallLong("CheckHealth", again), OPOS_E_DISABLED);
    EXPECT_EQ(printer.CallLong("ClearInput"), OPOS_E_DISABLED);
    OutgoingArgs cut;
    cut.Long(100);
    EXPECT_EQ(printer.CallLong("CutPaper", cut), OPOS_E_DISABLED);
}

TEST_F(SurfaceTest, BinaryConversionDecodesWhatIsWritten) {
    COposControl printer("POSPrinter");
    ASSERT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
    ASSERT_EQ(Claim(printer), OPOS_SUCCESS);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS);

    LONG written = 0;
    printer.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_DECIMAL);
    EXPECT_EQ(DirectIO(printer, kTestWrite, &written, "065066 67256"), OPOS_SUCCESS);
    EXPECT_EQ(pty_.Read(4), std::string("ABC\0", 4));  // space is 0, 256 wraps to 0
    EXPECT_EQ(DirectIO(printer, kTestWrite, &written, "0650"), OPOS_E_ILLEGAL);

    printer.SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NIBBLE);
    EXPECT_EQ(DirectIO(printer, kTestWrite, &written, "4?0:"), OPOS_SUCCESS);
    EXPECT_EQ(pty_.Read(2), "O\n");
    // A character outside '0'..'?' keeps to its own half of the byte.
    EXPECT_EQ(DirectIO(printer, kTestWrite, &written, "4/4_"), OPOS_SUCCESS);
    EXPECT_EQ(pty_.Read(2), "OO");
    EXPECT_EQ(DirectIO(printer, kTestWrite, &written, "414"), OPOS_E_ILLEGAL);
}

TEST_F(SurfaceTest, MissingKeyIs302AndAReadOnlyHiveStillOpens) {
    RawSO printer("QMX.Thermal.POSPrinter");
    sotest::DeleteTree(sotest::DeviceKey("POSPrinter", kTestPrinterName));
    EXPECT_EQ(printer.Open("POSPrinter", kTestPrinterName), OPOS_OR_REGBADNAME);
    // The failed open keeps no device, but still tells why it failed.
    EXPECT_EQ(printer.Long("GetOpenResult"), OPOS_OR_REGBADNAME);
    EXPECT_EQ(printer.Number(PIDX_State), OPOS_E_CLOSED);

    sotest::WriteDevice("POSPrinter", kTestPrinterName,
                        {{"Port", "COM7"}, {"DeviceDescription", "read only"}});
    std::string hive = sotest::TempDir() + "/registry.reg";
    ASSERT_EQ(chmod(hive.c_str(), 0444), 0);
    LONG rc = printer.Open("POSPrinter", kTestPrinterName);
    std::string description = printer.String(PIDX_DeviceDescription);
    chmod(hive.c_str(), 0644);
    EXPECT_EQ(rc, OPOS_SUCCESS);
    EXPECT_EQ(description, "read only");
}

TEST_F(SurfaceTest, PowerStatusReachesTheApplicationOnlyWithPowerNotify) {
    COposControl drawer("CashDrawer");
    ASSERT_EQ(drawer.Open(kTestDrawerName), OPOS_SUCCESS);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    LONG status = OPOS_SUE_POWER_OFFLINE;
    ASSERT_EQ(DirectIO(drawer, kTestFireStatus, &status), OPOS_SUCCESS);
    EXPECT_EQ(status, 1);  // accepted, though nothing is recorded
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_PowerState), OPOS_PS_UNKNOWN);

    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
    drawer.SetPropertyNumber(PIDX_PowerNotify, 1);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    status = OPOS_SUE_POWER_OFFLINE;
    ASSERT_EQ(DirectIO(drawer, kTestFireStatus, &status), OPOS_SUCCESS);
    EXPECT_EQ(drawer.GetPropertyNumber(PIDX_PowerState), OPOS_PS_OFFLINE);

    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
    status = OPOS_SUE_POWER_ONLINE;
    ASSERT_EQ(DirectIO(drawer, kTestFireStatus, &status), OPOS_SUCCESS);
    EXPECT_EQ(status, 0);  // disabled: nothing recorded or queued
}

}  // namespace
