#include "vprinter/render.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

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

// Where a source row has ink: [first, end), empty when first == end.
struct RowSpan {
    std::uint16_t first = 0;
    std::uint16_t end = 0;
};

// A font glyph with the ink span of each row, so that blank rows and margins cost nothing.
struct FontGlyph {
    std::vector<std::uint8_t> dots;  // 0 or 1, width * height; empty when the font has none
    std::vector<RowSpan> rows;

    FontGlyph(std::vector<std::uint8_t> cell, int width, int height) : dots(std::move(cell)) {
        if (dots.size() < static_cast<std::size_t>(width) * height) {
            dots.clear();
            return;
        }
        rows.resize(static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = dots.data() + static_cast<std::ptrdiff_t>(y) * width;
            int first = -1, last = -1;
            for (int x = 0; x < width; ++x) {
                row[x] = row[x] ? 1 : 0;
                if (row[x]) {
                    if (first < 0)
                        first = x;
                    last = x;
                }
            }
            if (first >= 0)
                rows[y] = {static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last + 1)};
        }
    }
};

// Font glyphs by cell size and code point. Kept per thread across receipts, so a thread
// rasterising receipt after receipt asks the font (and its lock) once per glyph, not once
// per glyph per receipt. Cleared when full: a receipt in some wide code page must not
// make it grow without end.
class GlyphCache {
  public:
    const FontGlyph& Get(int w, int h, char32_t cp) {
        const std::uint64_t key =
            (static_cast<std::uint64_t>(w) << 48) | (static_cast<std::uint64_t>(h) << 32) | cp;
        auto it = glyphs_.find(key);
        if (it != glyphs_.end())
            return it->second;
        if (glyphs_.size() >= kMaxGlyphs)
            glyphs_.clear();
        return glyphs_.emplace(key, FontGlyph(GlyphSource::ForCell(w, h).Glyph(cp), w, h))
            .first->second;
    }

  private:
    static constexpr std::size_t kMaxGlyphs = 4096;
    std::unordered_map<std::uint64_t, FontGlyph> glyphs_;
};

thread_local GlyphCache tGlyphs;

// Draws by target rows: every op's box is clipped once (image, clip rectangle), then each
// target row is filled from its source row or column. The scratch buffers live as long as
// the rasteriser, so ops allocate nothing once they have grown.
class Rasteriser {
  public:
    explicit Rasteriser(Image& image) : image_(image) {}

    void Draw(const DrawOp& op) {
        switch (op.kind) {
            case OpKind::Fill:
                Fill(op);
                return;
            case OpKind::Picture:
                if (op.bitmap && op.scaleX > 0 && op.scaleY > 0)
                    Blit(op.bitmap->dots.data(), op.bitmap->width, op.bitmap->width * op.scaleX,
                         op.bitmap->height * op.scaleY, op.scaleX, op.scaleY, op);
                return;
            case OpKind::Glyph:
                Glyph(op);
                return;
        }
    }

  private:
    struct Box {
        int x0, x1, y0, y1;  // half-open
    };

    // The part of a w x h box at (op.x, op.y) inside the image and the op's clip.
    bool Clip(const DrawOp& op, int w, int h, Box* box) const {
        using L = long long;
        const L x0 = std::max({L{op.x}, L{op.clipLeft}, L{0}});
        const L x1 = std::min({L{op.x} + w, L{op.clipRight}, L{image_.width}});
        const L y0 = std::max({L{op.y}, L{op.clipTop}, L{0}});
        const L y1 = std::min({L{op.y} + h, L{op.clipBottom}, L{image_.height}});
        if (x0 >= x1 || y0 >= y1)
            return false;
        *box = {static_cast<int>(x0), static_cast<int>(x1), static_cast<int>(y0),
                static_cast<int>(y1)};
        return true;
    }

    std::uint8_t* Row(int y) {
        return image_.dots.data() + static_cast<std::ptrdiff_t>(y) * image_.width;
    }

    void Fill(const DrawOp& op) {
        Box b;
        if (!Clip(op, op.w, op.h, &b))
            return;
        for (int y = b.y0; y < b.y1; ++y)
            std::memset(Row(y) + b.x0, op.ink, static_cast<std::size_t>(b.x1 - b.x0));
    }

