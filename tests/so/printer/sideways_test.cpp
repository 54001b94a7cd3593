// Line breaking and measuring of sideways print data, without a device: where lines
// break for each font and character size, the widest-line value, and that commands pass
// whole (a line break inside one would corrupt it).
#include <gtest/gtest.h>

#include <string>

#include "so/printer/SidewaysData.h"

namespace {

constexpr thermpos::so::FontCell kThreeFonts[3] = {{12, 24}, {9, 17}, {8, 16}};
constexpr thermpos::so::FontCell kTwoFonts[3] = {{12, 24}, {9, 24}, {9, 24}};

struct Measured {
    std::string bytes;
    LONG widest = -1;
};

Measured Measure(const std::string& in, int startFont = 0, bool twoFonts = false) {
    Measured m;
    EXPECT_EQ(thermpos::so::MeasureSideways(in, twoFonts ? kTwoFonts : kThreeFonts,
                                            twoFonts ? 2 : 3, startFont, &m.widest, &m.bytes),
              0);
    return m;
}

std::string Text(std::size_t n) {
    return std::string(n, 'x');
}

}  // namespace

TEST(SidewaysMeasure, LinesBreakAfterTheCharacterThatPassesTheLimit) {
    struct Case {
        const char* what;
        std::string prefix;  // selects font or size; the expected output starts with it
        std::string expectedPrefix;
        int startFont;
        std::size_t perLine;  // characters on a full line
        LONG advance;         // of one character, in the breaking measure
        LONG dots;            // of one character along the paper
    };
    const Case cases[] = {
        // (cell width - 1) × 2 per character at the start: 84 × 22 is exactly 1848.
        {"font A", "", "", 0, 85, 22, 12},
        {"font B from the start", "", "", 1, 116, 16, 9},
        {"font C from the start", "", "", 2, 133, 14, 8},
        // After ESC M the advance is 2 × the cell width.
        {"ESC M 1", "\x1BM\x01", "\x1BM\x01", 0, 103, 18, 9},
        {"ESC M '2'", "\x1BM2", "\x1BM2", 0, 116, 16, 8},
        // GS ! doubles the factor per width step, and sets the line step first.
        {"double width", "\x1D!\x10",
         "\x1B"
         "3\x22\x1D!\x10",
         0, 43, 44, 24},
        {"double height", "\x1D!\x01",
         "\x1B"
         "3\x30\x1D!\x01",
         0, 85, 22, 12},
        {"triple both", "\x1D!\x22",
         "\x1B"
         "3\x48\x1D!\x22",
         0, 29, 66, 36},
        {"font B, double width", "\x1D!\x10",
         "\x1B"
         "3\x22\x1D!\x10",
         1, 58, 32, 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t total = c.perLine * 2 + 3;
        const Measured m = Measure(c.prefix + Text(total) + "\n", c.startFont);
        const std::string line(c.perLine, 'x');
        EXPECT_EQ(m.bytes, c.expectedPrefix + line + "\n" + line + "\n" + Text(3) + "\n");
        // The line that passed the limit is the widest; the page must hold all of it.
        EXPECT_GT(static_cast<LONG>(c.perLine) * c.advance, thermpos::so::kSidewaysLineLimit);
        EXPECT_LE(static_cast<LONG>(c.perLine - 1) * c.advance, thermpos::so::kSidewaysLineLimit);
        EXPECT_EQ(m.widest, static_cast<LONG>(c.perLine) * c.dots);
    }

    // On a two-font model every ESC M other than 0 selects font B, 9 dots wide.
    const Measured two = Measure("\x1BM\x02" + Text(200) + "\n", 0, true);
    EXPECT_EQ(two.bytes.find('\n'), 3u + 103u);
    // A size the printer refuses changes nothing, and gets no line step.
    const Measured refused = Measure("\x1D!\x08" + Text(90) + "\n");
    EXPECT_EQ(refused.bytes, "\x1D!\x08" + Text(85) + "\n" + Text(5) + "\n");
}

// In dots along the paper: the printer draws a character as long as its cell is wide.
TEST(SidewaysMeasure, WidestLineOfTheData) {
    EXPECT_EQ(Measure("abc\nabcdef\nab\n").widest, 6 * 12);
    EXPECT_EQ(Measure("abcd").widest, 4 * 12);
    EXPECT_EQ(Measure("abcd", 1).widest, 4 * 9);
    EXPECT_EQ(Measure("\x1BM\x02"
                      "abcd\x1BM0"
                      "ab")
                  .widest,
              4 * 8 + 2 * 12);
    // The last line counts even without its LF.
    EXPECT_EQ(Measure("ab\nabcdef").widest, 6 * 12);
    EXPECT_EQ(Measure("\n\n").widest, 0);
    EXPECT_EQ(Measure("").widest, 0);
    // Sizes change within the data: the double-width line is the widest.
    EXPECT_EQ(Measure(std::string("abcdef\n\x1D!\x11"
                                  "abcd\n\x1D!\x00"
                                  "ab\n",
                                  21))
                  .widest,
              4 * 24);
}

TEST(SidewaysMeasure, CommandsPassWholeAndUncounted) {
    // A raster image whose data bytes look like text: no break inside it, nothing counted.
    std::string raster = std::string("\x1Dv0\x00\x64\x00\x02\x00", 8) + std::string(200, 'A');
    Measured m = Measure(raster + "ab\n");
    EXPECT_EQ(m.bytes, raster + "ab\n");
    EXPECT_EQ(m.widest, 2 * 12);

    const std::string commands[] = {
        std::string("\x1D(N\x02\x00\x30\x32", 7),                   // second colour
        std::string("\x1B~J\x01", 4),                               // the other second colour
        std::string("\x1C\x70\x01\x00", 4),                         // NV image
        std::string("\x1B*\x21\x02\x00", 5) + std::string(6, 'Z'),  // bit image
        std::string("\x1B@", 2),                                    // any other ESC command
        std::string("\x1B"
                    "a\x01\x1B"
                    "E\x01\x1B-\x01\x1D"
                    "B\x01\x1B"
                    "d\x03",
                    15),
        std::string("\x1DVA\x10", 4),         // feed and cut
        std::string("\x1Dk\x49\x04{BAB", 8),  // bar code, function B
        std::string("\x1Dk\x04"
                    "ABC\x00",
                    7),  // bar code, function A
        std::string("\x1B&\x03\x41\x42\x02", 6) + std::string(6, 'Q') + "\x01" +
            std::string(3, 'R'),  // user-defined characters
    };
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        m = Measure(command + "ab\r\t\n");
        EXPECT_EQ(m.bytes, command + "ab\r\t\n");
        EXPECT_EQ(m.widest, 2 * 12);
    }
}

TEST(SidewaysMeasure, DataEndingInsideACommandIsCopiedAsItIs) {
    const std::string cut[] = {
        "ab\x1B",
        "ab\x1D",
        "ab\x1D!",
        "ab\x1BM",
        std::string("ab\x1Dv0\x00\xFF\xFF\xFF\xFF", 11),
        std::string("ab\x1D(N\xFF\xFF", 7),
        "ab\x1B&\x03\x20\x7E\x05",
        std::string("ab\x1C\x71\x05\x01\x00\x01\x00", 9),
        std::string("ab\x1D\x38L\xFF\xFF\xFF\xFF", 9),
        "ab\x1Dk\x02"
        "12345",
    };
    for (const std::string& data : cut) {
        SCOPED_TRACE(data);
        const Measured m = Measure(data);
        EXPECT_EQ(m.bytes, data);
        EXPECT_EQ(m.widest, 2 * 12);
    }
}
