// The two forms an exported regedit file is written in. The text itself is the same in
// both (version 5 header, keys and values as reg_text.h writes them); only its bytes differ.
//
// No I/O and no state.
#pragma once

#include <string>
#include <string_view>

namespace thermpos::platform::registry {

enum class RegFileForm {
    // What Windows' regedit writes and reads without loss: UTF-16LE after a byte-order mark,
    // CRLF line ends. A file without the mark is read there as the ANSI code page.
    kWindows,
    // The text as the hive file keeps it: UTF-8, LF, no byte-order mark.
    kUtf8,
};

namespace detail {

// `text` (UTF-8 with LF line ends, as WriteKeyText makes it) in the given form. Bytes that
// are not UTF-8 become lone low surrogates in the Windows form, which the reader turns back
// into the same bytes.
std::string EncodeRegFile(std::string_view text, RegFileForm form);

}  // namespace detail
}  // namespace thermpos::platform::registry
