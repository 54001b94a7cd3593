#include "tests/support/png_read.h"

#include <png.h>

namespace thermpos::testing {

bool ReadPng(const std::string& path, RgbImage* out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->pixels.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr) != 0;
}

bool ReadPngAsImage(const std::string& path, vprinter::Image* out) {
    RgbImage rgb;
    if (!ReadPng(path, &rgb))
        return false;
    *out = vprinter::Image(rgb.width, rgb.height);
    for (std::size_t i = 0; i < out->dots.size(); ++i) {
        const std::uint8_t* p = &rgb.pixels[i * 3];
        out->dots[i] = p[1] == 255    ? vprinter::kPaper
                       : p[0] == 0xC0 ? vprinter::kRed
                                      : vprinter::kBlack;
    }
    return true;
}

}  // namespace thermpos::testing
