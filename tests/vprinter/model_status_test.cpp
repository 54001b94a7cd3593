// Status the host sees: automatic status blocks, real-time replies, the drawer, and the
// flow of data while printing is held, all against an explicit model clock.
#include <gtest/gtest.h>

#include "tests/vprinter/model_test_util.h"

namespace thermpos::vprinter::test {
namespace {

const std::string kAsbAll = B({0x1D, 0x61, 0x0F});

TEST(AutomaticStatus, EnablingSendsOneBlockWithTheFixedBits) {
    Rig r;
    r.Send(kAsbAll);
    const std::string raw = r.model.TakeReplies();
    ASSERT_EQ(raw.size(), 4u);
    EXPECT_EQ(Hex(raw), "10 00 00 00");
    const auto b = [&](int i) { return static_cast<std::uint8_t>(raw[i]); };
    EXPECT_EQ(b(0) & 0x93, 0x10);  // how hosts find the first byte of a block
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(b(i) & 0x90, 0x00) << i;

    r.Send(B({0x1D, 0x61, 0x02}));  // enabling again sends another block
    EXPECT_EQ(r.Replies(), "10 00 00 00");
    r.Send(B({0x1D, 0x61, 0x00}));  // disabling sends nothing and stops the blocks
    EXPECT_EQ(r.Replies(), "");
    r.model.SetCover(true, r.now);
    EXPECT_EQ(r.Replies(), "");
}

TEST(AutomaticStatus, EachEnabledChangeSendsExactlyOneBlock) {
    Rig r;
    r.Send(kAsbAll);
    r.model.TakeReplies();

    r.model.SetCover(true, r.now);
    EXPECT_EQ(r.Replies(), "38 00 00 00");  // cover bit 5 and offline bit 3
    r.model.SetCover(true, r.now);          // no change, no block
    EXPECT_EQ(r.Replies(), "");
    r.model.SetCover(false, r.now);
    EXPECT_EQ(r.Replies(), "10 00 00 00");

    r.model.SetPaper(PaperState::NearEnd, r.now);
    EXPECT_EQ(r.Replies(), "10 00 03 00");  // near end: printing continues, online
    r.model.SetPaper(PaperState::Out, r.now);
    EXPECT_EQ(r.Replies(), "18 00 0F 00");  // end reports near end too, and stops: offline
    r.model.SetPaper(PaperState::Ok, r.now);
    EXPECT_EQ(r.Replies(), "10 00 00 00");

    r.model.SetOnline(false, r.now);
    EXPECT_EQ(r.Replies(), "18 00 00 00");
    r.model.SetOnline(true, r.now);
    EXPECT_EQ(r.Replies(), "10 00 00 00");
}

TEST(AutomaticStatus, ChangesOfDisabledItemsSendNothing) {
    Rig r;
    r.Send(B({0x1D, 0x61, 0x01}));  // drawer only
    EXPECT_EQ(r.Replies(), "10 00 00 00");
    r.model.SetCover(true, r.now);
    r.model.SetPaper(PaperState::NearEnd, r.now);
    EXPECT_EQ(r.Replies(), "");
    // The block that does go out carries every current bit, reported or not.
    r.model.SetDrawer(true, r.now);
    EXPECT_EQ(r.Replies(), "3C 00 03 00");

    Rig p;
    p.Send(B({0x1D, 0x61, 0x08}));  // paper sensor only
    p.model.TakeReplies();
    p.model.SetCover(true, p.now);
    p.model.SetDrawer(true, p.now);
    EXPECT_EQ(p.Replies(), "");
    p.model.SetPaper(PaperState::NearEnd, p.now);
    EXPECT_EQ(p.Replies(), "3C 00 03 00");
}

TEST(AutomaticStatus, DrawerPulseFollowsPolarityAndClosesAgain) {
    ModelOptions high;
    high.drawerAutoCloseMs = 2000;
    Rig r(high);
    r.Send(B({0x1D, 0x61, 0x01}));
    r.model.TakeReplies();
    r.Send(B({0x10, 0x14, 0x01, 0x00, 0x02}));  // pin 2, 200 ms
    EXPECT_EQ(r.Replies(), "14 00 00 00");
    EXPECT_TRUE(r.model.Status().drawerOpen);
    ASSERT_TRUE(r.model.NextEventTime().has_value());
    EXPECT_EQ(*r.model.NextEventTime(), r.now + 2s);
    r.Wait(1999ms);
    EXPECT_EQ(r.Replies(), "");
    r.Wait(1ms);
    EXPECT_EQ(r.Replies(), "10 00 00 00");
    EXPECT_FALSE(r.model.Status().drawerOpen);

    ModelOptions low;
    low.drawerPolarity = DrawerPolarity::OpenLow;
    Rig l(low);
    l.Send(B({0x1D, 0x61, 0x01}));
    EXPECT_EQ(l.Replies(), "14 00 00 00");  // closed drawer reads high
    l.Send(B({0x10, 0x14, 0x01, 0x01, 0x01}));
    EXPECT_EQ(l.Replies(), "10 00 00 00");
    l.model.SetDrawer(false, l.now);  // closed by the operator
    EXPECT_EQ(l.Replies(), "14 00 00 00");
}

TEST(AutomaticStatus, DrawerPulseRulesAndSequentialKick) {
    Rig r;
    r.Send(B({0x1D, 0x61, 0x01}));
    r.model.TakeReplies();
    r.Send(B({0x10, 0x14, 0x01, 0x00, 0x00}));  // no pulse time: nothing
    r.Send(B({0x10, 0x14, 0x01, 0x02, 0x01}));  // no such connector: nothing
    EXPECT_EQ(r.Replies(), "");
    EXPECT_FALSE(r.model.Status().drawerOpen);
    r.Send(B({0x1B, 0x70, 0x30, 0x32, 0x32}));  // ESC p '0' 100 ms
    EXPECT_EQ(r.Replies(), "14 00 00 00");
}

// The service objects send pulse times of 10 and 12 (units of 100 ms), beyond the 8 of the
// command reference; the drawer must open on them, and a long pulse keeps its connector
// busy only for the capped time.
TEST(AutomaticStatus, DrawerOpensOnPulseTimesAboveEightAndLongPulsesAreCapped) {
    for (int t : {9, 10, 12, 255}) {
        Rig r;
        r.Send(B({0x1D, 0x61, 0x01}));
        r.model.TakeReplies();
        r.Send(B({0x10, 0x14, 0x01, 0x00, t}));
        EXPECT_EQ(r.Replies(), "14 00 00 00") << t;
        EXPECT_TRUE(r.model.Status().drawerOpen) << t;
    }

    // Pin 2 pulsed for 25.5 s asked, 1 s given: busy for 2 s (on and off), then free.
    Rig r;
    r.Send(B({0x10, 0x14, 0x01, 0x00, 255}));
    ASSERT_TRUE(r.model.Status().drawerOpen);
    r.model.SetDrawer(false, r.now);
    r.Wait(1999ms);
    r.Send(B({0x10, 0x14, 0x01, 0x00, 12}));
    EXPECT_FALSE(r.model.Status().drawerOpen) << "the first pulse is still being output";
    r.Send(B({0x1B, 0x70, 0x01, 0x32, 0x32}));  // the other connector is free
    EXPECT_TRUE(r.model.Status().drawerOpen);
    r.model.SetDrawer(false, r.now);
    r.Wait(1ms);
    r.Send(B({0x10, 0x14, 0x01, 0x00, 12}));
    EXPECT_TRUE(r.model.Status().drawerOpen);

    // While printing is held the kick is still taken at once, from the raw stream.
    Rig held;
    held.model.SetCover(true, held.now);
    held.Send(B({0x10, 0x14, 0x01, 0x01, 10}));
    EXPECT_TRUE(held.model.Status().drawerOpen);
}

TEST(AutomaticStatus, SelfTestEndsCommandEnabledStatusBackButInitialiseKeepsIt) {
    Rig r;
    r.Send(kAsbAll + B({0x1B, 0x40}));
    r.model.TakeReplies();
    r.model.SetCover(true, r.now);
    EXPECT_EQ(r.Replies(), "38 00 00 00");
    r.model.SetCover(false, r.now);
    r.model.TakeReplies();

    r.Send(B({0x1D, 0x28, 0x41, 0x02, 0x00, 0x00, 0x02}));
    auto receipts = r.model.TakeFinishedReceipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0].cut, CutKind::Full);
    EXPECT_GT(Ink(receipts[0].image).count, 1000);
    r.model.SetCover(true, r.now);
    EXPECT_EQ(r.Replies(), "");
    EXPECT_EQ(r.model.Status().asbMask, 0);
}

