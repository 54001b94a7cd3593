#include "so/printer/PrintTranslation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/codepage.h"

namespace thermpos::so {

namespace {

constexpr char kEsc = 0x1B;

// Command bytes go to one of two outputs: a std::string appended to (the public
// per-command entry points), or the ByteWriter of a whole translation. Both take short
// fixed runs through Put, whose size the compiler sees.
class StringOut {
  public:
    explicit StringOut(std::string* s) : s_(s) {}
    void Append(std::string_view bytes) { s_->append(bytes); }
    template <class... B>
    void Put(B... bytes) {
        const char run[] = {static_cast<char>(bytes & 0xFF)...};
        s_->append(run, sizeof run);
    }

  private:
    std::string* s_;
};

constexpr std::size_t kShortRun = 16;
constexpr std::ptrdiff_t kShortRunSigned = 16;

// The output of a whole translation: bytes go past the string's logical end into room
// grown geometrically, and the string is trimmed to what was written at the end. The cursor is two
// plain pointers held by value in the translation's handler, and no call that is not
// inlined ever sees the handler: were its address to escape, every byte stored through
// the char pointer could alias the cursor and the formatting state, and the compiler would
// reload them after each store.
struct Room {
    char* next;
    char* end;
};

[[gnu::noinline]] Room GrowRoom(std::string* s, char* next, std::size_t n) {
    const std::size_t used = static_cast<std::size_t>(next - s->data());
    s->resize(std::max(used + n, s->size() * 2 + 64));
    return {s->data() + used, s->data() + s->size()};
}

class ByteWriter {
  public:
    ByteWriter(std::string* s, std::size_t expected)
        : s_(s), next_(s->data() + s->size()), end_(next_) {
        Reserve(expected);
    }
    // Also when a conversion or the growth throws: the string never keeps the unwritten room.
    ~ByteWriter() { s_->resize(static_cast<std::size_t>(next_ - s_->data())); }
    ByteWriter(const ByteWriter&) = delete;
    ByteWriter& operator=(const ByteWriter&) = delete;

    // A short run whose source has kShortRun readable bytes is copied as one fixed block
    // (the bytes past the run land in the room and are overwritten later).
    [[gnu::always_inline]] void AppendNear(std::string_view bytes, const char* readableEnd) {
        if (bytes.size() <= kShortRun && readableEnd - bytes.data() >= kShortRunSigned) {
            Reserve(kShortRun);
            std::memcpy(next_, bytes.data(), kShortRun);
            next_ += bytes.size();
            return;
        }
        if (bytes.size() <= 2 * kShortRun && readableEnd - bytes.data() >= 2 * kShortRunSigned) {
            Reserve(2 * kShortRun);
            std::memcpy(next_, bytes.data(), 2 * kShortRun);
            next_ += bytes.size();
            return;
        }
        Append(bytes);
    }
    [[gnu::always_inline]] void Append(std::string_view bytes) {
        Reserve(bytes.size());
        if (!bytes.empty()) {
            std::memcpy(next_, bytes.data(), bytes.size());
        }
        next_ += bytes.size();
    }
    template <class... B>
    [[gnu::always_inline]] void Put(B... bytes) {
        const char run[] = {static_cast<char>(bytes & 0xFF)...};
        Reserve(sizeof run);
        std::memcpy(next_, run, sizeof run);
        next_ += sizeof run;
    }

    // The room, lent to the fast lane and taken back with what it wrote.
    Room Lend() const { return {next_, end_}; }
    void Take(Room room) {
        next_ = room.next;
        end_ = room.end;
    }
    std::string* String() const { return s_; }

  private:
    [[gnu::always_inline]] void Reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - next_) < n) [[unlikely]] {
            const Room room = GrowRoom(s_, next_, n);
            next_ = room.next;
            end_ = room.end;
        }
    }

    std::string* s_;
    char* next_;  // where the next byte goes; the string's size runs to end_
    char* end_;
};

// Feed and underline counts: a missing number means one.
int OneIfZero(int n) {
    return n == 0 ? 1 : n;
}

int CutMode(int percentage) {
    return (percentage == 0 || percentage == 100) ? 0x00 : 0x01;
}

template <class Out>
[[gnu::always_inline]] inline int NormalReset(FormattingState* state, Out& out, bool validate) {
    if (validate) {
        return kTranslateOk;
    }
    if (state->alignment) {
        out.Put(0x1B, 0x61, 0x00);
    }
    if (state->reverse) {
        out.Put(0x1D, 0x42, 0x00);
    }
    if (state->widthNibble != 0 || state->heightNibble != 0) {
        out.Put(0x1D, 0x21, 0x00);
    }
    if (state->bold) {
        out.Put(0x1B, 0x45, 0x00);
    }
    if (state->underline) {
        out.Put(0x1B, 0x2D, 0x00);
    }
    state->alignment = state->reverse = state->bold = state->underline = false;
    state->widthNibble = state->heightNibble = 0;
    return kTranslateOk;
}

