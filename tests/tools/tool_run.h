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

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/registry_fixture.h"

extern char** environ;

namespace thermpos::testing {

// The whole of a file, empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the `thermpos` tool with `input` on its standard input (none: /dev/null, so any
// prompt is answered "no") and collects both outputs through files in `dir`, which cannot
// fill up and block the child. A run that takes over 60 s is killed and fails the test.
inline ToolRun RunTool(std::vector<std::string> args, const std::string& dir,
                       const std::string* input = nullptr) {
    args.insert(args.begin(), THERMPOS_TOOL);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string inPath = dir + "/in.txt";
    const std::string outPath = dir + "/out.txt";
    const std::string errPath = dir + "/err.txt";
    if (input != nullptr)
        std::ofstream(inPath, std::ios::binary) << *input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input != nullptr ? inPath.c_str() : "/dev/null",
                                     O_RDONLY, 0);
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
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd exited{pidfd, POLLIN, 0};
        const int ready = poll(&exited, 1, 60 * 1000);
        close(pidfd);
        if (ready != 1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            ADD_FAILURE() << args[1] << ": still running after 60 s";
            return run;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    run.out = ReadWholeFile(outPath);
    run.err = ReadWholeFile(errPath);
    return run;
}

class ToolTest : public RegistryTest {
  protected:
    // Runs the tool with stdin closed (so any prompt is answered "no").
    ToolRun Tool(std::vector<std::string> args) { return RunTool(std::move(args), dir_); }
};

}  // namespace thermpos::testing
