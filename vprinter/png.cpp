// Receipt images to PNG files, and the pixel hash the golden tests compare.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/folder.h"
#include "vprinter/image.h"

namespace thermpos::vprinter {
namespace {

// Colours by palette index: paper white, black ink, red ink. Any stray ink value is paper,
// rather than failing the file.
constexpr std::uint8_t kRgb[3][3] = {{0xFF, 0xFF, 0xFF}, {0, 0, 0}, {0xC0, 0, 0}};
constexpr int kBlackIndex = 1;

int PaletteIndex(std::uint8_t ink) {
    return ink == kBlack ? 1 : ink == kRed ? 2 : 0;
}

// Row filters in the order libpng tries them, which decides ties.
constexpr int kFilterCount = 5;
constexpr int kFilterBits[kFilterCount] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP,
                                           PNG_FILTER_AVG, PNG_FILTER_PAETH};

// What libpng's adaptive filtering charges for one pixel under each filter (the filtered
// bytes summed as signed values), by the palette indices of the pixel, its left, upper and
// upper-left neighbours. Outside the image is byte 0, which is black.
struct FilterCosts {
    std::uint16_t cost[kFilterCount][81];

    FilterCosts() {
        for (int r = 0; r < 3; ++r)
            for (int a = 0; a < 3; ++a)
                for (int b = 0; b < 3; ++b)
                    for (int c = 0; c < 3; ++c)
                        for (int f = 0; f < kFilterCount; ++f) {
                            int sum = 0;
                            for (int ch = 0; ch < 3; ++ch)
                                sum += Cost(f, kRgb[r][ch], kRgb[a][ch], kRgb[b][ch], kRgb[c][ch]);
                            cost[f][Code(r, a, b, c)] = static_cast<std::uint16_t>(sum);
                        }
    }
    static int Code(int r, int a, int b, int c) { return ((r * 3 + a) * 3 + b) * 3 + c; }
    static int Cost(int filter, int r, int a, int b, int c) {
        int predicted = 0;
        switch (filter) {
            case 1:
                predicted = a;
                break;
            case 2:
                predicted = b;
                break;
            case 3:
                predicted = (a + b) / 2;
                break;
            case 4: {
                const int p = b - c, q = a - c;
                const int pa = std::abs(p), pb = std::abs(q), pc = std::abs(p + q);
                predicted = (pa <= pb && pa <= pc) ? a : (pb <= pc) ? b : c;
                break;
            }
            default:
                break;
        }
        const int v = (r - predicted) & 0xFF;
        return v < 128 ? v : 256 - v;
    }
};

// The filter libpng's adaptive choice would give this row of palette indices (`above` is
// the previous row; null for the first, which is all zero bytes).
int ChooseFilter(const std::uint8_t* row, const std::uint8_t* above, int width) {
    static const FilterCosts costs;
    std::uint32_t sums[kFilterCount] = {};
    int left = kBlackIndex, upperLeft = kBlackIndex;
    for (int x = 0; x < width; ++x) {
        const int up = above ? above[x] : kBlackIndex;
        const int code = FilterCosts::Code(row[x], left, up, upperLeft);
        for (int f = 0; f < kFilterCount; ++f)
            sums[f] += costs.cost[f][code];
        left = row[x];
        upperLeft = up;
    }
    int best = 0;
    for (int f = 1; f < kFilterCount; ++f)
        if (sums[f] < sums[best])
            best = f;
    return best;
}

// libpng reports errors by longjmp; keep everything that needs destruction outside the
// function that calls setjmp.
bool WriteRows(std::FILE* file, const Image& image, std::vector<std::uint8_t>& row,
               std::vector<std::uint8_t>& indices, std::string* message) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        *message = "out of memory";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        *message = "out of memory";
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *message = "write failed";
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // libpng filters each row by trying all five filters on its RGB bytes, which costs more
    // than compressing it. The same choice is made here from the palette indices, a table
    // lookup per pixel, and libpng is given just that filter, so the file is the same. The
    // first row is left to libpng: the filters in force when it is compressed also set the
    // compression strategy. Images one dot wide or high, where libpng drops filters, are
    // left to it too.
    const int width = image.width;
    const bool choose = width > 1 && image.height > 1;
    std::uint8_t* current = indices.data();
    std::uint8_t* above = indices.data() + width;
    bool allBlack = false;  // the row in `row` and `above`
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* dots = image.dots.data() + static_cast<std::size_t>(y) * width;
        if (y > 0 && std::memcmp(dots, dots - width, static_cast<std::size_t>(width)) == 0) {
            // The row above again (blank paper, mostly): `row` still holds it, and Up makes
            // every byte 0, unless the bytes are all 0 already (black), which None takes.
            if (choose)
                png_set_filter(png, PNG_FILTER_TYPE_BASE,
                               allBlack ? PNG_FILTER_NONE : PNG_FILTER_UP);
            png_write_row(png, row.data());
            continue;
        }
        allBlack = true;
        for (int x = 0; x < width; ++x) {
            const int index = PaletteIndex(dots[x]);
            current[x] = static_cast<std::uint8_t>(index);
            allBlack = allBlack && index == kBlackIndex;
            std::memcpy(&row[static_cast<std::size_t>(x) * 3], kRgb[index], 3);
        }
        if (choose && y > 0)
            png_set_filter(png, PNG_FILTER_TYPE_BASE,
                           kFilterBits[ChooseFilter(current, above, width)]);
        png_write_row(png, row.data());
        std::swap(current, above);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePng(const platform::Folder& folder, const std::string& name, const Image& image,
              std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = folder.Path() + "/" + name + ": " + why;
        return false;
    };
    // PNG cannot hold an empty image; width and dots must agree or At() reads past the end.
    if (image.width <= 0 || image.height <= 0)
        return fail("empty image");
    if (image.dots.size() != static_cast<std::size_t>(image.width) * image.height)
        return fail("image size does not match its dots");
    if (image.width > 1000000 || image.height > 1000000)
        return fail("image too large");
    // Written under a fresh temporary name and renamed over the target, so that a reader
    // watching for the file never opens half a picture, and nothing planted under either
    // name is written through.
    std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width) * 3);
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(image.width) * 2);
    std::string why;
    const bool ok = platform::ReplaceFile(
        folder, name, 0644,
        [&](std::FILE* file, std::string* message) {
            return WriteRows(file, image, row, indices, message);
        },
        &why);
    if (!ok && error)
        *error = why;
    return ok;
}

bool WritePng(const std::string& path, const Image& image, std::string* error) {
    platform::Folder folder;
    std::string why;
    if (!folder.Open(platform::FolderOf(path), platform::FolderRule::Any, false, &why)) {
        if (error)
            *error = path + ": " + why;
        return false;
    }
    return WritePng(folder, platform::NameOf(path), image, error);
}

std::string PixelHash(const Image& image) {
    // 64-bit FNV-1a over width, height and every dot: stable across runs and machines.
    std::uint64_t hash = 0xcbf29ce484222325ull;
    auto mix = [&hash](std::uint8_t byte) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    };
    for (int value : {image.width, image.height})
        for (int i = 0; i < 4; ++i)
            mix(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i)));
    for (std::uint8_t dot : image.dots)
        mix(dot);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace thermpos::vprinter
