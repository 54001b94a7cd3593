// Bitmaps printed on the virtual printer over a pty: the receipt PNG it writes is read
// back and the picture found in it dot for dot, for PrintBitmap at each alignment and for
// ESC|#B in memory and NV mode.
#include <png.h>

#include <fstream>

#include <gtest/gtest.h>

#include "tests/so/printer/BmpFile.h"
#include "tests/so/printer/VirtualPrinterTest.h"
#include "vprinter/virtual_printer.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

struct Gray {
    int width = 0;
    int height = 0;
    std::vector<png_byte> pixels;
    bool Dark(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x] < 128; }
};

bool ReadPng(const std::string& path, Gray* out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        return false;
    }
    image.format = PNG_FORMAT_GRAY;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->pixels.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr) != 0;
}

// Where the ink of a receipt is (the cut mark in its last rows left out).
struct Box {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
};

Box InkBox(const Gray& g, int fromRow = 0) {
    Box b;
    for (int y = fromRow; y < g.height - 2; ++y) {
        for (int x = 0; x < g.width; ++x) {
            if (g.Dark(x, y)) {
                b.left = std::min(b.left, x);
                b.right = std::max(b.right, x);
                b.top = std::min(b.top, y);
                b.bottom = std::max(b.bottom, y);
            }
        }
    }
    return b;
}

// The test picture, framed, so that its ink box is the picture; the count of dots that
// differ from it at (left, top) of the receipt.
int Differences(const Gray& g, int left, int top, int width, int height) {
    int differ = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            differ += g.Dark(left + x, top + y) != TestDot(x, y, width, height);
        }
    }
    return differ;
}

class BitmapsOnVirtualPrinter : public VirtualPrinterTest {
  protected:
    void Start(std::map<std::string, std::string> values) {
        StartPrinter("COM12");
        ASSERT_FALSE(HasFatalFailure());
        OpenDevice(kRTK410, std::move(values));
        ASSERT_FALSE(HasFatalFailure());
        Enable();
    }
    // Cuts the paper and reads the receipt PNG back.
    Gray CutAndRead() {
        const int before = printer_.ReceiptCount();
        EXPECT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|fP"), 0);
        EXPECT_TRUE(printer_.WaitReceipts(before + 1, std::chrono::seconds(10)));
        Gray g;
        const std::vector<std::string> files = Local().ReceiptFiles();
        EXPECT_FALSE(files.empty());
        if (!files.empty()) {
            EXPECT_TRUE(ReadPng(files.back(), &g)) << files.back();
        }
        return g;
    }
    std::string Picture(const std::string& name, int width, int height) {
        const std::string path = outDir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << TestPictureBmp(width, height);
        return path;
    }
    // Checks that the receipt carries exactly the width x height test picture at column
    // left.
    void ExpectPicture(const Gray& g, int left, int width, int height) {
        ASSERT_EQ(g.width, kPaperWidth);
        const Box box = InkBox(g);
        EXPECT_EQ(box.left, left);
        EXPECT_EQ(box.right - box.left + 1, width);
        EXPECT_EQ(box.bottom - box.top + 1, height);
        EXPECT_EQ(Differences(g, box.left, box.top, width, height), 0);
    }
};

}  // namespace

TEST_F(BitmapsOnVirtualPrinter, PrintBitmapAtEachAlignment) {
    Start({});
    // 100 dots wide: rows of 16 bytes, so the printer places a 128-dot raster.
    const std::string file = Picture("picture.bmp", 100, 40);
    const struct {
        LONG alignment;
        int left;
    } cases[] = {{PTR_BM_LEFT, 0},
                 {PTR_BM_CENTER, (kPaperWidth - 128) / 2},
                 {PTR_BM_RIGHT, kPaperWidth - 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.alignment);
        ASSERT_EQ(device_->PrintBitmap(PTR_S_RECEIPT, file, PTR_BM_ASIS, c.alignment), 0);
        ExpectPicture(CutAndRead(), c.left, 100, 40);
    }
}

TEST_F(BitmapsOnVirtualPrinter, EscBInMemoryMode) {
    Start({{"UseNVRAM", "000"}});
    ASSERT_EQ(device_->SetBitmap(1, PTR_S_RECEIPT, Picture("one.bmp", 100, 40), PTR_BM_ASIS,
                                 PTR_BM_CENTER),
              0);
    ASSERT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|1B"), 0);
    ExpectPicture(CutAndRead(), (kPaperWidth - 128) / 2, 100, 40);
}

TEST_F(BitmapsOnVirtualPrinter, EscBInNvMode) {
    Start({});
    // Set as 2 first: the printer's first image. Each prints under its own number.
    ASSERT_EQ(
        device_->SetBitmap(2, PTR_S_RECEIPT, Picture("two.bmp", 60, 30), PTR_BM_ASIS, PTR_BM_LEFT),
        0);
    ASSERT_EQ(
        device_->SetBitmap(1, PTR_S_RECEIPT, Picture("one.bmp", 100, 40), PTR_BM_ASIS, PTR_BM_LEFT),
        0);
    ASSERT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|1B"), 0);
    ExpectPicture(CutAndRead(), 0, 100, 40);
    ASSERT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|2B"), 0);
    ExpectPicture(CutAndRead(), 0, 60, 30);
    // NV images follow the alignment in force; 100 dots are stored as 104.
    ASSERT_EQ(device_->PrintNormal(PTR_S_RECEIPT, "\x1B|cA\x1B|1B"), 0);
    ExpectPicture(CutAndRead(), (kPaperWidth - 104) / 2, 100, 40);
}
