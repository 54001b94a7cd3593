// The test environment on Windows: a private temporary folder and the process's settings.
// The registry there is the system's (the Wine prefix's), so THERMPOS_REGISTRY names a
// file nothing reads; tests that write logical devices run one at a time (RUN_SERIAL).
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/temp_env.h"

namespace thermpos::testing {

TempEnv::TempEnv(const Options& options) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error)
        return;
    for (unsigned attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
        const std::filesystem::path dir =
            base / ("thermpos-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                    std::to_string(::GetTickCount64()) + "-" + std::to_string(attempt));
        if (std::filesystem::create_directory(dir, error))
            dir_ = dir.generic_string();
    }
    if (dir_.empty())
        return;
    Set("THERMPOS_REGISTRY", HivePath());
    Set("THERMPOS_LOCK_DIR", LockDir());
    if (!options.openWaitMs.empty())
        Set("THERMPOS_OPEN_WAIT_MS", options.openWaitMs);
    if (!options.probeWaitMs.empty())
        Set("THERMPOS_PROBE_WAIT_MS", options.probeWaitMs);
}

TempEnv::~TempEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
        ::_putenv_s(it->first.c_str(), it->second ? it->second->c_str() : "");
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
    ::_putenv_s(name, value.c_str());
}

TempEnv& ProcessEnv() {
    static TempEnv env;
    return env;
}

}  // namespace thermpos::testing
