// Bar code encoders for GS k function B. Our own tables for every symbology, so that the
// printer's data rules (CODE128 code sets above all) are followed bar for bar.
#include "vprinter/barcode.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace thermpos::vprinter {
namespace {

using Modules = std::vector<std::uint8_t>;

bool Refuse(std::string* error, const char* why) {
    if (error)
        *error = why;
    return false;
}

// Appends `width` modules of one colour.
void Put(Modules& m, int width, bool bar) {
    m.insert(m.end(), static_cast<std::size_t>(width), bar);
}

// Appends a pattern written as '1'/'0' module text.
void PutBits(Modules& m, const char* bits) {
    for (; *bits; ++bits)
        m.push_back(*bits == '1');
}

// Appends alternating bar/space elements given as width digits, starting with a bar.
void PutWidths(Modules& m, const char* widths) {
    bool bar = true;
    for (; *widths; ++widths, bar = !bar)
        Put(m, *widths - '0', bar);
}

bool AllDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// ---- EAN / UPC ----

// Set A (odd parity) patterns; set C is their complement and set B the reverse of C.
constexpr const char* kEanA[10] = {"0001101", "0011001", "0010011", "0111101", "0100011",
                                   "0110001", "0101111", "0111011", "0110111", "0001011"};

void PutEanDigit(Modules& m, int digit, char set) {
    const char* a = kEanA[digit];
    char bits[8] = {};
    for (int i = 0; i < 7; ++i) {
        switch (set) {
            case 'A':
                bits[i] = a[i];
                break;
            case 'B':  // reversed complement
                bits[i] = a[6 - i] == '1' ? '0' : '1';
                break;
            default:  // 'C': complement
                bits[i] = a[i] == '1' ? '0' : '1';
                break;
        }
    }
    PutBits(m, bits);
}

// Mod-10 check digit of the GS1 family: weight 3 on the rightmost data digit, alternating.
int Gs1Check(std::string_view digits) {
    int sum = 0;
    int weight = 3;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        sum += (*it - '0') * weight;
        weight = 4 - weight;
    }
    return (10 - sum % 10) % 10;
}

// Digits with their check digit: `dataLength` digits get one computed, one more means the
// last is a check digit that must be right (a wrong one would print a symbol no scanner
// reads).
bool WithCheckDigit(std::string_view data, std::size_t dataLength, std::string* digits,
                    std::string* error) {
    if (!AllDigits(data))
        return Refuse(error, "digits only");
    if (data.size() != dataLength && data.size() != dataLength + 1)
        return Refuse(error, "wrong number of digits");
    const std::string_view payload = data.substr(0, dataLength);
    const char check = static_cast<char>('0' + Gs1Check(payload));
    if (data.size() == dataLength + 1 && data.back() != check)
        return Refuse(error, "check digit does not match");
    *digits = std::string(payload) + check;
    return true;
}

// EAN-13 parity of the left half, chosen by the leading digit (A = odd, B = even).
constexpr const char* kEan13Parity[10] = {"AAAAAA", "AABABB", "AABBAB", "AABBBA", "ABAABB",
                                          "ABBAAB", "ABBBAA", "ABABAB", "ABABBA", "ABBABA"};

void PutEan13(Modules& m, const std::string& d) {
    PutBits(m, "101");
    for (int i = 0; i < 6; ++i)
        PutEanDigit(m, d[1 + i] - '0', kEan13Parity[d[0] - '0'][i]);
    PutBits(m, "01010");
    for (int i = 7; i < 13; ++i)
        PutEanDigit(m, d[i] - '0', 'C');
    PutBits(m, "101");
}

bool EncodeUpcA(std::string_view data, BarcodeSymbol* out, std::string* error) {
    std::string digits;
    if (!WithCheckDigit(data, 11, &digits, error))
        return false;
    PutEan13(out->modules, "0" + digits);  // UPC-A is EAN-13 with a leading 0
    out->hri = digits;
    return true;
}

