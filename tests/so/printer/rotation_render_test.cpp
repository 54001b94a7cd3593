// What rotated prints look like: the bytes the printer classes send for sideways and
// upside-down text, rendered by the virtual printer's model. Sideways text must be the
// upright text turned a quarter (clockwise for right, counter-clockwise for left) and
// standing at the edge where its page starts; upside-down text the upright text turned
// half way round.
#include <gtest/gtest.h>

#include <cstdint>

#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/image.h"
#include "vprinter/model.h"

using namespace printertest;
using namespace thermpos::so::ptr;
namespace vp = thermpos::vprinter;

namespace {

struct Box {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;  // inclusive
    bool Empty() const { return right < 0; }
    int Width() const { return right - left + 1; }
    int Height() const { return bottom - top + 1; }
};

// The ink of a receipt above its cut mark (the last two rows).
Box InkBox(const vp::Image& image) {
    Box box;
    for (int y = 0; y + 2 < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (image.At(x, y) != vp::kPaper) {
                box.left = std::min(box.left, x);
                box.right = std::max(box.right, x);
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
            }
        }
    }
    return box;
}

vp::Image Crop(const vp::Image& image, const Box& box) {
    vp::Image out(box.Width(), box.Height());
    for (int y = 0; y < out.height; ++y) {
        for (int x = 0; x < out.width; ++x) {
            out.Set(x, y, image.At(box.left + x, box.top + y));
        }
    }
    return out;
}

enum class Turn { kClockwise, kCounterClockwise, kHalf };

vp::Image Turned(const vp::Image& in, Turn turn) {
    const bool quarter = turn != Turn::kHalf;
    vp::Image out(quarter ? in.height : in.width, quarter ? in.width : in.height);
    for (int y = 0; y < in.height; ++y) {
        for (int x = 0; x < in.width; ++x) {
            switch (turn) {
                case Turn::kClockwise:
                    out.Set(in.height - 1 - y, x, in.At(x, y));
                    break;
                case Turn::kCounterClockwise:
                    out.Set(y, in.width - 1 - x, in.At(x, y));
                    break;
                case Turn::kHalf:
                    out.Set(in.width - 1 - x, in.height - 1 - y, in.At(x, y));
                    break;
            }
        }
    }
    return out;
}

class RotationRendering : public EnabledPrinterTest {
  protected:
    // Everything the printer object wrote, one receipt per cut, as the printer prints it.
    std::vector<vp::Receipt> Printed() {
        vp::PrinterModel model;
        const std::string bytes = FakePort::Get().AllWritten();
        const std::size_t accepted = model.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                bytes.size(), vp::TimePoint{});
        EXPECT_EQ(accepted, bytes.size());
        std::vector<vp::Receipt> receipts = model.TakeFinishedReceipts();
        for (const vp::Receipt& r : receipts) {
            std::string error;
            const std::string path = TempDir() + "/rotation-" + std::to_string(r.index) + ".png";
            EXPECT_TRUE(vp::WritePng(path, r.image, &error)) << error;
        }
        return receipts;
    }
};

}  // namespace

TEST_F(RotationRendering, SidewaysAndUpsideDownTextIsTheUprightTextTurned) {
    const std::string text = "PAID 42\n";
    ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, text), 0);
    ASSERT_EQ(printer_->CutPaper(100), 0);
    for (LONG rotation : {PTR_RP_RIGHT90, PTR_RP_LEFT90, PTR_RP_ROTATE180}) {
        ASSERT_EQ(printer_->RotatePrint(PTR_S_RECEIPT, rotation), 0);
        ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, text), 0);
        ASSERT_EQ(printer_->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
        ASSERT_EQ(printer_->CutPaper(100), 0);
    }
    // Upright again afterwards.
    ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, text), 0);
    ASSERT_EQ(printer_->CutPaper(100), 0);

    const std::vector<vp::Receipt> receipts = Printed();
    ASSERT_EQ(receipts.size(), 5u);
    const vp::Image& upright = receipts[0].image;
    const Box uprightBox = InkBox(upright);
    ASSERT_FALSE(uprightBox.Empty());
    ASSERT_GT(uprightBox.Width(), uprightBox.Height());
    const vp::Image glyphs = Crop(upright, uprightBox);

    const vp::Image& right = receipts[1].image;
    const Box rightBox = InkBox(right);
    ASSERT_FALSE(rightBox.Empty());
    EXPECT_GT(rightBox.Height(), rightBox.Width());
    // Its page starts at the upper right corner: the line stands at the right edge.
    EXPECT_GT(rightBox.left, right.width / 2);
    EXPECT_TRUE(Crop(right, rightBox).dots == Turned(glyphs, Turn::kClockwise).dots)
        << "turned right, the text must read from the right-hand side";

    const vp::Image& left = receipts[2].image;
    const Box leftBox = InkBox(left);
    ASSERT_FALSE(leftBox.Empty());
    EXPECT_GT(leftBox.Height(), leftBox.Width());
    EXPECT_LT(leftBox.right, left.width / 2);
    EXPECT_TRUE(Crop(left, leftBox).dots == Turned(glyphs, Turn::kCounterClockwise).dots)
        << "turned left, the text must read from the left-hand side";

    const vp::Image& upsideDown = receipts[3].image;
    const Box downBox = InkBox(upsideDown);
    ASSERT_FALSE(downBox.Empty());
    EXPECT_EQ(downBox.Width(), uprightBox.Width());
    EXPECT_GT(downBox.left, upsideDown.width / 2);
    EXPECT_TRUE(Crop(upsideDown, downBox).dots == Turned(glyphs, Turn::kHalf).dots)
        << "upside down, the text must be turned half way round";

    EXPECT_TRUE(Crop(receipts[4].image, InkBox(receipts[4].image)).dots == glyphs.dots);
}

