// `thermpos install-devices`: writes the registry keys of the nine logical devices, the
// values an installer provides and the configuration utility does not write.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/portname.h"
#include "platform/registry.h"
#include "platform/regkey.h"
#include "tools/command.h"
#include "tools/device_catalogue.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "install-devices";
constexpr std::size_t kMaxPortName = 255;

constexpr char kUsage[] =
    "usage: thermpos install-devices [--port NAME] [--force]\n"
    "\n"
    "Creates the logical devices of the three printers and their two cash drawers each\n"
    "under HKLM\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\<class>\\<name>: the ProgID as\n"
    "default value, ServiceObjectDescription, DeviceDescription, Version, and\n"
    "PhysicalDeviceID and FamilyID for printers, PrinterID for drawers.\n"
    "\n"
    "  --port NAME  also set Port (for example COM1:, LPT1: or USB001) on every device\n"
    "  --force      overwrite values that exist already (otherwise they are kept)\n";

using ValueList = std::vector<std::pair<const char*, std::string>>;

ValueList ValuesOf(const devices::LogicalDevice& device, const std::string* port) {
    ValueList values = {{"", device.progId},
                        {"ServiceObjectDescription", device.serviceObjectDescription},
                        {"DeviceDescription", device.deviceDescription},
                        {"Version", devices::kServiceObjectVersion}};
    if (device.drawerNumber == 0) {
        values.emplace_back("PhysicalDeviceID", devices::PhysicalDeviceId(device));
        values.emplace_back("FamilyID", "1");
    } else {
        values.emplace_back("PrinterID", device.printerName);
    }
    if (port)
        values.emplace_back("Port", *port);
    return values;
}

// Returns a registry result; counts what it wrote and what it left alone.
LONG InstallOne(const devices::LogicalDevice& device, const std::string* port, bool force,
                int* written, int* kept) {
    const std::string path = devices::DeviceKeyPath(device);
    platform::registry::KeyHolder key;
    LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, key.Out(), nullptr);
    if (r != ERROR_SUCCESS)
        return r;
    for (const auto& [name, text] : ValuesOf(device, port)) {
        if (!force && RegQueryValueExA(key.Get(), name, nullptr, nullptr, nullptr, nullptr) ==
                          ERROR_SUCCESS) {
            ++*kept;
            continue;
        }
        r = RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1));
        if (r != ERROR_SUCCESS)
            break;
        ++*written;
    }
    return r;
}

std::string Describe(LONG r) {
    if (r == ERROR_ACCESS_DENIED)
        return "access denied: cannot write " + platform::registry::HivePath();
    std::string text = platform::registry::LastError();
    return text.empty() ? "registry error " + std::to_string(r) : text;
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    bool force = false;
    bool havePort = false;
    std::string port;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--force") {
            force = true;
        } else if (args[i] == "--port") {
            if (i + 1 >= args.size())
                return Fail(kName, "--port needs a port name");
            port = args[++i];
            havePort = true;
        } else if (args[i].rfind("--port=", 0) == 0) {
            port = args[i].substr(7);
            havePort = true;
        } else {
            return Fail(kName, "unexpected argument " + args[i] + "; see --help");
        }
    }
    if (havePort) {
        if (port.empty() || port.size() > kMaxPortName)
            return Fail(kName, "port name must have 1 to 255 characters");
        if (platform::portname::HasControlCharacter(port))
            return Fail(kName, "port name contains a control character");
    }
    for (const auto& device : devices::kLogicalDevices) {
        int written = 0;
        int kept = 0;
        const LONG r = InstallOne(device, havePort ? &port : nullptr, force, &written, &kept);
        if (r != ERROR_SUCCESS)
            return Fail(kName, device.name + std::string(": ") + Describe(r));
        std::printf("%s\\%s: %d value%s written, %d kept\n", device.deviceClass, device.name,
                    written, written == 1 ? "" : "s", kept);
    }
    return 0;
}

const ToolCommand kCommand(kName, "create the registry keys of the logical devices", Run);

}  // namespace
}  // namespace thermpos::tool
