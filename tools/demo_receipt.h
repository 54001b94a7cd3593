// The demo's sample receipt: the store's logo as a stored bitmap, print data with the
// escape sequences the printer service translates (fonts, bold, underline, sizes,
// alignment, reverse, second colour, feeds), a sideways "PAID" stamp, the order number as
// bar codes, a printed bitmap, the e-receipt link as a QR code and a partial cut. Shared by
// `thermpos demo` and the golden-image test.
#pragma once

#include <string>
#include <vector>

#include "opos/OposConstants.h"

namespace thermpos::demo {

// Rotations of RotatePrint (PTR_RP_*).
inline constexpr LONG kRotateNormal = 0x0001;
inline constexpr LONG kRotateRight90 = 0x0101;

// One call that prints part of the sample receipt.
struct ReceiptPart {
    enum Kind { kPrintNormal, kPrintBarCode, kSetBitmap, kPrintBitmap, kRotatePrint, kCutPaper };
    Kind kind = kPrintNormal;
    std::string data = {};           // print data, bar code data, or the bitmap file
    LONG symbology = 0;              // bar codes
    LONG height = 0;                 // bar codes: dots (MapMode dots)
    LONG width = 0;                  // bar codes: dots; bitmaps: dots or PTR_BM_ASIS
    LONG alignment = PTR_BC_CENTER;  // PTR_BC_* or PTR_BM_*
    LONG textPosition = PTR_BC_TEXT_BELOW;
    LONG bitmapNumber = 0;  // SetBitmap
    LONG value = 0;         // RotatePrint's rotation, CutPaper's percentage
    const char* what = "";  // for the demo's output
};

// The receipt's copy on the web, printed as a QR code above the farewell.
inline constexpr char kEReceiptLink[] = "https://harbour-cafe.example/r/0042";

// The store's logo that ships with the project (tools/assets/harbour-cafe-logo.bmp): a cup
// at its left, 100 dots wide, then the shop's name.
inline constexpr LONG kLogoCupWidth = 100;

// logoFile is the path of the store's logo. It is set as bitmap 1 and printed centred at
// the top with ESC|1B; its cup alone (the logo cropped) is printed with PrintBitmap above
// the farewell.
inline std::vector<ReceiptPart> SampleReceipt(const std::string& logoFile) {
    const std::string e = "\x1B|";
    std::vector<ReceiptPart> parts;
    parts.push_back({.kind = ReceiptPart::kSetBitmap,
                     .data = logoFile,
                     .width = PTR_BM_ASIS,
                     .alignment = PTR_BM_CENTER,
                     .bitmapNumber = 1,
                     .what = "the store logo as bitmap 1"});
    std::string r;
    r += e + "cA" + e + "1B" + e + "N";
    r += e + "cA12 Quay Street, Port Alder\n" + e + "N";
    r += e + "cA" + e + "2fTTill 3   Receipt 0042   08.12.2026 09:41\n" + e + "N";
    r += e + "1fT" + std::string(48, '-') + "\n";
    r += "Flat white                          2 x 3.40\n";
    r += "Croissant                           1 x 2.80\n";
    r += "Orange juice                        1 x 3.10\n";
    r += e + "uCSubtotal" + e + "N" + "                                   12.70\n";
    r += e + "rCDiscount (staff)                          -1.27\n" + e + "N";
    r += e + "2C" + e + "bCTOTAL          11.43\n" + e + "N";
    r += e + "rAPaid by card\n" + e + "N";
    r += e + "3fTVAT 10% included: 1.04\n" + e + "1fT";
    r += e + "2lF";
    parts.push_back({.data = r, .what = "sample receipt"});
    // A stamp printed sideways: gathered, then printed as one turned page.
    parts.push_back({.kind = ReceiptPart::kRotatePrint,
                     .value = kRotateRight90,
                     .what = "turn right for the stamp"});
    parts.push_back({.data = e + "bC" + e + "4CPAID\n", .what = "PAID stamp"});
    parts.push_back(
        {.kind = ReceiptPart::kRotatePrint, .value = kRotateNormal, .what = "print the stamp"});
    // The order number for the counter's scanner, and receipt 0042 of 08.12.26 in an
    // in-store EAN-13 (prefix 20; the printer adds the check digit).
    parts.push_back({.kind = ReceiptPart::kPrintBarCode,
                     .data = "{BORDER-0042",
                     .symbology = PTR_BCS_Code128,
                     .height = 60,
                     .width = 300,
                     .what = "Code 128 order number"});
    parts.push_back({.data = e + "1lF", .what = "feed"});
    parts.push_back({.kind = ReceiptPart::kPrintBarCode,
                     .data = "200042081226",
                     .symbology = PTR_BCS_EAN13,
                     .height = 60,
                     .width = 300,
                     .what = "EAN-13 receipt number"});
    parts.push_back({.data = e + "2lF", .what = "feed"});
    parts.push_back({.kind = ReceiptPart::kPrintBitmap,
                     .data = logoFile,
                     .width = kLogoCupWidth,
                     .alignment = PTR_BM_CENTER,
                     .what = "the logo's cup"});
    parts.push_back({.data = e + "1lF", .what = "feed"});
    // 35 bytes: version 3, 29 modules of 6 dots in the 200-dot box.
    parts.push_back({.kind = ReceiptPart::kPrintBarCode,
                     .data = kEReceiptLink,
                     .symbology = PTR_BCS_QRCODE,
                     .height = 200,
                     .width = 200,
                     .textPosition = PTR_BC_TEXT_NONE,
                     .what = "QR code of the e-receipt link"});
    r = e + "1lF" + e + "cA" + e + "rvC THANK YOU - SEE YOU SOON \n" + e + "N";
    r += e + "cA" + e + "2vCwww.harbour-cafe.example\n" + e + "N";
    r += e + "3lF";
    parts.push_back({.data = r, .what = "end"});
    parts.push_back({.kind = ReceiptPart::kCutPaper, .value = 90, .what = "partial cut"});
    return parts;
}

// A short receipt for the asynchronous part of the demo.
inline std::string ShortReceipt(int number) {
    const std::string e = "\x1B|";
    return e + "cA" + e + "bCORDER " + std::to_string(number) + "\n" + e + "N" +
           "Espresso                                 2.20\n" + e + "fP";
}

}  // namespace thermpos::demo
