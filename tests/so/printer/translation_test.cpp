// Escape sequence translation, per model, without a port: the parser, the command tables
// and the text mapping, checked against printer bytes written out by hand.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "so/printer/PrintParser.h"
#include "so/printer/PrintText.h"
#include "so/printer/PrinterModels.h"
#include "tests/support/hex.h"

using namespace thermpos::so;

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

using thermpos::testing::Hex;

const ModelProfile& Rtk410() {
    return CPrinterRTK410::ProfileData();
}
const ModelProfile& Qmx5500() {
    return CPrinterQMX5500::ProfileData();
}
const ModelProfile& Rtk6100() {
    return CPrinterRTK6100::ProfileData();
}

// A model's translation as the device does it: normalise, parse, then the CMD_NORMAL reset.
class ModelTranslator : public PrintDataSink {
  public:
    explicit ModelTranslator(const ModelProfile& model) : model_(model) {
        settings.fontCount = model.fontCount;
    }

    int TranslateCommand(int code, int number, std::string* out, bool validate) override {
        return ModelTranslateCommand(model_.commands, settings, &state, code, number, out,
                                     validate);
    }
    void AppendTextRun(std::string_view run, std::string* out) override {
        if (mapCharacterSet) {
            MapTextCodePage(run, characterSet, out);
        } else {
            out->append(run);
        }
    }

    // Returns the printer bytes; *result gets the translation result.
    std::string Print(const std::string& data, int* result = nullptr) {
        std::string text = data;
        int r = NormalizeLineEnds(&text);
        std::string out;
        r = std::max(r, ParsePrintData(text, *this, &out, false));
        TranslateCommand(CMD_NORMAL, 0, &out, false);
        if (result != nullptr) {
            *result = r;
        }
        return out;
    }
    // The validation result; validating writes nothing and keeps the state.
    int Validate(const std::string& data) {
        const FormattingState before = state;
        std::string text = data;
        int r = NormalizeLineEnds(&text);
        std::string out;
        r = std::max(r, ParsePrintData(text, *this, &out, true));
        EXPECT_TRUE(out.empty()) << Hex(data);
        EXPECT_TRUE(state == before) << Hex(data);
        return r;
    }

    ThermalCommandSettings settings;
    FormattingState state;
    bool mapCharacterSet = false;
    int characterSet = 437;

  private:
    const ModelProfile& model_;
};

const std::string kEscBar = "\x1B|";

}  // namespace

