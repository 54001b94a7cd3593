#include "vprinter/render.h"

#include <algorithm>
#include <map>
#include <tuple>

#include "vprinter/font.h"

namespace thermpos::vprinter {

int DrawOp::SourceWidth() const {
    switch (kind) {
        case OpKind::Glyph:
            return (cellWidth + spacing) * scaleX;
        case OpKind::Picture:
            return (bitmap ? bitmap->width : 0) * scaleX;
        case OpKind::Fill:
            break;
    }
    return (rotation & 1) ? h : w;
}

int DrawOp::SourceHeight() const {
    switch (kind) {
        case OpKind::Glyph:
            return cellHeight * scaleY;
        case OpKind::Picture:
            return (bitmap ? bitmap->height : 0) * scaleY;
        case OpKind::Fill:
            break;
    }
    return (rotation & 1) ? w : h;
}

void DrawOp::FitBox() {
    const int sw = SourceWidth();
    const int sh = SourceHeight();
    w = (rotation & 1) ? sh : sw;
    h = (rotation & 1) ? sw : sh;
}

namespace {

using GlyphKey = std::tuple<int, int, char32_t>;

class Rasteriser {
  public:
    explicit Rasteriser(Image& image) : image_(image) {}

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
        const int x0 = std::max({op.x, 0, op.clipLeft});
        const int x1 = std::min({op.x + op.w, image_.width, op.clipRight});
        const int y0 = std::max({op.y, 0, op.clipTop});
        const int y1 = std::min({op.y + op.h, image_.height, op.clipBottom});
        for (int y = y0; y < y1; ++y)
            std::fill_n(image_.dots.begin() + static_cast<std::ptrdiff_t>(y) * image_.width + x0,
                        std::max(0, x1 - x0), op.ink);
    }

    // Puts source dot (sx, sy) of an sw x sh source through the op's rotation.
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

    const std::vector<std::uint8_t>& ResidentGlyph(int w, int h, char32_t cp) {
        auto key = GlyphKey{w, h, cp};
        auto it = glyphs_.find(key);
        if (it == glyphs_.end())
            it = glyphs_.emplace(key, GlyphSource::ForCell(w, h).Glyph(cp)).first;
        return it->second;
    }

    void Glyph(const DrawOp& op) {
        const int cw = op.cellWidth, ch = op.cellHeight;
        const int sw = op.SourceWidth(), sh = op.SourceHeight();
        if (sw <= 0 || sh <= 0)
            return;
        cell_.assign(static_cast<std::size_t>(sw) * sh, 0);
        auto at = [&](int x, int y) -> std::uint8_t& {
            return cell_[static_cast<std::size_t>(y) * sw + x];
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
            const auto& g = ResidentGlyph(cw, ch, op.codePoint);
            if (g.size() >= static_cast<std::size_t>(cw) * ch)
                for (int y = 0; y < ch; ++y)
                    for (int x = 0; x < cw; ++x)
                        if (g[static_cast<std::size_t>(y) * cw + x])
                            plot(x, y);
        }
        if (op.bold) {
            // Thermal heads embolden by striking each dot again one (scaled) dot right.
            for (int y = 0; y < sh; ++y)
                for (int x = sw - 1; x >= op.scaleX; --x)
                    if (at(x - op.scaleX, y))
                        at(x, y) = 1;
        }
        for (int y = std::max(0, sh - op.underline); y < sh; ++y)
            for (int x = 0; x < sw; ++x)
                at(x, y) = 1;
        if (op.reverse)
            for (auto& d : cell_)
                d ^= 1;
        for (int y = 0; y < sh; ++y)
            for (int x = 0; x < sw; ++x)
                if (at(x, y))
                    Put(op, sw, sh, x, y);
    }

    Image& image_;
    std::vector<std::uint8_t> cell_;
    std::map<GlyphKey, std::vector<std::uint8_t>> glyphs_;
};

}  // namespace

Image Rasterise(const std::vector<DrawOp>& ops, int width, int height) {
    Image image(std::max(width, 0), std::max(height, 0));
    Rasteriser r(image);
    for (const auto& op : ops)
        r.Draw(op);
    return image;
}

}  // namespace thermpos::vprinter
