// `thermpos reg`: the registry console tool, with the command syntax and query output of
// the Windows one so that instructions written for Windows work unchanged.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/nocase.h"
#include "platform/process.h"
#include "platform/reg_limits.h"
#include "platform/registry.h"
#include "platform/regkey.h"
#include "tools/command.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "reg";
constexpr char kSuccess[] = "The operation completed successfully.";

constexpr char kUsage[] =
    "usage: thermpos reg OPERATION [ARGS]\n"
    "\n"
    "  query  KEY [/v NAME | /ve] [/s]\n"
    "  add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  import FILE\n"
    "  export KEY FILE|- [/y] [--utf8]   (a regular file, or - for standard output)\n"
    "\n"
    "KEY is HKLM\\SUBKEY or HKEY_LOCAL_MACHINE\\SUBKEY (HKCR is HKLM\\SOFTWARE\\Classes).\n"
    "TYPE is REG_SZ (default), REG_DWORD, REG_EXPAND_SZ, REG_MULTI_SZ, REG_BINARY or REG_NONE.\n"
    "Switches may start with / or -, in any letter case. /f and /y answer yes to prompts.\n"
    "export writes what Windows' regedit imports (UTF-16LE with a byte-order mark, CRLF);\n"
    "--utf8 writes UTF-8 with LF instead, as the hive file is kept. import reads both.\n";

struct KeyArg {
    std::string display;  // "HKEY_LOCAL_MACHINE\\..." as printed
    std::string sub;      // below HKEY_LOCAL_MACHINE
};

bool SwitchIs(const std::string& arg, const char* name) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-'))
        return false;
    const std::string rest = arg.substr(1);
    std::size_t i = 0;
    for (; name[i] && i < rest.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(rest[i])) != name[i])
            return false;
    }
    return !name[i] && i == rest.size();
}

bool ParseKey(const std::string& text, KeyArg* key) {
    const std::size_t slash = text.find('\\');
    std::string root = text.substr(0, slash);
    for (auto& c : root)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string rest = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    while (!rest.empty() && rest.back() == '\\')
        rest.pop_back();
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
        key->sub = rest;
    } else if (root == "HKCR" || root == "HKEY_CLASSES_ROOT") {
        key->sub = rest.empty() ? "SOFTWARE\\Classes" : "SOFTWARE\\Classes\\" + rest;
    } else {
        return false;
    }
    key->display = key->sub.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + key->sub;
    return true;
}

std::string Describe(LONG r) {
    switch (r) {
        case ERROR_FILE_NOT_FOUND:
            return "The system was unable to find the specified registry key or value.";
        case ERROR_ACCESS_DENIED: {
            // The store says why when it was the hive's owner or mode.
            const std::string why = platform::registry::LastError();
            return why.empty() ? "Access is denied." : "Access is denied: " + why;
        }
        case ERROR_INVALID_PARAMETER:
            return "Invalid key or value name.";
        default: {
            std::string text = platform::registry::LastError();
            if (text.empty())
                text = "registry error " + std::to_string(r);
            return text;
        }
    }
}

// Asks on the terminal; without one (input from a pipe or a file) or at end of input the
// answer is no: a script's "yes" is /f, not a line of input.
bool Confirm(const std::string& question) {
    std::fprintf(stdout, "%s (Yes/No)? ", question.c_str());
    if (!platform::StandardInputIsTerminal()) {
        std::fprintf(stdout, "No (not a terminal)\n");
        std::fflush(stdout);
        return false;
    }
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

const char* TypeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        default:
            return nullptr;
    }
}

std::string FormatData(DWORD type, const std::vector<BYTE>& data) {
    std::string out;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        for (BYTE b : data) {
            if (!b)
                break;
            out.push_back(static_cast<char>(b));
        }
    } else if (type == REG_MULTI_SZ) {
        // Items separated by the two characters \0, as the Windows tool shows them.
        std::vector<std::string> items(1);
        for (BYTE b : data) {
            if (b)
                items.back().push_back(static_cast<char>(b));
            else
                items.emplace_back();
        }
        while (!items.empty() && items.back().empty())
            items.pop_back();
        for (std::size_t i = 0; i < items.size(); ++i)
            out += (i ? "\\0" : "") + items[i];
    } else if (type == REG_DWORD && data.size() == 4) {
        char buf[16];
        std::snprintf(
            buf, sizeof buf, "0x%x",
            data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<unsigned>(data[3]) << 24));
        out = buf;
    } else {
        char buf[4];
        for (BYTE b : data) {
            std::snprintf(buf, sizeof buf, "%02X", b);
            out += buf;
        }
    }
    return out;
}

