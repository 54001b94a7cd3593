// What lands on the paper: text attributes, code tables, images, bar codes, page mode,
// rotation and colour. Each reference receipt is pinned by its pixel hash; the structural
// checks beside each hash say what the picture must show, so a changed hash can be judged.
// THERMPOS_GOLDEN_DIR=<dir> writes every reference receipt there as PNG for inspection.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/vprinter/model_test_util.h"
#include "vprinter/font.h"

namespace thermpos::vprinter::test {
namespace {

const std::string kInit = B({0x1B, 0x40});
const std::string kCut = B({0x1D, 0x56, 0x00});

// Compares with the pinned hash; an empty pin only reports the value (for new goldens).
void ExpectGolden(const Image& img, const char* name, const char* hash) {
    if (const char* dir = std::getenv("THERMPOS_GOLDEN_DIR")) {
        std::string error;
        EXPECT_TRUE(WritePng(std::string(dir) + "/" + name + ".png", img, &error)) << error;
    }
    const std::string actual = PixelHash(img);
    if (*hash == 0) {
        ADD_FAILURE() << "no golden for " << name << ": " << actual;
        return;
    }
    EXPECT_EQ(actual, hash) << name;
}

std::vector<std::uint8_t> GlyphCell(char32_t cp, int w = 12, int h = 24) {
    return GlyphSource::ForCell(w, h).Glyph(cp);
}

// Rotates a w x h 0/1 cell by a quarter turn clockwise.
std::vector<std::uint8_t> RotateCw(const std::vector<std::uint8_t>& c, int w, int h) {
    std::vector<std::uint8_t> out(c.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out[static_cast<std::size_t>(x) * h + (h - 1 - y)] = c[y * w + x];
    return out;
}

TEST(RenderText, EveryAttributeAndSize) {
    Rig r;
    std::string s = kInit;
    s += "Font A normal\n";
    s += B({0x1B, 0x4D, 1}) + "Font B normal\n" + B({0x1B, 0x4D, 2}) + "Font C normal\n";
    s += B({0x1B, 0x4D, 0}) + B({0x1B, 0x45, 1}) + "Bold" + B({0x1B, 0x45, 0}) + "\n";
    s += B({0x1B, 0x2D, 1}) + "Under 1" + B({0x1B, 0x2D, 2}) + " Under 2" + B({0x1B, 0x2D, 0}) +
         "\n";
    s += B({0x1D, 0x42, 1}) + "Reverse" + B({0x1D, 0x42, 0}) + "\n";
    s += B({0x1B, 0x20, 4}) + "Spaced" + B({0x1B, 0x20, 0}) + "\n";
    for (int k = 0; k < 8; ++k)
        s += B({0x1D, 0x21, k * 0x11}) + static_cast<char>('1' + k);
    s += B({0x1D, 0x21, 0}) + "\n";
    s += B({0x1B, 0x61, 1}) + "centre\n" + B({0x1B, 0x61, 2}) + "right\n" + B({0x1B, 0x61, 0});
    s += B({0x1B, 0x21, 0x38}) + "ESC ! wide tall bold\n" + B({0x1B, 0x21, 0});
    const Image img = r.Print(s);
    ASSERT_EQ(img.width, 576);
    // 9 lines of 30 dots, the size line 8 x 24 = 192 tall, the ESC ! line 48, cut mark 2.
    EXPECT_EQ(img.height, 9 * 30 + 192 + 48 + 2);
    EXPECT_EQ(Content(img, kRed).count, 0);
    ExpectGolden(img, "text_attributes", "ac36acfa79ebc0ef");
}

TEST(RenderText, AttributesChangeTheCellAsPrinted) {
    Rig r;
    const auto plain = r.Print(kInit + "H\n");
    const auto bold = r.Print(kInit + B({0x1B, 0x45, 1}) + "H\n");
    const auto under = r.Print(kInit + B({0x1B, 0x2D, 2}) + "H\n");
    const auto reverse = r.Print(kInit + B({0x1D, 0x42, 1}) + "H\n");
    const auto big = r.Print(kInit + B({0x1D, 0x21, 0x21}) + "H\n");

    // The plain cell is the font's glyph, exactly, at the left margin.
    EXPECT_EQ(Crop(plain, 0, 0, 12, 24), GlyphCell(U'H'));
    EXPECT_GT(Content(bold).count, Content(plain).count);
    EXPECT_EQ(Content(bold).right, Content(plain).right + 1);  // struck again one dot right
    // Two dots of underline across the whole cell, independent of the glyph.
    EXPECT_EQ(Ink(under, 255, 22, 24).count, 2 * 12);
    // Reverse: every dot of the cell inverted.
    const auto cell = GlyphCell(U'H');
    auto inverted = Crop(reverse, 0, 0, 12, 24);
    for (std::size_t i = 0; i < cell.size(); ++i)
        EXPECT_EQ(inverted[i], cell[i] ^ 1) << i;
    // Triple width, double height: each glyph dot becomes 3 x 2, bottom-aligned in 48 rows.
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 12; ++x)
            EXPECT_EQ(big.At(3 * x + 2, 2 * y + 1) == kBlack, cell[y * 12 + x] == 1)
                << x << "," << y;
}

TEST(RenderText, JustificationAndWrapping) {
    Rig r;
    const auto centre = r.Print(kInit + B({0x1B, 0x61, 1}) + "II\n");
    const auto right = r.Print(kInit + B({0x1B, 0x61, 0x32}) + "II\n");
    const InkBox c = Content(centre), rt = Content(right);
    EXPECT_NEAR((c.left + c.right) / 2.0, 288, 12);
    EXPECT_GT(rt.right, 576 - 12);
    // 49 font A characters: 48 fit, the 49th starts a second line.
    const auto wrapped = r.Print(kInit + std::string(49, 'X') + "\n");
    EXPECT_EQ(wrapped.height, 2 * 30 + 2);
    EXPECT_FALSE(Ink(wrapped, 255, 30, 60).Empty());
    // Justification is only taken at the beginning of a line.
    const auto late = r.Print(kInit + "I" + B({0x1B, 0x61, 2}) + "I\n");
    EXPECT_LT(Content(late).right, 24);
}

TEST(RenderText, CodeTable850And437DifferForTheSameByte) {
    Rig r;
    const auto t437 = r.Print(kInit + B({0x1B, 0x74, 0, 0x9B}) + "\n");
    const auto t850 = r.Print(kInit + B({0x1B, 0x74, 2, 0x9B}) + "\n");
    EXPECT_EQ(Crop(t437, 0, 0, 12, 24), GlyphCell(U'\u00A2'));  // cent sign
    EXPECT_EQ(Crop(t850, 0, 0, 12, 24), GlyphCell(U'\u00F8'));  // o with stroke
    EXPECT_NE(PixelHash(t437), PixelHash(t850));
    ExpectGolden(t437, "codetable_437", "e78c557e45ea6e17");
    ExpectGolden(t850, "codetable_850", "69b72f08a6035790");
    // International set Germany puts A-umlaut at 5B; a table number not known is ignored.
    const auto de = r.Print(kInit + B({0x1B, 0x52, 2, 0x5B, 0x1B, 0x74, 200}) + "\n");
    EXPECT_EQ(Crop(de, 0, 0, 12, 24), GlyphCell(U'\u00C4'));
    EXPECT_EQ(r.model.Status().codeTable, 0);
    // The service objects select 1252 as table 9 and 852 as table 6.
    const auto t9 = r.Print(kInit + B({0x1B, 0x74, 9, 0xE9}) + "\n");
    EXPECT_EQ(Crop(t9, 0, 0, 12, 24), GlyphCell(U'\u00E9'));
    const auto t6 = r.Print(kInit + B({0x1B, 0x74, 6, 0xA5}) + "\n");
    EXPECT_EQ(Crop(t6, 0, 0, 12, 24), GlyphCell(U'\u0105'));  // a with ogonek
}

TEST(RenderText, UserDefinedCharacterIsDrawnAsDefined) {
    Rig r;
    // Font A, y = 3, code 'A' only, 2 columns: a full column then a single top dot.
    const std::string def = B({0x1B, 0x26, 3, 0x41, 0x41, 2, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00});
    const auto img = r.Print(kInit + def + B({0x1B, 0x25, 1}) + "A" + B({0x1B, 0x25, 0}) + "A\n");
    EXPECT_EQ(Ink(img, 255, 0, 30).count - Ink(img, 255, 0, 30).count, 0);
    const auto cell = Crop(img, 0, 0, 12, 24);
    int dots = 0;
    for (auto d : cell)
        dots += d;
    EXPECT_EQ(dots, 25);
    EXPECT_EQ(cell[0 * 12 + 1], 1);
    EXPECT_EQ(cell[1 * 12 + 1], 0);
    EXPECT_EQ(Crop(img, 12, 0, 12, 24), GlyphCell(U'A'));  // switched off again
    // Width beyond the cell abandons the definition; the bytes then print as text.
    Rig bad;
    const auto rest = bad.Print(kInit + B({0x1B, 0x26, 3, 0x41, 0x41, 13}) + "AB\n");
    EXPECT_EQ(bad.model.Status().commandsSkipped, 1u);
    EXPECT_EQ(rest.height, 30 + 2);  // 13 is CR, then AB, in the same feed
    EXPECT_EQ(Crop(rest, 0, 0, 12, 24), GlyphCell(U'A'));
}

TEST(RenderText, RotationAndUpsideDown) {
    Rig r;
    const auto normal = r.Print(kInit + "R\n");
    const auto rotated = r.Print(kInit + B({0x1B, 0x56, 1}) + "R\n");
    // Rotated cell: 24 wide, 12 tall, the glyph turned clockwise.
    EXPECT_EQ(Crop(rotated, 0, 0, 24, 12), RotateCw(GlyphCell(U'R'), 12, 24));
    EXPECT_EQ(rotated.height, 30 + 2);

    const std::string text = "Upside down 123";
    const auto up = r.Print(kInit + text + "\n");
    const auto down = r.Print(kInit + B({0x1B, 0x7B, 1}) + text + "\n" + B({0x1B, 0x7B, 0}));
    ASSERT_EQ(up.height, down.height);
    // The upside-down line is the normal line turned half round within its 24-dot height.
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 576; ++x)
            ASSERT_EQ(up.At(x, y), down.At(575 - x, 23 - y)) << x << "," << y;
    ExpectGolden(down, "upside_down", "55f4f159a349bf75");
    (void)normal;
}

TEST(RenderText, SecondColourBothWays) {
    Rig r;
    const auto red =
        r.Print(kInit + B({0x1D, 0x28, 0x4E, 2, 0, 0x30, 50}) + "red" +
                B({0x1D, 0x28, 0x4E, 2, 0, 0x30, 49}) + " black\n" + B({0x1B, 0x7E, 0x4A, 1}) +
                "red again" + B({0x1B, 0x7E, 0x4A, 0}) + "\n");
    const InkBox redInk = Content(red, kRed), black = Content(red, kBlack);
    EXPECT_FALSE(redInk.Empty());
    EXPECT_LT(redInk.left, 36);
    EXPECT_GT(black.left, 36);
    EXPECT_FALSE(Ink(red, kRed, 30, 60).Empty());
    EXPECT_TRUE(Ink(red, kBlack, 30, 60).Empty());
    ExpectGolden(red, "second_colour", "6dcefac5f98b8197");

    ModelOptions mono;
    mono.twoColour = false;
    Rig m(mono);
    EXPECT_TRUE(Ink(m.Print(B({0x1D, 0x28, 0x4E, 2, 0, 0x30, 50}) + "x\n"), kRed).Empty());
}

// An 16x4 test pattern, rows top first: each row a different byte pair.
const std::string kPattern = B({0xF0, 0x0F, 0xAA, 0x55, 0x81, 0x18, 0xFF, 0x00});

TEST(RenderImage, RasterIsBitExactInEveryMode) {
    for (int mode = 0; mode < 4; ++mode) {
        Rig r;
        const auto img = r.Print(kInit + B({0x1D, 0x76, 0x30, mode, 2, 0, 4, 0}) + kPattern);
        const int sx = (mode & 1) ? 2 : 1, sy = (mode & 2) ? 2 : 1;
        ASSERT_EQ(img.height, 4 * sy + 2) << mode;
        for (int y = 0; y < 4 * sy; ++y)
            for (int x = 0; x < 16 * sx; ++x) {
                const auto byte = static_cast<std::uint8_t>(kPattern[(y / sy) * 2 + (x / sx) / 8]);
                const bool set = byte & (0x80 >> ((x / sx) % 8));
                ASSERT_EQ(img.At(x, y) == kBlack, set)
                    << "mode " << mode << " at " << x << "," << y;
            }
        EXPECT_EQ(Ink(img, 255, 0, 4 * sy).right, 16 * sx - 1);
        if (mode == 0)
            ExpectGolden(img, "raster", "15e3070b39f12d71");
    }
}

TEST(RenderImage, RasterIsCentredAndClippedAtTheEdge) {
    Rig r;
    const auto centred = r.Print(kInit + B({0x1B, 0x61, 1, 0x1D, 0x76, 0x30, 0, 1, 0, 1, 0, 0xFF}));
    EXPECT_EQ(Ink(centred, 255, 0, 1).left, (576 - 8) / 2);
    // 100 bytes wide = 800 dots on a 576-dot head: the right part is dropped.
    std::string wide = kInit + B({0x1D, 0x76, 0x30, 0, 100, 0, 1, 0}) + std::string(100, '\xFF');
    const auto clipped = r.Print(wide + "after\n");
    EXPECT_EQ(Ink(clipped, 255, 0, 1).count, 576);
    EXPECT_FALSE(Ink(clipped, 255, 1, 31).Empty());  // data after the image is text again
}

TEST(RenderImage, NvImageDefinedThenPrinted) {
    Rig r;
    // One image 8x16 (x = 1, y = 2): column c holds bytes for rows 0-7 then 8-15.
    std::string data;
    for (int c = 0; c < 8; ++c) {
        data.push_back(static_cast<char>(0x80 >> c));             // diagonal in the top half
        data.push_back(static_cast<char>(c == 0 ? 0xFF : 0x00));  // left column of the lower half
    }
    r.Send(kInit + B({0x1C, 0x71, 1, 1, 0, 2, 0}) + data);
    const auto img = r.Print(B({0x1C, 0x70, 1, 0}));
    ASSERT_EQ(img.height, 16 + 2);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 8; ++x) {
            const bool expect = y < 8 ? x == y : x == 0;
            ASSERT_EQ(img.At(x, y) == kBlack, expect) << x << "," << y;
        }
    ExpectGolden(img, "nv_image", "ff265e413522575d");
    const auto quad = r.Print(B({0x1C, 0x70, 1, 3}));
    EXPECT_EQ(quad.height, 32 + 2);
    EXPECT_EQ(Content(quad).count, 4 * Ink(img, 255, 0, 16).count);
    // Undefined image numbers print nothing.
    r.Send(B({0x1C, 0x70, 2, 0}));
    EXPECT_EQ(r.model.Status().currentReceiptDots, 0);
}

