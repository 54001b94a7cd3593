// Code page conversion over iconv.
//
// Threads: none started. iconv descriptors are not thread-safe, so each thread keeps its
// own small cache of them (thread_local, closed when the thread ends); the table of which
// code pages exist is shared under one mutex.
#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace thermpos {

namespace {

constexpr UINT kDefaultAcp = 1252;
// CP_THREAD_ACP of the Windows API: the thread's ANSI code page, here the system one.
constexpr UINT kThreadAcp = 3;

struct Known {
    UINT codePage;
    const char* names[2];  // iconv names to try, best first
};

constexpr Known kKnown[] = {
    {437, {"CP437", "IBM437"}},        {720, {"CP720", nullptr}},
    {737, {"CP737", nullptr}},         {775, {"CP775", nullptr}},
    {850, {"CP850", "IBM850"}},        {852, {"CP852", "IBM852"}},
    {855, {"CP855", "IBM855"}},        {857, {"CP857", "IBM857"}},
    {858, {"CP858", "IBM858"}},        {860, {"CP860", "IBM860"}},
    {861, {"CP861", "IBM861"}},        {862, {"CP862", "IBM862"}},
    {863, {"CP863", "IBM863"}},        {864, {"CP864", "IBM864"}},
    {865, {"CP865", "IBM865"}},        {866, {"CP866", "IBM866"}},
    {869, {"CP869", "IBM869"}},        {874, {"CP874", nullptr}},
    {932, {"CP932", "SHIFT_JIS"}},     {936, {"CP936", "GBK"}},
    {949, {"CP949", "UHC"}},           {950, {"CP950", "BIG5"}},
    {1250, {"CP1250", nullptr}},       {1251, {"CP1251", nullptr}},
    {1252, {"CP1252", nullptr}},       {1253, {"CP1253", nullptr}},
    {1254, {"CP1254", nullptr}},       {1255, {"CP1255", nullptr}},
    {1256, {"CP1256", nullptr}},       {1257, {"CP1257", nullptr}},
    {1258, {"CP1258", nullptr}},       {20127, {"ASCII", nullptr}},
    {20866, {"KOI8-R", nullptr}},      {21866, {"KOI8-U", nullptr}},
    {28591, {"ISO-8859-1", nullptr}},  {28592, {"ISO-8859-2", nullptr}},
    {28595, {"ISO-8859-5", nullptr}},  {28597, {"ISO-8859-7", nullptr}},
    {28605, {"ISO-8859-15", nullptr}}, {65001, {"UTF-8", nullptr}},
};

// The iconv name that this system's iconv really opens, "" when none (cached).
const std::string& ResolvedName(UINT codePage) {
    static std::mutex mutex;
    static std::map<UINT, std::string> resolved;  // guarded by mutex
    static const std::string kNone;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = resolved.find(codePage);
    if (it != resolved.end())
        return it->second;
    std::string name;
    for (const Known& k : kKnown) {
        if (k.codePage != codePage)
            continue;
        for (const char* candidate : k.names) {
            if (!candidate)
                continue;
            iconv_t cd = iconv_open("UTF-16LE", candidate);
            if (cd == reinterpret_cast<iconv_t>(-1))
                continue;
            iconv_close(cd);
            name = candidate;
            break;
        }
    }
    return resolved.emplace(codePage, std::move(name)).first->second;
}

UINT Resolve(UINT codePage) {
    return (codePage == CP_ACP || codePage == kThreadAcp) ? GetACP() : codePage;
}

// Per-thread iconv descriptors, keyed by (code page, direction).
class IconvCache {
  public:
    ~IconvCache() {
        for (auto& [key, cd] : map_)
            iconv_close(cd);
    }
    // Reset to the initial shift state; null when the code page has no table.
    iconv_t Get(UINT codePage, bool toWide) {
        auto key = std::make_pair(codePage, toWide);
        auto it = map_.find(key);
        if (it == map_.end()) {
            const std::string& name = ResolvedName(codePage);
            if (name.empty())
                return nullptr;
            iconv_t cd = toWide ? iconv_open("UTF-16LE", name.c_str())
                                : iconv_open(name.c_str(), "UTF-16LE");
            if (cd == reinterpret_cast<iconv_t>(-1))
                return nullptr;
            it = map_.emplace(key, cd).first;
        }
        iconv(it->second, nullptr, nullptr, nullptr, nullptr);
        return it->second;
    }

