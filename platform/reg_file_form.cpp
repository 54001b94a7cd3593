// Exported regedit files in the form Windows reads. See reg_file_form.h.
#include "platform/reg_file_form.h"

#include <vector>

#include "platform/reg_text_encoding.h"

namespace thermpos::platform::registry::detail {

std::string EncodeRegFile(std::string_view text, RegFileForm form) {
    if (form == RegFileForm::kUtf8) {
        return std::string(text);
    }
    std::string crlf;
    crlf.reserve(text.size() + text.size() / 16 + 2);
    for (char c : text) {
        if (c == '\n') {
            crlf.push_back('\r');
        }
        crlf.push_back(c);
    }
    const std::vector<BYTE> units = NarrowToUtf16le(crlf);
    std::string out;
    out.reserve(units.size() + 2);
    out += "\xFF\xFE";
    out.append(reinterpret_cast<const char*>(units.data()), units.size());
    return out;
}

}  // namespace thermpos::platform::registry::detail
