// QR Code and PDF417 through PrintBarCode on a fake port: the bytes, the sizes chosen for
// the box given, every refusal (106 and nothing written). The sizes are held against what
// libzint, the virtual printer's encoder, makes of the same data.
#include <gtest/gtest.h>
#include <zint.h>

#include <memory>

#include "so/printer/PrinterBarCode.h"
#include "so/printer/TwoDimensionalCodes.h"
#include "tests/so/printer/PrinterTestSupport.h"

using namespace printertest;
namespace so = thermpos::so;

namespace {

const std::string kUrl = "https://harbour-cafe.example/r/0042?t=11";  // 40 bytes

class PrintSymbol : public EnabledPrinterTest {
  protected:
    LONG Print(const std::string& data, LONG symbology, LONG height, LONG width,
               LONG alignment = PTR_BC_CENTER, LONG text = PTR_BC_TEXT_NONE) {
        return printer_->PrintBarCode(PTR_S_RECEIPT, data, symbology, height, width, alignment,
                                      text);
    }
    LONG Refused(const std::string& data, LONG symbology, LONG height, LONG width,
                 LONG alignment = PTR_BC_CENTER, LONG text = PTR_BC_TEXT_NONE) {
        const std::size_t before = FakePort::Get().WriteCount();
        const LONG r = Print(data, symbology, height, width, alignment, text);
        EXPECT_EQ(FakePort::Get().WriteCount(), before) << "something was written";
        EXPECT_EQ(printer_->ResultCode(), r);
        return r;
    }
    std::string LastWrite() { return FakePort::Get().Writes().back(); }
};

struct ZintDeleter {
    void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};

// The symbol libzint makes of the data as raw bytes; null when it refuses.
std::unique_ptr<zint_symbol, ZintDeleter> Zint(int symbology, const std::string& data, int option1,
                                               int option2) {
    std::unique_ptr<zint_symbol, ZintDeleter> s(ZBarcode_Create());
    s->symbology = symbology;
    s->input_mode = DATA_MODE;
    s->option_1 = option1;
    s->option_2 = option2;
    const int rc = ZBarcode_Encode(s.get(), reinterpret_cast<const unsigned char*>(data.data()),
                                   static_cast<int>(data.size()));
    if (rc >= ZINT_ERROR || rc == ZINT_WARN_INVALID_OPTION) {
        s.reset();
    }
    return s;
}

}  // namespace

TEST_F(PrintSymbol, QrCodeBytesNormalAndUpsideDown) {
    // 40 bytes need version 3 (29 modules); 300 dots give 10 dots a module.
    static const char kQr[] =
        "\x1D(k\x04\x00"
        "1A2\x00"
        "\x1D(k\x03\x00"
        "1C\x0A"
        "\x1D(k\x03\x00"
        "1E1"
        "\x1D(k\x2B\x00"
        "1P0"
        "https://harbour-cafe.example/r/0042?t=11"
        "\x1D(k\x03\x00"
        "1Q0";
    const std::string qr = Hex(std::string_view(kQr, sizeof kQr - 1));
    ASSERT_EQ(Print(kUrl, PTR_BCS_QRCODE, 300, 300), 0);
    EXPECT_EQ(Hex(LastWrite()), "1B 61 01 " + qr + " 1B 61 00");

    printer_->SetPropertyNumber(PIDXPtr_RotateSpecial, so::ptr::PTR_RP_ROTATE180);
    ASSERT_EQ(Print(kUrl, PTR_BCS_QRCODE, 300, 300, PTR_BC_RIGHT, PTR_BC_TEXT_BELOW), 0);
    EXPECT_EQ(Hex(LastWrite()), "1B 7B 01 1B 61 02 " + qr + " 1B 61 00 1B 7B 00");
}

TEST_F(PrintSymbol, Pdf417Bytes) {
    // 40 bytes: 52 data codewords reserved, level 3 (16 more). Modules of 6 and 5 dots need
    // more than 300 dots of height; at 4 dots four columns (137 modules, 548 dots) take at
    // most 17 rows of 12 dots.
    ASSERT_EQ(Print(kUrl, PTR_BCS_PDF417, 300, 576, PTR_BC_LEFT), 0);
    EXPECT_EQ(Hex(LastWrite()),
              "1B 61 00 1D 28 6B 03 00 30 41 04 1D 28 6B 03 00 30 42 00 1D 28 6B 03 00 30 43 04 "
              "1D 28 6B 03 00 30 44 03 1D 28 6B 04 00 30 45 30 33 1D 28 6B 03 00 30 46 00 "
              "1D 28 6B 2B 00 30 50 30 " +
                  Hex(kUrl) + " 1D 28 6B 03 00 30 51 30 1B 61 00");
}