// Every sequence once, with numbers at the edges of their ranges, on each model: the bytes
// of the print (its reset included) and the results of printing and of validating it.
TEST(Translation, EverySequenceOnEveryModel) {
    // ESC '|' and then `sequence`; a null model column prints what the RT-K410 prints.
    struct Case {
        const char* sequence;
        const char* rtk410;
        const char* qmx5500;
        const char* rtk6100;
        int printed;
        int validated;
    };
    static const Case kCases[] = {
        // Cuts: 0 and 100 percent cut through, everything else partially; the QMX5500
        // always cuts partially, the RT-K6100 after a feed.
        {"P", "1D 56 00", "1D 56 01", nullptr, 0, 0},
        {"50P", "1D 56 01", nullptr, nullptr, 0, 0},
        {"100P", "1D 56 00", "1D 56 01", nullptr, 0, 0},
        {"0100P", "1D 56 00", "1D 56 01", nullptr, 0, 0},
        {"fP", "1B 64 03 1D 56 00", "1B 64 03 1D 56 01", "1B 64 03 1D 56 01", 0, 0},
        {"50fP", "1B 64 03 1D 56 01", nullptr, nullptr, 0, 0},
        {"sP", "1B 64 03 1D 56 00", "1B 64 03 1D 56 01", "1B 64 03 1D 56 01", 106, 106},
        {"sL", "", nullptr, nullptr, 111, 111},
        // Feeds: no number or 0 is one; numbers become a byte modulo 256, and digits past
        // the 32-bit range stop at its largest value.
        {"lF", "1B 64 01", nullptr, nullptr, 0, 0},
        {"0lF", "1B 64 01", nullptr, nullptr, 0, 0},
        {"9lF", "1B 64 09", nullptr, nullptr, 0, 0},
        {"255lF", "1B 64 FF", nullptr, nullptr, 0, 0},
        {"256lF", "1B 64 00", nullptr, nullptr, 0, 0},
        {"257lF", "1B 64 01", nullptr, nullptr, 0, 0},
        {"2147483648lF", "1B 64 FF", nullptr, nullptr, 0, 0},
        {"99999999999999999999lF", "1B 64 FF", nullptr, nullptr, 0, 0},
        {"uF", "1B 4A 01", nullptr, nullptr, 0, 0},
        {"30uF", "1B 4A 1E", nullptr, nullptr, 0, 0},
        {"2rF", "", nullptr, nullptr, 111, 111},
        // Typefaces up to the model's font count; the font survives the reset.
        {"fT", "1B 4D 00", nullptr, nullptr, 0, 0},
        {"0fT", "1B 4D 00", nullptr, nullptr, 0, 0},
        {"2fT", "1B 4D 01", nullptr, nullptr, 0, 0},
        {"4fT", "", nullptr, nullptr, 111, 111},
        // Attributes, each switched off by the reset at the end.
        {"bC", "1B 45 01 1B 45 00", nullptr, nullptr, 0, 0},
        {"uC", "1B 2D 01 1B 2D 00", nullptr, nullptr, 0, 0},
        {"0uC", "1B 2D 01 1B 2D 00", nullptr, nullptr, 0, 0},
        {"2uC", "1B 2D 02 1B 2D 00", nullptr, nullptr, 0, 0},
        {"rvC", "1D 42 01 1D 42 00", nullptr, nullptr, 0, 0},
        {"cA", "1B 61 01 1B 61 00", nullptr, nullptr, 0, 0},
        {"rA", "1B 61 02 1B 61 00", nullptr, nullptr, 0, 0},
        {"iC", "", nullptr, nullptr, 111, 111},
        {"sC", "", nullptr, nullptr, 111, 111},
        {"50sC", "", nullptr, nullptr, 111, 111},
        {"fC", "", nullptr, nullptr, 111, 111},
        // Sizes, and the scales that change one half of the size byte; normal size needs
        // no reset.
        {"1C", "1D 21 00", nullptr, nullptr, 0, 0},
        {"2C", "1D 21 10 1D 21 00", nullptr, nullptr, 0, 0},
        {"3C", "1D 21 01 1D 21 00", nullptr, nullptr, 0, 0},
        {"4C", "1D 21 11 1D 21 00", nullptr, nullptr, 0, 0},
        {"hC", "1D 21 00", nullptr, nullptr, 0, 0},
        {"2hC", "1D 21 10 1D 21 00", nullptr, nullptr, 0, 0},
        {"8hC", "1D 21 70 1D 21 00", nullptr, nullptr, 0, 0},
        {"9hC", "", nullptr, nullptr, 0, 0},
        {"8vC", "1D 21 07 1D 21 00", nullptr, nullptr, 0, 0},
        {"9vC", "", nullptr, nullptr, 0, 0},
        // The second colour, and the reset back to the first, per model.
        {"rC", "1D 28 4E 02 00 30 32 1D 28 4E 02 00 30 31", "1B 7E 4A 01 1B 7E 4A 00", nullptr, 0,
         0},
        {"2rC", "1D 28 4E 02 00 30 32 1D 28 4E 02 00 30 31", "1B 7E 4A 02 1B 7E 4A 00", nullptr, 0,
         0},
        {"3rC", "", nullptr, nullptr, 106, 106},
        // The reset, whatever its modifier.
        {"N", "", nullptr, nullptr, 0, 0},
        {"qN", "", nullptr, nullptr, 0, 0},
        // Stored bitmaps in NV memory print by their place in the list (3, 1, 20); a
        // modifier is ignored; validation accepts any number 1 to 20 without looking.
        {"1B", "0A 1C 70 02 00", nullptr, nullptr, 0, 0},
        {"20B", "0A 1C 70 03 00", nullptr, nullptr, 0, 0},
        {"3xB", "0A 1C 70 01 00", nullptr, nullptr, 0, 0},
        {"2B", "", nullptr, nullptr, 111, 0},
        {"21B", "", nullptr, nullptr, 111, 111},
        {"B", "", nullptr, nullptr, 111, 111},
        // Logos are stored bytes.
        {"tL", "54 4F 50", nullptr, nullptr, 0, 0},
        {"bL", "42 4F 54", nullptr, nullptr, 0, 0},
        // Embedded data passes unchanged (even a sequence) when that many bytes follow,
        // else is text.
        {"3E\x1B|N", "1B 7C 4E", nullptr, nullptr, 0, 0},
        {"0E", "", nullptr, nullptr, 0, 0},
        {"9EAB", "41 42", nullptr, nullptr, 0, 0},
        {"2xEAB", "41 42", nullptr, nullptr, 0, 0},
        // Not sequences: ESC '|' prints and the rest is read as text again.
        {"5C", "1B 7C 35 43", nullptr, nullptr, 0, 0},
        {"C", "1B 7C 43", nullptr, nullptr, 0, 0},
        {"lA", "1B 7C 6C 41", nullptr, nullptr, 0, 0},
        {"tbC", "1B 7C 74 62 43", nullptr, nullptr, 0, 0},
        {"rvA", "1B 7C 72 76 41", nullptr, nullptr, 0, 0},
        {"-1lF", "1B 7C 2D 31 6C 46", nullptr, nullptr, 0, 0},
        {"x", "1B 7C 78", nullptr, nullptr, 0, 0},
        {"rv", "1B 7C 72 76", nullptr, nullptr, 0, 0},
    };
    const std::vector<StoredBitmap> stored{{3, "B3"}, {1, "B1"}, {20, "B20"}};
    const ModelProfile* const models[] = {&Rtk410(), &Qmx5500(), &Rtk6100()};
    for (const Case& c : kCases) {
        const char* const bytes[] = {c.rtk410, c.qmx5500, c.rtk6100};
        for (int m = 0; m < 3; ++m) {
            const std::string what = std::string(c.sequence) + " on " + models[m]->deviceName;
            const std::string data = kEscBar + c.sequence;
            ModelTranslator t(*models[m]);
            t.settings.storedBitmaps = &stored;
            t.settings.topLogo = "TOP";
            t.settings.bottomLogo = "BOT";
            int result = -1;
            EXPECT_EQ(Hex(t.Print(data, &result)), bytes[m] != nullptr ? bytes[m] : c.rtk410)
                << what;
            EXPECT_EQ(result, c.printed) << what;
            EXPECT_EQ(t.Validate(data), c.validated) << what;
        }
    }
}

