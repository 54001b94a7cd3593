// Reading a PNG back as plain RGB pixels, so tests compare what a picture shows rather
// than the bytes of the file (the compressed bytes differ between zlib versions).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vprinter/image.h"

namespace thermpos::testing {

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // row-major, 3 bytes per pixel

    bool operator==(const RgbImage&) const = default;
};

// False when the file is missing or not a PNG libpng can read.
[[nodiscard]] bool ReadPng(const std::string& path, RgbImage* out);

// The same, as the inks of a receipt (white paper, red #C00000, anything else black), for
// comparison with what the virtual printer rendered.
[[nodiscard]] bool ReadPngAsImage(const std::string& path, vprinter::Image* out);

}  // namespace thermpos::testing