bool EncodeEan13(std::string_view data, BarcodeSymbol* out, std::string* error) {
    std::string digits;
    if (!WithCheckDigit(data, 12, &digits, error))
        return false;
    PutEan13(out->modules, digits);
    out->hri = digits;
    return true;
}

bool EncodeEan8(std::string_view data, BarcodeSymbol* out, std::string* error) {
    std::string d;
    if (!WithCheckDigit(data, 7, &d, error))
        return false;
    Modules& m = out->modules;
    PutBits(m, "101");
    for (int i = 0; i < 4; ++i)
        PutEanDigit(m, d[i] - '0', 'A');
    PutBits(m, "01010");
    for (int i = 4; i < 8; ++i)
        PutEanDigit(m, d[i] - '0', 'C');
    PutBits(m, "101");
    out->hri = d;
    return true;
}

// UPC-E: six digits d1..d6 stand for an 11-digit UPC-A body (number system + 10).
std::string ExpandUpcE(char system, std::string_view e) {
    const std::string s(e);
    std::string manufacturer;
    std::string product;
    switch (e[5]) {
        case '0':
        case '1':
        case '2':
            manufacturer = s.substr(0, 2) + s[5] + "00";
            product = "00" + s.substr(2, 3);
            break;
        case '3':
            manufacturer = s.substr(0, 3) + "00";
            product = "000" + s.substr(3, 2);
            break;
        case '4':
            manufacturer = s.substr(0, 4) + "0";
            product = "0000" + s.substr(4, 1);
            break;
        default:
            manufacturer = s.substr(0, 5);
            product = "0000" + s.substr(5, 1);
            break;
    }
    return std::string(1, system) + manufacturer + product;
}

// The six UPC-E digits of an 11-digit UPC-A body, or empty when it cannot be compressed.
std::string CompressUpcA(std::string_view a) {
    const std::string m(a.substr(1, 5));
    const std::string p(a.substr(6, 5));
    std::string e;
    if (m.substr(3, 2) == "00" && m[2] <= '2' && p.substr(0, 2) == "00")
        e = m.substr(0, 2) + p.substr(2, 3) + m[2];
    else if (m.substr(3, 2) == "00" && p.substr(0, 3) == "000")
        e = m.substr(0, 3) + p.substr(3, 2) + "3";
    else if (m[4] == '0' && p.substr(0, 4) == "0000")
        e = m.substr(0, 4) + p[4] + "4";
    else if (p.substr(0, 4) == "0000" && p[4] >= '5')
        e = m + p[4];
    // Every rule above must round-trip; anything else has no UPC-E form.
    if (e.empty() || ExpandUpcE(a[0], e) != a)
        return {};
    return e;
}

// Parity of the six digits for number system 0, by check digit (A = odd, B = even);
// number system 1 uses the opposite parities.
constexpr const char* kUpcEParity[10] = {"BBBAAA", "BBABAA", "BBAABA", "BBAAAB", "BABBAA",
                                         "BAABBA", "BAAABB", "BABABA", "BABAAB", "BAABAB"};

bool EncodeUpcE(std::string_view data, BarcodeSymbol* out, std::string* error) {
    if (!AllDigits(data))
        return Refuse(error, "digits only");
    char system = '0';
    std::string six;
    char givenCheck = 0;
    switch (data.size()) {
        case 6:
            six = std::string(data);
            break;
        case 7:
        case 8:
            system = data[0];
            six = std::string(data.substr(1, 6));
            if (data.size() == 8)
                givenCheck = data[7];
            break;
        case 11:
        case 12:
            system = data[0];
            six = CompressUpcA(data.substr(0, 11));
            if (six.empty())
                return Refuse(error, "UPC-A data has no UPC-E form");
            if (data.size() == 12)
                givenCheck = data[11];
            break;
        default:
            return Refuse(error, "wrong number of digits");
    }
    if (system != '0' && system != '1')
        return Refuse(error, "number system must be 0 or 1");
    const char check = static_cast<char>('0' + Gs1Check(ExpandUpcE(system, six)));
    if (givenCheck && givenCheck != check)
        return Refuse(error, "check digit does not match");
    Modules& m = out->modules;
    PutBits(m, "101");
    for (int i = 0; i < 6; ++i) {
        char parity = kUpcEParity[check - '0'][i];
        if (system == '1')
            parity = parity == 'A' ? 'B' : 'A';
        PutEanDigit(m, six[i] - '0', parity);
    }
    PutBits(m, "010101");
    out->hri = std::string(1, system) + six + check;
    return true;
}

