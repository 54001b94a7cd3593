// A receipt image: one byte per dot, as the virtual printer's paper sees it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace thermpos::platform {
class Folder;
}

namespace thermpos::vprinter {

enum Ink : std::uint8_t { kPaper = 0, kBlack = 1, kRed = 2 };

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> dots;  // row-major, width * height, values of Ink

    Image() = default;
    Image(int w, int h) : width(w), height(h), dots(static_cast<std::size_t>(w) * h, kPaper) {}
    std::uint8_t At(int x, int y) const { return dots[static_cast<std::size_t>(y) * width + x]; }
    void Set(int x, int y, std::uint8_t ink) {
        if (x >= 0 && y >= 0 && x < width && y < height)
            dots[static_cast<std::size_t>(y) * width + x] = ink;
    }
};

// Writes the image as an 8-bit RGB PNG (paper white, black ink, red ink #C00000), under a
// temporary name that is renamed to `name` in the folder once it is whole; a link or file
// planted under either name is replaced, never written through. Returns false with
// *error set when the file cannot be written.
bool WritePng(const platform::Folder& folder, const std::string& name, const Image& image,
              std::string* error);
// The same at a path, in whatever folder it names.
bool WritePng(const std::string& path, const Image& image, std::string* error);

// A stable hash of size and dots (hex text), for golden tests.
std::string PixelHash(const Image& image);

}  // namespace thermpos::vprinter
