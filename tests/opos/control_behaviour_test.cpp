// What the control objects answer themselves: open failures and their OpenResult, calls
// while closed, a service object of an older release or another major version, and the
// order of the two halves of FreezeEvents. Against the test server (no printer needed).
#include <gtest/gtest.h>

#include <future>

#include "opos/CashDrawer.h"
#include "opos/PosPrinter.h"
#include "tests/opos/EventRecorder.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"

using thermpos::opos::CashDrawer;
using thermpos::opos::PosPrinter;
using namespace std::chrono_literals;

namespace {

class ControlBehaviourTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sotest::RegisterServer(sotest::TestServerPath()), S_OK);
        pty_.MapAs("COM14");
        sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Port", "COM14"}});
        sotest::WriteDevice("CashDrawer", kTestDrawerName, {{"Port", "COM14"}});
    }

    void Start(thermpos::opos::Control& c, const char* name) {
        ASSERT_EQ(c.Open(name), OPOS_SUCCESS);
        ASSERT_EQ(c.ClaimDevice(1000), OPOS_SUCCESS);
        c.SetNumberProperty("DeviceEnabled", 1);
        ASSERT_EQ(c.GetNumberProperty("ResultCode"), OPOS_SUCCESS);
    }

    sotest::Pty pty_;
};

TEST_F(ControlBehaviourTest, OpenFailuresReturnTheirCodeAndOpenResult) {
    PosPrinter printer;
    EXPECT_EQ(printer.Open("No.Such.Device"), OPOS_E_NOEXIST);
    EXPECT_EQ(printer.OpenResult(), OPOS_OR_REGBADNAME);

    sotest::SetValue(sotest::DeviceKey("POSPrinter", "Unregistered"), nullptr, "Not.A.ProgId");
    EXPECT_EQ(printer.Open("Unregistered"), OPOS_E_NOSERVICE);
    EXPECT_EQ(printer.OpenResult(), OPOS_OR_REGPROGID);

    sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Version", "2000000"}});
    EXPECT_EQ(printer.Open(kTestPrinterName), OPOS_E_NOSERVICE);
    EXPECT_EQ(printer.OpenResult(), OPOS_OR_BADVERSION);
    EXPECT_EQ(printer.State(), OPOS_S_CLOSED);

    // OpenService's own refusal comes back as it is, the open result says the open failed.
    sotest::WriteDevice("POSPrinter", "Not.Served", {});
    EXPECT_EQ(printer.Open("Not.Served"), OPOS_E_CLOSED);
    EXPECT_EQ(printer.OpenResult(), OPOS_OR_FAILEDOPEN);

    sotest::WriteDevice("POSPrinter", kTestPrinterName, {});
    ASSERT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
    EXPECT_EQ(printer.OpenResult(), OPOS_SUCCESS);
    EXPECT_EQ(printer.Open(kTestPrinterName), OPOS_E_ILLEGAL);
    EXPECT_EQ(printer.OpenResult(), OPOS_OR_ALREADYOPEN);
    EXPECT_EQ(printer.ResultCode(), OPOS_E_ILLEGAL);
    // Still open on the first device, and the next forwarded call has its own result.
    EXPECT_EQ(printer.ClaimDevice(1000), OPOS_SUCCESS);
    EXPECT_EQ(printer.ResultCode(), OPOS_SUCCESS);
}

TEST_F(ControlBehaviourTest, WhileClosedMethodsAnswerClosedAndPropertiesAreEmpty) {
    PosPrinter printer;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(printer.ClaimDevice(0), OPOS_E_CLOSED);
        EXPECT_EQ(printer.PrintNormal(PTR_S_RECEIPT, "x"), OPOS_E_CLOSED);
        EXPECT_EQ(printer.Close(), OPOS_E_CLOSED);
        EXPECT_EQ(printer.ResultCode(), OPOS_E_CLOSED);
        EXPECT_EQ(printer.State(), OPOS_S_CLOSED);
        EXPECT_FALSE(printer.Claimed());
        EXPECT_EQ(printer.RecLineChars(), 0);
        EXPECT_EQ(printer.DeviceName(), "");
        printer.SetFreezeEvents(true);  // ignored while closed
        EXPECT_EQ(printer.ControlObjectVersion() / 1000, 1008);
        EXPECT_FALSE(printer.ControlObjectDescription().empty());
        // Once more after an open and close.
        ASSERT_EQ(printer.Open(kTestPrinterName), OPOS_SUCCESS);
        EXPECT_FALSE(printer.FreezeEvents());
        EXPECT_EQ(printer.State(), OPOS_S_IDLE);
        EXPECT_EQ(printer.Close(), OPOS_SUCCESS);
    }
}

