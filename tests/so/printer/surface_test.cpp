// The printer models through the automation surface: ThermSO activated by ProgID from the
// registry, as the control objects do, creates the model for each logical device name.

#include <gtest/gtest.h>

#include "opos/ControlObject.h"
#include "platform/activation.h"
#include "platform/module.h"
#include "tests/so/printer/PrinterTestSupport.h"

namespace {

class PrinterSurface : public ::testing::Test {
  protected:
    // ThermSO writes its own registration into the test's private hive.
    static void SetUpTestSuite() {
        printertest::TempDir();
        std::string error;
        void* server = thermpos::platform::module::Load(THERMSO_SERVER, &error);
        ASSERT_NE(server, nullptr) << error;
        auto reg = thermpos::platform::module::Export<thermpos::platform::com::ServerEntryFn>(
            server, "DllRegisterServer");
        ASSERT_NE(reg, nullptr);
        ASSERT_EQ(reg(), S_OK);
    }
};

}  // namespace

TEST_F(PrinterSurface, EachLogicalDeviceNameCreatesItsModel) {
    struct Case {
        const char* name;
        const char* typefaces;
        const char* lineChars;
    };
    const Case cases[] = {
        {"RTK410.TALVERN.POSPrinter", "1 Font A,2 Font B,3 Font C", "48,64,72"},
        {"qmx5500typeii.talvern.posprinter", "1 Font A,2 Font B", "48,64"},
        {"RTK6100.TALVERN.POSPrinter", "1 Font A,2 Font B,3 Font C", "48,64,72"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        printertest::WriteDevice(c.name, {{"Port", "COM7"}});
        thermpos::opos::COposControl printer("POSPrinter");
        ASSERT_EQ(printer.Open(c.name), 0);
        EXPECT_EQ(printer.GetPropertyString(PIDXPtr_FontTypefaceList), c.typefaces);
        EXPECT_EQ(printer.GetPropertyString(PIDXPtr_RecLineCharsList), c.lineChars);
        EXPECT_EQ(printer.GetPropertyNumber(PIDXPtr_CapRecColor), 2);
        // The printer methods reach the model: not claimed yet.
        thermpos::platform::com::OutgoingArgs args;
        args.Long(PTR_S_RECEIPT).String("x");
        EXPECT_EQ(printer.CallLong("PrintNormal", args), OPOS_E_NOTCLAIMED);
        EXPECT_EQ(printer.Close(), 0);
    }
}

TEST_F(PrinterSurface, OtherNamesCreateNoPrinter) {
    printertest::WriteDevice("RTK999.TALVERN.POSPrinter", {{"Port", "COM7"}});
    thermpos::opos::COposControl printer("POSPrinter");
    EXPECT_EQ(printer.Open("RTK999.TALVERN.POSPrinter"), OPOS_E_CLOSED);
    printertest::WriteDevice("RTK410.TALVERN.CD1", {{"Port", "COM7"}});
    EXPECT_EQ(printer.Open("RTK410.TALVERN.CD1"), OPOS_E_CLOSED);
}
