// Character codes to Unicode for receipt text: the code table (ESC t) decides bytes
// 80..FF, the international character set (ESC R) replaces twelve ASCII positions.
#pragma once

#include <array>
#include <cstdint>

namespace thermpos::vprinter {

using CodeTableMap = std::array<char32_t, 256>;

// Windows code page behind a code table number, 0 when the number is not supported
// (the command selecting it is then ignored). Table 1 (Katakana) has its own map and
// reports 0 here too; use IsSupportedCodeTable for acceptance.
unsigned CodePageOfTable(int table);
bool IsSupportedCodeTable(int table);

// The map of a code table for bytes 00..FF (00..1F map to themselves; they are never
// printed). Built once per table and cached for the life of the process. Bytes the
// system has no conversion for map to U+FFFD.
const CodeTableMap& CodeTable(int table);

bool IsSupportedInternationalSet(int set);
// The character an international set puts at an ASCII position; other bytes unchanged.
char32_t InternationalChar(int set, std::uint8_t byte);

}  // namespace thermpos::vprinter
