// Reads back the bar codes on a receipt picture with decoders that share no code with the
// virtual printer's encoders: zbar for the one-dimensional symbols, ZXing-C++ for QR Code
// and PDF417.
//
// The picture is cut into bands at runs of blank rows (one printed bar code with its
// human-readable text is one band). Each band is decoded on its own, surrounded by blank
// paper so that a symbol printed against the paper edge still has its quiet zones, and a
// band that yields nothing is tried again scaled up.
#pragma once

#include <string>
#include <vector>

namespace printertest {

struct ReceiptBand {
    int top = 0;  // rows [top, bottom), columns [left, right), of the inked area
    int bottom = 0;
    int left = 0;
    int right = 0;
    // Rows at the top (bottom) of the band that differ from its middle row: human-readable
    // text printed above (below) the bars.
    bool inkAboveBars = false;
    bool inkBelowBars = false;
    // What zbar read, as "SYMBOLOGY:text" with zbar's names (for example "EAN-13:...").
    std::vector<std::string> decoded;
    // What ZXing read: QR Code or PDF417, the data bytes as they were encoded, and the
    // symbol's turn on the paper in degrees (180 for one printed upside down).
    struct Symbol2D {
        std::string format;  // "QRCode" or "PDF417"
        std::string bytes;
        int orientation = 0;
    };
    std::vector<Symbol2D> decoded2D;
};

// The bands of a PNG file, top to bottom. False with *error when the file cannot be read.
bool ReadReceiptBands(const std::string& pngPath, std::vector<ReceiptBand>* bands,
                      std::string* error);

// The QR Code and PDF417 symbols ZXing finds in a grey picture (0 black .. 255 white, one
// byte per pixel, rows without padding). Apart from the rest: ZXing's and zbar's headers
// do not go into one file.
std::vector<ReceiptBand::Symbol2D> ReadSymbols2D(const unsigned char* pixels, int width,
                                                 int height);

}  // namespace printertest
