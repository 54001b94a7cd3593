// MapMode unit conversion, from its own source: it needs nothing of the printer.
#include <cstdint>

#include <gtest/gtest.h>

#include "so/printer/UnitConversion.h"

using namespace thermpos::so;

TEST(ConvertUnits, BetweenDotsAndTheOtherModes) {
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 2, 576), 4085);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 4, 576), 7207);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 3, 576), 2837);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 4, 1, 2000), 159);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 2, 1, 1440), 203);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 1, 17), 17);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 2, -576), -4085);  // toward zero
    // An unknown mode on either side converts nothing.
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 0, 2, 576), 576);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 5, 576), 576);
    // Out-of-range results are held at the limits instead of overflowing.
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 4, 2000000000), INT32_MAX);
    EXPECT_EQ(ConvertUnits(kPrinterResolution, 1, 4, -2000000000), INT32_MIN);
}
