// The translation must print exactly what the reference translation (TranslationReference.cpp)
// prints: the same bytes, the same result and the same formatting state afterwards, for
// every model, every option and any data, well formed or not.
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "so/printer/PrintTranslation.h"
#include "tests/so/printer/PrinterTestSupport.h"
#include "tests/so/printer/TranslationReference.h"
#include "tests/support/hex.h"

using namespace thermpos::so;
using thermpos::testing::Hex;

namespace {

struct Options {
    PrinterModel model = PrinterModel::RTK410;
    ThermalCommandSettings settings;
    bool mapCharacterSet = false;
    int characterSet = 437;
};

struct Outcome {
    int result = 0;
    std::string bytes;
    FormattingState state;
};

bool operator==(const FormattingState& a, const FormattingState& b) {
    return a.alignment == b.alignment && a.reverse == b.reverse && a.widthNibble == b.widthNibble &&
           a.heightNibble == b.heightNibble && a.bold == b.bold && a.underline == b.underline &&
           a.font == b.font && a.colour == b.colour;
}

// Sink over either command table.
template <bool kReference>
class TableSink final : public PrintDataSink {
  public:
    TableSink(const Options& options, FormattingState* state) : options_(options), state_(state) {}
    int TranslateCommand(int code, int number, std::string* out, bool validate) override {
        return kReference ? reference::ModelTranslateCommand(options_.model, options_.settings,
                                                             state_, code, number, out, validate)
                          : ModelTranslateCommand(options_.model, options_.settings, state_, code,
                                                  number, out, validate);
    }
    void AppendTextRun(std::string_view run, std::string* out) override {
        if (options_.mapCharacterSet) {
            MapTextCodePage(run, options_.characterSet, out);
        } else {
            out->append(run);
        }
    }

  private:
    const Options& options_;
    FormattingState* state_;
};

// The whole translation of one print: normalise, parse, and the reset at the end.
template <bool kReference>
Outcome ViaSink(const Options& options, FormattingState start, std::string_view data,
                bool validate) {
    Outcome o;
    o.state = start;
    TableSink<kReference> sink(options, &o.state);
    std::string text(data);
    o.result = NormalizeLineEnds(&text);
    const int parsed = kReference ? reference::ParsePrintData(text, sink, &o.bytes, validate)
                                  : ParsePrintData(text, sink, &o.bytes, validate);
    o.result = std::max(o.result, parsed);
    if (!validate) {
        sink.TranslateCommand(CMD_NORMAL, 0, &o.bytes, false);
    }
    return o;
}

Outcome Direct(const Options& options, FormattingState start, std::string_view data,
               bool validate) {
    Outcome o;
    o.state = start;
    const ModelTranslation translation{options.model, options.settings, &o.state,
                                       options.mapCharacterSet, options.characterSet};
    o.bytes = "kept";  // what is already in the buffer stays in front
    o.result = TranslateModelPrintData(translation, data, &o.bytes, validate);
    EXPECT_EQ(o.bytes.substr(0, 4), "kept");
    o.bytes.erase(0, 4);
    if (!validate) {
        ModelTranslateCommand(options.model, options.settings, &o.state, CMD_NORMAL, 0, &o.bytes,
                              false);
    }
    return o;
}

// Builds print data from pieces that exercise the parser: text with every kind of control
// byte, each sequence with and without numbers and modifiers, malformed and cut-off
// sequences, and embedded data whose count is near what is left.
class DataMaker {
  public:
    explicit DataMaker(unsigned seed, int maxPieces = 14) : rng_(seed), maxPieces_(maxPieces) {}

    std::string Make() {
        std::string data;
        const int pieces = Pick(0, maxPieces_);
        for (int i = 0; i < pieces; ++i) {
            switch (Pick(0, 9)) {
                case 0:
                case 1:
                    data += Text();
                    break;
                case 2:
                    data += Malformed();
                    break;
                case 3:
                    data += Embedded();
                    break;
                default:
                    data += Sequence();
                    break;
            }
        }
        if (Pick(0, 5) == 0) {
            data += std::string("\x1B|").substr(0, Pick(1, 2)) + Number();  // cut off at the end
        }
        return data;
    }

    int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  private:
    std::string Text() {
        static const char kAlphabet[] = "abcXYZ 0129|\x1B\r\n\t\x80\xE9\xFF";
        std::string s;
        const int n = Pick(0, 12);
        for (int i = 0; i < n; ++i) {
            if (Pick(0, 20) == 0) {
                s.push_back('\0');
            } else {
                s.push_back(kAlphabet[Pick(0, sizeof kAlphabet - 2)]);
            }
        }
        return s;
    }