TEST_F(RotationRendering, ABrokenSidewaysLineContinuesOnTheNextColumn) {
    // 100 characters: 85 fit below the limit, the rest go to a second line, which in a
    // page turned right stands left of the first.
    ASSERT_EQ(printer_->RotatePrint(PTR_S_RECEIPT, PTR_RP_RIGHT90), 0);
    ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, std::string(100, 'H') + "\n"), 0);
    ASSERT_EQ(printer_->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
    ASSERT_EQ(printer_->CutPaper(0), 0);
    const std::vector<vp::Receipt> receipts = Printed();
    ASSERT_EQ(receipts.size(), 1u);
    const vp::Image& page = receipts[0].image;
    const Box box = InkBox(page);
    ASSERT_FALSE(box.Empty());
    // 85 characters of 12 dots run down the paper.
    EXPECT_GE(box.Height(), 84 * 12);
    EXPECT_LT(box.Height(), 86 * 12);
    // Two columns of text, the second starting one line step further left.
    EXPECT_GT(box.Width(), 24 + 10);
    EXPECT_EQ(receipts[0].cut, vp::CutKind::Full);
}

// A page built by the application through DirectIO prints in the direction it chose.
TEST_F(RotationRendering, DirectIOPagesPrintInTheirDirection) {
    const std::string text = "PAID 42\n";
    ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, text), 0);
    ASSERT_EQ(printer_->CutPaper(0), 0);
    for (LONG direction : {0, 2}) {
        LONG data = 0;
        std::string none;
        std::string area = "0,0,576,100";
        ASSERT_EQ(printer_->DirectIO(1004, &data, &none), 0);
        ASSERT_EQ(printer_->DirectIO(1008, &data, &area), 0);
        data = direction;
        ASSERT_EQ(printer_->DirectIO(1007, &data, &none), 0);
        ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, text), 0);
        ASSERT_EQ(printer_->DirectIO(1009, &data, &none), 0);
        ASSERT_EQ(printer_->CutPaper(0), 0);
    }
    const std::vector<vp::Receipt> receipts = Printed();
    ASSERT_EQ(receipts.size(), 3u);
    const vp::Image glyphs = Crop(receipts[0].image, InkBox(receipts[0].image));

    const Box normal = InkBox(receipts[1].image);
    ASSERT_FALSE(normal.Empty());
    EXPECT_LT(normal.right, receipts[1].image.width / 2);
    EXPECT_LT(normal.bottom, 50);
    EXPECT_TRUE(Crop(receipts[1].image, normal).dots == glyphs.dots);

    // Direction 2 starts at the lower right corner of the area and runs leftwards.
    const Box turned = InkBox(receipts[2].image);
    ASSERT_FALSE(turned.Empty());
    EXPECT_GT(turned.left, receipts[2].image.width / 2);
    EXPECT_GT(turned.top, 50);
    EXPECT_TRUE(Crop(receipts[2].image, turned).dots == Turned(glyphs, Turn::kHalf).dots);
}

// The page of sideways text is as long as its longest line, in any font and width: a page
// sized in another unit than the printer's motion unit leaves a blank band after the text,
// or cuts its last characters off.
TEST_F(RotationRendering, ASidewaysPageIsAsLongAsItsText) {
    struct Case {
        const char* what;
        std::string data;
        int dots;  // of the longest line along the paper
    };
    const Case cases[] = {
        {"font A", "PAID 42\n", 7 * 12},
        {"double width", "\x1B|2CPAID\n", 4 * 24},
        {"font B", "\x1B|2fT" + std::string(30, 'W') + "\x1B|1fT\n", 30 * 9},
        {"the longest of several lines", "AB\n\x1B|2CPAID\x1B|1C\nABCDEFGHIJ\n", 10 * 12},
        {"a broken line", std::string(100, 'H') + "\n", 85 * 12},
    };
    for (const Case& c : cases) {
        for (LONG rotation : {PTR_RP_RIGHT90, PTR_RP_LEFT90}) {
            ASSERT_EQ(printer_->RotatePrint(PTR_S_RECEIPT, rotation), 0);
            ASSERT_EQ(printer_->PrintNormal(PTR_S_RECEIPT, c.data), 0) << c.what;
            ASSERT_EQ(printer_->RotatePrint(PTR_S_RECEIPT, PTR_RP_NORMAL), 0);
            ASSERT_EQ(printer_->CutPaper(100), 0);
        }
    }
    const std::vector<vp::Receipt> receipts = Printed();
    ASSERT_EQ(receipts.size(), 2 * std::size(cases));
    for (std::size_t i = 0; i < receipts.size(); ++i) {
        const Case& c = cases[i / 2];
        SCOPED_TRACE(std::string(c.what) + (i % 2 ? ", turned left" : ", turned right"));
        const vp::Image& page = receipts[i].image;
        const Box ink = InkBox(page);
        ASSERT_FALSE(ink.Empty());
        // The paper above the cut mark is the page; the glyphs' own blank columns are all
        // that may lie between the text and the page's ends.
        EXPECT_EQ(page.height - 2, c.dots);
        EXPECT_GE(ink.Height(), c.dots - 6);
        EXPECT_LE(ink.Height(), c.dots);
    }
}
