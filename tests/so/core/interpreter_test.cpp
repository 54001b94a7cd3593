// The printer and drawer status interpreters on their own: blocks in, status values out,
// each value kept only when the device took it.
#include <gtest/gtest.h>

#include <string>

#include "opos/OposConstants.h"
#include "so/core/StatusInterpreter.h"
#include "tests/so/core/MonitorTestSupport.h"

namespace {

using montest::Recording;

class Device : public Recording<CServiceDevice> {
  public:
    Device() { standalone = true; }
};

// Feeds bytes given as text ("\x14\0\0\0") and returns the handled flag.
bool Feed(CStatusInterpreter& interpreter, const std::string& bytes, LONG* resend) {
    return interpreter.Interpret(reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<LONG>(bytes.size()), resend);
}
std::string Block(BYTE b0, BYTE b2 = 0) {
    return std::string{static_cast<char>(b0), 0, static_cast<char>(b2), 0};
}

TEST(PrinterInterpreter, CoverAndPowerAreReportedOnChangeOnly) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    LONG resend = 0;
    EXPECT_TRUE(Feed(p, Block(0x10), &resend));
    EXPECT_TRUE(device.log.Values().empty()) << "the starting state is not news";

    EXPECT_TRUE(Feed(p, Block(0x30), &resend));
    EXPECT_TRUE(Feed(p, Block(0x30), &resend));
    EXPECT_EQ(resend, 0);
    EXPECT_TRUE(Feed(p, Block(0x18), &resend));
    EXPECT_EQ(resend, 1) << "an offline printer is asked again";
    resend = 0;
    EXPECT_TRUE(Feed(p, Block(0x18), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{PTR_SUE_COVER_OPEN, OPOS_SUE_POWER_OFFLINE,
                                                      PTR_SUE_COVER_OK, OPOS_SUE_POWER_ONLINE}));
}

TEST(PrinterInterpreter, NearEndWinsOverEndAndHoldsUntilPaperIsBack) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    LONG resend = 0;
    EXPECT_TRUE(Feed(p, Block(0x10, 0x0F), &resend));
    EXPECT_EQ(p.LastValue(CPrinterStatusInterpreter::kPaper), PTR_SUE_REC_NEAREMPTY);
    EXPECT_TRUE(Feed(p, Block(0x10, 0x0C), &resend));  // end alone: no change from 25
    EXPECT_TRUE(Feed(p, Block(0x10, 0x03), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10, 0x00), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10, 0x0C), &resend));  // from paper ok, end alone is 24
    EXPECT_EQ(device.log.Values(),
              (std::vector<LONG>{PTR_SUE_REC_NEAREMPTY, PTR_SUE_REC_PAPEROK, PTR_SUE_REC_EMPTY}));
}

TEST(PrinterInterpreter, OnlyWholeBlocksCountAndTheLastOneDecides) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    LONG resend = 0;
    EXPECT_FALSE(Feed(p, std::string("\x30\0\x0f\0\x30\0", 6), &resend));
    EXPECT_FALSE(Feed(p, "", &resend));
    EXPECT_FALSE(p.Interpret(reinterpret_cast<const BYTE*>("x"), -4, &resend));
    EXPECT_TRUE(device.log.Values().empty());
    // Eight bytes: cover open in the first block, closed in the second.
    EXPECT_TRUE(Feed(p, Block(0x30) + Block(0x10), &resend));
    EXPECT_TRUE(device.log.Values().empty());
    EXPECT_TRUE(Feed(p, Block(0x10) + Block(0x30), &resend));
    EXPECT_EQ(device.log.Values(), std::vector<LONG>{PTR_SUE_COVER_OPEN});
}

TEST(PrinterInterpreter, ValueIsKeptOnlyWhenTheDeviceTookIt) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    LONG resend = 0;
    device.reject = true;
    EXPECT_TRUE(Feed(p, Block(0x30), &resend));
    EXPECT_EQ(p.LastValue(CPrinterStatusInterpreter::kCover), PTR_SUE_COVER_OK);
    device.reject = false;
    EXPECT_TRUE(Feed(p, Block(0x30), &resend));
    EXPECT_EQ(device.log.Values(), std::vector<LONG>{PTR_SUE_COVER_OPEN});
}

