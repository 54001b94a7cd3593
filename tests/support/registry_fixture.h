// The registry tests' fixture: a private hive file per test, and a way to make
// the store read a hive from disk again as a fresh process would.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/registry.h"
#include "tests/support/temp_env.h"

namespace thermpos::testing {

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TempEnv::Options options;
        options.memoryBacked = true;
        options.openWaitMs.clear();
        env_.emplace(options);
        ASSERT_TRUE(env_->ok());
        dir_ = env_->Dir();
        UseHive(env_->HivePath());
    }
    void TearDown() override {
        // Every test closes what it opens.
        EXPECT_EQ(registry::OpenHandleCount(), 0u);
        std::error_code ignored;
        std::filesystem::permissions(hive_, std::filesystem::perms::owner_all, ignored);
        env_.reset();
    }

    void UseHive(const std::string& path) {
        hive_ = path;
        env_->Set("THERMPOS_REGISTRY", hive_);
    }

    // Copies the hive to a new file and switches to it: the store then parses it from
    // scratch, which is what another process would see.
    void Reload() {
        const std::string copy = dir_ + "/reload" + std::to_string(++reloads_) + ".reg";
        std::filesystem::copy_file(hive_, copy);
        UseHive(copy);
    }

    std::string ReadFile(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void WriteFile(const std::string& path, const std::string& bytes) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    // Creates (or opens) a key below HKEY_LOCAL_MACHINE with full access.
    HKEY Create(const char* path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        return key;
    }
    LONG SetString(HKEY key, const char* name, const std::string& text) {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    }
    // The value's text, or "<error N>".
    std::string GetString(const char* keyPath, const char* name) {
        HKEY key = nullptr;
        LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
        if (r != ERROR_SUCCESS)
            return "<error " + std::to_string(r) + ">";
        char buf[512] = {};
        DWORD cb = sizeof buf;
        r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb);
        RegCloseKey(key);
        if (r != ERROR_SUCCESS)
            return "<error " + std::to_string(r) + ">";
        return std::string(buf, cb ? cb - 1 : 0);
    }

    std::optional<TempEnv> env_;
    std::string dir_;
    std::string hive_;
    int reloads_ = 0;
};

}  // namespace thermpos::testing
