// The `.reg` text form of the hive: parsing (all-or-nothing, errors with file and line)
// and writing. Strings inside the tree are narrow byte strings; files exported by
// Windows carry string types in UTF-16LE, which is converted here. Bytes that are not
// UTF-8 travel through UTF-16 as lone low surrogates U+DC80..U+DCFF, so a hex(1) value we
// write always reads back byte for byte.
#include "platform/reg_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace thermpos::registry::detail {
namespace {

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// --- UTF-8 <-> UTF-16LE --------------------------------------------------------------

void AppendUtf8(char32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the bytes there are
// not well-formed UTF-8 (overlong forms and surrogates included).
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t* cp) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = b(0);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    std::size_t len;
    char32_t v;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        v = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        v = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        v = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(k) & 0xC0) != 0x80)
            return 0;
        v = (v << 6) | (b(k) & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < kMin[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
        return 0;
    *cp = v;
    return len;
}

bool IsUtf8(std::string_view s) {
    char32_t cp;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = DecodeUtf8(s, i, &cp);
        if (!n)
            return false;
        i += n;
    }
    return true;
}

void PutUnit(char16_t u, std::vector<BYTE>* out) {
    out->push_back(static_cast<BYTE>(u & 0xFF));
    out->push_back(static_cast<BYTE>(u >> 8));
}

std::vector<BYTE> NarrowToUtf16le(std::string_view s) {
    std::vector<BYTE> out;
    out.reserve(s.size() * 2);
    char32_t cp;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = DecodeUtf8(s, i, &cp);
        if (!n) {
            PutUnit(static_cast<char16_t>(0xDC00 | static_cast<unsigned char>(s[i])), &out);
            ++i;
            continue;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            PutUnit(static_cast<char16_t>(0xD800 | (cp >> 10)), &out);
            PutUnit(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)), &out);
        } else {
            PutUnit(static_cast<char16_t>(cp), &out);
        }
    }
    return out;
}

// `units` holds little-endian UTF-16 code units (an even byte count).
std::string Utf16leToNarrow(const BYTE* units, std::size_t byteCount) {
    std::string out;
    const std::size_t count = byteCount / 2;
    const auto unit = [&](std::size_t k) {
        return static_cast<char16_t>(units[2 * k] | (units[2 * k + 1] << 8));
    };
    for (std::size_t k = 0; k < count; ++k) {
        const char16_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < count && unit(k + 1) >= 0xDC00 &&
            unit(k + 1) <= 0xDFFF) {
            AppendUtf8(0x10000 + ((char32_t(u) - 0xD800) << 10) + (unit(k + 1) - 0xDC00), &out);
            ++k;
        } else if (u >= 0xDC80 && u <= 0xDCFF) {
            out.push_back(static_cast<char>(u & 0xFF));  // a byte that was not UTF-8
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(0xFFFD, &out);
        } else {
            AppendUtf8(u, &out);
        }
    }
    return out;
}

bool IsStringType(DWORD type) {
    return type == 1 || type == 2 || type == 7;
}

// --- parsing -------------------------------------------------------------------------

class Parser {
  public:
    Parser(const std::string& fileName, std::vector<ParsedSection>* sections, std::string* error)
        : fileName_(fileName), sections_(sections), error_(error) {}

    bool Run(std::string_view bytes);

  private:
    bool Fail(std::size_t line, const std::string& what) {
        if (error_)
            *error_ = fileName_ + ":" + std::to_string(line) + ": " + what;
        return false;
    }
    bool ParseSection(std::string_view text, std::size_t line);
    bool ParseValue(std::string_view text, std::size_t line,
                    const std::vector<std::string_view>& lines, std::size_t* index);
    bool ParseQuoted(std::string_view text, std::size_t* pos, std::string* out, std::size_t line);
    bool ParseHexList(std::string_view first, std::size_t maxBytes, std::size_t lineNo,
                      const std::vector<std::string_view>& lines, std::size_t* index,
                      std::vector<BYTE>* out);
    bool OnlyTrailing(std::string_view rest) const;

