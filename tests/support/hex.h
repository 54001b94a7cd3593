// Bytes as hex text ("1B 74 09"), so that a failed comparison of printer data reads.
#pragma once

#include <string>
#include <string_view>

namespace thermpos::testing {

inline std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes) {
        if (!out.empty())
            out += ' ';
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

}  // namespace thermpos::testing
