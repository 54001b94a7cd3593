// The registry on Windows is the system's own (advapi32): what remains here are the
// helpers the tools and tests use beside the API, and the regedit file import and export
// over the real registry.
//
// Files are parsed and written by the same code as the hive file (reg_text.h); between the
// parsed tree and the registry everything goes through the wide API, so names and string
// data keep every character the file or the registry holds, whatever the ANSI code page.
//
// Threads: none started here. Any thread may call in; each call keeps its own state.
#include "platform/registry.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/nocase.h"
#include "platform/reg_file_form.h"
#include "platform/reg_limits.h"
#include "platform/reg_text.h"
#include "platform/reg_text_encoding.h"

namespace thermpos::platform::registry {
namespace {

namespace detail = thermpos::platform::registry::detail;
using detail::Node;
using detail::Value;

thread_local std::string t_lastError;

std::wstring Wide(std::string_view narrow) {
    const std::vector<BYTE> units = detail::NarrowToUtf16le(narrow);
    std::wstring out(units.size() / 2, L'\0');
    std::memcpy(out.data(), units.data(), out.size() * 2);
    return out;
}

std::string Narrow(const wchar_t* text, std::size_t count) {
    return detail::Utf16leToNarrow(reinterpret_cast<const BYTE*>(text), count * 2);
}

std::wstring WidePath(const std::vector<std::string>& names) {
    std::wstring out;
    for (const auto& name : names) {
        if (!out.empty())
            out += L'\\';
        out += Wide(name);
    }
    return out;
}

class WideKey {
  public:
    WideKey() = default;
    ~WideKey() {
        if (key_)
            RegCloseKey(key_);
    }
    WideKey(const WideKey&) = delete;
    WideKey& operator=(const WideKey&) = delete;
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// The tree's data of a value as the wide API takes it: string types in UTF-16.
std::vector<BYTE> ToRegistryData(const detail::ParsedValue& v) {
    if (!detail::IsStringType(v.type))
        return v.data;
    return detail::NarrowToUtf16le(
        std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
}

// And back. An odd byte count (raw data someone stored under a string type) cannot be
// UTF-16: the last byte is kept as the low half of one more unit.
std::vector<BYTE> FromRegistryData(DWORD type, std::vector<BYTE> data) {
    if (!detail::IsStringType(type))
        return data;
    if (data.size() % 2)
        data.push_back(0);
    const std::string narrow = detail::Utf16leToNarrow(data.data(), data.size());
    return std::vector<BYTE>(narrow.begin(), narrow.end());
}

LONG Fail(LONG r, const std::string& message, std::string* error) {
    t_lastError = message;
    if (error)
        *error = message;
    return r;
}

std::string Describe(LONG r) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(r), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n ? Narrow(text, n) : std::string();
    if (text)
        LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(r) : out + " (" + std::to_string(r) + ")";
}

std::string KeyText(const std::vector<std::string>& path) {
    std::string out = "HKEY_LOCAL_MACHINE";
    for (const auto& name : path)
        out += "\\" + name;
    return out;
}

LONG ApplyToRegistry(const std::vector<detail::ParsedSection>& sections, std::string* message) {
    for (const auto& section : sections) {
        const std::wstring path = WidePath(section.path);
        if (section.remove) {
            const LONG r = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
            if (r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND) {
                // The tree's values are gone, the key itself may still be there.
                const LONG d = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
                if (d == ERROR_SUCCESS || d == ERROR_FILE_NOT_FOUND)
                    continue;
                *message = KeyText(section.path) + ": " + Describe(d);
                return d;
            }
            *message = KeyText(section.path) + ": " + Describe(r);
            return r;
        }
        WideKey key;
        LONG r =
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.Out(), nullptr);
        if (r != ERROR_SUCCESS) {
            *message = KeyText(section.path) + ": " + Describe(r);
            return r;
        }
        for (const auto& v : section.values) {
            const std::wstring name = Wide(v.name);
            if (v.remove) {
                r = RegDeleteValueW(key.Get(), name.c_str());
                if (r == ERROR_FILE_NOT_FOUND)
                    r = ERROR_SUCCESS;
            } else {
                const std::vector<BYTE> data = ToRegistryData(v);
                r = RegSetValueExW(key.Get(), name.c_str(), 0, v.type, data.data(),
                                   static_cast<DWORD>(data.size()));
            }
            if (r != ERROR_SUCCESS) {
                *message = KeyText(section.path) + ", value \"" + v.name + "\": " + Describe(r);
                return r;
            }
        }
    }
    return ERROR_SUCCESS;
}

// Reads `key` and everything below it into `node`, in the order the registry enumerates.
LONG ReadTree(HKEY key, std::size_t depth, std::size_t* bytes, Node* node) {
    if (depth > kMaxKeyDepth)
        return ERROR_INVALID_DATA;
    DWORD subkeys = 0, maxSubkeyLen = 0, values = 0, maxValueNameLen = 0, maxValueLen = 0;
    LONG r = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &maxSubkeyLen, nullptr,
                              &values, &maxValueNameLen, &maxValueLen, nullptr, nullptr);
    if (r != ERROR_SUCCESS)
        return r;
    std::vector<wchar_t> name;
    std::vector<BYTE> data;
    for (DWORD i = 0;; ++i) {
        // Sized from the key's figures, and grown when a value changed since; whatever
        // another program stored there, never past the limits (a longer value ends the
        // read with ERROR_MORE_DATA below instead of a huge allocation).
        name.resize(std::max<std::size_t>(
            name.size(), std::min<std::size_t>(maxValueNameLen, kMaxValueNameLength * 2) + 2));
        data.resize(std::max<std::size_t>(
            data.size(), std::min<std::size_t>(maxValueLen, kMaxValueSize * 2) + 2));
        DWORD cch = static_cast<DWORD>(name.size());
        DWORD cb = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        r = RegEnumValueW(key, i, name.data(), &cch, nullptr, &type, data.data(), &cb);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r == ERROR_MORE_DATA && name.size() <= kMaxValueNameLength + 2 &&
            data.size() <= kMaxValueSize * 2) {
            maxValueNameLen = static_cast<DWORD>(name.size() * 2);
            maxValueLen = std::max<DWORD>(cb, static_cast<DWORD>(data.size() * 2));
            --i;
            continue;
        }
        if (r != ERROR_SUCCESS)
            return r;
        *bytes += cb + cch;
        if (*bytes > kMaxFileSize)
            return ERROR_FILE_TOO_LARGE;
        node->values.push_back(
            Value{Narrow(name.data(), cch), type,
                  FromRegistryData(type, std::vector<BYTE>(data.begin(), data.begin() + cb))});
    }
    name.assign(std::max<DWORD>(maxSubkeyLen, kMaxKeyNameLength) + 2, L'\0');
    for (DWORD i = 0;; ++i) {
        DWORD cch = static_cast<DWORD>(name.size());
        r = RegEnumKeyExW(key, i, name.data(), &cch, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        if (r != ERROR_SUCCESS)
            return r;
        WideKey child;
        r = RegOpenKeyExW(key, name.data(), 0, KEY_READ, child.Out());
        if (r != ERROR_SUCCESS)
            return r;
        auto sub = std::make_unique<Node>();
        sub->name = Narrow(name.data(), cch);
        if ((r = ReadTree(child.Get(), depth + 1, bytes, sub.get())) != ERROR_SUCCESS)
            return r;
        node->subkeys.push_back(std::move(sub));
    }
    return ERROR_SUCCESS;
}

bool WriteAll(HANDLE handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(handle, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

}  // namespace

std::string HivePath() {
    return "HKEY_LOCAL_MACHINE";
}

// The system keeps the count; this process does not.
std::size_t OpenHandleCount() {
    return 0;
}

std::string LastError() {
    return t_lastError;
}

LONG ImportFile(const std::string& path, std::string* error) {
    t_lastError.clear();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return Fail(ERROR_FILE_NOT_FOUND, path + ": no such file", error);
    // A device or a pipe is no registry file, and reading one may never end.
    if (!std::filesystem::is_regular_file(path, ec))
        return Fail(ERROR_ACCESS_DENIED, path + ": not a regular file", error);
    const auto size = std::filesystem::file_size(path, ec);
    if (ec)
        return Fail(ERROR_READ_FAULT, path + ": " + ec.message(), error);
    if (size > kMaxFileSize)
        return Fail(ERROR_FILE_TOO_LARGE,
                    path + ": larger than " + std::to_string(kMaxFileSize) + " bytes", error);
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(size));
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        return Fail(ERROR_READ_FAULT, path + ": cannot read", error);
    if (bytes.empty())
        return Fail(ERROR_BADDB, path + ":1: empty file", error);
    std::vector<detail::ParsedSection> sections;
    std::string message;
    if (!detail::ParseRegFile(bytes, path, &sections, &message))
        return Fail(ERROR_BADDB, message, error);
    // The file is checked whole before anything is written; a write the system refuses
    // (rights, a key in use) stops the import there, as the system's own import does.
    const LONG r = ApplyToRegistry(sections, &message);
    if (r != ERROR_SUCCESS)
        return Fail(r, path + ": " + message, error);
    return ERROR_SUCCESS;
}

LONG ExportFile(const std::string& keyPath, const std::string& path, std::string* error,
                RegFileForm form) {
    t_lastError.clear();
    const std::size_t slash = keyPath.find('\\');
    const std::string_view root = std::string_view(keyPath).substr(0, slash);
    std::vector<std::string> full;
    if (EqualNoCase(root, "HKEY_CLASSES_ROOT") || EqualNoCase(root, "HKCR"))
        full = {"SOFTWARE", "Classes"};
    else if (!EqualNoCase(root, "HKEY_LOCAL_MACHINE") && !EqualNoCase(root, "HKLM"))
        return Fail(ERROR_INVALID_PARAMETER, "key must start with HKEY_LOCAL_MACHINE: " + keyPath,
                    error);
    std::vector<std::string> names;
    if (slash != std::string::npos &&
        !detail::SplitPath(std::string_view(keyPath).substr(slash + 1), &names))
        return Fail(ERROR_INVALID_PARAMETER, "bad key path: " + keyPath, error);
    full.insert(full.end(), names.begin(), names.end());

    WideKey key;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, WidePath(full).c_str(), 0, KEY_READ, key.Out());
    if (r == ERROR_FILE_NOT_FOUND)
        return Fail(r, "no such key: " + keyPath, error);
    if (r != ERROR_SUCCESS)
        return Fail(r, keyPath + ": " + Describe(r), error);
    Node node;
    std::size_t bytes = 0;
    if ((r = ReadTree(key.Get(), full.size(), &bytes, &node)) != ERROR_SUCCESS)
        return Fail(r, keyPath + ": " + Describe(r), error);
    // The key path as it was asked for, as the system's editor writes it.
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    detail::WriteKeyText(node, full, &text);
    text = detail::EncodeRegFile(text, form);

    if (path == "-") {
        // Straight to the handle: the C runtime's text mode would turn every LF into CRLF.
        std::fflush(stdout);
        if (!WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), text))
            return Fail(ERROR_CANTWRITE, "standard output: " + Describe(GetLastError()), error);
        return ERROR_SUCCESS;
    }
    const std::string notRegular =
        path +
        ": not a regular file (export writes to a regular file, or to - for standard output)";
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
        return Fail(ERROR_ACCESS_DENIED, notRegular, error);
    // Opened without truncating, and checked again, in case the name was swapped in between:
    // a device name (COM1, NUL) opens as one whatever the folder holds.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        return Fail(err == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_CANTWRITE,
                    path + ": " + Describe(err), error);
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return Fail(ERROR_ACCESS_DENIED, notRegular, error);
    }
    const bool ok = SetEndOfFile(file) && WriteAll(file, text);
    const DWORD err = GetLastError();
    if (!CloseHandle(file) || !ok)
        return Fail(ERROR_CANTWRITE, path + ": " + Describe(ok ? GetLastError() : err), error);
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform::registry
