// Builds BMP files for the bitmap tests: any of the depths the printer reads, either row
// order, with a palette or bit fields, and a test picture whose every dot is known.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace printertest {

struct BmpSpec {
    int width = 8;
    int height = 8;
    int bpp = 1;
    bool topDown = false;
    int32_t xPerMetre = 0;
    int32_t yPerMetre = 0;
    // Colours 0xRRGGBB of the palette (depths up to 8); empty: black and white.
    std::vector<uint32_t> palette;
    // 32 bits only: bit fields red, green, blue, alpha in a 56-byte header.
    bool bitfields = false;
    uint32_t masks[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
};

inline void PutLe(std::string* s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

// pixel(x, y), y counted from the top: a palette index up to 8 bits, else the raw pixel
// (0xRRGGBB, or the value under the masks for bit fields).
inline std::string MakeBmp(const BmpSpec& spec, const std::function<uint32_t(int, int)>& pixel) {
    std::vector<uint32_t> palette = spec.palette;
    if (spec.bpp <= 8 && palette.empty()) {
        palette = {0x000000, 0xFFFFFF};
    }
    const uint32_t header = spec.bitfields ? 56 : 40;
    const uint32_t offBits = 14 + header + static_cast<uint32_t>(palette.size()) * 4;
    const uint32_t stride = ((static_cast<uint32_t>(spec.width) * spec.bpp + 31) / 32) * 4;
    const uint32_t size = offBits + stride * spec.height;
    std::string f = "BM";
    PutLe(&f, size, 4);
    PutLe(&f, 0, 4);
    PutLe(&f, offBits, 4);
    PutLe(&f, header, 4);
    PutLe(&f, static_cast<uint32_t>(spec.width), 4);
    PutLe(&f, static_cast<uint32_t>(spec.topDown ? -spec.height : spec.height), 4);
    PutLe(&f, 1, 2);
    PutLe(&f, static_cast<uint32_t>(spec.bpp), 2);
    PutLe(&f, spec.bitfields ? 3 : 0, 4);
    PutLe(&f, stride * spec.height, 4);
    PutLe(&f, static_cast<uint32_t>(spec.xPerMetre), 4);
    PutLe(&f, static_cast<uint32_t>(spec.yPerMetre), 4);
    PutLe(&f, static_cast<uint32_t>(palette.size()), 4);
    PutLe(&f, 0, 4);
    if (spec.bitfields) {
        for (uint32_t mask : spec.masks) {
            PutLe(&f, mask, 4);
        }
    }
    for (uint32_t colour : palette) {
        PutLe(&f, colour, 4);  // blue, green, red, 0
    }
    for (int r = 0; r < spec.height; ++r) {
        const int y = spec.topDown ? r : spec.height - 1 - r;
        std::string row(stride, '\0');
        for (int x = 0; x < spec.width; ++x) {
            const uint32_t v = pixel(x, y);
            if (spec.bpp <= 8) {
                const int bit = x * spec.bpp;
                row[bit / 8] = static_cast<char>(row[bit / 8] | (v << (8 - spec.bpp - bit % 8)));
            } else {
                std::string px;
                PutLe(&px, v, spec.bpp / 8);
                row.replace(static_cast<std::size_t>(x) * (spec.bpp / 8), px.size(), px);
            }
        }
        f += row;
    }
    return f;
}

// A picture with no symmetry: a frame (so the ink's extent is the picture's), a diagonal
// and a few scattered dots, so flips, shifts and lost rows all show.
inline bool TestDot(int x, int y, int width, int height) {
    if (x == 0 || y == 0 || x == width - 1 || y == height - 1) {
        return true;
    }
    if (x == y || (x * 7 + y * 3) % 11 == 0) {
        return true;
    }
    return x < width / 3 && y < height / 4;
}

// The test picture as a 1-bit file (palette 0 black, 1 white).
inline std::string TestPictureBmp(int width, int height, int32_t perMetre = 0) {
    BmpSpec spec;
    spec.width = width;
    spec.height = height;
    spec.xPerMetre = spec.yPerMetre = perMetre;
    return MakeBmp(spec, [&](int x, int y) { return TestDot(x, y, width, height) ? 0u : 1u; });
}

// The test picture as the printer's rows: top-down, 1 = black, rows of ((w + 31) / 32) * 4.
inline std::string TestPictureRows(int width, int height) {
    const std::size_t stride = ((static_cast<std::size_t>(width) + 31) / 32) * 4;
    std::string rows(stride * height, '\0');
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (TestDot(x, y, width, height)) {
                rows[y * stride + x / 8] =
                    static_cast<char>(rows[y * stride + x / 8] | (0x80 >> (x % 8)));
            }
        }
    }
    return rows;
}

}  // namespace printertest
