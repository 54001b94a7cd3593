// Writing the tree as `.reg` text: strings quoted where they read back identically, other
// data as hex lists (string types in UTF-16LE), and the hive checked against the limits
// the reader enforces, so what is saved always reads back.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/reg_text.h"
#include "platform/reg_text_encoding.h"

namespace thermpos::platform::registry::detail {
namespace {

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
                      static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                            (static_cast<DWORD>(v.data[3]) << 24)));
        out->append(buf);
    } else {
        if (v.type == 3) {
            out->append("hex:");
        } else {
            char buf[24];
            std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
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
}  // namespace thermpos::platform::registry::detail
