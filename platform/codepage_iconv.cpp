// Code page conversion over iconv.
//
// Threads: none started. iconv descriptors are not thread-safe, so each thread keeps its
// own small cache of them (thread_local, closed when the thread ends); the table of which
// code pages exist is shared under one mutex, and each thread remembers which of the code
// pages it used map ASCII to itself, so that ASCII text converts without the lock or iconv.
// iconv's modules are loaded under that mutex and stay loaded (see Table::keepLoaded).
#include "platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace thermpos::platform {

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

const iconv_t kNoDescriptor = reinterpret_cast<iconv_t>(-1);

// What this system's iconv does with a code page.
struct Table {
    std::string name;    // the iconv name it really opens, "" when none
    bool ascii = false;  // U+0000..U+007F and the bytes 00..7F map one to one, both ways
    // One descriptor each way, open for the life of the process. They keep the code page's
    // iconv modules loaded: iconv unloads a module a few closes of any descriptor after the
    // module's own last one, in whichever thread closes it, and the next thread to convert
    // loads it again. So the modules are loaded once, here under the table's lock, and are
    // not unloaded and loaded again as threads come and go (nor unloaded by one thread
    // behind the back of another that has just loaded them).
    iconv_t keepLoaded[2] = {kNoDescriptor, kNoDescriptor};
};

// Whether the code page's table maps the 128 ASCII characters to the same single bytes
// and back. Checked rather than assumed: an iconv whose Shift-JIS puts the yen sign at 5C
// must not be bypassed.
bool MapsAsciiToItself(const std::string& name) {
    char bytes[128];
    char16_t units[128];
    for (int c = 0; c < 128; ++c) {
        bytes[c] = static_cast<char>(c);
        units[c] = static_cast<char16_t>(c);
    }
    auto convert = [](const char* to, const char* from, const void* text, std::size_t size,
                      void* out, std::size_t room) {
        iconv_t cd = iconv_open(to, from);
        if (cd == kNoDescriptor)
            return false;
        char* in = static_cast<char*>(const_cast<void*>(text));
        char* outPtr = static_cast<char*>(out);
        std::size_t inLeft = size;
        std::size_t outLeft = room;
        const bool whole = iconv(cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
                           inLeft == 0 && outLeft == 0;
        iconv_close(cd);
        return whole;
    };
    char narrow[128];
    char16_t wide[128];
    return convert(name.c_str(), "UTF-16LE", units, sizeof units, narrow, sizeof narrow) &&
           std::memcmp(narrow, bytes, sizeof bytes) == 0 &&
           convert("UTF-16LE", name.c_str(), bytes, sizeof bytes, wide, sizeof wide) &&
           std::memcmp(wide, units, sizeof units) == 0;
}

// The table of a code page (cached for the process, and never destroyed: threads may still
// convert while the process exits).
const Table& ResolvedTable(UINT codePage) {
    static std::mutex mutex;
    static auto* resolved = new std::map<UINT, Table>;  // guarded by mutex; entries never change
    std::lock_guard<std::mutex> lock(mutex);
    auto it = resolved->find(codePage);
    if (it != resolved->end())
        return it->second;
    Table table;
    std::string name;
    for (const Known& k : kKnown) {
        if (k.codePage != codePage)
            continue;
        for (const char* candidate : k.names) {
            if (!candidate)
                continue;
            // The descriptor that finds the name is kept, so that the modules it loaded are
            // never without one.
            iconv_t toWide = iconv_open("UTF-16LE", candidate);
            if (toWide == kNoDescriptor)
                continue;
            table.keepLoaded[0] = toWide;
            table.keepLoaded[1] = iconv_open(candidate, "UTF-16LE");
            name = candidate;
            break;
        }
    }
    table.ascii = !name.empty() && MapsAsciiToItself(name);
    table.name = std::move(name);
    return resolved->emplace(codePage, std::move(table)).first->second;
}

const std::string& ResolvedName(UINT codePage) {
    return ResolvedTable(codePage).name;
}

// ResolvedTable(codePage).ascii without the lock: each thread remembers the code pages it
// has asked about (a handful: the ANSI one and the printers').
bool AsciiMapsToItself(UINT codePage) {
    struct Seen {
        UINT codePage;
        bool ascii;
    };
    constexpr unsigned kSeen = 8;
    thread_local Seen seen[kSeen];
    thread_local unsigned added = 0;  // the oldest entry is replaced when all are used
    for (unsigned i = 0; i < std::min(added, kSeen); ++i) {
        if (seen[i].codePage == codePage)
            return seen[i].ascii;
    }
    const bool ascii = ResolvedTable(codePage).ascii;
    seen[added++ % kSeen] = {codePage, ascii};
    if (added == 2 * kSeen)
        added = kSeen;
    return ascii;
}

// Text that is all ASCII, for a code page that maps ASCII to itself, converts unit for
// unit. Each returns false, with *out unspecified, when the text is not all ASCII.
bool NarrowAscii(std::u16string_view text, std::string* out) {
    out->resize(text.size());
    char* d = out->data();
    char16_t seen = 0;  // as wide as the units, so that the loop runs on whole vectors
    for (std::size_t i = 0; i < text.size(); ++i) {
        seen |= text[i];
        d[i] = static_cast<char>(text[i]);
    }
    return seen < 0x80;
}

bool WidenAscii(std::string_view text, std::u16string* out) {
    out->resize(text.size());
    char16_t* d = out->data();
    unsigned char seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        seen = static_cast<unsigned char>(seen | c);
        d[i] = c;
    }
    return seen < 0x80;
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
            if (cd == kNoDescriptor)
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
    codePage = Resolve(codePage);
    if (AsciiMapsToItself(codePage) && WidenAscii(text, out))
        return ERROR_SUCCESS;
    iconv_t cd = Descriptor(codePage, true);
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
    codePage = Resolve(codePage);
    if (AsciiMapsToItself(codePage) && NarrowAscii(text, out))
        return ERROR_SUCCESS;
    iconv_t cd = Descriptor(codePage, false);
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

}  // namespace thermpos::platform
