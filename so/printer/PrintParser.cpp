// The print data parser (see PrintParser.h): the sequence grammar as one table, and the
// walk over the text that looks each sequence up in it.
#include "so/printer/PrintParser.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "so/printer/PrintCommands.h"

namespace thermpos::so {

namespace {

constexpr char kEsc = 0x1B;

// What (modifier, command letter) means: a command code, or one of the kinds below that
// need the number or the bytes after the letter.
enum SequenceKind : unsigned char {
    kNotSequence = 0,
    // 1-29 are the PrintCommandCode values.
    kSizeByNumber = 30,  // ESC|#C: sizes 1 to 4, anything else is text
    kBitmapNumber = 31,  // ESC|#B: 1 to 20, anything else is dropped with 111
    kEmbedded = 32,      // ESC|#E
    kDropped = 33,       // ESC|#xE: nothing, result unchanged
};

// The grammar: each form is a modifier (0 for none, kAnyModifier for any) and a command
// letter, and what it means.
constexpr char kAnyModifier = '*';
struct Form {
    char modifier;
    char letter;
    int kind;
};
constexpr Form kForms[] = {
    {'c', 'A', CMD_CENTER},
    {'r', 'A', CMD_RIGHT},
    {kAnyModifier, 'B', kBitmapNumber},
    {0, 'C', kSizeByNumber},
    {'b', 'C', CMD_BOLD},
    {'f', 'C', CMD_FC},
    {'h', 'C', CMD_SCALE_H},
    {'i', 'C', CMD_ITALIC},
    {'r', 'C', CMD_ALT_COLOR},  // ESC|rvC is told apart by the walk
    {'s', 'C', CMD_SHADING},
    {'u', 'C', CMD_UNDERLINE},
    {'v', 'C', CMD_SCALE_V},
    {kAnyModifier, 'E', kDropped},
    {0, 'E', kEmbedded},
    {'l', 'F', CMD_FEED_LINES},
    {'r', 'F', CMD_FEED_REVERSE},
    {'u', 'F', CMD_FEED_UNITS},
    {'b', 'L', CMD_BOTTOM_LOGO},
    {'s', 'L', CMD_FIRE_STAMP},
    {'t', 'L', CMD_TOP_LOGO},
    {kAnyModifier, 'N', CMD_NORMAL},
    {0, 'P', CMD_PAPER_CUT},
    {'f', 'P', CMD_FEED_CUT},
    {'s', 'P', CMD_FEED_STAMP_CUT},
    {'f', 'T', CMD_TYPEFACE},
};

// The forms for a look-up by modifier and letter: row 0 is "no modifier", rows 1-26 the
// modifiers 'a' to 'z'; a column per command letter. A form for any modifier comes before
// the exceptions to it.
constexpr int kRows = 27;
constexpr int kLetters = 26;

struct SequenceTable {
    unsigned char kind[kRows][kLetters] = {};
};

constexpr SequenceTable MakeSequenceTable() {
    SequenceTable t;
    for (bool any : {true, false}) {
        for (const Form& f : kForms) {
            if ((f.modifier == kAnyModifier) != any) {
                continue;
            }
            for (int row = 0; row < kRows; ++row) {
                const int wanted = f.modifier == 0 ? 0 : f.modifier - 'a' + 1;
                if (any || row == wanted) {
                    t.kind[row][f.letter - 'A'] = static_cast<unsigned char>(f.kind);
                }
            }
        }
    }
    return t;
}

constexpr SequenceTable kSequences = MakeSequenceTable();

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}
bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

// One sequence as read after ESC '|'.
struct Sequence {
    int kind = kNotSequence;
    int number = 0;
    bool reverseVideo = false;  // ESC|rvC
    std::size_t end = 0;        // just past the command letter
};

Sequence ReadSequence(std::string_view text, std::size_t p) {
    const std::size_t size = text.size();
    Sequence s;
    // Digits as the C library would read them, but held in range: a long run of digits
    // must not overflow into a negative count.
    long long number = 0;
    while (p < size && IsDigit(text[p])) {
        number = std::min<long long>(number * 10 + (text[p] - '0'), INT_MAX);
        ++p;
    }
    s.number = static_cast<int>(number);
    int row = 0;
    if (p < size && IsLower(text[p])) {
        row = text[p] - 'a' + 1;
        ++p;
        if (row == 'r' - 'a' + 1 && p + 1 < size && text[p] == 'v' && text[p + 1] == 'C') {
            s.reverseVideo = true;
            ++p;
        }
    }
    if (p < size && IsUpper(text[p])) {
        s.kind = kSequences.kind[row][text[p] - 'A'];
    }
    s.end = p + 1;
    return s;
}

// The next ESC that may open a sequence (one with a byte after it), or npos.
std::size_t FindEsc(std::string_view text, std::size_t from) {
    if (from + 1 >= text.size()) {
        return std::string_view::npos;
    }
    const void* hit = std::memchr(text.data() + from, kEsc, text.size() - 1 - from);
    return hit == nullptr ? std::string_view::npos
                          : static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
}

}  // namespace

int ParsePrintData(std::string_view text, PrintDataSink& sink, std::string* out, bool validate) {
    int result = kTranslateOk;
    auto keep = [&result](int r) { result = std::max(result, r); };
    auto raw = [&](std::size_t from, std::size_t length) {
        if (!validate) {
            out->append(text.substr(from, length));
        }
    };
    std::size_t runStart = 0;  // of the text not yet handed on
    std::size_t esc = FindEsc(text, 0);
    while (esc != std::string_view::npos) {
        if (text[esc + 1] != '|') {
            esc = FindEsc(text, esc + 1);  // another escape: text
            continue;
        }
        if (!validate && esc > runStart) {
            sink.AppendTextRun(text.substr(runStart, esc - runStart), out);
        }
        const Sequence s = ReadSequence(text, esc + 2);
        std::size_t resume = s.end;
        switch (s.kind) {
            case kSizeByNumber:
                if (s.number >= 1 && s.number <= 4) {
                    keep(sink.TranslateCommand(CMD_SIZE_1 + s.number - 1, s.number, out, validate));
                    break;
                }
                [[fallthrough]];  // any other size is text
            case kNotSequence:
                // ESC '|' print as text and what follows is read as text again.
                raw(esc, 2);
                resume = esc + 2;
                break;
            case kBitmapNumber:
                if (s.number >= 1 && s.number <= 20) {
                    keep(sink.TranslateCommand(CMD_BITMAP, s.number, out, validate));
                } else {
                    keep(kTranslateFailure);
                }
                break;
            case kEmbedded:
                // Only when that many bytes follow; otherwise they are read as text.
                if (static_cast<std::size_t>(s.number) <= text.size() - resume) {
                    raw(resume, static_cast<std::size_t>(s.number));
                    resume += static_cast<std::size_t>(s.number);
                }
                break;
            case kDropped:
                break;
            case CMD_ALT_COLOR:
                keep(sink.TranslateCommand(s.reverseVideo ? CMD_REVERSE : CMD_ALT_COLOR, s.number,
                                           out, validate));
                break;
            default:
                keep(sink.TranslateCommand(s.kind, s.number, out, validate));
                break;
        }
        runStart = resume;
        esc = FindEsc(text, resume);
    }
    if (!validate && text.size() > runStart) {
        sink.AppendTextRun(text.substr(runStart), out);
    }
    return result;
}

}  // namespace thermpos::so
