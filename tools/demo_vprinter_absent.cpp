// Where the virtual printer is not built (Windows), the demo prints on a port the user
// names.
#include <memory>
#include <string>

#include "tools/demo_printer.h"

namespace thermpos::tool {

std::unique_ptr<DemoPrinter> StartVirtualPrinter(const std::string&, const std::string&, int,
                                                 std::string* error) {
    *error =
        "there is no virtual printer in this build: start thermpos-vprinter on Linux (for a "
        "Wine COM mapping: --link PATH; or --listen HOST:PORT) and name its port with --port";
    return nullptr;
}

}  // namespace thermpos::tool
