// What the code pages do the same on every system: a conversion between two code pages
// goes through UTF-16, with the system's conversions (codepage_iconv.cpp, codepage_win32.cpp).
#include "platform/codepage.h"

namespace thermpos::platform {

namespace {

constexpr UINT kThreadAcp = 3;  // CP_THREAD_ACP: the thread's ANSI code page, here the process's

UINT Resolve(UINT codePage) {
    return codePage == CP_ACP || codePage == kThreadAcp ? GetACP() : codePage;
}

}  // namespace

LONG ConvertCodePage(UINT fromCodePage, UINT toCodePage, std::string_view text, std::string* out,
                     char defaultChar) {
    if (!out)
        return ERROR_INVALID_PARAMETER;
    if (!IsValidCodePage(Resolve(fromCodePage)) || !IsValidCodePage(Resolve(toCodePage)))
        return ERROR_INVALID_PARAMETER;
    std::u16string wide;
    if (LONG rc = MultiByteToWide(fromCodePage, text, &wide); rc != ERROR_SUCCESS)
        return rc;
    return WideToMultiByte(toCodePage, wide, out, defaultChar);
}

}  // namespace thermpos::platform
