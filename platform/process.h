// Processes and the environment: what the tools need to start programs of their own and to
// hand settings down to them.
//
// Thread safety: RunAndWait from any thread; a ChildProcess from one thread at a time.
// SetEnvironment changes what every thread reads: call it before starting threads that read the
// environment (the registry and lock folder settings are read at each use). EndWithParent only in a
// child between its start and its program.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// A program started to run beside this one (the tests' virtual printer, run as a program
// of its own), with this process's standard streams and environment. It is told to end
// by other means (its control line closing); Finish waits for that. argv[0] is an
// absolute path, as for RunAndWait.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();  // Finish(5 s) if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False with *error when it cannot be started (or one was started already).
    [[nodiscard]] bool Start(const std::vector<std::string>& argv, std::string* error);
    // Waits at most `limit` for it to end; one still running then is ended by force.
    // Returns its exit code, or -1 when it had to be ended, cannot be waited for (Wine
    // gives no usable handle for a Linux program it started: it ends on its own), or was
    // never started. Safe to call twice (-1 the second time).
    int Finish(std::chrono::milliseconds limit);

  private:
    std::intptr_t process_ = -1;  // the system's process id or handle; -1 when none
};

}  // namespace thermpos::platform