    const std::string& fileName_;
    std::vector<ParsedSection>* sections_;
    std::string* error_;
    bool version5_ = true;
    std::string text_;  // UTF-8 copy when the file was UTF-16
};

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}
std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Parser::OnlyTrailing(std::string_view rest) const {
    rest = Trim(rest);
    return rest.empty() || rest.front() == ';';
}

bool Parser::Run(std::string_view bytes) {
    if (bytes.size() > kMaxFileSize)
        return Fail(1, "file too large");
    std::string_view text = bytes;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2)
            return Fail(1, "UTF-16 file with an odd number of bytes");
        text_ = Utf16leToNarrow(reinterpret_cast<const BYTE*>(bytes.data()) + 2, bytes.size() - 2);
        text = text_;
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
               static_cast<unsigned char>(bytes[1]) == 0xFF) {
        return Fail(1, "big-endian UTF-16 is not supported");
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }

    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }

    bool header = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t lineNo = i + 1;
        std::string_view line = Trim(lines[i]);
        if (line.find('\0') != std::string_view::npos)
            return Fail(lineNo, "NUL byte in text");
        if (line.empty())
            continue;
        if (!header) {
            if (line == "Windows Registry Editor Version 5.00") {
                version5_ = true;
            } else if (line == "REGEDIT4") {
                version5_ = false;
            } else {
                return Fail(lineNo,
                            "not a registry file (expected \"Windows Registry Editor Version "
                            "5.00\" or \"REGEDIT4\")");
            }
            header = true;
            continue;
        }
        if (line.front() == ';')
            continue;
        if (line.front() == '[') {
            if (!ParseSection(line, lineNo))
                return false;
        } else if (line.front() == '@' || line.front() == '"') {
            if (sections_->empty())
                return Fail(lineNo, "value outside any key");
            if (!ParseValue(line, lineNo, lines, &i))
                return false;
        } else {
            return Fail(lineNo, "unexpected text");
        }
    }
    // An empty file is an empty hive; anything else needs its header.
    return true;
}

bool Parser::ParseSection(std::string_view line, std::size_t lineNo) {
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos || !OnlyTrailing(line.substr(close + 1)))
        return Fail(lineNo, "key line without closing ']'");
    std::string_view path = line.substr(1, close - 1);
    ParsedSection section;
    if (!path.empty() && path.front() == '-') {
        section.remove = true;
        path.remove_prefix(1);
    }
    const std::size_t slash = path.find('\\');
    const std::string_view root = path.substr(0, slash);
    std::string_view rest =
        slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    if (NamesEqual(root, "HKEY_CLASSES_ROOT") || NamesEqual(root, "HKCR")) {
        section.path = {"SOFTWARE", "Classes"};
    } else if (!NamesEqual(root, "HKEY_LOCAL_MACHINE") && !NamesEqual(root, "HKLM")) {
        return Fail(lineNo, "key outside HKEY_LOCAL_MACHINE: " + std::string(root));
    }
    std::vector<std::string> names;
    if (!SplitPath(rest, &names))
        return Fail(lineNo, "bad key path");
    for (const auto& name : names) {
        if (!IsValidKeyName(name))
            return Fail(lineNo, "bad key name \"" + name + "\"");
    }
    section.path.insert(section.path.end(), names.begin(), names.end());
    if (section.path.size() > kMaxKeyDepth)
        return Fail(lineNo, "key path too deep");
    if (section.remove && section.path.empty())
        return Fail(lineNo, "a root key cannot be deleted");
    sections_->push_back(std::move(section));
    return true;
}

bool Parser::ParseQuoted(std::string_view text, std::size_t* pos, std::string* out,
                         std::size_t lineNo) {
    // text[*pos] is the opening quote.
    std::size_t i = *pos + 1;
    out->clear();
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            *pos = i + 1;
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out->push_back(text[i + 1]);
            i += 2;
            continue;
        }
        out->push_back(c);
        ++i;
    }
    return Fail(lineNo, "unterminated string");
}