TEST(RealtimeStatus, RepliesFollowTheBitTables) {
    Rig r;
    r.Send(B({0x10, 0x04, 1, 0x10, 0x04, 2, 0x10, 0x04, 3, 0x10, 0x04, 4}));
    EXPECT_EQ(r.Replies(), "12 12 12 12");
    r.model.SetPaper(PaperState::Out, r.now);
    r.Send(B({0x10, 0x04, 1, 0x10, 0x04, 2, 0x10, 0x04, 3, 0x10, 0x04, 4}));
    EXPECT_EQ(r.Replies(), "1A 32 12 7E");
    r.model.SetPaper(PaperState::NearEnd, r.now);
    r.model.SetCover(true, r.now);
    r.Send(B({0x10, 0x04, 1, 0x10, 0x04, 2, 0x10, 0x04, 4}));
    EXPECT_EQ(r.Replies(), "1A 16 1E");
    r.Send(B({0x10, 0x04, 9}));  // undefined n: no reply, nothing stuck
    EXPECT_EQ(r.Replies(), "");
}

TEST(RealtimeStatus, AnsweredOnceWhileHeldAndNotAgainWhenTheDataRuns) {
    Rig r;
    r.model.SetCover(true, r.now);
    r.Send("held line\n" + B({0x10, 0x04, 0x01}) + B({0x1D, 0x56, 0x00}));
    EXPECT_EQ(r.Replies(), "1A");  // answered at once although printing is stopped
    EXPECT_TRUE(r.model.Status().held);
    EXPECT_TRUE(r.model.TakeFinishedReceipts().empty());

    r.model.SetCover(false, r.now);
    EXPECT_EQ(r.Replies(), "");  // the held copy is not answered a second time
    EXPECT_EQ(r.model.TakeFinishedReceipts().size(), 1u);
    EXPECT_EQ(r.model.Status().bytesBuffered, 0u);
}

