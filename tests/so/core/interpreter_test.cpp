// The printer and drawer status interpreters on their own: blocks in, status values out,
// each value kept only when the device took it.
#include <gtest/gtest.h>

#include <string>

#include "opos/OposConstants.h"
#include "so/core/StatusInterpreter.h"
#include "so/core/StatusMonitor.h"
#include "tests/so/core/MonitorTestSupport.h"

namespace {

using montest::Recording;

class Device : public Recording<CServiceDevice> {
  public:
    Device() { standalone = true; }
};

// Feeds bytes given as text ("\x14\0\0\0") and returns the handled flag.
bool Feed(CStatusInterpreter& interpreter, const std::string& bytes, bool* resend) {
    return interpreter.Interpret(reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<LONG>(bytes.size()), resend);
}
std::string Block(BYTE b0, BYTE b2 = 0) {
    return std::string{static_cast<char>(b0), 0, static_cast<char>(b2), 0};
}

TEST(PrinterInterpreter, CoverAndPowerAreReportedOnChangeOnly) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    bool resend = false;
    EXPECT_TRUE(Feed(p, Block(0x10), &resend));
    EXPECT_TRUE(device.log.Values().empty()) << "the starting state is not news";

    EXPECT_TRUE(Feed(p, Block(0x30), &resend));
    EXPECT_TRUE(Feed(p, Block(0x30), &resend));
    EXPECT_FALSE(resend);
    EXPECT_TRUE(Feed(p, Block(0x18), &resend));
    EXPECT_TRUE(resend) << "an offline printer is asked again";
    resend = false;
    EXPECT_TRUE(Feed(p, Block(0x18), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{PTR_SUE_COVER_OPEN, OPOS_SUE_POWER_OFFLINE,
                                                      PTR_SUE_COVER_OK, OPOS_SUE_POWER_ONLINE}));
}

// Silence is judged only by an interpreter that had a block; the device is held before
// the report (an output retry woken by it must find output refused) and let go before the
// online report, and the block that ends it is decoded after that report.
TEST(PrinterInterpreter, SilenceAfterABlockIsOffOfflineUntilTheNextBlock) {
    struct Row {
        const char* rule;
        bool printer;
    };
    for (const Row& row : {Row{"printer", true}, Row{"drawer", false}}) {
        SCOPED_TRACE(row.rule);
        Device device;
        CPrinterStatusInterpreter printer(&device);
        CDrawerStatusInterpreter drawer(&device, 1);
        CStatusInterpreter& p = row.printer ? static_cast<CStatusInterpreter&>(printer) : drawer;
        bool resend = false;
        EXPECT_TRUE(p.Notify(kNotifySilent, &resend));
        EXPECT_FALSE(device.PrinterSilent()) << "a printer that never answered is not judged";
        EXPECT_TRUE(device.log.Values().empty());

        EXPECT_TRUE(Feed(p, Block(0x10), &resend));
        EXPECT_TRUE(p.Notify(kNotifySilent, &resend));
        EXPECT_TRUE(device.PrinterSilent());
        EXPECT_TRUE(p.Notify(kNotifySilent, &resend));  // still silent: no second report
        EXPECT_EQ(device.log.Values(), std::vector<LONG>{OPOS_SUE_POWER_OFF_OFFLINE});
        EXPECT_FALSE(resend);

        // Back, but offline: online first, then what the block says.
        EXPECT_TRUE(Feed(p, Block(0x18), &resend));
        EXPECT_FALSE(device.PrinterSilent());
        EXPECT_EQ(device.log.Values(),
                  (std::vector<LONG>{OPOS_SUE_POWER_OFF_OFFLINE, OPOS_SUE_POWER_ONLINE,
                                     OPOS_SUE_POWER_OFFLINE}));
    }
}

