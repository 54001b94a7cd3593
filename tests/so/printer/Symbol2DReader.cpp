// ReadSymbols2D (BarcodeReader.h) with ZXing-C++.
#include <ReadBarcode.h>

#include "tests/so/printer/BarcodeReader.h"

namespace printertest {

std::vector<ReceiptBand::Symbol2D> ReadSymbols2D(const unsigned char* pixels, int width,
                                                 int height) {
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode | ZXing::BarcodeFormat::PDF417);
    hints.setTryHarder(true);
    hints.setTryRotate(true);
    std::vector<ReceiptBand::Symbol2D> found;
    for (const ZXing::Result& result : ZXing::ReadBarcodes(
             ZXing::ImageView(pixels, width, height, ZXing::ImageFormat::Lum), hints)) {
        if (!result.isValid())
            continue;
        const ZXing::ByteArray& bytes = result.bytes();
        found.push_back({ZXing::ToString(result.format()), std::string(bytes.begin(), bytes.end()),
                         result.orientation()});
    }
    return found;
}

}  // namespace printertest
