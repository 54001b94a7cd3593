// Nothing a host sends may crash the model, stall it or grow it without bound; commands it
// does not act on are skipped by their length; the parser does not care how bytes arrive.
#include <gtest/gtest.h>

#include <memory>

#include "tests/vprinter/model_test_util.h"
#include "vprinter/font.h"

namespace thermpos::vprinter::test {
namespace {

// A receipt touching most of the parser: modes, images, bar codes, page mode, NV images.
std::string Kitchen() {
    std::string s = B({0x1B, 0x40, 0x1D, 0x61, 0x0F});
    s += B({0x1C, 0x71, 1, 1, 0, 1, 0}) + std::string(8, '\x3C');
    s += B({0x1B, 0x61, 1}) + B({0x1C, 0x70, 1, 3});
    s += B({0x1B, 0x21, 0x30}) + "TOTAL 12.34\n" + B({0x1B, 0x21, 0});
    s += B({0x1B, 0x74, 2, 0x9B, 0x9C, 0x0A});
    s += B({0x1D, 0x76, 0x30, 0, 2, 0, 3, 0, 0x10, 0x04, 0x01, 0xFF, 0x00, 0xAA});
    s += B({0x1B, 0x2A, 33, 3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}) + "\n";
    s += B({0x1D, 0x28, 0x6B, 4, 0, 0x31, 0x41, 0x32, 0x00});
    s += B({0x1D, 0x48, 3, 0x1D, 0x6B, 73, 6, '{', 'A', 'A', '{', 'C', 12});
    s += B({0x1B, 0x4C, 0x1B, 0x57, 0, 0, 0, 0, 200, 0, 60, 0, 0x1B, 0x54, 3}) + "page\n";
    s += B({0x0C, 0x10, 0x04, 0x04, 0x09}) + "tab" + B({0x1B, 0x44, 2, 4, 0, 0x09}) + "x\n";
    s += B({0x1B, 0x7B, 1}) + "upside\n" + B({0x1D, 0x56, 0x41, 20});
    return s;
}

TEST(Parsing, ByteByByteEqualsAllAtOnce) {
    const std::string data = Kitchen();
    std::vector<CommandRecord> wholeLog, splitLog;
    Rig whole;
    whole.model.SetCommandLog([&](const CommandRecord& r) { wholeLog.push_back(r); });
    ASSERT_EQ(whole.Send(data), data.size());
    Rig split;
    split.model.SetCommandLog([&](const CommandRecord& r) { splitLog.push_back(r); });
    for (char c : data)
        ASSERT_EQ(split.Send(std::string(1, c)), 1u);

    const auto a = whole.model.TakeFinishedReceipts(), b = split.model.TakeFinishedReceipts();
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(PixelHash(a[0].image), PixelHash(b[0].image));
    EXPECT_EQ(whole.Replies(), split.Replies());
    EXPECT_EQ(whole.model.Status().commandsSkipped, split.model.Status().commandsSkipped);
    // Text runs may be logged in pieces when split; commands are logged identically.
    auto commands = [](const std::vector<CommandRecord>& log) {
        std::vector<std::string> out;
        for (const auto& r : log)
            if (r.mnemonic != "TEXT")
                out.push_back(std::to_string(r.offset) + " " + r.mnemonic + " " + r.params);
        return out;
    };
    EXPECT_EQ(commands(wholeLog), commands(splitLog));
    EXPECT_GT(commands(wholeLog).size(), 25u);
}

TEST(Parsing, CommandLogNamesEachCommandAtItsOffset) {
    Rig r;
    std::vector<CommandRecord> log;
    r.model.SetCommandLog([&](const CommandRecord& c) { log.push_back(c); });
    r.Send(B({0x1B, 0x40}) + "Hi\n" + B({0x1D, 0x56, 0x31}));
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].offset, 0u);
    EXPECT_EQ(log[0].mnemonic, "ESC @");
    EXPECT_EQ(log[1].offset, 2u);
    EXPECT_EQ(log[1].mnemonic, "TEXT");
    EXPECT_EQ(log[1].params, "\"Hi\"");
    EXPECT_EQ(log[2].mnemonic, "LF");
    EXPECT_EQ(log[3].offset, 5u);
    EXPECT_EQ(log[3].mnemonic, "GS V");
    EXPECT_EQ(log[3].params, "m=49");
}

