// Processes and the environment over POSIX. See process.h.
//
// Threads: none started here.
#include <fcntl.h>
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

int RunAndWait(const std::vector<std::string>& argv) {
    if (argv.empty())
        return -1;
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (std::string& a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

namespace {

constexpr int kWriteStallMs = 10000;

void CloseFd(std::intptr_t& fd) {
    if (fd >= 0)
        ::close(static_cast<int>(fd));
    fd = -1;
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

ChildProcess::~ChildProcess() {
    (void)Finish(std::chrono::seconds(5));
    CloseFd(output_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, std::string* error) {
    if (process_ >= 0 || argv.empty()) {
        *error = process_ >= 0 ? "already started" : "no program";
        return false;
    }
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (std::string& a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    const int failed = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (failed != 0) {
        *error = argv[0] + ": " + std::strerror(failed);
        ::close(in[1]);
        ::close(out[0]);
        return false;
    }
    process_ = pid;
    input_ = in[1];
    output_ = out[0];
    return true;
}

bool ChildProcess::Write(std::string_view data) {
    while (!data.empty() && input_ >= 0) {
        // A pipe has no MSG_NOSIGNAL: a reader that went away would raise SIGPIPE, so its
        // closed end (POLLERR) is looked for first. A program that takes nothing for ten
        // seconds counts as gone.
        pollfd p{static_cast<int>(input_), POLLOUT, 0};
        const int ready = ::poll(&p, 1, kWriteStallMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (p.revents & (POLLERR | POLLHUP)))
            return false;
        const ssize_t n = ::write(static_cast<int>(input_), data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return data.empty();
}

std::size_t ChildProcess::Read(char* buffer, std::size_t size) {
    if (output_ < 0 || size == 0)
        return 0;
    ssize_t n;
    do {
        n = ::read(static_cast<int>(output_), buffer, size);
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

int ChildProcess::Finish(std::chrono::milliseconds limit) {
    CloseFd(input_);
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
