#include "so/printer/UnitConversion.h"

#include <climits>
#include <cmath>

namespace thermpos::so {

int ConvertUnits(double resolution, int from, int to, int value) {
    auto unitsPerInch = [resolution](int mode) -> double {
        switch (mode) {
            case 1:
                return resolution;
            case 2:
                return 1440.0;
            case 3:
                return 1000.0;
            case 4:
                return 2540.0;
            default:
                return 0.0;
        }
    };
    const double fromUnits = unitsPerInch(from);
    const double toUnits = unitsPerInch(to);
    if (fromUnits <= 0.0 || toUnits <= 0.0) {
        return value;
    }
    const double converted = std::trunc(static_cast<double>(value) * toUnits / fromUnits);
    // Large values from an application must not turn into undefined conversions.
    if (converted >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (converted <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(converted);
}

}  // namespace thermpos::so