template <class Out>
[[gnu::always_inline]] inline int ThermalCommand(const ThermalCommandSettings& settings,
                                                 FormattingState* state, int code, int n, Out& out,
                                                 bool validate) {
    switch (code) {
        case CMD_PAPER_CUT:
            if (!validate) {
                out.Put(0x1D, 0x56, CutMode(n));
            }
            return kTranslateOk;
        case CMD_FEED_CUT:
        case CMD_FEED_STAMP_CUT:
            if (!validate) {
                out.Put(0x1B, 0x64, settings.recLinesToPaperCut, 0x1D, 0x56, CutMode(n));
            }
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
                out.Put(0x0A, 0x1C, 0x70, position, settings.bitmapMode);
            } else {
                out.Append(found->bytes);
            }
            return kTranslateOk;
        }
        case CMD_TOP_LOGO:
            if (!validate) {
                out.Append(settings.topLogo);
            }
            return kTranslateOk;
        case CMD_BOTTOM_LOGO:
            if (!validate) {
                out.Append(settings.bottomLogo);
            }
            return kTranslateOk;
        case CMD_FEED_LINES:
            if (!validate) {
                out.Put(0x1B, 0x64, OneIfZero(n));
            }
            return kTranslateOk;
        case CMD_FEED_UNITS:
            if (!validate) {
                out.Put(0x1B, 0x4A, OneIfZero(n));
            }
            return kTranslateOk;
        case CMD_TYPEFACE: {
            if (n > settings.fontCount) {
                return kTranslateFailure;
            }
            const int face = n < 1 ? 1 : n;
            if (!validate) {
                out.Put(0x1B, 0x4D, face - 1);
                state->font = face - 1;
            }
            return kTranslateOk;
        }
        case CMD_BOLD:
            if (!validate) {
                out.Put(0x1B, 0x45, 0x01);
                state->bold = true;
            }
            return kTranslateOk;
        case CMD_UNDERLINE:
            if (!validate) {
                out.Put(0x1B, 0x2D, OneIfZero(n));
                state->underline = true;
            }
            return kTranslateOk;
        case CMD_REVERSE:
            if (!validate) {
                out.Put(0x1D, 0x42, 0x01);
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
            if (!validate) {
                out.Put(0x1D, 0x21, width | height);
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
            if (!validate) {
                out.Put(0x1D, 0x21, width | height);
                state->widthNibble = width;
                state->heightNibble = height;
            }
            return kTranslateOk;
        }
        case CMD_CENTER:
        case CMD_RIGHT:
            if (!validate) {
                out.Put(0x1B, 0x61, code == CMD_CENTER ? 0x01 : 0x02);
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

template <class Out>
[[gnu::always_inline]] inline int ModelCommand(PrinterModel model,
                                               const ThermalCommandSettings& settings,
                                               FormattingState* state, int code, int n, Out& out,
                                               bool validate) {
    const bool qmx = model == PrinterModel::QMX5500;
    switch (code) {
        case CMD_PAPER_CUT:
            if (qmx) {
                if (!validate) {
                    out.Put(0x1D, 0x56, 0x01);
                }
                return kTranslateOk;
            }
            break;
        case CMD_FEED_CUT:
        case CMD_FEED_STAMP_CUT:
            if (model != PrinterModel::RTK410) {
                if (!validate) {
                    out.Put(0x1B, 0x64, settings.recLinesToPaperCut, 0x1D, 0x56, 0x01);
                }
                return code == CMD_FEED_CUT ? kTranslateOk : kTranslateIllegal;
            }
            break;
        case CMD_ALT_COLOR:
            if (n < 0 || n > 2) {
                return kTranslateIllegal;
            }
            if (!validate) {
                if (qmx) {
                    out.Put(0x1B, 0x7E, 0x4A, n == 0 ? 1 : n);
                } else {
                    out.Put(0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x32);
                }
                state->colour = true;
            }
            return kTranslateOk;
        case CMD_NORMAL:
            if (!validate && state->colour) {
                if (qmx) {
                    out.Put(0x1B, 0x7E, 0x4A, 0x00);
                } else {
                    out.Put(0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x31);
                }
                state->colour = false;
            }
            break;
        default:
            break;
    }
    return ThermalCommand(settings, state, code, n, out, validate);
}

// What (modifier, command letter) means: a command code, or one of the entries below that
// need the number or the bytes after the letter. The modifier row 0 is "no modifier".
enum SequenceKind : unsigned char {
    kNotSequence = 0,
    // 1-29 are the PrintCommandCode values.
    kSizeByNumber = 30,  // ESC|#C: sizes 1 to 4, anything else is text
    kBitmapNumber = 31,  // ESC|#B: 1 to 20, anything else is dropped with 111
    kEmbedded = 32,      // ESC|#E
    kDropped = 33,       // ESC|#xE: nothing, result unchanged
};

struct SequenceTable {
    unsigned char kind[27][26] = {};  // [modifier: 0 or 1 + 'a'..'z'][letter - 'A']

    constexpr void Set(char modifier, char letter, int kind_) {
        kind[modifier == 0 ? 0 : modifier - 'a' + 1][letter - 'A'] =
            static_cast<unsigned char>(kind_);
    }
    constexpr void SetEveryModifier(char letter, int kind_) {
        for (auto& row : kind) {
            row[letter - 'A'] = static_cast<unsigned char>(kind_);
        }
    }
};

constexpr SequenceTable MakeSequenceTable() {
    SequenceTable t;
    t.Set('c', 'A', CMD_CENTER);
    t.Set('r', 'A', CMD_RIGHT);
    t.SetEveryModifier('B', kBitmapNumber);
    t.Set(0, 'C', kSizeByNumber);
    t.Set('b', 'C', CMD_BOLD);
    t.Set('f', 'C', CMD_FC);
    t.Set('h', 'C', CMD_SCALE_H);
    t.Set('i', 'C', CMD_ITALIC);
    t.Set('r', 'C', CMD_ALT_COLOR);  // ESC|rvC is told apart by the parser
    t.Set('s', 'C', CMD_SHADING);
    t.Set('u', 'C', CMD_UNDERLINE);
    t.Set('v', 'C', CMD_SCALE_V);
    t.SetEveryModifier('E', kDropped);
    t.Set(0, 'E', kEmbedded);
    t.Set('l', 'F', CMD_FEED_LINES);
    t.Set('r', 'F', CMD_FEED_REVERSE);
    t.Set('u', 'F', CMD_FEED_UNITS);
    t.Set('b', 'L', CMD_BOTTOM_LOGO);
    t.Set('s', 'L', CMD_FIRE_STAMP);
    t.Set('t', 'L', CMD_TOP_LOGO);
    t.SetEveryModifier('N', CMD_NORMAL);
    t.Set(0, 'P', CMD_PAPER_CUT);
    t.Set('f', 'P', CMD_FEED_CUT);
    t.Set('s', 'P', CMD_FEED_STAMP_CUT);
    t.Set('f', 'T', CMD_TYPEFACE);
    return t;
}

constexpr SequenceTable kSequences = MakeSequenceTable();

constexpr std::size_t kNoEsc = static_cast<std::size_t>(-1);

// The first ESC in data[from, end), or kNoEsc. In formatted text the next ESC is usually a
// few bytes away, nearer than a call to memchr pays off: the first block is compared in
// registers, longer runs go to memchr.
inline std::size_t FindEsc(const char* data, std::size_t from, std::size_t end) {
#if defined(__SSE2__)
    // Two blocks: a receipt line is up to 48 characters, most runs between sequences
    // shorter than 32.
    for (int block = 0; block < 2 && end - from >= 16; ++block) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
        const unsigned mask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEsc))));
        if (mask != 0) {
            return from + static_cast<std::size_t>(__builtin_ctz(mask));
        }
        from += 16;
    }