// ---- two-width codes: elements written as n (narrow) and w (wide) ----

constexpr int kWideModules = 3;  // see BarcodeDots for the printed widths

void PutTwoWidth(Modules& m, const char* elements, bool startWithBar = true) {
    bool bar = startWithBar;
    for (; *elements; ++elements, bar = !bar)
        Put(m, *elements == 'w' ? kWideModules : 1, bar);
}

// CODE39: five bars and four spaces, three of them wide.
struct Code39Char {
    char c;
    const char* elements;
};
constexpr Code39Char kCode39[] = {
    {'0', "nnnwwnwnn"}, {'1', "wnnwnnnnw"}, {'2', "nnwwnnnnw"}, {'3', "wnwwnnnnn"},
    {'4', "nnnwwnnnw"}, {'5', "wnnwwnnnn"}, {'6', "nnwwwnnnn"}, {'7', "nnnwnnwnw"},
    {'8', "wnnwnnwnn"}, {'9', "nnwwnnwnn"}, {'A', "wnnnnwnnw"}, {'B', "nnwnnwnnw"},
    {'C', "wnwnnwnnn"}, {'D', "nnnnwwnnw"}, {'E', "wnnnwwnnn"}, {'F', "nnwnwwnnn"},
    {'G', "nnnnnwwnw"}, {'H', "wnnnnwwnn"}, {'I', "nnwnnwwnn"}, {'J', "nnnnwwwnn"},
    {'K', "wnnnnnnww"}, {'L', "nnwnnnnww"}, {'M', "wnwnnnnwn"}, {'N', "nnnnwnnww"},
    {'O', "wnnnwnnwn"}, {'P', "nnwnwnnwn"}, {'Q', "nnnnnnwww"}, {'R', "wnnnnnwwn"},
    {'S', "nnwnnnwwn"}, {'T', "nnnnwnwwn"}, {'U', "wwnnnnnnw"}, {'V', "nwwnnnnnw"},
    {'W', "wwwnnnnnn"}, {'X', "nwnnwnnnw"}, {'Y', "wwnnwnnnn"}, {'Z', "nwwnwnnnn"},
    {'-', "nwnnnnwnw"}, {'.', "wwnnnnwnn"}, {' ', "nwwnnnwnn"}, {'*', "nwnnwnwnn"},
    {'$', "nwnwnwnnn"}, {'/', "nwnwnnnwn"}, {'+', "nwnnnwnwn"}, {'%', "nnnwnwnwn"},
};

const char* Code39Elements(char c) {
    for (const auto& entry : kCode39)
        if (entry.c == c)
            return entry.elements;
    return nullptr;
}

bool EncodeCode39(std::string_view data, BarcodeSymbol* out, std::string* error) {
    // Newer printers take data that already carries its start/stop '*'.
    std::string_view body = data;
    if (body.size() >= 2 && body.front() == '*' && body.back() == '*')
        body = body.substr(1, body.size() - 2);
    if (body.empty())
        return Refuse(error, "no data");
    for (char c : body)
        if (c == '*' || !Code39Elements(c))
            return Refuse(error, "character not in CODE39");
    Modules& m = out->modules;
    const std::string framed = "*" + std::string(body) + "*";
    for (std::size_t i = 0; i < framed.size(); ++i) {
        if (i)
            Put(m, 1, false);  // inter-character gap
        PutTwoWidth(m, Code39Elements(framed[i]));
    }
    out->hri = framed;
    return true;
}

