// Comparing names without regard to letter case, the way Windows compares registry, port,
// class and member names. Only the ASCII letters fold: every name these compare is ASCII,
// and a byte above 0x7F (UTF-8 or a code page) matches only itself, whatever the locale.
//
// No state, no locks: any thread.
#pragma once

#include <string>
#include <string_view>

namespace thermpos::platform {

// 'A'..'Z' as 'a'..'z'; every other byte unchanged.
[[nodiscard]] constexpr char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// The text with FoldCase applied to each byte: a key under which names that differ only in
// case are the same.
[[nodiscard]] std::string FoldCase(std::string_view text);

[[nodiscard]] bool EqualNoCase(std::string_view a, std::string_view b);
[[nodiscard]] bool StartsWithNoCase(std::string_view text, std::string_view prefix);
[[nodiscard]] bool ContainsNoCase(std::string_view text, std::string_view part);

// Below, equal to or above 0, ordering as the C library's strcasecmp does in the "C"
// locale: byte by byte after folding to lower case, so '_' sorts before the letters.
[[nodiscard]] int CompareNoCase(std::string_view a, std::string_view b);

}  // namespace thermpos::platform
