// The print data the translation benchmarks feed the printer: plain text, escape-dense
// text, formatted receipt lines and a typical receipt. Shared by printer_bench and
// translate_count, so that timings and instruction counts are for the same bytes.
#pragma once

#include <cstddef>
#include <string>

namespace printbench {

inline std::string PlainText(std::size_t bytes) {
    const std::string line = "Flat white                          2 x 3.40\n";
    std::string text;
    while (text.size() < bytes)
        text += line;
    text.resize(bytes);
    return text;
}

// A sequence every few characters, as in a heavily formatted receipt.
inline std::string EscapeDense(std::size_t bytes) {
    const std::string e = "\x1B|";
    const std::string chunk = e + "bCTotal" + e + "N" + e + "cA" + e + "2C12.70\n" + e + "uCx" + e +
                              "N" + e + "3lF" + e + "rvCok" + e + "N";
    std::string text;
    while (text.size() < bytes)
        text += chunk;
    return text;
}

// Every line formatted, as on the headings, item lines and totals of a receipt that
// formats each line: centred double-size headings, bold names, an underlined subtotal, a
// bold double-size total, a reverse closing line and a feed; about one sequence per 12
// bytes. EscapeDense packs one per 5 bytes, most of them with no text between them, which
// no receipt does; both are kept, EscapeDense as the worst case.
inline std::string FormattedLines(std::size_t bytes) {
    const std::string e = "\x1B|";
    const std::string chunk = e + "cA" + e + "2CHARBOUR CAFE\n" + e + "N" +        //
                              e + "bCFlat white" + e + "N          2 x  6.80\n" +  //
                              e + "bCCroissant" + e + "N           1 x  2.80\n" +  //
                              e + "uCSubtotal" + e + "N            9.60\n" +       //
                              e + "bC" + e + "2CTOTAL       9.60\n" + e + "N" +    //
                              e + "cA" + e + "rvC Thank you! \n" + e + "N" + e + "3lF";
    std::string text;
    while (text.size() < bytes)
        text += chunk;
    return text;
}

// A 1.2 KB receipt ending with a cut (also what the asynchronous benchmarks print).
inline std::string Receipt() {
    std::string r = "\x1B|cA\x1B|2CHARBOUR CAFE\n\x1B|N";
    while (r.size() < 1200)
        r += "Croissant                           1 x 2.80\n";
    return r + "\x1B|fP";
}

}  // namespace printbench
