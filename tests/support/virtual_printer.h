// The virtual printer as the integration tests start it in their own process: on a pty
// entered in the Ports map, with a folder of its own for the receipts and the command log
// (printer_log.h reads the commands back). Header only: its users link thermpos_vprinter
// themselves.
#pragma once

#include <string>

#include "tests/support/printer_log.h"
#include "tests/support/temp_env.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::testing {

// Starts `printer` with `options`, its receipts and command log in a new folder below the
// process's temporary folder (`name`-N, N counting this process's starts, so that no start
// reads the log of an earlier one). Returns the folder, or "" with the reason in *error.
inline std::string StartInNewFolder(vprinter::VirtualPrinter& printer,
                                    vprinter::VirtualPrinterOptions options,
                                    const std::string& name, std::string* error) {
    static int starts = 0;
    options.outDir = ProcessEnv().Dir() + "/" + name + "-" + std::to_string(++starts);
    if (!printer.Start(options, error))
        return std::string();
    return options.outDir;
}

// The usual case: on a pty entered in the Ports map as mapName ("COM21").
inline std::string StartOnPty(vprinter::VirtualPrinter& printer, const std::string& mapName,
                              const std::string& name, std::string* error) {
    vprinter::VirtualPrinterOptions options;
    options.mapName = mapName;
    return StartInNewFolder(printer, options, name, error);
}

}  // namespace thermpos::testing