// A hex list ("1b,40,00") read in one pass over the pieces it is written in: the list
// is the pieces joined, so a value spread over thousands of continuation lines costs
// what a one-line value of the same size costs.
class HexListReader {
  public:
    HexListReader(std::size_t maxBytes, std::vector<BYTE>* out) : maxBytes_(maxBytes), out_(out) {
        out_->clear();
    }

    // Reads the next piece; false (with error()) at the first bad byte.
    bool Feed(std::string_view piece) {
        const char* p = piece.data();
        const char* const end = p + piece.size();
        while (p < end && !comment_) {
            // Nearly every item is two digits and a comma: take those whole.
            if (item_.empty() && !gap_ && end - p >= 3 && p[2] == ',') {
                const int high = HexDigit(p[0]);
                const int low = HexDigit(p[1]);
                if (high >= 0 && low >= 0) {
                    if (out_->size() >= maxBytes_)
                        return TooLarge();
                    out_->push_back(static_cast<BYTE>(high * 16 + low));
                    p += 3;
                    continue;
                }
            }
            const char c = *p++;
            if (c == ';') {
                comment_ = true;  // the rest of the list, continuation lines too, is comment
            } else if (c == ',') {
                if (!EndItem(false))
                    return false;
            } else if (c == ' ' || c == '\t' || (c == '\r' && !item_.empty())) {
                // Spaces around a byte do not count; spaces inside one make it bad.
                gap_ = !item_.empty();
            } else {
                if (gap_)
                    Keep(' ');
                gap_ = false;
                Keep(c);
            }
        }
        return true;
    }
    // One trailing comma is harmless, so the last item may be empty.
    bool Finish() { return EndItem(true); }
    const std::string& error() const { return error_; }

  private:
    // A byte is two digits; the cap keeps a hostile item from growing without bound.
    static constexpr std::size_t kItemLimit = 16;

    bool TooLarge() {
        error_ = "value too large (more than " + std::to_string(maxBytes_) + " bytes)";
        return false;
    }

    void Keep(char c) {
        if (item_.size() < kItemLimit)
            item_.push_back(c);
        else
            itemTooLong_ = true;
    }

    bool EndItem(bool last) {
        const std::string_view item = item_;
        gap_ = false;
        if (item.empty()) {
            if (last)
                return true;
            error_ = "empty byte in hex list";
            return false;
        }
        if (itemTooLong_ || item.size() > 2 || HexDigit(item[0]) < 0 ||
            (item.size() == 2 && HexDigit(item[1]) < 0)) {
            error_ =
                "bad byte \"" + std::string(item) + (itemTooLong_ ? "..." : "") + "\" in hex list";
            return false;
        }
        if (out_->size() >= maxBytes_)
            return TooLarge();
        int v = HexDigit(item[0]);
        if (item.size() == 2)
            v = v * 16 + HexDigit(item[1]);
        out_->push_back(static_cast<BYTE>(v));
        item_.clear();
        return true;
    }

    const std::size_t maxBytes_;
    std::vector<BYTE>* out_;
    std::string item_;
    bool itemTooLong_ = false;
    bool gap_ = false;  // spaces after the item's first character
    bool comment_ = false;
    std::string error_;
};