TEST(RenderImage, NvDefinitionReplacesTheWholeSetOrNothing) {
    Rig r;
    const std::string img8 = B({1, 0, 1, 0}) + std::string(8, '\xFF');
    r.Send(B({0x1C, 0x71, 2}) + img8 + img8);
    EXPECT_EQ(r.model.SaveNvImages()[4], 2);
    r.Send(B({0x1C, 0x71, 1}) + img8);  // replaces both
    EXPECT_EQ(r.model.SaveNvImages()[4], 1);
    r.Send(B({0x1C, 0x71, 1, 0, 0, 1, 0}));  // bad first image: the set stays
    EXPECT_EQ(r.model.SaveNvImages()[4], 1);
    r.Send(B({0x1C, 0x71, 3}) + img8 + img8 + B({0, 0, 1, 0}));  // third bad: two kept
    EXPECT_EQ(r.model.SaveNvImages()[4], 2);

    ModelOptions small;
    small.nvCapacityBytes = 16;
    Rig s(small);
    s.Send(B({0x1C, 0x71, 3}) + img8 + img8 + img8 + "x\n");
    EXPECT_EQ(s.model.SaveNvImages()[4], 2);             // the third does not fit
    EXPECT_EQ(s.model.Status().currentReceiptDots, 30);  // and its data is not printed

    // The set survives a power cycle and round-trips through its saved form.
    const auto blob = r.model.SaveNvImages();
    r.model.SetPower(false, r.now);
    r.model.SetPower(true, r.now);
    EXPECT_EQ(r.model.SaveNvImages(), blob);
    PrinterModel other;
    EXPECT_TRUE(other.LoadNvImages(blob));
    EXPECT_EQ(other.SaveNvImages(), blob);
    auto broken = blob;
    broken.resize(broken.size() - 1);
    EXPECT_FALSE(other.LoadNvImages(broken));
    EXPECT_FALSE(other.LoadNvImages({'T', 'P', 'N', 'V', 1, 0, 0, 8, 0}));
}

