// What the reader and the writer of the `.reg` text form share: the conversions between
// the tree's narrow strings and the UTF-16LE that version 5 files keep string types in.
// Private to reg_text.cpp, reg_text_read.cpp and reg_text_write.cpp.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace thermpos::platform::registry::detail {

// Whether the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(std::string_view s);

// Narrow text as UTF-16LE. Bytes that are not UTF-8 become the lone low surrogates
// U+DC80..U+DCFF, which Utf16leToNarrow turns back into the same bytes.
std::vector<BYTE> NarrowToUtf16le(std::string_view s);

// `units` holds little-endian UTF-16 code units (an even byte count).
std::string Utf16leToNarrow(const BYTE* units, std::size_t byteCount);

// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: the types whose data is text.
bool IsStringType(DWORD type);

}  // namespace thermpos::platform::registry::detail
