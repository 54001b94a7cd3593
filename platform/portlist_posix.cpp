// The ports the system offers here: serial and parallel device nodes that open under
// their default names. /dev/ttySk is COM(k+1) and /dev/lpk is LPT(k+1); ttyS nodes whose
// sysfs "type" says no UART answers behind them are left out.
//
// Threads: none started here; no locks.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/portlist_system.h"

namespace thermpos::platform::portlist::detail {

// No USB printer here is listed by the system: the scan enters them in the registry.
std::vector<std::string> SystemPortNames(const Roots& roots, UsbHardwareFilter) {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(roots.dev, ec)) {
        const std::string file = entry.path().filename().string();
        const bool serial = file.rfind("ttyS", 0) == 0 && file.size() > 4 &&
                            (file == "ttyS0" || TrailingNumber(file, 4) != 0);
        const bool parallel = file.rfind("lp", 0) == 0 && file.size() > 2 &&
                              (file == "lp0" || TrailingNumber(file, 2) != 0);
        if (serial) {
            // Legacy serial nodes exist whether or not a UART answers behind them.
            if (ReadAttribute(fs::path(roots.sys) / "class" / "tty" / file / "type") == "0")
                continue;
            names.push_back("COM" + std::to_string(TrailingNumber(file, 4) + 1));
        } else if (parallel) {
            names.push_back("LPT" + std::to_string(TrailingNumber(file, 2) + 1));
        }
    }
    return names;
}

}  // namespace thermpos::platform::portlist::detail
