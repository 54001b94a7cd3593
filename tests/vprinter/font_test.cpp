// PSF fonts: both file formats with their unicode tables, gzip, hostile files, and the
// cells the printer fonts get from the installed Terminus sizes or the fallback.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "vprinter/psf.h"

namespace thermpos::vprinter {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/thermpos-font-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path_); }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

// A PSF1 font of 256 8x4 glyphs, glyph g filled with byte g; table: glyph 65 is 'A' and
// U+0391, glyph 66 is U+20AC followed by a sequence that must not be mapped.
std::vector<std::uint8_t> MakePsf1() {
    std::vector<std::uint8_t> v = {0x36, 0x04, 0x02, 4};
    for (int g = 0; g < 256; ++g)
        for (int r = 0; r < 4; ++r)
            v.push_back(static_cast<std::uint8_t>(g));
    auto u16 = [&v](std::uint16_t x) {
        v.push_back(x & 0xFF);
        v.push_back(x >> 8);
    };
    for (int g = 0; g < 256; ++g) {
        if (g == 65) {
            u16('A');
            u16(0x0391);
        } else if (g == 66) {
            u16(0x20AC);
            u16(0xFFFE);
            u16('e');
            u16(0x0301);
        }
        u16(0xFFFF);
    }
    return v;
}

// A PSF2 font of 3 glyphs 10x2 (2 bytes per row) with a UTF-8 table.
std::vector<std::uint8_t> MakePsf2(std::uint32_t width = 10, std::uint32_t charSize = 4) {
    std::vector<std::uint8_t> v;
    Put32(v, 0x864AB572u);
    Put32(v, 0);
    Put32(v, 32);
    Put32(v, 1);  // has a unicode table
    Put32(v, 3);
    Put32(v, charSize);
    Put32(v, 2);
    Put32(v, width);
    for (int g = 0; g < 3; ++g)
        for (int r = 0; r < 2; ++r) {
            v.push_back(g == 1 ? 0xFF : 0x00);
            v.push_back(g == 1 ? 0xC0 : 0x00);
        }
    // glyph 0: '?', glyph 1: U+20AC and U+00A4, glyph 2: U+1F600 (4-byte UTF-8)
    for (int b : {int{'?'}, 0xFF, 0xE2, 0x82, 0xAC, 0xC2, 0xA4, 0xFF, 0xF0, 0x9F, 0x98, 0x80, 0xFF})
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void WriteGz(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size()));
    gzclose(f);
}

TEST(PsfParse, Psf1GlyphsAndUnicodeTable) {
    PsfFont font;
    std::string error;
    ASSERT_TRUE(ParsePsf(MakePsf1(), &font, &error)) << error;
    EXPECT_EQ(font.width, 8);
    EXPECT_EQ(font.height, 4);
    EXPECT_EQ(font.glyphCount, 256);
    EXPECT_EQ(font.Find(U'A'), 65);
    EXPECT_EQ(font.Find(0x0391), 65);
    EXPECT_EQ(font.Find(0x20AC), 66);
    EXPECT_EQ(font.Find(U'e'), -1);  // only part of a sequence
    EXPECT_EQ(font.Find(U'B'), -1);
    // Glyph 0x81 = 1000 0001: ink at both ends of every row.
    EXPECT_TRUE(font.Ink(0x81, 0, 3));
    EXPECT_TRUE(font.Ink(0x81, 7, 0));
    EXPECT_FALSE(font.Ink(0x81, 1, 0));
}

TEST(PsfParse, Psf2WideGlyphsAndUtf8Table) {
    PsfFont font;
    std::string error;
    ASSERT_TRUE(ParsePsf(MakePsf2(), &font, &error)) << error;
    EXPECT_EQ(font.width, 10);
    EXPECT_EQ(font.bytesPerRow, 2);
    EXPECT_EQ(font.Find(0x20AC), 1);
    EXPECT_EQ(font.Find(0x00A4), 1);
    EXPECT_EQ(font.Find(0x1F600), 2);
    EXPECT_TRUE(font.Ink(1, 9, 1));  // second byte of the row
    EXPECT_FALSE(font.Ink(0, 9, 1));
}

TEST(PsfParse, RefusesDamagedOrHostileFiles) {
    PsfFont font;
    std::string error;
    auto bad = [&](std::vector<std::uint8_t> bytes) {
        error.clear();
        const bool ok = ParsePsf(bytes, &font, &error);
        return !ok && !error.empty();
    };
    EXPECT_TRUE(bad({}));
    EXPECT_TRUE(bad({0x36, 0x04, 0x00}));
    auto truncated = MakePsf1();
    truncated.resize(4 + 100);
    EXPECT_TRUE(bad(truncated));
    EXPECT_TRUE(bad({0x36, 0x04, 0x00, 0x00}));  // zero height
    EXPECT_TRUE(bad(MakePsf2(10, 5)));           // glyph size disagrees with 10x2
    EXPECT_TRUE(bad(MakePsf2(100000, 25000)));   // absurd width
    auto badUtf8 = MakePsf2();
    badUtf8[badUtf8.size() - 4] = 0x41;  // continuation byte replaced
    EXPECT_TRUE(bad(badUtf8));
    auto hugeHeader = MakePsf2();
    hugeHeader[8] = 0xFF;
    hugeHeader[9] = 0xFF;
    EXPECT_TRUE(bad(hugeHeader));
    // A table cut short maps what it has and keeps the glyphs.
    auto shortTable = MakePsf1();
    shortTable.resize(shortTable.size() - 300);
    EXPECT_TRUE(ParsePsf(shortTable, &font, &error));
    EXPECT_EQ(font.Find(U'A'), 65);
}

