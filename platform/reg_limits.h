// The limits of the registry store, shared by everything that writes the hive file and
// everything that reads it back.
//
// A change is checked against them before anything is saved, and the reader refuses
// exactly what breaks them, so a hive the store saved always reads back: a hive it
// could not read would fail every registry call of every process until mended by hand.
//
//   kMaxValueSize      data of one value as RegQueryValueEx returns it, string types
//                      with their terminating zero (which the store adds when missing).
//   kMaxValueTextSize  one value's entry in the file, from its name to the end of its
//                      last continuation line. The longest entry the store writes is a
//                      string type kept as a UTF-16 hex list: every byte of data can take
//                      two bytes in UTF-16 and each of those "xx," plus line breaks, about
//                      6.4 characters per byte of data, under 7 MiB at kMaxValueSize with
//                      the longest name. The rest leaves hand-made import files room for
//                      looser spacing.
//   kMaxFileSize       the whole hive file; also the largest file an import reads.
//
// Far above anything the system stores; they keep a hostile file or caller from making
// the store hold and rewrite gigabytes.
#pragma once

#include <cstddef>
#include <string_view>

namespace thermpos::platform::registry {

inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxValueSize = 1u << 20;
inline constexpr std::size_t kMaxValueTextSize = 12u << 20;
inline constexpr std::size_t kMaxFileSize = 64u << 20;

// A key name we can keep: 1..255 characters, no backslash, no control characters (the
// text form is line-based).
bool IsValidKeyName(std::string_view name);
// 0..16383 characters ("" is the default value), no control characters.
bool IsValidValueName(std::string_view name);

}  // namespace thermpos::platform::registry