#endif
    if (from >= end) {
        return kNoEsc;
    }
    const void* hit = std::memchr(data + from, kEsc, end - from);
    return hit == nullptr ? kNoEsc : static_cast<std::size_t>(static_cast<const char*>(hit) - data);
}

// The largest result so far. Most commands always succeed; with their result a constant
// the test folds away.
[[gnu::always_inline]] inline void Keep(int& result, int r) {
    if (r != kTranslateOk) {
        result = std::max(result, r);
    }
}

// ---------------------------------------------------------------------------------------
// The fast lane. Most of a formatted print is text and a few sequences whose bytes never
// depend on the settings or on what is switched on: bold, underline, alignment, sizes,
// feeds with a one-digit count, reverse, and the reset. For each model these are run once
// through ModelCommand itself, and what they write and how they change the formatting state
// are kept in a table (LaneTable), so that the lane translates them with one look-up, a
// fixed-size store and a mask, with the state packed into one word; the reset writes the
// command of each flag that is on. Anything else (longer
// numbers, bitmaps, logos, cuts that use the settings, embedded data, text to be mapped to
// another code page, the last bytes of the data) leaves the lane, and the general parser
// takes that one item before the lane goes on. The table keeps only entries that it has
// seen behave the same from very different states and settings, so an entry cannot print
// what ModelCommand would not.

// FormattingState in one word: the flags the reset looks at in the low six bits (the size
// as "not normal size"), then the two size nibbles and the font.
constexpr std::uint32_t kPackAlignment = 1U << 0;
constexpr std::uint32_t kPackReverse = 1U << 1;
constexpr std::uint32_t kPackSized = 1U << 2;
constexpr std::uint32_t kPackBold = 1U << 3;
constexpr std::uint32_t kPackUnderline = 1U << 4;
constexpr std::uint32_t kPackColour = 1U << 5;
constexpr std::uint32_t kPackResetFlags = 0x3F;

// False for a state that does not fit (a font or size no command here sets).
bool PackState(const FormattingState& s, std::uint32_t* packed) {
    if (s.widthNibble < 0 || s.widthNibble > 0xFF || s.heightNibble < 0 || s.heightNibble > 0xFF ||
        s.font < 0 || s.font > 0xFF) {
        return false;
    }
    std::uint32_t p = 0;
    p |= s.alignment ? kPackAlignment : 0;
    p |= s.reverse ? kPackReverse : 0;
    p |= (s.widthNibble != 0 || s.heightNibble != 0) ? kPackSized : 0;
    p |= s.bold ? kPackBold : 0;
    p |= s.underline ? kPackUnderline : 0;
    p |= s.colour ? kPackColour : 0;
    p |= static_cast<std::uint32_t>(s.widthNibble) << 8;
    p |= static_cast<std::uint32_t>(s.heightNibble) << 16;
    p |= static_cast<std::uint32_t>(s.font) << 24;
    *packed = p;
    return true;
}

FormattingState UnpackState(std::uint32_t p) {
    FormattingState s;
    s.alignment = (p & kPackAlignment) != 0;
    s.reverse = (p & kPackReverse) != 0;
    s.bold = (p & kPackBold) != 0;
    s.underline = (p & kPackUnderline) != 0;
    s.colour = (p & kPackColour) != 0;
    s.widthNibble = static_cast<int>((p >> 8) & 0xFF);
    s.heightNibble = static_cast<int>((p >> 16) & 0xFF);
    s.font = static_cast<int>(p >> 24);
    return s;
}

// Sequence kinds the lane sees (kSequences' values, and CMD_REVERSE for ESC|rvC), each with
// a count of 0 to 9.
constexpr int kLaneKinds = kDropped + 1;
constexpr int kLaneCounts = 10;
// Free output the lane keeps before each run of text and the sequence after it: the text
// (under a window, 63 bytes at most) is copied in 16-byte blocks, up to 64 bytes, and the
// sequence then stores up to 48 bytes past where the text ended (six reset pieces, each an
// 8-byte store).
constexpr std::size_t kLaneRoom = 128;

// What a (kind, count) does, as found by running it: fixed bytes and a mask on the state,
// the reset, or something the lane leaves to the parser.
struct LaneEffect {
    enum How : std::uint8_t { kLeave = 0, kFixed, kReset };
    std::uint64_t bytes = 0;  // the first `length` bytes, in memory order
    std::uint32_t keep = 0;   // state = (state & keep) | set
    std::uint32_t set = 0;
    std::uint8_t length = 0;
    How how = kLeave;
};

// What the lane does with a sequence: the effect and how many bytes the sequence takes.
enum LaneStep : std::uint8_t {
    kStepLeave = 0,
    kStepFixed3,  // ESC|P
    kStepFixed4,  // ESC|bC, ESC|2C
    kStepReset3,
    kStepReset4,
    kStepReverse,  // ESC|rv: a fixed effect when a C follows
    kStepThird,    // ESC|3l: the letter after the modifier says (LaneTable::third)
};

// The flags as the reset turns them off, the colour first.
constexpr int kResetPieces = 6;
constexpr std::uint32_t kResetOrder[kResetPieces] = {kPackColour, kPackAlignment, kPackReverse,
                                                     kPackSized,  kPackBold,      kPackUnderline};

struct LaneTable {
    // The item for the two bytes after ESC '|' (the first in the low half); 0 is kStepLeave.
    std::uint8_t shape[1 << 16] = {};
    // For a digit, a modifier and a letter: the item, whose step only says fixed or reset.
    std::uint8_t third[kLaneCounts][32][32] = {};  // [count][modifier - 'a'][letter - 'A']
    // The items by number, a field to an array, so that a number reaches each field
    // without being scaled first.
    struct {
        std::uint64_t bytes[256];
        std::uint32_t keep[256];
        std::uint32_t set[256];
        std::uint8_t length[256];
        LaneStep step[256];
    } items = {};
    int itemCount = 1;
    // The reset writes one command for each flag that is on, in the order of kResetOrder:
    // the bytes and length of each.
    std::uint64_t resetPiece[kResetPieces] = {};
    std::uint8_t resetPieceLength[kResetPieces] = {};
    std::uint32_t resetKeep = 0;
    std::uint32_t resetSet = 0;
};

