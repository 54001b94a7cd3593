// The status monitor's cost and speed, through the control objects and the test server,
// on the virtual printer over a pty:
//   - idle CPU: a claimed, enabled printer and an enabled drawer sharing one port, left
//     alone for 10 s; the CPU time of the whole process and of the port's monitor thread;
//   - latency: cover changes at the virtual printer to the StatusUpdateEvent at the
//     control object's listener, median and 99th percentile over 250 changes.
// Threads: the benchmark's own, the virtual printer's, and those of the service objects
// (event threads, the monitor thread), which the listener is called on.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/dispatch.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using thermpos::opos::ControlEventListener;
using thermpos::opos::COposControl;
using thermpos::platform::com::OutgoingArgs;
using thermpos::vprinter::PrinterStatus;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

class Listener : public ControlEventListener {
  public:
    void OnStatusUpdate(LONG data) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            last_ = data;
            at_ = Clock::now();
            ++count_;
        }
        changed_.notify_all();
    }
    // Waits for an update with `value` after `seen` updates; its arrival time.
    bool WaitFor(LONG value, size_t seen, Clock::time_point* at) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool ok = changed_.wait_for(lock, 10s, [&] { return count_ > seen && last_ == value; });
        *at = at_;
        return ok;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    LONG last_ = -1;
    Clock::time_point at_;
    size_t count_ = 0;
};

std::set<std::string> Threads() {
    std::set<std::string> tids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        tids.insert(e.path().filename().string());
    return tids;
}

// User plus system CPU of one thread of this process, in milliseconds.
double ThreadCpuMs(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i)
        if (i == 14 || i == 15)
            ticks += std::stod(field);
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// The virtual printer with a printer and a drawer enabled on it through the control
// objects of the test server, both with their status interpreters.
class Rig {
  public:
    bool Start(benchmark::State& state) {
        if (sotest::RegisterServer(sotest::TestServerPath()) != S_OK)
            return Fail(state, "cannot register the test server");
        VirtualPrinterOptions options;
        options.mapName = "COM21";
        std::string error;
        if (!vp.Start(options, &error))
            return Fail(state, error);
        for (const char* deviceClass : {"POSPrinter", "CashDrawer"})
            sotest::WriteDevice(deviceClass,
                                deviceClass[0] == 'P' ? kTestPrinterName : kTestDrawerName,
                                {{"Port", "COM21"}, {kTestStatusMonitorValue, "1"}});
        before = Threads();
        printer.SetListener(&listener);
        if (printer.Open(kTestPrinterName) != OPOS_SUCCESS)
            return Fail(state, "printer open");
        OutgoingArgs zero;
        zero.Long(0);
        if (printer.CallLong("ClaimDevice", zero) != OPOS_SUCCESS)
            return Fail(state, "printer claim");
        if (drawer.Open(kTestDrawerName) != OPOS_SUCCESS)
            return Fail(state, "drawer open");
        opened = Threads();
        printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        if (printer.GetPropertyNumber(PIDX_DeviceEnabled) != 1 ||
            drawer.GetPropertyNumber(PIDX_DeviceEnabled) != 1)
            return Fail(state, "enable");
        if (!vp.WaitStatus([](const PrinterStatus& s) { return s.asbMask != 0; }, 10s))
            return Fail(state, "no status request reached the printer");
        for (const std::string& tid : Threads())
            if (!opened.count(tid))
                monitorThreads.push_back(tid);
        return true;
    }
    ~Rig() {
        printer.Close();
        drawer.Close();
    }

    VirtualPrinter vp;
    Listener listener;
    COposControl printer{"POSPrinter"};
    COposControl drawer{"CashDrawer"};
    std::set<std::string> before, opened;
    std::vector<std::string> monitorThreads;  // started by enabling: the monitor

  private:
    bool Fail(benchmark::State& state, const std::string& why) {
        state.SkipWithError(why.c_str());
        return false;
    }
};

void BM_IdlePrinterAndDrawerOnOnePort(benchmark::State& state) {
    Rig rig;
    if (!rig.Start(state))
        return;
    for (auto _ : state) {
        double process = ProcessCpuMs();
        double monitor = 0;
        for (const auto& tid : rig.monitorThreads)
            monitor -= ThreadCpuMs(tid);
        // The measured interval itself: nothing to wait for but time.
        std::this_thread::sleep_for(10s);
        for (const auto& tid : rig.monitorThreads)
            monitor += ThreadCpuMs(tid);
        process = ProcessCpuMs() - process;
        state.counters["process_cpu_ms_per_10s"] = process;
        state.counters["monitor_cpu_ms_per_10s"] = monitor;
        state.counters["process_cpu_percent"] = process / 100.0;
        state.counters["monitor_threads"] = static_cast<double>(rig.monitorThreads.size());
    }
}
BENCHMARK(BM_IdlePrinterAndDrawerOnOnePort)->Iterations(1)->Unit(benchmark::kSecond);

void BM_CoverChangeToStatusUpdate(benchmark::State& state) {
    Rig rig;
    if (!rig.Start(state))
        return;
    constexpr int kChanges = 250;
    std::vector<double> latencies;
    latencies.reserve(kChanges);
    for (auto _ : state) {
        bool open = false;
        for (int i = 0; i < kChanges; ++i) {
            open = !open;
            size_t seen = rig.listener.Count();
            Clock::time_point start = Clock::now();
            rig.vp.SetCover(open);
            Clock::time_point at;
            if (!rig.listener.WaitFor(open ? PTR_SUE_COVER_OPEN : PTR_SUE_COVER_OK, seen, &at)) {
                state.SkipWithError("no status update within 10 s");
                return;
            }
            latencies.push_back(std::chrono::duration<double, std::milli>(at - start).count());
        }
    }
    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        size_t i = static_cast<size_t>(p * static_cast<double>(latencies.size() - 1) + 0.5);
        return latencies[std::min(i, latencies.size() - 1)];
    };
    state.counters["changes"] = static_cast<double>(latencies.size());
    state.counters["median_ms"] = pct(0.5);
    state.counters["p99_ms"] = pct(0.99);
    state.counters["max_ms"] = latencies.back();
}
BENCHMARK(BM_CoverChangeToStatusUpdate)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
