// The Linux-only part of TestSupport.h: the test servers' and the helper's paths, the
// pseudo-terminal, the helper process that claims.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/so/TestSupport.h"

extern char** environ;

namespace sotest {

std::string ServerPath() {
    return THERMSO_SERVER;
}
std::string TestServerPath() {
    return THERMSO_TEST_SERVER;
}
std::string ClaimHelperPath() {
    return THERMSO_CLAIM_HELPER;
}

Pty::Pty() {
    std::string error;
    if (!terminal_.Open(&error))
        throw std::runtime_error(error);
}

void Pty::MapAs(const std::string& name) const {
    SetValue("SOFTWARE\\ThermPOS\\Ports", name.c_str(), Path());
}

std::string Pty::Read(size_t count, int timeoutMs) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (data.size() < count && terminal_.IsOpen()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            break;
        const std::string got = terminal_.Receive(count - data.size(), static_cast<int>(left));
        if (got.empty())
            break;
        data += got;
    }
    return data;
}

void Pty::Hangup() {
    terminal_.Close();
}

ClaimingProcess::ClaimingProcess(const std::string& deviceClass, const std::string& deviceName) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string helper = ClaimHelperPath();
    char* argv[] = {helper.data(), const_cast<char*>(deviceClass.c_str()),
                    const_cast<char*>(deviceName.c_str()), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (rc != 0)
        return;
    pid_ = pid;
    // The helper reports one line: its claim result.
    std::string line;
    pollfd p{fromChild_, POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
        char c[64];
        ssize_t n = read(fromChild_, c, sizeof(c));
        if (n <= 0)
            break;
        line.append(c, static_cast<size_t>(n));
    }
    if (line.find('\n') != std::string::npos)
        claimResult_ = std::atoi(line.c_str());
}

ClaimingProcess::~ClaimingProcess() {
    Stop();
}

void ClaimingProcess::Stop() {
    if (toChild_ >= 0)
        close(toChild_);  // end of input: the helper releases and exits
    toChild_ = -1;
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    if (fromChild_ >= 0)
        close(fromChild_);
    fromChild_ = -1;
}

}  // namespace sotest
