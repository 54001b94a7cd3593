// PrintBarCode of the thermal printer family and the command bytes behind it.
#include "so/printer/PrinterBarCode.h"

#include <algorithm>

#include "so/printer/ThermalPrinter.h"

namespace thermpos::so {

namespace {

enum class DataRule {
    kAny,  // the printer's own data rules apply; it refuses what its symbology cannot hold
    kDigits,
    // Interleaved digits go in pairs: the printer drops the whole command for an odd count,
    // so it is refused here, where the application can still be told.
    kEvenDigits,
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
    {PTR_BCS_UPCE, 0x42, 11, 12, DataRule::kDigits, 11},
    {PTR_BCS_JAN8, 0x44, 7, 8, DataRule::kDigits, 7},
    {PTR_BCS_JAN13, 0x43, 12, 13, DataRule::kDigits, 12},
    {PTR_BCS_ITF, 0x46, 2, 254, DataRule::kEvenDigits},
    {PTR_BCS_Codabar, 0x47, 1, 255, DataRule::kAny},
    {PTR_BCS_Code39, 0x45, 1, 255, DataRule::kAny},
    {PTR_BCS_Code93, 0x48, 1, 255, DataRule::kAny},
    {PTR_BCS_Code128, 0x49, 2, 255, DataRule::kAny},
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

bool DataFits(const SymbologyRule& rule, std::string_view data) {
    if (data.size() < rule.minLength || data.size() > rule.maxLength) {
        return false;
    }
    if (rule.rule == DataRule::kAny) {
        return true;
    }
    // A printer that meets a byte other than a digit in these symbologies abandons the
    // command and prints the rest as text.
    if (!std::all_of(data.begin(), data.end(), [](char c) { return c >= '0' && c <= '9'; })) {
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
    const SymbologyRule* rule = FindSymbology(request.symbology);
    const int hri = HriPosition(request.textPosition);
    const int justification = Justification(request.alignment);
    if (request.heightDots < 1 || request.heightDots > 255 || rule == nullptr ||
        !DataFits(*rule, request.data) || hri < 0 || justification < 0) {
        return OPOS_E_ILLEGAL;
    }
    std::string& b = *out;
    b.reserve(request.data.size() + 24);
    if (request.upsideDown) {
        b += {0x1B, 0x7B, 0x01};
    }
    b += {0x1B, 0x61, static_cast<char>(justification)};
    b += {0x1D, 0x48, static_cast<char>(hri)};
    b += {0x1D, 0x68, static_cast<char>(request.heightDots)};
    // The module width is always two dots; the application's width is only checked.
    b += {0x1D, 0x77, 0x02};
    b += {0x1D, 0x6B, rule->system, static_cast<char>(request.data.size())};
    b += request.data;
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
    // The printer sizes the symbol by its module width; the width only has to fit the line.
    if (width < 1 || width > m_RecLineWidth) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    BarCodeRequest request;
    request.data = bytes;
    request.symbology = symbology;
    request.heightDots = ConvertUnits(m_MapMode, PTR_MM_DOTS, height);
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
