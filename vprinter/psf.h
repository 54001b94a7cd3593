// PC Screen Font (PSF1 and PSF2) loading, plain or gzip'd, and the glyph sources built on
// it. GlyphSource::ForCell (font.h) is the normal entry point; this header is for code and
// tests that need a particular font folder or file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "vprinter/font.h"

namespace thermpos::vprinter {

struct PsfFont {
    int width = 0;   // dots
    int height = 0;  // dots
    int glyphCount = 0;
    int bytesPerRow = 0;
    std::vector<std::uint8_t> bitmaps;               // glyphCount * height * bytesPerRow
    std::unordered_map<char32_t, int> glyphOfPoint;  // from the font's unicode table

    bool Ink(int glyph, int x, int y) const {
        const std::size_t row =
            (static_cast<std::size_t>(glyph) * height + y) * static_cast<std::size_t>(bytesPerRow);
        return (bitmaps[row + static_cast<std::size_t>(x / 8)] >> (7 - x % 8)) & 1;
    }
    // The glyph for a code point, or -1. Without a unicode table glyph n is code point n.
    int Find(char32_t codePoint) const;
};

// Parses a PSF1 or PSF2 font from memory. Fonts larger than 64 x 128 dots or with more
// than 65536 glyphs are refused, as is every truncated or inconsistent file.
bool ParsePsf(const std::vector<std::uint8_t>& bytes, PsfFont* out, std::string* error);

// Reads a font file, gzip-compressed or not (at most 8 MiB once inflated).
bool LoadPsfFile(const std::string& path, PsfFont* out, std::string* error);

// A glyph source for one cell size drawn from the fonts of a folder, or from the built-in
// fallback when the folder holds none that fits.
class CellFont final : public GlyphSource {
  public:
    // fontDir: where to look for Uni2-Terminus*.psf.gz (and the other Terminus sets).
    static std::unique_ptr<CellFont> Create(int cellWidth, int cellHeight,
                                            const std::string& fontDir);
    ~CellFont() override;

    bool UsesFallback() const { return !font_; }
    // Size of the font chosen (the fallback reports its scaled size).
    int FontWidth() const { return fontWidth_; }
    int FontHeight() const { return fontHeight_; }

  private:
    CellFont(int w, int h) : GlyphSource(w, h) {}
    void Draw(char32_t codePoint, std::vector<std::uint8_t>& cell) const override;
    void DrawFallback(char32_t codePoint, std::vector<std::uint8_t>& cell) const;

    std::unique_ptr<PsfFont> font_;
    int fontWidth_ = 0;
    int fontHeight_ = 0;
    int offsetX_ = 0;
    int offsetY_ = 0;
    int scale_ = 1;  // fallback only
};

}  // namespace thermpos::vprinter
