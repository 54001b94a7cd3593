// Fuzz target for print data translation: any text an application prints, on any of the
// three models, must translate without crashing or overrunning, give one of the three
// result codes, agree with its own validation, and leave the formatting state alone when
// only validating. A model device, which normalises the raw data (CR and all) itself, must
// print exactly what the parser and the model's table print.
//
// Input layout: one byte of options (bits 0-1: model, bit 2: map the character set, bits
// 3-4: the printer code page, bit 5: NV memory, bits 6-7: bitmap mode), one byte of cut
// lines (bit 7: the colour is on at the start), then the print data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "so/printer/PrintParser.h"
#include "so/printer/PrintText.h"
#include "so/printer/PrinterModels.h"

namespace {

using namespace thermpos;
using namespace thermpos::so;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

class Translator : public PrintDataSink {
  public:
    Translator(const ModelProfile& model, const ThermalCommandSettings& settings, bool map,
               int page)
        : model_(model), settings_(settings), map_(map), page_(page) {}

    int TranslateCommand(int code, int number, std::string* out, bool validate) override {
        return ModelTranslateCommand(model_.commands, settings_, &state, code, number, out,
                                     validate);
    }
    void AppendTextRun(std::string_view run, std::string* out) override {
        if (map_)
            MapTextCodePage(run, page_, out);
        else
            out->append(run);
    }

    FormattingState state;

  private:
    const ModelProfile& model_;
    const ThermalCommandSettings& settings_;
    bool map_;
    int page_;
};

// A model device with its settings and state in reach, for the comparison with the parser.
template <class Model>
class OpenDevice : public Model {
  public:
    using Model::CommandSettings;
    using Model::m_BitmapMode;
    using Model::m_BottomLogo;
    using Model::m_CharacterSet;
    using Model::m_Formatting;
    using Model::m_MapCharacterSet;
    using Model::m_RecLinesToPaperCut;
    using Model::m_StoredBitmaps;
    using Model::m_TopLogo;
    using Model::m_UseNVRAM;
};

bool IsResult(int r) {
    return r == kTranslateOk || r == kTranslateIllegal || r == kTranslateFailure;
}

// Every number stored, so that printing fails nowhere validation passes (validation
// accepts any number 1 to 20 without looking).
const std::vector<StoredBitmap>& AllBitmaps() {
    static const std::vector<StoredBitmap> all = [] {
        std::vector<StoredBitmap> list;
        for (int n = 20; n >= 1; --n)
            list.push_back({n, std::string("\x1d*\x01\x01", 4) + static_cast<char>(n)});
        return list;
    }();
    return all;
}

template <class Model>
void Translate(const std::uint8_t* data, std::size_t size) {
    static constexpr int kPages[4] = {437, 858, 1252, 932};
    static OpenDevice<Model> device;  // made once: the devices hold no state between prints
    const ModelProfile& model = device.Profile();
    const bool map = (data[0] & 4) != 0;
    const int page = kPages[(data[0] >> 3) & 3];
    device.m_UseNVRAM = (data[0] & 0x20) != 0;
    device.m_BitmapMode = data[0] >> 6;
    device.m_RecLinesToPaperCut = data[1] % 40;
    device.m_StoredBitmaps = AllBitmaps();
    device.m_TopLogo = "TOP\n";
    device.m_BottomLogo = std::string(
        "\x1b"
        "a\x01"
        "END\n",
        7);
    device.m_MapCharacterSet = map ? 1 : 0;
    device.m_CharacterSet = page;
    device.m_Formatting = FormattingState();
    device.m_Formatting.colour = (data[1] & 0x80) != 0;
    const ThermalCommandSettings settings = device.CommandSettings();

    Translator t(model, settings, map, page);
    t.state = device.m_Formatting;
    const std::string_view raw(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string text(raw);
    const int lineEnds = NormalizeLineEnds(&text);
    Check(lineEnds == kTranslateOk || lineEnds == kTranslateFailure);
    Check(text.find('\r') == std::string::npos);

    // Validation: nothing written, the state untouched.
    const FormattingState before = t.state;
    std::string none;
    const int validated = ParsePrintData(text, t, &none, true);
    Check(IsResult(validated));
    Check(none.empty());
    Check(before == t.state);
    std::string deviceOut = "x";  // bytes already there stay in front
    Check(device.TranslatePrintData(2, raw, &deviceOut, true) == std::max(lineEnds, validated));
    Check(deviceOut == "x");
    Check(device.m_Formatting == before);

    std::string out;
    const int printed = ParsePrintData(text, t, &out, false);
    Check(IsResult(printed));
    Check(printed == validated);
    Check(IsResult(t.TranslateCommand(CMD_NORMAL, 0, &out, false)));
    // The reset leaves nothing switched on but the font.
    Check(!t.state.alignment && !t.state.reverse && !t.state.bold && !t.state.underline);
    Check(t.state.widthNibble == 0 && t.state.heightNibble == 0 && !t.state.colour);
    // Printer bytes never grow without bound from a bounded input: text is at most
    // mapped to a few bytes a character, every sequence to a bounded command.
    Check(out.size() <= 64 * text.size() + 4096);

    // The device's own path, with its own settings and state, prints the same.
    Check(device.TranslatePrintData(2, raw, &deviceOut, false) == std::max(lineEnds, printed));
    Check(deviceOut.compare(1, std::string::npos, out) == 0);
    Check(device.m_Formatting == t.state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    switch (data[0] & 3) {
        case 1:
            Translate<CPrinterQMX5500>(data, size);
            break;
        case 2:
            Translate<CPrinterRTK6100>(data, size);
            break;
        default:
            Translate<CPrinterRTK410>(data, size);
            break;
    }
    return 0;
}
