// Escape sequence translation, per model, without a device or a port.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "so/printer/PrintTranslation.h"
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

// A model's translation as the device does it: normalise, parse, then the CMD_NORMAL reset.
class ModelTranslator : public PrintDataSink {
  public:
    explicit ModelTranslator(PrinterModel model) : model_(model) {
        settings.fontCount = model == PrinterModel::QMX5500 ? 2 : 3;
    }

    int TranslateCommand(int code, int number, std::string* out, bool validate) override {
        return ModelTranslateCommand(model_, settings, &state, code, number, out, validate);
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
    int Validate(const std::string& data) {
        std::string text = data;
        int r = NormalizeLineEnds(&text);
        std::string out;
        r = std::max(r, ParsePrintData(text, *this, &out, true));
        EXPECT_TRUE(out.empty());
        return r;
    }

    ThermalCommandSettings settings;
    FormattingState state;
    bool mapCharacterSet = false;
    int characterSet = 437;

  private:
    PrinterModel model_;
};

const std::string kEscBar = "\x1B|";

}  // namespace

TEST(Translation, AttributesAreResetOnlyWhenSet) {
    ModelTranslator rtk(PrinterModel::RTK410);
    // Bold on, then the explicit reset: the suffix has nothing left to switch off.
    EXPECT_EQ(
        Hex(rtk.Print(Bytes({0x41, 0x42, 0x1B, 0x7C, 0x62, 0x43, 0x43, 0x44, 0x1B, 0x7C, 0x4E}))),
        "41 42 1B 45 01 43 44 1B 45 00");
    // Centre then text: the suffix resets the alignment.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "cAX")), "1B 61 01 58 1B 61 00");
    // Double wide then vertical scale 2 keeps the width nibble.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "2C" + kEscBar + "2vC")), "1D 21 10 1D 21 11 1D 21 00");
    // Everything at once is reset in the fixed order, the font stays selected.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "uC" + kEscBar + "rvC" + kEscBar + "rA" + kEscBar + "bC" +
                            kEscBar + "4C" + kEscBar + "2fT")),
              "1B 2D 01 1D 42 01 1B 61 02 1B 45 01 1D 21 11 1B 4D 01 "
              "1B 61 00 1D 42 00 1D 21 00 1B 45 00 1B 2D 00");
    EXPECT_EQ(rtk.state.font, 1);
    // Scale factors above 8 send nothing; 0 counts as 1.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "9hC" + kEscBar + "0hC")), "1D 21 00");
}

TEST(Translation, CutsDifferPerModel) {
    ModelTranslator rtk410(PrinterModel::RTK410);
    ModelTranslator rtk6100(PrinterModel::RTK6100);
    ModelTranslator qmx(PrinterModel::QMX5500);
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "50P")), "1D 56 01");
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "P")), "1D 56 00");
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "100P")), "1D 56 00");
    for (const char* cut : {"50P", "P", "100P"}) {
        EXPECT_EQ(Hex(qmx.Print(kEscBar + cut)), "1D 56 01") << cut;
    }
    EXPECT_EQ(Hex(rtk6100.Print(kEscBar + "P")), "1D 56 00");

    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "3fP")), "1B 64 03 1D 56 01");
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "fP")), "1B 64 03 1D 56 00");
    EXPECT_EQ(Hex(rtk6100.Print(kEscBar + "fP")), "1B 64 03 1D 56 01");
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "100fP")), "1B 64 03 1D 56 01");
    rtk410.settings.recLinesToPaperCut = 5;
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "fP")), "1B 64 05 1D 56 00");

    // The stamp variant cuts the same but reports that the stamp is missing.
    int result = 0;
    EXPECT_EQ(Hex(rtk410.Print(kEscBar + "sP", &result)), "1B 64 05 1D 56 00");
    EXPECT_EQ(result, 106);
    EXPECT_EQ(qmx.Validate(kEscBar + "sP"), 106);
    EXPECT_EQ(rtk6100.Validate(kEscBar + "sP"), 106);
}