TEST(RenderImage, ColumnBitImageSharesTheLine) {
    Rig r;
    // 24-dot double density, 2 columns: first all set, second only the top dot.
    const auto img =
        r.Print(kInit + "A" + B({0x1B, 0x2A, 33, 2, 0, 0xFF, 0xFF, 0xFF, 0x80, 0, 0}) + "\n");
    EXPECT_EQ(Ink(img, 255, 0, 24).right, 13);
    for (int y = 0; y < 24; ++y)
        EXPECT_EQ(img.At(12, y), kBlack) << y;
    EXPECT_EQ(img.At(13, 0), kBlack);
    EXPECT_EQ(img.At(13, 1), kPaper);
    // The driver's zero-width image is a no-op.
    const auto none = r.Print(kInit + B({0x1B, 0x2A, 1, 0, 0}) + "\n");
    EXPECT_TRUE(Content(none).Empty());
}

struct BarcodeCase {
    const char* name;
    int m;
    std::string data;
    const char* hash;
};

TEST(RenderBarcode, AllNineWithHriBelow) {
    const BarcodeCase cases[] = {
        {"upca", 65, "01234567890", "c28da20cf53274d3"},
        {"upce", 66, "01234500005", "aef0688a74c366b7"},
        {"ean13", 67, "490123456789", "52c12d879ca78bb2"},
        {"ean8", 68, "4901234", "a276a4b518b78fb7"},
        {"code39", 69, "ABC-123", "b79c718f870c4b29"},
        {"itf", 70, "123456", "73ac0171ac6b1383"},
        {"codabar", 71, "A1234B", "e07e717a228a9c1a"},
        {"code93", 72, "CODE93", "2cc6150f46b38da8"},
        {"code128", 73, B({'{', 'B', 'N', 'o', '.', '{', 'C', 12, 34, 56}), "4a04f027ce4d55ef"},
    };
    for (const auto& c : cases) {
        Rig r;
        const std::string cmd = kInit +
                                B({0x1D, 0x48, 2, 0x1D, 0x68, 80, 0x1D, 0x77, 2, 0x1D, 0x6B, c.m,
                                   static_cast<int>(c.data.size())}) +
                                c.data;
        const auto img = r.Print(cmd);
        ASSERT_GT(img.height, 80) << c.name;
        EXPECT_EQ(img.height, 80 + 2 + 24 + 2) << c.name;
        // Bars: every row of the bar area is the same; HRI text below it.
        const InkBox bars = Ink(img, 255, 0, 80);
        EXPECT_FALSE(bars.Empty()) << c.name;
        for (int y = 1; y < 80; ++y)
            ASSERT_EQ(Crop(img, 0, y, 576, 1), Crop(img, 0, 0, 576, 1)) << c.name;
        EXPECT_FALSE(Ink(img, 255, 82, 106).Empty()) << c.name;
        EXPECT_EQ(r.model.Status().commandsSkipped, 0u) << c.name;
        ExpectGolden(img, (std::string("barcode_") + c.name).c_str(), c.hash);
    }
}

