// The `thermpos` command-line tool: dispatches to the subcommands that registered
// themselves (see command.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/activation.h"
#include "tools/command.h"

namespace thermpos::tool {
namespace {

struct Entry {
    const char* summary;
    CommandFn run;
};

std::map<std::string, Entry>& Commands() {
    static std::map<std::string, Entry> commands;
    return commands;
}

void PrintUsage(FILE* to) {
    std::fprintf(to, "usage: thermpos COMMAND [ARGS...]\n\ncommands:\n");
    for (const auto& [name, entry] : Commands())
        std::fprintf(to, "  %-16s %s\n", name.c_str(), entry.summary);
    std::fprintf(to, "\n'thermpos COMMAND --help' describes a command.\n");
}

}  // namespace

ToolCommand::ToolCommand(const char* name, const char* summary, CommandFn run) {
    Commands()[name] = Entry{summary, run};
}

int Fail(const char* command, const std::string& message) {
    std::fprintf(stderr, "thermpos %s: %s\n", command, message.c_str());
    return 1;
}

bool WantsHelp(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a == "--help" || a == "-h"; });
}

}  // namespace thermpos::tool

int main(int argc, char** argv) {
    using namespace thermpos::tool;
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        PrintUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    auto it = Commands().find(argv[1]);
    if (it == Commands().end()) {
        std::fprintf(stderr, "thermpos: unknown command '%s'\n", argv[1]);
        PrintUsage(stderr);
        return 2;
    }
    // Where objects are created through the system (Windows), this thread joins an
    // apartment first. A single-threaded one: the service objects are apartment-threaded,
    // so they live in this thread and their event threads call the commands' listeners
    // directly, which take their own locks.
    const thermpos::platform::com::ThreadApartment apartment;
    if (FAILED(apartment.Result())) {
        std::fprintf(stderr, "thermpos: cannot use COM (0x%08lX)\n",
                     static_cast<unsigned long>(apartment.Result()));
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    return it->second.run(args);
}
