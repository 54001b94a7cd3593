// The QMX5500: two fonts of equal height, the shorter code page list, its own second
// colour command, and partial cuts only.
#include "so/printer/PrinterModels.h"

namespace thermpos::so {

namespace {

LONG ColumnSetting(bool narrow, LONG paperWidth) {
    if (narrow) {
        return paperWidth == 58 ? 30 : 42;
    }
    return paperWidth == 58 ? 36 : 48;
}

LineLayout OpenLayout(LONG paperWidth, LONG columnSetting) {
    if (paperWidth == 58) {
        if (columnSetting == 30) {
            return {13, "30,40", 30};
        }
        return {13, "36,48", 36};
    }
    if (columnSetting == 42) {
        return {17, "42,56", 42};
    }
    return {17, "48,64", 48};
}

// Every cut partial; the second colour as ESC ~ J.
constexpr ModelCommand kCommands[] = {
    {CMD_PAPER_CUT, &commands::PartialCut},
    {CMD_FEED_CUT, &commands::FeedThenPartialCut},
    {CMD_FEED_STAMP_CUT, &commands::FeedThenPartialCut},
    {CMD_ALT_COLOR, &commands::SecondColourEscTilde},
    {CMD_NORMAL, &commands::NormalAfterEscTilde},
};

constexpr ModelProfile kProfile = {
    "QMX5500TYPEII.TALVERN.POSPrinter",
    "QMXQMX5500",
    2,
    "1 Font A,2 Font B",
    {{12, 24}, {9, 24}, {9, 24}},
    "998,999,437,850,852,857,860,863,865,866,1252",
    &ColumnSetting,
    &OpenLayout,
    kCommands,
    // The status monitor's defaults.
    {},
    {{58, 80}, false},
};

const ModelRegistration kRegistration(kProfile, [] {
    return std::unique_ptr<CServiceDevice>(new CPrinterQMX5500);
});

}  // namespace

const ModelProfile& CPrinterQMX5500::ProfileData() {
    return kProfile;
}

CPrinterQMX5500::CPrinterQMX5500() : CThermalPrinter(kProfile) {}

CPrinterQMX5500::~CPrinterQMX5500() {
    CloseBeforeDestruction();
}

// Its cutter always leaves a point uncut, whatever the percentage.
LONG CPrinterQMX5500::CutPaper(LONG) {
    return SendCut(0x01);
}

}  // namespace thermpos::so
