// The three printer models. Each is created by the automation surface for its logical
// device name (registered in its own source file) and differs from the family only where
// its hardware does.
#pragma once

#include "so/printer/ThermalPrinter.h"

namespace thermpos::so {

class CPrinterRTK410 : public CThermalPrinter {
  public:
    CPrinterRTK410();
    ~CPrinterRTK410() override;

    LONG SetPowerNotify(LONG value) override;   // 24
    void SetCharacterSet(LONG value) override;  // 48

    static const ModelProfile& ProfileData();
};

class CPrinterQMX5500 : public CThermalPrinter {
  public:
    CPrinterQMX5500();
    ~CPrinterQMX5500() override;

    LONG CutPaper(LONG percentage) override;  // 32

    static const ModelProfile& ProfileData();
};

class CPrinterRTK6100 : public CThermalPrinter {
  public:
    CPrinterRTK6100();
    ~CPrinterRTK6100() override;

    void SetCharacterSet(LONG value) override;  // 48

    static const ModelProfile& ProfileData();
};

}  // namespace thermpos::so
