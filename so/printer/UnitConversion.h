// MapMode unit conversion: dots, twips, thousandths of an inch and hundredths of a
// millimetre, at a printer's resolution. Kept apart from the print data translation so
// that the properties, bar codes, bitmaps and rotation that convert units need nothing
// else.
#pragma once

namespace thermpos::so {

// MapMode units: PTR_MM_DOTS 1, PTR_MM_TWIPS 2, PTR_MM_ENGLISH 3, PTR_MM_METRIC 4.
inline constexpr double kPrinterResolution = 203.0;
// value × (units per inch of `to`) / (units per inch of `from`), truncated toward zero and
// held inside the 32-bit range. An unknown mode converts nothing (the value is returned).
int ConvertUnits(double resolution, int from, int to, int value);

}  // namespace thermpos::so
