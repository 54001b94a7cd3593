// What the virtual printer's host tests share: a fixture with a private registry and an
// output folder, the host's end of a pty, the printer's Ports map entry, and the
// thermpos-vprinter program run as a child process.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/pty.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/support/temp_env.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter::hosttest {

using namespace std::chrono_literals;

inline constexpr auto kLimit = 10s;  // generous: a wait that fails means a real fault

inline std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

// The value under `name` in the Ports map, or "" when there is none.
inline std::string MapEntry(const std::string& name) {
    platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, platform::regpath::kPorts, 0, KEY_READ, key.Out()) !=
        ERROR_SUCCESS)
        return "";
    char value[1024] = {};
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    return RegQueryValueExA(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value),
                            &size) == ERROR_SUCCESS
               ? std::string(value)
               : "";
}

// The host end of a pty: what a port library does with the device path.
class Host {
  public:
    explicit Host(const std::string& path) : fd_(platform::pty::OpenRawTerminal(path)) {}
    ~Host() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool Open() const { return fd_ >= 0; }
    // Writes everything (blocking); false at the first failure.
    bool Write(const std::string& data) const {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads exactly n bytes or whatever came before the limit.
    std::string Read(std::size_t n, std::chrono::milliseconds limit = 5000ms) const {
        std::string out;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[256];
            const ssize_t r = ::read(fd_, buffer, std::min(sizeof buffer, n - out.size()));
            if (r <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(r));
        }
        return out;
    }

  private:
    int fd_ = -1;
};

// thermpos-vprinter as a child process, its standard output read up to the first line
// (the device path or the address it serves).
class ProgramRun {
  public:
    explicit ProgramRun(std::vector<std::string> args) {
        int out[2];
        if (::pipe(out) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            std::vector<char*> argv{const_cast<char*>("thermpos-vprinter")};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(THERMPOS_VPRINTER_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        char c;
        while (child_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
            firstLine_ += c;
        ::close(out[0]);
    }
    ~ProgramRun() {
        if (child_ > 0 && !ended_) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    const std::string& FirstLine() const { return firstLine_; }
    // Sends SIGTERM and waits for the exit; true when it exited with status 0.
    bool TerminatesCleanly() {
        if (child_ <= 0 || ::kill(child_, SIGTERM) != 0)
            return false;
        int status = 0;
        ended_ = ::waitpid(child_, &status, 0) == child_;
        return ended_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    pid_t child_ = -1;
    bool ended_ = false;
    std::string firstLine_;
};

// A printer with a private registry and lock folder (and an output folder inside it, for
// the tests that set options_.outDir to OutDir()).
class HostTest : public ::testing::Test {
  protected:
    std::string OutDir() const { return dir_.Dir() + "/out"; }
    bool Start() {
        std::string error;
        const bool ok = printer_.Start(options_, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    thermpos::testing::TempEnv dir_;  // THERMPOS_REGISTRY and THERMPOS_LOCK_DIR inside
    VirtualPrinterOptions options_;
    VirtualPrinter printer_;
};

}  // namespace thermpos::vprinter::hosttest