// The typeface numbers a model takes end at its font count.
TEST(Translation, TypefacesUpToTheModelsFontCount) {
    ModelTranslator rtk(Rtk410());
    ModelTranslator qmx(Qmx5500());
    int result = -1;
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "3fT", &result)), "1B 4D 02");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rtk.state.font, 2);
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "3fT", &result)), "");
    EXPECT_EQ(result, 111);
    EXPECT_EQ(qmx.state.font, 0);
    EXPECT_EQ(qmx.Validate(kEscBar + "3fT"), 111);
}

TEST(Translation, AttributesAreResetOnlyWhenSet) {
    ModelTranslator rtk(Rtk410());
    // Bold on, then the explicit reset: the suffix has nothing left to switch off.
    EXPECT_EQ(
        Hex(rtk.Print(Bytes({0x41, 0x42, 0x1B, 0x7C, 0x62, 0x43, 0x43, 0x44, 0x1B, 0x7C, 0x4E}))),
        "41 42 1B 45 01 43 44 1B 45 00");
    // Centre then text: the suffix resets the alignment.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "cAX")), "1B 61 01 58 1B 61 00");
    // Double wide then vertical scale 2 keeps the width nibble, and the reverse.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "2C" + kEscBar + "2vC")), "1D 21 10 1D 21 11 1D 21 00");
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "3C" + kEscBar + "4hC")), "1D 21 01 1D 21 31 1D 21 00");
    // Everything at once is reset in the fixed order, the font stays selected.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "uC" + kEscBar + "rvC" + kEscBar + "rA" + kEscBar + "bC" +
                            kEscBar + "4C" + kEscBar + "2fT")),
              "1B 2D 01 1D 42 01 1B 61 02 1B 45 01 1D 21 11 1B 4D 01 "
              "1B 61 00 1D 42 00 1D 21 00 1B 45 00 1B 2D 00");
    EXPECT_EQ(rtk.state.font, 1);
    // Scale factors above 8 send nothing; 0 counts as 1.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "9hC" + kEscBar + "0hC")), "1D 21 00");
    // Sequences that follow each other directly, and one that follows an ESC of its own.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "bC" + kEscBar + "N" + kEscBar + "uC")),
              "1B 45 01 1B 45 00 1B 2D 01 1B 2D 00");
    EXPECT_EQ(Hex(rtk.Print("\x1B\x1B|bC")), "1B 1B 45 01 1B 45 00");
}

