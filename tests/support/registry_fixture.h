// The registry tests' fixture: a private hive file per test, a way to make the store read
// a hive from disk again as a fresh process would, and the edits other programs make.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/reg_limits.h"
#include "platform/reg_text.h"
#include "platform/registry.h"
#include "tests/support/temp_env.h"

namespace thermpos::testing {

class RegistryTest : public ::testing::Test {
  private:
    template <class Next>
    static std::vector<std::string> EnumNames(Next next) {
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            char name[256];
            DWORD cch = sizeof name;
            if (next(i, name, &cch) != ERROR_SUCCESS)
                return names;
            names.emplace_back(name, cch);
        }
    }

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
        EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
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

    // The names RegEnumKeyExA (subkeys) or RegEnumValueA (values) lists for the key, in
    // the order it lists them.
    static std::vector<std::string> SubkeyNames(HKEY key) {
        return EnumNames([key](DWORD i, char* name, DWORD* cch) {
            return RegEnumKeyExA(key, i, name, cch, nullptr, nullptr, nullptr, nullptr);
        });
    }
    static std::vector<std::string> ValueNames(HKEY key) {
        return EnumNames([key](DWORD i, char* name, DWORD* cch) {
            return RegEnumValueA(key, i, name, cch, nullptr, nullptr, nullptr, nullptr);
        });
    }

    // Rewrites the hive in place as an editor may: `from` replaced by `to` of the same
    // length, and the access and modification times set back to what they were, so that
    // only the change time (which cannot be set back) tells.
    void RewriteInPlaceKeepingTimes(const std::string& from, const std::string& to) {
        ASSERT_EQ(from.size(), to.size());
        struct stat st;
        ASSERT_EQ(stat(hive_.c_str(), &st), 0);
        std::string text = ReadFile(hive_);
        const std::size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        WriteFile(hive_, text);
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, hive_.c_str(), times, 0), 0);
    }

    // Writes a hive whose file comes within about `room` bytes of the largest the store
    // keeps: 1 MiB binary values under SOFTWARE\\Full, and "Port"="COM1:" there to show
    // that the hive still works. Built in memory and written once, because saving it
    // value by value would rewrite tens of megabytes each time.
    void WriteNearlyFullHive(std::size_t room) {
        namespace detail = platform::registry::detail;
        detail::Node root;
        root.subkeys.push_back(std::make_unique<detail::Node>());
        root.subkeys[0]->name = "SOFTWARE";
        detail::Node* software = root.subkeys[0].get();
        software->subkeys.push_back(std::make_unique<detail::Node>());
        detail::Node* full = software->subkeys[0].get();
        full->name = "Full";
        full->values.push_back(detail::Value{"Port", REG_SZ, {'C', 'O', 'M', '1', ':', 0}});
        std::string text;
        std::string error;
        ASSERT_EQ(detail::WriteHiveText(root, &text, &error), ERROR_SUCCESS);
        const std::size_t base = text.size();
        const std::vector<BYTE> mib(platform::registry::kMaxValueSize, 0x5A);
        full->values.push_back(detail::Value{"V0", REG_BINARY, mib});
        ASSERT_EQ(detail::WriteHiveText(root, &text, &error), ERROR_SUCCESS);
        const std::size_t perValue = text.size() - base;
        const std::size_t target = platform::registry::kMaxFileSize - room;
        const std::size_t count = (target - base) / perValue;
        for (std::size_t i = 1; i < count; ++i)
            full->values.push_back(detail::Value{"V" + std::to_string(i), REG_BINARY, mib});
        // The rest with a smaller value: a hex list takes 79 characters per 25 bytes.
        const std::size_t rest = target - base - count * perValue;
        full->values.push_back(
            detail::Value{"Filler", REG_BINARY, std::vector<BYTE>(rest * 25 / 80, 0x33)});
        ASSERT_EQ(detail::WriteHiveText(root, &text, &error), ERROR_SUCCESS) << error;
        ASSERT_LE(text.size(), target);
        ASSERT_GT(text.size(), platform::registry::kMaxFileSize - 2 * room);
        WriteFile(hive_, text);
    }

    std::optional<TempEnv> env_;
    std::string dir_;
    std::string hive_;
    int reloads_ = 0;
};

}  // namespace thermpos::testing
