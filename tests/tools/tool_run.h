// Runs the `thermpos` tool as a user would, against the test's private hive.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/registry_fixture.h"

extern char** environ;

namespace thermpos::testing {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ToolTest : public RegistryTest {
  protected:
    // Runs the tool with stdin closed (so any prompt is answered "no") and collects both
    // outputs through files, which cannot fill up and block the child.
    ToolRun Tool(std::vector<std::string> args) {
        args.insert(args.begin(), THERMPOS_TOOL);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string outPath = dir_ + "/out.txt";
        const std::string errPath = dir_ + "/err.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        pid_t pid;
        ToolRun run;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(spawned, 0);
        if (spawned != 0)
            return run;
        // A tool that hangs fails its test instead of stalling the suite.
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            pollfd exited{pidfd, POLLIN, 0};
            const int ready = poll(&exited, 1, 60 * 1000);
            close(pidfd);
            if (ready != 1) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                ADD_FAILURE() << args[1] << " " << args[2] << ": still running after 60 s";
                return run;
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        run.out = ReadFile(outPath);
        run.err = ReadFile(errPath);
        return run;
    }
};

}  // namespace thermpos::testing