void PrintValue(const std::string& name, DWORD type, const std::vector<BYTE>& data) {
    const char* typeName = TypeName(type);
    std::string typeText = typeName ? typeName : "REG_0x" + std::to_string(type);
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), typeText.c_str(),
                FormatData(type, data).c_str());
}

struct Value {
    std::string name;
    DWORD type = 0;
    std::vector<BYTE> data;
};

// Reads every value of an open key in order.
LONG ListValues(HKEY key, std::vector<Value>* values) {
    values->clear();
    for (DWORD i = 0;; ++i) {
        std::vector<char> name(16384);
        DWORD cch = static_cast<DWORD>(name.size());
        DWORD cb = 0;
        DWORD type = 0;
        LONG r = RegEnumValueA(key, i, name.data(), &cch, nullptr, &type, nullptr, &cb);
        if (r == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (r != ERROR_SUCCESS)
            return r;
        Value v;
        v.name.assign(name.data(), cch);
        v.data.resize(cb);
        r = RegQueryValueExA(key, v.name.c_str(), nullptr, &v.type, v.data.data(), &cb);
        if (r != ERROR_SUCCESS)
            return r;
        v.data.resize(cb);
        values->push_back(std::move(v));
    }
}

LONG ListSubkeys(HKEY key, std::vector<std::string>* names) {
    names->clear();
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD cch = sizeof name;
        const LONG r = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (r != ERROR_SUCCESS)
            return r;
        names->emplace_back(name, cch);
    }
}

using KeyHandle = thermpos::platform::registry::KeyHolder;

LONG QueryKey(const std::string& display, const std::string& sub, bool recurse) {
    KeyHandle key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ, key.Out());
    if (r != ERROR_SUCCESS)
        return r;
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    if ((r = ListValues(key.Get(), &values)) != ERROR_SUCCESS ||
        (r = ListSubkeys(key.Get(), &subkeys)) != ERROR_SUCCESS)
        return r;
    std::printf("%s\n", display.c_str());
    for (const auto& v : values)
        PrintValue(v.name, v.type, v.data);
    std::printf("\n");
    for (const auto& name : subkeys) {
        const std::string childDisplay = display + "\\" + name;
        if (recurse) {
            r = QueryKey(childDisplay, sub.empty() ? name : sub + "\\" + name, true);
            if (r != ERROR_SUCCESS)
                return r;
        } else {
            std::printf("%s\n", childDisplay.c_str());
        }
    }
    return ERROR_SUCCESS;
}

struct Options {
    std::vector<std::string> positional;
    bool hasValue = false;  // /v or /ve given
    std::string valueName;
    bool allValues = false;  // /va
    bool recurse = false;    // /s (query)
    bool force = false;      // /f or /y
    std::string type = "REG_SZ";
    bool hasData = false;
    std::string data;
    std::string separator = "\\0";
    bool utf8 = false;  // --utf8 (export)
};

bool ParseOptions(const std::string& op, const std::vector<std::string>& args, Options* o,
                  std::string* error) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto next = [&](std::string* into) {
            if (i + 1 >= args.size()) {
                *error = "switch " + a + " needs an argument";
                return false;
            }
            *into = args[++i];
            return true;
        };
        if (SwitchIs(a, "v")) {
            if (o->hasValue) {
                *error = "only one of /v and /ve";
                return false;
            }
            if (!next(&o->valueName))
                return false;
            o->hasValue = true;
        } else if (SwitchIs(a, "ve")) {
            if (o->hasValue) {
                *error = "only one of /v and /ve";
                return false;
            }
            o->hasValue = true;
            o->valueName.clear();
        } else if ((a == "--utf8" || SwitchIs(a, "utf8")) && op == "export") {
            o->utf8 = true;
        } else if (SwitchIs(a, "va") && op == "delete") {
            o->allValues = true;
        } else if (SwitchIs(a, "s") && op == "query") {
            o->recurse = true;
        } else if (SwitchIs(a, "s") && op == "add") {
            if (!next(&o->separator))
                return false;
        } else if ((SwitchIs(a, "f") && (op == "add" || op == "delete")) ||
                   (SwitchIs(a, "y") && op == "export")) {
            o->force = true;
        } else if (SwitchIs(a, "t") && op == "add") {
            if (!next(&o->type))
                return false;
            for (auto& c : o->type)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        } else if (SwitchIs(a, "d") && op == "add") {
            if (!next(&o->data))
                return false;
            o->hasData = true;
        } else if (a.size() > 1 && a[0] == '/' && a.find('/', 1) == std::string::npos &&
                   a.find('.') == std::string::npos) {
            // "/x" looks like a switch, "/tmp/file.reg" like a path.
            *error = "invalid switch " + a;
            return false;
        } else {
            o->positional.push_back(a);
        }
    }
    if (o->allValues && o->hasValue) {
        *error = "only one of /v, /ve and /va";
        return false;
    }
    return true;
}

