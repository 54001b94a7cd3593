// Subcommands of the `thermpos` tool. Each lives in its own file and registers itself
// with a static ToolCommand, so adding one touches no other file.
#pragma once

#include <string>
#include <vector>

namespace thermpos::tool {

// args excludes the program and subcommand names. Returns the process exit code:
// 0 on success; on failure a one-line "thermpos NAME: error" on stderr and non-zero.
using CommandFn = int (*)(const std::vector<std::string>& args);

struct ToolCommand {
    ToolCommand(const char* name, const char* summary, CommandFn run);
};

// Writes "thermpos NAME: message" to stderr and returns 1.
int Fail(const char* command, const std::string& message);

// True when args holds --help or -h (every subcommand answers it).
bool WantsHelp(const std::vector<std::string>& args);

}  // namespace thermpos::tool
