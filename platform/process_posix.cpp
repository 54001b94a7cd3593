// Processes and the environment over POSIX. See process.h.
//
// Threads: none started here.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

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
