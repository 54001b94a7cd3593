// Bar code encoders: data in, bar and space modules out, for the symbologies of
// GS k function B (m = 65..73).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace thermpos::vprinter {

enum class Symbology : std::uint8_t {
    UpcA = 65,
    UpcE = 66,
    Ean13 = 67,
    Ean8 = 68,
    Code39 = 69,
    Itf = 70,
    Codabar = 71,
    Code93 = 72,
    Code128 = 73,
};

struct BarcodeSymbol {
    std::vector<std::uint8_t> modules;  // one entry per module, 1 = bar, 0 = space, no quiet zone
    std::string hri;                    // human readable text as the printer prints it
};

// Encodes data the way the printer does. CODE128 data carries its code-set selections
// ("{A", "{B", "{C", "{{" ...) and is encoded exactly as selected. Returns false with
// *error set for data the symbology refuses (the printer then prints nothing).
bool EncodeBarcode(Symbology symbology, std::string_view data, BarcodeSymbol* out,
                   std::string* error);

// CODE39, ITF and CODABAR have narrow and wide elements only; in `modules` a narrow
// element is 1 module and a wide one 3. The HRI text is UTF-8 (CODE93 marks start/stop
// and control characters with U+25A0).
bool IsTwoWidthSymbology(Symbology symbology);

// The symbol as printed dots for module width GS w n (clamped to 1..6), one entry per
// dot column: n dots per module, except that the wide elements of the two-width codes
// get the printer's own widths (n = 2, 3, 4, 5, 6 -> 5, 8, 10, 13, 16 dots).
std::vector<std::uint8_t> BarcodeDots(Symbology symbology, const BarcodeSymbol& symbol,
                                      int moduleWidth);

}  // namespace thermpos::vprinter
