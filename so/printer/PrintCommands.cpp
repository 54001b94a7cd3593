// The printer command table: every command's bytes, for the thermal family and for the
// commands the models send instead (see PrintCommands.h).
#include "so/printer/PrintCommands.h"

#include <algorithm>
#include <initializer_list>

namespace thermpos::so {

namespace {

constexpr int kFullCut = 0x00;
constexpr int kPartialCut = 0x01;

// Appends the bytes unless validating. Numbers become bytes modulo 256.
void Put(std::string* out, bool validate, std::initializer_list<int> bytes) {
    if (validate) {
        return;
    }
    for (int b : bytes) {
        out->push_back(static_cast<char>(b & 0xFF));
    }
}

void Append(std::string* out, bool validate, std::string_view bytes) {
    if (!validate) {
        out->append(bytes);
    }
}

// Feed and underline counts: a missing number means one.
int OneIfZero(int n) {
    return n == 0 ? 1 : n;
}

// A cut of 0 or 100 percent cuts through; any other leaves a point uncut.
int CutMode(int percentage) {
    return (percentage == 0 || percentage == 100) ? kFullCut : kPartialCut;
}

int Cut(int mode, std::string* out, bool validate) {
    Put(out, validate, {0x1D, 0x56, mode});
    return kTranslateOk;
}

int FeedThenCut(const ThermalCommandSettings& settings, int code, int mode, std::string* out,
                bool validate) {
    Put(out, validate, {0x1B, 0x64, settings.recLinesToPaperCut, 0x1D, 0x56, mode});
    // The printer has no stamp: the stamp variant cuts the same and says so.
    return code == CMD_FEED_CUT ? kTranslateOk : kTranslateIllegal;
}

// A command that switches one formatting flag on.
int SwitchOn(bool* flag, std::initializer_list<int> bytes, std::string* out, bool validate) {
    Put(out, validate, bytes);
    if (!validate) {
        *flag = true;
    }
    return kTranslateOk;
}

// GS '!' with both nibbles, which it replaces in the state.
int SelectSize(FormattingState* state, int width, int height, std::string* out, bool validate) {
    Put(out, validate, {0x1D, 0x21, width | height});
    if (!validate) {
        state->widthNibble = width;
        state->heightNibble = height;
    }
    return kTranslateOk;
}

int PrintStoredBitmap(const ThermalCommandSettings& settings, int n, std::string* out,
                      bool validate) {
    if (validate) {
        // Whether the bitmap is stored is only known when printing.
        return (n >= 1 && n <= 20) ? kTranslateOk : kTranslateFailure;
    }
    if (settings.storedBitmaps == nullptr) {
        return kTranslateFailure;
    }
    const auto& stored = *settings.storedBitmaps;
    const auto found = std::find_if(stored.begin(), stored.end(),
                                    [n](const StoredBitmap& b) { return b.number == n; });
    if (found == stored.end()) {
        return kTranslateFailure;
    }
    if (settings.useNvram) {
        // The printer numbers its NV images in the order of the last download, which is
        // the list order, not the bitmap numbers.
        const int position = static_cast<int>(found - stored.begin()) + 1;
        Put(out, false, {0x0A, 0x1C, 0x70, position, settings.bitmapMode});
    } else {
        out->append(found->bytes);
    }
    return kTranslateOk;
}

int SelectTypeface(const ThermalCommandSettings& settings, FormattingState* state, int n,
                   std::string* out, bool validate) {
    if (n > settings.fontCount) {
        return kTranslateFailure;
    }
    const int face = n < 1 ? 1 : n;
    Put(out, validate, {0x1B, 0x4D, face - 1});
    if (!validate) {
        state->font = face - 1;
    }
    return kTranslateOk;
}

// Switches off, in this order, what is on; the font stays.
int NormalReset(FormattingState* state, std::string* out, bool validate) {
    if (validate) {
        return kTranslateOk;
    }
    if (state->alignment) {
        Put(out, false, {0x1B, 0x61, 0x00});
    }
    if (state->reverse) {
        Put(out, false, {0x1D, 0x42, 0x00});
    }
    if (state->widthNibble != 0 || state->heightNibble != 0) {
        Put(out, false, {0x1D, 0x21, 0x00});
    }
    if (state->bold) {
        Put(out, false, {0x1B, 0x45, 0x00});
    }
    if (state->underline) {
        Put(out, false, {0x1B, 0x2D, 0x00});
    }
    state->alignment = state->reverse = state->bold = state->underline = false;
    state->widthNibble = state->heightNibble = 0;
    return kTranslateOk;
}

// The models' second colour takes the numbers 0 (as 1) to 2.
bool IsColourNumber(int n) {
    return n >= 0 && n <= 2;
}

int SelectSecondColour(FormattingState* state, std::initializer_list<int> bytes, std::string* out,
                       bool validate) {
    return SwitchOn(&state->colour, bytes, out, validate);
}

// The family's reset, preceded by the switch back to the first colour when the second is on.
int NormalWithColour(const ThermalCommandSettings& settings, FormattingState* state,
                     std::initializer_list<int> firstColour, std::string* out, bool validate) {
    if (!validate && state->colour) {
        Put(out, false, firstColour);
        state->colour = false;
    }
    return ThermalTranslateCommand(settings, state, CMD_NORMAL, 0, out, validate);
}

}  // namespace

int ThermalTranslateCommand(const ThermalCommandSettings& settings, FormattingState* state,
                            int code, int n, std::string* out, bool validate) {
    switch (code) {
        case CMD_PAPER_CUT:
            return Cut(CutMode(n), out, validate);
        case CMD_FEED_CUT:
        case CMD_FEED_STAMP_CUT:
            return FeedThenCut(settings, code, CutMode(n), out, validate);
        case CMD_BITMAP:
            return PrintStoredBitmap(settings, n, out, validate);
        case CMD_TOP_LOGO:
            Append(out, validate, settings.topLogo);
            return kTranslateOk;
        case CMD_BOTTOM_LOGO:
            Append(out, validate, settings.bottomLogo);
            return kTranslateOk;
        case CMD_FEED_LINES:
            Put(out, validate, {0x1B, 0x64, OneIfZero(n)});
            return kTranslateOk;
        case CMD_FEED_UNITS:
            Put(out, validate, {0x1B, 0x4A, OneIfZero(n)});
            return kTranslateOk;
        case CMD_TYPEFACE:
            return SelectTypeface(settings, state, n, out, validate);
        case CMD_BOLD:
            return SwitchOn(&state->bold, {0x1B, 0x45, 0x01}, out, validate);
        case CMD_UNDERLINE:
            return SwitchOn(&state->underline, {0x1B, 0x2D, OneIfZero(n)}, out, validate);
        case CMD_REVERSE:
            return SwitchOn(&state->reverse, {0x1D, 0x42, 0x01}, out, validate);
        case CMD_SIZE_1:
        case CMD_SIZE_2:
        case CMD_SIZE_3:
        case CMD_SIZE_4: {
            // Double width and double height as the two bits of the size's index.
            const int index = code - CMD_SIZE_1;
            return SelectSize(state, (index & 1) ? 0x10 : 0x00, (index & 2) ? 0x01 : 0x00, out,
                              validate);
        }
        case CMD_SCALE_H:
        case CMD_SCALE_V: {
            if (n > 8) {
                return kTranslateOk;
            }
            // One scale changes, the other keeps what the last size set.
            const int factor = std::max(n, 1) - 1;
            return code == CMD_SCALE_H
                       ? SelectSize(state, factor * 16, state->heightNibble, out, validate)
                       : SelectSize(state, state->widthNibble, factor, out, validate);
        }
        case CMD_CENTER:
        case CMD_RIGHT:
            return SwitchOn(&state->alignment, {0x1B, 0x61, code == CMD_CENTER ? 0x01 : 0x02}, out,
                            validate);
        case CMD_NORMAL:
            return NormalReset(state, out, validate);
        default:
            // Stamp, reverse feed, italic, colour, shading, fixed colour and the unused
            // codes: this family has no command for them.
            return kTranslateFailure;
    }
}

int ModelTranslateCommand(std::span<const ModelCommand> model,
                          const ThermalCommandSettings& settings, FormattingState* state, int code,
                          int number, std::string* out, bool validate) {
    for (const ModelCommand& command : model) {
        if (command.code == code) {
            return command.translate(settings, state, code, number, out, validate);
        }
    }
    return ThermalTranslateCommand(settings, state, code, number, out, validate);
}

namespace commands {

int PartialCut(const ThermalCommandSettings&, FormattingState*, int, int, std::string* out,
               bool validate) {
    return Cut(kPartialCut, out, validate);
}

int FeedThenPartialCut(const ThermalCommandSettings& settings, FormattingState*, int code, int,
                       std::string* out, bool validate) {
    return FeedThenCut(settings, code, kPartialCut, out, validate);
}

int SecondColourGsN(const ThermalCommandSettings&, FormattingState* state, int, int n,
                    std::string* out, bool validate) {
    if (!IsColourNumber(n)) {
        return kTranslateIllegal;
    }
    return SelectSecondColour(state, {0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x32}, out, validate);
}

int NormalAfterGsN(const ThermalCommandSettings& settings, FormattingState* state, int, int,
                   std::string* out, bool validate) {
    return NormalWithColour(settings, state, {0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x31}, out,
                            validate);
}

int SecondColourEscTilde(const ThermalCommandSettings&, FormattingState* state, int, int n,
                         std::string* out, bool validate) {
    if (!IsColourNumber(n)) {
        return kTranslateIllegal;
    }
    return SelectSecondColour(state, {0x1B, 0x7E, 0x4A, OneIfZero(n)}, out, validate);
}

int NormalAfterEscTilde(const ThermalCommandSettings& settings, FormattingState* state, int, int,
                        std::string* out, bool validate) {
    return NormalWithColour(settings, state, {0x1B, 0x7E, 0x4A, 0x00}, out, validate);
}

}  // namespace commands

}  // namespace thermpos::so
