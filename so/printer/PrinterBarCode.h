// Bar codes of the thermal printer family: which symbologies and data the printer's own
// bar code command (GS k, function B) can print, and the bytes that print one. QR Code and
// PDF417 go through the printer's symbol command instead (TwoDimensionalCodes.h).
//
// No device and no state: CThermalPrinter::PrintBarCode checks the device and the sizes
// in MapMode units, then hands the rest to BuildBarCodeCommand.
#pragma once

#include <string>
#include <string_view>

#include "opos/OposConstants.h"

namespace thermpos::so {

// One bar code as the printer takes it.
struct BarCodeRequest {
    std::string_view data;  // after BinaryConversion; never translated or re-coded
    LONG symbology = 0;     // PTR_BCS_*
    LONG heightDots = 0;
    LONG widthDots = 0;     // sizes the two-dimensional symbols only
    LONG alignment = 0;     // PTR_BC_LEFT, PTR_BC_CENTER or PTR_BC_RIGHT
    LONG textPosition = 0;  // PTR_BC_TEXT_*, or -9 for text above and below
    bool upsideDown = false;
};

// The text position for human-readable text both above and below the bars; the standard
// has no name for it.
inline constexpr LONG kBarCodeTextBoth = -9;

// Replaces *out with the whole command (alignment and rotation around HRI position,
// height, module width and GS k, or around the symbol commands of a two-dimensional code)
// and returns 0, or returns OPOS_E_ILLEGAL and leaves *out empty for anything the printer
// would not print as asked. Two-dimensional codes print no human-readable text: the text
// position is only checked.
[[nodiscard]] LONG BuildBarCodeCommand(const BarCodeRequest& request, std::string* out);

}  // namespace thermpos::so