// What one command does from one state with one set of settings.
struct Trial {
    int result = 0;
    std::string bytes;
    std::uint32_t after = 0;
    bool packs = false;
    bool validateQuiet = false;  // validating wrote nothing, kept the state and passed
};

Trial RunTrial(PrinterModel model, const ThermalCommandSettings& settings,
               const FormattingState& start, int code, int n) {
    Trial t;
    FormattingState state = start;
    StringOut out(&t.bytes);
    t.result = ModelCommand(model, settings, &state, code, n, out, false);
    t.packs = PackState(state, &t.after);

    FormattingState validated = start;
    std::string validateBytes;
    StringOut validateOut(&validateBytes);
    const int validateResult =
        ModelCommand(model, settings, &validated, code, n, validateOut, true);
    std::uint32_t before = 0;
    std::uint32_t unchanged = 0;
    t.validateQuiet = validateResult == kTranslateOk && validateBytes.empty() &&
                      PackState(start, &before) && PackState(validated, &unchanged) &&
                      before == unchanged;
    return t;
}

// Settings far apart, so that a command that reads any of them shows it.
struct LaneProbe {
    std::vector<StoredBitmap> stored{{1, "\x01"}, {2, "\x02\x02"}};
    ThermalCommandSettings settings[3];
    FormattingState starts[3];

    LaneProbe() {
        settings[0].recLinesToPaperCut = 0;
        settings[0].fontCount = -1;
        settings[0].useNvram = true;
        settings[1].recLinesToPaperCut = 200;
        settings[1].fontCount = 1000;
        settings[1].useNvram = false;
        settings[1].bitmapMode = 3;
        settings[1].storedBitmaps = &stored;
        settings[1].topLogo = "T";
        settings[1].bottomLogo = "B";
        settings[2].recLinesToPaperCut = 3;
        settings[2].fontCount = 0;
        settings[2].storedBitmaps = &stored;
        // starts[0] is all off.
        FormattingState& on = starts[1];
        on.alignment = on.reverse = on.bold = on.underline = on.colour = true;
        on.widthNibble = 0x70;
        on.heightNibble = 0x07;
        on.font = 0xFF;
        FormattingState& some = starts[2];
        some.alignment = some.bold = some.colour = true;
        some.widthNibble = 0x10;
        some.font = 2;
    }
};

// The fixed effect of one command, or kLeave when its bytes or its effect depend on
// anything but the command and its count.
LaneEffect FixedEffect(PrinterModel model, const LaneProbe& probe, int code, int n) {
    const LaneEffect leave;
    const Trial off = RunTrial(model, probe.settings[0], probe.starts[0], code, n);
    const Trial on = RunTrial(model, probe.settings[0], probe.starts[1], code, n);
    if (!off.packs || !on.packs || off.bytes.size() > sizeof leave.bytes ||
        (off.after & ~on.after) != 0) {
        return leave;
    }
    LaneEffect e;
    std::memcpy(&e.bytes, off.bytes.data(), off.bytes.size());
    e.length = static_cast<std::uint8_t>(off.bytes.size());
    e.how = LaneEffect::kFixed;
    e.set = off.after;
    e.keep = on.after & ~off.after;
    for (const ThermalCommandSettings& settings : probe.settings) {
        for (const FormattingState& start : probe.starts) {
            const Trial t = RunTrial(model, settings, start, code, n);
            std::uint32_t before = 0;
            if (t.result != kTranslateOk || !t.validateQuiet || !t.packs || t.bytes != off.bytes ||
                !PackState(start, &before) || t.after != ((before & e.keep) | e.set)) {
                return leave;
            }
        }
    }
    return e;
}

// A state with the reset's flags as given (double width standing for a size) and the font.
FormattingState ResetStart(std::uint32_t flags, int font) {
    const std::uint32_t width = (flags & kPackSized) != 0 ? 0x10U << 8 : 0;
    return UnpackState(flags | width | static_cast<std::uint32_t>(font) << 24);
}

