// Shared set-up for the port tests: a private registry hive, lock folder and short open
// wait per test, written the way another process would write them, and pseudo-terminals.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/temp_env.h"

namespace thermpos::testing {

// A private temporary folder with THERMPOS_REGISTRY and THERMPOS_LOCK_DIR inside it.
class PortEnvTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace();
        ASSERT_TRUE(env_->ok());
        dir_ = env_->Dir();
        hive_ = env_->HivePath();
    }
    void TearDown() override { env_.reset(); }

    // Replaces the hive with `body` (sections and values, without the header line), by
    // rename, so the store sees a new file as it would after another process saved.
    void WriteHive(const std::string& body) {
        std::string temp = hive_ + ".new";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << "Windows Registry Editor Version 5.00\n\n" << body;
        }
        std::filesystem::rename(temp, hive_);
    }

    // A .reg string value: backslashes and quotes escaped.
    static std::string RegText(const std::string& s) {
        std::string out;
        for (char c : s) {
            if (c == '\\' || c == '"')
                out += '\\';
            out += c;
        }
        return "\"" + out + "\"";
    }

    static std::string PortsSection(const std::string& values) {
        return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ThermPOS\\Ports]\n" + values + "\n";
    }

    std::optional<TempEnv> env_;
    std::string dir_;
    std::string hive_;
};

// A pseudo-terminal pair; the master end is non-blocking and raw.
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0)
            return;
        slave_ = name;
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    void CloseMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // The line settings of the pair (one set, shared by both ends).
    termios Settings() const {
        termios t{};
        ::tcgetattr(master_, &t);
        return t;
    }

    void Send(const std::string& bytes) const {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `count` bytes came or `limitMs` passed without any.
    std::string Receive(std::size_t count, int limitMs = 5000) const {
        std::string out;
        while (out.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, limitMs) <= 0)
                break;
            char buf[4096];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

  private:
    int master_ = -1;
    std::string slave_;
};

}  // namespace thermpos::testing
