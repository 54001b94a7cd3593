#include "vprinter/charset.h"

#include <memory>
#include <mutex>
#include <string>

#include "platform/codepage.h"

namespace thermpos::vprinter {
namespace {

struct TableEntry {
    int table;
    unsigned codePage;
};

// Tables 6 to 9 follow the numbering of the printers we emulate (the service objects send
// ESC t 9 for 1252 and ESC t 6 for 852); other makers use those numbers for other pages.
constexpr TableEntry kTables[] = {
    {0, 437},   {2, 850},   {3, 860},   {4, 863},   {5, 865},   {16, 1252}, {17, 866},
    {18, 852},  {19, 858},  {6, 852},   {7, 866},   {8, 857},   {9, 1252},  {11, 851},
    {12, 853},  {13, 857},  {14, 737},  {15, 869},  {20, 874},  {46, 1251}, {47, 1253},
    {48, 1254}, {49, 1255}, {50, 1256}, {51, 1257}, {52, 1258},
};

// The twelve positions ESC R replaces, in this order.
constexpr std::uint8_t kNationalPositions[12] = {0x23, 0x24, 0x40, 0x5B, 0x5C, 0x5D,
                                                 0x5E, 0x60, 0x7B, 0x7C, 0x7D, 0x7E};

// One row per set 0..17, characters for the positions above.
constexpr char32_t kNational[18][12] = {
    {U'#', U'$', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},  // USA
    {U'#', U'$', U'à', U'°', U'ç', U'§', U'^', U'`', U'é', U'ù', U'è', U'¨'},   // France
    {U'#', U'$', U'§', U'Ä', U'Ö', U'Ü', U'^', U'`', U'ä', U'ö', U'ü', U'ß'},   // Germany
    {U'£', U'$', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},  // UK
    {U'#', U'$', U'@', U'Æ', U'Ø', U'Å', U'^', U'`', U'æ', U'ø', U'å', U'~'},   // Denmark I
    {U'#', U'¤', U'É', U'Ä', U'Ö', U'Å', U'Ü', U'é', U'ä', U'ö', U'å', U'ü'},   // Sweden
    {U'#', U'$', U'@', U'°', U'\\', U'é', U'^', U'ù', U'à', U'ò', U'è', U'ì'},  // Italy
    {U'₧', U'$', U'@', U'¡', U'Ñ', U'¿', U'^', U'`', U'¨', U'ñ', U'}', U'~'},   // Spain I
    {U'#', U'$', U'@', U'[', U'¥', U']', U'^', U'`', U'{', U'|', U'}', U'~'},   // Japan
    {U'#', U'¤', U'É', U'Æ', U'Ø', U'Å', U'Ü', U'é', U'æ', U'ø', U'å', U'ü'},   // Norway
    {U'#', U'$', U'É', U'Æ', U'Ø', U'Å', U'Ü', U'é', U'æ', U'ø', U'å', U'ü'},   // Denmark II
    {U'#', U'$', U'á', U'¡', U'Ñ', U'¿', U'é', U'`', U'í', U'ñ', U'ó', U'ú'},   // Spain II
    {U'#', U'$', U'á', U'¡', U'Ñ', U'¿', U'é', U'ü', U'í', U'ñ', U'ó', U'ú'},   // Latin America
    {U'#', U'$', U'@', U'[', U'₩', U']', U'^', U'`', U'{', U'|', U'}', U'~'},   // Korea
    {U'#', U'$', U'Ž', U'Š', U'Đ', U'Ć', U'Č', U'ž', U'š', U'đ', U'ć', U'č'},   // Slovenia
    {U'#', U'¥', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},  // China
    {U'#', U'₫', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},  // Vietnam
    {U'#', U'$', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},  // Arabia
};

CodeTableMap BuildTable(int table) {
    CodeTableMap map{};
    for (int b = 0; b < 0x80; ++b)
        map[b] = static_cast<char32_t>(b);
    for (int b = 0x80; b < 0x100; ++b)
        map[b] = U'\uFFFD';
    if (table == 1) {
        // Half-width katakana as in JIS X 0201; the graphics around it have no font.
        for (int b = 0xA1; b <= 0xDF; ++b)
            map[b] = static_cast<char32_t>(0xFF61 + (b - 0xA1));
        return map;
    }
    const unsigned cp = CodePageOfTable(table);
    if (cp == 0)
        return map;
    for (int b = 0x80; b < 0x100; ++b) {
        std::u16string wide;
        const char byte = static_cast<char>(b);
        if (platform::MultiByteToWide(cp, std::string_view(&byte, 1), &wide) != ERROR_SUCCESS)
            break;
        if (wide.size() == 1)
            map[b] = wide[0];
    }
    return map;
}

}  // namespace

unsigned CodePageOfTable(int table) {
    for (const auto& e : kTables)
        if (e.table == table)
            return e.codePage;
    return 0;
}

bool IsSupportedCodeTable(int table) {
    if (table == 1)
        return true;
    const unsigned cp = CodePageOfTable(table);
    return cp != 0 && platform::IsValidCodePage(cp);
}

const CodeTableMap& CodeTable(int table) {
    // Tables are few and small; building each once keeps per-character work to a lookup.
    static std::mutex mutex;
    static std::array<std::unique_ptr<CodeTableMap>, 256> cache;
    const int slot = table & 0xFF;
    std::lock_guard<std::mutex> lock(mutex);
    if (!cache[slot])
        cache[slot] = std::make_unique<CodeTableMap>(BuildTable(slot));
    return *cache[slot];
}

bool IsSupportedInternationalSet(int set) {
    return set >= 0 && set < 18;
}

char32_t InternationalChar(int set, std::uint8_t byte) {
    if (set <= 0 || set >= 18)
        return byte;
    for (int i = 0; i < 12; ++i)
        if (kNationalPositions[i] == byte)
            return kNational[set][i];
    return byte;
}

}  // namespace thermpos::vprinter