// Turns /t and /d into registry data. REG_DWORD takes decimal or 0x hexadecimal.
bool EncodeData(const Options& o, DWORD* type, std::vector<BYTE>* data, std::string* error) {
    const std::string& d = o.data;
    if (o.type == "REG_SZ" || o.type == "REG_EXPAND_SZ") {
        *type = o.type == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        data->assign(d.begin(), d.end());
        data->push_back(0);
    } else if (o.type == "REG_MULTI_SZ") {
        *type = REG_MULTI_SZ;
        data->clear();
        std::size_t start = 0;
        while (!d.empty()) {
            const std::size_t at =
                o.separator.empty() ? std::string::npos : d.find(o.separator, start);
            const std::string item =
                d.substr(start, at == std::string::npos ? std::string::npos : at - start);
            data->insert(data->end(), item.begin(), item.end());
            data->push_back(0);
            if (at == std::string::npos)
                break;
            start = at + o.separator.size();
        }
        data->push_back(0);
    } else if (o.type == "REG_DWORD") {
        *type = REG_DWORD;
        if (d.empty() && !o.hasData) {
            *data = {0, 0, 0, 0};
            return true;
        }
        errno = 0;
        char* end = nullptr;
        const bool hex = d.size() > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X');
        const unsigned long long v = std::strtoull(d.c_str(), &end, hex ? 16 : 10);
        if (d.empty() || d[0] == '-' || d[0] == '+' || errno || *end || v > 0xFFFFFFFFull) {
            *error = "invalid REG_DWORD data \"" + d + "\"";
            return false;
        }
        *data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                 static_cast<BYTE>(v >> 24)};
    } else if (o.type == "REG_BINARY" || o.type == "REG_NONE") {
        *type = o.type == "REG_BINARY" ? REG_BINARY : REG_NONE;
        data->clear();
        if (d.size() % 2) {
            *error = "binary data needs an even number of hex digits";
            return false;
        }
        for (std::size_t i = 0; i < d.size(); i += 2) {
            const std::string pair = d.substr(i, 2);
            if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
                !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
                *error = "invalid hex digits \"" + pair + "\"";
                return false;
            }
            data->push_back(static_cast<BYTE>(std::strtoul(pair.c_str(), nullptr, 16)));
        }
    } else {
        *error = "unsupported type " + o.type;
        return false;
    }
    return true;
}

int Query(const KeyArg& key, const Options& o) {
    if (!o.hasValue) {
        // Open once first so that a failure prints nothing on stdout.
        KeyHandle probe;
        LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.sub.c_str(), 0, KEY_READ, probe.Out());
        if (r != ERROR_SUCCESS)
            return Fail(kName, Describe(r));
        std::printf("\n");
        r = QueryKey(key.display, key.sub, o.recurse);
        return r == ERROR_SUCCESS ? 0 : Fail(kName, Describe(r));
    }
    KeyHandle handle;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.sub.c_str(), 0, KEY_READ, handle.Out());
    DWORD type = 0;
    DWORD cb = 0;
    std::vector<BYTE> data;
    if (r == ERROR_SUCCESS)
        r = RegQueryValueExA(handle.Get(), o.valueName.c_str(), nullptr, &type, nullptr, &cb);
    if (r == ERROR_SUCCESS) {
        data.resize(cb);
        r = RegQueryValueExA(handle.Get(), o.valueName.c_str(), nullptr, &type, data.data(), &cb);
        data.resize(cb);
    }
    if (r != ERROR_SUCCESS)
        return Fail(kName, Describe(r));
    // Show the name as stored, whatever letter case the caller typed.
    std::string shown = o.valueName;
    std::vector<Value> values;
    if (ListValues(handle.Get(), &values) == ERROR_SUCCESS) {
        for (const auto& v : values) {
            if (platform::EqualNoCase(v.name, shown))
                shown = v.name;
        }
    }
    std::printf("\n%s\n", key.display.c_str());
    PrintValue(shown, type, data);
    std::printf("\n");
    return 0;
}

