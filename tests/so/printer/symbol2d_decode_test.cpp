// QR Code and PDF417 printed through the service object on each model's paper, read back
// from the receipt PNG by ZXing: the data comes back byte for byte, the symbol lies inside
// the height and width given, placed as aligned, and turned when printed upside down.
#include <gtest/gtest.h>

#include "tests/so/printer/BarcodeReader.h"
#include "tests/so/printer/VirtualPrinterTest.h"
#include "tools/demo_receipt.h"
#include "vprinter/virtual_printer.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

// A 40-byte link, and data that would be translated as print data: an escape sequence,
// control bytes and bytes above 0x7F.
const std::string kUrl = "https://harbour-cafe.example/r/0042?t=11";
const std::string kBinary = "Till 3\x1B|bC\x01\x7F\xE9\xFF total 11.43" + std::string(120, 'x');

struct Symbol {
    LONG symbology;
    const char* format;  // as ZXing names it
    const std::string* data;
    LONG alignment;
    // The box given, as parts of the line width (height: of the line width too).
    int widthPercent;
    int heightPercent;
};

const Symbol kSymbols[] = {
    {PTR_BCS_QRCODE, "QRCode", &kUrl, PTR_BC_LEFT, 60, 60},
    {PTR_BCS_QRCODE, "QRCode", &kBinary, PTR_BC_RIGHT, 100, 40},
    {PTR_BCS_PDF417, "PDF417", &kUrl, PTR_BC_CENTER, 100, 50},
    {PTR_BCS_PDF417, "PDF417", &kBinary, PTR_BC_LEFT, 90, 100},
};

struct Paper {
    const char* paperModel;  // the device key's PaperModel value
    int dots;                // the line width the object opens with
};

class SymbolsReadBack : public VirtualPrinterTest {
  protected:
    template <class Model>
    void PrintAndRead(const char* name, Paper paper) {
        vp::ModelOptions options;
        options.paperWidthDots = paper.dots;
        StartPrinter("COM12", options);
        ASSERT_FALSE(HasFatalFailure());
        OpenDevice<Model>(name, {{"PaperModel", paper.paperModel}});
        ASSERT_FALSE(HasFatalFailure());
        Enable();
        const LONG line = device_->GetPropertyNumber(PIDXPtr_RecLineWidth);
        ASSERT_EQ(line, paper.dots);
        for (const LONG rotation :
             {thermpos::so::ptr::PTR_RP_NORMAL, thermpos::so::ptr::PTR_RP_ROTATE180}) {
            SCOPED_TRACE(rotation);
            const bool upsideDown = rotation == thermpos::so::ptr::PTR_RP_ROTATE180;
            device_->SetPropertyNumber(PIDXPtr_RotateSpecial, rotation);
            for (const Symbol& s : kSymbols) {
                EXPECT_EQ(device_->PrintBarCode(
                              PTR_S_RECEIPT, *s.data, s.symbology, line * s.heightPercent / 100,
                              line * s.widthPercent / 100, s.alignment, PTR_BC_TEXT_BELOW),
                          0)
                    << s.format;
                EXPECT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|40uF"), 0);
            }
            EXPECT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|fP"), 0);
            const int count = printer_.ReceiptCount() + 1;
            ASSERT_TRUE(printer_.WaitReceipts(count, std::chrono::seconds(10)))
                << printer_.StatusText();
            const std::vector<std::string> files = Local().ReceiptFiles();
            ASSERT_EQ(files.size(), static_cast<std::size_t>(count));
            ExpectReadBack(files.back(), line, upsideDown);
        }
    }

    void ExpectReadBack(const std::string& png, LONG line, bool upsideDown) {
        std::vector<ReceiptBand> bands;
        std::string error;
        ASSERT_TRUE(ReadReceiptBands(png, &bands, &error)) << error;
        // The last band is the cut mark.
        ASSERT_EQ(bands.size(), std::size(kSymbols) + 1) << png;
        EXPECT_EQ(printer_.Status().commandsSkipped, 0u) << png;
        for (std::size_t i = 0; i < std::size(kSymbols); ++i) {
            const Symbol& s = kSymbols[i];
            const ReceiptBand& band = bands[i];
            SCOPED_TRACE(std::string(s.format) + " " + std::to_string(i) + " in " + png);
            ASSERT_EQ(band.decoded2D.size(), 1u);
            EXPECT_EQ(band.decoded2D[0].format, s.format);
            EXPECT_EQ(band.decoded2D[0].bytes, *s.data);
            EXPECT_EQ(band.decoded2D[0].orientation, upsideDown ? 180 : 0);
            EXPECT_LE(band.right - band.left, line * s.widthPercent / 100);
            EXPECT_LE(band.bottom - band.top, line * s.heightPercent / 100);
            switch (s.alignment) {
                case PTR_BC_LEFT:
                    EXPECT_EQ(band.left, 0);
                    break;
                case PTR_BC_CENTER:
                    EXPECT_LE(std::abs(band.left - (line - band.right)), 1)
                        << band.left << ".." << band.right;
                    break;
                default:
                    EXPECT_EQ(band.right, line);
                    break;
            }
        }
    }
};

}  // namespace

TEST_F(SymbolsReadBack, OnTheRTK410With58mmPaper) {
    PrintAndRead<CPrinterRTK410>(kRTK410, {"000", 384});
}

TEST_F(SymbolsReadBack, OnTheQMX5500With80mmPaper) {
    PrintAndRead<CPrinterQMX5500>(kQMX5500, {"002", 576});
}

TEST_F(SymbolsReadBack, OnTheRTK6100With60mmPaper) {
    PrintAndRead<CPrinterRTK6100>(kRTK6100, {"001", 432});
}

// The demo's receipt ends with its e-receipt link as a QR code, centred above the farewell.
TEST_F(SymbolsReadBack, TheDemoReceiptsLinkReadsBack) {
    StartPrinter("COM12");
    ASSERT_FALSE(HasFatalFailure());
    OpenDevice();
    ASSERT_FALSE(HasFatalFailure());
    Enable();
    PrintSampleReceipt(THERMPOS_DEMO_LOGO);
    ASSERT_TRUE(printer_.WaitReceipts(1, std::chrono::seconds(10))) << printer_.StatusText();
    const std::vector<std::string> files = Local().ReceiptFiles();
    ASSERT_EQ(files.size(), 1u);
    std::vector<ReceiptBand> bands;
    std::string error;
    ASSERT_TRUE(ReadReceiptBands(files[0], &bands, &error)) << error;
    std::size_t found = bands.size();
    for (std::size_t i = 0; i < bands.size(); ++i) {
        if (!bands[i].decoded2D.empty()) {
            ASSERT_EQ(found, bands.size()) << "a second symbol in band " << i;
            found = i;
        }
    }
    ASSERT_LT(found, bands.size()) << files[0];
    const ReceiptBand& qr = bands[found];
    ASSERT_EQ(qr.decoded2D.size(), 1u);
    EXPECT_EQ(qr.decoded2D[0].format, "QRCode");
    EXPECT_EQ(qr.decoded2D[0].bytes, thermpos::demo::kEReceiptLink);
    EXPECT_LE(std::abs(qr.left - (kPaperWidth - qr.right)), 1);
    EXPECT_LE(qr.right - qr.left, 200);
    // Below it only the farewell and the shop's address, then the cut mark.
    EXPECT_GE(bands.size() - found, 3u);
    EXPECT_LE(bands.size() - found, 4u);
}