// ITF: digit pairs, the first digit in the bars and the second in the spaces.
constexpr const char* kItf[10] = {"nnwwn", "wnnnw", "nwnnw", "wwnnn", "nnwnw",
                                  "wnwnn", "nwwnn", "nnnww", "wnnwn", "nwnwn"};

bool EncodeItf(std::string_view data, BarcodeSymbol* out, std::string* error) {
    if (data.empty() || !AllDigits(data))
        return Refuse(error, "digits only");
    // An odd count cannot be interleaved; dropping the last digit would print other data.
    if (data.size() % 2)
        return Refuse(error, "ITF needs an even number of digits");
    Modules& m = out->modules;
    PutTwoWidth(m, "nnnn");
    for (std::size_t i = 0; i < data.size(); i += 2) {
        const char* bars = kItf[data[i] - '0'];
        const char* spaces = kItf[data[i + 1] - '0'];
        char mixed[11] = {};
        for (int k = 0; k < 5; ++k) {
            mixed[2 * k] = bars[k];
            mixed[2 * k + 1] = spaces[k];
        }
        PutTwoWidth(m, mixed);
    }
    PutTwoWidth(m, "wnn");
    out->hri = std::string(data);
    return true;
}

// CODABAR: four bars and three spaces.
struct CodabarChar {
    char c;
    const char* elements;
};
constexpr CodabarChar kCodabar[] = {
    {'0', "nnnnnww"}, {'1', "nnnnwwn"}, {'2', "nnnwnnw"}, {'3', "wwnnnnn"}, {'4', "nnwnnwn"},
    {'5', "wnnnnwn"}, {'6', "nwnnnnw"}, {'7', "nwnnwnn"}, {'8', "nwwnnnn"}, {'9', "wnnwnnn"},
    {'-', "nnnwwnn"}, {'$', "nnwwnnn"}, {':', "wnnnwnw"}, {'/', "wnwnnnw"}, {'.', "wnwnwnn"},
    {'+', "nnwnwnw"}, {'A', "nnwwnwn"}, {'B', "nwnwnnw"}, {'C', "nnnwnww"}, {'D', "nnnwwwn"},
};

const char* CodabarElements(char c) {
    for (const auto& entry : kCodabar)
        if (entry.c == c)
            return entry.elements;
    return nullptr;
}

bool IsCodabarStartStop(char c) {
    return (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd');
}

bool EncodeCodabar(std::string_view data, BarcodeSymbol* out, std::string* error) {
    if (data.size() < 2 || !IsCodabarStartStop(data.front()) || !IsCodabarStartStop(data.back()))
        return Refuse(error, "CODABAR data must begin and end with A-D");
    Modules& m = out->modules;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char c = data[i];
        const bool edge = i == 0 || i + 1 == data.size();
        if (IsCodabarStartStop(c)) {
            if (!edge)
                return Refuse(error, "A-D only as start and stop");
            c = static_cast<char>(c & ~0x20);
        }
        const char* elements = CodabarElements(c);
        if (!elements)
            return Refuse(error, "character not in CODABAR");
        if (i)
            Put(m, 1, false);
        PutTwoWidth(m, elements);
    }
    out->hri = std::string(data);
    return true;
}

// ---- CODE93 ----