TEST(PsfLoad, ReadsPlainAndGzipFiles) {
    TempDir dir;
    const std::string plain = dir.Path() + "/a.psf";
    const std::string packed = dir.Path() + "/a.psf.gz";
    WriteFile(plain, MakePsf2());
    WriteGz(packed, MakePsf2());
    PsfFont a;
    PsfFont b;
    std::string error;
    ASSERT_TRUE(LoadPsfFile(plain, &a, &error)) << error;
    ASSERT_TRUE(LoadPsfFile(packed, &b, &error)) << error;
    EXPECT_EQ(a.bitmaps, b.bitmaps);
    EXPECT_EQ(b.Find(0x20AC), 1);
    EXPECT_FALSE(LoadPsfFile(dir.Path() + "/missing.psf.gz", &a, &error));
    EXPECT_NE(error.find("missing.psf.gz"), std::string::npos);
}

TEST(CellFonts, FallbackWhenNoFontIsInstalled) {
    TempDir empty;
    auto cell = CellFont::Create(12, 24, empty.Path());
    ASSERT_TRUE(cell);
    EXPECT_TRUE(cell->UsesFallback());
    const auto a = cell->Glyph(U'A');
    ASSERT_EQ(a.size(), 12u * 24u);
    EXPECT_GT(std::count(a.begin(), a.end(), 1), 10);
    const auto space = cell->Glyph(U' ');
    EXPECT_EQ(std::count(space.begin(), space.end(), 1), 0);
    // A character outside the built-in set is drawn visibly, never left blank.
    const auto euro = cell->Glyph(0x20AC);
    EXPECT_GT(std::count(euro.begin(), euro.end(), 1), 0);
    // Even a cell smaller than the built-in glyphs stays in bounds.
    auto tiny = CellFont::Create(3, 3, empty.Path());
    EXPECT_EQ(tiny->Glyph(U'W').size(), 9u);
}

class InstalledTerminus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kDir + "/Uni2-Terminus24x12.psf.gz"))
            GTEST_SKIP() << "console-setup-linux fonts not installed";
    }
    const std::string kDir = "/usr/share/consolefonts";
};

TEST_F(InstalledTerminus, PrinterCellsGetTheNearestSizeThatFits) {
    auto a = CellFont::Create(12, 24, kDir);
    EXPECT_FALSE(a->UsesFallback());
    EXPECT_EQ(a->FontWidth(), 12);
    EXPECT_EQ(a->FontHeight(), 24);
    // Font B 9x17 and 9x24 and font C 8x16 all take the 8x16 face.
    for (auto [w, h] : {std::pair{9, 17}, {9, 24}, {8, 16}}) {
        auto cell = CellFont::Create(w, h, kDir);
        EXPECT_EQ(cell->FontWidth(), 8) << w << "x" << h;
        EXPECT_EQ(cell->FontHeight(), 16) << w << "x" << h;
        EXPECT_EQ(cell->CellWidth(), w);
        EXPECT_EQ(cell->CellHeight(), h);
    }
    // The 8x16 face in a 9x17 cell leaves the last column and row blank for every glyph.
    auto b = CellFont::Create(9, 17, kDir);
    for (char32_t c = 0x20; c < 0x7F; ++c) {
        const auto g = b->Glyph(c);
        ASSERT_EQ(g.size(), 9u * 17u);
        for (int y = 0; y < 17; ++y)
            EXPECT_EQ(g[static_cast<std::size_t>(y) * 9 + 8], 0) << static_cast<int>(c);
        for (int x = 0; x < 9; ++x)
            EXPECT_EQ(g[16u * 9 + static_cast<std::size_t>(x)], 0) << static_cast<int>(c);
    }
}

TEST_F(InstalledTerminus, CodePointsMapThroughTheUnicodeTable) {
    const GlyphSource& a = GlyphSource::ForCell(12, 24);
    EXPECT_EQ(&a, &GlyphSource::ForCell(12, 24));  // cached
    const auto unknown = a.Glyph(0xE000);          // private use: not in the font
    const auto replacement = a.Glyph(0xFFFD);
    EXPECT_EQ(unknown, replacement);
    for (char32_t cp : {U'A', char32_t{0x20AC}, char32_t{0x00E9}, char32_t{0x2554},
                        char32_t{0x0416}, char32_t{0x25A0}}) {
        const auto g = a.Glyph(cp);
        EXPECT_NE(g, replacement) << std::hex << static_cast<unsigned>(cp);
        EXPECT_GT(std::count(g.begin(), g.end(), 1), 0);
    }
    EXPECT_NE(a.Glyph(U'A'), a.Glyph(U'B'));
    EXPECT_EQ(a.Glyph(0x00A0), a.Glyph(U' '));
}

}  // namespace
}  // namespace thermpos::vprinter