TEST(Translation, SecondColourPerModel) {
    ModelTranslator rtk(PrinterModel::RTK6100);
    ModelTranslator qmx(PrinterModel::QMX5500);
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "rCA")), "1D 28 4E 02 00 30 32 41 1D 28 4E 02 00 30 31");
    EXPECT_FALSE(rtk.state.colour);
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "rCA")), "1B 7E 4A 01 41 1B 7E 4A 00");
    EXPECT_EQ(Hex(qmx.Print(kEscBar + "2rCA")), "1B 7E 4A 02 41 1B 7E 4A 00");
    // Without the colour there is no colour reset.
    EXPECT_EQ(Hex(qmx.Print("A")), "41");

    int result = 0;
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "3rCA", &result)), "41");
    EXPECT_EQ(result, 106);
    EXPECT_EQ(qmx.Validate(kEscBar + "3rC"), 106);
    EXPECT_EQ(qmx.Validate(kEscBar + "2rC"), 0);
}

TEST(Translation, FeedsLogosAndBitmaps) {
    ModelTranslator rtk(PrinterModel::RTK410);
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "lF" + kEscBar + "4lF" + kEscBar + "30uF")),
              "1B 64 01 1B 64 04 1B 4A 1E");
    // Numbers are taken modulo 256 when they become a byte.
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "260lF")), "1B 64 04");

    rtk.settings.topLogo = "TOP";
    rtk.settings.bottomLogo = "\x1B|bC";  // logos are stored bytes, never translated
    EXPECT_EQ(rtk.Print(kEscBar + "tLx" + kEscBar + "bL"), "TOPx\x1B|bC");

    // In NV mode a number prints the printer's image at its place in the list, the order
    // of the last download; a number never set prints nothing.
    std::vector<StoredBitmap> stored{{2, "BMP2"}, {7, "BMP7"}};
    rtk.settings.storedBitmaps = &stored;
    rtk.settings.useNvram = true;
    rtk.settings.bitmapMode = 3;
    int result = -1;
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "7B", &result)), "0A 1C 70 02 03");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "2B")), "0A 1C 70 01 03");
    EXPECT_EQ(rtk.Print(kEscBar + "1B", &result), "");
    EXPECT_EQ(result, 111);
    rtk.settings.useNvram = false;
    EXPECT_EQ(rtk.Print(kEscBar + "2B", &result), "BMP2");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(rtk.Print(kEscBar + "1B", &result), "");
    EXPECT_EQ(result, 111);
    // Bitmap numbers out of range are consumed but print nothing.
    EXPECT_EQ(rtk.Print(kEscBar + "21Bz", &result), "z");
    EXPECT_EQ(result, 111);
}

TEST(Translation, EmbeddedDataAndNonSequences) {
    ModelTranslator rtk(PrinterModel::RTK410);
    // Embedded bytes pass unchanged, even when they look like a sequence.
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x1B, 0x7C, 0x33, 0x45, 0x7C, 0x62, 0x43}))), "7C 62 43");
    // Too few bytes follow: nothing is embedded and the rest is text.
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x1B, 0x7C, 0x39, 0x45, 0x41, 0x42}))), "41 42");
    // A count too large for any integer must not wrap into a negative length.
    EXPECT_EQ(rtk.Print(kEscBar + "99999999999999999999EAB"), "AB");
    // Modified E sequences are dropped.
    EXPECT_EQ(rtk.Print(kEscBar + "2xEAB"), "AB");

    // Unknown combinations print as text, and their tail is read again.
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x1B, 0x7C, 0x6C, 0x41}))), "1B 7C 6C 41");
    EXPECT_EQ(rtk.Print(kEscBar + "5C"), kEscBar + "5C");
    EXPECT_EQ(rtk.Print(kEscBar + "C"), kEscBar + "C");
    EXPECT_EQ(rtk.Print(kEscBar + "tbC"), kEscBar + "tbC");
    EXPECT_EQ(Hex(rtk.Print(kEscBar + "x" + kEscBar + "bC")), "1B 7C 78 1B 45 01 1B 45 00");
    // A sequence cut off by the end of the data is text.
    EXPECT_EQ(rtk.Print("A" + kEscBar), "A" + kEscBar);
    EXPECT_EQ(rtk.Print("A" + kEscBar + "12"), "A" + kEscBar + "12");
    EXPECT_EQ(rtk.Print("A\x1B"), "A\x1B");
    // Other escapes and NUL bytes are text too.
    EXPECT_EQ(rtk.Print(std::string("\x1B@\0z", 4)), std::string("\x1B@\0z", 4));
}