// The data is sent as it stands: no escape sequences, no code page, zero bytes included;
// BinaryConversion still applies.
TEST_F(PrintSymbol, DataIsSentUntranslated) {
    // Strings end at a zero byte; BinaryConversion gives it (below).
    const std::string data("\x1B|bC\x7F\xE9\xFF", 7);
    for (LONG symbology : {PTR_BCS_QRCODE, PTR_BCS_PDF417}) {
        ASSERT_EQ(Print(data, symbology, 300, 300), 0);
        const std::string bytes = LastWrite();
        const std::size_t store = bytes.find("P0");
        ASSERT_NE(store, std::string::npos);
        EXPECT_EQ(Hex(bytes.substr(store - 3, 2)), "0A 00");  // 7 + 3
        EXPECT_EQ(bytes.substr(store + 2, data.size()), data);
    }
    printer_->SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NIBBLE);
    ASSERT_EQ(Print("4>00", PTR_BCS_QRCODE, 300, 300), 0);
    EXPECT_NE(LastWrite().find(std::string("1P0\x4E\x00\x1D", 6)), std::string::npos);
}

// Version by byte capacity at level M, module size by the smaller side, up to 16 dots.
TEST(QrSize, VersionAndModuleSize) {
    struct Case {
        std::size_t length;
        LONG height, width;
        int version, moduleDots;  // 0: refused
    };
    const Case cases[] = {
        {1, 1000, 1000, 1, 16}, {14, 105, 400, 1, 5},     {15, 105, 400, 2, 4},
        {40, 576, 576, 3, 16},  {40, 384, 384, 3, 13},    {40, 432, 432, 3, 14},
        {40, 384, 200, 3, 6},   {43, 576, 576, 4, 16},    {2331, 576, 576, 40, 3},
        {2331, 176, 576, 0, 0}, {2332, 9999, 9999, 0, 0}, {0, 300, 300, 0, 0},
        {14, 20, 300, 0, 0},    {14, 21, 21, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const auto size = so::ChooseQrSize(c.length, c.height, c.width);
        ASSERT_EQ(size.has_value(), c.version != 0);
        if (size) {
            EXPECT_EQ(size->version, c.version);
            EXPECT_EQ(size->modules, 17 + 4 * c.version);
            EXPECT_EQ(size->moduleDots, c.moduleDots);
        }
    }
}

// The capacity table against the encoder: each version holds its capacity in bytes at
// level M, and one byte more needs the next version.
TEST(QrSize, CapacitiesAreWhatTheEncoderFits) {
    for (int version = 1; version <= 40; ++version) {
        SCOPED_TRACE(version);
        std::size_t capacity = 0;
        while (capacity < so::kQrMaxData &&
               so::ChooseQrSize(capacity + 1, 9999, 9999)->version <= version) {
            ++capacity;
        }
        const std::string fits(capacity, 'a');  // lower case: bytes only
        const auto symbol = Zint(BARCODE_QRCODE, fits, 2, version);
        ASSERT_TRUE(symbol);
        EXPECT_EQ(symbol->width, 17 + 4 * version);
        EXPECT_FALSE(Zint(BARCODE_QRCODE, fits + "a", 2, version));
    }
}

// Whatever the data, the symbol the printer makes of the columns and level chosen stays
// inside the box: as wide as chosen, no more rows than reserved.
TEST(Pdf417Size, TheEncodersSymbolFitsTheBoxChosen) {
    // Letters, digits, and mixes that keep an encoder switching compaction modes.
    const std::string alphabets[] = {"abcdefghijklmnopqrstuvwxyz",
                                     "0123456789",
                                     "aA1!",
                                     "a1",
                                     std::string("\x80\x01z9", 4),
                                     "\x80"
                                     "aA",
                                     "https://x.example/?a="};
    const std::size_t lengths[] = {1, 2, 6, 7, 40, 41, 160, 320, 600, 686, 689};
    const std::pair<LONG, LONG> boxes[] = {{2000, 576}, {400, 576}, {3000, 384}, {600, 432}};
    unsigned seed = 1;
    int printed = 0;
    for (const std::string& alphabet : alphabets) {
        for (std::size_t length : lengths) {
            std::string data;
            for (std::size_t i = 0; i < length; ++i) {
                seed = seed * 1103515245 + 12345;
                data += alphabet[(seed >> 16) % alphabet.size()];
            }
            for (const auto& [height, width] : boxes) {
                SCOPED_TRACE(alphabet + " " + std::to_string(length) + " in " +
                             std::to_string(height) + "x" + std::to_string(width));
                const auto size = so::ChoosePdf417Size(length, height, width);
                if (!size) {
                    continue;
                }
                ++printed;
                EXPECT_LE(size->WidthDots(), width);
                EXPECT_LE(size->HeightDots(), height);
                const auto symbol = Zint(BARCODE_PDF417, data, size->level, size->columns);
                ASSERT_TRUE(symbol);
                EXPECT_EQ(symbol->width, 17 * size->columns + 69);
                EXPECT_LE(symbol->rows, size->reservedRows);
            }
        }
    }
    EXPECT_GT(printed, 150);
}

TEST(Pdf417Size, LimitsAndTheRuleItself) {
    // The longest data takes all 928 codewords: 16 columns of 58 rows at 2 dots, wider than
    // 80 mm paper, where 12 columns hold 924 codewords and 686 bytes.
    const auto longest = so::ChoosePdf417Size(so::kPdf417MaxData, 9999, 700);
    ASSERT_TRUE(longest);
    EXPECT_EQ(longest->moduleWidth, 2);
    EXPECT_EQ(longest->columns, 16);
    EXPECT_EQ(longest->reservedRows, 58);
    EXPECT_EQ(longest->level, 5);
    EXPECT_FALSE(so::ChoosePdf417Size(so::kPdf417MaxData, 9999, 576));
    const auto paper = so::ChoosePdf417Size(686, 462, 576);
    ASSERT_TRUE(paper);
    EXPECT_EQ(paper->columns, 12);
    EXPECT_EQ(paper->reservedRows, 77);
    EXPECT_FALSE(so::ChoosePdf417Size(686, 461, 576));
    EXPECT_FALSE(so::ChoosePdf417Size(so::kPdf417MaxData + 1, 9999, 9999));
    EXPECT_FALSE(so::ChoosePdf417Size(0, 9999, 9999));
    // Too narrow for one column at two dots (86 modules), too low for three rows.
    EXPECT_FALSE(so::ChoosePdf417Size(10, 300, 171));
    EXPECT_TRUE(so::ChoosePdf417Size(10, 300, 172));
    EXPECT_FALSE(so::ChoosePdf417Size(10, 17, 576));
    // A large box: the largest module that fits a column (6 dots: 86 modules in 576 dots).
    const auto large = so::ChoosePdf417Size(40, 2000, 576);
    ASSERT_TRUE(large);
    EXPECT_EQ(large->moduleWidth, 6);
    EXPECT_EQ(large->columns, 1);
}

TEST_F(PrintSymbol, SizesInMapModeUnits) {
    printer_->SetPropertyNumber(PIDXPtr_MapMode, PTR_MM_METRIC);
    ASSERT_EQ(printer_->ResultCode(), 0);
    // 20 mm is 159 dots: 7 dots a module for version 1 (21 modules).
    ASSERT_EQ(Print("x", PTR_BCS_QRCODE, 2000, 4000), 0);
    EXPECT_NE(LastWrite().find("1C\x07"), std::string::npos);
    EXPECT_EQ(Refused("x", PTR_BCS_QRCODE, 250, 4000), 106);  // 19 dots
}

TEST_F(PrintSymbol, RefusalsPrintNothing) {
    const LONG width = printer_->GetPropertyNumber(PIDXPtr_RecLineWidth);
    for (LONG symbology : {PTR_BCS_QRCODE, PTR_BCS_PDF417}) {
        SCOPED_TRACE(symbology);
        EXPECT_EQ(Refused("", symbology, 300, 300), 106);
        EXPECT_EQ(Refused("x", symbology, 300, 0), 106);
        EXPECT_EQ(Refused("x", symbology, 300, width + 1), 106);
        EXPECT_EQ(Refused("x", symbology, 0, 300), 106);
        EXPECT_EQ(Refused("x", symbology, 300, 300, 100), 106);
        EXPECT_EQ(Refused("x", symbology, 300, 300, PTR_BC_CENTER, 0), 106);
        // The other text positions are accepted (and print no text).
        EXPECT_EQ(Print("x", symbology, 300, 300, PTR_BC_CENTER, so::kBarCodeTextBoth), 0);
        EXPECT_EQ(Print("x", symbology, 300, 300, PTR_BC_CENTER, PTR_BC_TEXT_ABOVE), 0);
    }
    EXPECT_EQ(Refused(std::string(2332, 'a'), PTR_BCS_QRCODE, 576, 576), 106);
    EXPECT_EQ(Print(std::string(2331, 'a'), PTR_BCS_QRCODE, 576, 576), 0);
    EXPECT_EQ(Refused(std::string(so::kPdf417MaxData + 1, 'a'), PTR_BCS_PDF417, 9999, width), 106);
    for (LONG other :
         {PTR_BCS_MAXICODE, PTR_BCS_DATAMATRIX, PTR_BCS_UQRCODE, PTR_BCS_AZTEC, PTR_BCS_UPDF417}) {
        EXPECT_EQ(Refused("x", other, 300, 300), 106) << other;
    }
}
