// The fixture of the tests that run ThermSO end to end through the control objects or the
// tool: ThermSO registered, the virtual printer on a pty entered in the Ports map, and the
// RT-K410's printer and drawer configured on that port (the drawer reporting its status).
// Header only: its users link thermpos_vprinter.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/so/TestSupport.h"
#include "tests/support/virtual_printer.h"

namespace sotest {

class PrinterAndDrawerTest : public ::testing::Test {
  protected:
    static constexpr char kPort[] = "COM21";
    static constexpr char kPrinter[] = "RTK410.TALVERN.POSPrinter";
    static constexpr char kDrawer[] = "RTK410.TALVERN.CD1";

    void SetUp() override {
        ASSERT_EQ(RegisterServer(ServerPath()), S_OK);
        std::string error;
        outDir_ = thermpos::testing::StartOnPty(vp_, kPort, "printer", &error);
        ASSERT_FALSE(outDir_.empty()) << error;
        WriteDevice("POSPrinter", kPrinter, {{"Port", kPort}});
        WriteDevice("CashDrawer", kDrawer, {{"Port", kPort}, {"CapStatus", "001"}});
    }

    thermpos::vprinter::VirtualPrinter vp_;
    std::string outDir_;  // the printer's receipts and command log
};

}  // namespace sotest
