// The rasteriser against the dot-by-dot reference on random drawings: every rotation,
// scale, decoration, clip and ink, boxes hanging over every edge of the paper.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/vprinter/reference_raster.h"
#include "vprinter/image.h"
#include "vprinter/render.h"

namespace thermpos::vprinter {
namespace {

class RandomDrawing {
  public:
    explicit RandomDrawing(std::uint32_t seed) : rng_(seed) {}

    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Int(0, 99) < percent; }

    const Bitmap* Bits(int w, int h) {
        auto b = std::make_unique<Bitmap>(w, h);
        const int density = Int(5, 95);
        for (auto& d : b->dots)
            d = Chance(density) ? 1 : 0;
        bitmaps_.push_back(std::move(b));
        return bitmaps_.back().get();
    }

    std::uint8_t Ink() {
        const int k = Int(0, 9);
        return k < 6 ? kBlack : k < 9 ? kRed : kPaper;
    }

    DrawOp Op(int width, int height) {
        DrawOp op;
        op.ink = Ink();
        op.rotation = static_cast<std::uint8_t>(Int(0, 3));
        op.scaleX = static_cast<std::uint8_t>(Chance(70) ? 1 : Int(2, Chance(80) ? 3 : 8));
        op.scaleY = static_cast<std::uint8_t>(Chance(70) ? 1 : Int(2, Chance(80) ? 3 : 8));
        switch (Int(0, 9)) {
            case 0:
            case 1:
                op.kind = OpKind::Fill;
                op.w = Int(-3, width);
                op.h = Int(-3, 40);
                break;
            case 2:
            case 3:
                op.kind = OpKind::Picture;
                op.bitmap = Bits(Int(1, 40), Int(1, 40));
                op.FitBox();
                break;
            default: {
                op.kind = OpKind::Glyph;
                static const int kCells[][2] = {{12, 24}, {9, 17}, {9, 24}, {8, 16}, {5, 7}};
                const auto& cell = kCells[Int(0, 4)];
                op.cellWidth = static_cast<std::uint8_t>(cell[0]);
                op.cellHeight = static_cast<std::uint8_t>(cell[1]);
                op.spacing = static_cast<std::uint8_t>(Chance(60) ? 0 : Int(1, 4));
                op.bold = Chance(25);
                op.reverse = Chance(20);
                op.underline = static_cast<std::uint8_t>(Chance(70) ? 0 : Int(1, 2));
                // Printable ASCII, Latin-1, box drawing, and code points no font has.
                static const char32_t kPoints[] = {
                    U'A', U'g', U'#', U'0', U'\u00E9', U'\u00DF', U'\u2550', U'\u4E00', 0x10FFFF};
                op.codePoint =
                    Chance(50) ? static_cast<char32_t>(Int(0x21, 0x7E)) : kPoints[Int(0, 8)];
                if (Chance(15))  // user-defined, sometimes smaller or larger than the cell
                    op.bitmap = Bits(Int(1, cell[0] + 3), Int(1, cell[1] + 3));
                op.FitBox();
                break;
            }
        }
        op.x = Int(-60, width + 5);
        op.y = Int(-60, height + 5);
        if (Chance(30)) {
            op.clipLeft = Int(-10, width);
            op.clipRight = op.clipLeft + Int(-5, width);
            op.clipTop = Int(-10, height);
            op.clipBottom = op.clipTop + Int(-5, height);
        }
        return op;
    }

  private:
    std::mt19937 rng_;
    std::vector<std::unique_ptr<Bitmap>> bitmaps_;
};

// Index of the first differing dot as "x,y: got/want", or empty.
std::string FirstDifference(const Image& got, const Image& want) {
    if (got.width != want.width || got.height != want.height)
        return "size " + std::to_string(got.width) + "x" + std::to_string(got.height);
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x)
            if (got.At(x, y) != want.At(x, y))
                return std::to_string(x) + "," + std::to_string(y) + ": " +
                       std::to_string(got.At(x, y)) + "/" + std::to_string(want.At(x, y));
    return {};
}

TEST(RasteriseTest, MatchesTheDotByDotReferenceOnRandomDrawings) {
    for (std::uint32_t seed = 1; seed <= 400; ++seed) {
        RandomDrawing gen(seed);
        const int width = gen.Int(1, 160), height = gen.Int(1, 160);
        std::vector<DrawOp> ops;
        const int count = gen.Int(1, 30);
        for (int i = 0; i < count; ++i)
            ops.push_back(gen.Op(width, height));
        const std::string diff = FirstDifference(Rasterise(ops, width, height),
                                                 test::ReferenceRasterise(ops, width, height));
        ASSERT_EQ(diff, "") << "seed " << seed;
    }
}

// Each op drawn on its own shows which one is wrong when the whole drawing differs.
TEST(RasteriseTest, MatchesTheReferenceOpByOpAtEveryRotationAndScale) {
    RandomDrawing gen(7);
    for (int rotation = 0; rotation < 4; ++rotation)
        for (int scale = 1; scale <= 3; ++scale)
            for (int trial = 0; trial < 40; ++trial) {
                DrawOp op = gen.Op(64, 64);
                op.rotation = static_cast<std::uint8_t>(rotation);
                op.scaleX = static_cast<std::uint8_t>(scale);
                op.scaleY = static_cast<std::uint8_t>(4 - scale);
                if (op.kind != OpKind::Fill)
                    op.FitBox();
                const std::vector<DrawOp> ops{op};
                ASSERT_EQ(
                    FirstDifference(Rasterise(ops, 64, 64), test::ReferenceRasterise(ops, 64, 64)),
                    "")
                    << "rotation " << rotation << " scale " << scale << " trial " << trial
                    << " kind " << static_cast<int>(op.kind);
            }
}

TEST(RasteriseTest, NothingDrawnOutsideTheImageOrWithoutASource) {
    DrawOp far;
    far.kind = OpKind::Fill;
    far.x = 1 << 30;  // the box's right edge is beyond an int
    far.w = 1 << 30;
    far.h = 5;
    DrawOp noBitmap;
    noBitmap.kind = OpKind::Picture;
    noBitmap.w = noBitmap.h = 8;
    DrawOp zeroScale;
    zeroScale.kind = OpKind::Glyph;
    zeroScale.cellWidth = 12;
    zeroScale.cellHeight = 24;
    zeroScale.scaleX = 0;
    zeroScale.codePoint = U'W';
    zeroScale.reverse = true;
    const Image image = Rasterise({far, noBitmap, zeroScale}, 16, 16);
    EXPECT_EQ(PixelHash(image), PixelHash(Image(16, 16)));
    EXPECT_EQ(Rasterise({far}, 0, -4).dots.size(), 0u);
}

}  // namespace
}  // namespace thermpos::vprinter