    std::string Number() {
        switch (Pick(0, 9)) {
            case 0:
            case 1:
            case 2:
                return "";
            case 3:
                return "0";
            case 4:
                return std::to_string(Pick(1, 9));
            case 5:
                return std::to_string(Pick(1, 300));
            case 6:
                return std::to_string(Pick(18, 22));
            case 7:
                return "100";
            case 8:
                return "007";
            default:
                return Pick(0, 1) ? "99999999999999999999" : "2147483647";
        }
    }

    std::string Sequence() {
        // Every (modifier, letter) the parser knows, plus modifiers it ignores or refuses.
        static const char* const kForms[] = {
            "P",  "fP", "sP", "sL", "B",   "xB", "tL", "bL", "lF",  "uF", "rF", "fT",
            "bC", "uC", "iC", "rC", "rvC", "sC", "C",  "hC", "vC",  "fC", "cA", "rA",
            "N",  "qN", "E",  "aE", "rvA", "rv", "r",  "lA", "tbC", "zC", "bT", "cP"};
        return "\x1B|" + Number() + kForms[Pick(0, std::size(kForms) - 1)];
    }

    std::string Malformed() {
        static const char kTail[] = "09azAZ|\x1B\r";
        std::string s = "\x1B|";
        const int n = Pick(0, 3);
        for (int i = 0; i < n; ++i) {
            s.push_back(kTail[Pick(0, sizeof kTail - 2)]);
        }
        return s;
    }

    std::string Embedded() {
        const int count = Pick(0, 6);
        const int present = std::max(0, count + Pick(-2, 2));
        std::string s = "\x1B|" + std::to_string(count) + "E";
        for (int i = 0; i < present; ++i) {
            s.push_back("\x1B|bC\r\n"[Pick(0, 5)]);
        }
        return s;
    }

    std::mt19937 rng_;
    int maxPieces_;
};

std::string Describe(const Options& o, const FormattingState& start, std::string_view data,
                     bool validate) {
    return "model " + std::to_string(static_cast<int>(o.model)) + " map " +
           std::to_string(o.mapCharacterSet) + " page " + std::to_string(o.characterSet) + " nv " +
           std::to_string(o.settings.useNvram) + " fonts " + std::to_string(o.settings.fontCount) +
           " colour " + std::to_string(start.colour) + " validate " + std::to_string(validate) +
           " data " + Hex(data);
}

void ExpectSame(const Outcome& expected, const Outcome& actual, const std::string& what) {
    ASSERT_EQ(expected.result, actual.result) << what;
    ASSERT_EQ(Hex(expected.bytes), Hex(actual.bytes)) << what;
    ASSERT_TRUE(expected.state == actual.state) << what;
}

const std::vector<StoredBitmap> kStored{{3, "B3"}, {1, std::string("\x1B|bC\0", 5)}, {20, "B20"}};

}  // namespace

TEST(TranslationEquivalence, RandomAndMalformedDataOnEveryModelAndOption) {
    setenv("THERMPOS_ACP", "1252", 1);
    DataMaker maker(20261208);
    static constexpr PrinterModel kModels[] = {PrinterModel::RTK410, PrinterModel::QMX5500,
                                               PrinterModel::RTK6100};
    static constexpr int kPages[] = {437, 850, 858, 1252, 998, 0, -1, 255};
    for (int i = 0; i < 30000; ++i) {
        Options o;
        o.model = kModels[i % 3];
        o.settings.fontCount = maker.Pick(1, 3);
        o.settings.recLinesToPaperCut = maker.Pick(0, 300);
        o.settings.useNvram = maker.Pick(0, 1) != 0;
        o.settings.bitmapMode = maker.Pick(0, 3);
        o.settings.storedBitmaps = maker.Pick(0, 3) == 0 ? nullptr : &kStored;
        o.settings.topLogo = maker.Pick(0, 1) ? "" : "TOP\x1B|N";
        o.settings.bottomLogo = maker.Pick(0, 1) ? "" : std::string_view("\0END", 4);
        o.mapCharacterSet = maker.Pick(0, 3) == 0;
        o.characterSet = kPages[maker.Pick(0, std::size(kPages) - 1)];

        FormattingState start;
        start.alignment = maker.Pick(0, 1);
        start.reverse = maker.Pick(0, 1);
        start.bold = maker.Pick(0, 1);
        start.underline = maker.Pick(0, 1);
        start.colour = maker.Pick(0, 1);
        start.widthNibble = 16 * maker.Pick(0, 7);
        start.heightNibble = maker.Pick(0, 7);
        start.font = maker.Pick(0, 2);

        const std::string data = maker.Make();
        const bool validate = maker.Pick(0, 4) == 0;
        const std::string what = Describe(o, start, data, validate);
        const Outcome expected = ViaSink<true>(o, start, data, validate);
        ExpectSame(expected, ViaSink<false>(o, start, data, validate), "sink: " + what);
        ExpectSame(expected, Direct(o, start, data, validate), "direct: " + what);
    }
}

