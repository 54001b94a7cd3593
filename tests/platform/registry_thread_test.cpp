// Threads of one process sharing the store: writers, readers and a thread that keeps
// deleting and re-creating a subtree, all at once. Built into the ThreadSanitizer run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

constexpr int kThreads = 4;
constexpr int kWrites = 40;

using RegistryThreads = RegistryTest;

TEST_F(RegistryThreads, WritersReadersAndDeletersShareOneStore) {
    HKEY shared = Create("SOFTWARE\\Threads");
    std::atomic<int> failures{0};
    std::atomic<int> writersLeft{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kWrites; ++i) {
                const std::string name = "T" + std::to_string(t) + "_" + std::to_string(i);
                if (SetString(shared, name.c_str(), std::to_string(i)) != ERROR_SUCCESS)
                    ++failures;
            }
            --writersLeft;
        });
    }
    // Readers and the deleter run until the writers are done; they only check that every
    // call gives a sensible answer, never a crash or a torn value.
    threads.emplace_back([&] {
        while (writersLeft > 0) {
            HKEY key = nullptr;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Threads", 0, KEY_READ, &key) !=
                ERROR_SUCCESS) {
                ++failures;
                continue;
            }
            for (DWORD i = 0;; ++i) {
                char name[64];
                DWORD cch = sizeof name;
                char data[16];
                DWORD cb = sizeof data;
                const LONG r = RegEnumValueA(key, i, name, &cch, nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(data), &cb);
                if (r == ERROR_NO_MORE_ITEMS)
                    break;
                if (r != ERROR_SUCCESS || cb == 0 || data[cb - 1] != '\0')
                    ++failures;
            }
            RegCloseKey(key);
        }
    });
    threads.emplace_back([&] {
        while (writersLeft > 0) {
            HKEY scratch = Create("SOFTWARE\\Threads\\Scratch\\Deep");
            const LONG set = SetString(scratch, "x", "y");
            // The other half of the loop may delete the key between the two calls.
            if (set != ERROR_SUCCESS && set != ERROR_KEY_DELETED)
                ++failures;
            RegCloseKey(scratch);
            if (RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Threads\\Scratch") != ERROR_SUCCESS)
                ++failures;
        }
    });
    for (auto& thread : threads)
        thread.join();
    RegCloseKey(shared);
    EXPECT_EQ(failures, 0);

    Reload();
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kWrites; ++i) {
            const std::string name = "T" + std::to_string(t) + "_" + std::to_string(i);
            ASSERT_EQ(GetString("SOFTWARE\\Threads", name.c_str()), std::to_string(i)) << name;
        }
    }
    EXPECT_EQ(GetString("SOFTWARE\\Threads\\Scratch", ""), "<error 2>");
}

}  // namespace
}  // namespace thermpos::testing
