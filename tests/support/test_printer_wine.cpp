// The tests' virtual printer under Wine: the Linux program named by THERMPOS_VPRINTER, on
// the COM lines of THERMPOS_WINE_COM_LINKS (scripts/test-windows.sh sets both up; a test
// program may prefer one line with THERMPOS_WINE_COM). See test_printer.h.
#include <cstdlib>

#include "tests/support/test_printer.h"

namespace thermpos::testing {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

std::unique_ptr<TestPrinter::Backend> DefaultPrinterBackend() {
    const std::string program = Environment("THERMPOS_VPRINTER");
    if (program.empty())
        return nullptr;
    return ChildPrinterBackend(program, Environment("THERMPOS_WINE_COM_LINKS"),
                               Environment("THERMPOS_WINE_COM"));
}

// Wine's drive Z: is the root of the Linux file system.
std::string HostPath(const std::string& linuxPath) {
    return "Z:" + linuxPath;
}

}  // namespace thermpos::testing