// `first` is what follows "hex:" on the value's line; long lists continue on the next
// lines after a trailing backslash.
bool Parser::ParseHexList(std::string_view first, std::size_t maxBytes, std::size_t lineNo,
                          const std::vector<std::string_view>& lines, std::size_t* index,
                          std::vector<BYTE>* out) {
    HexListReader reader(maxBytes, out);
    const char* entryStart = lines[*index].data();
    std::string_view piece = first;
    while (true) {
        const std::string_view trimmed = Trim(piece);
        if (trimmed.empty() || trimmed.back() != '\\') {
            if (!reader.Feed(piece))
                return Fail(lineNo, reader.error());
            break;
        }
        if (!reader.Feed(trimmed.substr(0, trimmed.size() - 1)))
            return Fail(lineNo, reader.error());
        if (*index + 1 >= lines.size() || Trim(lines[*index + 1]).empty())
            return Fail(lineNo, "hex list breaks off after a continuation line");
        ++*index;
        piece = Trim(lines[*index]);
        const std::size_t entrySize =
            static_cast<std::size_t>(piece.data() + piece.size() - entryStart);
        if (entrySize > kMaxValueTextSize)
            return Fail(lineNo, "value entry longer than " + std::to_string(kMaxValueTextSize) +
                                    " characters");
    }
    if (!reader.Finish())
        return Fail(lineNo, reader.error());
    return true;
}

bool Parser::ParseValue(std::string_view line, std::size_t lineNo,
                        const std::vector<std::string_view>& lines, std::size_t* index) {
    if (line.size() > kMaxValueTextSize)
        return Fail(lineNo,
                    "value entry longer than " + std::to_string(kMaxValueTextSize) + " characters");
    ParsedValue value;
    std::size_t pos = 0;
    if (line.front() == '@') {
        pos = 1;
    } else {
        if (!ParseQuoted(line, &pos, &value.name, lineNo))
            return false;
        if (value.name.empty())
            return Fail(lineNo, "empty value name (the default value is written @)");
        if (!IsValidValueName(value.name))
            return Fail(lineNo, "bad value name");
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=')
        return Fail(lineNo, "expected '=' after the value name");
    rest = TrimLeft(rest.substr(1));

    if (rest.empty())
        return Fail(lineNo, "value without data");
    if (rest.front() == '-') {
        if (!OnlyTrailing(rest.substr(1)))
            return Fail(lineNo, "unexpected text after '-'");
        value.remove = true;
    } else if (rest.front() == '"') {
        std::size_t p = 0;
        std::string s;
        if (!ParseQuoted(rest, &p, &s, lineNo))
            return false;
        if (!OnlyTrailing(rest.substr(p)))
            return Fail(lineNo, "unexpected text after the string");
        if (s.size() + 1 > kMaxValueSize)
            return Fail(lineNo, "value too large (" + std::to_string(s.size() + 1) +
                                    " bytes with its zero; the most is " +
                                    std::to_string(kMaxValueSize) + ")");
        value.type = 1;
        value.data.assign(s.begin(), s.end());
        value.data.push_back(0);
    } else if (rest.size() >= 6 && NamesEqual(rest.substr(0, 6), "dword:")) {
        const std::string_view digits = Trim(rest.substr(6));
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
            return Fail(lineNo, "bad dword \"" + std::string(digits) + "\"");
        DWORD v = 0;
        for (char c : digits)
            v = v * 16 + static_cast<DWORD>(HexDigit(c));
        value.type = 4;
        value.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                      static_cast<BYTE>(v >> 24)};
    } else if (rest.size() >= 3 && NamesEqual(rest.substr(0, 3), "hex")) {
        std::string_view afterHex = rest.substr(3);
        DWORD type = 3;
        if (!afterHex.empty() && afterHex.front() == '(') {
            const std::size_t close = afterHex.find(')');
            const std::string_view digits =
                close == std::string_view::npos ? std::string_view{} : afterHex.substr(1, close - 1);
            if (digits.empty() || digits.size() > 8 ||
                !std::all_of(digits.begin(), digits.end(), [](char c) { return HexDigit(c) >= 0; }))
                return Fail(lineNo, "bad hex(type)");
            type = 0;
            for (char c : digits)
                type = type * 16 + static_cast<DWORD>(HexDigit(c));
            afterHex = afterHex.substr(close + 1);
        }
        if (afterHex.empty() || afterHex.front() != ':')
            return Fail(lineNo, "expected ':' after hex");
        // Version 5 files keep string types as UTF-16, which takes up to twice the bytes
        // of the data it becomes.
        const bool utf16 = version5_ && IsStringType(type);
        if (!ParseHexList(afterHex.substr(1), utf16 ? 2 * kMaxValueSize : kMaxValueSize, lineNo, lines,
                          index, &value.data))
            return false;
        value.type = type;
        if (utf16) {
            if (value.data.size() % 2)
                return Fail(lineNo, "odd number of bytes in a UTF-16 string");
            const std::string narrow = Utf16leToNarrow(value.data.data(), value.data.size());
            // CJK text takes three bytes where UTF-16 takes two.
            if (narrow.size() > kMaxValueSize)
                return Fail(lineNo, "value too large (" + std::to_string(narrow.size()) +
                                        " bytes as text; the most is " +
                                        std::to_string(kMaxValueSize) + ")");
            value.data.assign(narrow.begin(), narrow.end());
        }
    } else {
        return Fail(lineNo, "unknown value data");
    }
    sections_->back().values.push_back(std::move(value));
    return true;
}

