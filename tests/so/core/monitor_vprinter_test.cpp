// The status monitor end to end on a serial line: the framework's test printer and
// drawer, given their interpreters, on LinkPort and the virtual printer (under Wine the
// Linux program on a mapped COM port). Everything waits on a status value or on the
// virtual printer's state, with generous limits.
#include <algorithm>

#include "tests/so/core/MonitorPrinterTest.h"

namespace montest {
namespace {

TEST_F(MonitorPrinterTest, OfflinePrinterIsAskedEveryCycleAndPowerFollowsWithPowerNotifyOnly) {
    StartPrinter();
    WriteDevices(port_);
    OpenPrinter(true);
    OpenDrawer();  // PowerNotify 0
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_EQ(drawer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_TRUE(WaitAsbOn());

    vp_.SetOnline(false);
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_OFFLINE));
    EXPECT_EQ(printer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_OFFLINE);
    // The request (3 bytes) goes out again cycle after cycle while the bit is set.
    const uint64_t base = vp_.Status().bytesAccepted;
    ASSERT_TRUE(WaitStatus([&](const PrinterStatus& s) { return s.bytesAccepted >= base + 30; }));

    vp_.SetOnline(true);
    ASSERT_TRUE(printer_.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    EXPECT_EQ(printer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_ONLINE);
    // Back online the printer sends its blocks by itself: the requests stop.
    const std::vector<LONG> values = printer_.log.Values();
    EXPECT_EQ(std::count(values.begin(), values.end(), OPOS_SUE_POWER_OFFLINE), 1);
    vp_.SetDrawer(true);  // one more block, and time for any stray request
    ASSERT_TRUE(drawer_.log.WaitFor(CASH_SUE_DRAWEROPEN));
    const uint64_t settled = vp_.Status().bytesAccepted;
    vp_.SetDrawer(false);
    ASSERT_TRUE(drawer_.log.WaitFor(CASH_SUE_DRAWERCLOSED));
    EXPECT_LE(vp_.Status().bytesAccepted, settled + 3);

    // The drawer, with PowerNotify 0, saw the same blocks but keeps no power state.
    EXPECT_EQ(drawer_.GetPropertyNumber(PIDX_PowerState), OPOS_PS_UNKNOWN);
}

TEST_F(MonitorPrinterTest, PaperOutIsEmptyAndNearEndRunningOutBecomesEmpty) {
    StartPrinter();
    WriteDevices(port_);
    OpenPrinter();
    ASSERT_EQ(printer_.SetDeviceEnabled(1), OPOS_SUCCESS);
    ASSERT_TRUE(WaitAsbOn());
    auto paperValues = [&] {
        std::vector<LONG> paper;
        for (LONG v : printer_.log.Values())
            if (v >= PTR_SUE_REC_EMPTY && v <= PTR_SUE_REC_PAPEROK)
                paper.push_back(v);
        return paper;
    };
    vp_.SetPaper(PaperState::Out);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_EMPTY));
    vp_.SetPaper(PaperState::Ok);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_PAPEROK));
    EXPECT_EQ(paperValues(), (std::vector<LONG>{PTR_SUE_REC_EMPTY, PTR_SUE_REC_PAPEROK}));

    printer_.log.Clear();
    vp_.SetPaper(PaperState::NearEnd);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_NEAREMPTY));
    vp_.SetPaper(PaperState::Out);
    ASSERT_TRUE(printer_.log.WaitFor(PTR_SUE_REC_EMPTY));
    EXPECT_EQ(paperValues(), (std::vector<LONG>{PTR_SUE_REC_NEAREMPTY, PTR_SUE_REC_EMPTY}));
}

TEST_F(MonitorPrinterTest, Pin3PolarityComesFromTheDrawersOwnKey) {
    StartPrinter();
    for (const char* pin3 : {"000", "001", ""}) {
        SCOPED_TRACE(pin3);
        WriteDevices(port_, pin3);
        Drawer drawer;
        drawer.SetPortManager(&table_);
        ASSERT_EQ(drawer.OpenService("CashDrawer", kTestDrawerName, nullptr), OPOS_SUCCESS);
        ASSERT_EQ(drawer.SetDeviceEnabled(1), OPOS_SUCCESS);
        auto* interpreter =
            dynamic_cast<const CDrawerStatusInterpreter*>(drawer.StatusInterpreter());
        ASSERT_NE(interpreter, nullptr);
        const bool openLow = std::string(pin3) == "000";
        EXPECT_EQ(interpreter->Pin3(), openLow ? 0 : 1);
        ASSERT_TRUE(WaitAsbOn());
        // Drawer closed: block 0x10. With Pin3 0 that level reads as open.
        if (openLow) {
            ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWEROPEN));
        }
        vp_.SetDrawer(true);  // block 0x14
        ASSERT_TRUE(drawer.log.WaitFor(openLow ? CASH_SUE_DRAWERCLOSED : CASH_SUE_DRAWEROPEN));
        vp_.SetDrawer(false);
        if (!openLow) {
            ASSERT_TRUE(drawer.log.WaitFor(CASH_SUE_DRAWERCLOSED));
        }
        ASSERT_EQ(drawer.Close(), OPOS_SUCCESS);
        EXPECT_EQ(table_.OpenPortCount(), 0u);
    }
}

}  // namespace
}  // namespace montest
