// What waiting for the bytes to leave the port costs. Jobs of a receipt's size go to the
// virtual printer on a 115200 baud line, once written as the port takes them and once
// each followed by PMDrainPort, as a device write now is: on a COM name mapped to its pty,
// and on a network port to it listening on 127.0.0.1. For each: how long a job's write
// takes to return (what a synchronous print waits, and what delays OutputComplete), and
// the jobs per second until the printer has taken in the last byte.
//
//   drain_bench [JOBS [LINES]]   (defaults 200 jobs of 12 lines of 40 characters)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "portlib/LinkPort.h"
#include "tests/support/temp_env.h"
#include "vprinter/virtual_printer.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace vp = thermpos::vprinter;

constexpr int kBaud = 115200;
int g_lines = 12;

// Lines of 40 characters and a cut: twelve make about a short receipt.
std::string Job(int n) {
    std::string job;
    for (int line = 0; line < g_lines; ++line) {
        char text[64];
        std::snprintf(text, sizeof text, "job %06d line %02d ........................\n", n, line);
        job += text;
    }
    return job + "\x1d\x56\x01";
}

struct Result {
    double medianWriteMs = 0, maxWriteMs = 0, jobsPerSecond = 0;
};

bool Run(bool network, bool drain, int jobs, Result* out) {
    vp::VirtualPrinterOptions options;
    options.model.baud = kBaud;
    options.mapName = network ? "IP_127.0.0.1" : "COM40";
    if (network)
        options.listenAddress = "127.0.0.1:0";
    vp::VirtualPrinter printer;
    std::string error;
    if (!printer.Start(options, &error)) {
        std::fprintf(stderr, "drain_bench: %s\n", error.c_str());
        return false;
    }
    HANDLE h = INVALID_HANDLE_VALUE;
    if (PMOpenPort(options.mapName.c_str(), &h, nullptr) != 1) {
        std::fprintf(stderr, "drain_bench: cannot open %s\n", options.mapName.c_str());
        return false;
    }
    // What the service objects set: no total limit, 2 s for a line that stops moving.
    PMSetWritePortTimeOuts(h, MAXDWORD, 2000);
    std::vector<double> writeMs;
    std::uint64_t bytes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < jobs; ++i) {
        const std::string job = Job(i);
        const auto before = Clock::now();
        int written = 0;
        int rc = PMWritePort(h, job.data(), static_cast<int>(job.size()), &written);
        if (rc == 0 && drain)
            rc = PMDrainPort(h);
        writeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        if (rc != 0) {
            std::fprintf(stderr, "drain_bench: job %d failed with %d\n", i, rc);
            PMClosePort(h);
            return false;
        }
        bytes += job.size();
    }
    const bool all = printer.WaitBytesConsumed(bytes, std::chrono::minutes(5));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    PMClosePort(h);
    printer.Stop();
    if (!all) {
        std::fprintf(stderr, "drain_bench: the printer did not take everything in\n");
        return false;
    }
    std::sort(writeMs.begin(), writeMs.end());
    out->medianWriteMs = writeMs[writeMs.size() / 2];
    out->maxWriteMs = writeMs.back();
    out->jobsPerSecond = jobs / seconds;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int jobs = argc > 1 ? std::atoi(argv[1]) : 200;
    g_lines = argc > 2 ? std::atoi(argv[2]) : 12;
    if (jobs <= 0 || jobs > 100000 || g_lines <= 0 || g_lines > 1000 || argc > 3) {
        std::fprintf(stderr, "usage: %s [JOBS [LINES]]\n", argv[0]);
        return 2;
    }
    thermpos::testing::TempEnv env;
    if (!env.ok())
        return 1;
    std::printf("%d jobs of %zu bytes at %d baud\n\n", jobs, Job(0).size(), kBaud);
    std::printf("| port | drain | write returns (median / max ms) | jobs/s |\n|---|---|---|---|\n");
    for (bool network : {false, true}) {
        for (bool drain : {false, true}) {
            Result r;
            if (!Run(network, drain, jobs, &r))
                return 1;
            std::printf("| %s | %s | %.3f / %.3f | %.1f |\n", network ? "network" : "COM pty",
                        drain ? "yes" : "no", r.medianWriteMs, r.maxWriteMs, r.jobsPerSecond);
        }
    }
    return 0;
}
