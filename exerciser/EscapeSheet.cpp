#include "exerciser/EscapeSheet.h"

#include "opos/OposConstants.h"

namespace exerciser {

namespace {

constexpr char kCompany[] = "Pelko Infotech Ltd.";
const std::string kIndent(5, ' ');
const std::string kCrLfText = kCrLf;

std::string Esc(const std::string& sequence) {
    return kEsc + sequence;
}

std::string NotSupported(const std::string& what) {
    return what + " Not Supported, ResultCode Returned:OPOS_E_FAILURE";
}

// The character attribute entries: indent, the sequence, the company line.
EscapeEntry Styled(const std::string& sequence, const std::string& caption,
                   const std::string& notSupported) {
    return {Esc(sequence),
            caption,
            {kIndent + Esc(sequence) + kCompany + kCrLfText},
            kIndent + Esc(sequence) + kKanjiSample + kCrLfText,
            notSupported};
}

}  // namespace

std::vector<EscapeEntry> EscapeEntries(LONG station, LONG lineSpacing, LONG recLinesToPaperCut) {
    const std::string company = kIndent + kCompany;
    std::vector<EscapeEntry> e;

    EscapeEntry cut{
        Esc("|90P"), "Paper cut (<ESC>|#P)", {company + kCrLfText}, "", NotSupported("ESC|90P")};
    if (station == PTR_S_RECEIPT)
        for (LONG i = 0; i < recLinesToPaperCut; ++i)
            cut.samples.push_back(kCrLfText);
    cut.samples.push_back(Esc("|90P"));
    e.push_back(cut);
    e.push_back({Esc("|90fP"),
                 "Feed and Paper cut (<ESC>|#fP)",
                 {company + kCrLfText + kCrLfText + Esc("|90fP")},
                 "",
                 NotSupported("ESC|90fP")});
    e.push_back({Esc("|90sP"),
                 "Feed, Paper cut, and Stamp (<ESC>|#sP)",
                 {company + kCrLfText + Esc("|90sP")},
                 "",
                 NotSupported("ESC|90sP")});
    e.push_back({Esc("|sL"),
                 "Fire stamp (<ESC>|sL)",
                 {Esc("|sL") + kCrLfText},
                 "",
                 NotSupported("ESC|sL")});
    e.push_back({Esc("|2lF"),
                 "Feed lines (<ESC>|#lF)",
                 {company + Esc("|2lF")},
                 "",
                 NotSupported("ESC|2lF")});

    const char* spacingText = station == PTR_S_JOURNAL   ? "ESC| JrnLineSpacing * 2 uF"
                              : station == PTR_S_RECEIPT ? "ESC| RecLineSpacing * 2 uF "
                              : station == PTR_S_SLIP    ? "ESC| SlpLineSpacing * 2 uF"
                                                         : nullptr;
    if (spacingText) {
        const std::string units = "|" + std::to_string(2 * lineSpacing) + "uF";
        e.push_back({Esc(units),
                     "Feed units (<ESC>|#uF)",
                     {company + Esc(units)},
                     "",
                     NotSupported(spacingText)});
    }

    e.push_back({Esc("|2rF"),
                 "Feed reverse (<ESC>|#rF)",
                 {kCrLfText, company + "(1)" + kCrLfText,
                  Esc("|2rF") + company + "(2)" + kCrLfText + kCrLfText + kCrLfText},
                 "",
                 NotSupported("ESC|2rF")});

    for (int n = 1; n <= 8; ++n) {
        const std::string seq = "|" + std::to_string(n) + "fT";
        e.push_back(
            Styled(seq, "Font typeface selection (<ESC>" + seq + ")", NotSupported("ESC" + seq)));
    }
    e.push_back(Styled("|0fT", "Font typeface selection (<ESC>|0fT)", NotSupported("ESC|0fT ")));
    e.push_back(Styled("|bC", "Bold (<ESC>|bC)", NotSupported("ESC|bC")));
    e.push_back(Styled("|uC", "Underline (<ESC>|#uC)", NotSupported("ESC|uC")));
    e.push_back(Styled("|iC", "Italic (<ESC>|iC)", NotSupported("ESC|iC")));
    e.push_back(Styled("|rC", "Alternate color (Red) (<ESC>|rC)", NotSupported("ESC|rC")));
    e.push_back(Styled("|rvC", "Reverse video (<ESC>|rvC)", NotSupported("ESC|rvC")));
    e.push_back(Styled("|sC", "Shading (<ESC>|#sC)", NotSupported("ESC|sC")));
    e.push_back(Styled("|1C", "Single high & wide (<ESC>|1C)", NotSupported("ESC|1C")));
    e.push_back(Styled("|2C", "Double wide (<ESC>|2C)", NotSupported("ESC|2C")));
    e.push_back(Styled("|3C", "Double high (<ESC>|3C)", NotSupported("ESC|3C")));
    e.push_back(Styled("|4C", "Double high & wide (<ESC>|4C)", NotSupported("ESC|4C")));
    for (const char* kind : {"h", "v"}) {
        const std::string what = kind[0] == 'h' ? "Scale horizontally" : "Scale vertically";
        for (int n = 1; n <= 8; ++n) {
            const std::string seq = "|" + std::to_string(n) + kind + "C";
            e.push_back(Styled(seq, what + " (<ESC>" + seq + ")", NotSupported("ESC" + seq)));
        }
    }
    for (auto [seq, caption] :
         {std::pair{"|cA", "Center (<ESC>|cA)"}, {"|rA", "Right justify (<ESC>|rA)"}})
        e.push_back({Esc(seq),
                     caption,
                     {Esc(seq) + kCompany + kCrLfText},
                     Esc(seq) + kKanjiSample + kCrLfText,
                     NotSupported(std::string("ESC") + seq)});
    e.push_back({Esc("|N"),
                 "Normal (<ESC>|N)",
                 {Esc("|N") + company + kCrLfText},
                 Esc("|N") + kIndent + kKanjiSample + kCrLfText,
                 NotSupported("ESC|N")});
    return e;
}

bool CEscapeSheet::Supported(const std::string& sequence) {
    return ValidateData(sequence) != OPOS_E_FAILURE;
}

void CEscapeSheet::Run() {
    if (!Module().CheckPrinterReady())
        return;
    Log("RotatePrint", CallStation("RotatePrint", kRotateNormal));

    const LONG station = Station();
    const char* spacing = station == PTR_S_JOURNAL   ? "JrnLineSpacing"
                          : station == PTR_S_RECEIPT ? "RecLineSpacing"
                          : station == PTR_S_SLIP    ? "SlpLineSpacing"
                                                     : nullptr;
    const LONG lineSpacing = spacing ? Printer().GetLong(spacing) : 0;
    const LONG toCut = station == PTR_S_RECEIPT ? Printer().GetLong("RecLinesToPaperCut") : 0;
    const bool kanji = Printer().GetLong("CapCharacterSet") == PTR_CCS_KANJI;

    for (const EscapeEntry& entry : EscapeEntries(station, lineSpacing, toCut)) {
        if (!Supported(entry.sequence)) {
            Print(entry.notSupported + kCrLf);
            continue;
        }
        Print(entry.caption + kCrLf);
        for (const std::string& sample : entry.samples)
            Print(sample);
        if (kanji && !entry.kanjiLine.empty())
            Print(entry.kanjiLine);
    }

    FeedAndCut();
    if (station == PTR_S_SLIP)
        SlipHandOff(SlipHandOffKind::RemovalOnly);

    // The bitmap and the logos come after the cut: they wait in the printer for the next.
    if (station == PTR_S_RECEIPT || station == PTR_S_SLIP)
        Log("SetBitmap", SetBitmapLogo());
    YieldToUi();
    if (Supported("  " + Esc("|1B") + "   ")) {
        Print(std::string("Print bitmap (<ESC>|1B)") + kCrLf);
        Print(Esc("|1B") + kCrLf);
    } else {
        Print(NotSupported("ESC|1B") + kCrLf);
    }
    PrintStoredLogo(PTR_L_TOP, "Pelko Infotech Ltd.(TopLogo)", "|tL", "Print top logo (<ESC>|tL)");
    PrintStoredLogo(PTR_L_BOTTOM, "Pelko Infotech Ltd.(BottomLogo)", "|bL",
                    "Print bottom logo (<ESC>|bL)");
    WatchForIdle();
}

void CEscapeSheet::PrintStoredLogo(LONG location, const char* logoText, const char* sequence,
                                   const char* caption) {
    Log("SetLogo", SetLogo(location, logoText + kCrLfText));
    if (Supported(Esc(sequence))) {
        Print(caption + kCrLfText);
        Print(kIndent + Esc(sequence) + kCrLf);
    } else {
        Print(NotSupported("ESC" + std::string(sequence)) + kCrLf);
    }
}

}  // namespace exerciser