TEST(Translation, LineEnds) {
    ModelTranslator rtk(PrinterModel::RTK410);
    int result = -1;
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x41, 0x0D, 0x42}), &result)), "41 0A 42");
    EXPECT_EQ(result, 111);
    EXPECT_EQ(rtk.Validate(Bytes({0x41, 0x0D, 0x42})), 111);
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x41, 0x0D, 0x0A, 0x42, 0x0A}), &result)), "41 0A 42 0A");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Hex(rtk.Print(Bytes({0x0D, 0x0D, 0x0A}), &result)), "0A 0A");
    EXPECT_EQ(result, 111);
}

TEST(Translation, ValidationResults) {
    ModelTranslator rtk(PrinterModel::RTK410);
    ModelTranslator qmx(PrinterModel::QMX5500);
    EXPECT_EQ(rtk.Validate("plain text\n"), 0);
    EXPECT_EQ(rtk.Validate(kEscBar + "iC"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "21B"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "1B"), 0);  // never set, still valid
    EXPECT_EQ(rtk.Validate(kEscBar + "3fT"), 0);
    EXPECT_EQ(qmx.Validate(kEscBar + "3fT"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "4fT"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "sL"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "2rF"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "50sC"), 111);
    // The largest result wins, whatever the order.
    EXPECT_EQ(rtk.Validate(kEscBar + "iC" + kEscBar + "5rC"), 111);
    EXPECT_EQ(rtk.Validate(kEscBar + "5rC" + kEscBar + "bC"), 106);
    // Validation leaves the formatting state alone.
    rtk.Validate(kEscBar + "bC" + kEscBar + "cA" + kEscBar + "2fT" + kEscBar + "rC");
    EXPECT_FALSE(rtk.state.bold);
    EXPECT_FALSE(rtk.state.alignment);
    EXPECT_FALSE(rtk.state.colour);
    EXPECT_EQ(rtk.state.font, 0);
    // Unsupported sequences drop out of a print silently.
    int result = 0;
    EXPECT_EQ(rtk.Print("a" + kEscBar + "iCb" + kEscBar + "50sCc", &result), "abc");
    EXPECT_EQ(result, 111);
}

TEST(Translation, TextCodePageMapping) {
    setenv("THERMPOS_ACP", "1252", 1);
    ModelTranslator rtk(PrinterModel::RTK410);
    rtk.mapCharacterSet = true;
    rtk.characterSet = 850;
    EXPECT_EQ(Hex(rtk.Print("\xE9")), "82");
    // Characters the printer table lacks become spaces, sequences are unaffected.
    EXPECT_EQ(Hex(rtk.Print("\x80" + kEscBar + "bC\xE9")), "20 1B 45 01 82 1B 45 00");
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

TEST(Translation, ConvertUnits) {
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 2, 576), 4085);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 4, 576), 7207);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 3, 576), 2837);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 4, 1, 2000), 159);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 2, 1, 1440), 203);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 1, 17), 17);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 2, -576), -4085);  // toward zero
    // Out-of-range results are held at the limits instead of overflowing.
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 4, 2000000000), INT32_MAX);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 4, -2000000000), INT32_MIN);
}