TEST(RealtimeStatus, SequencesInsideImageDataOnlyCountInLegacyMode) {
    // An 8x3 raster whose data bytes spell DLE EOT 1.
    const std::string raster =
        B({0x1D, 0x76, 0x30, 0x00, 0x01, 0x00, 0x03, 0x00, 0x10, 0x04, 0x01});
    Rig boundary;
    boundary.Send(raster);
    EXPECT_EQ(boundary.Replies(), "");

    ModelOptions legacy;
    legacy.realtimeAnywhere = true;
    Rig anywhere(legacy);
    anywhere.Send(raster);
    EXPECT_EQ(anywhere.Replies(), "12");
    // At a command boundary it is still answered exactly once.
    anywhere.Send(B({0x10, 0x04, 0x04}));
    EXPECT_EQ(anywhere.Replies(), "12");
}

TEST(RealtimeStatus, SplitAcrossFeedsWhileHeld) {
    Rig r;
    r.model.SetOnline(false, r.now);
    r.Send(B({0x10}));
    r.Send(B({0x04}));
    EXPECT_EQ(r.Replies(), "");
    r.Send(B({0x02}));
    EXPECT_EQ(r.Replies(), "12");  // forced offline is not one of the offline causes
}

TEST(Peripheral, DeselectedPrinterDropsDataButAnswersRealtime) {
    Rig r;
    r.Send(B({0x1B, 0x3D, 0x00}) + "ignored\n" + B({0x10, 0x04, 0x01}) + B({0x1D, 0x61, 0x01}));
    EXPECT_EQ(r.Replies(), "12");
    EXPECT_EQ(r.model.Status().asbMask, 0);
    r.Send(B({0x1B, 0x3D, 0x01}) + "printed\n");
    EXPECT_GT(r.model.Status().currentReceiptDots, 0);
}

TEST(Power, OffReadsAndAnswersNothingAndOnRestoresDefaults) {
    Rig r;
    r.Send(kAsbAll + "before\n");
    r.model.TakeReplies();
    const int printed = r.model.Status().currentReceiptDots;
    r.model.SetPower(false, r.now);
    EXPECT_EQ(r.Send(B({0x10, 0x04, 0x01})), 0u);
    r.model.SetCover(true, r.now);
    r.model.SetCover(false, r.now);
    EXPECT_EQ(r.Replies(), "");
    EXPECT_FALSE(r.model.Status().powerOn);

    r.model.SetPower(true, r.now);
    EXPECT_EQ(r.model.Status().asbMask, 0);                   // command settings are gone
    EXPECT_EQ(r.model.Status().currentReceiptDots, printed);  // the paper is not
    EXPECT_EQ(r.Send(B({0x10, 0x04, 0x01})), 3u);
    EXPECT_EQ(r.Replies(), "12");

    ModelOptions dip;
    dip.asbDefaultMask = 0x02;
    Rig d(dip, HardwareState{.powerOn = false});
    EXPECT_EQ(d.Replies(), "");
    d.model.SetPower(true, d.now);
    EXPECT_EQ(d.Replies(), "10 00 00 00");  // the first moment it can talk
}