// Long prints: runs of sequences carry the formatting state from one to the next (and
// through the resets) for hundreds of items, text is copied between them, and the output
// grows while they are translated.
TEST(TranslationEquivalence, LongPrintsCarryTheStateFromSequenceToSequence) {
    setenv("THERMPOS_ACP", "1252", 1);
    DataMaker maker(8122026, 300);
    static constexpr PrinterModel kModels[] = {PrinterModel::RTK410, PrinterModel::QMX5500,
                                               PrinterModel::RTK6100};
    for (int i = 0; i < 1500; ++i) {
        Options o;
        o.model = kModels[i % 3];
        o.settings.fontCount = maker.Pick(0, 3);
        o.settings.recLinesToPaperCut = maker.Pick(0, 9);
        o.settings.storedBitmaps = &kStored;
        o.mapCharacterSet = maker.Pick(0, 7) == 0;
        o.characterSet = maker.Pick(0, 1) ? 437 : 858;

        FormattingState start;
        start.alignment = maker.Pick(0, 1);
        start.bold = maker.Pick(0, 1);
        start.colour = maker.Pick(0, 1);
        start.widthNibble = 16 * maker.Pick(0, 7);
        start.heightNibble = maker.Pick(0, 7);
        // A font past what one byte holds, as a device with many fonts could have.
        start.font = maker.Pick(0, 9) == 0 ? 300 : maker.Pick(0, 2);

        const std::string data = maker.Make();
        const bool validate = maker.Pick(0, 4) == 0;
        const std::string what = Describe(o, start, data, validate);
        ExpectSame(ViaSink<true>(o, start, data, validate), Direct(o, start, data, validate), what);
    }
}

// Sequences that print more than they take (a reset after many settings) eat into the
// output's spare room until it has to grow; a run of text and a sequence right at that
// point must still find room for both.
TEST(TranslationEquivalence, TextAndASequenceWhereTheOutputRoomRunsOut) {
    const std::string grows = "\x1B|cA\x1B|bC\x1B|uC\x1B|rvC\x1B|2C\x1B|N";
    for (PrinterModel model : {PrinterModel::RTK410, PrinterModel::QMX5500}) {
        Options o;
        o.model = model;
        for (int groups = 0; groups <= 80; ++groups) {
            for (int text = 40; text <= 63; ++text) {
                for (int tail : {130, 200, 300}) {
                    std::string data;
                    for (int i = 0; i < groups; ++i) {
                        data += grows;
                    }
                    data.append(static_cast<std::size_t>(text), 't');
                    data += "\x1B|bC";
                    data.append(static_cast<std::size_t>(tail), 'x');
                    ExpectSame(ViaSink<true>(o, {}, data, false), Direct(o, {}, data, false),
                               Describe(o, {}, data, false));
                }
            }
        }
    }
}

// Text runs are copied in fixed blocks and searched a block at a time: runs of every length
// around the block sizes, between sequences and at the very end of the data, where fewer
// bytes than a block are left to read.
TEST(TranslationEquivalence, TextRunsOfEveryLengthNearTheEnd) {
    Options o;
    for (int before = 0; before <= 70; ++before) {
        for (int after = 0; after <= 40; ++after) {
            for (const char* sequence : {"\x1B|bC", "\x1B|N", "\x1B|", "\x1B"}) {
                std::string data(static_cast<std::size_t>(before), 'x');
                data += sequence;
                data.append(static_cast<std::size_t>(after), 'y');
                if (after % 7 == 3) {
                    data += "\x1B|N";
                }
                const std::string what = Describe(o, FormattingState{}, data, false);
                ExpectSame(ViaSink<true>(o, FormattingState{}, data, false),
                           Direct(o, FormattingState{}, data, false), what);
            }
        }
    }
}

