#include "tests/so/printer/BarcodeReader.h"

#include <png.h>
#include <zbar.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace printertest {
namespace {

// Included from C++, zbar's C interface lives in namespace zbar.
using namespace zbar;

// Blank rows that separate two bands; the text of a bar code is closer to its bars.
constexpr int kBandGap = 16;
// Blank paper around a band: more than the widest quiet zone (ten wide elements) at the
// printer's module width of two dots.
constexpr int kQuietZone = 64;
constexpr int kMaxScale = 3;

struct Grey {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // 0 black .. 255 white
    bool Ink(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x] < 128; }
    bool RowBlank(int y) const {
        for (int x = 0; x < width; ++x)
            if (Ink(x, y))
                return false;
        return true;
    }
    bool SameRow(int a, int b) const {
        return std::memcmp(&pixels[static_cast<std::size_t>(a) * width],
                           &pixels[static_cast<std::size_t>(b) * width], width) == 0;
    }
};

bool ReadGreyPng(const std::string& path, Grey* grey, std::string* error) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        *error = path + ": " + image.message;
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    grey->width = static_cast<int>(image.width);
    grey->height = static_cast<int>(image.height);
    grey->pixels.assign(PNG_IMAGE_SIZE(image), 255);
    if (!png_image_finish_read(&image, nullptr, grey->pixels.data(), 0, nullptr)) {
        *error = path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

struct ScannerDeleter {
    void operator()(zbar_image_scanner_t* s) const { zbar_image_scanner_destroy(s); }
};
struct ImageDeleter {
    void operator()(zbar_image_t* i) const { zbar_image_destroy(i); }
};

// The symbologies a receipt printer prints, and no others (an EAN-13 must not come back
// as an ISBN, nor noise as a two-dimensional code).
std::unique_ptr<zbar_image_scanner_t, ScannerDeleter> MakeScanner() {
    std::unique_ptr<zbar_image_scanner_t, ScannerDeleter> scanner(zbar_image_scanner_create());
    zbar_image_scanner_set_config(scanner.get(), ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
    for (zbar_symbol_type_t type : {ZBAR_EAN8, ZBAR_UPCE, ZBAR_UPCA, ZBAR_EAN13, ZBAR_I25,
                                    ZBAR_CODABAR, ZBAR_CODE39, ZBAR_CODE93, ZBAR_CODE128}) {
        zbar_image_scanner_set_config(scanner.get(), type, ZBAR_CFG_ENABLE, 1);
        // zbar's default minimum lengths (six ITF digits, four Codabar characters) are
        // for telling symbols from noise in camera pictures; a printed receipt has none.
        zbar_image_scanner_set_config(scanner.get(), type, ZBAR_CFG_MIN_LEN, 1);
    }
    return scanner;
}

std::vector<std::string> Decode(zbar_image_scanner_t* scanner, const Grey& source, int top,
                                int bottom, int scale) {
    const int width = (source.width + 2 * kQuietZone) * scale;
    const int height = (bottom - top + 2 * kQuietZone) * scale;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height, 255);
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < source.width; ++x) {
            const std::uint8_t v = source.pixels[static_cast<std::size_t>(y) * source.width + x];
            for (int dy = 0; dy < scale; ++dy) {
                const int ty = (y - top + kQuietZone) * scale + dy;
                std::uint8_t* row = &pixels[static_cast<std::size_t>(ty) * width];
                std::fill_n(row + (x + kQuietZone) * scale, scale, v);
            }
        }
    std::unique_ptr<zbar_image_t, ImageDeleter> image(zbar_image_create());
    zbar_image_set_format(image.get(), zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(image.get(), static_cast<unsigned>(width), static_cast<unsigned>(height));
    // Borrowed: no cleanup handler, the vector outlives the image.
    zbar_image_set_data(image.get(), pixels.data(), pixels.size(), nullptr);
    std::vector<std::string> found;
    if (zbar_scan_image(scanner, image.get()) <= 0)
        return found;
    for (const zbar_symbol_t* symbol = zbar_image_first_symbol(image.get()); symbol != nullptr;
         symbol = zbar_symbol_next(symbol)) {
        found.push_back(
            std::string(zbar_get_symbol_name(zbar_symbol_get_type(symbol))) + ":" +
            std::string(zbar_symbol_get_data(symbol), zbar_symbol_get_data_length(symbol)));
    }
    return found;
}

// The band on blank paper as for zbar, for ZXing.
std::vector<ReceiptBand::Symbol2D> Decode2D(const Grey& source, int top, int bottom) {
    const int width = source.width + 2 * kQuietZone;
    const int height = bottom - top + 2 * kQuietZone;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height, 255);
    for (int y = top; y < bottom; ++y)
        std::memcpy(&pixels[static_cast<std::size_t>(y - top + kQuietZone) * width + kQuietZone],
                    &source.pixels[static_cast<std::size_t>(y) * source.width], source.width);
    return ReadSymbols2D(pixels.data(), width, height);
}

}  // namespace

bool ReadReceiptBands(const std::string& pngPath, std::vector<ReceiptBand>* bands,
                      std::string* error) {
    bands->clear();
    Grey grey;
    if (!ReadGreyPng(pngPath, &grey, error))
        return false;
    auto scanner = MakeScanner();
    int y = 0;
    while (y < grey.height) {
        if (grey.RowBlank(y)) {
            ++y;
            continue;
        }
        ReceiptBand band;
        band.top = y;
        int blank = 0;
        int end = y;
        for (; y < grey.height && blank < kBandGap; ++y) {
            if (grey.RowBlank(y)) {
                ++blank;
            } else {
                blank = 0;
                end = y + 1;
            }
        }
        band.bottom = end;
        band.left = grey.width;
        band.right = 0;
        for (int row = band.top; row < band.bottom; ++row)
            for (int x = 0; x < grey.width; ++x)
                if (grey.Ink(x, row)) {
                    band.left = std::min(band.left, x);
                    band.right = std::max(band.right, x + 1);
                }
        const int middle = (band.top + band.bottom) / 2;
        band.inkAboveBars = !grey.SameRow(band.top, middle);
        band.inkBelowBars = !grey.SameRow(band.bottom - 1, middle);
        for (int scale = 1; scale <= kMaxScale && band.decoded.empty(); ++scale)
            band.decoded = Decode(scanner.get(), grey, band.top, band.bottom, scale);
        band.decoded2D = Decode2D(grey, band.top, band.bottom);
        bands->push_back(std::move(band));
    }
    return true;
}

}  // namespace printertest
