// Receipt PNGs read back with libpng, and the pixel hash the golden tests rely on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
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
