// `thermpos ports`: the machine's port list, the registry's Ports map, and the scan that
// enters USB printers in the registry so that "USB001" opens them.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/devfile.h"
#include "platform/netport.h"
#include "platform/portlist.h"
#include "platform/portname.h"
#include "platform/registry.h"
#include "portlib/LinkPort.h"
#include "tools/command.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "ports";

constexpr char kUsage[] =
    "usage: thermpos ports list\n"
    "       thermpos ports map NAME PATH|socket://HOST[:PORT]\n"
    "       thermpos ports unmap NAME\n"
    "       thermpos ports scan [--sysfs DIR] [--dev DIR]\n"
    "\n"
    "  list    the ports the port library lists (COM1:, LPT1:, USB001 ...) and the\n"
    "          device each opens; then serial and printer nodes no name reaches yet\n"
    "  map     make port NAME (COM3, LPT2 ...) open device PATH (a character device or\n"
    "          a link to one, such as a pty link; not a plain file), or the network\n"
    "          printer at HOST (raw TCP, port 9100 by default), in\n"
    "          HKLM\\SOFTWARE\\ThermPOS\\Ports; IP_<host> reaches HOST:9100 unmapped\n"
    "  unmap   remove NAME from that map (COMn and LPTn then open /dev/ttyS(n-1) and\n"
    "          /dev/lp(n-1) again)\n"
    "  scan    find USB printers bound to the usblp driver under sysfs and enter them in\n"
    "          the registry as USB001, USB002 ... (a printer keeps its name across scans)\n"
    "          --sysfs DIR  the sysfs root (default /sys)\n"
    "          --dev DIR    the device root the entries point into (default /dev)\n";

std::string Describe(LONG error) {
    // The store's own account of a refusal (the hive's owner and mode, a busy lock).
    const std::string why = platform::registry::LastError();
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return why.empty() ? "access denied (the registry file is not writable by this user)"
                               : "access denied: " + why;
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        default:
            return why.empty() ? "error " + std::to_string(error) : why;
    }
}

// What was wrong with NAME or PATH of `map` and `unmap`, by the argument at fault.
std::string DescribeMapping(LONG error, const std::string& name, const std::string& path = {}) {
    switch (error) {
        case ERROR_INVALID_NAME:
            if (platform::portname::HasControlCharacter(name))
                return "the port name contains a control character";
            return "invalid port name (1 to 255 characters, no backslash)";
        case ERROR_INVALID_PARAMETER:
            return "the device path must be absolute";
        case ERROR_BAD_DEVICE:
            return "not a device: " + path +
                   " is there and is not a character device (a serial or printer port, a pty)";
        case ERROR_BAD_PATHNAME:
            if (platform::netport::IsSocketUri(path))
                return "invalid network printer URI (socket://HOST[:PORT], port 1 to 65535)";
            return "the device path contains a control character";
        default:
            return Describe(error);
    }
}

// The argument as it can be shown on a terminal: control characters as \xNN.
std::string Shown(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (platform::portname::HasControlCharacter(std::string_view(&c, 1))) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

int List() {
    char** list = nullptr;
    int count = 0;
    if (!PMEnumeratePorts(&list, &count))
        return Fail(kName, "cannot list the ports");
    for (int i = 0; i < count; ++i) {
        std::string path;
        if (platform::devfile::ResolvePortName(list[i], &path) != ERROR_SUCCESS)
            path = "(USB printer tree)";
        std::printf("%-12s %s\n", list[i], path.c_str());
    }
    PMFreePortList(list, count);

    platform::portlist::RegistryPorts registry;
    if (platform::portlist::ReadRegistryPorts(&registry) == ERROR_SUCCESS) {
        auto unreached = platform::portlist::UnreachedNodes(registry, platform::portlist::Roots{});
        if (!unreached.empty()) {
            std::printf("\nnot mapped yet (thermpos ports map COMn PATH, or ports scan):\n");
            for (const auto& node : unreached)
                std::printf("  %s\n", node.c_str());
        }
    }
    return 0;
}

int Scan(const std::vector<std::string>& args) {
    platform::portlist::Roots roots;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if ((args[i] == "--sysfs" || args[i] == "--dev") && i + 1 < args.size()) {
            (args[i] == "--sysfs" ? roots.sys : roots.dev) = args[i + 1];
            ++i;
        } else {
            return Fail(kName, "unexpected argument " + args[i] + "; see --help");
        }
    }
    std::vector<platform::portlist::UsbPrinter> found;
    if (LONG rc = platform::portlist::ScanUsbPrinters(roots, &found); rc != ERROR_SUCCESS)
        return Fail(kName, "scan: " + Describe(rc));
    if (found.empty())
        std::printf("no USB printer bound to usblp under %s\n", roots.sys.c_str());
    for (const auto& p : found)
        std::printf("%s  %s  model key %s  (%s, instance %s)\n", p.portName.c_str(), p.node.c_str(),
                    p.modelKey.c_str(), p.hardwareKey.c_str(), p.instance.c_str());
    return 0;
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string verb = args.empty() ? "" : args[0];
    if (verb == "list" && args.size() == 1)
        return List();
    if (verb == "map" && args.size() == 3) {
        if (LONG rc = platform::portlist::SetPortMapping(args[1], args[2]); rc != ERROR_SUCCESS)
            return Fail(kName,
                        "map " + Shown(args[1]) + ": " + DescribeMapping(rc, args[1], args[2]));
        return 0;
    }
    if (verb == "unmap" && args.size() == 2) {
        if (LONG rc = platform::portlist::RemovePortMapping(args[1]); rc != ERROR_SUCCESS)
            return Fail(kName, "unmap " + Shown(args[1]) + ": " + DescribeMapping(rc, args[1]));
        return 0;
    }
    if (verb == "scan")
        return Scan(args);
    std::fputs(kUsage, stderr);
    return 2;
}

const ToolCommand kCommand(kName, "list ports, map port names to devices, scan USB printers", Run);

}  // namespace
}  // namespace thermpos::tool
