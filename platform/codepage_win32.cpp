// Code page conversion on Windows: the system's own tables and ANSI code page.
#include "platform/codepage.h"

#include <climits>
#include <string>

namespace thermpos::platform {

namespace {

UINT Resolve(UINT codePage) {
    return codePage == CP_ACP || codePage == CP_THREAD_ACP ? ::GetACP() : codePage;
}

// Code pages whose conversion refuses a default character (and its flag).
bool TakesNoDefaultChar(UINT codePage) {
    return codePage == CP_UTF8 || codePage == CP_UTF7 || codePage == 42 ||
           (codePage >= 50220 && codePage <= 50229) || codePage == 52936 || codePage == 54936 ||
           (codePage >= 57002 && codePage <= 57011);
}

}  // namespace

UINT GetACP() {
    return ::GetACP();
}

bool IsValidCodePage(UINT codePage) {
    if (codePage == CP_ACP || codePage == CP_THREAD_ACP)
        return false;
    return ::IsValidCodePage(codePage) != 0;
}

std::string IconvName(UINT codePage) {
    codePage = Resolve(codePage);
    if (!IsValidCodePage(codePage))
        return {};
    return codePage == CP_UTF8 ? "UTF-8" : "CP" + std::to_string(codePage);
}

LONG MultiByteToWide(UINT codePage, std::string_view text, std::u16string* out) {
    if (!out || text.size() > INT_MAX)
        return ERROR_INVALID_PARAMETER;
    codePage = Resolve(codePage);
    if (!IsValidCodePage(codePage))
        return ERROR_INVALID_PARAMETER;
    out->clear();
    if (text.empty())
        return ERROR_SUCCESS;
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (needed <= 0)
        return static_cast<LONG>(::GetLastError());
    out->resize(static_cast<std::size_t>(needed));
    const int made = ::MultiByteToWideChar(codePage, 0, text.data(), length,
                                           reinterpret_cast<wchar_t*>(out->data()), needed);
    if (made <= 0) {
        out->clear();
        return static_cast<LONG>(::GetLastError());
    }
    out->resize(static_cast<std::size_t>(made));
    return ERROR_SUCCESS;
}

LONG WideToMultiByte(UINT codePage, std::u16string_view text, std::string* out, char defaultChar,
                     bool* usedDefault) {
    if (usedDefault)
        *usedDefault = false;
    if (!out || text.size() > INT_MAX / 4)
        return ERROR_INVALID_PARAMETER;
    codePage = Resolve(codePage);
    if (!IsValidCodePage(codePage))
        return ERROR_INVALID_PARAMETER;
    out->clear();
    if (text.empty())
        return ERROR_SUCCESS;
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    const char defaults[2] = {defaultChar, '\0'};
    BOOL used = FALSE;
    const bool noDefault = TakesNoDefaultChar(codePage);
    const int needed =
        ::WideCharToMultiByte(codePage, 0, wide, length, nullptr, 0, noDefault ? nullptr : defaults,
                              noDefault ? nullptr : &used);
    if (needed <= 0)
        return static_cast<LONG>(::GetLastError());
    out->resize(static_cast<std::size_t>(needed));
    const int made =
        ::WideCharToMultiByte(codePage, 0, wide, length, out->data(), needed,
                              noDefault ? nullptr : defaults, noDefault ? nullptr : &used);
    if (made <= 0) {
        out->clear();
        return static_cast<LONG>(::GetLastError());
    }
    out->resize(static_cast<std::size_t>(made));
    if (usedDefault)
        *usedDefault = used != FALSE;
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform
