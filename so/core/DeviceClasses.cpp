#include "so/core/DeviceClasses.h"

namespace thermpos::so {

LONG CPOSPrinterSlots::BeginInsertion(LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::BeginRemoval(LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::ChangePrintSide(LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::CutPaper(LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::EndInsertion() {
    return NotOffered();
}
LONG CPOSPrinterSlots::EndRemoval() {
    return NotOffered();
}
LONG CPOSPrinterSlots::MarkFeed(LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::PrintBarCode(LONG, const std::string&, LONG, LONG, LONG, LONG, LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::PrintBitmap(LONG, const std::string&, LONG, LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::PrintImmediate(LONG, const std::string&) {
    return NotOffered();
}
LONG CPOSPrinterSlots::PrintNormal(LONG, const std::string&) {
    return NotOffered();
}
LONG CPOSPrinterSlots::PrintTwoNormal(LONG, const std::string&, const std::string&) {
    return NotOffered();
}
LONG CPOSPrinterSlots::RotatePrint(LONG, LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::SetBitmap(LONG, LONG, const std::string&, LONG, LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::SetLogo(LONG, const std::string&) {
    return NotOffered();
}
LONG CPOSPrinterSlots::TransactionPrint(LONG, LONG) {
    return NotOffered();
}
LONG CPOSPrinterSlots::ValidateData(LONG, const std::string&) {
    return NotOffered();
}

LONG CCashDrawerSlots::OpenDrawer() {
    return NotOffered();
}
LONG CCashDrawerSlots::WaitForDrawerClose(LONG, LONG, LONG, LONG) {
    return NotOffered();
}

}  // namespace thermpos::so
