// Bar codes printed through the service object on the virtual printer, read back from the
// receipt PNG it writes by an independent decoder: every symbology, normal and upside
// down, with each text position and alignment.
#include <gtest/gtest.h>

#include "so/printer/PrinterBarCode.h"
#include "tests/so/printer/BarcodeReader.h"
#include "tests/so/printer/VirtualPrinterTest.h"
#include "vprinter/virtual_printer.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

struct PrintedCode {
    LONG symbology;
    std::string data;
    std::string read;  // as the decoder names and reports it, check digits included
};

// Check digits are the ones the printer computed; UPC-E comes back in its eight-digit
// form (number system, six digits, check digit), as zbar reports it.
const PrintedCode kCodes[] = {
    {PTR_BCS_UPCA, "12345678901", "UPC-A:123456789012"},
    {PTR_BCS_UPCE, "04210000526", "UPC-E:04252614"},
    {PTR_BCS_EAN8, "4901234", "EAN-8:49012347"},
    {PTR_BCS_EAN13, "490123456789", "EAN-13:4901234567894"},
    {PTR_BCS_ITF, "0123456789", "I2/5:0123456789"},
    {PTR_BCS_Codabar, "A40156B", "Codabar:A40156B"},
    {PTR_BCS_Code39, "ABC-123", "CODE-39:ABC-123"},
    {PTR_BCS_Code93, "Code 93!", "CODE-93:Code 93!"},
    {PTR_BCS_Code128, "{BNo.{C\x0C\x22\x38", "CODE-128:No.123456"},
};

constexpr LONG kAlignments[] = {PTR_BC_LEFT, PTR_BC_CENTER, PTR_BC_RIGHT};
constexpr LONG kTextPositions[] = {PTR_BC_TEXT_NONE, PTR_BC_TEXT_ABOVE, PTR_BC_TEXT_BELOW,
                                   thermpos::so::kBarCodeTextBoth};

class BarCodesReadBack : public VirtualPrinterTest {
  protected:
    void SetUp() override {
        StartPrinter("COM12");
        ASSERT_FALSE(HasFatalFailure());
        OpenDevice();
        ASSERT_FALSE(HasFatalFailure());
        Enable();
    }

    // Prints every code on one receipt, each with the next alignment and text position;
    // returns the PNG file of the receipt.
    std::string PrintAll(LONG rotateSpecial) {
        device_->SetPropertyNumber(PIDXPtr_RotateSpecial, rotateSpecial);
        EXPECT_EQ(device_->ResultCode(), 0);
        for (std::size_t i = 0; i < std::size(kCodes); ++i) {
            const PrintedCode& code = kCodes[i];
            EXPECT_EQ(device_->PrintBarCode(PTR_S_RECEIPT, code.data, code.symbology, 80, 400,
                                            kAlignments[i % 3], kTextPositions[i % 4]),
                      0)
                << code.read;
            // Blank paper between two codes keeps their bands apart.
            EXPECT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|40uF"), 0);
        }
        EXPECT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|fP"), 0);
        const int count = printer_.ReceiptCount() + 1;
        if (!printer_.WaitReceipts(count, std::chrono::seconds(10)))
            return std::string();
        const std::vector<std::string> files = Local().ReceiptFiles();
        return files.size() == static_cast<std::size_t>(count) ? files.back() : std::string();
    }

    void ExpectAllReadBack(const std::string& png, bool upsideDown) {
        ASSERT_FALSE(png.empty()) << printer_.StatusText() << Local().LastOutputError();
        std::vector<ReceiptBand> bands;
        std::string error;
        ASSERT_TRUE(ReadReceiptBands(png, &bands, &error)) << error;
        // The last band is the cut mark.
        ASSERT_EQ(bands.size(), std::size(kCodes) + 1) << png;
        EXPECT_EQ(printer_.Status().commandsSkipped, 0u) << png;
        for (std::size_t i = 0; i < std::size(kCodes); ++i) {
            const ReceiptBand& band = bands[i];
            SCOPED_TRACE(kCodes[i].read + " in " + png);
            ASSERT_EQ(band.decoded.size(), 1u);
            EXPECT_EQ(band.decoded[0], kCodes[i].read);

            // Upside down the text that was above the bars is below them on the paper.
            const LONG text = kTextPositions[i % 4];
            const bool above = text == PTR_BC_TEXT_ABOVE || text == thermpos::so::kBarCodeTextBoth;
            const bool below = text == PTR_BC_TEXT_BELOW || text == thermpos::so::kBarCodeTextBoth;
            EXPECT_EQ(band.inkAboveBars, upsideDown ? below : above);
            EXPECT_EQ(band.inkBelowBars, upsideDown ? above : below);

            switch (kAlignments[i % 3]) {
                case PTR_BC_LEFT:
                    EXPECT_EQ(band.left, 0);
                    break;
                case PTR_BC_CENTER:
                    EXPECT_LE(std::abs(band.left - (kPaperWidth - band.right)), 2)
                        << band.left << ".." << band.right;
                    break;
                default:
                    EXPECT_EQ(band.right, kPaperWidth);
                    break;
            }
        }
    }
};

}  // namespace

TEST_F(BarCodesReadBack, EverySymbologyNormalAndUpsideDown) {
    ExpectAllReadBack(PrintAll(thermpos::so::ptr::PTR_RP_NORMAL), false);
    ExpectAllReadBack(PrintAll(thermpos::so::ptr::PTR_RP_ROTATE180), true);
}
