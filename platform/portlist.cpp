// Port list and USB printer scan. See portlist.h for the contract. What the system
// itself lists besides the registry is portlist_posix.cpp's (device nodes) or
// portlist_win32.cpp's (the spooler, SERIALCOMM, the USB printer interfaces).
//
// Threads: none started here; no locks of its own.
#include "platform/portlist.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string_view>

#include "platform/devfile.h"
#include "platform/module.h"
#include "platform/netport.h"
#include "platform/portlist_system.h"
#include "platform/portname.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::platform::portlist {
namespace {

namespace fs = std::filesystem;

using regpath::kPorts;
using regpath::kUsb;
using regpath::kUsbPrint;
// The device interface class of USB printers, as it ends every symbolic name.
constexpr const char* kUsbPrintInterface = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr std::size_t kMaxName = 255;

using Key = thermpos::platform::registry::KeyHolder;

std::string Upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

using detail::ReadAttribute;
using detail::TrailingNumber;

std::string WithoutColon(std::string_view name) {
    return std::string(portname::WithoutColon(name));
}

bool IsSymbolicName(std::string_view name) {
    return name.find_first_of("#\\{") != std::string_view::npos;
}

// Spooler form: serial and parallel names end in a colon.
std::string SpoolerName(std::string_view stored) {
    std::string bare = WithoutColon(stored);
    if (portname::PortNumber(bare) != 0)
        return Upper(bare) + ":";
    return std::string(stored);
}

int KindRank(std::string_view name) {
    switch (portname::KindOf(name)) {
        case portname::PortKind::Serial:
            return 0;
        case portname::PortKind::Parallel:
            return 1;
        case portname::PortKind::Usb:
            return 2;
        default:
            return 3;
    }
}

std::string ReadString(HKEY key, const char* name) {
    char data[kMaxName + 2] = {};
    DWORD size = kMaxName + 1;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return std::string(data, strnlen(data, std::min<std::size_t>(size, kMaxName + 1)));
}

LONG WriteString(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

// Creates the key below HKEY_LOCAL_MACHINE where it is missing and sets one string in it.
LONG WriteStringAt(const std::string& keyPath, const char* name, const std::string& value) {
    Key key;
    const LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE,
                                    nullptr, key.Out(), nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    return WriteString(key.Get(), name, value);
}

// Removal takes any name the store may hold (an imported hive can carry a backslash);
// new entries must also be free of backslashes.
bool IsStoredMapName(const std::string& bare) {
    return !bare.empty() && bare.size() <= kMaxName && !portname::HasControlCharacter(bare);
}

// A port opens whatever its map entry names, and a print then writes into it: a regular
// file mapped by mistake (or by someone who wants it overwritten) would be truncated and
// filled with printer commands. So only character devices (a pty link points at one) and
// network printers are mapped; a path that does not exist yet (an adapter not plugged in)
// is accepted, and is opened as a device once it is there.
LONG WriteMapping(const std::string& name, const std::string& path, bool deviceOnly = false) {
    std::string bare = WithoutColon(name);
    if (!IsStoredMapName(bare) || bare.find('\\') != std::string::npos)
        return ERROR_INVALID_NAME;
    if (netport::IsSocketUri(path)) {
        netport::Endpoint endpoint;
        if (netport::ParseSocketUri(path, &endpoint) != ERROR_SUCCESS)
            return ERROR_BAD_PATHNAME;
        return WriteStringAt(kPorts, bare.c_str(), path);
    }
    if (!module::IsAbsolutePath(path) || path.size() > 4000)
        return ERROR_INVALID_PARAMETER;
    if (portname::HasControlCharacter(path))
        return ERROR_BAD_PATHNAME;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (deviceOnly && fs::exists(status) && status.type() != fs::file_type::character)
        return ERROR_BAD_DEVICE;
    return WriteStringAt(kPorts, bare.c_str(), path);
}

// Subkey names of key, in order; names too long for a port library buffer are skipped.
std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[kMaxName + 2];
        DWORD cch = sizeof name;
        LONG rc = RegEnumKeyExA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            break;
        names.emplace_back(name, cch);
    }
    return names;
}