TEST(RenderBarcode, SettingsAndRefusedData) {
    Rig r;
    const std::string code = B({0x1D, 0x6B, 69, 3}) + "ABC";
    const auto none = r.Print(kInit + B({0x1D, 0x68, 50}) + code);
    EXPECT_EQ(none.height, 50 + 2);
    const auto both = r.Print(kInit + B({0x1D, 0x68, 50, 0x1D, 0x48, 3}) + code);
    EXPECT_EQ(both.height, 24 + 2 + 50 + 2 + 24 + 2);
    const auto narrow = r.Print(kInit + B({0x1D, 0x77, 2}) + code);
    const auto wide = r.Print(kInit + B({0x1D, 0x77, 4}) + code);
    EXPECT_EQ((Content(wide).right - Content(wide).left + 1) * 2,
              (Content(narrow).right - Content(narrow).left + 1) * 4);
    // CODE128 must start with a code set; otherwise the bytes are ordinary text.
    const auto text = r.Print(kInit + B({0x1D, 0x6B, 73, 2}) + "AB\n");
    EXPECT_EQ(text.height, 30 + 2);
    EXPECT_EQ(Crop(text, 0, 0, 12, 24), GlyphCell(U'A'));
}

TEST(RenderPage, FourDirectionsPutTheStartInTheRightCorner) {
    // A 200 x 100 area at (100, 50); "Ab" printed in each direction.
    const std::string area = B({0x1B, 0x57, 100, 0, 50, 0, 200, 0, 100, 0});
    InkBox boxes[4];
    const char* kHashes[4] = {"c2ee2025b7203a1f", "b687c6490fa29293", "9288ea0b75f0f6ff",
                              "038b14dfb0f57ea3"};
    for (int dir = 0; dir < 4; ++dir) {
        Rig r;
        const auto img =
            r.Print(kInit + B({0x1B, 0x4C}) + area + B({0x1B, 0x54, dir}) + "Ab\n" + B({0x0C}));
        ASSERT_EQ(img.height, 150 + 2) << dir;
        boxes[dir] = Content(img);
        EXPECT_GE(boxes[dir].left, 100) << dir;
        EXPECT_LE(boxes[dir].right, 299) << dir;
        EXPECT_GE(boxes[dir].top, 50) << dir;
        EXPECT_LE(boxes[dir].bottom, 149) << dir;
        ExpectGolden(img, ("page_dir" + std::to_string(dir)).c_str(), kHashes[dir]);
        EXPECT_FALSE(r.model.Status().pageMode);
    }
    EXPECT_LT(boxes[0].left, 110);  // upper left, running right
    EXPECT_LT(boxes[0].top, 60);
    EXPECT_GT(boxes[0].right - boxes[0].left, boxes[0].bottom - boxes[0].top);
    EXPECT_LT(boxes[1].left, 110);  // lower left, running up
    EXPECT_GT(boxes[1].bottom, 140);
    EXPECT_GT(boxes[1].bottom - boxes[1].top, boxes[1].right - boxes[1].left);
    EXPECT_GT(boxes[2].right, 290);  // lower right, running left
    EXPECT_GT(boxes[2].bottom, 140);
    EXPECT_GT(boxes[3].right, 290);  // upper right, running down
    EXPECT_LT(boxes[3].top, 60);
    EXPECT_GT(boxes[3].bottom - boxes[3].top, boxes[3].right - boxes[3].left);
}

