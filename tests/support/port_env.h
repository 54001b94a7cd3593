// Shared set-up for the port tests: a private registry hive, lock folder and short open
// wait per test, written the way another process would write them, and pseudo-terminals.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/dcb_termios.h"
#include "platform/pty.h"
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

// A pseudo-terminal pair standing in for the printer; the test holds the master.
class Pty {
  public:
    Pty() {
        std::string error;
        (void)terminal_.Open(&error);
    }
    bool ok() const { return terminal_.IsOpen(); }
    const std::string& slave() const { return terminal_.SlavePath(); }
    // The printer goes away: the port's writes fail from now on.
    void CloseMaster() { terminal_.Close(); }

    // The line settings of the pair (one set, shared by both ends).
    termios Settings() const {
        termios t{};
        EXPECT_TRUE(terminal_.GetLineSettings(&t));
        return t;
    }
    bool SetSettings(const termios& t) { return terminal_.SetLineSettings(t); }

    void Send(const std::string& bytes) { ASSERT_TRUE(terminal_.SendAll(bytes)); }
    // Reads until `count` bytes came or `limitMs` passed without any.
    std::string Receive(std::size_t count, int limitMs = 5000) {
        return terminal_.Receive(count, limitMs);
    }

  private:
    platform::pty::PseudoTerminal terminal_;
};

}  // namespace thermpos::testing
