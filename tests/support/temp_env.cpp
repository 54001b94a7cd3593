#include "tests/support/temp_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace thermpos::testing {

TempEnv::TempEnv(const Options& options) {
    const bool shm = options.memoryBacked && ::access("/dev/shm", W_OK) == 0;
    std::string pattern = std::string(shm ? "/dev/shm" : "/tmp") + "/thermpos-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        return;
    dir_ = pattern;
    Set("THERMPOS_REGISTRY", HivePath());
    Set("THERMPOS_LOCK_DIR", LockDir());
    if (!options.openWaitMs.empty())
        Set("THERMPOS_OPEN_WAIT_MS", options.openWaitMs);
    if (!options.probeWaitMs.empty())
        Set("THERMPOS_PROBE_WAIT_MS", options.probeWaitMs);
}

TempEnv::~TempEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            ::unsetenv(it->first.c_str());
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

void TempEnv::Set(const char* name, const std::string& value) {
    bool known = false;
    for (const auto& entry : saved_)
        known |= entry.first == name;
    if (!known) {
        const char* previous = std::getenv(name);
        saved_.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
    }
    ::setenv(name, value.c_str(), 1);
}

TempEnv& ProcessEnv() {
    static TempEnv env;
    return env;
}

}  // namespace thermpos::testing
