// PrintBarCode on a fake port: the bytes that reach the printer, every refusal (106 and
// nothing written), MapMode units, and the path through the printer-condition checks. Data
// rules are held against the virtual printer's encoder.
#include <gtest/gtest.h>

#include "so/printer/PrinterBarCode.h"
#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/barcode.h"

using namespace printertest;

namespace {

constexpr char kUpcA[] = "123456789012";
// ESC a / GS H / GS h / GS w / GS k for the UPC-A above, centred, text below, 162 dots.
constexpr char kUpcABody[] =
    "1B 61 01 1D 48 02 1D 68 A2 1D 77 02 1D 6B 41 0C "
    "31 32 33 34 35 36 37 38 39 30 31 32 1B 61 00";

class PrintBarCode : public EnabledPrinterTest {
  protected:
    LONG Print(LONG station, const std::string& data, LONG symbology, LONG height = 162,
               LONG width = 300, LONG alignment = PTR_BC_CENTER, LONG text = PTR_BC_TEXT_BELOW) {
        return printer_->PrintBarCode(station, data, symbology, height, width, alignment, text);
    }
    // The result of a print that must be refused before anything is written.
    LONG Refused(LONG station, const std::string& data, LONG symbology, LONG height = 162,
                 LONG width = 300, LONG alignment = PTR_BC_CENTER, LONG text = PTR_BC_TEXT_BELOW) {
        const std::size_t before = FakePort::Get().WriteCount();
        const LONG r = Print(station, data, symbology, height, width, alignment, text);
        EXPECT_EQ(FakePort::Get().WriteCount(), before) << "something was written";
        EXPECT_EQ(printer_->ResultCode(), r);
        return r;
    }
    std::string LastWrite() { return Hex(FakePort::Get().Writes().back()); }
};

thermpos::vprinter::Symbology PrinterSymbology(LONG symbology) {
    using thermpos::vprinter::Symbology;
    switch (symbology) {
        case PTR_BCS_UPCE:
            return Symbology::UpcE;
        case PTR_BCS_Code39:
            return Symbology::Code39;
        case PTR_BCS_Codabar:
            return Symbology::Codabar;
        case PTR_BCS_Code93:
            return Symbology::Code93;
        default:
            return Symbology::Code128;
    }
}

}  // namespace

TEST_F(PrintBarCode, BytesNormalAndUpsideDown) {
    EXPECT_EQ(Print(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA), 0);
    EXPECT_EQ(printer_->ResultCode(), 0);
    EXPECT_EQ(LastWrite(), kUpcABody);

    printer_->SetPropertyNumber(PIDXPtr_RotateSpecial, thermpos::so::ptr::PTR_RP_ROTATE180);
    EXPECT_EQ(Print(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA), 0);
    EXPECT_EQ(LastWrite(), std::string("1B 7B 01 ") + kUpcABody + " 1B 7B 00");

    printer_->SetPropertyNumber(PIDXPtr_RotateSpecial, thermpos::so::ptr::PTR_RP_NORMAL);
    EXPECT_EQ(Print(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA), 0);
    EXPECT_EQ(LastWrite(), kUpcABody);
}