// The first key of `sub` ("A\\B\\C") that does not exist yet, or "" when all do (or when
// the path is one the store refuses anyway).
std::string FirstMissingKey(const std::string& sub) {
    for (std::size_t end = 0; end != std::string::npos;) {
        end = sub.find('\\', end + 1);
        const std::string prefix = sub.substr(0, end);
        KeyHandle probe;
        const LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ, probe.Out());
        if (r == ERROR_FILE_NOT_FOUND)
            return prefix;
        if (r != ERROR_SUCCESS)
            return std::string();
    }
    return std::string();
}

bool KeyIsEmpty(const std::string& sub) {
    KeyHandle key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return false;
    char name[256];
    DWORD cch = sizeof name;
    if (RegEnumKeyExA(key.Get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_NO_MORE_ITEMS)
        return false;
    cch = sizeof name;
    return RegEnumValueA(key.Get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_NO_MORE_ITEMS;
}

// Takes back the keys an add created, from `leaf` up to `first`, as long as nothing else
// has been put in them since.
void RemoveCreatedKeys(const std::string& first, std::string leaf) {
    while (leaf.size() >= first.size() && KeyIsEmpty(leaf) &&
           RegDeleteKeyA(HKEY_LOCAL_MACHINE, leaf.c_str()) == ERROR_SUCCESS &&
           leaf.size() > first.size())
        leaf.resize(leaf.rfind('\\'));
}

int Add(const KeyArg& key, const Options& o) {
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
    std::string error;
    if (!EncodeData(o, &type, &data, &error))
        return Fail(kName, error);
    if (key.sub.empty())
        return Fail(kName, "Invalid key name.");
    const bool setValue = o.hasValue || o.hasData;
    const std::string name = o.hasValue ? o.valueName : std::string();
    // What the store would refuse is refused before the key is created, so that a refused
    // add leaves nothing behind.
    if (setValue && !platform::registry::IsValidValueName(name))
        return Fail(kName, Describe(ERROR_INVALID_PARAMETER));
    if (setValue && data.size() > platform::registry::kMaxValueSize)
        return Fail(kName, "The data is larger than a registry value can hold (" +
                               std::to_string(platform::registry::kMaxValueSize) + " bytes).");
    const std::string firstMissing = setValue ? FirstMissingKey(key.sub) : std::string();
    KeyHandle handle;
    DWORD disposition = 0;
    LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, handle.Out(), &disposition);
    if (r != ERROR_SUCCESS)
        return Fail(kName, Describe(r));
    if (setValue) {
        const bool exists = RegQueryValueExA(handle.Get(), name.c_str(), nullptr, nullptr, nullptr,
                                             nullptr) == ERROR_SUCCESS;
        if (exists && !o.force &&
            !Confirm("Value " + (name.empty() ? std::string("(Default)") : name) +
                     " exists, overwrite")) {
            std::printf("The operation was cancelled by the user.\n");
            return 1;
        }
        r = RegSetValueExA(handle.Get(), name.c_str(), 0, type, data.data(),
                           static_cast<DWORD>(data.size()));
        if (r != ERROR_SUCCESS) {
            const std::string message = Describe(r);  // before the clean-up overwrites it
            handle.Reset();
            if (disposition == REG_CREATED_NEW_KEY && !firstMissing.empty())
                RemoveCreatedKeys(firstMissing, key.sub);
            return Fail(kName, message);
        }
    }
    std::printf("%s\n", kSuccess);
    return 0;
}

int Delete(const KeyArg& key, const Options& o) {
    if (key.sub.empty())
        return Fail(kName, "Access is denied.");
    KeyHandle handle;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.sub.c_str(), 0, KEY_ALL_ACCESS, handle.Out());
    if (r != ERROR_SUCCESS)
        return Fail(kName, Describe(r));
    if (o.hasValue) {
        if (RegQueryValueExA(handle.Get(), o.valueName.c_str(), nullptr, nullptr, nullptr,
                             nullptr) != ERROR_SUCCESS)
            return Fail(kName, Describe(ERROR_FILE_NOT_FOUND));
        const std::string shown = o.valueName.empty() ? "(Default)" : o.valueName;
        if (!o.force && !Confirm("Delete the registry value " + shown)) {
            std::printf("The operation was cancelled by the user.\n");
            return 1;
        }
        r = RegDeleteValueA(handle.Get(), o.valueName.c_str());
    } else if (o.allValues) {
        if (!o.force && !Confirm("Delete all values under the registry key " + key.display)) {
            std::printf("The operation was cancelled by the user.\n");
            return 1;
        }
        std::vector<Value> values;
        r = ListValues(handle.Get(), &values);
        for (std::size_t i = 0; r == ERROR_SUCCESS && i < values.size(); ++i)
            r = RegDeleteValueA(handle.Get(), values[i].name.c_str());
    } else {
        if (!o.force && !Confirm("Permanently delete the registry key " + key.display)) {
            std::printf("The operation was cancelled by the user.\n");
            return 1;
        }
        r = RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.sub.c_str());
    }
    if (r != ERROR_SUCCESS)
        return Fail(kName, Describe(r));
    std::printf("%s\n", kSuccess);
    return 0;
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        // The hive file ($THERMPOS_REGISTRY, default /etc/thermpos/registry.reg), or the
        // system's own registry where there is one.
        std::printf("The registry used: %s\n", platform::registry::HivePath().c_str());
        return 0;
    }
    if (args.empty())
        return Fail(kName, "missing operation (query, add, delete, import, export); see --help");
    std::string op = args[0];
    for (auto& c : op)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (op != "query" && op != "add" && op != "delete" && op != "import" && op != "export")
        return Fail(kName, "unknown operation " + args[0] + "; see --help");
    Options o;
    std::string error;
    if (!ParseOptions(op, args, &o, &error))
        return Fail(kName, error);

    if (op == "import") {
        if (o.positional.size() != 1)
            return Fail(kName, "usage: thermpos reg import FILE");
        const LONG r = platform::registry::ImportFile(o.positional[0], &error);
        if (r != ERROR_SUCCESS)
            return Fail(kName, error.empty() ? Describe(r) : error);
        std::printf("%s\n", kSuccess);
        return 0;
    }

    const std::size_t wanted = op == "export" ? 2 : 1;
    if (o.positional.size() != wanted)
        return Fail(kName, op == "export" ? "usage: thermpos reg export KEY FILE [/y] [--utf8]"
                                          : "usage: thermpos reg " + op + " KEY ...; see --help");
    KeyArg key;
    if (!ParseKey(o.positional[0], &key))
        return Fail(kName, "Invalid key name \"" + o.positional[0] +
                               "\" (only HKLM / HKEY_LOCAL_MACHINE is kept here).");
    if (op == "query")
        return Query(key, o);
    if (op == "add")
        return Add(key, o);
    if (op == "delete")
        return Delete(key, o);

    const std::string& file = o.positional[1];
    std::error_code ec;
    if (file != "-" && !o.force && std::filesystem::is_regular_file(file, ec) &&
        !Confirm("File " + file + " already exists. Overwrite")) {
        std::printf("The operation was cancelled by the user.\n");
        return 1;
    }
    const LONG r =
        platform::registry::ExportFile(key.display, file, &error,
                                       o.utf8 ? platform::registry::RegFileForm::kUtf8
                                              : platform::registry::RegFileForm::kWindows);
    if (r != ERROR_SUCCESS)
        return Fail(kName, r == ERROR_FILE_NOT_FOUND ? Describe(r) : error);
    if (file != "-")
        std::printf("%s\n", kSuccess);
    return 0;
}

const ToolCommand kCommand(kName, "query and change the registry (reg.exe syntax)", Run);

}  // namespace
}  // namespace thermpos::tool
