// What the tests of device-file ports share: reads, writes and waits on a handle run on a
// thread of their own, so that one that hangs fails its test at kGenerous instead of
// hanging the program, and a write that must move every byte.
#pragma once

#include <chrono>
#include <future>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "platform/devfile.h"

namespace thermpos::testing {

// A limit no working call comes near; only a hang reaches it.
inline constexpr std::chrono::seconds kGenerous{30};

// ReadFile of `size` bytes: its result and the bytes read. A count ReadFile leaves unset
// shows as the whole buffer, never as the empty read a time-out gives.
inline std::future<std::pair<LONG, std::string>> ReadAsync(HANDLE port, DWORD size) {
    return std::async(std::launch::async, [port, size] {
        std::string buffer(size, '\0');
        DWORD n = size;
        const LONG rc = platform::devfile::ReadFile(port, buffer.data(), size, &n);
        return std::make_pair(rc, buffer.substr(0, n));
    });
}

// WriteFile of all of `bytes`, which must outlive the future: its result and the count
// written.
inline std::future<std::pair<LONG, DWORD>> WriteAsync(HANDLE port, const std::string& bytes) {
    return std::async(std::launch::async, [port, &bytes] {
        DWORD written = 0;
        const LONG rc = platform::devfile::WriteFile(port, bytes.data(),
                                                     static_cast<DWORD>(bytes.size()), &written);
        return std::make_pair(rc, written);
    });
}

// Writes all of `bytes` at once (the handle's write time-outs apply); fails the test
// otherwise.
inline void WriteAll(HANDLE port, const std::string& bytes) {
    DWORD written = 0;
    ASSERT_EQ(platform::devfile::WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()),
                                           &written),
              ERROR_SUCCESS);
    ASSERT_EQ(written, bytes.size());
}

// WaitForInput on the port (and wakeFd, -1 for none) for at most timeoutMs.
inline std::future<DWORD> WaitAsync(HANDLE port, int wakeFd, DWORD timeoutMs) {
    return std::async(std::launch::async, [port, wakeFd, timeoutMs] {
        return platform::devfile::WaitForInput(port, wakeFd, timeoutMs);
    });
}

}  // namespace thermpos::testing
