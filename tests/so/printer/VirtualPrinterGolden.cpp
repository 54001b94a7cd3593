// The Linux-only part of VirtualPrinterTest: the printer's drawings in this process, the
// demo receipt printed, and a rendered receipt against its golden image.
#include <algorithm>
#include <stdexcept>

#include "tests/so/printer/VirtualPrinterTest.h"
#include "tests/support/png_read.h"
#include "tools/demo_receipt.h"
#include "vprinter/virtual_printer.h"

namespace printertest {

namespace vp = thermpos::vprinter;

vp::VirtualPrinter& VirtualPrinterTest::Local() {
    vp::VirtualPrinter* local = printer_.InProcess();
    if (!local)
        throw std::logic_error("this test reads the drawings of a printer in its own process");
    return *local;
}

void VirtualPrinterTest::PrintSampleReceipt(const std::string& logo) {
    using Part = thermpos::demo::ReceiptPart;
    for (const Part& part : thermpos::demo::SampleReceipt(logo)) {
        SCOPED_TRACE(part.what);
        switch (part.kind) {
            case Part::kPrintNormal:
                EXPECT_EQ(device_->PrintNormal(2, part.data), 0);
                break;
            case Part::kPrintBarCode:
                EXPECT_EQ(device_->PrintBarCode(2, part.data, part.symbology, part.height,
                                                part.width, part.alignment, part.textPosition),
                          0);
                break;
            case Part::kSetBitmap:
                EXPECT_EQ(
                    device_->SetBitmap(part.bitmapNumber, 2, part.data, part.width, part.alignment),
                    0);
                break;
            case Part::kPrintBitmap:
                EXPECT_EQ(device_->PrintBitmap(2, part.data, part.width, part.alignment), 0);
                break;
            case Part::kRotatePrint:
                EXPECT_EQ(device_->RotatePrint(2, part.value), 0);
                break;
            case Part::kCutPaper:
                EXPECT_EQ(device_->CutPaper(part.value), 0);
                break;
        }
    }
}

::testing::AssertionResult MatchesGolden(const vp::Image& rendered, const std::string& goldenFile) {
    vp::Image expected;
    if (!thermpos::testing::ReadPngAsImage(goldenFile, &expected))
        return ::testing::AssertionFailure() << "cannot read " << goldenFile;
    if (rendered.width == expected.width && rendered.height == expected.height &&
        rendered.dots == expected.dots)
        return ::testing::AssertionSuccess();
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');  // a parameterised test's name
    const std::string actual = TempDir() + "/" + name + "-rendered.png";
    std::string error;
    return ::testing::AssertionFailure()
           << "the receipt (" << rendered.width << " x " << rendered.height << ") differs from "
           << goldenFile << " (" << expected.width << " x " << expected.height << "); rendered as "
           << (vp::WritePng(actual, rendered, &error) ? actual : error);
}

}  // namespace printertest
