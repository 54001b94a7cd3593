// QR Code and PDF417 through libzint: the data as raw bytes (no character set conversion,
// no ECI), the symbol's module matrix read back row by row.
#include "vprinter/symbol2d.h"

#include <zint.h>

#include <algorithm>

namespace thermpos::vprinter {
namespace {

struct SymbolDeleter {
    void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};
using Symbol = std::unique_ptr<zint_symbol, SymbolDeleter>;

std::shared_ptr<Bitmap> Refuse(std::string* error, const std::string& why) {
    if (error)
        *error = why;
    return nullptr;
}

// Encodes the prepared symbol; a warning that zint changed a size it was given counts as
// a refusal, since the printer was told that size.
std::shared_ptr<Bitmap> Encode(zint_symbol* symbol, std::string_view data, bool sizeGiven,
                               std::string* error) {
    if (data.empty())
        return Refuse(error, "no data stored");
    symbol->input_mode = DATA_MODE;
    const int rc = ZBarcode_Encode(symbol, reinterpret_cast<const unsigned char*>(data.data()),
                                   static_cast<int>(data.size()));
    if (rc >= ZINT_ERROR || (rc == ZINT_WARN_INVALID_OPTION && sizeGiven))
        return Refuse(error, symbol->errtxt);
    if (symbol->rows <= 0 || symbol->width <= 0)
        return Refuse(error, "empty symbol");
    auto modules = std::make_shared<Bitmap>(symbol->width, symbol->rows);
    for (int y = 0; y < symbol->rows; ++y)
        for (int x = 0; x < symbol->width; ++x)
            if ((symbol->encoded_data[y][x >> 3] >> (x & 7)) & 1)
                modules->Set(x, y);
    return modules;
}

}  // namespace

std::shared_ptr<Bitmap> EncodeQr(const QrSettings& settings, std::string_view data,
                                 std::string* error) {
    Symbol symbol(ZBarcode_Create());
    if (!symbol)
        return Refuse(error, "out of memory");
    switch (settings.model) {
        case 2:
            symbol->symbology = BARCODE_QRCODE;
            break;
        case 3:
            symbol->symbology = BARCODE_MICROQR;
            break;
        default:
            return Refuse(error, "model 1 is not printed by this printer");
    }
    symbol->option_1 = std::clamp(settings.level, 0, 3) + 1;
    return Encode(symbol.get(), data, false, error);
}

std::shared_ptr<Bitmap> EncodePdf417(const Pdf417Settings& settings, std::string_view data,
                                     std::string* error) {
    Symbol symbol(ZBarcode_Create());
    if (!symbol)
        return Refuse(error, "out of memory");
    symbol->symbology = settings.truncated ? BARCODE_PDF417COMP : BARCODE_PDF417;
    int level = settings.level;
    if (settings.levelIsRatio) {
        // Error correction codewords of about ratio x 10 % of the data codewords, the data
        // counted as one codeword per byte: the smallest level that gives as many.
        const std::size_t wanted =
            (data.size() * static_cast<std::size_t>(settings.level) + 9) / 10;
        level = 0;
        while (level < 8 && (std::size_t{2} << level) < wanted)
            ++level;
    }
    symbol->option_1 = std::clamp(level, 0, 8);
    symbol->option_2 = settings.columns;
    symbol->option_3 = settings.rows;
    return Encode(symbol.get(), data, settings.columns != 0 || settings.rows != 0, error);
}

}  // namespace thermpos::vprinter
