// The printer command table: the bytes each command code of the print data becomes. The
// thermal family's table answers every code; a model names the few codes it handles
// itself (ModelCommand, in its profile) and picks their commands from the ones declared
// here, so every command's bytes are spelt once, in PrintCommands.cpp.
//
// Printer bytes travel as std::string (bytes, not text); nothing here assumes they are
// zero-free or zero-terminated. No state of its own and no threads: the formatting state
// and the settings are the caller's, borrowed for one call.
#pragma once

#include <span>
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

// Result codes of the translation (the OPOS values).
inline constexpr int kTranslateOk = 0;
inline constexpr int kTranslateIllegal = 106;
inline constexpr int kTranslateFailure = 111;

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

    bool operator==(const FormattingState&) const = default;
};

// A bitmap kept as ready command bytes under its number (1-20).
struct StoredBitmap {
    int number = 0;
    std::string bytes;
};

// Device settings the commands read. The pointers are borrowed for one call.
struct ThermalCommandSettings {
    int recLinesToPaperCut = 3;
    int fontCount = 3;
    bool useNvram = true;
    int bitmapMode = 0;
    const std::vector<StoredBitmap>* storedBitmaps = nullptr;
    std::string_view topLogo;
    std::string_view bottomLogo;
};

// One command: appends the bytes of `code` with its number to *out unless validating
// (validation appends nothing and never changes the state). Returns 0, 106 or 111.
using CommandFunction = int (*)(const ThermalCommandSettings& settings, FormattingState* state,
                                int code, int number, std::string* out, bool validate);

// A code a model handles itself, and the command it sends for it.
struct ModelCommand {
    int code;
    CommandFunction translate;
};

// The thermal family's table.
int ThermalTranslateCommand(const ThermalCommandSettings& settings, FormattingState* state,
                            int code, int number, std::string* out, bool validate);

// A model's table: its own command for the code when it names one, else the family's.
int ModelTranslateCommand(std::span<const ModelCommand> model,
                          const ThermalCommandSettings& settings, FormattingState* state, int code,
                          int number, std::string* out, bool validate);

// The commands the models choose from instead of the family's.
namespace commands {

// CMD_PAPER_CUT as a partial cut, whatever the number.
int PartialCut(const ThermalCommandSettings&, FormattingState*, int code, int number,
               std::string* out, bool validate);
// CMD_FEED_CUT and CMD_FEED_STAMP_CUT with a partial cut, whatever the number.
int FeedThenPartialCut(const ThermalCommandSettings& settings, FormattingState*, int code,
                       int number, std::string* out, bool validate);

// CMD_ALT_COLOR and the CMD_NORMAL that switches back to the first colour, in the two
// forms the models speak: GS ( N, and ESC ~ J with the colour's number.
int SecondColourGsN(const ThermalCommandSettings&, FormattingState* state, int code, int number,
                    std::string* out, bool validate);
int NormalAfterGsN(const ThermalCommandSettings& settings, FormattingState* state, int code,
                   int number, std::string* out, bool validate);
int SecondColourEscTilde(const ThermalCommandSettings&, FormattingState* state, int code,
                         int number, std::string* out, bool validate);
int NormalAfterEscTilde(const ThermalCommandSettings& settings, FormattingState* state, int code,
                        int number, std::string* out, bool validate);

}  // namespace commands

}  // namespace thermpos::so