TEST_F(PrintBarCode, SymbologiesLengthsAndSettingsMapToPrinterBytes) {
    struct Case {
        LONG symbology;
        std::string data;
        const char* head;  // ESC a ... GS k m n
    };
    const Case accepted[] = {
        {PTR_BCS_UPCA, "12345678901", "1D 6B 41 0B"},
        {PTR_BCS_UPCE, "04210000526", "1D 6B 42 0B"},
        {PTR_BCS_UPCE, "042100005264", "1D 6B 42 0C"},
        {PTR_BCS_EAN8, "4901234", "1D 6B 44 07"},
        {PTR_BCS_JAN8, "49012347", "1D 6B 44 08"},
        {PTR_BCS_EAN13, "490123456789", "1D 6B 43 0C"},
        {PTR_BCS_JAN13, "4901234567894", "1D 6B 43 0D"},
        {PTR_BCS_ITF, "12", "1D 6B 46 02"},
        {PTR_BCS_ITF, std::string(254, '7'), "1D 6B 46 FE"},
        {PTR_BCS_Codabar, "A1B", "1D 6B 47 03"},
        {PTR_BCS_Code39, "ABC", "1D 6B 45 03"},
        {PTR_BCS_Code93, std::string(255, 'x'), "1D 6B 48 FF"},
        {PTR_BCS_Code128, "{B", "1D 6B 49 02"},
    };
    for (const Case& c : accepted) {
        SCOPED_TRACE(c.data);
        ASSERT_EQ(Print(PTR_S_RECEIPT, c.data, c.symbology), 0);
        const std::string bytes = FakePort::Get().Writes().back();
        EXPECT_EQ(Hex(bytes.substr(12, 4)), c.head);
        EXPECT_EQ(bytes.substr(16, c.data.size()), c.data);
        EXPECT_EQ(bytes.size(), 16 + c.data.size() + 3);
    }

    // Alignment (ESC a) and text position (GS H), each on its own.
    const std::pair<LONG, const char*> alignments[] = {
        {PTR_BC_LEFT, "1B 61 00"}, {PTR_BC_CENTER, "1B 61 01"}, {PTR_BC_RIGHT, "1B 61 02"}};
    for (const auto& [alignment, bytes] : alignments) {
        ASSERT_EQ(Print(PTR_S_RECEIPT, "ABC", PTR_BCS_Code39, 162, 300, alignment), 0);
        EXPECT_EQ(LastWrite().substr(0, 8), bytes);
    }
    const std::pair<LONG, const char*> texts[] = {{PTR_BC_TEXT_NONE, "1D 48 00"},
                                                  {PTR_BC_TEXT_ABOVE, "1D 48 01"},
                                                  {PTR_BC_TEXT_BELOW, "1D 48 02"},
                                                  {thermpos::so::kBarCodeTextBoth, "1D 48 03"}};
    for (const auto& [text, bytes] : texts) {
        ASSERT_EQ(Print(PTR_S_RECEIPT, "ABC", PTR_BCS_Code39, 162, 300, PTR_BC_LEFT, text), 0);
        EXPECT_EQ(LastWrite().substr(9, 8), bytes);
    }
    // The slip station value is accepted, as for the other print methods.
    EXPECT_EQ(Print(PTR_S_SLIP, "ABC", PTR_BCS_Code39), 0);
}

TEST_F(PrintBarCode, RefusedParametersPrintNothing) {
    const LONG width = printer_->GetPropertyNumber(PIDXPtr_RecLineWidth);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "1234567890", PTR_BCS_UPCA), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "1234567890123", PTR_BCS_UPCA), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "123456789", PTR_BCS_EAN8), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "12345678901234", PTR_BCS_EAN13), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "{", PTR_BCS_Code128), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "", PTR_BCS_Code39), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, std::string(256, 'A'), PTR_BCS_Code39), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 0), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 256), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, -162), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, 0), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, width + 1), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "12345", PTR_BCS_TF), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA_S), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, 0), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, 300, 100), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, 300, 0), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, 300, PTR_BC_CENTER, -10), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, 300, PTR_BC_CENTER, 0), 106);
    EXPECT_EQ(Refused(PTR_S_JOURNAL, kUpcA, PTR_BCS_UPCA), 106);
    EXPECT_EQ(Refused(3, kUpcA, PTR_BCS_UPCA), 106);
    // The full line width itself fits.
    EXPECT_EQ(Print(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 162, width), 0);
}

// The printer drops a numeric bar code command that holds anything but digits, and an
// interleaved one with an odd digit count, and prints its data as text: refused here, so
// the application is not told it printed.
TEST_F(PrintBarCode, NumericDataThePrinterCannotPrintIsRefused) {
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "12345678901A", PTR_BCS_UPCA), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "0421000052 ", PTR_BCS_UPCE), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "490-234", PTR_BCS_EAN8), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT,
                      std::string("49012345\x80"
                                  "789",
                                  12),
                      PTR_BCS_EAN13),
              106);
    // A given check digit must be right: the printer drops the symbol otherwise.
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "12345678", PTR_BCS_EAN8), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "1234567890123", PTR_BCS_EAN13), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "123456789013", PTR_BCS_UPCA), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "042100005265", PTR_BCS_UPCE), 106);
    EXPECT_EQ(Print(PTR_S_RECEIPT, "12345670", PTR_BCS_EAN8), 0);
    EXPECT_EQ(Print(PTR_S_RECEIPT, "1234567890128", PTR_BCS_EAN13), 0);
    EXPECT_EQ(Print(PTR_S_RECEIPT, "123456789012", PTR_BCS_UPCA), 0);
    EXPECT_EQ(Print(PTR_S_RECEIPT, "042100005264", PTR_BCS_UPCE), 0);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "12 4", PTR_BCS_ITF), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "", PTR_BCS_ITF), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "1", PTR_BCS_ITF), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "12345", PTR_BCS_ITF), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, std::string(255, '1'), PTR_BCS_ITF), 106);
}

