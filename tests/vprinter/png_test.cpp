// Receipt PNGs read back with libpng, the same bytes as libpng left to itself, and the
// pixel hash the golden tests rely on.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/support/png_read.h"
#include "vprinter/image.h"

namespace thermpos::vprinter {
namespace {

namespace fs = std::filesystem;

using Rgb = thermpos::testing::RgbImage;
using thermpos::testing::ReadPng;

class PngTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/thermpos-png-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string dir_;
};

TEST_F(PngTest, RoundTripKeepsEveryDotAndColour) {
    Image image(7, 5);
    image.Set(0, 0, kBlack);
    image.Set(6, 4, kRed);
    image.Set(3, 2, kBlack);
    image.Set(-1, 2, kBlack);  // outside: ignored
    const std::string path = dir_ + "/r.png";
    std::string error;
    ASSERT_TRUE(WritePng(path, image, &error)) << error;
    EXPECT_FALSE(fs::exists(path + ".part"));
    Rgb rgb;
    ASSERT_TRUE(ReadPng(path, &rgb));
    ASSERT_EQ(rgb.width, 7);
    ASSERT_EQ(rgb.height, 5);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            const std::uint8_t* p = &rgb.pixels[(static_cast<std::size_t>(y) * 7 + x) * 3];
            switch (image.At(x, y)) {
                case kBlack:
                    EXPECT_EQ(p[0] + p[1] + p[2], 0) << x << "," << y;
                    break;
                case kRed:
                    EXPECT_EQ(p[0], 0xC0);
                    EXPECT_EQ(p[1] + p[2], 0);
                    break;
                default:
                    EXPECT_EQ(p[0] + p[1] + p[2], 3 * 255) << x << "," << y;
            }
        }
}

TEST_F(PngTest, FailuresAreReportedAndLeaveNoFile) {
    std::string error;
    EXPECT_FALSE(WritePng(dir_ + "/none/x.png", Image(4, 4), &error));
    EXPECT_NE(error.find("x.png"), std::string::npos);
    EXPECT_FALSE(WritePng(dir_ + "/empty.png", Image(), &error));
    Image inconsistent(4, 4);
    inconsistent.dots.resize(3);  // a damaged image must not be read past its end
    EXPECT_FALSE(WritePng(dir_ + "/bad.png", inconsistent, &error));
    EXPECT_TRUE(fs::is_empty(dir_));
}

// The file libpng writes when it chooses every row's filter itself.
bool WriteWithLibraryFilters(const std::string& path, const Image& image) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(image.width) * 3);
    bool ok = png && info && setjmp(png_jmpbuf(png)) == 0;
    if (ok) {
        png_init_io(png, file);
        png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png, info);
        for (int y = 0; y < image.height; ++y) {
            for (int x = 0; x < image.width; ++x) {
                const std::uint8_t ink = image.At(x, y);
                std::uint8_t* p = &row[static_cast<std::size_t>(x) * 3];
                p[0] = ink == kBlack ? 0 : ink == kRed ? 0xC0 : 0xFF;
                p[1] = p[2] = ink == kBlack || ink == kRed ? 0 : 0xFF;
            }
            png_write_row(png, row.data());
        }
        png_write_end(png, info);
    }
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return ok;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Rows of noise, runs, copies of the row above, all-black and all-red rows, stray ink
// values: each makes a different filter win, and some tie.
Image RandomPicture(std::mt19937& rng, int width, int height) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const std::uint8_t inks[] = {kPaper, kBlack, kRed, 7};
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = &image.dots[static_cast<std::size_t>(y) * width];
        switch (pick(6)) {
            case 0:  // a copy of the row above
                if (y > 0)
                    std::copy_n(row - width, width, row);
                break;
            case 1:  // one ink
                std::fill_n(row, width, inks[pick(3)]);
                break;
            case 2:  // noise
                for (int x = 0; x < width; ++x)
                    row[x] = inks[pick(4)];
                break;
            default:  // runs, like text and bars
                for (int x = 0; x < width;) {
                    const int run = 1 + pick(12);
                    std::fill_n(row + x, std::min(run, width - x), inks[pick(3)]);
                    x += run;
                }
                break;
        }
    }
    return image;
}

TEST_F(PngTest, FilesAreTheOnesLibpngWritesWhenItChoosesTheFilters) {
    std::mt19937 rng(11);
    const int sizes[][2] = {{1, 1}, {1, 40}, {40, 1}, {2, 2}, {3, 50}, {576, 300}, {97, 64}};
    int checked = 0;
    for (const auto& size : sizes)
        for (int trial = 0; trial < 6; ++trial) {
            const Image image = RandomPicture(rng, size[0], size[1]);
            const std::string ours = dir_ + "/ours.png", theirs = dir_ + "/theirs.png";
            std::string error;
            ASSERT_TRUE(WritePng(ours, image, &error)) << error;
            ASSERT_TRUE(WriteWithLibraryFilters(theirs, image));
            ASSERT_EQ(FileBytes(ours), FileBytes(theirs))
                << size[0] << "x" << size[1] << " trial " << trial;
            ++checked;
        }
    EXPECT_EQ(checked, 42);
}

TEST(PixelHash, StableAndSensitiveToEveryDotAndTheShape) {
    Image a(8, 2);
    Image b(8, 2);
    EXPECT_EQ(PixelHash(a), PixelHash(b));
    EXPECT_EQ(PixelHash(a).size(), 16u);
    b.Set(7, 1, kBlack);
    EXPECT_NE(PixelHash(a), PixelHash(b));
    Image red = b;
    red.Set(7, 1, kRed);
    EXPECT_NE(PixelHash(red), PixelHash(b));
    // Same dots, other shape.
    EXPECT_NE(PixelHash(Image(8, 2)), PixelHash(Image(2, 8)));
    // Fixed value: a changed hash function would silently invalidate every golden.
    EXPECT_EQ(PixelHash(Image(1, 1)), "5f4910070d449e0f");
}

}  // namespace
}  // namespace thermpos::vprinter
