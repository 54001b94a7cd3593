// The virtual printer as the integration tests start and read it: on a pty entered in the
// Ports map, with a folder of its own for the receipts and the command log, and the
// commands it decoded read back from that log. Header only: its users link
// thermpos_vprinter themselves.
#pragma once

#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

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

// The commands logged so far in outDir/commands.log, in the log's own form without the
// offset in front: the mnemonic, two spaces, the parameters ("ESC R  n=2",
// "TEXT  \"abc\"").
inline std::vector<std::string> LoggedCommands(const std::string& outDir) {
    std::ifstream log(outDir + "/commands.log");
    std::vector<std::string> commands;
    for (std::string line; std::getline(log, line);) {
        const std::size_t start = line.find_first_not_of(" 0123456789");
        if (start != std::string::npos)
            commands.push_back(line.substr(start));
    }
    return commands;
}

// The same with one space between mnemonic and parameters ("ESC R n=2"), without the
// commands that start with one of `leftOut` (the status requests a service object's
// monitor sends whenever it likes), and with each run of text in one TEXT command: the
// printer logs a run in as many pieces as the port handed it over in.
inline std::vector<std::string> DecodedCommands(const std::string& outDir,
                                                std::initializer_list<std::string_view> leftOut) {
    constexpr std::string_view kText = "TEXT \"";
    const auto isText = [&](const std::string& c) {
        return c.size() > kText.size() && c.compare(0, kText.size(), kText) == 0 && c.back() == '"';
    };
    std::vector<std::string> commands;
    for (std::string command : LoggedCommands(outDir)) {
        bool status = false;
        for (std::string_view prefix : leftOut)
            status |= std::string_view(command).substr(0, prefix.size()) == prefix;
        if (status)
            continue;
        const std::size_t gap = command.find("  ");
        if (gap != std::string::npos)
            command.replace(gap, 2, " ");
        if (!commands.empty() && isText(commands.back()) && isText(command)) {
            commands.back().pop_back();
            commands.back() += command.substr(kText.size());
        } else {
            commands.push_back(std::move(command));
        }
    }
    return commands;
}

}  // namespace thermpos::testing