TEST(PrinterInterpreter, NotificationsWithoutData) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    LONG resend = 0;
    // Paper empty: reported once, and the dispatch stops at this listener.
    EXPECT_FALSE(p.Interpret(nullptr, kNotifyPaperEmpty, &resend));
    EXPECT_FALSE(p.Interpret(nullptr, kNotifyPaperEmpty, &resend));
    EXPECT_EQ(resend, 0);
    EXPECT_TRUE(p.Interpret(nullptr, kNotifyOffline, &resend));
    EXPECT_EQ(resend, 1);
    resend = 0;
    // Already offline: power off is not reported over it, but the request goes again.
    EXPECT_TRUE(p.Interpret(nullptr, kNotifyPowerOff, &resend));
    EXPECT_EQ(resend, 1);
    EXPECT_FALSE(p.Interpret(nullptr, 1234, &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{PTR_SUE_REC_EMPTY, OPOS_SUE_POWER_OFFLINE}));

    Device other;
    CPrinterStatusInterpreter q(&other);
    EXPECT_TRUE(q.Interpret(nullptr, kNotifyPowerOff, &resend));
    EXPECT_EQ(other.log.Values(), std::vector<LONG>{OPOS_SUE_POWER_OFF});
}

TEST(DrawerInterpreter, Pin3PolarityDecidesWhichLevelIsOpen) {
    Device high, low;
    CDrawerStatusInterpreter openHigh(&high, 1);
    CDrawerStatusInterpreter openLow(&low, 0);
    LONG resend = 0;
    for (CDrawerStatusInterpreter* d : {&openHigh, &openLow}) {
        EXPECT_TRUE(Feed(*d, Block(0x10), &resend));
        EXPECT_TRUE(Feed(*d, Block(0x14), &resend));
        EXPECT_TRUE(Feed(*d, Block(0x10), &resend));
    }
    EXPECT_EQ(high.log.Values(), (std::vector<LONG>{CASH_SUE_DRAWEROPEN, CASH_SUE_DRAWERCLOSED}));
    EXPECT_EQ(low.log.Values(),
              (std::vector<LONG>{CASH_SUE_DRAWEROPEN, CASH_SUE_DRAWERCLOSED, CASH_SUE_DRAWEROPEN}));
}

TEST(DrawerInterpreter, SeesCoverPaperAndPowerWithItsOwnCodes) {
    Device device;
    CDrawerStatusInterpreter d(&device, 1);
    LONG resend = 0;
    EXPECT_TRUE(Feed(d, Block(0x3C, 0x08), &resend));
    EXPECT_EQ(resend, 1);
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{CASH_SUE_DRAWEROPEN, OPOS_SUE_POWER_OFFLINE,
                                                      kDrawerSueCoverOpen, kDrawerSuePaperEnd}));
    device.log.Clear();
    // Near-end alone is no paper end for the drawer.
    EXPECT_TRUE(Feed(d, Block(0x10, 0x03), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{CASH_SUE_DRAWERCLOSED, OPOS_SUE_POWER_ONLINE,
                                                      kDrawerSueCoverClosed, kDrawerSuePaperOk}));
}

TEST(DrawerInterpreter, PartialBlocksChangeNothingAndNotificationsGoToTheCommonPart) {
    Device device;
    CDrawerStatusInterpreter d(&device, 1);
    LONG resend = 0;
    EXPECT_FALSE(Feed(d, std::string("\x14\0\0\0\x14\0", 6), &resend));
    EXPECT_FALSE(Feed(d, "", &resend));
    EXPECT_TRUE(device.log.Values().empty());
    EXPECT_TRUE(Feed(d, Block(0x10) + Block(0x14), &resend));
    EXPECT_EQ(device.log.Values(), std::vector<LONG>{CASH_SUE_DRAWEROPEN});
    // The drawer has no paper-empty notification of its own.
    EXPECT_FALSE(d.Interpret(nullptr, kNotifyPaperEmpty, &resend));
    EXPECT_TRUE(d.Interpret(nullptr, kNotifyOffline, &resend));
    EXPECT_EQ(device.log.Values(),
              (std::vector<LONG>{CASH_SUE_DRAWEROPEN, OPOS_SUE_POWER_OFFLINE}));
}

}  // namespace