TEST(RenderPage, CancelReprintAndLeaveWithoutPrinting) {
    Rig r;
    const std::string area = B({0x1B, 0x57, 0, 0, 0, 0, 64, 0, 40, 0});
    // CAN erases what is in the area; ESC FF prints and keeps; ESC S throws away. The
    // second line runs past the 40-dot area and is cut off at its edge.
    r.Send(kInit + B({0x1B, 0x4C}) + area + "gone\n" + B({0x18}) + area + "kept\nclipped\n" +
           B({0x1B, 0x0C}));
    EXPECT_EQ(r.model.Status().currentReceiptDots, 40);
    EXPECT_TRUE(r.model.Status().pageMode);
    r.Send(B({0x1B, 0x0C}));
    EXPECT_EQ(r.model.Status().currentReceiptDots, 80);
    r.Send(B({0x1B, 0x53}));
    EXPECT_FALSE(r.model.Status().pageMode);
    EXPECT_EQ(r.model.Status().currentReceiptDots, 80);
    const auto img = r.Print("");
    EXPECT_EQ(Crop(img, 0, 0, 64, 40), Crop(img, 0, 40, 64, 40));
    EXPECT_FALSE(Ink(img, 255, 30, 40).Empty());
    Rig k;
    const auto kept = k.Print(kInit + "kept\n");
    EXPECT_EQ(Crop(img, 0, 0, 48, 24), Crop(kept, 0, 0, 48, 24));
}

