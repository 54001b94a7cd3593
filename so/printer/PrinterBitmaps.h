// Bitmaps of the thermal printer family: reading a Windows bitmap file into black-and-white
// rows, and the printer commands that print such rows at once (GS v 0 raster) or keep them
// in the printer's non-volatile memory (FS q) for printing by number (FS p).
//
// No device and no state: CThermalPrinter (PrinterBitmaps.cpp) checks the device, reads
// the file and keeps the stored bitmap list; everything here is bytes in, bytes out, so
// the decoder can be fuzzed and the command layouts tested on their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "so/printer/PrintCommands.h"
#include "so/printer/UnitConversion.h"

namespace thermpos::so {

// Bytes per row of a 1-bit image as the printer receives it: rounded up to 32 dots, the
// row layout of a device-independent bitmap.
inline std::size_t BitmapRowBytes(long width) {
    return ((static_cast<std::size_t>(width) + 31) / 32) * 4;
}

// The largest side, in dots, of a bitmap the printer is sent; far beyond any receipt, and
// small enough that a rendered picture always fits in memory.
inline constexpr long kMaxBitmapSide = 16384;

// How a bitmap file is turned into dots.
struct BitmapRenderRequest {
    // Width in dots before scaling by resolution; 0 keeps the bitmap's own width. A wider
    // width pads the picture with white on the right, a narrower one crops it.
    long widthDots = 0;
    // Scales by the file's pixels per metre to the printer's resolution (96 dpi when the
    // file gives none).
    bool mapResolution = false;
    double printerDpi = kPrinterResolution;
};

// A rendered picture: top-down rows of BitmapRowBytes(width) bytes, most significant bit
// leftmost. Whether a set bit is white or black is said where the picture is handed on.
struct MonochromeBitmap {
    long width = 0;
    long height = 0;
    std::string rows;
};

// Renders a whole BMP file (1, 4 or 8 bits per pixel with a palette, 24 or 32 bits without;
// bottom-up or top-down; uncompressed, or bit fields for 32 bits) into rows whose set bits
// are white, as a screen would keep them: padding and anything beyond the picture are set.
// Colours are thresholded on their luminance. Every offset and length the file gives is
// checked against the file before use. False for anything malformed, unsupported or larger
// than kMaxBitmapSide after scaling.
[[nodiscard]] bool RenderMonochrome(std::string_view file, const BitmapRenderRequest& request,
                                    MonochromeBitmap* white);

// The alignment byte of ESC a for a PTR_BM_* alignment; a position counts as left.
int BitmapAlignmentByte(long alignment);

// Prints rows whose set bits are black at once: LF, ESC a, an empty ESC * (the line mode
// reset printers expect before a raster), GS v 0 with `mode`, the rows, and ESC a 0 when
// the alignment was not left.
std::string RasterBitmapCommand(const MonochromeBitmap& black, int alignmentByte, int mode);

// Columns of the rows (set bits black) for the NV store: every column top to bottom in
// ((height + 31) / 32) * 4 bytes, most significant bit topmost. The printer counts NV
// widths in units of 8 dots, so columns are added in white up to the next multiple of 8:
// otherwise the bytes it does not expect would be read as commands.
std::string ToColumnFormat(const MonochromeBitmap& black);

// One image of an NV definition: xL xH yL yH, then the column data of ToColumnFormat.
std::string NvBitmapEntry(const MonochromeBitmap& black, const std::string& columns);

// The column data an NV entry carries (its bytes after the 4-byte size).
inline std::size_t NvEntryDataBytes(const StoredBitmap& entry) {
    return entry.bytes.size() > 4 ? entry.bytes.size() - 4 : 0;
}

// The definition the printer replaces all its NV images with: LF, FS q n and every entry
// in list order.
std::string NvDownloadCommand(const std::vector<StoredBitmap>& entries);

}  // namespace thermpos::so
