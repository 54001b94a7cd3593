// The print data translation as it was first written: one virtual call per sequence and
// one push_back per command byte. It is kept unchanged as the reference the faster
// translation must match byte for byte (translation_equivalence_test.cpp).
#include "tests/so/printer/TranslationReference.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <initializer_list>

namespace thermpos::so::reference {

namespace {

constexpr char kEsc = 0x1B;

void Put(std::string* out, bool validate, std::initializer_list<int> bytes) {
    if (validate) {
        return;
    }
    for (int b : bytes) {
        out->push_back(static_cast<char>(b & 0xFF));
    }
}

// Feed and underline counts: a missing number means one.
int OneIfZero(int n) {
    return n == 0 ? 1 : n;
}

int CutMode(int percentage) {
    return (percentage == 0 || percentage == 100) ? 0x00 : 0x01;
}

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

}  // namespace

int ThermalTranslateCommand(const ThermalCommandSettings& settings, FormattingState* state,
                            int code, int n, std::string* out, bool validate) {
    switch (code) {
        case CMD_PAPER_CUT:
            Put(out, validate, {0x1D, 0x56, CutMode(n)});
            return kTranslateOk;
        case CMD_FEED_CUT:
        case CMD_FEED_STAMP_CUT:
            Put(out, validate, {0x1B, 0x64, settings.recLinesToPaperCut, 0x1D, 0x56, CutMode(n)});
            return code == CMD_FEED_CUT ? kTranslateOk : kTranslateIllegal;
        case CMD_BITMAP: {
            if (validate) {
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
                // The printer numbers its NV images in the order of the last download,
                // which is the list order, not the bitmap numbers.
                const int position = static_cast<int>(found - stored.begin()) + 1;
                Put(out, false, {0x0A, 0x1C, 0x70, position, settings.bitmapMode});
            } else {
                out->append(found->bytes);
            }
            return kTranslateOk;
        }
        case CMD_TOP_LOGO:
            if (!validate) {
                out->append(settings.topLogo);
            }
            return kTranslateOk;
        case CMD_BOTTOM_LOGO:
            if (!validate) {
                out->append(settings.bottomLogo);
            }
            return kTranslateOk;
        case CMD_FEED_LINES:
            Put(out, validate, {0x1B, 0x64, OneIfZero(n)});
            return kTranslateOk;
        case CMD_FEED_UNITS:
            Put(out, validate, {0x1B, 0x4A, OneIfZero(n)});
            return kTranslateOk;
        case CMD_TYPEFACE: {
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
        case CMD_BOLD:
            Put(out, validate, {0x1B, 0x45, 0x01});
            if (!validate) {
                state->bold = true;
            }
            return kTranslateOk;
        case CMD_UNDERLINE:
            Put(out, validate, {0x1B, 0x2D, OneIfZero(n)});
            if (!validate) {
                state->underline = true;
            }
            return kTranslateOk;
        case CMD_REVERSE:
            Put(out, validate, {0x1D, 0x42, 0x01});
            if (!validate) {
                state->reverse = true;
            }
            return kTranslateOk;
        case CMD_SIZE_1:
        case CMD_SIZE_2:
        case CMD_SIZE_3:
        case CMD_SIZE_4: {
            const int index = code - CMD_SIZE_1;
            const int width = (index & 1) ? 0x10 : 0x00;
            const int height = (index & 2) ? 0x01 : 0x00;
            Put(out, validate, {0x1D, 0x21, width | height});
            if (!validate) {
                state->widthNibble = width;
                state->heightNibble = height;
            }
            return kTranslateOk;
        }
        case CMD_SCALE_H:
        case CMD_SCALE_V: {
            if (n > 8) {
                return kTranslateOk;
            }
            const int factor = std::max(n, 1) - 1;
            const int width = code == CMD_SCALE_H ? factor * 16 : state->widthNibble;
            const int height = code == CMD_SCALE_V ? factor : state->heightNibble;
            Put(out, validate, {0x1D, 0x21, width | height});
            if (!validate) {
                state->widthNibble = width;
                state->heightNibble = height;
            }
            return kTranslateOk;
        }
        case CMD_CENTER:
        case CMD_RIGHT:
            Put(out, validate, {0x1B, 0x61, code == CMD_CENTER ? 0x01 : 0x02});
            if (!validate) {
                state->alignment = true;
            }
            return kTranslateOk;
        case CMD_NORMAL:
            return NormalReset(state, out, validate);
        default:
            // Stamp, reverse feed, italic, colour, shading, fixed colour and the unused
            // codes: this family has no command for them.
            return kTranslateFailure;
    }
}

int ModelTranslateCommand(PrinterModel model, const ThermalCommandSettings& settings,
                          FormattingState* state, int code, int n, std::string* out,
                          bool validate) {
    const bool qmx = model == PrinterModel::QMX5500;
    switch (code) {
        case CMD_PAPER_CUT:
            if (qmx) {
                Put(out, validate, {0x1D, 0x56, 0x01});
                return kTranslateOk;
            }
            break;
        case CMD_FEED_CUT:
        case CMD_FEED_STAMP_CUT:
            if (model != PrinterModel::RTK410) {
                Put(out, validate, {0x1B, 0x64, settings.recLinesToPaperCut, 0x1D, 0x56, 0x01});
                return code == CMD_FEED_CUT ? kTranslateOk : kTranslateIllegal;
            }
            break;
        case CMD_ALT_COLOR:
            if (n < 0 || n > 2) {
                return kTranslateIllegal;
            }
            if (qmx) {
                Put(out, validate, {0x1B, 0x7E, 0x4A, n == 0 ? 1 : n});
            } else {
                Put(out, validate, {0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x32});
            }
            if (!validate) {
                state->colour = true;
            }
            return kTranslateOk;
        case CMD_NORMAL:
            if (!validate && state->colour) {
                if (qmx) {
                    Put(out, false, {0x1B, 0x7E, 0x4A, 0x00});
                } else {
                    Put(out, false, {0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x31});
                }
                state->colour = false;
            }
            break;
        default:
            break;
    }
    return reference::ThermalTranslateCommand(settings, state, code, n, out, validate);
}

int ParsePrintData(std::string_view text, PrintDataSink& sink, std::string* out, bool validate) {
    int result = kTranslateOk;
    const size_t size = text.size();
    size_t runStart = 0;
    size_t pos = 0;

    auto closeRun = [&](size_t end) {
        if (!validate && end > runStart) {
            sink.AppendTextRun(text.substr(runStart, end - runStart), out);
        }
    };

    while (pos + 1 < size) {
        const void* hit = std::memchr(text.data() + pos, kEsc, size - pos - 1);
        if (hit == nullptr) {
            break;
        }
        const size_t esc = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
        if (text[esc + 1] != '|') {
            pos = esc + 1;
            continue;
        }
        closeRun(esc);

        size_t p = esc + 2;
        // Digits as the C library would read them, but held in range: a long run of digits
        // must not overflow into a negative count.
        long long number = 0;
        while (p < size && text[p] >= '0' && text[p] <= '9') {
            number = std::min<long long>(number * 10 + (text[p] - '0'), INT_MAX);
            ++p;
        }
        const int n = static_cast<int>(number);
        char modifier = 0;
        bool reverseVideo = false;
        if (p < size && text[p] >= 'a' && text[p] <= 'z') {
            modifier = text[p++];
            if (modifier == 'r' && p + 1 < size && text[p] == 'v' && text[p + 1] == 'C') {
                reverseVideo = true;
                ++p;
            }
        }

        int code = 0;
        bool consumed = false;  // a sequence that produces nothing by itself
        size_t resume = p + 1;
        const char letter = p < size ? text[p] : '\0';
        switch (letter) {
            case 'A':
                code = modifier == 'c' ? CMD_CENTER : modifier == 'r' ? CMD_RIGHT : 0;
                break;
            case 'B':
                if (n >= 1 && n <= 20) {
                    code = CMD_BITMAP;
                } else {
                    result = std::max(result, kTranslateFailure);
                    consumed = true;
                }
                break;
            case 'C':
                switch (modifier) {
                    case 0:
                        code = (n >= 1 && n <= 4) ? CMD_SIZE_1 + n - 1 : 0;
                        break;
                    case 'b':
                        code = CMD_BOLD;
                        break;
                    case 'f':
                        code = CMD_FC;
                        break;
                    case 'h':
                        code = CMD_SCALE_H;
                        break;
                    case 'i':
                        code = CMD_ITALIC;
                        break;
                    case 'r':
                        code = reverseVideo ? CMD_REVERSE : CMD_ALT_COLOR;
                        break;
                    case 's':
                        code = CMD_SHADING;
                        break;
                    case 'u':
                        code = CMD_UNDERLINE;
                        break;
                    case 'v':
                        code = CMD_SCALE_V;
                        break;
                    default:
                        break;
                }
                break;
            case 'E':
                consumed = true;
                if (modifier == 0) {
                    const size_t available = size - (p + 1);
                    if (static_cast<size_t>(n) <= available) {
                        if (!validate) {
                            out->append(text.substr(p + 1, n));
                        }
                        resume = p + 1 + n;
                    }
                }
                break;
            case 'F':
                code = modifier == 'l'   ? CMD_FEED_LINES
                       : modifier == 'r' ? CMD_FEED_REVERSE
                       : modifier == 'u' ? CMD_FEED_UNITS
                                         : 0;
                break;
            case 'L':
                code = modifier == 'b'   ? CMD_BOTTOM_LOGO
                       : modifier == 's' ? CMD_FIRE_STAMP
                       : modifier == 't' ? CMD_TOP_LOGO
                                         : 0;
                break;
            case 'N':
                code = CMD_NORMAL;
                break;
            case 'P':
                code = modifier == 0     ? CMD_PAPER_CUT
                       : modifier == 'f' ? CMD_FEED_CUT
                       : modifier == 's' ? CMD_FEED_STAMP_CUT
                                         : 0;
                break;
            case 'T':
                code = modifier == 'f' ? CMD_TYPEFACE : 0;
                break;
            default:
                break;
        }

        if (code != 0) {
            result = std::max(result, sink.TranslateCommand(code, n, out, validate));
        } else if (!consumed) {
            // Not a sequence: ESC '|' print as text and the rest is read as text again.
            if (!validate) {
                out->append(text.substr(esc, 2));
            }
            resume = esc + 2;
        }
        runStart = pos = resume;
    }
    closeRun(size);
    return result;
}

}  // namespace thermpos::so::reference