// Every "PortName" under USBPRINT\<model>\<instance>\Device Parameters, by instance path.
std::vector<std::pair<std::string, std::string>> UsbPortNames() {
    std::vector<std::pair<std::string, std::string>> out;
    Key root;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUsbPrint, 0, KEY_READ, root.Out()) != ERROR_SUCCESS)
        return out;
    for (const auto& model : SubkeyNames(root.Get())) {
        Key modelKey;
        if (RegOpenKeyExA(root.Get(), model.c_str(), 0, KEY_READ, modelKey.Out()) != ERROR_SUCCESS)
            continue;
        for (const auto& instance : SubkeyNames(modelKey.Get())) {
            Key params;
            std::string sub = instance + "\\Device Parameters";
            if (RegOpenKeyExA(modelKey.Get(), sub.c_str(), 0, KEY_READ, params.Out()) !=
                ERROR_SUCCESS)
                continue;
            std::string port = ReadString(params.Get(), "PortName");
            if (!port.empty())
                out.emplace_back(model + "\\" + instance, port);
        }
    }
    return out;
}

// Characters a registry key name or symbolic name can carry without changing its meaning.
// Spaces go too, as they do from USB printer model keys.
std::string SafeName(std::string_view s) {
    std::string out;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '\\' || c == '#' || c == '&' || c == '{' || c == '}' ||
            c == '"')
            continue;
        out += c;
    }
    return out.substr(0, 128);
}

// MFG/MANUFACTURER and MDL/MODEL of an IEEE 1284 device id ("MFG:QMX;MDL:RT-K410;...").
void ParseDeviceId(std::string_view id, std::string* mfg, std::string* mdl) {
    while (!id.empty()) {
        auto end = id.find(';');
        std::string_view field = id.substr(0, end);
        id = end == std::string_view::npos ? std::string_view{} : id.substr(end + 1);
        auto colon = field.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string key = Upper(field.substr(0, colon));
        while (!key.empty() && key.front() == ' ')
            key.erase(key.begin());
        std::string_view value = field.substr(colon + 1);
        if (key == "MFG" || key == "MANUFACTURER")
            *mfg = std::string(value);
        else if (key == "MDL" || key == "MODEL")
            *mdl = std::string(value);
    }
}

bool ParseHexId(const std::string& text, unsigned* value) {
    if (text.empty() || text.size() > 4)
        return false;
    unsigned v = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        v = v * 16 +
            static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                      ? c - '0'
                                      : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *value = v;
    return true;
}

// Stable for one device across scans, so its USB instance keeps its prefix.
std::string ParentIdPrefixFor(const std::string& hardwareKey, const std::string& instance) {
    std::uint32_t h = 2166136261u;
    for (char c : Upper(hardwareKey + "\\" + instance)) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "7&%08x&0", h);
    return text;
}

std::string UsbPortName(unsigned n) {
    char text[16];
    std::snprintf(text, sizeof text, "USB%03u", n);
    return text;
}

LONG EnterUsbPrinter(UsbPrinter* p) {
    // Keep the port name an earlier scan gave this device; else take the lowest free one.
    std::set<unsigned> used;
    for (const auto& [path, port] : UsbPortNames()) {
        std::string model = path.substr(0, path.find('\\'));
        std::string instance = path.substr(path.find('\\') + 1);
        if (Upper(model) == Upper(p->modelKey) && instance.rfind(p->parentIdPrefix + "&", 0) == 0)
            p->portName = port;
        if (portname::KindOf(port) == portname::PortKind::Usb)
            used.insert(static_cast<unsigned>(TrailingNumber(port, 3)));
    }
    if (p->portName.empty()) {
        unsigned n = 1;
        while (used.count(n))
            ++n;
        p->portName = UsbPortName(n);
    }
    p->printInstance = p->parentIdPrefix + "&" + p->portName;
    p->symbolicName = "\\??\\USB#" + p->hardwareKey + "#" + p->instance + "#" + kUsbPrintInterface;

    std::string path = std::string(kUsbPrint) + "\\" + p->modelKey + "\\" + p->printInstance +
                       "\\Device Parameters";
    LONG rc = WriteStringAt(path, "PortName", p->portName);
    if (rc != ERROR_SUCCESS)
        return rc;

    path = std::string(kUsb) + "\\" + p->hardwareKey + "\\" + p->instance;
    rc = WriteStringAt(path, "ParentIdPrefix", p->parentIdPrefix);
    if (rc != ERROR_SUCCESS)
        return rc;
    path += "\\Device Parameters";
    rc = WriteStringAt(path, "SymbolicName", p->symbolicName);
    if (rc != ERROR_SUCCESS)
        return rc;

    // The port library opens "\\.\<rest>"; the device-file layer looks <rest> up here.
    // The node was found by the scan, so it is not checked like a mapping typed in.
    return WriteMapping(p->symbolicName.substr(4), p->node);
}

}  // namespace