// The reset's pieces, when for every combination of the flags it looks at it writes just
// the pieces of the flags that are on, in order, whatever the settings, the font and its
// count; false when it does not, or its effect is not a mask.
bool BuildResets(PrinterModel model, const LaneProbe& probe, LaneTable* table) {
    const Trial off = RunTrial(model, probe.settings[0], ResetStart(0, 0), CMD_NORMAL, 0);
    const Trial on =
        RunTrial(model, probe.settings[0], ResetStart(kPackResetFlags, 0xFF), CMD_NORMAL, 0);
    if (!off.packs || !on.packs || (off.after & ~on.after) != 0) {
        return false;
    }
    table->resetSet = off.after;
    table->resetKeep = on.after & ~off.after;
    std::string pieces[kResetPieces];
    for (int i = 0; i < kResetPieces; ++i) {
        pieces[i] =
            RunTrial(model, probe.settings[0], ResetStart(kResetOrder[i], 0), CMD_NORMAL, 0).bytes;
        if (pieces[i].size() > sizeof table->resetPiece[i]) {
            return false;
        }
        std::memcpy(&table->resetPiece[i], pieces[i].data(), pieces[i].size());
        table->resetPieceLength[i] = static_cast<std::uint8_t>(pieces[i].size());
    }
    for (std::uint32_t flags = 0; flags <= kPackResetFlags; ++flags) {
        std::string expected;
        for (int i = 0; i < kResetPieces; ++i) {
            if ((flags & kResetOrder[i]) != 0) {
                expected += pieces[i];
            }
        }
        for (int font : {0, 0xFF}) {
            const FormattingState start = ResetStart(flags, font);
            std::uint32_t before = 0;
            if (!PackState(start, &before)) {
                return false;
            }
            for (const ThermalCommandSettings& settings : probe.settings) {
                for (int n : {0, 1, kLaneCounts - 1}) {
                    const Trial t = RunTrial(model, settings, start, CMD_NORMAL, n);
                    if (t.result != kTranslateOk || !t.validateQuiet || !t.packs ||
                        t.bytes != expected ||
                        t.after != ((before & table->resetKeep) | table->resetSet)) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

// Built once per model and kept for the life of the process (a print may still be running
// on another thread at exit). The table starts half a page into a page of its own: placed
// at the start of a page it made the lane up to 1.7 times slower on the development
// machine in most runs, while half a page in (as at several other offsets) it measured
// fast in every run.
const LaneTable* BuildLaneTable(PrinterModel model) {
    constexpr std::size_t kPage = 4096;
    void* block = ::operator new(sizeof(LaneTable) + kPage, std::align_val_t(kPage));
    auto* table = new (static_cast<char*>(block) + kPage / 2) LaneTable;
    const LaneProbe probe;
    LaneEffect effects[kLaneKinds][kLaneCounts];
    for (int kind = 1; kind < kLaneKinds; ++kind) {
        for (int n = 0; n < kLaneCounts; ++n) {
            int code = kind;
            if (kind == kSizeByNumber) {
                if (n < 1 || n > 4) {
                    continue;
                }
                code = CMD_SIZE_1 + n - 1;
            } else if (kind >= CMD_NORMAL) {
                continue;  // numbered bitmaps, embedded and dropped data; the reset below
            }
            effects[kind][n] = FixedEffect(model, probe, code, n);
        }
    }
    if (BuildResets(model, probe, table)) {
        for (LaneEffect& e : effects[CMD_NORMAL]) {
            e.how = LaneEffect::kReset;
        }
    }

    // One item per distinct effect and step; 0 when there are no more places.
    auto item = [table](const LaneEffect& e, LaneStep fixed, LaneStep reset) -> std::uint8_t {
        if (e.how == LaneEffect::kLeave) {
            return 0;
        }
        const LaneStep step = e.how == LaneEffect::kFixed ? fixed : reset;
        auto& items = table->items;
        for (int i = 1; i < table->itemCount; ++i) {
            if (items.bytes[i] == e.bytes && items.keep[i] == e.keep && items.set[i] == e.set &&
                items.length[i] == e.length && items.step[i] == step) {
                return static_cast<std::uint8_t>(i);
            }
        }
        const int i = table->itemCount;
        if (i == static_cast<int>(std::size(items.step))) {
            return 0;
        }
        items.bytes[i] = e.bytes;
        items.keep[i] = e.keep;
        items.set[i] = e.set;
        items.length[i] = e.length;
        items.step[i] = step;
        ++table->itemCount;
        return static_cast<std::uint8_t>(i);
    };
    auto shape = [table](unsigned first, unsigned second) -> std::uint8_t& {
        return table->shape[first | second << 8];
    };
    auto kindOf = [](int row, unsigned letter) { return kSequences.kind[row][letter - 'A']; };

    for (unsigned letter = 'A'; letter <= 'Z'; ++letter) {
        // ESC|N: whatever follows.
        const std::uint8_t single = item(effects[kindOf(0, letter)][0], kStepFixed3, kStepReset3);
        for (unsigned after = 0; after < 256; ++after) {
            shape(letter, after) = single;
        }
        // ESC|bC
        for (unsigned modifier = 'a'; modifier <= 'z'; ++modifier) {
            shape(modifier, letter) =
                item(effects[kindOf(static_cast<int>(modifier - 'a') + 1, letter)][0], kStepFixed4,
                     kStepReset4);
        }
        // ESC|2C
        for (int n = 0; n < kLaneCounts; ++n) {
            shape('0' + n, letter) = item(effects[kindOf(0, letter)][n], kStepFixed4, kStepReset4);
        }
    }
    // ESC|rvC
    shape('r', 'v') = item(effects[CMD_REVERSE][0], kStepReverse, kStepLeave);
    // ESC|3lF
    LaneEffect third;
    third.how = LaneEffect::kFixed;
    const std::uint8_t byThird = item(third, kStepThird, kStepLeave);
    for (int n = 0; n < kLaneCounts; ++n) {
        for (unsigned modifier = 'a'; modifier <= 'z'; ++modifier) {
            shape('0' + n, modifier) = byThird;
            for (unsigned letter = 'A'; letter <= 'Z'; ++letter) {
                const int row = static_cast<int>(modifier - 'a') + 1;
                table->third[n][modifier - 'a'][letter - 'A'] =
                    item(effects[kindOf(row, letter)][n], kStepFixed3, kStepReset3);
            }
        }
    }
    return table;
}

template <PrinterModel kModel>
const LaneTable& LaneTableFor() {
    static const LaneTable* const table = BuildLaneTable(kModel);
    return *table;
}

// Where the lane stands: the data, the output's room and the packed state.
struct Lane {
    const char* in;
    char* next;
    char* end;
    std::uint32_t state;
};

// The lane needs SSE2 and the jump to a label's address (GCC and Clang).
#if defined(__SSE2__) && defined(__GNUC__)
constexpr std::size_t kWindow = 64;

// Bit i set when p[i] is ESC, for the kWindow bytes at p.
[[gnu::always_inline]] inline std::uint64_t EscBits(const char* p) {
    const __m128i esc = _mm_set1_epi8(kEsc);
    auto block = [&](int at) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        return static_cast<std::uint64_t>(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, esc))));
    };
    return block(0) | block(16) << 16 | block(32) << 32 | block(48) << 48;
}

// Runs the lane from lane->in until an item it does not take, a run of text as long as a
// window, or the last two windows of the data. The ESCs of a window are found at once and
// each next one is taken from their bits, so where a run of text ends does not wait for
// the bytes before it to be read. Text is copied in 16-byte blocks when kCopyText (else
// the lane stops at it); nothing is written and the state is not changed when validating.
// There is no call in the loop but the growth of the output, so the cursor, the state and
// the window stay in registers.
template <bool kValidate, bool kCopyText>
[[gnu::noinline]] void TranslateInLane(const LaneTable& table, std::string_view data,
                                       std::string* s, Lane* lane) {
    const char* in = lane->in;
    char* next = lane->next;
    char* end = lane->end;
    std::uint32_t state = lane->state;
    // A window is read only with another window of data after it: the copies of text and
    // the sequences near its end read past it.
    const char* const lastWindow = data.data() + data.size() - 2 * kWindow;
    if (in > lastWindow) {
        return;
    }
    if (!kValidate && static_cast<std::size_t>(end - next) < kLaneRoom) {
        const Room room = GrowRoom(s, next, kLaneRoom);
        next = room.next;
        end = room.end;
    }
    char* limit = kValidate ? end : end - kLaneRoom;  // past it, the room is grown
    const auto& items = table.items;
    auto fixed = [&](std::size_t it) __attribute__((always_inline)) {
        if (!kValidate) {
            std::memcpy(next, &items.bytes[it], sizeof items.bytes[it]);
            next += items.length[it];
            state = (state & items.keep[it]) | items.set[it];
        }
    };
    // The reset tests the flags rather than looking its bytes up by the state: a load whose
    // address waits on the state held back the store of the reset's bytes and every store
    // after it, and in some memory layouts the whole loop ran several times slower. The
    // tests are predicted and wait on nothing.
    auto reset = [&]() __attribute__((always_inline)) {
        if (!kValidate) {
            if ((state & kPackResetFlags) != 0) {
                auto piece = [&](int i) __attribute__((always_inline)) {
                    if ((state & kResetOrder[i]) != 0) {
                        std::memcpy(next, &table.resetPiece[i], sizeof table.resetPiece[i]);
                        next += table.resetPieceLength[i];
                    }
                };
                // Three flags at a time: a reset rarely finds more than two on.
                if ((state & (kResetOrder[0] | kResetOrder[1] | kResetOrder[2])) != 0) {
                    piece(0);
                    piece(1);
                    piece(2);
                }
                if ((state & (kResetOrder[3] | kResetOrder[4] | kResetOrder[5])) != 0) {
                    piece(3);
                    piece(4);
                    piece(5);
                }
            }
            state = (state & table.resetKeep) | table.resetSet;
        }
    };
    const std::uint8_t* const shape = table.shape;
    const char* base = in;
    std::uint64_t escs = EscBits(base);
    for (;;) {
        if (escs == 0) [[unlikely]] {
            // No ESC left in the window: a new one from here, unless the data ends or the
            // text runs on past it.
            if (in > lastWindow) {
                break;
            }
            base = in;
            escs = EscBits(base);
            if (escs == 0) {
                break;
            }
        }
        const char* const esc = base + static_cast<unsigned>(__builtin_ctzll(escs));
        if (esc != in) {
            if (!kCopyText) {
                break;
            }
            // Whole blocks: the room and the data past the window hold them.
            if (!kValidate) {
                const std::size_t run = static_cast<std::size_t>(esc - in);
                std::memcpy(next, in, 16);
                if (run > 16) [[unlikely]] {
                    for (std::size_t copied = 16; copied < run; copied += 16) {
                        std::memcpy(next + copied, in + copied, 16);
                    }
                }
                next += run;
            }
            in = esc;
        }
        std::uint32_t head;  // ESC '|' and the two bytes after
        std::memcpy(&head, in, sizeof head);
        if ((head & 0xFFFF) != (kEsc | '|' << 8)) {
            break;  // an ESC the parser reads as text
        }
        const std::size_t it = shape[head >> 16];
        // One jump on the step, straight to its code (a switch adds a range check and a
        // table of offsets).
        static const void* const kSteps[] = {&&leave,  &&fixed3,  &&fixed4, &&reset3,
                                             &&reset4, &&reverse, &&third};
        goto* kSteps[items.step[it]];
    fixed3:
        fixed(it);
        in += 3;
        goto advance;
    fixed4:
        fixed(it);
        in += 4;
        goto advance;
    reset3:
        reset();
        in += 3;
        goto advance;
    reset4:
        reset();
        in += 4;
        goto advance;
    reverse:
        if (in[4] != 'C') {
            goto stop;
        }
        fixed(it);
        in += 5;
        goto advance;
    third : {
        const unsigned letter = static_cast<unsigned char>(in[4]) - 'A';
        if (letter >= 26) {
            goto stop;
        }
        const std::size_t t = table.third[((head >> 16) & 0xFF) - '0'][(head >> 24) - 'a'][letter];
        if (items.step[t] == kStepFixed3) {
            fixed(t);
        } else if (items.step[t] == kStepReset3) {
            reset();
        } else {
            goto stop;
        }
        in += 5;
        goto advance;
    }
    leave:
        goto stop;
    advance:
        escs &= escs - 1;  // a sequence holds no other ESC
        if (!kValidate && next > limit) [[unlikely]] {
            const Room room = GrowRoom(s, next, kLaneRoom);
            next = room.next;
            end = room.end;
            limit = end - kLaneRoom;
        }
    }
stop:
    lane->in = in;
    lane->next = next;
    lane->end = end;
    lane->state = state;
}

// Whether the lane is worth entering at pos: there is room for its windows, and the next
// one holds a few sequences. Where they are far apart, the parser takes them as cheaply
// and the lane's set-up would be wasted.
inline bool LaneWorthEntering(std::string_view data, std::size_t pos) {
    if (data.size() - pos < 2 * kWindow) {
        return false;
    }
    std::uint64_t escs = EscBits(data.data() + pos);
    for (int i = 0; i < 3; ++i) {
        escs &= escs - 1;
    }
    return escs != 0;
}
#else
template <bool kValidate, bool kCopyText>
void TranslateInLane(const LaneTable&, std::string_view, std::string*, Lane*) {}
inline bool LaneWorthEntering(std::string_view, std::size_t) {
    return false;
}
#endif

// The one parser. The handler takes text runs (Text), bytes that pass unchanged (Raw) and
// commands (Command, returning their result); nothing goes to Text or Raw when validating.
template <class Handler>
[[gnu::always_inline]] inline int Parse(std::string_view text, Handler& handler, bool validate) {
    int result = kTranslateOk;
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t runStart = 0;
    std::size_t pos = 0;

    while (pos + 1 < size) {
        if constexpr (requires { handler.RunLane(text, pos); }) {
            // Nothing is pending: the lane may take the items from here.
            if (pos == runStart) {
                pos = runStart = handler.RunLane(text, pos);
                if (pos + 1 >= size) {
                    break;
                }
            }
        }
        // In formatted text one sequence often follows another directly.
        const std::size_t esc = data[pos] == kEsc ? pos : FindEsc(data, pos, size - 1);
        if (esc == kNoEsc) {
            break;
        }
        if (data[esc + 1] != '|') {
            pos = esc + 1;
            continue;
        }
        if (!validate && esc > runStart) {
            handler.Text(std::string_view(data + runStart, esc - runStart));
        }

        std::size_t p = esc + 2;
        int n = 0;
        int row = 0;
        bool reverseVideo = false;
        int kind = kNotSequence;
        const unsigned first = static_cast<unsigned char>(data[p < size ? p : esc]) - 'A';
        const unsigned second = p + 1 < size ? static_cast<unsigned char>(data[p + 1]) - 'A' : 0xFF;
        if (first < 26) {
            // ESC|N, ESC|P ...: no number, no modifier.
            kind = kSequences.kind[0][first];
        } else if (first - ('a' - 'A') < 26 && second < 26) {
            // ESC|bC, ESC|cA ...: a modifier and the letter.
            row = static_cast<int>(first - ('a' - 'A')) + 1;
            kind = kSequences.kind[row][second];
            ++p;
        } else {
            // Digits as the C library would read them, but held in range: a long run of
            // digits must not overflow into a negative count.
            long long number = 0;
            while (p < size && static_cast<unsigned char>(data[p] - '0') <= 9) {
                number = std::min<long long>(number * 10 + (data[p] - '0'), INT_MAX);
                ++p;
            }
            n = static_cast<int>(number);
            if (p < size && static_cast<unsigned char>(data[p] - 'a') < 26) {
                row = data[p] - 'a' + 1;
                ++p;
                if (row == 'r' - 'a' + 1 && p + 1 < size && data[p] == 'v' && data[p + 1] == 'C') {
                    reverseVideo = true;
                    ++p;
                }
            }
            if (p < size && static_cast<unsigned char>(data[p] - 'A') < 26) {
                kind = kSequences.kind[row][data[p] - 'A'];
            }
        }
        std::size_t resume = p + 1;
        switch (kind) {
            case kNotSequence:
                // ESC '|' print as text and the rest is read as text again.
                if (!validate) {
                    handler.Raw(std::string_view(data + esc, 2));
                }
                resume = esc + 2;
                break;
            case kSizeByNumber:
                if (n == 1) {
                    Keep(result, handler.Command(CMD_SIZE_1, n));
                } else if (n == 2) {
                    Keep(result, handler.Command(CMD_SIZE_2, n));
                } else if (n == 3) {
                    Keep(result, handler.Command(CMD_SIZE_3, n));
                } else if (n == 4) {
                    Keep(result, handler.Command(CMD_SIZE_4, n));
                } else {
                    if (!validate) {
                        handler.Raw(std::string_view(data + esc, 2));
                    }
                    resume = esc + 2;
                }
                break;
            case kBitmapNumber:
                if (n >= 1 && n <= 20) {
                    Keep(result, handler.Command(CMD_BITMAP, n));
                } else {
                    result = std::max(result, kTranslateFailure);
                }
                break;
            case kEmbedded:
                if (static_cast<std::size_t>(n) <= size - resume) {
                    if (!validate) {
                        handler.Raw(std::string_view(data + resume, n));
                    }
                    resume += n;
                }
                break;
            case kDropped:
                break;
            case CMD_ALT_COLOR:
                Keep(result, reverseVideo ? handler.Command(CMD_REVERSE, n)
                                          : handler.Command(CMD_ALT_COLOR, n));
                break;
            // The code as a constant: once inlined, the command table's own switch folds
            // away and a sequence costs one dispatch, not one here and one in the table.
            case CMD_PAPER_CUT:
                Keep(result, handler.Command(CMD_PAPER_CUT, n));
                break;
            case CMD_FEED_CUT:
                Keep(result, handler.Command(CMD_FEED_CUT, n));
                break;
            case CMD_FEED_STAMP_CUT:
                Keep(result, handler.Command(CMD_FEED_STAMP_CUT, n));
                break;
            case CMD_TOP_LOGO:
                Keep(result, handler.Command(CMD_TOP_LOGO, n));
                break;
            case CMD_BOTTOM_LOGO:
                Keep(result, handler.Command(CMD_BOTTOM_LOGO, n));
                break;
            case CMD_FEED_LINES:
                Keep(result, handler.Command(CMD_FEED_LINES, n));
                break;
            case CMD_FEED_UNITS:
                Keep(result, handler.Command(CMD_FEED_UNITS, n));
                break;
            case CMD_TYPEFACE:
                Keep(result, handler.Command(CMD_TYPEFACE, n));
                break;
            case CMD_BOLD:
                Keep(result, handler.Command(CMD_BOLD, n));
                break;
            case CMD_UNDERLINE:
                Keep(result, handler.Command(CMD_UNDERLINE, n));
                break;
            case CMD_SCALE_H:
                Keep(result, handler.Command(CMD_SCALE_H, n));
                break;
            case CMD_SCALE_V:
                Keep(result, handler.Command(CMD_SCALE_V, n));
                break;
            case CMD_CENTER:
                Keep(result, handler.Command(CMD_CENTER, n));
                break;
            case CMD_RIGHT:
                Keep(result, handler.Command(CMD_RIGHT, n));
                break;
            case CMD_NORMAL:
                Keep(result, handler.Command(CMD_NORMAL, n));
                break;
            default:
                // Stamps, reverse feed, italic, shading, fixed colour: rare, and in most
                // tables a refusal.
                Keep(result, handler.Command(kind, n));
                break;
        }
        runStart = pos = resume;
    }
    if (!validate && size > runStart) {
        handler.Text(std::string_view(data + runStart, size - runStart));
    }
    return result;
}

}  // namespace

