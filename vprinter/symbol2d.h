// Two-dimensional symbols of GS ( k: QR Code and PDF417, encoded with libzint into a
// module matrix that the printer draws at the commanded module sizes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "vprinter/render.h"

namespace thermpos::vprinter {

// The QR Code settings of GS ( k cn 49, as the printer keeps them.
struct QrSettings {
    int model = 2;       // 1, 2, or 3 for Micro QR
    int moduleDots = 3;  // 1..16
    int level = 0;       // 0..3: L, M, Q, H
};

// The PDF417 settings of GS ( k cn 48.
struct Pdf417Settings {
    int columns = 0;  // 0 automatic, 1..30
    int rows = 0;     // 0 automatic, 3..90
    int moduleDots = 3;
    int rowHeight = 3;  // in module widths
    bool levelIsRatio = true;
    int level = 1;  // 0..8, or the ratio 1..40 in tens of percent of the data codewords
    bool truncated = false;
};

// The most data bytes the printer keeps for one symbol (numeric QR Code, version 40 at
// level L); a longer store is skipped whole.
inline constexpr std::size_t kMaxSymbolData = 7089;

// The symbol's modules, one dot each (1 = dark), without quiet zone; null with *error set
// when the data does not fit the settings or the settings cannot be encoded.
std::shared_ptr<Bitmap> EncodeQr(const QrSettings& settings, std::string_view data,
                                 std::string* error);
std::shared_ptr<Bitmap> EncodePdf417(const Pdf417Settings& settings, std::string_view data,
                                     std::string* error);

}  // namespace thermpos::vprinter
