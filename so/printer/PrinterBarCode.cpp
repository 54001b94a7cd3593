// PrintBarCode of the thermal printer family and the command bytes behind it.
#include "so/printer/PrinterBarCode.h"

#include <algorithm>

#include "so/printer/ThermalPrinter.h"
#include "so/printer/TwoDimensionalCodes.h"

namespace thermpos::so {

namespace {

// A printer that meets data its symbology cannot hold abandons the command and prints the
// bytes as text; each rule refuses such data here, where the application can still be told.
enum class DataRule {
    kDigits,
    // Interleaved digits go in pairs: the printer drops the whole command for an odd count.
    kEvenDigits,
    // Digits whose UPC-A body (number system 0) has a six-digit short form.
    kUpcE,
    kCode39,
    kCodabar,
    kCode93,
    kCode128,
};

struct SymbologyRule {
    LONG symbology;
    char system;  // m of GS k function B
    std::size_t minLength;
    std::size_t maxLength;
    DataRule rule;
    // GS1 symbologies: digits that carry a mod-10 check digit when one more is given. The
    // printer refuses a wrong one and prints nothing, so it is refused here instead of
    // being reported as printed.
    std::size_t checkedLength = 0;
};

// Only function B is sent: its length byte lets any byte, zero included, be data.
constexpr SymbologyRule kSymbologies[] = {
    {PTR_BCS_UPCA, 0x41, 11, 12, DataRule::kDigits, 11},
    {PTR_BCS_UPCE, 0x42, 11, 12, DataRule::kUpcE, 11},
    {PTR_BCS_JAN8, 0x44, 7, 8, DataRule::kDigits, 7},
    {PTR_BCS_JAN13, 0x43, 12, 13, DataRule::kDigits, 12},
    {PTR_BCS_ITF, 0x46, 2, 254, DataRule::kEvenDigits},
    {PTR_BCS_Codabar, 0x47, 2, 255, DataRule::kCodabar},
    {PTR_BCS_Code39, 0x45, 1, 255, DataRule::kCode39},
    {PTR_BCS_Code93, 0x48, 1, 255, DataRule::kCode93},
    {PTR_BCS_Code128, 0x49, 2, 255, DataRule::kCode128},
};

const SymbologyRule* FindSymbology(LONG symbology) {
    for (const SymbologyRule& rule : kSymbologies) {
        if (rule.symbology == symbology) {
            return &rule;
        }
    }
    return nullptr;
}

// Weight 3 on the rightmost data digit, alternating with 1.
char Gs1CheckDigit(std::string_view digits) {
    int sum = 0;
    int weight = 3;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        sum += (*it - '0') * weight;
        weight = 4 - weight;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A UPC-E symbol stands for an 11-digit UPC-A body of number system 0 whose manufacturer
// number m1..m5 and product number p1..p5 follow one of four zero patterns; the printer
// drops a body in none of them:
//   m1 m2 {0,1,2} 0 0 / 0 0 p3 p4 p5      m1 m2 m3 0 0 / 0 0 0 p4 p5
//   m1 m2 m3 m4 0 / 0 0 0 0 p5            m1..m5 / 0 0 0 0 {5..9}
bool HasUpcEForm(std::string_view body) {
    if (body[0] != '0') {
        return false;
    }
    const std::string_view m = body.substr(1, 5);
    const std::string_view p = body.substr(6, 5);
    return (m.substr(3) == "00" && m[2] <= '2' && p.substr(0, 2) == "00") ||
           (m.substr(3) == "00" && p.substr(0, 3) == "000") ||
           (m[4] == '0' && p.substr(0, 4) == "0000") || (p.substr(0, 4) == "0000" && p[4] >= '5');
}

bool IsCode39Char(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z') ||
           std::string_view(" $%+-./").find(c) != std::string_view::npos;
}

// The printer adds the start and stop '*' itself, and takes data that already carries
// them at both ends; a '*' anywhere else is no character of the symbology.
bool Code39Fits(std::string_view data) {
    if (data.size() >= 2 && data.front() == '*' && data.back() == '*') {
        data = data.substr(1, data.size() - 2);
    }
    return !data.empty() && std::all_of(data.begin(), data.end(), IsCode39Char);
}

bool IsCodabarStartStop(char c) {
    return (c >= 'A' && c <= 'D') || (c >= 'a' && c <= 'd');
}

// Codabar data carries its own start and stop characters, A-D (either case), and only
// those two; in between go digits and - $ : / . +.
bool CodabarFits(std::string_view data) {
    if (!IsCodabarStartStop(data.front()) || !IsCodabarStartStop(data.back())) {
        return false;
    }
    const std::string_view inner = data.substr(1, data.size() - 2);
    return std::all_of(inner.begin(), inner.end(), [](char c) {
        return IsDigit(c) || std::string_view("-$:/.+").find(c) != std::string_view::npos;
    });
}

bool AllSevenBit(std::string_view data) {
    return std::all_of(data.begin(), data.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 0x7F; });
}

// Whether byte b is a character of Code 128 set A (00-5F), B (20-7F) or C (one binary
// value 0-99 for a digit pair).
bool InCode128Set(char set, unsigned char b) {
    switch (set) {
        case 'A':
            return b <= 0x5F;
        case 'B':
            return b >= 0x20 && b <= 0x7F;
        default:
            return b <= 99;
    }
}

// Code 128 data opens with the code set ({A, {B or {C}; a brace always starts a two-byte
// escape: {A {B {C switch sets, {S takes the next character from the other of A and B,
// {1..{4 are FNC1..FNC4 and {{ is a brace. Set C has neither SHIFT, FNC2..FNC4 nor the
// brace. The printer abandons the command at anything else, a character outside the set in
// force included.
bool Code128Fits(std::string_view data) {
    if (data[0] != '{' || (data[1] != 'A' && data[1] != 'B' && data[1] != 'C')) {
        return false;
    }
    char set = data[1];
    for (std::size_t i = 2; i < data.size(); ++i) {
        char charSet = set;
        if (data[i] == '{') {
            if (++i == data.size()) {
                return false;
            }
            const char e = data[i];
            if (e == 'A' || e == 'B' || e == 'C') {
                set = e;
                continue;
            }
            if (e == '1') {
                continue;
            }
            if (set == 'C') {
                return false;
            }
            if (e == '2' || e == '3' || e == '4') {
                continue;
            }
            if (e == 'S') {
                // The shifted character; a brace only as the literal {{.
                if (++i == data.size() ||
                    (data[i] == '{' && (++i == data.size() || data[i] != '{'))) {
                    return false;
                }
                charSet = set == 'A' ? 'B' : 'A';
            } else if (e != '{') {
                return false;
            }
        }
        if (!InCode128Set(charSet, static_cast<unsigned char>(data[i]))) {
            return false;
        }
    }
    return true;
}

bool DataFits(const SymbologyRule& rule, std::string_view data) {
    if (data.size() < rule.minLength || data.size() > rule.maxLength) {
        return false;
    }
    switch (rule.rule) {
        case DataRule::kCode39:
            return Code39Fits(data);
        case DataRule::kCodabar:
            return CodabarFits(data);
        case DataRule::kCode93:
            return AllSevenBit(data);
        case DataRule::kCode128:
            return Code128Fits(data);
        case DataRule::kDigits:
        case DataRule::kEvenDigits:
        case DataRule::kUpcE:
            break;
    }
    if (!std::all_of(data.begin(), data.end(), IsDigit)) {
        return false;
    }
    if (rule.rule == DataRule::kUpcE && !HasUpcEForm(data.substr(0, 11))) {
        return false;
    }
    if (rule.checkedLength != 0 && data.size() == rule.checkedLength + 1 &&
        data.back() != Gs1CheckDigit(data.substr(0, rule.checkedLength))) {
        return false;
    }
    return rule.rule != DataRule::kEvenDigits || data.size() % 2 == 0;
}

// GS H: where the human-readable text goes; -1 when the value has no meaning here.
int HriPosition(LONG textPosition) {
    switch (textPosition) {
        case PTR_BC_TEXT_NONE:
            return 0;
        case PTR_BC_TEXT_ABOVE:
            return 1;
        case PTR_BC_TEXT_BELOW:
            return 2;
        case kBarCodeTextBoth:
            return 3;
        default:
            return -1;
    }
}

// ESC a; a position in dots (a value of 0 or more) has no printer command, so it is
// refused rather than printed somewhere else.
int Justification(LONG alignment) {
    switch (alignment) {
        case PTR_BC_LEFT:
            return 0;
        case PTR_BC_CENTER:
            return 1;
        case PTR_BC_RIGHT:
            return 2;
        default:
            return -1;
    }
}

}  // namespace

LONG BuildBarCodeCommand(const BarCodeRequest& request, std::string* out) {
    out->clear();
    const int hri = HriPosition(request.textPosition);
    const int justification = Justification(request.alignment);
    if (hri < 0 || justification < 0) {
        return OPOS_E_ILLEGAL;
    }
    std::string body;
    if (IsTwoDimensionalSymbology(request.symbology)) {
        const LONG r = AppendTwoDimensionalCode(request.symbology, request.data, request.heightDots,
                                                request.widthDots, &body);
        if (r != OPOS_SUCCESS) {
            return r;
        }
    } else {
        const SymbologyRule* rule = FindSymbology(request.symbology);
        if (request.heightDots < 1 || request.heightDots > 255 || rule == nullptr ||
            !DataFits(*rule, request.data)) {
            return OPOS_E_ILLEGAL;
        }
        body.reserve(request.data.size() + 13);
        body += {0x1D, 0x48, static_cast<char>(hri)};
        body += {0x1D, 0x68, static_cast<char>(request.heightDots)};
        // The module width is always two dots; the application's width is only checked.
        body += {0x1D, 0x77, 0x02};
        body += {0x1D, 0x6B, rule->system, static_cast<char>(request.data.size())};
        body += request.data;
    }
    std::string& b = *out;
    b.reserve(body.size() + 12);
    if (request.upsideDown) {
        b += {0x1B, 0x7B, 0x01};
    }
    b += {0x1B, 0x61, static_cast<char>(justification)};
    b += body;
    b += {0x1B, 0x61, 0x00};
    if (request.upsideDown) {
        b += {0x1B, 0x7B, 0x00};
    }
    return OPOS_SUCCESS;
}

LONG CThermalPrinter::PrintBarCode(LONG station, const std::string& data, LONG symbology,
                                   LONG height, LONG width, LONG alignment, LONG textPosition) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if (station != PTR_S_RECEIPT && station != PTR_S_SLIP) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    std::string bytes;
    r = ConvertBinary(data, &bytes);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    // A one-dimensional symbol is sized by its module width, so its width only has to fit
    // the line; a two-dimensional one is sized to fit it.
    if (width < 1 || width > m_RecLineWidth) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    BarCodeRequest request;
    request.data = bytes;
    request.symbology = symbology;
    request.heightDots = ConvertUnits(m_MapMode, PTR_MM_DOTS, height);
    request.widthDots = ConvertUnits(m_MapMode, PTR_MM_DOTS, width);
    request.alignment = alignment;
    request.textPosition = textPosition;
    request.upsideDown = m_RotateSpecial == ptr::PTR_RP_ROTATE180;
    std::string command;
    r = BuildBarCodeCommand(request, &command);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    return SetResult(SubmitOutput(station, command, false));
}

}  // namespace thermpos::so
