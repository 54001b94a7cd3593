// The escape sequence sheet (Printers > Print > "Escape Sequence"): for each print escape
// sequence the device is asked with ValidateData, then the sheet prints a caption and a
// sample that uses the sequence, or a line saying it is not supported. Only
// OPOS_E_FAILURE counts as not supported; any other refusal still prints the sample, so
// the paper shows what the printer really does with it.
#pragma once

#include <string>
#include <vector>

#include "exerciser/ScriptedDemos.h"

namespace exerciser {

// Nine full-width characters in Shift-JIS, printed on devices that report Kanji. Their
// bytes avoid the five codes the ANSI code page leaves undefined, so they reach the
// service object unchanged.
inline constexpr char kKanjiSample[] =
    "\x93\xfa\x96\x7b\x8c\xea\x88\xf3\x8e\x9a\x8c\xa9\x96\x7b\x95\xb6\x8e\x9a";

struct EscapeEntry {
    std::string sequence;              // what ValidateData is asked
    std::string caption;               // printed with its CR LF when supported
    std::vector<std::string> samples;  // each printed on its own when supported
    std::string kanjiLine;             // empty: none; printed after the samples on Kanji devices
    std::string notSupported;          // printed with its CR LF otherwise
};

// The sheet's entries for a station, in order. lineSpacing is the station's line spacing
// (the feed-units entry feeds two lines of it; it is left out on any other station) and
// recLinesToPaperCut the receipt's distance to the knife.
std::vector<EscapeEntry> EscapeEntries(LONG station, LONG lineSpacing, LONG recLinesToPaperCut);

class CEscapeSheet : public CPrintScript {
  public:
    using CPrintScript::CPrintScript;
    void Run();

  private:
    [[nodiscard]] bool Supported(const std::string& sequence);
    void PrintStoredLogo(LONG location, const char* logoText, const char* sequence,
                         const char* caption);
};

}  // namespace exerciser
