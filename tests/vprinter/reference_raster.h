// The straightforward dot-by-dot rasteriser: every source dot goes through the rotation
// and the clip on its own. Slow, but plainly right; the differential test holds the real
// rasteriser to it.
#pragma once

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "vprinter/font.h"
#include "vprinter/image.h"
#include "vprinter/render.h"

namespace thermpos::vprinter::test {

class ReferenceRasteriser {
  public:
    explicit ReferenceRasteriser(Image& image) : image_(image) {}

    void Draw(const DrawOp& op) {
        switch (op.kind) {
            case OpKind::Fill:
                Fill(op);
                return;
            case OpKind::Picture:
                if (op.bitmap)
                    Picture(op);
                return;
            case OpKind::Glyph:
                Glyph(op);
                return;
        }
    }

  private:
    void Fill(const DrawOp& op) {
        for (int y = op.y; y < op.y + op.h; ++y)
            for (int x = op.x; x < op.x + op.w; ++x)
                if (x >= op.clipLeft && x < op.clipRight && y >= op.clipTop && y < op.clipBottom)
                    image_.Set(x, y, op.ink);
    }

    void Put(const DrawOp& op, int sw, int sh, int sx, int sy) {
        int dx = sx, dy = sy;
        switch (op.rotation & 3) {
            case 1:
                dx = sh - 1 - sy;
                dy = sx;
                break;
            case 2:
                dx = sw - 1 - sx;
                dy = sh - 1 - sy;
                break;
            case 3:
                dx = sy;
                dy = sw - 1 - sx;
                break;
            default:
                break;
        }
        const int x = op.x + dx, y = op.y + dy;
        if (x >= op.clipLeft && x < op.clipRight && y >= op.clipTop && y < op.clipBottom)
            image_.Set(x, y, op.ink);
    }

    void Picture(const DrawOp& op) {
        const Bitmap& b = *op.bitmap;
        const int sw = b.width * op.scaleX, sh = b.height * op.scaleY;
        for (int y = 0; y < b.height; ++y)
            for (int x = 0; x < b.width; ++x) {
                if (!b.At(x, y))
                    continue;
                for (int j = 0; j < op.scaleY; ++j)
                    for (int i = 0; i < op.scaleX; ++i)
                        Put(op, sw, sh, x * op.scaleX + i, y * op.scaleY + j);
            }
    }

    void Glyph(const DrawOp& op) {
        const int cw = op.cellWidth, ch = op.cellHeight;
        const int sw = op.SourceWidth(), sh = op.SourceHeight();
        if (sw <= 0 || sh <= 0)
            return;
        std::vector<std::uint8_t> cell(static_cast<std::size_t>(sw) * sh, 0);
        auto at = [&](int x, int y) -> std::uint8_t& {
            return cell[static_cast<std::size_t>(y) * sw + x];
        };
        auto plot = [&](int gx, int gy) {
            for (int j = 0; j < op.scaleY; ++j)
                for (int i = 0; i < op.scaleX; ++i)
                    at(gx * op.scaleX + i, gy * op.scaleY + j) = 1;
        };
        if (op.bitmap) {
            const Bitmap& b = *op.bitmap;
            for (int y = 0; y < std::min(ch, b.height); ++y)
                for (int x = 0; x < std::min(cw, b.width); ++x)
                    if (b.At(x, y))
                        plot(x, y);
        } else {
            auto key = std::tuple<int, int, char32_t>{cw, ch, op.codePoint};
            auto it = glyphs_.find(key);
            if (it == glyphs_.end())
                it = glyphs_.emplace(key, GlyphSource::ForCell(cw, ch).Glyph(op.codePoint)).first;
            const auto& g = it->second;
            if (g.size() >= static_cast<std::size_t>(cw) * ch)
                for (int y = 0; y < ch; ++y)
                    for (int x = 0; x < cw; ++x)
                        if (g[static_cast<std::size_t>(y) * cw + x])
                            plot(x, y);
        }
        if (op.bold) {
            // Each dot struck again one (scaled) dot to the right, from the unstruck cell.
            const std::vector<std::uint8_t> before = cell;
            for (int y = 0; y < sh; ++y)
                for (int x = op.scaleX; x < sw; ++x)
                    if (before[static_cast<std::size_t>(y) * sw + x - op.scaleX])
                        at(x, y) = 1;
        }
        for (int y = std::max(0, sh - op.underline); y < sh; ++y)
            for (int x = 0; x < sw; ++x)
                at(x, y) = 1;
        if (op.reverse)
            for (auto& d : cell)
                d ^= 1;
        for (int y = 0; y < sh; ++y)
            for (int x = 0; x < sw; ++x)
                if (at(x, y))
                    Put(op, sw, sh, x, y);
    }

    Image& image_;
    std::map<std::tuple<int, int, char32_t>, std::vector<std::uint8_t>> glyphs_;
};

inline Image ReferenceRasterise(const std::vector<DrawOp>& ops, int width, int height) {
    Image image(std::max(width, 0), std::max(height, 0));
    ReferenceRasteriser r(image);
    for (const auto& op : ops)
        r.Draw(op);
    return image;
}

}  // namespace thermpos::vprinter::test
