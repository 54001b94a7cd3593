// Print data translation: OPOS escape sequences (ESC '|' ...) to printer command bytes.
//
// The device classes own the formatting state and the settings; this file holds the pieces
// that need no device: the parser, the command tables of the thermal family and of each
// model, the line-end normalisation and the text code page mapping. The device's virtual
// operations (TranslateCommand, NormalizeLineEnds ...) call into these, so the byte tables
// are tested without a port or an open device.
//
// Printer bytes travel as std::string (bytes, not text); nothing here assumes they are
// zero-free or zero-terminated.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace thermpos::so {

// Command codes the parser hands to TranslateCommand. 25 and 26 are never produced by the
// parser but keep their numbers.
enum PrintCommandCode : int {
    CMD_PAPER_CUT = 1,
    CMD_FEED_CUT = 2,
    CMD_FEED_STAMP_CUT = 3,
    CMD_FIRE_STAMP = 4,
    CMD_BITMAP = 5,
    CMD_TOP_LOGO = 6,
    CMD_BOTTOM_LOGO = 7,
    CMD_FEED_LINES = 8,
    CMD_FEED_UNITS = 9,
    CMD_FEED_REVERSE = 10,
    CMD_TYPEFACE = 11,
    CMD_BOLD = 12,
    CMD_UNDERLINE = 13,
    CMD_ITALIC = 14,
    CMD_ALT_COLOR = 15,
    CMD_REVERSE = 16,
    CMD_SHADING = 17,
    CMD_SIZE_1 = 18,
    CMD_SIZE_2 = 19,
    CMD_SIZE_3 = 20,
    CMD_SIZE_4 = 21,
    CMD_SCALE_H = 22,
    CMD_SCALE_V = 23,
    CMD_FC = 24,
    CMD_CENTER = 27,
    CMD_RIGHT = 28,
    CMD_NORMAL = 29,
};

// Result codes this file produces (the OPOS values).
inline constexpr int kTranslateOk = 0;
inline constexpr int kTranslateIllegal = 106;
inline constexpr int kTranslateFailure = 111;

enum class PrinterModel { RTK410, QMX5500, RTK6100 };

// What the last printed bytes left switched on at the printer. Every print ends with the
// CMD_NORMAL reset, which consults these flags so that it only sends what is needed.
struct FormattingState {
    bool alignment = false;  // centre or right alignment is on
    bool reverse = false;
    int widthNibble = 0;   // high half of the last GS '!' byte (0x00..0x70)
    int heightNibble = 0;  // low half (0x00..0x07)
    bool bold = false;
    bool underline = false;
    int font = 0;         // 0-based; survives CMD_NORMAL
    bool colour = false;  // second colour selected (models only)

    // The enable step: everything but the colour flag back to the printer's defaults.
    void ClearForEnable() {
        alignment = reverse = bold = underline = false;
        widthNibble = heightNibble = 0;
        font = 0;
    }
};

// A bitmap kept as ready command bytes under its number (1-20).
struct StoredBitmap {
    int number = 0;
    std::string bytes;
};

// Device settings the thermal command table reads. The pointers are borrowed for one call.
struct ThermalCommandSettings {
    int recLinesToPaperCut = 3;
    int fontCount = 3;
    bool useNvram = true;
    int bitmapMode = 0;
    const std::vector<StoredBitmap>* storedBitmaps = nullptr;
    std::string_view topLogo;
    std::string_view bottomLogo;
};

// The thermal family's table. Appends to *out unless validating; validation never changes
// the state. Returns 0, 106 or 111.
int ThermalTranslateCommand(const ThermalCommandSettings& settings, FormattingState* state,
                            int code, int number, std::string* out, bool validate);

// A model's table: the codes the model handles itself, everything else through the thermal
// table.
int ModelTranslateCommand(PrinterModel model, const ThermalCommandSettings& settings,
                          FormattingState* state, int code, int number, std::string* out,
                          bool validate);

// CR LF becomes LF, then every lone CR becomes LF. 111 when a lone CR was met, else 0.
int NormalizeLineEnds(std::string* text);

// Appends a text run converted from the system ANSI code page to the printer code page
// numbered characterSet. 437 is never converted; a run that either conversion cannot
// handle (no system table, nothing produced) is appended unchanged. Characters the target
// lacks become spaces.
void MapTextCodePage(std::string_view run, int characterSet, std::string* out);
// Whether MapTextCodePage converts anything for this printer code page.
inline bool CodePageMapsText(int characterSet) {
    return characterSet != 437 && characterSet > 0;
}

// What the parser needs from its device.
class PrintDataSink {
  public:
    virtual int TranslateCommand(int code, int number, std::string* out, bool validate) = 0;
    // Appends one run of text, mapped as the device's MapCharacterSet says.
    virtual void AppendTextRun(std::string_view run, std::string* out) = 0;

  protected:
    ~PrintDataSink() = default;
};

// Walks already normalised text: text runs go to the sink's AppendTextRun, recognised
// ESC '|' sequences to its TranslateCommand, embedded data unchanged, anything else as
// text. Nothing is appended when validating. Returns the largest command result.
int ParsePrintData(std::string_view text, PrintDataSink& sink, std::string* out, bool validate);

// Everything a device whose commands are exactly a model's table hands to the translation:
// the same bytes as a sink calling ModelTranslateCommand, without a call through the sink
// for every sequence. The state and the settings' pointers are borrowed for one call.
struct ModelTranslation {
    PrinterModel model = PrinterModel::RTK410;
    ThermalCommandSettings settings;
    FormattingState* state = nullptr;
    bool mapCharacterSet = false;  // text runs through MapTextCodePage
    int characterSet = 437;
};

// NormalizeLineEnds and ParsePrintData for such a device in one pass over data (the data
// is copied only when it holds a CR). Appends to *out unless validating; the reset at the
// end of a print is the caller's. Returns the largest result met.
[[nodiscard]] int TranslateModelPrintData(const ModelTranslation& translation,
                                          std::string_view data, std::string* out, bool validate);

// MapMode units: PTR_MM_DOTS 1, PTR_MM_TWIPS 2, PTR_MM_ENGLISH 3, PTR_MM_METRIC 4.
inline constexpr double kPrinterResolution = 203.0;
// value × (units per inch of `to`) / (units per inch of `from`), truncated toward zero and
// held inside the 32-bit range. An unknown mode converts nothing (the value is returned).
int ConvertUnits(double resolution, int from, int to, int value);

}  // namespace thermpos::so