TEST_F(ControlBehaviourTest, WhatAnOlderServiceObjectLacksIsRefusedByTheControl) {
    sotest::WriteDevice("POSPrinter", kTestPrinterName,
                        {{"Port", "COM14"}, {"Version", "1004000"}});
    PosPrinter printer;
    Start(printer, kTestPrinterName);
    EXPECT_EQ(printer.ServiceObjectVersion(), 1004000);

    EXPECT_FALSE(printer.CapStatisticsReporting());  // 1.8 property: not forwarded
    EXPECT_EQ(printer.CartridgeNotify(), 0);         // 1.5
    printer.SetCartridgeNotify(1);
    EXPECT_EQ(printer.ResultCode(), OPOS_E_NOSERVICE);
    std::string stats;
    EXPECT_EQ(printer.RetrieveStatistics(stats), OPOS_E_NOSERVICE);
    EXPECT_EQ(printer.MarkFeed(1), OPOS_E_NOSERVICE);
    EXPECT_EQ(printer.ResultCode(), OPOS_E_NOSERVICE);
    // A 1.1 method is forwarded and gives the service object's own result again.
    EXPECT_NE(printer.TransactionPrint(PTR_S_RECEIPT, PTR_TP_NORMAL), OPOS_E_NOSERVICE);
    EXPECT_NE(printer.ResultCode(), OPOS_E_NOSERVICE);
}

TEST_F(ControlBehaviourTest, BooleansReachTheServiceObjectAsOneOrZero) {
    PosPrinter printer;
    Start(printer, kTestPrinterName);
    printer.SetNumberProperty("FreezeEvents", -1);
    EXPECT_EQ(printer.GetNumberProperty("freezeevents"), 1);
    EXPECT_TRUE(printer.FreezeEvents());
    printer.SetFreezeEvents(false);
    EXPECT_EQ(printer.GetNumberProperty("FreezeEvents"), 0);

    // Names the class does not have, or of the wrong kind, are refused by the control.
    printer.SetNumberProperty("NoSuchProperty", 1);
    EXPECT_EQ(printer.ResultCode(), OPOS_E_ILLEGAL);
    printer.SetNumberProperty("DeviceName", 1);
    EXPECT_EQ(printer.ResultCode(), OPOS_E_ILLEGAL);
    printer.SetNumberProperty("Claimed", 0);  // read-only
    EXPECT_EQ(printer.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_TRUE(printer.Claimed());
}

TEST_F(ControlBehaviourTest, FreezeHoldsBothQueuesAndThawDeliversInRaisedOrder) {
    PosPrinter printer;
    optest::EventRecorder recorder;
    printer.SetEventHandler(&recorder);
    Start(printer, kTestPrinterName);

    // Two events reach our queue before the freeze; three more stay at the service object.
    LONG data = 2;
    std::string text;
    ASSERT_EQ(printer.DirectIO(kTestQueueStatuses, data, text), OPOS_SUCCESS);
    ASSERT_TRUE(optest::WaitPending(printer, 2));
    printer.SetFreezeEvents(true);
    EXPECT_TRUE(printer.FreezeEvents());
    EXPECT_EQ(printer.DispatchEvents(), 0);
    data = 3;
    ASSERT_EQ(printer.DirectIO(kTestQueueStatuses, data, text), OPOS_SUCCESS);
    EXPECT_EQ(printer.DispatchEvents(), 0);
    EXPECT_EQ(recorder.Count(), 0u);

    printer.SetFreezeEvents(false);
    ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return recorder.Count() >= 5; }));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"S1", "S2", "S1", "S2", "S3"}));
}

TEST_F(ControlBehaviourTest, DrawerSurfaceForwardsItsOwnMethods) {
    CashDrawer drawer;
    Start(drawer, kTestDrawerName);
    EXPECT_EQ(drawer.ServiceObjectVersion() / 1000, 1008);
    EXPECT_NE(drawer.OpenDrawer(), OPOS_E_NOSERVICE);
    EXPECT_EQ(drawer.GetStringProperty("DeviceName"), drawer.DeviceName());
    EXPECT_EQ(drawer.Close(), OPOS_SUCCESS);
    EXPECT_EQ(drawer.State(), OPOS_S_CLOSED);
}

}  // namespace
