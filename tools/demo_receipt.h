// The demo's sample receipt: print data with the escape sequences the printer service
// translates (fonts, bold, underline, sizes, alignment, reverse, second colour, feeds,
// cut). Shared by `thermpos demo` and the golden-image test.
#pragma once

#include <string>

namespace thermpos::demo {

inline std::string SampleReceipt() {
    const std::string e = "\x1B|";
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
    r += e + "cA" + e + "rvC THANK YOU - SEE YOU SOON \n" + e + "N";
    r += e + "cA" + e + "2vCwww.harbour-cafe.example\n" + e + "N";
    r += e + "fP";
    return r;
}

// A short receipt for the asynchronous part of the demo.
inline std::string ShortReceipt(int number) {
    const std::string e = "\x1B|";
    return e + "cA" + e + "bCORDER " + std::to_string(number) + "\n" + e + "N" +
           "Espresso                                 2.20\n" + e + "fP";
}

}  // namespace thermpos::demo
