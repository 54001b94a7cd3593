// The control-object core's open sequence and its failure codes, against the test server.
#include <gtest/gtest.h>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/registry.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"

using thermpos::opos::COposControl;
using thermpos::platform::com::OutgoingArgs;

namespace {

class ControlObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sotest::RegisterServer(sotest::TestServerPath()), S_OK);
        sotest::WriteDevice("POSPrinter", kTestPrinterName, {});
    }
};

TEST_F(ControlObjectTest, EachOpenStepHasItsOwnResult) {
    COposControl control("POSPrinter");
    EXPECT_EQ(control.Open("Not.There"), OPOS_OR_REGBADNAME);

    sotest::SetValue(sotest::DeviceKey("POSPrinter", "Empty.ProgId"), nullptr, "");
    EXPECT_EQ(control.Open("Empty.ProgId"), OPOS_OR_REGPROGID);

    // A registered class whose library is gone cannot be created.
    const std::string clsid = "{0D7C1E55-4B1F-4C7B-9E55-2A1B3C4D5E6F}";
    sotest::SetValue("SOFTWARE\\Classes\\Gone.Server\\CLSID", nullptr, clsid);
    sotest::SetValue("SOFTWARE\\Classes\\CLSID\\" + clsid + "\\InprocServer32", nullptr,
                     sotest::TempDir() + "/missing.so");
    sotest::SetValue(sotest::DeviceKey("POSPrinter", "Gone.Server"), nullptr, "Gone.Server");
    EXPECT_EQ(control.Open("Gone.Server"), OPOS_OR_CREATE);
    EXPECT_FALSE(control.IsOpen());
    EXPECT_EQ(control.OpenResult(), OPOS_OR_CREATE);

    // The service object's own refusal comes back unchanged: a name it cannot create.
    sotest::WriteDevice("POSPrinter", "Unknown.Printer", {});
    EXPECT_EQ(control.Open("Unknown.Printer"), OPOS_E_CLOSED);
}

TEST_F(ControlObjectTest, AServiceObjectOfAnotherMajorVersionIsClosedAgain) {
    sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Version", "2000000"}});
    COposControl control("POSPrinter");
    EXPECT_EQ(control.Open(kTestPrinterName), OPOS_OR_BADVERSION);
    EXPECT_FALSE(control.IsOpen());

    // It was closed, not left holding the device: another object claims at once.
    sotest::WriteDevice("POSPrinter", kTestPrinterName, {});
    COposControl other("POSPrinter");
    ASSERT_EQ(other.Open(kTestPrinterName), OPOS_SUCCESS);
    OutgoingArgs zero;
    zero.Long(0);
    EXPECT_EQ(other.CallLong("ClaimDevice", zero), OPOS_SUCCESS);
}

TEST_F(ControlObjectTest, CallsByNameReportWhatWentWrong) {
    COposControl control("POSPrinter");
    EXPECT_EQ(control.CallLong("ClaimDevice"), OPOS_E_CLOSED);
    EXPECT_EQ(control.GetPropertyString(PIDX_DeviceName), "");
    ASSERT_EQ(control.Open(kTestPrinterName), OPOS_SUCCESS);

    EXPECT_EQ(control.CallLong("NoSuchMethod"), OPOS_E_NOSERVICE);
    EXPECT_EQ(control.LastError(), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(control.CallLong("ClaimDevice"), OPOS_E_NOSERVICE);  // argument missing
    EXPECT_EQ(control.LastError(), DISP_E_BADPARAMCOUNT);
    OutgoingArgs text;
    text.String("0");  // coerced to the long it stands for
    EXPECT_EQ(control.CallLong("ClaimDevice", text), OPOS_SUCCESS);
    EXPECT_EQ(control.Close(), OPOS_SUCCESS);
    EXPECT_EQ(control.Close(), OPOS_E_CLOSED);
}

}  // namespace