// Every sequence with the numbers at the edges of its range, one at a time, so that a
// mismatch names the sequence rather than a random print.
TEST(TranslationEquivalence, EverySequenceAtItsEdges) {
    static const char* const kForms[] = {"P",  "fP", "sP", "sL", "B",  "tL", "bL", "lF",
                                         "uF", "rF", "fT", "bC", "uC", "iC", "rC", "rvC",
                                         "sC", "C",  "hC", "vC", "fC", "cA", "rA", "N"};
    static const char* const kNumbers[] = {"",    "0",   "1",   "2",  "3",          "4",   "5",
                                           "8",   "9",   "20",  "21", "99",         "100", "101",
                                           "255", "256", "257", "-1", "2147483648", "0100"};
    for (PrinterModel model :
         {PrinterModel::RTK410, PrinterModel::QMX5500, PrinterModel::RTK6100}) {
        for (bool nv : {false, true}) {
            Options o;
            o.model = model;
            o.settings.fontCount = model == PrinterModel::QMX5500 ? 2 : 3;
            o.settings.useNvram = nv;
            o.settings.storedBitmaps = &kStored;
            for (const char* form : kForms) {
                for (const char* number : kNumbers) {
                    for (bool colour : {false, true}) {
                        FormattingState start;
                        start.colour = colour;
                        start.widthNibble = 0x30;
                        const std::string data =
                            std::string("a\x1B|") + number + form + "b\x1B|" + number + form;
                        for (bool validate : {false, true}) {
                            const std::string what = Describe(o, start, data, validate);
                            const Outcome expected = ViaSink<true>(o, start, data, validate);
                            ExpectSame(expected, ViaSink<false>(o, start, data, validate), what);
                            ExpectSame(expected, Direct(o, start, data, validate), what);
                        }
                    }
                }
            }
        }
    }
}

// Logos and stored bitmaps make the printer bytes many times longer than the data, so the
// output buffer has to grow several times in one print.
TEST(TranslationEquivalence, OutputManyTimesLongerThanTheData) {
    const std::string logo(1000, 'L');
    const std::vector<StoredBitmap> big{{5, std::string(3000, 'B')}};
    Options o;
    o.settings.topLogo = logo;
    o.settings.storedBitmaps = &big;
    o.settings.useNvram = false;
    std::string data;
    for (int i = 0; i < 50; ++i) {
        data += "\x1B|tLx\x1B|5B\x1B|rC";
    }
    for (bool validate : {false, true}) {
        const Outcome expected = ViaSink<true>(o, {}, data, validate);
        ExpectSame(expected, Direct(o, {}, data, validate), Describe(o, {}, data, validate));
    }
    EXPECT_GT(ViaSink<true>(o, {}, data, false).bytes.size(), 100 * data.size());
}

namespace {

// A model device with its protected settings in reach.
template <class Model>
class OpenModel : public Model {
  public:
    using Model::CommandSettings;
    using Model::m_CharacterSet;
    using Model::m_Formatting;
    using Model::m_MapCharacterSet;
};

template <class Model>
void ExpectDeviceMatchesReference(PrinterModel model) {
    OpenModel<Model> device;
    DataMaker maker(static_cast<unsigned>(model) + 7);
    for (int i = 0; i < 3000; ++i) {
        device.m_MapCharacterSet = maker.Pick(0, 1);
        device.m_CharacterSet = maker.Pick(0, 1) ? 437 : 850;
        Options o;
        o.model = model;
        o.settings = device.CommandSettings();
        o.mapCharacterSet = device.m_MapCharacterSet == 1;
        o.characterSet = device.m_CharacterSet;
        const FormattingState start = device.m_Formatting;
        const std::string data = maker.Make();
        const bool validate = maker.Pick(0, 3) == 0;
        const Outcome expected = ViaSink<true>(o, start, data, validate);
        Outcome actual;
        actual.result = device.TranslatePrintData(2, data, &actual.bytes, validate);
        actual.state = device.m_Formatting;
        ExpectSame(expected, actual, Describe(o, start, data, validate));
    }
}

}  // namespace

// The device's own entry point takes the same path with its own settings and state.
TEST(TranslationEquivalence, DevicesTranslateAsTheReference) {
    setenv("THERMPOS_ACP", "1252", 1);
    ExpectDeviceMatchesReference<CPrinterRTK410>(PrinterModel::RTK410);
    ExpectDeviceMatchesReference<CPrinterQMX5500>(PrinterModel::QMX5500);
    ExpectDeviceMatchesReference<CPrinterRTK6100>(PrinterModel::RTK6100);
}
