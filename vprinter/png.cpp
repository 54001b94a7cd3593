// Receipt images to PNG files, and the pixel hash the golden tests compare.
#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "vprinter/image.h"

namespace thermpos::vprinter {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

void PaletteOf(std::uint8_t ink, std::uint8_t* rgb) {
    switch (ink) {
        case kBlack:
            rgb[0] = rgb[1] = rgb[2] = 0;
            break;
        case kRed:
            rgb[0] = 0xC0;
            rgb[1] = rgb[2] = 0;
            break;
        default:  // paper, and any stray value, stays white rather than failing the file
            rgb[0] = rgb[1] = rgb[2] = 0xFF;
            break;
    }
}

// libpng reports errors by longjmp; keep everything that needs destruction outside the
// function that calls setjmp.
bool WriteRows(std::FILE* file, const Image& image, std::vector<std::uint8_t>& row,
               std::string* message) {
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
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x)
            PaletteOf(image.At(x, y), &row[static_cast<std::size_t>(x) * 3]);
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePng(const std::string& path, const Image& image, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = path + ": " + why;
        return false;
    };
    // PNG cannot hold an empty image; width and dots must agree or At() reads past the end.
    if (image.width <= 0 || image.height <= 0)
        return fail("empty image");
    if (image.dots.size() != static_cast<std::size_t>(image.width) * image.height)
        return fail("image size does not match its dots");
    if (image.width > 1000000 || image.height > 1000000)
        return fail("image too large");
    // Written beside the target and renamed over it, so that a reader watching for the
    // file never opens half a picture.
    const std::string temporary = path + ".part";
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(temporary.c_str(), "wb"));
    if (!file)
        return fail(std::strerror(errno));
    std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width) * 3);
    std::string message;
    bool ok = WriteRows(file.get(), image, row, &message);
    if (ok && std::fflush(file.get()) != 0) {
        ok = false;
        message = std::strerror(errno);
    }
    if (std::fclose(file.release()) != 0 && ok) {
        ok = false;
        message = std::strerror(errno);
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        message = std::strerror(errno);
    }
    if (!ok) {
        std::remove(temporary.c_str());
        return fail(message);
    }
    return true;
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
