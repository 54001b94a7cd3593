// Sideways printing of the thermal family: translated print data is gathered while the
// application prints rotated by 90°, and printed later as one page-mode page. This file
// holds the part that needs no device: breaking the gathered lines and measuring the widest
// one, which becomes the height of the page's print area (ESC W takes it in the printer's
// motion units, one dot on this family: GS P is never sent).
//
// No state and no thread. The bytes come from the application's print data (embedded
// data, logos and stored bitmaps included), so the walk trusts none of them: every command
// is copied whole by a length bounded by the data left, and nothing is ever inserted
// inside a command.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32.h"

namespace thermpos::so {

// A font's character cell in dots, as the printer draws it.
struct FontCell {
    LONG width;
    LONG height;
};

// Lines are broken once they are wider than this many page units (the breaking measure
// below; not dots).
inline constexpr LONG kSidewaysLineLimit = 1848;

// The data of one PrintNormal call kept for the sideways page.
struct CSidewaysBlock {
    LONG widest = 0;    // widest line, dots along the paper
    std::string bytes;  // printer bytes, lines already broken
};

// Copies bytes into *out (replacing it), inserting LF where a line grows beyond
// kSidewaysLineLimit and ESC '3' with the matching line step before each character-size
// command, and stores the widest line in *widest, in dots (a last line without LF included).
// The character cells are the model's (fontCount of 2 or 3); startFont is the font selected
// when the data begins. Returns 0.
//
// Breaking measure: a character advances by (cell width - 1) × f units, f being twice the
// width factor of the last GS '!'; after ESC 'M' the advance is f × the new cell's width.
// Width: a character is as many dots long as its cell is wide, times that width factor; the
// page must hold that, since the printer draws every character whole. Text is
// every byte of 0x20 or more outside a command. Commands the family knows are copied
// whole (variable-length ones by their own length fields); any other ESC or GS sequence is
// copied as the prefix and its command byte, an unknown FS sequence as four bytes, and
// other control bytes one by one. A data end inside a command copies what is there.
[[nodiscard]] LONG MeasureSideways(std::string_view bytes, const FontCell (&cells)[3],
                                   int fontCount, int startFont, LONG* widest, std::string* out);

}  // namespace thermpos::so
