// Two-dimensional bar codes of the thermal printer family: QR Code and PDF417 through the
// printer's symbol command (GS ( k). Sizes are chosen here so that the printed symbol fits
// the height and width the application gave; the data goes to the printer as it stands.
//
// No device and no state: BuildBarCodeCommand (PrinterBarCode.h) wraps the bytes made here
// in the alignment and rotation commands shared with the one-dimensional symbols.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "opos/OposConstants.h"

namespace thermpos::so {

// The most data each symbol takes: QR Code, the byte-mode capacity of version 40 at error
// correction level M; PDF417, the most whose codewords, counted as ChoosePdf417Size does
// (1.25 a byte), fit the symbol's 928 with level 5 error correction (64 codewords). Byte
// compaction alone would fit about 1,030 bytes, but not every encoder keeps to it.
inline constexpr std::size_t kQrMaxData = 2331;
inline constexpr std::size_t kPdf417MaxData = 689;

bool IsTwoDimensionalSymbology(LONG symbology);

// QR Code at level M: the smallest version whose byte-mode capacity holds the data, and
// the largest module size (1..16 dots) at which its 17 + 4 * version modules per side fit
// the smaller of height and width.
struct QrSize {
    int version = 0;
    int modules = 0;     // per side
    int moduleDots = 0;  // per module
};
std::optional<QrSize> ChooseQrSize(std::size_t dataLength, LONG heightDots, LONG widthDots);

// PDF417: data codewords counted as 1.25 a byte plus 2 (encoders that mix compaction modes
// can spend more than byte compaction's 5 per 6 bytes), error correction level 2, 3, 4 or 5
// for up to 40, 160, 320 or more of them. Then the largest module width (8 down to 2 dots)
// and, at it, the most data columns (30 down to 1) whose symbol (17 modules a column and
// 69 for start, stop and row indicators) fits the width, holds all the codewords in at
// most 90 rows and 928 codewords, and whose rows (three module widths high) fit the
// height. The printer chooses the rows; it needs no more than reserved.
struct Pdf417Size {
    int columns = 0;
    int moduleWidth = 0;    // dots
    int rowHeight = 0;      // in module widths
    int level = 0;          // error correction 0..8
    int reservedRows = 0;   // the most rows the printer may need (at least 3)
    int WidthDots() const;  // 17 modules per column and 69 for start, stop and row indicators
    int HeightDots() const { return reservedRows * rowHeight * moduleWidth; }
};
std::optional<Pdf417Size> ChoosePdf417Size(std::size_t dataLength, LONG heightDots, LONG widthDots);

// Appends the symbol's commands (options, store the data, print) to *out and returns 0, or
// returns OPOS_E_ILLEGAL and appends nothing when there is no data, too much of it, or the
// symbol cannot fit heightDots x widthDots.
[[nodiscard]] LONG AppendTwoDimensionalCode(LONG symbology, std::string_view data, LONG heightDots,
                                            LONG widthDots, std::string* out);

}  // namespace thermpos::so
