// Glyphs for receipt text, from the Terminus bitmap console fonts (PSF files of
// console-setup-linux under /usr/share/consolefonts).
#pragma once

#include <cstdint>
#include <vector>

namespace thermpos::vprinter {

// One character cell of a printer font (font A 12x24, B 9x17 or 9x24, C 8x16).
class GlyphSource {
public:
    // The source for a cell of cellWidth x cellHeight dots: the Terminus size that fits
    // best, its glyphs placed in a cell of exactly that size. Never fails: when no font file
    // is installed a small built-in fallback is used, so rendering still works.
    static const GlyphSource& ForCell(int cellWidth, int cellHeight);

    int CellWidth() const { return cellWidth_; }
    int CellHeight() const { return cellHeight_; }

    // The glyph of a Unicode code point as CellWidth() * CellHeight() bytes (row-major,
    // 1 = ink); a code point the font lacks gives the replacement glyph.
    std::vector<std::uint8_t> Glyph(char32_t codePoint) const;

protected:
    GlyphSource(int w, int h) : cellWidth_(w), cellHeight_(h) {}
    virtual ~GlyphSource() = default;
    virtual void Draw(char32_t codePoint, std::vector<std::uint8_t>& cell) const = 0;

private:
    int cellWidth_;
    int cellHeight_;
};

}  // namespace thermpos::vprinter