int ThermalTranslateCommand(const ThermalCommandSettings& settings, FormattingState* state,
                            int code, int n, std::string* out, bool validate) {
    StringOut sink(out);
    return ThermalCommand(settings, state, code, n, sink, validate);
}

int ModelTranslateCommand(PrinterModel model, const ThermalCommandSettings& settings,
                          FormattingState* state, int code, int n, std::string* out,
                          bool validate) {
    StringOut sink(out);
    return ModelCommand(model, settings, state, code, n, sink, validate);
}

int NormalizeLineEnds(std::string* text) {
    std::string& s = *text;
    size_t first = s.find('\r');
    if (first == std::string::npos) {
        return kTranslateOk;
    }
    int result = kTranslateOk;
    size_t write = first;
    for (size_t read = first; read < s.size(); ++read) {
        const char c = s[read];
        if (c != '\r') {
            s[write++] = c;
            continue;
        }
        if (read + 1 < s.size() && s[read + 1] == '\n') {
            continue;  // the LF that follows stands for the pair
        }
        s[write++] = '\n';
        result = kTranslateFailure;
    }
    s.resize(write);
    return result;
}

void MapTextCodePage(std::string_view run, int characterSet, std::string* out) {
    if (!CodePageMapsText(characterSet)) {
        out->append(run);
        return;
    }
    std::u16string wide;
    if (MultiByteToWide(CP_ACP, run, &wide) != ERROR_SUCCESS || wide.empty()) {
        out->append(run);
        return;
    }
    std::string mapped;
    if (WideToMultiByte(static_cast<UINT>(characterSet), wide, &mapped, ' ') != ERROR_SUCCESS ||
        mapped.empty()) {
        out->append(run);
        return;
    }
    out->append(mapped);
}