TEST(PrinterInterpreter, SilenceAfterAPowerOffReportIsHeldWithoutASecondReport) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    bool resend = false;
    EXPECT_TRUE(Feed(p, Block(0x10), &resend));
    EXPECT_TRUE(p.Notify(kNotifyPowerOff, &resend));
    EXPECT_TRUE(p.Notify(kNotifySilent, &resend));
    EXPECT_TRUE(device.PrinterSilent());
    EXPECT_TRUE(Feed(p, Block(0x10), &resend));
    EXPECT_FALSE(device.PrinterSilent());
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{OPOS_SUE_POWER_OFF, OPOS_SUE_POWER_ONLINE}));
}

TEST(PrinterInterpreter, PaperOutIsEmptyThoughTheNearEndBitsAreSetToo) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    bool resend = false;
    // The roll-out block of a real printer: offline, near-end and end bits all set.
    EXPECT_TRUE(Feed(p, std::string("\x18\0\x0f\0", 4), &resend));
    EXPECT_EQ(p.LastValue(CPrinterStatusInterpreter::kPaper), PTR_SUE_REC_EMPTY);
    EXPECT_TRUE(Feed(p, Block(0x10, 0x03), &resend));  // near end after empty: no news
    EXPECT_TRUE(Feed(p, Block(0x10, 0x00), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{OPOS_SUE_POWER_OFFLINE, PTR_SUE_REC_EMPTY,
                                                      OPOS_SUE_POWER_ONLINE, PTR_SUE_REC_PAPEROK}));
}

TEST(PrinterInterpreter, NearEmptyRunningOutBecomesEmpty) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    bool resend = false;
    EXPECT_TRUE(Feed(p, Block(0x10, 0x03), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10, 0x03), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10, 0x0F), &resend));
    EXPECT_TRUE(Feed(p, Block(0x10, 0x0C), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{PTR_SUE_REC_NEAREMPTY, PTR_SUE_REC_EMPTY}));

    // The port's own paper-empty report moves near empty on to empty as well.
    Device other;
    CPrinterStatusInterpreter q(&other);
    EXPECT_TRUE(Feed(q, Block(0x10, 0x03), &resend));
    EXPECT_FALSE(q.Notify(kNotifyPaperEmpty, &resend));
    EXPECT_EQ(other.log.Values(), (std::vector<LONG>{PTR_SUE_REC_NEAREMPTY, PTR_SUE_REC_EMPTY}));
}

TEST(PrinterInterpreter, OnlyWholeBlocksCountAndEachIsDecodedInTurn) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    bool resend = false;
    EXPECT_FALSE(Feed(p, std::string("\x30\0\x0f\0\x30\0", 6), &resend));
    EXPECT_FALSE(Feed(p, "", &resend));
    EXPECT_FALSE(p.Interpret(reinterpret_cast<const BYTE*>("x"), -4, &resend));
    EXPECT_TRUE(device.log.Values().empty());
    // Eight bytes: the cover opened and closed again between two dispatches.
    EXPECT_TRUE(Feed(p, Block(0x30) + Block(0x10), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{PTR_SUE_COVER_OPEN, PTR_SUE_COVER_OK}));
    EXPECT_TRUE(Feed(p, Block(0x10) + Block(0x30), &resend));
    EXPECT_EQ(p.LastValue(CPrinterStatusInterpreter::kCover), PTR_SUE_COVER_OPEN);
}

TEST(PrinterInterpreter, ValueIsKeptOnlyWhenTheDeviceTookIt) {
    Device device;
    CPrinterStatusInterpreter p(&device);
    bool resend = false;
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
    bool resend = false;
    // Paper empty: reported once, and the dispatch stops at this listener.
    EXPECT_FALSE(p.Notify(kNotifyPaperEmpty, &resend));
    EXPECT_FALSE(p.Notify(kNotifyPaperEmpty, &resend));
    EXPECT_FALSE(resend);
    EXPECT_TRUE(p.Notify(kNotifyOffline, &resend));
    EXPECT_TRUE(resend);
    resend = false;
    // Already offline: power off is not reported over it, but the request goes again.
    EXPECT_TRUE(p.Notify(kNotifyPowerOff, &resend));
    EXPECT_TRUE(resend);
    EXPECT_FALSE(p.Notify(static_cast<StatusNotification>(1234), &resend));
    EXPECT_EQ(device.log.Values(), (std::vector<LONG>{PTR_SUE_REC_EMPTY, OPOS_SUE_POWER_OFFLINE}));

    Device other;
    CPrinterStatusInterpreter q(&other);
    EXPECT_TRUE(q.Notify(kNotifyPowerOff, &resend));
    EXPECT_EQ(other.log.Values(), std::vector<LONG>{OPOS_SUE_POWER_OFF});
}