namespace detail {

unsigned long TrailingNumber(std::string_view s, std::size_t from) {
    if (s.size() <= from || s.size() - from > 6)
        return 0;
    unsigned long v = 0;
    for (char c : s.substr(from)) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return v;
}

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return {};
    std::string text(kMaxAttribute, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

}  // namespace detail

LONG ReadRegistryPorts(RegistryPorts* out) {
    if (!out)
        return ERROR_INVALID_PARAMETER;
    *out = {};
    Key ports;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPorts, 0, KEY_READ, ports.Out());
    if (rc == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char name[kMaxName + 2];
            DWORD cch = sizeof name;
            char data[4096] = {};
            DWORD size = sizeof data - 1;
            DWORD type = REG_NONE;
            rc = RegEnumValueA(ports.Get(), i, name, &cch, nullptr, &type,
                               reinterpret_cast<BYTE*>(data), &size);
            if (rc == ERROR_MORE_DATA)
                continue;
            if (rc != ERROR_SUCCESS)
                break;
            if (type != REG_SZ && type != REG_EXPAND_SZ)
                continue;
            out->map.push_back(
                {std::string(name, cch),
                 std::string(data, strnlen(data, std::min<std::size_t>(size, sizeof data - 1)))});
        }
        if (rc != ERROR_NO_MORE_ITEMS)
            return rc;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        return rc;
    }
    for (auto& [path, port] : UsbPortNames())
        out->usbPortNames.push_back(std::move(port));
    return ERROR_SUCCESS;
}

std::vector<std::string> ListPorts(const RegistryPorts& registry, const Roots& roots,
                                   UsbHardwareFilter keepUsb) {
    std::vector<std::string> names;
    std::set<std::string> seen;  // upper case, no colon
    auto add = [&](const std::string& name) {
        if (name.empty() || name.size() > kMaxName)
            return;
        if (seen.insert(Upper(WithoutColon(name))).second)
            names.push_back(name);
    };
    std::set<std::string> mapped;
    for (const auto& m : registry.map) {
        if (IsSymbolicName(m.name))
            continue;
        mapped.insert(Upper(WithoutColon(m.name)));
        add(SpoolerName(m.name));
    }

    for (const auto& name : detail::SystemPortNames(roots, keepUsb)) {
        if (mapped.count(Upper(WithoutColon(name))))
            continue;  // the map decides where this name goes
        add(SpoolerName(name));
    }
    for (const auto& port : registry.usbPortNames)
        add(port);

    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        int ra = KindRank(a), rb = KindRank(b);
        if (ra != rb)
            return ra < rb;
        std::string na = WithoutColon(a), nb = WithoutColon(b);
        unsigned long xa = TrailingNumber(na, 3), xb = TrailingNumber(nb, 3);
        if (ra < 3 && xa != xb)
            return xa < xb;
        return Upper(na) < Upper(nb);
    });
    return names;
}

std::vector<std::string> UnreachedNodes(const RegistryPorts& registry, const Roots& roots) {
    std::set<std::string> reached;
    for (const auto& m : registry.map)
        reached.insert(fs::path(m.path).lexically_normal().string());
    std::vector<std::string> out;
    auto consider = [&](const fs::path& dir, std::initializer_list<const char*> prefixes) {
        std::error_code ec;
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            std::string file = entry.path().filename().string();
            for (const char* prefix : prefixes) {
                std::string_view p(prefix);
                if (file.size() > p.size() && file.compare(0, p.size(), p) == 0 &&
                    std::isdigit(static_cast<unsigned char>(file[p.size()])))
                    found.push_back(entry.path().lexically_normal().string());
            }
        }
        std::sort(found.begin(), found.end());
        for (auto& f : found)
            if (!reached.count(f))
                out.push_back(f);
    };
    consider(roots.dev, {"ttyUSB", "ttyACM"});
    consider(fs::path(roots.dev) / "usb", {"lp"});
    return out;
}

