// The commands the virtual printer decoded, read back from the command log in its output
// folder (commands.log), wherever the printer runs. Header only.
#pragma once

#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace thermpos::testing {

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