TEST(Parsing, CommandsNotActedOnAreSkippedByTheirLength) {
    Rig r;
    // Length-prefixed blocks whose payload looks like text must vanish whole.
    std::string s = B({0x1B, 0x40});
    s += B({0x1D, 0x28, 0x6B, 5, 0}) + "XXXXX";               // GS ( k, 5 bytes
    s += B({0x1D, 0x38, 0x4C, 3, 0, 0, 0}) + "XXX";           // GS 8 L, 32-bit length
    s += B({0x1C, 0x28, 0x41, 2, 0}) + "XX";                  // FS ( A
    s += B({0x1B, 0x28, 0x41, 3, 0}) + "XXX";                 // ESC ( A
    s += B({0x1D, 0x2A, 1, 1}) + std::string(8, 'X');         // GS * 8x8 download
    s += B({0x1C, 0x32, 0x21, 0x21}) + std::string(72, 'X');  // FS 2 user kanji
    s += B({0x10, 0x14, 0x08, 1, 3, 20, 1, 6, 2, 8});         // DLE DC4 fn 8
    s += "\n";
    r.Send(s);
    EXPECT_TRUE(Content(r.Print("")).Empty());
    EXPECT_EQ(r.model.Status().commandsSkipped, 7u);
    // An unknown ESC/GS code skips itself only; what follows prints.
    const auto img = r.Print(B({0x1B, 0x01}) + "A" + B({0x1D, 0x01}) + "B\n");
    EXPECT_GE(Content(img).right, 12);  // two cells: A and B
    EXPECT_LT(Content(img).right, 24);
    // GS k with an unknown symbology or n = 0 is abandoned; the rest is text.
    const auto text = r.Print(B({0x1D, 0x6B, 90}) + "C" + B({0x1D, 0x6B, 70, 0}) + "D\n");
    EXPECT_EQ(text.height, 30 + 2);
    EXPECT_GE(Content(text).right, 12);
    EXPECT_LT(Content(text).right, 24);
}

// A drawing is rasterised later, on another thread, after the model has gone on printing,
// redefined its user glyphs and NV images, or is gone: it must own every picture it shows.
TEST(Drawings, OutliveTheModelAndRenderAsTheReceiptWouldHave) {
    const std::string userGlyph = B({0x1B, 0x26, 3, 0x41, 0x41, 2, 0xFF, 0xFF, 0xFF, 0x80, 0, 0});
    const std::string data = Kitchen() + userGlyph + B({0x1B, 0x25, 1}) + "AA\n" +
                             B({0x1B, 0x45, 1, 0x1B, 0x2D, 2, 0x1D, 0x42, 1}) + "bold\n" +
                             B({0x1D, 0x56, 0x00});
    Rig reference;
    reference.Send(data);
    const auto receipts = reference.model.TakeFinishedReceipts();
    ASSERT_EQ(receipts.size(), 2u);

    auto rig = std::make_unique<Rig>();
    rig->Send(data);
    rig->Send("pending");
    const Image pending = rig->model.Snapshot();
    const DrawnReceipt pendingDrawing = rig->model.SnapshotDrawing();
    const auto drawings = rig->model.TakeFinishedDrawings();
    EXPECT_TRUE(rig->model.TakeFinishedDrawings().empty());
    // Everything a drawing points at is replaced or dropped here.
    rig->Send(B({0x1B, 0x26, 3, 0x41, 0x41, 2, 0x0F, 0, 0, 0x01, 0, 0}) +
              B({0x1C, 0x71, 1, 1, 0, 1, 0}) + std::string(8, '\x11') + "AA\n" +
              B({0x1D, 0x56, 0x00}));
    rig->model.Reset(rig->now);
    rig.reset();

    ASSERT_EQ(drawings.size(), receipts.size());
    for (std::size_t i = 0; i < drawings.size(); ++i) {
        EXPECT_EQ(drawings[i].index, receipts[i].index);
        EXPECT_EQ(drawings[i].cut, receipts[i].cut);
        EXPECT_GT(drawings[i].Bytes(), 0u);
        EXPECT_EQ(PixelHash(drawings[i].Render()), PixelHash(receipts[i].image)) << i;
    }
    EXPECT_EQ(PixelHash(pendingDrawing.Render()), PixelHash(pending));
    EXPECT_EQ(DrawnReceipt{}.Render().dots.size(), 0u);
}

