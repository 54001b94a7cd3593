// `thermpos register`: loads an in-process server library and asks it to write (or
// remove) its own class registration, as the Windows server registration tool does.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/activation.h"
#include "tools/command.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "register";

constexpr char kUsage[] =
    "usage: thermpos register [--unregister] LIBRARY\n"
    "\n"
    "Loads LIBRARY (a COM-style in-process server) and calls its DllRegisterServer, or\n"
    "DllUnregisterServer with --unregister (also -u or /u). The server writes its classes\n"
    "under HKLM\\SOFTWARE\\Classes in the registry used: the hive file $THERMPOS_REGISTRY\n"
    "(default /etc/thermpos/registry.reg), or on Windows the system's registry.\n";

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    bool unregister = false;
    std::string library;
    for (const std::string& a : args) {
        if (a == "--unregister" || a == "-u" || a == "/u" || a == "/U") {
            unregister = true;
        } else if (!a.empty() && a[0] == '-') {
            return Fail(kName, "unknown option '" + a + "' (see --help)");
        } else if (library.empty()) {
            library = a;
        } else {
            return Fail(kName, "more than one LIBRARY given (see --help)");
        }
    }
    if (library.empty())
        return Fail(kName, "no LIBRARY given (see --help)");

    // An absolute path, so the server registers where it really is, and so that a bare
    // file name means the file here rather than a search of the library path.
    std::error_code ec;
    const std::string resolved = std::filesystem::canonical(library, ec).string();
    if (ec)
        return Fail(kName, "cannot find library '" + library + "'");

    const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    std::string why;
    // The library stays loaded: a server may have started something that must not lose
    // its code.
    const HRESULT hr = platform::com::CallServerRegistration(resolved, unregister, &why);
    if (hr == CO_E_DLLNOTFOUND)
        return Fail(kName, "cannot load '" + resolved + "': " + (why.empty() ? "?" : why));
    if (hr == CO_E_ERRORINDLL)
        return Fail(kName, resolved + " has no " + entryName);
    if (FAILED(hr))
        return Fail(kName, std::string(entryName) + " failed with " + Hex(hr));
    std::printf("%s in %s succeeded.\n", entryName, resolved.c_str());
    return 0;
}

const ToolCommand kCommand(kName, "register or unregister an in-process server library", Run);

}  // namespace
}  // namespace thermpos::tool