    // d[k] = ink where s[k] != 0, for k in [from, to); eight dots at a time, without a
    // branch per dot (glyph dots are too irregular to predict).
    static void InkRow(std::uint8_t* d, const std::uint8_t* s, int from, int to, std::uint8_t ink) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        const std::uint64_t inks = kOnes * ink;
        int k = from;
        for (; k + 8 <= to; k += 8) {
            std::uint64_t m, v;
            std::memcpy(&m, s + k, 8);
            std::memcpy(&v, d + k, 8);
            // Any set bit of a byte down to its bit 0, then that byte to 0x00 or 0xFF.
            m |= m >> 4;
            m |= m >> 2;
            m |= m >> 1;
            m = (m & kOnes) * 0xFF;
            v = (v & ~m) | (inks & m);
            std::memcpy(d + k, &v, 8);
        }
        for (; k < to; ++k) {
            const auto m = static_cast<std::uint8_t>(-static_cast<int>(s[k] != 0));
            d[k] = static_cast<std::uint8_t>((d[k] & ~m) | (ink & m));
        }
    }

    // Inks the dots of a source of 0/1 bytes (rows `stride` apart, each dot repeated
    // scaleX x scaleY times, sw x sh after scaling) through the op's rotation; source 0
    // leaves the paper as it is.
    //
    // A target dot (dx, dy) in the op's box comes from scaled source dot
    //   rotation 0: (dx, dy)   1: (dy, sh-1-dx)   2: (sw-1-dx, sh-1-dy)   3: (sw-1-dy, dx)
    // so its source index is the sum of a part that depends on dx only (a table made once
    // per op) and a part that depends on dy only (once per row).
    // `spans`, when given, bounds the ink of each (unscaled) source row.
    void Blit(const std::uint8_t* src, int stride, int sw, int sh, int scaleX, int scaleY,
              const DrawOp& op, const RowSpan* spans = nullptr) {
        const int rotation = op.rotation & 3;
        const bool odd = rotation & 1;
        Box b;
        if (sw <= 0 || sh <= 0 || !Clip(op, odd ? sh : sw, odd ? sw : sh, &b))
            return;
        const std::uint8_t ink = op.ink;
        const int n = b.x1 - b.x0;
        const int firstDx = b.x0 - op.x;
        // The common case, upright and not widened: source rows run along target rows.
        if (rotation == 0 && scaleX == 1) {
            // Source row and repeat count step along, without a division per row.
            int sy = (b.y0 - op.y) / scaleY, repeat = (b.y0 - op.y) % scaleY;
            for (int y = b.y0; y < b.y1; ++y, ++repeat) {
                if (repeat == scaleY) {
                    repeat = 0;
                    ++sy;
                }
                int from = 0, to = n;
                if (spans) {
                    from = std::max(from, spans[sy].first - firstDx);
                    to = std::min(to, spans[sy].end - firstDx);
                }
                InkRow(Row(y) + b.x0, src + static_cast<std::ptrdiff_t>(sy) * stride + firstDx,
                       from, to, ink);
            }
            return;
        }
        columns_.resize(static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) {
            const int dx = firstDx + k;
            switch (rotation) {
                case 0:
                    columns_[k] = dx / scaleX;
                    break;
                case 1:
                    columns_[k] = static_cast<std::ptrdiff_t>((sh - 1 - dx) / scaleY) * stride;
                    break;
                case 2:
                    columns_[k] = (sw - 1 - dx) / scaleX;
                    break;
                default:
                    columns_[k] = static_cast<std::ptrdiff_t>(dx / scaleY) * stride;
                    break;
            }
        }
        for (int y = b.y0; y < b.y1; ++y) {
            const int dy = y - op.y;
            std::ptrdiff_t base = 0;
            switch (rotation) {
                case 0:
                    base = static_cast<std::ptrdiff_t>(dy / scaleY) * stride;
                    break;
                case 1:
                    base = dy / scaleX;
                    break;
                case 2:
                    base = static_cast<std::ptrdiff_t>((sh - 1 - dy) / scaleY) * stride;
                    break;
                default:
                    base = (sw - 1 - dy) / scaleX;
                    break;
            }
            const std::uint8_t* s = src + base;
            std::uint8_t* d = Row(y) + b.x0;
            for (int k = 0; k < n; ++k)
                d[k] = s[columns_[k]] ? ink : d[k];
        }
    }

    void Glyph(const DrawOp& op) {
        const int cw = op.cellWidth, ch = op.cellHeight;
        const int sx = op.scaleX, sy = op.scaleY;
        const int sw = op.SourceWidth(), sh = op.SourceHeight();
        if (sw <= 0 || sh <= 0)
            return;
        const FontGlyph* font = nullptr;
        if (!op.bitmap) {
            font = &tGlyphs.Get(cw, ch, op.codePoint);
            if (font->dots.empty())
                font = nullptr;
        }
        // Plain text, however scaled or turned: straight from the font's cell.
        if (!op.bitmap && !op.bold && !op.reverse && op.underline == 0 && op.spacing == 0) {
            if (font)
                Blit(font->dots.data(), cw, sw, sh, sx, sy, op, font->rows.data());
            return;
        }
        cell_.assign(static_cast<std::size_t>(sw) * sh, 0);
        std::uint8_t* cell = cell_.data();
        const std::uint8_t* glyph = nullptr;
        int gw = 0, gh = 0, gstride = 0;
        if (op.bitmap) {
            glyph = op.bitmap->dots.data();
            gw = std::min(cw, op.bitmap->width);
            gh = std::min(ch, op.bitmap->height);
            gstride = op.bitmap->width;
        } else if (font) {
            glyph = font->dots.data();
            gw = cw;
            gh = ch;
            gstride = cw;
        }
        for (int gy = 0; gy < gh; ++gy) {
            std::uint8_t* row = cell + static_cast<std::ptrdiff_t>(gy) * sy * sw;
            const std::uint8_t* g = glyph + static_cast<std::ptrdiff_t>(gy) * gstride;
            for (int gx = 0; gx < gw; ++gx)
                if (g[gx])
                    std::memset(row + gx * sx, 1, static_cast<std::size_t>(sx));
            for (int j = 1; j < sy; ++j)
                std::memcpy(row + static_cast<std::ptrdiff_t>(j) * sw, row,
                            static_cast<std::size_t>(sw));
        }
        if (op.bold) {
            // Thermal heads embolden by striking each dot again one (scaled) dot right.
            // Right to left, so each dot is struck from the unstruck cell.
            for (int y = 0; y < sh; ++y) {
                std::uint8_t* row = cell + static_cast<std::ptrdiff_t>(y) * sw;
                for (int x = sw - 1; x >= sx; --x)
                    row[x] |= row[x - sx];
            }
        }
        const int underlineFrom = std::max(0, sh - op.underline);
        std::memset(cell + static_cast<std::ptrdiff_t>(underlineFrom) * sw, 1,
                    static_cast<std::size_t>(sh - underlineFrom) * sw);
        if (op.reverse)
            for (auto& d : cell_)
                d ^= 1;
        Blit(cell, sw, sw, sh, 1, 1, op);
    }

    Image& image_;
    std::vector<std::uint8_t> cell_;
    std::vector<std::ptrdiff_t> columns_;
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