  private:
    std::map<std::pair<UINT, bool>, iconv_t> map_;
};

iconv_t Descriptor(UINT codePage, bool toWide) {
    thread_local IconvCache cache;
    return cache.Get(codePage, toWide);
}

}  // namespace

UINT GetACP() {
    const char* env = std::getenv("THERMPOS_ACP");
    if (env && *env) {
        char* end = nullptr;
        errno = 0;
        unsigned long value = std::strtoul(env, &end, 10);
        if (errno == 0 && end && *end == '\0' && value > kThreadAcp && value < 0x10000 &&
            !ResolvedName(static_cast<UINT>(value)).empty())
            return static_cast<UINT>(value);
    }
    return kDefaultAcp;
}

bool IsValidCodePage(UINT codePage) {
    if (codePage == CP_ACP || codePage == kThreadAcp)
        return false;
    return !ResolvedName(codePage).empty();
}

std::string IconvName(UINT codePage) {
    return ResolvedName(Resolve(codePage));
}

LONG MultiByteToWide(UINT codePage, std::string_view text, std::u16string* out) {
    if (!out)
        return ERROR_INVALID_PARAMETER;
    iconv_t cd = Descriptor(Resolve(codePage), true);
    if (!cd)
        return ERROR_INVALID_PARAMETER;
    out->clear();
    out->reserve(text.size());
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char16_t buffer[256];
    while (inLeft > 0) {
        char* outPtr = reinterpret_cast<char*>(buffer);
        size_t outLeft = sizeof buffer;
        size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out->append(buffer, (sizeof buffer - outLeft) / sizeof(char16_t));
        if (rc != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        // EILSEQ: a byte the code page does not define; EINVAL: a truncated sequence at
        // the end. Either way one replacement character, then go on after the byte.
        out->push_back(u'\uFFFD');
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return ERROR_SUCCESS;
}

LONG WideToMultiByte(UINT codePage, std::u16string_view text, std::string* out, char defaultChar,
                     bool* usedDefault) {
    if (usedDefault)
        *usedDefault = false;
    if (!out)
        return ERROR_INVALID_PARAMETER;
    iconv_t cd = Descriptor(Resolve(codePage), false);
    if (!cd)
        return ERROR_INVALID_PARAMETER;
    out->clear();
    out->reserve(text.size());
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
    size_t inLeft = text.size() * sizeof(char16_t);
    char buffer[512];
    for (;;) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        size_t rc = inLeft > 0 ? iconv(cd, &in, &inLeft, &outPtr, &outLeft)
                               : iconv(cd, nullptr, nullptr, &outPtr, &outLeft);  // flush shift
        out->append(buffer, sizeof buffer - outLeft);
        if (rc != static_cast<size_t>(-1)) {
            if (inLeft == 0) {
                if (outPtr == buffer)
                    break;
                continue;  // the flush wrote something; one more round ends with nothing
            }
            continue;
        }
        if (errno == E2BIG)
            continue;
        // A character this code page lacks (or a lone surrogate): skip it whole.
        size_t skip = sizeof(char16_t);
        if (inLeft >= 4) {
            char16_t unit;
            std::memcpy(&unit, in, sizeof unit);
            char16_t next;
            std::memcpy(&next, in + 2, sizeof next);
            if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF)
                skip = 4;
        }
        if (skip > inLeft)
            skip = inLeft;
        in += skip;
        inLeft -= skip;
        out->push_back(defaultChar);
        if (usedDefault)
            *usedDefault = true;
    }
    return ERROR_SUCCESS;
}

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

}  // namespace thermpos