// Values 0..46: 0-9, A-Z, - . space $ / + %, then the shifts ($) (%) (/) (+).
constexpr const char* kCode93[47] = {
    "100010100", "101001000", "101000100", "101000010", "100101000", "100100100", "100100010",
    "101010000", "100010010", "100001010", "110101000", "110100100", "110100010", "110010100",
    "110010010", "110001010", "101101000", "101100100", "101100010", "100110100", "100011010",
    "101011000", "101001100", "101000110", "100101100", "100010110", "110110100", "110110010",
    "110101100", "110100110", "110010110", "110011010", "101101100", "101100110", "100110110",
    "100111010", "100101110", "111010100", "111010010", "111001010", "101101110", "101110110",
    "110101110", "100100110", "111011010", "111010110", "100110010",
};
constexpr const char* kCode93StartStop = "101011110";
constexpr char kCode93Set[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%";
enum : int { kShiftDollar = 43, kShiftPercent = 44, kShiftSlash = 45, kShiftPlus = 46 };

// Full-ASCII form of a byte: a direct value, or a shift followed by a letter.
void Code93Values(std::uint8_t b, std::vector<int>& values) {
    auto direct = [](char c) { return static_cast<int>(std::strchr(kCode93Set, c) - kCode93Set); };
    if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || b == '-' || b == '.' || b == ' ' ||
        b == '$' || b == '/' || b == '+' || b == '%') {
        values.push_back(direct(static_cast<char>(b)));
        return;
    }
    int shift;
    char letter;
    if (b == 0) {
        shift = kShiftPercent;
        letter = 'U';
    } else if (b <= 26) {
        shift = kShiftDollar;
        letter = static_cast<char>('A' + b - 1);
    } else if (b <= 31) {
        shift = kShiftPercent;
        letter = static_cast<char>('A' + b - 27);
    } else if (b >= '!' && b <= ',') {
        shift = kShiftSlash;
        letter = static_cast<char>('A' + b - '!');
    } else if (b == ':') {
        shift = kShiftSlash;
        letter = 'Z';
    } else if (b >= ';' && b <= '?') {
        shift = kShiftPercent;
        letter = static_cast<char>('F' + b - ';');
    } else if (b == '@') {
        shift = kShiftPercent;
        letter = 'V';
    } else if (b >= '[' && b <= '_') {
        shift = kShiftPercent;
        letter = static_cast<char>('K' + b - '[');
    } else if (b == '`') {
        shift = kShiftPercent;
        letter = 'W';
    } else if (b >= 'a' && b <= 'z') {
        shift = kShiftPlus;
        letter = static_cast<char>('A' + b - 'a');
    } else {  // { | } ~ DEL
        shift = kShiftPercent;
        letter = static_cast<char>('P' + b - '{');
    }
    values.push_back(shift);
    values.push_back(direct(letter));
}

int Code93Check(const std::vector<int>& values, int maxWeight) {
    int sum = 0;
    int weight = 1;
    for (auto it = values.rbegin(); it != values.rend(); ++it) {
        sum += *it * weight;
        weight = weight == maxWeight ? 1 : weight + 1;
    }
    return sum % 47;
}

// The HRI marks start/stop and control characters with a box, as the printer does.
constexpr const char* kHriBox = "\u25A0";

bool EncodeCode93(std::string_view data, BarcodeSymbol* out, std::string* error) {
    if (data.empty())
        return Refuse(error, "no data");
    std::vector<int> values;
    std::string hri = kHriBox;
    for (char c : data) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b > 0x7F)
            return Refuse(error, "CODE93 takes bytes 00-7F");
        const std::size_t before = values.size();
        Code93Values(b, values);
        if (b >= 0x20 && b < 0x7F) {
            hri += c;
        } else {
            hri += kHriBox;
            hri += kCode93Set[values[before + 1]];
        }
    }
    values.push_back(Code93Check(values, 20));
    values.push_back(Code93Check(values, 15));
    Modules& m = out->modules;
    PutBits(m, kCode93StartStop);
    for (int v : values)
        PutBits(m, kCode93[v]);
    PutBits(m, kCode93StartStop);
    m.push_back(1);  // termination bar
    out->hri = hri + kHriBox;
    return true;
}

// ---- CODE128 ----

// Element widths (bar, space, ...) of values 0..105; 106 is the stop pattern.
constexpr const char* kCode128[107] = {
    "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312",  "132212",
    "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122",  "123221",
    "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122",  "321221",
    "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123",  "131321",
    "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331",  "132131",
    "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311",  "213131",
    "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411",  "431111",
    "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412",  "122114",
    "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111",  "111242",
    "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211",  "212141",
    "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113",  "411311",
    "113141", "114131", "311141", "411131", "211412", "211214", "211232", "2331112",
};

enum : int {
    kFnc3 = 96,
    kFnc2 = 97,
    kShift = 98,
    kCodeC = 99,
    kCodeB = 100,  // FNC4 in set B
    kCodeA = 101,  // FNC4 in set A
    kFnc1 = 102,
    kStartA = 103,
};

// Value of byte b in set A or B, or -1 when that set has no such character.
int Code128Value(char set, std::uint8_t b) {
    if (set == 'A') {
        if (b < 0x20)
            return b + 64;
        if (b < 0x60)
            return b - 0x20;
        return -1;
    }
    if (b >= 0x20 && b < 0x80)
        return b - 0x20;
    return -1;
}

bool EncodeCode128(std::string_view data, BarcodeSymbol* out, std::string* error) {
    if (data.size() < 2 || data[0] != '{' || (data[1] != 'A' && data[1] != 'B' && data[1] != 'C'))
        return Refuse(error, "CODE128 data must start with {A, {B or {C");
    char set = data[1];
    std::vector<int> values = {kStartA + (set - 'A')};
    std::string hri;
    auto hriChar = [&hri](std::uint8_t b) {
        hri += (b < 0x20 || b == 0x7F) ? ' ' : static_cast<char>(b);
    };
    for (std::size_t i = 2; i < data.size();) {
        const auto b = static_cast<std::uint8_t>(data[i]);
        if (b > 0x7F)
            return Refuse(error, "CODE128 takes bytes 00-7F");
        if (b == '{') {
            if (i + 1 >= data.size())
                return Refuse(error, "unfinished { escape");
            const char e = data[i + 1];
            i += 2;
            switch (e) {
                case 'A':
                case 'B':
                case 'C':
                    // Selecting the set in force changes nothing; the code value for it
                    // would mean FNC4 instead.
                    if (e != set)
                        values.push_back(e == 'A' ? kCodeA : e == 'B' ? kCodeB : kCodeC);
                    set = e;
                    break;
                case 'S': {
                    if (set == 'C')
                        return Refuse(error, "SHIFT is not valid in code set C");
                    if (i >= data.size())
                        return Refuse(error, "SHIFT without a character");
                    const char other = set == 'A' ? 'B' : 'A';
                    std::uint8_t shifted = static_cast<std::uint8_t>(data[i]);
                    std::size_t used = 1;
                    if (shifted == '{') {
                        // Only the literal brace can follow a shift as an escape.
                        if (i + 1 >= data.size() || data[i + 1] != '{')
                            return Refuse(error, "SHIFT must be followed by a character");
                        used = 2;
                    }
                    const int v = Code128Value(other, shifted);
                    if (v < 0)
                        return Refuse(error, "character not in the shifted code set");
                    values.push_back(kShift);
                    values.push_back(v);
                    hriChar(shifted);
                    i += used;
                    break;
                }
                case '1':
                    values.push_back(kFnc1);
                    hri += ' ';
                    break;
                case '2':
                case '3':
                case '4':
                    if (set == 'C')
                        return Refuse(error, "only FNC1 is valid in code set C");
                    values.push_back(e == '2'   ? kFnc2
                                     : e == '3' ? kFnc3
                                                : (set == 'A' ? kCodeA : kCodeB));
                    hri += ' ';
                    break;
                case '{': {
                    const int v = set == 'C' ? -1 : Code128Value(set, '{');
                    if (v < 0)
                        return Refuse(error, "'{' is not in this code set");
                    values.push_back(v);
                    hri += '{';
                    break;
                }
                default:
                    return Refuse(error, "unknown { escape");
            }
            continue;
        }
        if (set == 'C') {
            // Each byte is one binary value 0..99 standing for two digits.
            if (b > 99)
                return Refuse(error, "code set C takes values 0-99");
            values.push_back(b);
            hri += static_cast<char>('0' + b / 10);
            hri += static_cast<char>('0' + b % 10);
        } else {
            const int v = Code128Value(set, b);
            if (v < 0)
                return Refuse(error, "character not in this code set");
            values.push_back(v);
            hriChar(b);
        }
        ++i;
    }
    int sum = values[0];
    for (std::size_t k = 1; k < values.size(); ++k)
        sum += static_cast<int>(k) * values[k];
    values.push_back(sum % 103);
    values.push_back(106);
    for (int v : values)
        PutWidths(out->modules, kCode128[v]);
    out->hri = hri;
    return true;
}

}  // namespace

