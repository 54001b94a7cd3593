// Processes and the environment: what the tools need to start programs of their own and to
// hand settings down to them.
//
// Thread safety: RunAndWait from any thread. A ChildProcess from one thread at a time,
// except that Read may block in one thread while another calls Write or Finish. SetEnvironment
// changes what every thread reads: call it before starting threads that read the environment (the
// registry and lock folder settings are read at each use). EndWithParent only in a child between
// its start and its program.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

// A program started with pipes to its standard input and output, to talk to it line by
// line (the tests' virtual printer run as a program of its own); its standard error is
// this process's. argv[0] is an absolute path, as for RunAndWait.
class ChildProcess {
  public:
    ChildProcess() = default;
    // Finish(5 s) if still running. A thread blocked in Read must have returned first.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False with *error when it cannot be started (or one was started already).
    [[nodiscard]] bool Start(const std::vector<std::string>& argv, std::string* error);
    // Writes all of `data` to its input; false once it went away.
    bool Write(std::string_view data);
    // Blocks until some of its output arrives; 0 once its output ended (it exited, or
    // Finish ended it). Returns at most `size` bytes.
    std::size_t Read(char* buffer, std::size_t size);
    // Closes its input, which is its cue to end, and waits at most `limit` for that; a
    // program still running then is ended by force. Returns its exit code, or -1 when it
    // had to be ended or was never started. Safe to call twice (-1 the second time).
    int Finish(std::chrono::milliseconds limit);

  private:
    // The system's handles: a process id or handle, the write end of its input, the
    // read end of its output; -1 when not open.
    std::intptr_t process_ = -1;
    std::intptr_t input_ = -1;
    std::intptr_t output_ = -1;
};

}  // namespace thermpos::platform