bool HardwareKeyOfInstanceId(std::string_view id, std::string* hardwareKey) {
    // "USB\VID_" + 4 hex digits + "&PID_" + 4 hex digits, then "\" or "&".
    constexpr std::string_view kUsbVid = "USB\\VID_";
    constexpr std::string_view kPid = "&PID_";
    const auto hex4 = [&](std::size_t at, unsigned* value) {
        if (id.size() < at + 4)
            return false;
        *value = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            const char c = id[i];
            const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : std::isxdigit(static_cast<unsigned char>(c))
                                  ? (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                                  : -1;
            if (digit < 0)
                return false;
            *value = *value * 16 + static_cast<unsigned>(digit);
        }
        return true;
    };
    unsigned vid = 0, pid = 0;
    const std::size_t pidAt = kUsbVid.size() + 4;
    if (!StartsWithNoCase(id, kUsbVid) || !hex4(kUsbVid.size(), &vid) ||
        !StartsWithNoCase(id.substr(std::min(pidAt, id.size())), kPid) ||
        !hex4(pidAt + kPid.size(), &pid))
        return false;
    const std::size_t end = pidAt + kPid.size() + 4;
    if (end < id.size() && id[end] != '\\' && id[end] != '&')
        return false;
    char key[32];
    std::snprintf(key, sizeof key, "Vid_%04X&Pid_%04X", vid, pid);
    *hardwareKey = key;
    return true;
}

LONG SetPortMapping(const std::string& name, const std::string& path) {
    return WriteMapping(name, path, true);
}

LONG RemovePortMapping(const std::string& name) {
    std::string bare = WithoutColon(name);
    if (!IsStoredMapName(bare))
        return ERROR_INVALID_NAME;
    Key ports;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPorts, 0, KEY_WRITE | KEY_READ, ports.Out());
    if (rc != ERROR_SUCCESS)
        return rc;
    return RegDeleteValueA(ports.Get(), bare.c_str());
}

LONG ScanUsbPrinters(const Roots& roots, std::vector<UsbPrinter>* found) {
    if (found)
        found->clear();
    fs::path usbmisc = fs::path(roots.sys) / "class" / "usbmisc";
    std::vector<std::pair<unsigned long, std::string>> nodes;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(usbmisc, ec)) {
        std::string file = entry.path().filename().string();
        if (file.rfind("lp", 0) == 0 && file.size() > 2 &&
            (file == "lp0" || TrailingNumber(file, 2) != 0))
            nodes.emplace_back(TrailingNumber(file, 2), file);
    }
    std::sort(nodes.begin(), nodes.end());

    for (const auto& [number, file] : nodes) {
        // lpN/device is the printer interface; its parent directory is the USB device.
        fs::path iface = fs::canonical(usbmisc / file / "device", ec);
        if (ec)
            continue;
        fs::path device = iface.parent_path();
        unsigned vid = 0, pid = 0;
        if (!ParseHexId(ReadAttribute(device / "idVendor"), &vid) ||
            !ParseHexId(ReadAttribute(device / "idProduct"), &pid))
            continue;

        std::string mfg, mdl;
        ParseDeviceId(ReadAttribute(iface / "ieee1284_id"), &mfg, &mdl);
        if (mfg.empty() && mdl.empty()) {
            mfg = ReadAttribute(device / "manufacturer");
            mdl = ReadAttribute(device / "product");
        }
        UsbPrinter p;
        p.modelKey = SafeName(mfg + mdl);
        if (p.modelKey.empty())
            continue;
        char hw[32];
        std::snprintf(hw, sizeof hw, "Vid_%04X&Pid_%04X", vid, pid);
        p.hardwareKey = hw;
        p.instance = SafeName(ReadAttribute(device / "serial"));
        if (p.instance.empty())
            p.instance = SafeName(device.filename().string());
        if (p.instance.empty())
            continue;
        p.parentIdPrefix = ParentIdPrefixFor(p.hardwareKey, p.instance);
        p.node = (fs::path(roots.dev) / "usb" / file).lexically_normal().string();
        if (LONG rc = EnterUsbPrinter(&p); rc != ERROR_SUCCESS)
            return rc;
        if (found)
            found->push_back(std::move(p));
    }
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform::portlist