// The same for the character sets, the start and stop characters and the Code 128 escapes:
// each row is refused (106, nothing written) or printed as the printer's own bar code
// rules say, and the virtual printer's encoder, which follows those rules, agrees.
TEST_F(PrintBarCode, DataOutsideTheSymbologyIsRefused) {
    struct Case {
        LONG symbology;
        std::string data;
        bool printed;
    };
    const Case cases[] = {
        // UPC-E: an 11- or 12-digit UPC-A body of number system 0 in one of the four zero
        // patterns (the last digit of the short form 0-2, 3, 4, 5-9).
        {PTR_BCS_UPCE, "01200000345", true},
        {PTR_BCS_UPCE, "01230000045", true},
        {PTR_BCS_UPCE, "01234000005", true},
        {PTR_BCS_UPCE, "01234500005", true},
        {PTR_BCS_UPCE, "01234500009", true},
        {PTR_BCS_UPCE, "012000003455", true},
        {PTR_BCS_UPCE, "01230000345", false},  // manufacturer ends 00 but m3 > 2, 00345
        {PTR_BCS_UPCE, "01234000045", false},
        {PTR_BCS_UPCE, "01234500004", false},  // the last pattern needs 5-9
        {PTR_BCS_UPCE, "01234512345", false},
        {PTR_BCS_UPCE, "123456789012", false},
        {PTR_BCS_UPCE, "21200000345", false},  // number system 2
        // Code 39: digits, capitals, space and $ % + - . /, with '*' only at both ends.
        {PTR_BCS_Code39, "AZ09 $%+-./", true},
        {PTR_BCS_Code39, "*ABC*", true},
        {PTR_BCS_Code39, "abc", false},
        {PTR_BCS_Code39, "AB*C", false},
        {PTR_BCS_Code39, "*ABC", false},
        {PTR_BCS_Code39, "**", false},
        {PTR_BCS_Code39, "*", false},
        {PTR_BCS_Code39, "A:B", false},
        {PTR_BCS_Code39,
         "A\x80"
         "B",
         false},
        // Codabar: start and stop A-D of either case, digits and - $ : / . + between.
        {PTR_BCS_Codabar, "A40156B", true},
        {PTR_BCS_Codabar, "a0-$:/.+9d", true},
        {PTR_BCS_Codabar, "CD", true},
        {PTR_BCS_Codabar, "40156", false},
        {PTR_BCS_Codabar, "A40156", false},
        {PTR_BCS_Codabar, "40156B", false},
        {PTR_BCS_Codabar, "A", false},
        {PTR_BCS_Codabar, "E123A", false},
        {PTR_BCS_Codabar, "A1B2C", false},  // A-D only at the ends
        {PTR_BCS_Codabar, "A1*2B", false},
        // Code 93: the 128 ASCII codes, control characters included.
        {PTR_BCS_Code93, "\x01\x1F\x7F", true},
        {PTR_BCS_Code93, "ABC\x80", false},
        {PTR_BCS_Code93, "\xFF", false},
        // Code 128: a code set first, then only the escapes of the set in force, and only
        // characters of that set.
        {PTR_BCS_Code128, "{BNo.{C\x0C\x22\x38", true},
        {PTR_BCS_Code128, "{A\x01\x5F{1{2{3{4{SaX", true},
        {PTR_BCS_Code128, "{B{{x{S\x01{A{B", true},
        {PTR_BCS_Code128, "{C\x01\x63{1{B{{", true},
        {PTR_BCS_Code128, "no start", false},
        {PTR_BCS_Code128, "{D12", false},
        {PTR_BCS_Code128, "B{B12", false},
        {PTR_BCS_Code128, "{Bab{X", false},
        {PTR_BCS_Code128, "{Bab{", false},
        {PTR_BCS_Code128, "{B{5", false},
        {PTR_BCS_Code128, "{Bab\x80", false},
        {PTR_BCS_Code128, "{Aab", false},     // lower case is not in set A
        {PTR_BCS_Code128, "{B\x01", false},   // nor control characters in set B
        {PTR_BCS_Code128, "{C\x64", false},   // set C holds 0-99
        {PTR_BCS_Code128, "{C12{S3", false},  // SHIFT, FNC2-4 and the brace: not in C
        {PTR_BCS_Code128, "{C{2", false},
        {PTR_BCS_Code128, "{C{{", false},
        {PTR_BCS_Code128, "{A{{", false},  // '{' is a set B character
        {PTR_BCS_Code128, "{B{S", false},  // SHIFT with nothing to shift
        {PTR_BCS_Code128, "{B{S{", false},
        {PTR_BCS_Code128, "{B{S{{", false},  // the shifted brace is not in set A
        {PTR_BCS_Code128, "{A{S{{", true},
    };
    namespace vp = thermpos::vprinter;
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.data));
        if (c.printed) {
            EXPECT_EQ(Print(PTR_S_RECEIPT, c.data, c.symbology), 0);
        } else {
            EXPECT_EQ(Refused(PTR_S_RECEIPT, c.data, c.symbology), 106);
        }
        vp::BarcodeSymbol symbol;
        std::string error;
        EXPECT_EQ(vp::EncodeBarcode(PrinterSymbology(c.symbology), c.data, &symbol, &error),
                  c.printed)
            << error;
    }
}

