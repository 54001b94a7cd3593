// The POSPrinter control object for C++ applications: a member per property (Name() and,
// when writable, SetName()) and per method of the 1.8 class. See Control.h for opening,
// results and events.
#pragma once

#include "opos/Control.h"

namespace thermpos::opos {

class THERMPOS_OPOS_API PosPrinter : public Control {
  public:
    PosPrinter();

#define THERMPOS_PROPERTY THERMPOS_TYPED_PROPERTY
#include "opos/PosPrinterProperties.inc"
#undef THERMPOS_PROPERTY

    LONG ClearOutput() {
        return CallMethod("ClearOutput", {});
    }
    LONG BeginInsertion(LONG timeout) {
        return CallMethod("BeginInsertion", {timeout});
    }
    LONG BeginRemoval(LONG timeout) {
        return CallMethod("BeginRemoval", {timeout});
    }
    LONG CutPaper(LONG percentage) {
        return CallMethod("CutPaper", {percentage});
    }
    LONG EndInsertion() {
        return CallMethod("EndInsertion", {});
    }
    LONG EndRemoval() {
        return CallMethod("EndRemoval", {});
    }
    LONG PrintBarCode(LONG station, const std::string& data, LONG symbology, LONG height,
                      LONG width, LONG alignment, LONG textPosition) {
        return CallMethod("PrintBarCode",
                          {station, data, symbology, height, width, alignment, textPosition});
    }
    LONG PrintBitmap(LONG station, const std::string& fileName, LONG width, LONG alignment) {
        return CallMethod("PrintBitmap", {station, fileName, width, alignment});
    }
    LONG PrintImmediate(LONG station, const std::string& data) {
        return CallMethod("PrintImmediate", {station, data});
    }
    LONG PrintNormal(LONG station, const std::string& data) {
        return CallMethod("PrintNormal", {station, data});
    }
    LONG PrintTwoNormal(LONG stations, const std::string& data1, const std::string& data2) {
        return CallMethod("PrintTwoNormal", {stations, data1, data2});
    }
    LONG RotatePrint(LONG station, LONG rotation) {
        return CallMethod("RotatePrint", {station, rotation});
    }
    LONG SetBitmap(LONG bitmapNumber, LONG station, const std::string& fileName, LONG width,
                   LONG alignment) {
        return CallMethod("SetBitmap", {bitmapNumber, station, fileName, width, alignment});
    }
    LONG SetLogo(LONG location, const std::string& data) {
        return CallMethod("SetLogo", {location, data});
    }
    LONG TransactionPrint(LONG station, LONG control) {
        return CallMethod("TransactionPrint", {station, control});
    }
    LONG ValidateData(LONG station, const std::string& data) {
        return CallMethod("ValidateData", {station, data});
    }
    LONG ChangePrintSide(LONG side) {
        return CallMethod("ChangePrintSide", {side});
    }
    LONG MarkFeed(LONG type) {
        return CallMethod("MarkFeed", {type});
    }
};

}  // namespace thermpos::opos
