// PrintBarCode on a fake port: the bytes that reach the printer, every refusal (106 and
// nothing written), MapMode units, and the path through the printer-condition checks.
#include <gtest/gtest.h>

#include "so/printer/PrinterBarCode.h"
#include "tests/so/printer/PrinterTestSupport.h"

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
        {PTR_BCS_Codabar, "A", "1D 6B 47 01"},
        {PTR_BCS_Code39, "abc", "1D 6B 45 03"},
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
    // The other symbologies keep their own rules at the printer.
    EXPECT_EQ(Print(PTR_S_RECEIPT, "a+b", PTR_BCS_Codabar), 0);
    EXPECT_EQ(Print(PTR_S_RECEIPT, "no start", PTR_BCS_Code128), 0);
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