TEST(DrawerInterpreter, Pin3PolarityDecidesWhichLevelIsOpen) {
    Device high, low;
    CDrawerStatusInterpreter openHigh(&high, 1);
    CDrawerStatusInterpreter openLow(&low, 0);
    bool resend = false;
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
    bool resend = false;
    EXPECT_TRUE(Feed(d, Block(0x3C, 0x08), &resend));
    EXPECT_TRUE(resend);
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
    bool resend = false;
    EXPECT_FALSE(Feed(d, std::string("\x14\0\0\0\x14\0", 6), &resend));
    EXPECT_FALSE(Feed(d, "", &resend));
    EXPECT_TRUE(device.log.Values().empty());
    EXPECT_TRUE(Feed(d, Block(0x10) + Block(0x14), &resend));
    EXPECT_EQ(device.log.Values(), std::vector<LONG>{CASH_SUE_DRAWEROPEN});
    // The drawer has no paper-empty notification of its own.
    EXPECT_FALSE(d.Notify(kNotifyPaperEmpty, &resend));
    EXPECT_TRUE(d.Notify(kNotifyOffline, &resend));
    EXPECT_EQ(device.log.Values(),
              (std::vector<LONG>{CASH_SUE_DRAWEROPEN, OPOS_SUE_POWER_OFFLINE}));
}

// ---------------------------------------------------------------------------------------

std::string Assemble(CStatusBlockAssembler& a, const std::string& bytes) {
    std::string blocks;
    a.Feed(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), &blocks);
    return blocks;
}

TEST(BlockAssembler, BlocksAreFoundAmongOtherBytesAndAcrossReads) {
    CStatusBlockAssembler a;
    // Split in two reads.
    EXPECT_EQ(Assemble(a, std::string("\x14\0", 2)), "");
    EXPECT_EQ(a.Pending(), 2u);
    EXPECT_EQ(Assemble(a, std::string("\x0f\0", 2)), std::string("\x14\0\x0f\0", 4));
    // Garbage before, XOFF and XON inside, a DLE EOT reply and stray bytes after.
    EXPECT_EQ(Assemble(a, std::string("\x80\xff\x07\x18\x13\0\x11\x0c\0\x12\x05", 11)),
              std::string("\x18\0\x0c\0", 4));
    EXPECT_EQ(a.Pending(), 0u);
    // Two blocks in one read, then a start byte cutting a block short.
    EXPECT_EQ(Assemble(a, Block(0x10) + Block(0x34)), Block(0x10) + Block(0x34));
    EXPECT_EQ(Assemble(a, std::string("\x34\0\x10\0\0\0", 6)), Block(0x10));
}

TEST(BlockAssembler, NoInputGrowsTheCarryOver) {
    CStatusBlockAssembler a;
    std::string noise;
    for (int i = 0; i < 4096; ++i)
        noise += static_cast<char>(i * 37);
    std::string blocks = Assemble(a, noise);
    EXPECT_LT(a.Pending(), CStatusBlockAssembler::kBlockSize);
    EXPECT_EQ(blocks.size() % CStatusBlockAssembler::kBlockSize, 0u);
    for (size_t i = 0; i < blocks.size(); i += 4)
        EXPECT_EQ(blocks[i] & 0x93, 0x10) << i;
}

}  // namespace