TEST(Flow, PrintingHeldWhileCoverOpenResumesAfterClose) {
    Rig r;
    r.model.SetCover(true, r.now);
    EXPECT_EQ(r.Send("line one\nline two\n" + B({0x1D, 0x56, 0x01})), 21u);
    EXPECT_EQ(r.model.Status().bytesProcessed, 0u);
    EXPECT_EQ(r.model.Status().bytesBuffered, 21u);
    EXPECT_TRUE(r.model.TakeFinishedReceipts().empty());
    r.model.SetCover(false, r.now);
    auto receipts = r.model.TakeFinishedReceipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0].cut, CutKind::Partial);
    EXPECT_EQ(receipts[0].image.height, 2 * 30 + 2);  // two lines and the cut mark
}

TEST(Flow, PaperEndStopsPrintingNearEndOnlyWhenEnabled) {
    Rig r;
    r.model.SetPaper(PaperState::NearEnd, r.now);
    r.Send("a\n");
    EXPECT_EQ(r.model.Status().currentReceiptDots, 30);
    r.Send(B({0x1B, 0x63, 0x34, 0x01}));  // near-end sensor now stops printing
    EXPECT_FALSE(r.model.Status().online);
    r.Send("b\n");
    EXPECT_EQ(r.model.Status().currentReceiptDots, 30);
    r.model.SetPaper(PaperState::Ok, r.now);
    EXPECT_EQ(r.model.Status().currentReceiptDots, 60);
}

TEST(Flow, FullReceiveBufferRefusesUntilPrintingResumes) {
    ModelOptions o;
    o.receiveBufferBytes = 1024;
    Rig r(o);
    r.model.SetOnline(false, r.now);
    const std::string text(3000, 'x');
    const std::size_t first = r.Send(text);
    EXPECT_EQ(first, 1024u);
    EXPECT_EQ(r.Send(text.substr(first)), 0u);
    r.model.SetOnline(true, r.now);
    EXPECT_EQ(r.Send(text.substr(first)), 3000u - first);
    EXPECT_EQ(r.model.Status().bytesProcessed, 3000u);
}

TEST(Flow, SerialPacingTakesByteTimeOfModelClock) {
    ModelOptions o;
    o.baud = 9600;
    Rig r(o);
    std::string data(4096, 'A');
    for (std::size_t i = 47; i < data.size(); i += 48)
        data[i] = '\n';
    const TimePoint start = r.now;
    std::size_t sent = 0;
    int offers = 0;
    while (sent < data.size() && offers < 100000) {
        sent += r.Send(std::string_view(data).substr(sent));
        ++offers;
        if (sent < data.size()) {
            auto next = r.model.NextEventTime();
            ASSERT_TRUE(next.has_value());
            ASSERT_GT(*next, r.now);
            r.now = *next;
        }
    }
    ASSERT_EQ(sent, data.size());
    const double seconds = std::chrono::duration<double>(r.now - start).count();
    EXPECT_NEAR(seconds, 4096 * 10.0 / 9600, 0.01);  // about 4.3 s
    EXPECT_EQ(r.model.Status().bytesProcessed, 4096u);

    // Offered and then abandoned (the device went away): no wake-up remains once due.
    EXPECT_EQ(r.Send("xyz"), 0u);
    ASSERT_TRUE(r.model.NextEventTime().has_value());
    r.Wait(10ms);
    EXPECT_FALSE(r.model.NextEventTime().has_value());
}

TEST(Flow, PrintSpeedKeepsTheMechanismBusy) {
    ModelOptions o;
    o.printSpeedMmPerS = 100;  // 800 dots per second
    Rig r(o);
    r.Send("one\ntwo\n");
    EXPECT_EQ(r.model.Status().currentReceiptDots, 30);  // second line waits
    ASSERT_TRUE(r.model.NextEventTime().has_value());
    EXPECT_EQ(*r.model.NextEventTime() - r.now, std::chrono::microseconds(37500));
    r.Wait(37500us);
    EXPECT_EQ(r.model.Status().currentReceiptDots, 60);
}

}  // namespace
}  // namespace thermpos::vprinter::test
