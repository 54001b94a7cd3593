// Fuzz target for print data translation: any text an application prints, on any of the
// three models, must translate without crashing or overrunning, give one of the three
// result codes, agree with its own validation, and leave the formatting state alone when
// only validating. The devices' direct path (TranslateModelPrintData, which takes the raw
// data, CR and all) must print exactly what the sink path prints.
//
// Input layout: one byte of options (bits 0-1: model, bit 2: map the character set, bits
// 3-4: the printer code page, bit 5: NV memory, bits 6-7: bitmap mode), one byte of cut
// lines, then the print data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "so/printer/PrintTranslation.h"

namespace {

using namespace thermpos;
using namespace thermpos::so;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool SameState(const FormattingState& a, const FormattingState& b) {
    return a.alignment == b.alignment && a.reverse == b.reverse && a.widthNibble == b.widthNibble &&
           a.heightNibble == b.heightNibble && a.bold == b.bold && a.underline == b.underline &&
           a.font == b.font && a.colour == b.colour;
}

class Translator : public PrintDataSink {
  public:
    Translator(PrinterModel model, const ThermalCommandSettings& settings, bool map, int page)
        : model_(model), settings_(settings), map_(map), page_(page) {}

    int TranslateCommand(int code, int number, std::string* out, bool validate) override {
        return ModelTranslateCommand(model_, settings_, &state, code, number, out, validate);
    }
    void AppendTextRun(std::string_view run, std::string* out) override {
        if (map_)
            MapTextCodePage(run, page_, out);
        else
            out->append(run);
    }

    FormattingState state;

  private:
    PrinterModel model_;
    const ThermalCommandSettings& settings_;
    bool map_;
    int page_;
};

bool IsResult(int r) {
    return r == kTranslateOk || r == kTranslateIllegal || r == kTranslateFailure;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    static constexpr PrinterModel kModels[4] = {PrinterModel::RTK410, PrinterModel::QMX5500,
                                                PrinterModel::RTK6100, PrinterModel::RTK410};
    static constexpr int kPages[4] = {437, 858, 1252, 932};
    const PrinterModel model = kModels[data[0] & 3];
    // Every number stored, so that printing fails nowhere validation passes (validation
    // accepts any number 1 to 20 without looking).
    static const std::vector<StoredBitmap> kBitmaps = [] {
        std::vector<StoredBitmap> all;
        for (int n = 20; n >= 1; --n)
            all.push_back({n, std::string("\x1d*\x01\x01", 4) + static_cast<char>(n)});
        return all;
    }();
    ThermalCommandSettings settings;
    settings.fontCount = model == PrinterModel::QMX5500 ? 2 : 3;
    settings.useNvram = (data[0] & 0x20) != 0;
    settings.bitmapMode = data[0] >> 6;
    settings.recLinesToPaperCut = data[1] % 40;
    settings.storedBitmaps = &kBitmaps;
    settings.topLogo = "TOP\n";
    settings.bottomLogo = std::string_view(
        "\x1b"
        "a\x01"
        "END\n",
        7);

    Translator t(model, settings, (data[0] & 4) != 0, kPages[(data[0] >> 3) & 3]);
    const std::string_view raw(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string text(raw);
    const int lineEnds = NormalizeLineEnds(&text);
    Check(lineEnds == kTranslateOk || lineEnds == kTranslateFailure);
    Check(text.find('\r') == std::string::npos);

    // Validation: nothing written, the state untouched.
    t.state.colour = (data[1] & 0x80) != 0;
    const FormattingState before = t.state;
    std::string none;
    const int validated = ParsePrintData(text, t, &none, true);
    Check(IsResult(validated));
    Check(none.empty());
    Check(SameState(before, t.state));

    FormattingState direct = t.state;
    const ModelTranslation translation{model, settings, &direct, (data[0] & 4) != 0,
                                       kPages[(data[0] >> 3) & 3]};
    std::string directOut = "x";  // bytes already there stay in front
    const int directValidated = TranslateModelPrintData(translation, raw, &directOut, true);
    Check(directOut == "x");
    Check(directValidated == std::max(lineEnds, validated));
    const int directPrinted = TranslateModelPrintData(translation, raw, &directOut, false);

    std::string out;
    const int printed = ParsePrintData(text, t, &out, false);
    Check(IsResult(printed));
    Check(printed == validated);
    Check(directPrinted == std::max(lineEnds, printed));
    Check(directOut.compare(1, std::string::npos, out) == 0);
    Check(SameState(direct, t.state));
    Check(IsResult(t.TranslateCommand(CMD_NORMAL, 0, &out, false)));
    // The reset leaves nothing switched on but the font and the colour.
    Check(!t.state.alignment && !t.state.reverse && !t.state.bold && !t.state.underline);
    Check(t.state.widthNibble == 0 && t.state.heightNibble == 0);
    // Printer bytes never grow without bound from a bounded input: text is at most
    // mapped to a few bytes a character, every sequence to a bounded command.
    Check(out.size() <= 64 * text.size() + 4096);
    return 0;
}
