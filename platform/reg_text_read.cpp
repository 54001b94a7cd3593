// Reading the `.reg` text form into sections: all or nothing, every error with its file
// and line. Files exported by Windows carry string types in UTF-16LE, which becomes the
// tree's narrow text here (reg_text_encoding.h).
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_text.h"
#include "platform/reg_text_encoding.h"

namespace thermpos::platform::registry::detail {
namespace {

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
    if (EqualNoCase(root, "HKEY_CLASSES_ROOT") || EqualNoCase(root, "HKCR")) {
        section.path = {"SOFTWARE", "Classes"};
    } else if (!EqualNoCase(root, "HKEY_LOCAL_MACHINE") && !EqualNoCase(root, "HKLM")) {
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
    } else if (StartsWithNoCase(rest, "dword:")) {
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
    } else if (StartsWithNoCase(rest, "hex")) {
        std::string_view afterHex = rest.substr(3);
        DWORD type = 3;
        if (!afterHex.empty() && afterHex.front() == '(') {
            const std::size_t close = afterHex.find(')');
            const std::string_view digits = close == std::string_view::npos
                                                ? std::string_view{}
                                                : afterHex.substr(1, close - 1);
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
        if (!ParseHexList(afterHex.substr(1), utf16 ? 2 * kMaxValueSize : kMaxValueSize, lineNo,
                          lines, index, &value.data))
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

}  // namespace

bool ParseRegFile(std::string_view bytes, const std::string& fileName,
                  std::vector<ParsedSection>* sections, std::string* error) {
    sections->clear();
    Parser parser(fileName, sections, error);
    if (parser.Run(bytes))
        return true;
    sections->clear();
    return false;
}

}  // namespace thermpos::platform::registry::detail
