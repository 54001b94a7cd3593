// Drawing operations of the virtual printer and their rasterisation onto an Image.
//
// The interpreter records what to draw (a glyph in a cell, an image, a filled box) in
// paper coordinates; a receipt is rasterised only when someone wants its picture, so
// interpreting a byte stream costs little more than parsing it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vprinter/image.h"

namespace thermpos::vprinter {

// One bit per byte (0 or 1), row-major; used for images and user-defined glyphs.
struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> dots;

    Bitmap() = default;
    Bitmap(int w, int h) : width(w), height(h), dots(static_cast<std::size_t>(w) * h, 0) {}
    std::uint8_t At(int x, int y) const { return dots[static_cast<std::size_t>(y) * width + x]; }
    void Set(int x, int y) { dots[static_cast<std::size_t>(y) * width + x] = 1; }
};

enum class OpKind : std::uint8_t { Glyph, Picture, Fill };

struct DrawOp {
    OpKind kind = OpKind::Glyph;
    std::uint8_t rotation = 0;  // quarter turns clockwise applied to the source
    std::uint8_t ink = kBlack;  // Fill with kPaper erases
    std::uint8_t scaleX = 1;
    std::uint8_t scaleY = 1;
    bool bold = false;
    bool reverse = false;
    std::uint8_t underline = 0;  // dots at the bottom of the cell, 0..2
    std::uint8_t cellWidth = 0;  // glyph cell of the font, without right-side spacing
    std::uint8_t cellHeight = 0;
    std::uint8_t spacing = 0;  // right-side spacing, part of the cell for reverse/underline
    char32_t codePoint = 0;
    int x = 0;  // top-left of the drawn box in target coordinates (after rotation)
    int y = 0;
    int w = 0;  // box size after rotation
    int h = 0;
    // Picture, or a user-defined glyph. Not owned: whoever holds the ops keeps the bitmaps
    // alive (a plain pointer keeps DrawOp trivially copyable, which the hot text path needs).
    const Bitmap* bitmap = nullptr;
    // Dots outside [clipLeft, clipRight) x [clipTop, clipBottom) are not drawn (page areas).
    int clipLeft = -(1 << 30);
    int clipTop = -(1 << 30);
    int clipRight = 1 << 30;
    int clipBottom = 1 << 30;

    // Size of the source before rotation.
    int SourceWidth() const;
    int SourceHeight() const;
    // Sets w/h from the source size and rotation.
    void FitBox();
};

// Draws ops in order onto a width x height image of blank paper; ops are clipped.
Image Rasterise(const std::vector<DrawOp>& ops, int width, int height);

}  // namespace thermpos::vprinter
