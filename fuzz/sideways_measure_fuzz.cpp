// Fuzz target for the line breaking of sideways print data: any bytes, any font, must
// never crash, hang or overrun; the result must hold the input in order with no more than
// line breaks and line steps added, and no line may be measured wider than one can grow.
//
// Input layout: one byte choosing the model's font count (bit 0) and the start font
// (bits 1-2), then the print data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "so/printer/SidewaysData.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

constexpr thermpos::so::FontCell kThreeFonts[3] = {{12, 24}, {9, 17}, {8, 16}};
constexpr thermpos::so::FontCell kTwoFonts[3] = {{12, 24}, {9, 24}, {9, 24}};

// The widest any line can be: the limit plus the largest advance (font A, width × 8, after
// ESC M: 2 × 8 × 12). The widest line is counted in dots, which a character of a cell two
// or more dots wide never has more of than its breaking advance, so this bounds it too.
constexpr LONG kWidestPossible = thermpos::so::kSidewaysLineLimit + 2 * 8 * 12;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const bool twoFonts = (data[0] & 1) != 0;
    const int startFont = (data[0] >> 1) & 3;
    const std::string_view in(reinterpret_cast<const char*>(data + 1), size - 1);

    std::string out = "stale";
    LONG widest = -1;
    Check(thermpos::so::MeasureSideways(in, twoFonts ? kTwoFonts : kThreeFonts, twoFonts ? 2 : 3,
                                        startFont, &widest, &out) == 0);
    Check(widest >= 0 && widest <= kWidestPossible);

    // Every input byte is there, in order.
    std::size_t i = 0;
    for (std::size_t j = 0; j < out.size() && i < in.size(); ++j) {
        if (out[j] == in[i]) {
            ++i;
        }
    }
    Check(i == in.size());
    // At most one line break per character and one line step per size command.
    Check(out.size() <= in.size() * 2 + 3);
    return 0;
}
