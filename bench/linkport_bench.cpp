// The port library's calls that must not wait, timed rather than asserted: an immediate
// read with nothing pending, and an open of a name that is no port (no open wait), on a
// pseudo-terminal mapped as COM7 in a temporary registry.
#include <benchmark/benchmark.h>

#include <string>

#include "portlib/LinkPort.h"
#include "tests/support/port_env.h"
#include "tests/support/temp_env.h"

namespace {

using thermpos::testing::Pty;
using thermpos::testing::TempEnv;

// Maps COM7 to the pty's slave in the temporary hive.
bool MapCom7(const TempEnv& env, const Pty& pty) {
    std::ofstream out(env.HivePath(), std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ThermPOS\\Ports]\n"
        << "\"COM7\"=\"" << pty.slave() << "\"\n";
    return static_cast<bool>(out);
}

void BM_ImmediateReadNothingPending(benchmark::State& state) {
    TempEnv env;
    Pty pty;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!env.ok() || !pty.ok() || !MapCom7(env, pty) || PMOpenPort("COM7", &handle, nullptr) != 1 ||
        PMSetPortTimeOuts(handle, MAXDWORD, 0, 0, 0, 2000) != 1) {
        state.SkipWithError("cannot open the pseudo-terminal as COM7");
        return;
    }
    char buffer[16];
    for (auto _ : state) {
        int read = -1;
        benchmark::DoNotOptimize(PMReadPort(handle, buffer, sizeof buffer, &read));
    }
    PMClosePort(handle);
}
BENCHMARK(BM_ImmediateReadNothingPending)->Unit(benchmark::kMicrosecond);

void BM_OpenUnknownName(benchmark::State& state) {
    TempEnv::Options options;
    options.openWaitMs = "150";  // what a real port would wait; an unknown name must not
    TempEnv env(options);
    for (auto _ : state) {
        HANDLE handle = nullptr;
        benchmark::DoNotOptimize(PMOpenPort("PRN", &handle, nullptr));
    }
}
BENCHMARK(BM_OpenUnknownName)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