TEST(Bounds, HugeRasterIsStreamedAndClipped) {
    ModelOptions o;
    o.maxReceiptDots = 2048;
    Rig r(o);
    // Declares 65535 x 65535 bytes (4 GB); only what fits is kept and the stream goes on.
    r.Send(B({0x1D, 0x76, 0x30, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    const std::string block(1 << 16, '\xFF');
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(r.Send(block), block.size());
        ASSERT_LE(r.model.Status().bytesBuffered, o.receiveBufferBytes);
    }
    EXPECT_EQ(r.model.Status().bytesProcessed, 8u + 64 * block.size());
    EXPECT_EQ(r.model.Status().currentReceiptDots, 0);  // still inside the image data
    r.model.SetPower(false, r.now);                     // abandons it
    r.model.SetPower(true, r.now);
    const auto img = r.Print("after\n");
    EXPECT_EQ(img.height, 30 + 2);
}

TEST(Bounds, EndlessTextIsCutIntoSegmentsAndTheQueueIsBounded) {
    ModelOptions o;
    o.maxReceiptDots = 600;
    o.maxQueuedReceipts = 2;
    Rig r(o);
    for (int i = 0; i < 200; ++i)
        r.Send("line without a cut\n");
    const auto st = r.model.Status();
    EXPECT_EQ(st.receiptsFinished, 10);  // 6000 dots in 600-dot segments
    EXPECT_EQ(st.receiptsDropped, 8);
    const auto receipts = r.model.TakeFinishedReceipts();
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_EQ(receipts[1].index, 10);
    EXPECT_EQ(receipts[1].cut, CutKind::None);
    EXPECT_EQ(receipts[1].image.height, 600);
}

TEST(Bounds, RepliesToAHostThatNeverReadsAreCapped) {
    Rig r;
    std::string polls;
    for (int i = 0; i < 70000; ++i)
        polls += B({0x10, 0x04, 0x01});
    r.Send(polls);
    const std::string replies = r.model.TakeReplies();
    EXPECT_EQ(replies.size(), 64u * 1024);
    EXPECT_EQ(replies.back(), '\x12');
}

TEST(Bounds, PageModeWithoutEndStaysOnePage) {
    Rig r;
    std::string s = B({0x1B, 0x4C});
    for (int i = 0; i < 5000; ++i)
        s += "more and more page text\n" + B({0x1D, 0x24, 0, 0});
    r.Send(s + B({0x0C}));
    EXPECT_EQ(r.model.Status().currentReceiptDots, 1662);
    EXPECT_FALSE(r.model.Status().pageMode);
    // ESC W outside the paper or of zero size is refused.
    r.Send(B({0x1B, 0x4C, 0x1B, 0x57, 0, 0x10, 0, 0, 10, 0,  10,
              0,    0x1B, 0x57, 0,    0, 0,    0, 0, 0,  10, 0}));
    EXPECT_EQ(r.model.Status().commandsSkipped, 2u);
}

TEST(Modes, InitialiseResetsModesButKeepsNvImagesAndPaper) {
    Rig r;
    r.Send(B({0x1C, 0x71, 1, 1, 0, 1, 0}) + std::string(8, '\xFF'));
    r.Send(B({0x1B, 0x74, 2, 0x1D, 0x21, 0x77, 0x1B, 0x4C}) + "x");
    r.Send(B({0x1B, 0x40}));
    const auto st = r.model.Status();
    EXPECT_FALSE(st.pageMode);
    EXPECT_EQ(st.codeTable, 0);
    const auto img = r.Print("H\n" + B({0x1C, 0x70, 1, 0}));
    EXPECT_EQ(img.height, 30 + 8 + 2);  // normal size text, then the 8x8 image
}

TEST(Modes, FeedsSpacingAndMargins) {
    Rig r;
    // ESC J n feeds n dots (at least the line), ESC d n lines of the current spacing, ESC 3
    // changes the spacing, ESC 2 restores 30; CR and GS FF move nothing on roll paper.
    r.Send(B({0x1B, 0x4A, 100, 0x1B, 0x33, 40, 0x1B, 0x64, 2, 0x0D, 0x1D, 0x0C}));
    EXPECT_EQ(r.model.Status().currentReceiptDots, 100 + 80);
    r.Send("x" + B({0x1B, 0x4A, 0}));
    EXPECT_EQ(r.model.Status().currentReceiptDots, 180 + 24);
    r.Send(B({0x1B, 0x32}) + "\n");
    EXPECT_EQ(r.model.Status().currentReceiptDots, 204 + 30);
    r.model.TakeFinishedReceipts();
    r.model.FinishPending();
    r.model.TakeFinishedReceipts();

    // GS L moves the line start; GS W narrows the line, so text wraps sooner.
    const auto margin = r.Print(B({0x1D, 0x4C, 100, 0, 0x1D, 0x57, 48, 0}) + "ABCDE\n");
    EXPECT_GE(Content(margin).left, 100);
    EXPECT_LT(Content(margin).right, 148);
    EXPECT_EQ(margin.height, 2 * 30 + 2);
    // Font B is 9x17 (9x24 on a two-font model); either cell is drawn whole at the line top.
    ModelOptions two;
    two.twoFontModel = true;
    Rig t(two);
    const auto b17 = r.Print(B({0x1B, 0x40, 0x1B, 0x4D, 1}) + "$\n");
    const auto b24 = t.Print(B({0x1B, 0x4D, 1}) + "$\n");
    EXPECT_EQ(Crop(b17, 0, 0, 9, 17), GlyphSource::ForCell(9, 17).Glyph(U'$'));
    EXPECT_EQ(Crop(b24, 0, 0, 9, 24), GlyphSource::ForCell(9, 24).Glyph(U'$'));
    EXPECT_EQ(b17.height, 30 + 2);
}

TEST(Modes, UpsideDownAppliesToNvImagesAndBarcodes) {
    Rig r;
    r.Send(B({0x1C, 0x71, 1, 1, 0, 1, 0}) + B({0x80, 0, 0, 0, 0, 0, 0, 0}));  // top-left dot
    const auto logo = r.Print(B({0x1B, 0x7B, 1, 0x1C, 0x70, 1, 0}));
    EXPECT_EQ(logo.At(7, 7), kBlack);  // turned half round within its 8x8 box
    EXPECT_EQ(Content(logo).count, 1);
    const std::string code = B({0x1D, 0x48, 1, 0x1D, 0x68, 40, 0x1D, 0x6B, 69, 1}) + "1";
    const auto up = r.Print(B({0x1B, 0x40}) + code);
    const auto down = r.Print(B({0x1B, 0x7B, 1}) + code);
    EXPECT_LT(Content(up).top, 20);               // HRI above the bars...
    EXPECT_FALSE(Ink(down, 255, 0, 40).Empty());  // ...and below them when turned
    EXPECT_NE(PixelHash(up), PixelHash(down));
    EXPECT_EQ(up.height, down.height);
}

TEST(Modes, TabsDefaultAndSet) {
    Rig r;
    const auto def = r.Print(B({0x09}) + "A\n");
    EXPECT_EQ(Content(def).left, 96 + 1);  // 8 font A cells; the glyph starts one dot in
    const auto set = r.Print(B({0x1B, 0x44, 3, 10, 0, 0x09, 0x41, 0x09, 0x41, 0x09}) + "B\n");
    EXPECT_EQ(Ink(set, 255, 0, 24).left, 36 + 1);
    EXPECT_LT(Ink(set, 255, 0, 24).right, 132 + 12);  // no third stop: HT ignored, B follows
}

TEST(Replies, IdentificationAndStatusRequestsKeepTheirBitPatterns) {
    Rig r;
    r.model.SetPaper(PaperState::Out, r.now);
    r.model.SetPaper(PaperState::NearEnd, r.now);
    r.Send(B({0x1D, 0x72, 1, 0x1D, 0x72, 2, 0x1D, 0x49, 1, 0x1D, 0x49, 2}));
    const std::string raw = r.model.TakeReplies();
    ASSERT_EQ(raw.size(), 4u);
    EXPECT_EQ(Hex(raw), "03 00 20 02");
    for (char c : raw)
        EXPECT_EQ(static_cast<std::uint8_t>(c) & 0x90, 0);  // never an ASB first byte
    r.Send(B({0x1D, 0x49, 0x42}));
    const std::string maker = r.model.TakeReplies();
    EXPECT_EQ(maker.front(), '_');
    EXPECT_EQ(maker.back(), '\0');
}

TEST(Modes, StatusTextDescribesTheState) {
    Rig r;
    r.model.SetCover(true, r.now);
    const std::string text = r.model.StatusText();
    EXPECT_NE(text.find("cover: open"), std::string::npos);
    EXPECT_NE(text.find("online: no"), std::string::npos);
    EXPECT_NE(text.find("status-block: 38 00 00 00"), std::string::npos);
}

}  // namespace
}  // namespace thermpos::vprinter::test
