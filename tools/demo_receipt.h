// The demo's sample receipt: print data with the escape sequences the printer service
// translates (fonts, bold, underline, sizes, alignment, reverse, second colour, feeds),
// a sideways "PAID" stamp, the order number as bar codes, and a partial cut. Shared by
// `thermpos demo` and the golden-image test.
#pragma once

#include <string>
#include <vector>

#include "opos/OposConstants.h"

namespace thermpos::demo {

// Rotations of RotatePrint (PTR_RP_*).
inline constexpr LONG kRotateNormal = 0x0001;
inline constexpr LONG kRotateRight90 = 0x0101;

// One call that prints part of the sample receipt: PrintNormal with print data, or
// PrintBarCode when a symbology is given; or RotatePrint or CutPaper with the value.
struct ReceiptPart {
    enum class Call { kPrint, kRotatePrint, kCutPaper };

    std::string data;
    LONG symbology = 0;  // 0: print data
    LONG height = 0;     // bar codes: dots (MapMode dots), width, alignment, text
    LONG width = 0;
    LONG alignment = PTR_BC_CENTER;
    LONG textPosition = PTR_BC_TEXT_BELOW;
    const char* what = "";  // for the demo's output
    Call call = Call::kPrint;
    LONG value = 0;  // RotatePrint's rotation, CutPaper's percentage
};

inline ReceiptPart RotatePart(LONG rotation, const char* what) {
    ReceiptPart part;
    part.what = what;
    part.call = ReceiptPart::Call::kRotatePrint;
    part.value = rotation;
    return part;
}

inline ReceiptPart CutPart(LONG percentage, const char* what) {
    ReceiptPart part;
    part.what = what;
    part.call = ReceiptPart::Call::kCutPaper;
    part.value = percentage;
    return part;
}

inline std::vector<ReceiptPart> SampleReceipt() {
    const std::string e = "\x1B|";
    std::vector<ReceiptPart> parts;
    std::string r;
    r += e + "cA" + e + "4C" + e + "bCHARBOUR CAFE\n" + e + "N";
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
    parts.push_back({r, 0, 0, 0, 0, 0, "sample receipt"});
    // A stamp printed sideways: gathered, then printed as one turned page.
    parts.push_back(RotatePart(kRotateRight90, "turn right for the stamp"));
    parts.push_back({e + "bC" + e + "4CPAID\n", 0, 0, 0, 0, 0, "PAID stamp"});
    parts.push_back(RotatePart(kRotateNormal, "print the stamp"));
    // The order number for the counter's scanner, and receipt 0042 of 08.12.26 in an
    // in-store EAN-13 (prefix 20; the printer adds the check digit).
    parts.push_back({"{BORDER-0042", PTR_BCS_Code128, 60, 300, PTR_BC_CENTER, PTR_BC_TEXT_BELOW,
                     "Code 128 order number"});
    parts.push_back({e + "1lF", 0, 0, 0, 0, 0, "feed"});
    parts.push_back({"200042081226", PTR_BCS_EAN13, 60, 300, PTR_BC_CENTER, PTR_BC_TEXT_BELOW,
                     "EAN-13 receipt number"});
    r = e + "2lF";
    r += e + "cA" + e + "rvC THANK YOU - SEE YOU SOON \n" + e + "N";
    r += e + "cA" + e + "2vCwww.harbour-cafe.example\n" + e + "N";
    r += e + "3lF";
    parts.push_back({r, 0, 0, 0, 0, 0, "end"});
    parts.push_back(CutPart(90, "partial cut"));
    return parts;
}

// A short receipt for the asynchronous part of the demo.
inline std::string ShortReceipt(int number) {
    const std::string e = "\x1B|";
    return e + "cA" + e + "bCORDER " + std::to_string(number) + "\n" + e + "N" +
           "Espresso                                 2.20\n" + e + "fP";
}

}  // namespace thermpos::demo
