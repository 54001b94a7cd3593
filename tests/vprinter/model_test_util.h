// Shared helpers for the printer model tests: a model with an explicit clock, byte
// builders and image measurements.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/hex.h"
#include "vprinter/image.h"
#include "vprinter/model.h"

namespace thermpos::vprinter::test {

using namespace std::chrono_literals;

// Bytes from a mix of numbers and text: B({0x1B, 0x40}) + "abc".
inline std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

using thermpos::testing::Hex;

class Rig {
  public:
    explicit Rig(ModelOptions options = {}, HardwareState hw = {}) : model(options, hw) {}

    // Feeds everything at the current time; returns the number accepted.
    std::size_t Send(std::string_view bytes) {
        return model.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), now);
    }
    std::string Replies() { return Hex(model.TakeReplies()); }
    void Wait(std::chrono::nanoseconds d) {
        now += d;
        model.Advance(now);
    }
    // Prints bytes and a full cut, returns the one receipt produced.
    Image Print(std::string_view bytes) {
        Send(bytes);
        Send(B({0x1D, 0x56, 0x00}));
        auto r = model.TakeFinishedReceipts();
        return r.empty() ? Image{} : std::move(r.back().image);
    }

    PrinterModel model;
    TimePoint now{};
};

struct InkBox {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // inclusive
    long count = 0;
    bool Empty() const { return count == 0; }
};

// Extent of one ink (or any ink when ink == 255) within rows [fromRow, toRow).
inline InkBox Ink(const Image& img, std::uint8_t ink = 255, int fromRow = 0, int toRow = -1) {
    InkBox box;
    if (toRow < 0 || toRow > img.height)
        toRow = img.height;
    for (int y = std::max(fromRow, 0); y < toRow; ++y)
        for (int x = 0; x < img.width; ++x) {
            const std::uint8_t v = img.At(x, y);
            if (v == kPaper || (ink != 255 && v != ink))
                continue;
            ++box.count;
            box.left = std::min(box.left, x);
            box.right = std::max(box.right, x);
            box.top = std::min(box.top, y);
            box.bottom = std::max(box.bottom, y);
        }
    return box;
}

// Ink of a printed receipt without its two-row cut mark.
inline InkBox Content(const Image& img, std::uint8_t ink = 255) {
    return Ink(img, ink, 0, img.height - 2);
}

// The sub-image [x, x+w) x [y, y+h) as 0/1 rows.
inline std::vector<std::uint8_t> Crop(const Image& img, int x, int y, int w, int h) {
    std::vector<std::uint8_t> out;
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            const int px = x + i, py = y + j;
            out.push_back(px < img.width && py < img.height && img.At(px, py) != kPaper ? 1 : 0);
        }
    return out;
}

}  // namespace thermpos::vprinter::test
