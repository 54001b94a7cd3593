// Processes and the environment: what the tools need to start programs of their own and to
// hand settings down to them.
//
// Thread safety: RunAndWait from any thread. SetEnvironment changes what every thread
// reads: call it before starting threads that read the environment (the registry and lock
// folder settings are read at each use). EndWithParent only in a child between its start
// and its program.
#pragma once

#include <string>
#include <vector>

namespace thermpos::platform {

// Runs argv[0], an absolute path (PATH is not searched), with the arguments argv[1..] and
// this process's environment, and blocks without a time limit until it ends: for programs
// that end on their own, such as this tool's own subcommands. Returns its exit code, or -1
// when argv is empty, the program cannot be started, or it did not exit normally (a
// signal ended it).
[[nodiscard]] int RunAndWait(const std::vector<std::string>& argv);

// Sets the environment variable `name` of this process, which the programs it starts
// inherit; with replace false a value already set stays. False when the system refuses
// (an empty name, or one holding '=').
bool SetEnvironment(const char* name, const std::string& value, bool replace);

// Whether standard input is a terminal (a person may answer a prompt there).
[[nodiscard]] bool StandardInputIsTerminal();

// For a child process after its start and before its program runs (a QProcess child
// modifier): the child is asked to end (SIGTERM) when the process that started it ends,
// whichever way that ends. Only async-signal-safe calls, as that moment requires.
void EndWithParent();

}  // namespace thermpos::platform