TEST(RenderReceipt, CutsFinishReceiptsWithAMark) {
    Rig r;
    r.Send("one\n" + B({0x1D, 0x56, 0x00}) + "two\n" + B({0x1D, 0x56, 0x42, 10}));
    auto receipts = r.model.TakeFinishedReceipts();
    ASSERT_EQ(receipts.size(), 2u);
    EXPECT_EQ(receipts[0].index, 1);
    EXPECT_EQ(receipts[1].index, 2);
    EXPECT_EQ(receipts[0].cut, CutKind::Full);
    EXPECT_EQ(receipts[1].cut, CutKind::Partial);
    EXPECT_EQ(receipts[1].image.height, 30 + 10 + 2);
    const InkBox full = Ink(receipts[0].image, 255, 30, 32);
    const InkBox partial = Ink(receipts[1].image, 255, 40, 42);
    EXPECT_GT(full.count, partial.count);  // a partial cut leaves its middle
    EXPECT_EQ(Ink(receipts[1].image, 255, 40, 42).count + 0, partial.count);
    // A cut with nothing fed makes no receipt; text not yet fed is not on the paper.
    r.Send(B({0x1D, 0x56, 0x00}));
    EXPECT_TRUE(r.model.TakeFinishedReceipts().empty());
    r.Send("pending\nno line feed yet");
    EXPECT_EQ(r.model.Snapshot().height, 30);
    EXPECT_TRUE(r.model.FinishPending());  // the unfinished line is printed too
    EXPECT_FALSE(r.model.FinishPending());
    receipts = r.model.TakeFinishedReceipts();
    ASSERT_EQ(receipts.size(), 1u);
    EXPECT_EQ(receipts[0].cut, CutKind::None);
    EXPECT_EQ(receipts[0].index, 3);
    EXPECT_EQ(receipts[0].image.height, 60);
    EXPECT_FALSE(Ink(receipts[0].image, 255, 30, 60).Empty());
}

}  // namespace
}  // namespace thermpos::vprinter::test
