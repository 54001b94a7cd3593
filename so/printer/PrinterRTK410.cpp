// The RT-K410: three fonts, the wider code page list, and no power reporting over COM
// ports.
#include "so/printer/PrinterModels.h"

namespace thermpos::so {

namespace {

LONG ColumnSetting(bool narrow, LONG paperWidth) {
    if (narrow) {
        return paperWidth == 58 ? 30 : 42;
    }
    return paperWidth == 58 ? 32 : 48;
}

LineLayout OpenLayout(LONG paperWidth, LONG columnSetting) {
    if (paperWidth == 58) {
        if (columnSetting == 30) {
            return {13, "30,40,45", 30};
        }
        return {13, "32,42,48", 32};
    }
    if (columnSetting == 42) {
        return {17, "42,56,63", 42};
    }
    return {17, "48,64,72", 48};
}

// The second colour as GS ( N; the family's cuts.
constexpr ModelCommand kCommands[] = {
    {CMD_ALT_COLOR, &commands::SecondColourGsN},
    {CMD_NORMAL, &commands::NormalAfterGsN},
};

constexpr ModelProfile kProfile = {
    "RTK410.TALVERN.POSPrinter",
    "QMXRT-K410",
    3,
    "1 Font A,2 Font B,3 Font C",
    {{12, 24}, {9, 17}, {8, 16}},
    "998,999,437,850,852,857,858,860,863,864,865,866,1252,18",
    &ColumnSetting,
    &OpenLayout,
    kCommands,
    // The request is written again after every reply on a serial port, and after each read
    // on a parallel port; the printer's hold replies do not stop it.
    {.rewriteAfterReply = true, .holdReplies = false, .writeAfterParallelRead = true},
    {{58, 80}, false},
};

const ModelRegistration kRegistration(kProfile, [] {
    return std::unique_ptr<CServiceDevice>(new CPrinterRTK410);
});

}  // namespace

const ModelProfile& CPrinterRTK410::ProfileData() {
    return kProfile;
}

CPrinterRTK410::CPrinterRTK410() : CThermalPrinter(kProfile) {}

CPrinterRTK410::~CPrinterRTK410() {
    CloseBeforeDestruction();
}

LONG CPrinterRTK410::SetPowerNotify(LONG value) {
    if (Port().size() >= 3 && (Port()[0] == 'C' || Port()[0] == 'c') &&
        (Port()[1] == 'O' || Port()[1] == 'o') && (Port()[2] == 'M' || Port()[2] == 'm')) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    return CThermalPrinter::SetPowerNotify(value);
}

void CPrinterRTK410::SetCharacterSet(LONG value) {
    if (value == 18 || value == 858 || value == 864) {
        SelectCodeTable(value, 19);
        return;
    }
    CThermalPrinter::SetCharacterSet(value);
}

}  // namespace thermpos::so