TEST(Translation, CutsFollowTheLinesToPaperCut) {
    ModelTranslator rtk410(Rtk410());
    ModelTranslator qmx(Qmx5500());
    rtk410.settings.recLinesToPaperCut = 5;
    qmx.settings.recLinesToPaperCut = 260;
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "fP")), "1B 64 05 1D 56 00");
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "fP")), "1B 64 04 1D 56 01");
    // The stamp variant cuts the same but reports that the stamp is missing.
    int result = 0;
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "sP", &result)), "1B 64 05 1D 56 00");
    EXPECT_EQ(result, 106);
}

TEST(Translation, SecondColourPerModel) {
    ModelTranslator rtk(Rtk6100());
    ModelTranslator qmx(Qmx5500());
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "rCA")), "1D 28 4E 02 00 30 32 41 1D 28 4E 02 00 30 31");
    EXPECT_FALSE(rtk.state.colour);
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "rCA")), "1B 7E 4A 01 41 1B 7E 4A 00");
    // Without the colour there is no colour reset.
    EXPECT_EQ(Hex(qmx.Print("A")), "41");
    // The colour left on by an earlier print goes with the next reset, before the family's.
    qmx.state.colour = true;
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "bCA")), "1B 45 01 41 1B 7E 4A 00 1B 45 00");
    // The thermal family has no second colour.
    std::string out;
    FormattingState state;
    EXPECT_EQ(ThermalTranslateCommand({}, &state, CMD_ALT_COLOR, 0, &out, false), 111);
    EXPECT_EQ(out, "");

    int result = 0;
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "3rCA", &result)), "41");
    EXPECT_EQ(result, 106);
}

TEST(Translation, LogosAndBitmapsInMemory) {
    ModelTranslator rtk(Rtk410());
    rtk.settings.topLogo = "TOP";
    rtk.settings.bottomLogo = "\x1B|bC";  // logos are stored bytes, never translated
    EXPECT_EQ(rtk.Print(kEscBar + "tLx" + kEscBar + "bL"), "TOPx\x1B|bC");

    // In NV mode a number prints the printer's image at its place in the list, the order
    // of the last download, with the bitmap mode.
    std::vector<StoredBitmap> stored{{2, "BMP2"}, {7, "BMP7"}};
    rtk.settings.storedBitmaps = &stored;
    rtk.settings.useNvram = true;
    rtk.settings.bitmapMode = 3;
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "7B")), "0A 1C 70 02 03");
    // In memory mode the stored bytes themselves; a number never set prints nothing.
    int result = -1;
    rtk.settings.useNvram = false;
    EXPECT_EQ(rtk.Print(kEscBar + "2B", &result), "BMP2");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rtk.Print(kEscBar + "1B", &result), "");
    EXPECT_EQ(result, 111);
    // Without a list nothing is stored.
    rtk.settings.storedBitmaps = nullptr;
    EXPECT_EQ(rtk.Print(kEscBar + "2B", &result), "");
    EXPECT_EQ(result, 111);
    // Bitmap numbers out of range are consumed but print nothing.
    EXPECT_EQ(rtk.Print(kEscBar + "21Bz", &result), "z");
    EXPECT_EQ(result, 111);
}