// --- writing -------------------------------------------------------------------------

void AppendQuoted(std::string_view s, std::string* out) {
    out->push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"')
            out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

// A REG_SZ that reads back identically from "..." form: one terminating zero, no other
// zero, no line breaks, valid UTF-8 (the file is UTF-8).
bool QuotableString(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0)
        return false;
    const std::string_view s(reinterpret_cast<const char*>(data.data()), data.size() - 1);
    if (s.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos)
        return false;
    return IsUtf8(s);
}

void AppendHexList(const std::vector<BYTE>& bytes, std::size_t lineLength, std::string* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    // Written through a pointer into room made once: this runs over every byte of every
    // binary value at each save.
    const std::size_t start = out->size();
    out->resize(start + bytes.size() * 3 + (bytes.size() / 25 + 2) * 4);
    char* w = out->data() + start;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        *w++ = kDigits[bytes[i] >> 4];
        *w++ = kDigits[bytes[i] & 0x0F];
        lineLength += 2;
        if (i + 1 < bytes.size()) {
            *w++ = ',';
            ++lineLength;
            if (lineLength > 76) {
                *w++ = '\\';
                *w++ = '\n';
                *w++ = ' ';
                *w++ = ' ';
                lineLength = 2;
            }
        }
    }
    out->resize(static_cast<std::size_t>(w - out->data()));
}

void AppendValueLine(const Value& v, std::string* out) {
    const std::size_t lineStart = out->size();
    if (v.name.empty())
        out->push_back('@');
    else
        AppendQuoted(v.name, out);
    out->push_back('=');
    if (v.type == 1 && QuotableString(v.data)) {
        AppendQuoted(
            std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1), out);
    } else if (v.type == 4 && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x",
                      v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                          (static_cast<DWORD>(v.data[3]) << 24));
        out->append(buf);
    } else {
        if (v.type == 3) {
            out->append("hex:");
        } else {
            char buf[24];
            std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
            out->append(buf);
        }
        if (IsStringType(v.type)) {
            AppendHexList(NarrowToUtf16le(std::string_view(
                              reinterpret_cast<const char*>(v.data.data()), v.data.size())),
                          out->size() - lineStart, out);
        } else {
            AppendHexList(v.data, out->size() - lineStart, out);
        }
    }
    out->push_back('\n');
}

void AppendKeyPath(const std::vector<std::string>& path, std::string* out) {
    out->append("HKEY_LOCAL_MACHINE");
    for (const auto& name : path) {
        out->push_back('\\');
        out->append(name);
    }
}

// The first limit a hive being written breaks.
struct LimitCheck {
    LONG result = ERROR_SUCCESS;
    std::string error;

    bool Fail(LONG code, std::string what) {
        result = code;
        error = std::move(what);
        return false;
    }
    bool FailValue(const std::vector<std::string>& path, std::string what) {
        std::string key;
        AppendKeyPath(path, &key);
        return Fail(ERROR_INVALID_PARAMETER, key + ": " + std::move(what));
    }
};

