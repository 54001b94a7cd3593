// Port-name classification and comparison. See portname.h for the rules.
#include "platform/portname.h"

namespace thermpos::platform::portname {

PortKind KindOf(std::string_view name) {
    if (StartsWithNoCase(name, "IRDA"))
        return PortKind::Infrared;
    if (StartsWithNoCase(name, "USB"))
        return PortKind::Usb;
    if (StartsWithNoCase(name, "LPT"))
        return PortKind::Parallel;
    if (StartsWithNoCase(name, "COM"))
        return PortKind::Serial;
    if (StartsWithNoCase(name, "IP_"))
        return PortKind::Network;
    return PortKind::None;
}

std::string_view WithoutNamespace(std::string_view name) {
    if (name.size() >= 4 && name[0] == '\\' && name[1] == '\\' &&
        (name[2] == '.' || name[2] == '?') && name[3] == '\\')
        name.remove_prefix(4);
    return name;
}

std::string_view WithoutColon(std::string_view name) {
    if (!name.empty() && name.back() == ':')
        name.remove_suffix(1);
    return name;
}

std::string_view MapName(std::string_view name) {
    return WithoutColon(WithoutNamespace(name));
}

bool SamePort(std::string_view a, std::string_view b) {
    return EqualNoCase(WithoutColon(a), WithoutColon(b));
}

bool HasControlCharacter(std::string_view text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            return true;
    }
    return false;
}

unsigned long PortNumber(std::string_view mapName) {
    const PortKind kind = KindOf(mapName);
    if (kind != PortKind::Serial && kind != PortKind::Parallel)
        return 0;
    std::string_view digits = mapName.substr(3);
    if (digits.empty() || digits.size() > 6)
        return 0;
    unsigned long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        n = n * 10 + static_cast<unsigned long>(c - '0');
    }
    return n;
}

std::string DefaultDevicePath(std::string_view mapName) {
    const unsigned long n = PortNumber(mapName);
    if (n == 0)
        return {};
#ifdef _WIN32
    // The device namespace: "\\.\COM3", "\\.\LPT1".
    const char* base = KindOf(mapName) == PortKind::Serial ? "\\\\.\\COM" : "\\\\.\\LPT";
    return base + std::to_string(n);
#else
    const char* base = KindOf(mapName) == PortKind::Serial ? "/dev/ttyS" : "/dev/lp";
    return base + std::to_string(n - 1);
#endif
}

}  // namespace thermpos::platform::portname
