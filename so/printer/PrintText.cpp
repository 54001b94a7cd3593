#include "so/printer/PrintText.h"

#include "platform/codepage.h"
#include "so/printer/PrintCommands.h"

namespace thermpos::so {

int NormalizeLineEnds(std::string* text) {
    std::string& s = *text;
    size_t first = s.find('\r');
    if (first == std::string::npos) {
        return kTranslateOk;
    }
    int result = kTranslateOk;
    size_t write = first;
    for (size_t read = first; read < s.size(); ++read) {
        const char c = s[read];
        if (c != '\r') {
            s[write++] = c;
            continue;
        }
        if (read + 1 < s.size() && s[read + 1] == '\n') {
            continue;  // the LF that follows stands for the pair
        }
        s[write++] = '\n';
        result = kTranslateFailure;
    }
    s.resize(write);
    return result;
}

void MapTextCodePage(std::string_view run, int characterSet, std::string* out) {
    if (!CodePageMapsText(characterSet)) {
        out->append(run);
        return;
    }
    std::u16string wide;
    if (platform::MultiByteToWide(CP_ACP, run, &wide) != ERROR_SUCCESS || wide.empty()) {
        out->append(run);
        return;
    }
    std::string mapped;
    if (platform::WideToMultiByte(static_cast<UINT>(characterSet), wide, &mapped, ' ') !=
            ERROR_SUCCESS ||
        mapped.empty()) {
        out->append(run);
        return;
    }
    out->append(mapped);
}

}  // namespace thermpos::so
