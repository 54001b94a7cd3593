// Code page conversion (MultiByteToWideChar / WideCharToMultiByte) over iconv.
//
// Code pages are Windows numbers (437, 850, 1252, 932, 65001 ...). A number with no
// system table (1, 18, 255, 998, 999 ...) fails with ERROR_INVALID_PARAMETER rather than
// giving garbage, so callers can fall back as designed.
#pragma once

#include <string>
#include <string_view>

#include "platform/win32.h"

namespace thermpos::platform {

// The system ANSI code page: $THERMPOS_ACP when it names a convertible code page,
// else 1252.
UINT GetACP();

// True when the code page has a conversion table here.
bool IsValidCodePage(UINT codePage);

// Multibyte text in codePage (CP_ACP = GetACP()) to UTF-16. Undecodable bytes become
// U+FFFD. Returns ERROR_SUCCESS or ERROR_INVALID_PARAMETER (no table).
LONG MultiByteToWide(UINT codePage, std::string_view text, std::u16string* out);

// UTF-16 to multibyte text in codePage. Characters the code page lacks become
// defaultChar (default '?'), and *usedDefault (when given) tells whether that happened.
LONG WideToMultiByte(UINT codePage, std::u16string_view text, std::string* out,
                     char defaultChar = '?', bool* usedDefault = nullptr);

// Convenience: bytes in one code page to another through UTF-16 (unmapped → defaultChar).
LONG ConvertCodePage(UINT fromCodePage, UINT toCodePage, std::string_view text, std::string* out,
                     char defaultChar = '?');

// The iconv name of a Windows code page ("CP437", "SHIFT_JIS", "UTF-8"), empty if none.
std::string IconvName(UINT codePage);

}  // namespace thermpos::platform