int ParsePrintData(std::string_view text, PrintDataSink& sink, std::string* out, bool validate) {
    struct Handler {
        PrintDataSink& sink;
        std::string* out;
        bool validate;
        void Text(std::string_view run) { sink.AppendTextRun(run, out); }
        void Raw(std::string_view bytes) { out->append(bytes); }
        int Command(int code, int n) { return sink.TranslateCommand(code, n, out, validate); }
    } handler{sink, out, validate};
    return Parse(text, handler, validate);
}

namespace {

// The translation of one print for a model device. The handler holds the writer and a copy
// of the formatting state by value, and Parse is inlined into this function, so both live
// in registers; the state is stored back once at the end.
template <PrinterModel kModel, bool kValidate>
int TranslateModelText(const ModelTranslation& t, std::string_view text, std::string* out) {
    constexpr bool validate = kValidate;
    struct Handler {
        const ThermalCommandSettings& settings;
        FormattingState state;
        ByteWriter writer;
        bool mapText;
        int characterSet;
        const char* end;      // of the text parsed
        std::string* mapped;  // one mapped run, its buffer reused
        [[gnu::always_inline]] void Text(std::string_view run) {
            if (mapText) [[unlikely]] {
                mapped->clear();
                MapTextCodePage(run, characterSet, mapped);
                writer.Append(*mapped);
            } else {
                writer.AppendNear(run, end);
            }
        }
        [[gnu::always_inline]] void Raw(std::string_view bytes) { writer.AppendNear(bytes, end); }
        [[gnu::always_inline]] int Command(int code, int n) {
            return ModelCommand(kModel, settings, &state, code, n, writer, kValidate);
        }
        // Where the lane stopped.
        std::size_t RunLane(std::string_view text, std::size_t pos) {
            std::uint32_t packed = 0;
            if (!LaneWorthEntering(text, pos) || !PackState(state, &packed)) {
                return pos;
            }
            const Room room = writer.Lend();
            Lane lane{text.data() + pos, room.next, room.end, packed};
            if (mapText) {
                TranslateInLane<kValidate, false>(LaneTableFor<kModel>(), text, writer.String(),
                                                  &lane);
            } else {
                TranslateInLane<kValidate, true>(LaneTableFor<kModel>(), text, writer.String(),
                                                 &lane);
            }
            writer.Take({lane.next, lane.end});
            if (!kValidate) {
                state = UnpackState(lane.state);
            }
            return static_cast<std::size_t>(lane.in - text.data());
        }
    };
    std::string mapped;
    // Commands are rarely longer than the sequences they stand for; the slack covers a
    // short print full of cuts and colours before the writer has to grow.
    Handler handler{t.settings,
                    *t.state,
                    ByteWriter(out, validate ? 0 : text.size() + 64),
                    t.mapCharacterSet && CodePageMapsText(t.characterSet),
                    t.characterSet,
                    text.data() + text.size(),
                    &mapped};
    const int result = Parse(text, handler, validate);
    *t.state = handler.state;
    return result;
}

// One copy per model, and one for validating, which appends nothing: the tests of either
// fold away inside the loop.
template <bool kValidate>
int TranslateForModel(const ModelTranslation& t, std::string_view text, std::string* out) {
    switch (t.model) {
        case PrinterModel::QMX5500:
            return TranslateModelText<PrinterModel::QMX5500, kValidate>(t, text, out);
        case PrinterModel::RTK6100:
            return TranslateModelText<PrinterModel::RTK6100, kValidate>(t, text, out);
        case PrinterModel::RTK410:
        default:
            return TranslateModelText<PrinterModel::RTK410, kValidate>(t, text, out);
    }
}

}  // namespace

int TranslateModelPrintData(const ModelTranslation& translation, std::string_view data,
                            std::string* out, bool validate) {
    auto translate = [&](std::string_view text) {
        return validate ? TranslateForModel<true>(translation, text, out)
                        : TranslateForModel<false>(translation, text, out);
    };
    if (data.find('\r') == std::string_view::npos) {
        return translate(data);
    }
    std::string text(data);
    const int lineEnds = NormalizeLineEnds(&text);
    return std::max(lineEnds, translate(text));
}

int ConvertUnits(double resolution, int from, int to, int value) {
    auto unitsPerInch = [resolution](int mode) -> double {
        switch (mode) {
            case 1:
                return resolution;
            case 2:
                return 1440.0;
            case 3:
                return 1000.0;
            case 4:
                return 2540.0;
            default:
                return 0.0;
        }
    };
    const double fromUnits = unitsPerInch(from);
    const double toUnits = unitsPerInch(to);
    if (fromUnits <= 0.0 || toUnits <= 0.0) {
        return value;
    }
    const double converted = std::trunc(static_cast<double>(value) * toUnits / fromUnits);
    // Large values from an application must not turn into undefined conversions.
    if (converted >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (converted <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(converted);
}

}  // namespace thermpos::so