std::string ValueLabel(const Value& v) {
    return v.name.empty() ? std::string("the default value") : "value \"" + v.name + "\"";
}

// Writes `node` and its subtree; with `check`, stops at the first limit broken.
bool WriteNode(const Node& node, std::vector<std::string>* path, bool writeEmpty, std::string* out,
               LimitCheck* check) {
    if (writeEmpty || !node.values.empty()) {
        out->push_back('[');
        AppendKeyPath(*path, out);
        out->append("]\n");
        for (const auto& v : node.values) {
            if (check && v.data.size() > kMaxValueSize)
                return check->FailValue(*path,
                                        ValueLabel(v) + " holds " + std::to_string(v.data.size()) +
                                            " bytes; the most is " + std::to_string(kMaxValueSize));
            const std::size_t start = out->size();
            AppendValueLine(v, out);
            if (check && out->size() - start - 1 > kMaxValueTextSize)
                return check->FailValue(*path, ValueLabel(v) + " takes " +
                                                   std::to_string(out->size() - start - 1) +
                                                   " characters in the file; the most is " +
                                                   std::to_string(kMaxValueTextSize));
        }
        out->push_back('\n');
        if (check && out->size() > kMaxFileSize)
            return check->Fail(ERROR_FILE_TOO_LARGE, "the hive file would grow past " +
                                                         std::to_string(kMaxFileSize) + " bytes");
    }
    for (const auto& child : node.subkeys) {
        path->push_back(child->name);
        const bool ok = WriteNode(*child, path, true, out, check);
        path->pop_back();
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

Node* Node::FindChild(std::string_view childName) const {
    for (const auto& child : subkeys) {
        if (NamesEqual(child->name, childName))
            return child.get();
    }
    return nullptr;
}

Value* Node::FindValue(std::string_view valueName) {
    for (auto& v : values) {
        if (NamesEqual(v.name, valueName))
            return &v;
    }
    return nullptr;
}

const Value* Node::FindValue(std::string_view valueName) const {
    return const_cast<Node*>(this)->FindValue(valueName);
}

std::unique_ptr<Node> Node::Clone() const {
    auto copy = std::make_unique<Node>();
    copy->name = name;
    copy->values = values;
    for (const auto& child : subkeys)
        copy->subkeys.push_back(child->Clone());
    return copy;
}

bool SplitPath(std::string_view path, std::vector<std::string>* names) {
    names->clear();
    if (path.empty())
        return true;
    if (path.back() == '\\')
        path.remove_suffix(1);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (name.empty())
            return false;
        names->emplace_back(name);
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

bool ParseRegFile(std::string_view bytes, const std::string& fileName,
                  std::vector<ParsedSection>* sections, std::string* error) {
    sections->clear();
    Parser parser(fileName, sections, error);
    if (parser.Run(bytes))
        return true;
    sections->clear();
    return false;
}

namespace {

std::string Folded(std::string_view name) {
    std::string out(name);
    for (auto& c : out)
        c = FoldAscii(c);
    return out;
}

}  // namespace

// Below this many subkeys a straight search beats building a map of them.
constexpr std::size_t kIndexedChildren = 16;

Node* TreeIndex::Child(Node* parent, std::string_view name) {
    if (parent->subkeys.size() < kIndexedChildren && !children_.count(parent))
        return parent->FindChild(name);
    auto& map = ChildrenOf(parent);
    const auto it = map.find(Folded(name));
    return it == map.end() ? nullptr : it->second;
}

Node* TreeIndex::AddChild(Node* parent, const std::string& name) {
    parent->subkeys.push_back(std::make_unique<Node>());
    Node* child = parent->subkeys.back().get();
    child->name = name;
    ChildrenOf(parent)[Folded(name)] = child;
    return child;
}

Value* TreeIndex::FindValue(Node* node, const std::string& name) {
    auto& map = ValuesOf(node);
    const auto it = map.find(Folded(name));
    return it == map.end() ? nullptr : &node->values[it->second];
}

void TreeIndex::AddValue(Node* node, Value value) {
    ValuesOf(node)[Folded(value.name)] = node->values.size();
    node->values.push_back(std::move(value));
}

void TreeIndex::Forget() {
    children_.clear();
    values_.clear();
}

std::unordered_map<std::string, Node*>& TreeIndex::ChildrenOf(Node* parent) {
    auto [it, added] = children_.try_emplace(parent);
    if (added) {
        for (const auto& child : parent->subkeys)
            it->second.emplace(Folded(child->name), child.get());
    }
    return it->second;
}

std::unordered_map<std::string, std::size_t>& TreeIndex::ValuesOf(Node* node) {
    auto [it, added] = values_.try_emplace(node);
    if (added) {
        for (std::size_t i = 0; i < node->values.size(); ++i)
            it->second.emplace(Folded(node->values[i].name), i);
    }
    return it->second;
}

bool ApplySections(const std::vector<ParsedSection>& sections, Node* root) {
    bool changed = false;
    TreeIndex index;
    for (const auto& section : sections) {
        if (section.remove) {
            Node* parent = root;
            for (std::size_t i = 0; parent && i + 1 < section.path.size(); ++i)
                parent = index.Child(parent, section.path[i]);
            if (!parent)
                continue;
            auto& kids = parent->subkeys;
            const auto it = std::find_if(kids.begin(), kids.end(), [&](const auto& k) {
                return NamesEqual(k->name, section.path.back());
            });
            if (it != kids.end()) {
                kids.erase(it);
                index.Forget();
                changed = true;
            }
            continue;
        }
        Node* node = root;
        for (const auto& name : section.path) {
            Node* child = index.Child(node, name);
            if (!child) {
                child = index.AddChild(node, name);
                changed = true;
            }
            node = child;
        }
        for (const auto& pv : section.values) {
            Value* v = index.FindValue(node, pv.name);
            if (pv.remove) {
                if (v) {
                    node->values.erase(node->values.begin() + (v - node->values.data()));
                    index.Forget();
                    changed = true;
                }
            } else if (!v) {
                index.AddValue(node, Value{pv.name, pv.type, pv.data});
                changed = true;
            } else if (v->type != pv.type || v->data != pv.data) {
                v->type = pv.type;
                v->data = pv.data;
                changed = true;
            }
        }
    }
    return changed;
}

void WriteKeyText(const Node& node, const std::vector<std::string>& path, std::string* out) {
    std::vector<std::string> walk = path;
    WriteNode(node, &walk, !path.empty(), out, nullptr);
}

LONG WriteHiveText(const Node& root, std::string* text, std::string* error) {
    *text = "Windows Registry Editor Version 5.00\n\n";
    std::vector<std::string> path;
    LimitCheck check;
    if (!WriteNode(root, &path, false, text, &check) && error)
        *error = check.error;
    return check.result;
}

bool TreesEqual(const Node& a, const Node& b) {
    if (a.name != b.name || a.subkeys.size() != b.subkeys.size())
        return false;
    if (a.values.size() != b.values.size())
        return false;
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        const Value& x = a.values[i];
        const Value& y = b.values[i];
        if (x.name != y.name || x.type != y.type || x.data != y.data)
            return false;
    }
    for (std::size_t i = 0; i < a.subkeys.size(); ++i) {
        if (!TreesEqual(*a.subkeys[i], *b.subkeys[i]))
            return false;
    }
    return true;
}

}  // namespace thermpos::registry::detail

namespace thermpos::registry {

bool IsValidKeyName(std::string_view name) {
    if (name.empty() || name.size() > kMaxKeyNameLength)
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
}

bool IsValidValueName(std::string_view name) {
    if (name.size() > kMaxValueNameLength)
        return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace thermpos::registry
