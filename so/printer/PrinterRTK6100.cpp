// The RT-K6100: the RT-K410's fonts and code pages, more paper widths, and partial cuts
// after a feed.
#include "so/printer/PrinterModels.h"

namespace thermpos::so {

namespace {

LONG ColumnSetting(bool narrow, LONG paperWidth) {
    if (narrow) {
        switch (paperWidth) {
            case 58:
                return 30;
            case 60:
                return 36;
            case 83:
                return 53;
            default:
                return 42;
        }
    }
    return paperWidth == 58 ? 36 : 48;
}

LineLayout OpenLayout(LONG paperWidth, LONG columnSetting) {
    switch (paperWidth) {
        case 58:
            if (columnSetting == 30) {
                return {13, "30,40,45", 30};
            }
            return {13, "36,48,54", 36};
        case 60:
            return {13, "36,48,54", 36};
        case 83:
            if (columnSetting == 53) {
                return {17, "53,71,80", 53};
            }
            // Without the narrow Column value the wide 80 mm layout applies; an empty list
            // here would leave RecLineChars unsettable (and 0 without a Column value).
            return {17, "48,64,72", 48};
        default:
            if (columnSetting == 42) {
                return {17, "42,56,64", 42};
            }
            return {17, "48,64,72", 48};
    }
}

// Partial cuts after a feed; the second colour as GS ( N.
constexpr ModelCommand kCommands[] = {
    {CMD_FEED_CUT, &commands::FeedThenPartialCut},
    {CMD_FEED_STAMP_CUT, &commands::FeedThenPartialCut},
    {CMD_ALT_COLOR, &commands::SecondColourGsN},
    {CMD_NORMAL, &commands::NormalAfterGsN},
};

constexpr ModelProfile kProfile = {
    "RTK6100.TALVERN.POSPrinter",
    // The key the USB printer walk and the status monitor know this model by.
    "TALVERNRT-K6100",
    3,
    "1 Font A,2 Font B,3 Font C",
    {{12, 24}, {9, 17}, {8, 16}},
    "998,999,437,850,852,857,858,860,863,864,865,866,1252,18",
    &ColumnSetting,
    &OpenLayout,
    kCommands,
    // The request is written again after every read on a serial port, and after each read
    // on a parallel port.
    {.rewriteAfterEveryRead = true, .writeAfterParallelRead = true},
    // Every width the utility knows; the utility opens on this printer.
    {{58, 60, 80, 83}, true},
};

const ModelRegistration kRegistration(kProfile, [] {
    return std::unique_ptr<CServiceDevice>(new CPrinterRTK6100);
});

}  // namespace

const ModelProfile& CPrinterRTK6100::ProfileData() {
    return kProfile;
}

CPrinterRTK6100::CPrinterRTK6100() : CThermalPrinter(kProfile) {}

CPrinterRTK6100::~CPrinterRTK6100() {
    CloseBeforeDestruction();
}

void CPrinterRTK6100::SetCharacterSet(LONG value) {
    if (value == 18 || value == 858 || value == 864) {
        SelectCodeTable(value, 19);
        return;
    }
    CThermalPrinter::SetCharacterSet(value);
}

}  // namespace thermpos::so
