// The operations each device class adds after the 29 common ones, in slot order.
//
// The automation surface forwards the POSPrinter-only and CashDrawer-only methods to
// these; the printer classes derive from CPOSPrinterSlots and the drawer classes from
// CCashDrawerSlots, overriding what they support. The base behaviour of every added
// operation is the one of an operation the device does not offer: the state check of
// an enabled device (101, 103, 105), then OPOS_E_ILLEGAL (106): CServiceDevice::NotOffered,
// which overrides fall back to.
#pragma once

#include <string>

#include "so/core/ServiceDevice.h"

namespace thermpos::so {

class CPOSPrinterSlots : public CServiceDevice {
  public:
    virtual LONG BeginInsertion(LONG timeout);  // 29
    virtual LONG BeginRemoval(LONG timeout);    // 30
    virtual LONG ChangePrintSide(LONG side);    // 31
    virtual LONG CutPaper(LONG percentage);     // 32
    virtual LONG EndInsertion();                // 33
    virtual LONG EndRemoval();                  // 34
    virtual LONG MarkFeed(LONG type);           // 35
    virtual LONG PrintBarCode(LONG station, const std::string& data, LONG symbology, LONG height,
                              LONG width, LONG alignment,
                              LONG textPosition);  // 36
    virtual LONG PrintBitmap(LONG station, const std::string& fileName, LONG width,
                             LONG alignment);                            // 37
    virtual LONG PrintImmediate(LONG station, const std::string& data);  // 38
    virtual LONG PrintNormal(LONG station, const std::string& data);     // 39
    virtual LONG PrintTwoNormal(LONG stations, const std::string& data1,
                                const std::string& data2);  // 40
    virtual LONG RotatePrint(LONG station, LONG rotation);  // 41
    virtual LONG SetBitmap(LONG bitmapNumber, LONG station, const std::string& fileName, LONG width,
                           LONG alignment);                            // 42
    virtual LONG SetLogo(LONG location, const std::string& data);      // 43
    virtual LONG TransactionPrint(LONG station, LONG control);         // 44
    virtual LONG ValidateData(LONG station, const std::string& data);  // 45
};

class CCashDrawerSlots : public CServiceDevice {
  public:
    CCashDrawerSlots() { m_SharingKind = PortKindSharable; }

    virtual LONG OpenDrawer();  // 29
    virtual LONG WaitForDrawerClose(LONG beepTimeout, LONG beepFrequency, LONG beepDuration,
                                    LONG beepDelay);  // 30
};

}  // namespace thermpos::so
