// Processes and the environment over POSIX. See process.h.
//
// Threads: none started here.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/process.h"

extern char** environ;

namespace thermpos::platform {

namespace {

// Starts argv[0] (a path) with argv and this environment; 0, or posix_spawn's error.
int Spawn(const std::vector<std::string>& argv, pid_t* pid) {
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (std::string& a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    return ::posix_spawn(pid, args[0], nullptr, nullptr, args.data(), environ);
}

// Reaps pid; its exit code, or -1 when a signal ended it.
int Reap(pid_t pid) {
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether pid ended within limitMs (without reaping it).
bool EndsWithin(pid_t pid, int limitMs) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&p, 1, limitMs);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    return n == 1;
}

}  // namespace

int RunAndWait(const std::vector<std::string>& argv) {
    pid_t pid = 0;
    if (argv.empty() || Spawn(argv, &pid) != 0)
        return -1;
    return Reap(pid);
}

ChildProcess::~ChildProcess() {
    (void)Finish(std::chrono::seconds(5));
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
    if (process_ >= 0 || argv.empty()) {
        *error = process_ >= 0 ? "already started" : "no program";
        return false;
    }
    pid_t pid = 0;
    if (const int failed = Spawn(argv, &pid); failed != 0) {
        *error = argv[0] + ": " + std::strerror(failed);
        return false;
    }
    process_ = pid;
    return true;
}

int ChildProcess::Finish(std::chrono::milliseconds limit) {
    if (process_ < 0)
        return -1;
    const pid_t pid = static_cast<pid_t>(process_);
    process_ = -1;
    if (!EndsWithin(pid, static_cast<int>(limit.count()))) {
        ::kill(pid, SIGKILL);
        (void)Reap(pid);
        return -1;
    }
    return Reap(pid);
}

bool SetEnvironment(const char* name, const std::string& value, bool replace) {
    return ::setenv(name, value.c_str(), replace ? 1 : 0) == 0;
}

void EndWithParent() {
    (void)::prctl(PR_SET_PDEATHSIG, SIGTERM);
}

bool StandardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

}  // namespace thermpos::platform
