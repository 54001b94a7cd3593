// QR Code and PDF417 sizes and the GS ( k commands that print them.
#include "so/printer/TwoDimensionalCodes.h"

#include <algorithm>
#include <array>

namespace thermpos::so {

namespace {

// Bytes a QR Code symbol of version 1..40 holds in byte mode at error correction level M.
constexpr std::array<int, 40> kQrByteCapacityM = {
    14,   26,   42,   62,   84,   106,  122,  152,  180,  213,  251,  287,  331,  362,
    412,  450,  504,  560,  624,  666,  711,  779,  857,  911,  997,  1059, 1125, 1190,
    1264, 1370, 1452, 1538, 1628, 1722, 1809, 1911, 1989, 2099, 2213, 2331,
};
static_assert(kQrByteCapacityM.back() == static_cast<int>(kQrMaxData));

constexpr int kQrMaxModuleDots = 16;

constexpr int kPdf417MinModule = 2;
constexpr int kPdf417MaxModule = 8;
constexpr int kPdf417MaxColumns = 30;
constexpr int kPdf417MinRows = 3;
constexpr int kPdf417MaxRows = 90;
constexpr int kPdf417MaxCodewords = 928;
// Row height in module widths: the printer's default, and the least that scanners read well.
constexpr int kPdf417RowHeight = 3;

// Data codewords the printer may spend on n bytes, the length descriptor included. Byte
// compaction alone takes 5 for every 6 bytes, but an encoder that mixes compaction modes
// to save codewords on text can spend more on data that keeps switching between letters,
// digits and other bytes (libzint, for one, up to about 1.2 per byte). 1.25 per byte, a
// mode latch and the length descriptor held for libzint on every mix of data we tried.
int Pdf417DataCodewords(std::size_t n) {
    return static_cast<int>((5 * n + 3) / 4) + 2;
}

// The smallest level the symbology's own guidance gives for that many data codewords.
int Pdf417Level(int dataCodewords) {
    if (dataCodewords <= 40) {
        return 2;
    }
    if (dataCodewords <= 160) {
        return 3;
    }
    return dataCodewords <= 320 ? 4 : 5;
}

int Pdf417MaxRows(int columns) {
    return std::min(kPdf417MaxRows, kPdf417MaxCodewords / columns);
}

constexpr char kGs = 0x1D;

// GS ( k pL pH cn fn followed by the parameters.
void AppendSymbolCommand(std::string* out, char cn, char fn, std::string_view parameters) {
    const std::size_t length = parameters.size() + 2;
    *out +=
        {kGs, '(', 'k', static_cast<char>(length & 0xFF), static_cast<char>(length >> 8), cn, fn};
    *out += parameters;
}

void AppendStoreAndPrint(std::string* out, char cn, std::string_view data) {
    std::string store = "0";
    store += data;
    AppendSymbolCommand(out, cn, 'P', store);
    AppendSymbolCommand(out, cn, 'Q', "0");
}

}  // namespace

bool IsTwoDimensionalSymbology(LONG symbology) {
    return symbology == PTR_BCS_QRCODE || symbology == PTR_BCS_PDF417;
}

std::optional<QrSize> ChooseQrSize(std::size_t dataLength, LONG heightDots, LONG widthDots) {
    if (dataLength == 0 || dataLength > kQrMaxData) {
        return std::nullopt;
    }
    QrSize size;
    while (kQrByteCapacityM[size.version] < static_cast<int>(dataLength)) {
        ++size.version;
    }
    ++size.version;
    size.modules = 17 + 4 * size.version;
    const LONG side = std::min(heightDots, widthDots);
    size.moduleDots = static_cast<int>(std::min<LONG>(kQrMaxModuleDots, side / size.modules));
    if (size.moduleDots < 1) {
        return std::nullopt;
    }
    return size;
}

int Pdf417Size::WidthDots() const {
    return (17 * columns + 69) * moduleWidth;
}

std::optional<Pdf417Size> ChoosePdf417Size(std::size_t dataLength, LONG heightDots,
                                           LONG widthDots) {
    if (dataLength == 0 || dataLength > kPdf417MaxData) {
        return std::nullopt;
    }
    const int data = Pdf417DataCodewords(dataLength);
    Pdf417Size size;
    size.rowHeight = kPdf417RowHeight;
    size.level = Pdf417Level(data);
    const int total = data + (2 << size.level);
    for (int module = kPdf417MaxModule; module >= kPdf417MinModule; --module) {
        const LONG fitting = (widthDots / module - 69) / 17;
        const int most = static_cast<int>(std::min<LONG>(kPdf417MaxColumns, fitting));
        for (int columns = most; columns >= 1; --columns) {
            if (total > columns * Pdf417MaxRows(columns)) {
                continue;  // these columns do not hold it
            }
            size.columns = columns;
            size.moduleWidth = module;
            size.reservedRows = std::max(kPdf417MinRows, (total + columns - 1) / columns);
            if (size.HeightDots() <= heightDots) {
                return size;
            }
        }
    }
    return std::nullopt;
}

LONG AppendTwoDimensionalCode(LONG symbology, std::string_view data, LONG heightDots,
                              LONG widthDots, std::string* out) {
    if (symbology == PTR_BCS_QRCODE) {
        const std::optional<QrSize> size = ChooseQrSize(data.size(), heightDots, widthDots);
        if (!size) {
            return OPOS_E_ILLEGAL;
        }
        AppendSymbolCommand(out, '1', 'A', {"2\0", 2});  // model 2
        AppendSymbolCommand(out, '1', 'C', std::string(1, static_cast<char>(size->moduleDots)));
        AppendSymbolCommand(out, '1', 'E', "1");  // level M
        AppendStoreAndPrint(out, '1', data);
        return OPOS_SUCCESS;
    }
    if (symbology == PTR_BCS_PDF417) {
        const std::optional<Pdf417Size> size = ChoosePdf417Size(data.size(), heightDots, widthDots);
        if (!size) {
            return OPOS_E_ILLEGAL;
        }
        AppendSymbolCommand(out, '0', 'A', std::string(1, static_cast<char>(size->columns)));
        AppendSymbolCommand(out, '0', 'B', {"\0", 1});  // rows: the printer's choice
        AppendSymbolCommand(out, '0', 'C', std::string(1, static_cast<char>(size->moduleWidth)));
        AppendSymbolCommand(out, '0', 'D', std::string(1, static_cast<char>(size->rowHeight)));
        AppendSymbolCommand(out, '0', 'E', std::string{'0', static_cast<char>('0' + size->level)});
        AppendSymbolCommand(out, '0', 'F', {"\0", 1});  // standard, not truncated
        AppendStoreAndPrint(out, '0', data);
        return OPOS_SUCCESS;
    }
    return OPOS_E_ILLEGAL;
}

}  // namespace thermpos::so