TEST(Translation, EmbeddedDataAndNonSequences) {
    ModelTranslator rtk(Rtk410());
    // Embedded bytes pass unchanged, even when they look like a sequence or a line end.
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x1B, 0x7C, 0x33, 0x45, 0x7C, 0x62, 0x43}))), "7C 62 43");
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "4E\x1B|bCz")), "1B 7C 62 43 7A");
    // Too few bytes follow: nothing is embedded and the rest is text.
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x1B, 0x7C, 0x39, 0x45, 0x41, 0x42}))), "41 42");
    // A count too large for any integer must not wrap into a negative length.
    EXPECT_EQ(rtk.Print(kEscBar + "99999999999999999999EAB"), "AB");

    // The tail of a non-sequence is read again, and may hold a sequence.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "x" + kEscBar + "bC")), "1B 7C 78 1B 45 01 1B 45 00");
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "\x1B|cA")), "1B 7C 1B 61 01 1B 61 00");
    // A sequence cut off by the end of the data is text.
    EXPECT_EQ(rtk.Print("A" + kEscBar), "A" + kEscBar);
    EXPECT_EQ(rtk.Print("A" + kEscBar + "12"), "A" + kEscBar + "12");
    EXPECT_EQ(rtk.Print("A" + kEscBar + "r"), "A" + kEscBar + "r");
    EXPECT_EQ(rtk.Print("A\x1B"), "A\x1B");
    // Other escapes and NUL bytes are text too.
    EXPECT_EQ(rtk.Print(std::string("\x1B@\0z", 4)), std::string("\x1B@\0z", 4));
}

// Text before and after a sequence, for runs of every length up to a few dozen bytes, with
// the sequence (or what is left of one) at the very end of the data.
TEST(Translation, TextRunsOfEveryLengthAroundASequence) {
    struct Piece {
        std::string data;
        std::string bytes;  // what the piece prints
        std::string reset;  // what the reset at the end adds
    };
    const Piece pieces[] = {
        {"\x1B|bC", Bytes({0x1B, 0x45, 0x01}), Bytes({0x1B, 0x45, 0x00})},
        {"\x1B|N", "", ""},
        {"\x1B|", "\x1B|", ""},
        {"\x1B", "\x1B", ""},
    };
    ModelTranslator rtk(Rtk410());
    for (const Piece& piece : pieces) {
        for (std::size_t before = 0; before <= 40; ++before) {
            for (std::size_t after = 0; after <= 20; ++after) {
                const std::string x(before, 'x');
                const std::string y(after, 'y');
                ASSERT_EQ(Hex(rtk.Print(x + piece.data + y)),
                          Hex(x + piece.bytes + y + piece.reset))
                    << Hex(piece.data) << " after " << before << " bytes, before " << after;
            }
        }
    }
}

TEST(Translation, LineEnds) {
    ModelTranslator rtk(Rtk410());
    int result = -1;
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x41, 0x0D, 0x42}), &result)), "41 0A 42");
    EXPECT_EQ(result, 111);
    EXPECT_EQ(rtk.Validate(Bytes({0x41, 0x0D, 0x42})), 111);
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x41, 0x0D, 0x0A, 0x42, 0x0A}), &result)), "41 0A 42 0A");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x0D, 0x0D, 0x0A}), &result)), "0A 0A");
    EXPECT_EQ(result, 111);
    // A CR ends a run of text like any other byte: the sequence after it still counts.
    EXPECT_EQ(Hex(rtk.Print("\r\x1B|bC")), "0A 1B 45 01 1B 45 00");
}

