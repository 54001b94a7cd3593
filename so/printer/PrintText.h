// The text of print data, between its escape sequences: line ends made the printer's,
// and text runs mapped from the system ANSI code page to the printer's code page.
#pragma once

#include <string>
#include <string_view>

namespace thermpos::so {

// CR LF becomes LF, then every lone CR becomes LF. 111 when a lone CR was met, else 0.
int NormalizeLineEnds(std::string* text);

// Appends a text run converted from the system ANSI code page to the printer code page
// numbered characterSet. 437 is never converted; a run that either conversion cannot
// handle (no system table, nothing produced) is appended unchanged. Characters the target
// lacks become spaces.
void MapTextCodePage(std::string_view run, int characterSet, std::string* out);
// Whether MapTextCodePage converts anything for this printer code page.
inline bool CodePageMapsText(int characterSet) {
    return characterSet != 437 && characterSet > 0;
}

}  // namespace thermpos::so
