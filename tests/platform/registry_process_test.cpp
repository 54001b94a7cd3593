// Two processes writing the same key at once: every write survives and the hive file
// parses whenever it is read.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/reg_text.h"
#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

constexpr int kWrites = 200;

// Runs in a child: writes "<prefix>N" = N for N in 0..kWrites-1, reopening the key each
// time as independent callers would, and after each write reads the hive file the way
// another process would (no lock) while the other writer may be saving. Returns the exit
// status: 0, or what went wrong.
int Writer(const std::string& hive, const char* prefix) {
    for (int i = 0; i < kWrites; ++i) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return 2;
        const std::string name = prefix + std::to_string(i);
        const std::string text = std::to_string(i);
        const LONG r = RegSetValueExA(key, name.c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(text.c_str()),
                                      static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
        if (r != ERROR_SUCCESS)
            return 3;
        std::ifstream in(hive, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        std::vector<platform::registry::detail::ParsedSection> sections;
        std::string error;
        if (bytes.str().empty() ||
            !platform::registry::detail::ParseRegFile(bytes.str(), hive, &sections, &error))
            return 4;
    }
    return 0;
}

using RegistryProcesses = RegistryTest;

TEST_F(RegistryProcesses, ConcurrentWritersLoseNothingAndTheFileAlwaysParses) {
    // Start from an existing file so the readers below always find one.
    HKEY key = Create("SOFTWARE\\Race");
    RegCloseKey(key);

    std::vector<pid_t> children;
    for (const char* prefix : {"First", "Second"}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            _exit(Writer(hive_, prefix));
        children.push_back(pid);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "2 open, 3 write, 4 file did not parse";
    }

    Reload();
    for (const char* prefix : {"First", "Second"}) {
        for (int i = 0; i < kWrites; ++i) {
            const std::string name = prefix + std::to_string(i);
            EXPECT_EQ(GetString("SOFTWARE\\Race", name.c_str()), std::to_string(i)) << name;
        }
    }
}

}  // namespace
}  // namespace thermpos::testing