bool EncodeBarcode(Symbology symbology, std::string_view data, BarcodeSymbol* out,
                   std::string* error) {
    if (!out)
        return Refuse(error, "no output");
    BarcodeSymbol symbol;
    bool ok = false;
    if (data.size() > 255)
        return Refuse(error, "more than 255 bytes");
    switch (symbology) {
        case Symbology::UpcA:
            ok = EncodeUpcA(data, &symbol, error);
            break;
        case Symbology::UpcE:
            ok = EncodeUpcE(data, &symbol, error);
            break;
        case Symbology::Ean13:
            ok = EncodeEan13(data, &symbol, error);
            break;
        case Symbology::Ean8:
            ok = EncodeEan8(data, &symbol, error);
            break;
        case Symbology::Code39:
            ok = EncodeCode39(data, &symbol, error);
            break;
        case Symbology::Itf:
            ok = EncodeItf(data, &symbol, error);
            break;
        case Symbology::Codabar:
            ok = EncodeCodabar(data, &symbol, error);
            break;
        case Symbology::Code93:
            ok = EncodeCode93(data, &symbol, error);
            break;
        case Symbology::Code128:
            ok = EncodeCode128(data, &symbol, error);
            break;
        default:
            return Refuse(error, "unknown symbology");
    }
    if (ok)
        *out = std::move(symbol);
    return ok;
}

bool IsTwoWidthSymbology(Symbology symbology) {
    return symbology == Symbology::Code39 || symbology == Symbology::Itf ||
           symbology == Symbology::Codabar;
}

std::vector<std::uint8_t> BarcodeDots(Symbology symbology, const BarcodeSymbol& symbol,
                                      int moduleWidth) {
    const int n = std::clamp(moduleWidth, 1, 6);
    std::vector<std::uint8_t> dots;
    if (!IsTwoWidthSymbology(symbology)) {
        dots.reserve(symbol.modules.size() * static_cast<std::size_t>(n));
        for (std::uint8_t module : symbol.modules)
            dots.insert(dots.end(), static_cast<std::size_t>(n), module ? 1 : 0);
        return dots;
    }
    // Wide elements at about 2.5 times the narrow one, as the printer's width table has it.
    static constexpr std::array<int, 7> kWideDots = {0, 3, 5, 8, 10, 13, 16};
    const auto& m = symbol.modules;
    for (std::size_t i = 0; i < m.size();) {
        std::size_t run = 1;
        while (i + run < m.size() && m[i + run] == m[i])
            ++run;
        // A run is one element: bars and spaces alternate, so a run is narrow or wide.
        const int width = run >= static_cast<std::size_t>(kWideModules) ? kWideDots[n] : n;
        dots.insert(dots.end(), static_cast<std::size_t>(width), m[i] ? 1 : 0);
        i += run;
    }
    return dots;
}

}  // namespace thermpos::vprinter