TEST_F(PrintBarCode, HeightAndWidthInMapModeUnits) {
    printer_->SetPropertyNumber(PIDXPtr_MapMode, PTR_MM_METRIC);
    ASSERT_EQ(printer_->ResultCode(), 0);
    const LONG width = printer_->GetPropertyNumber(PIDXPtr_RecLineWidth);
    ASSERT_EQ(width, 7207);
    // 20 mm is 159 dots.
    EXPECT_EQ(Print(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 2000, width), 0);
    EXPECT_EQ(LastWrite().substr(18, 8), "1D 68 9F");
    // 3.2 mm is 25.6 dots: truncated, not rounded.
    EXPECT_EQ(Print(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 320, 1), 0);
    EXPECT_EQ(LastWrite().substr(18, 8), "1D 68 19");
    // The limits hold for the converted height: 33 mm is 263 dots, 0.12 mm none.
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 3300, 300), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 12, 300), 106);  // 0 dots
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA, 2000, width + 1), 106);
}

TEST_F(PrintBarCode, DataPassesBinaryConversionUntranslated) {
    // ESC | in bar code data is data, not an escape sequence.
    ASSERT_EQ(Print(PTR_S_RECEIPT, "\x1B|bC", PTR_BCS_Code93), 0);
    EXPECT_EQ(FakePort::Get().Writes().back().substr(16, 4), "\x1B|bC");

    // Nibble conversion gives Code 128 set C its binary digit pairs, zero included.
    printer_->SetPropertyNumber(PIDX_BinaryConversion, OPOS_BC_NIBBLE);
    ASSERT_EQ(Print(PTR_S_RECEIPT, "7;43000<", PTR_BCS_Code128), 0);
    EXPECT_EQ(Hex(FakePort::Get().Writes().back().substr(12, 8)), "1D 6B 49 04 7B 43 00 0C");
    // Four decoded bytes, not eight characters, decide the length.
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "39393939", PTR_BCS_EAN8), 106);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, "7;4", PTR_BCS_Code128), 106);
}

TEST_F(PrintBarCode, StateAndPrinterConditions) {
    // The bytes take the one output path, with its printer-condition checks.
    EXPECT_EQ(printer_->FireStatusUpdate(PTR_SUE_COVER_OPEN), 1);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA), 114);
    EXPECT_EQ(printer_->GetPropertyNumber(PIDX_ResultCodeExtended), 201);
    EXPECT_EQ(printer_->FireStatusUpdate(PTR_SUE_COVER_OK), 1);

    printer_->SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(Refused(PTR_S_RECEIPT, kUpcA, PTR_BCS_UPCA), 105);
    // The state is checked before the parameters.
    EXPECT_EQ(Refused(PTR_S_JOURNAL, "x", 0), 105);
}
