// Fuzz target for the bitmap decoder: any file an application names must be refused or
// rendered, never read out of bounds, and never grow past the picture it describes.
//
// Input layout: one option byte (bit 0: scale by resolution), two bytes of requested width
// in dots (little-endian, 0 keeps the bitmap's own), then the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "so/printer/PrinterBitmaps.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    thermpos::so::BitmapRenderRequest request;
    request.mapResolution = (data[0] & 1) != 0;
    request.widthDots = data[1] | data[2] << 8;
    const std::string_view file(reinterpret_cast<const char*>(data + 3), size - 3);
    thermpos::so::MonochromeBitmap white;
    if (!thermpos::so::RenderMonochrome(file, request, &white))
        return 0;
    Check(white.width > 0 && white.width <= thermpos::so::kMaxBitmapSide);
    Check(white.height > 0 && white.height <= thermpos::so::kMaxBitmapSide);
    Check(white.rows.size() ==
          thermpos::so::BitmapRowBytes(white.width) * static_cast<std::size_t>(white.height));
    // Dots beyond the width are white, so they never print.
    const std::size_t stride = thermpos::so::BitmapRowBytes(white.width);
    for (long x = white.width; x < static_cast<long>(stride * 8); ++x)
        Check((white.rows[x / 8] & (0x80 >> (x % 8))) != 0);
    // A block of columns turned for the NV store keeps its announced size.
    if (white.width <= 512 && white.height <= 512) {
        const std::string columns = thermpos::so::ToColumnFormat(white);
        Check(columns.size() == static_cast<std::size_t>((white.width + 7) / 8 * 8) *
                                    thermpos::so::BitmapRowBytes(white.height));
    }
    return 0;
}
