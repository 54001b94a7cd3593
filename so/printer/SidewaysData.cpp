// Line breaking and measuring of gathered sideways data. See SidewaysData.h.
#include "so/printer/SidewaysData.h"

#include <algorithm>
#include <cstdint>

namespace thermpos::so {

namespace {

constexpr char kEsc = 0x1B;
constexpr char kFs = 0x1C;
constexpr char kGs = 0x1D;
constexpr char kLf = 0x0A;

// Line step of single-height text while sideways, in dots.
constexpr LONG kSidewaysLineStep = 34;

unsigned Byte(std::string_view s, std::size_t at) {
    return static_cast<unsigned char>(s[at]);
}

std::uint64_t Le16(std::string_view s, std::size_t at) {
    return Byte(s, at) | Byte(s, at + 1) << 8;
}

std::uint64_t Le32(std::string_view s, std::size_t at) {
    return Le16(s, at) | Le16(s, at + 2) << 16;
}

// The length of a command whose parameters start with a fixed header of `header` bytes
// holding its data length: the whole rest when the header is cut short.
template <class DataLength>
std::uint64_t WithHeader(std::string_view s, std::size_t header, DataLength dataLength) {
    return s.size() < header ? s.size() : header + dataLength();
}

// Through the first zero byte at or after `from`, or the whole rest without one.
std::uint64_t ThroughZero(std::string_view s, std::size_t from, std::size_t limit) {
    const std::size_t end = s.find('\0', std::min(from, s.size()));
    return std::min<std::uint64_t>(end == std::string_view::npos ? s.size() : end + 1, limit);
}

// ESC & y c1 c2, then for each code from c1 to c2 a width x and y × x column bytes.
std::uint64_t UserCharactersLength(std::string_view s) {
    if (s.size() < 5) {
        return s.size();
    }
    const std::uint64_t y = Byte(s, 2);
    const unsigned c1 = Byte(s, 3), c2 = Byte(s, 4);
    std::uint64_t at = 5;
    for (unsigned code = c1; code <= c2 && at < s.size(); ++code) {
        at += 1 + y * Byte(s, at);
    }
    return at;
}

// FS q n, then n images of xL xH yL yH and x × y × 8 bytes.
std::uint64_t NvImagesLength(std::string_view s) {
    if (s.size() < 3) {
        return s.size();
    }
    const unsigned count = Byte(s, 2);
    std::uint64_t at = 3;
    for (unsigned k = 0; k < count && at < s.size(); ++k) {
        if (s.size() - at < 4) {
            return s.size();
        }
        at += 4 + Le16(s, at) * Le16(s, at + 2) * 8;
    }
    return at;
}

// Lengths of the commands the family knows, prefix included; s starts at the prefix and
// holds at least two bytes. The caller bounds the result by the data left.
std::uint64_t EscLength(std::string_view s) {
    switch (Byte(s, 1)) {
        case ' ':
        case '!':
        case '%':
        case '-':
        case '3':
        case '=':
        case '?':
        case 'E':
        case 'G':
        case 'J':
        case 'M':
        case 'R':
        case 'T':
        case 'U':
        case 'V':
        case 'a':
        case 'd':
        case 'e':
        case 'r':
        case 't':
        case 'u':
        case '{':
            return 3;
        case '$':
        case '\\':
        case 'c':
        case '~':
            return 4;
        case 'p':
            return 5;
        case 'W':
            return 10;
        case '*':
            return WithHeader(s, 5, [&] { return Le16(s, 3) * (Byte(s, 2) >= 32 ? 3 : 1); });
        case '(':
            return WithHeader(s, 5, [&] { return Le16(s, 3); });
        case 'D':
            // At most 32 tab positions and the closing zero.
            return ThroughZero(s, 2, 2 + 33);
        case '&':
            return UserCharactersLength(s);
        default:
            // ESC @, L, S, 2, FF and any command this family does not have: the prefix and
            // the command byte, so that the command byte is never counted as text.
            return 2;
    }
}

std::uint64_t GsLength(std::string_view s) {
    switch (Byte(s, 1)) {
        case '!':
        case '/':
        case 'B':
        case 'H':
        case 'I':
        case 'a':
        case 'b':
        case 'f':
        case 'h':
        case 'r':
        case 'w':
            return 3;
        case 'V':
            // Feed-and-cut forms (65, 66, 97 ...) carry a feed amount.
            return s.size() > 2 && Byte(s, 2) >= 65 ? 4 : 3;
        case '$':
        case '\\':
        case 'L':
        case 'P':
        case 'W':
            return 4;
        case '(':
            return WithHeader(s, 5, [&] { return Le16(s, 3); });
        case '*':
            return WithHeader(s, 4, [&] { return std::uint64_t{Byte(s, 2)} * Byte(s, 3) * 8; });
        case 'v':
            return WithHeader(s, 8, [&] { return Le16(s, 4) * Le16(s, 6); });
        case '8':
            return s.size() > 2 && s[2] == 'L' ? WithHeader(s, 7, [&] { return Le32(s, 3); }) : 2;
        case 'k':
            if (s.size() < 3) {
                return s.size();
            }
            if (Byte(s, 2) <= 6) {
                return ThroughZero(s, 3, s.size());
            }
            return Byte(s, 2) >= 65 ? WithHeader(s, 4, [&] { return Byte(s, 3); }) : 3;
        default:
            return 2;
    }
}

std::uint64_t FsLength(std::string_view s) {
    switch (Byte(s, 1)) {
        case '&':
        case '.':
            return 2;
        case '!':
        case '-':
        case 'C':
        case 'W':
            return 3;
        case '(':
            return WithHeader(s, 5, [&] { return Le16(s, 3); });
        case 'q':
            return NvImagesLength(s);
        default:
            // FS p n m, and what is not known here.
            return 4;
    }
}

}  // namespace

LONG MeasureSideways(std::string_view bytes, const FontCell (&cells)[3], int fontCount,
                     int startFont, LONG* widest, std::string* out) {
    out->clear();
    out->reserve(bytes.size() + bytes.size() / 8 + 16);
    fontCount = std::clamp(fontCount, 1, 3);
    FontCell cell = cells[std::clamp(startFont, 0, fontCount - 1)];
    // Two measures of a line: `line`, in the units the breaking rule counts, decides where
    // a line breaks; `lineDots` is how far the printer really moves along the paper (a
    // character is its cell wide, times the width factor), the printer's own vertical
    // motion unit, which the page is sized in.
    LONG factor = 2;
    LONG widthFactor = 1;
    LONG advance = (cell.width - 1) * factor;
    LONG dots = cell.width;
    LONG line = 0;
    LONG lineDots = 0;
    LONG wide = 0;

    std::size_t i = 0;
    auto copy = [&](std::uint64_t length) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes.size() - i));
        out->append(bytes.substr(i, n));
        i += n;
    };

    while (i < bytes.size()) {
        const char b = bytes[i];
        const std::string_view rest = bytes.substr(i);
        if (b == kLf) {
            out->push_back(kLf);
            ++i;
            wide = std::max(wide, lineDots);
            line = 0;
            lineDots = 0;
        } else if ((b == kEsc || b == kGs || b == kFs) && rest.size() < 2) {
            copy(1);
        } else if (b == kEsc) {
            if (rest[1] == 'M' && rest.size() >= 3) {
                // 0 and 1 (or '0' and '1') select fonts A and B; anything else the last one.
                const unsigned n = Byte(rest, 2);
                const int font = n == 0 || n == '0' ? 0 : n == 1 || n == '1' ? 1 : 2;
                cell = cells[std::min(font, fontCount - 1)];
                advance = factor * cell.width;
                dots = widthFactor * cell.width;
            }
            copy(EscLength(rest));
        } else if (b == kGs) {
            // A size the printer refuses (bits 3 or 7 set) changes nothing there either.
            if (rest[1] == '!' && rest.size() >= 3 && (Byte(rest, 2) & 0x88) == 0) {
                const unsigned n = Byte(rest, 2);
                widthFactor = static_cast<LONG>(n >> 4) + 1;
                const LONG heightFactor = static_cast<LONG>(n & 0x0F) + 1;
                const LONG step =
                    heightFactor == 1 ? kSidewaysLineStep : heightFactor * cell.height;
                factor = 2 * widthFactor;
                advance = (cell.width - 1) * factor;
                dots = widthFactor * cell.width;
                out->append({kEsc, '3', static_cast<char>(std::min<LONG>(step, 255))});
            }
            copy(GsLength(rest));
        } else if (b == kFs) {
            copy(FsLength(rest));
        } else if (static_cast<unsigned char>(b) < 0x20) {
            copy(1);
        } else {
            out->push_back(b);
            ++i;
            line += advance;
            lineDots += dots;
            if (line > kSidewaysLineLimit) {
                out->push_back(kLf);
                wide = std::max(wide, lineDots);
                line = 0;
                lineDots = 0;
            }
        }
    }
    // A last line without LF is printed too, so it counts like the others.
    *widest = std::max(wide, lineDots);
    return 0;
}

}  // namespace thermpos::so