TEST(Translation, ValidationResults) {
    ModelTranslator rtk(Rtk410());
    EXPECT_EQ(rtk.Validate("plain text\n"), 0);
    // The largest result wins, whatever the order.
    EXPECT_EQ(rtk.Validate(kEscBar + "iC" + kEscBar + "5rC"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "5rC" + kEscBar + "bC"), 106);
    // Validation leaves the formatting state alone (Validate checks it after every call).
    rtk.Validate(kEscBar + "bC" + kEscBar + "cA" + kEscBar + "2fT" + kEscBar + "rC" + kEscBar +
                 "N");
    // Unsupported sequences drop out of a print silently.
    int result = 0;
    EXPECT_EQ(rtk.Print("a" + kEscBar + "iCb" + kEscBar + "50sCc", &result), "abc");
    EXPECT_EQ(result, 111);
}

TEST(Translation, TextCodePageMapping) {
    ASSERT_TRUE(thermpos::platform::SetEnvironment("THERMPOS_ACP", "1252", true));
    ModelTranslator rtk(Rtk410());
    rtk.mapCharacterSet = true;
    rtk.characterSet = 850;
    EXPECT_EQ(Hex(rtk.Print("\xE9")), "82");
    // Characters the printer table lacks become spaces, sequences are unaffected, and so
    // are the bytes of embedded data.
    EXPECT_EQ(Hex(rtk.Print("\x80" + kEscBar + "bC\xE9")), "20 1B 45 01 82 1B 45 00");
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "1E\xE9")), "E9");
    rtk.characterSet = 437;
    EXPECT_EQ(Hex(rtk.Print("\xE9")), "E9");
    // Code pages without a system table print the bytes unchanged.
    for (int cs : {998, 999, 1, 18, 255}) {
        rtk.characterSet = cs;
        EXPECT_EQ(Hex(rtk.Print("\xE9")), "E9") << cs;
    }
    rtk.characterSet = 850;
    rtk.mapCharacterSet = false;
    EXPECT_EQ(Hex(rtk.Print("\xE9\x80")), "E9 80");
}

// The devices reach their model's table through their profile, with their own settings
// and state, and end every print with the reset.
TEST(Translation, DevicesPrintWithTheirModelsCommands) {
    const std::string data = kEscBar + "bCA" + kEscBar + "rCB" + kEscBar + "fP";
    struct Case {
        std::unique_ptr<CThermalPrinter> device;
        const char* bytes;
    };
    Case cases[] = {
        {std::make_unique<CPrinterRTK410>(),
         "1B 45 01 41 1D 28 4E 02 00 30 32 42 1B 64 03 1D 56 00 1D 28 4E 02 00 30 31 1B 45 00"},
        {std::make_unique<CPrinterQMX5500>(),
         "1B 45 01 41 1B 7E 4A 01 42 1B 64 03 1D 56 01 1B 7E 4A 00 1B 45 00"},
        {std::make_unique<CPrinterRTK6100>(),
         "1B 45 01 41 1D 28 4E 02 00 30 32 42 1B 64 03 1D 56 01 1D 28 4E 02 00 30 31 1B 45 00"},
    };
    for (Case& c : cases) {
        const char* name = c.device->Profile().deviceName;
        std::string out;
        EXPECT_EQ(c.device->TranslatePrintData(2, data, &out, false), 0) << name;
        EXPECT_EQ(Hex(out), c.bytes) << name;
        EXPECT_TRUE(c.device->Formatting() == FormattingState()) << name;
        out.clear();
        // The model's font count decides the typeface numbers it takes.
        const LONG third = c.device->Profile().fontCount == 3 ? 0 : 111;
        EXPECT_EQ(c.device->TranslatePrintData(2, kEscBar + "3fT\r", &out, true), 111) << name;
        EXPECT_EQ(c.device->TranslatePrintData(2, kEscBar + "3fT", &out, true), third) << name;
        EXPECT_EQ(out, "") << name;
    }
}
