// The status monitor's cost and speed for each printer model, through the control objects
// and the server, on the virtual printer over a pty served from a child process (so that
// this process's CPU is the service objects' alone; bench/printer_process.h):
//   - idle CPU: a claimed, enabled printer and an enabled drawer of the model sharing one
//     COM port at the default StatusBackInterval (5 ms), left alone for 10 s; the CPU
//     time of the whole process and of the port's monitor thread, and the status
//     exchanges a second the printer answered (its bytes sent over the time);
//   - latency: cover changes at the virtual printer to the StatusUpdateEvent at the
//     control object's listener, median and 99th percentile over 250 changes (the time
//     includes the command's trip to the printer process).
// Every figure is named by the model and the port: Idle/RTK410/COM21 ...
// Threads: the benchmark's own and those of the service objects (event threads, the
// monitor thread), which the listener is called on; the printers run in the child.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/printer_process.h"
#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/dispatch.h"
#include "tests/so/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using bench::ProcessCpuMs;
using bench::ThreadCpuMs;
using bench::Threads;
using Clock = std::chrono::steady_clock;
using thermpos::opos::ControlEventListener;
using thermpos::opos::COposControl;
using thermpos::platform::com::OutgoingArgs;

// The three models, each with its printer and first drawer, on a port of its own.
struct Model {
    const char* name;
    const char* printer;
    const char* drawer;
    const char* port;
};
constexpr Model kModels[] = {
    {"QMX5500", "QMX5500TYPEII.TALVERN.POSPrinter", "QMX5500TYPEII.TALVERN.CD1", "COM21"},
    {"RTK410", "RTK410.TALVERN.POSPrinter", "RTK410.TALVERN.CD1", "COM22"},
    {"RTK6100", "RTK6100.TALVERN.POSPrinter", "RTK6100.TALVERN.CD1", "COM23"},
};

bench::PrinterProcess& Printers() {
    static bench::PrinterProcess printers;
    return printers;
}

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

// Bytes the printer process sent to the host so far: the status blocks (4 bytes each).
double PrinterBytesSent() {
    std::ifstream in("/proc/" + std::to_string(Printers().Pid()) + "/io");
    std::string key;
    double value = 0;
    while (in >> key >> value)
        if (key == "wchar:")
            return value;
    return 0;
}

// A printer and a drawer of the model enabled on its port through the control objects.
class Rig {
  public:
    explicit Rig(std::size_t index) : index_(index), model_(kModels[index]) {}
    bool Start(benchmark::State& state) {
        sotest::WriteDevice("POSPrinter", model_.printer, {{"Port", model_.port}});
        sotest::WriteDevice("CashDrawer", model_.drawer, {{"Port", model_.port}});
        printer.SetListener(&listener);
        if (printer.Open(model_.printer) != OPOS_SUCCESS)
            return Fail(state, "printer open");
        OutgoingArgs zero;
        zero.Long(1000);
        if (printer.CallLong("ClaimDevice", zero) != OPOS_SUCCESS)
            return Fail(state, "printer claim");
        if (drawer.Open(model_.drawer) != OPOS_SUCCESS)
            return Fail(state, "drawer open");
        opened = Threads();
        printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        if (printer.GetPropertyNumber(PIDX_DeviceEnabled) != 1 ||
            drawer.GetPropertyNumber(PIDX_DeviceEnabled) != 1)
            return Fail(state, "enable");
        if (!Printers().WaitStatusRequest(Index()))
            return Fail(state, "no status request reached the printer: " +
                                   Printers().Control(Index(), "status"));
        for (const std::string& tid : Threads())
            if (!opened.count(tid))
                monitorThreads.push_back(tid);
        return true;
    }
    ~Rig() {
        printer.Close();
        drawer.Close();
    }
    std::size_t Index() const { return index_; }

    Listener listener;
    COposControl printer{"POSPrinter"};
    COposControl drawer{"CashDrawer"};
    std::set<std::string> opened;
    std::vector<std::string> monitorThreads;  // started by enabling: the monitor

  private:
    bool Fail(benchmark::State& state, const std::string& why) {
        state.SkipWithError(why.c_str());
        return false;
    }
    const std::size_t index_;
    const Model& model_;
};

void BM_Idle(benchmark::State& state, std::size_t model) {
    Rig rig(model);
    if (!rig.Start(state))
        return;
    // Past the enable's own exchanges.
    std::this_thread::sleep_for(1s);
    for (auto _ : state) {
        double monitor = 0;
        for (const auto& tid : rig.monitorThreads)
            monitor -= ThreadCpuMs(tid);
        const double sent0 = PrinterBytesSent();
        const auto t0 = Clock::now();
        double process = ProcessCpuMs();
        // The measured interval itself: nothing to wait for but time.
        std::this_thread::sleep_for(10s);
        process = ProcessCpuMs() - process;
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        const double sent = PrinterBytesSent() - sent0;
        for (const auto& tid : rig.monitorThreads)
            monitor += ThreadCpuMs(tid);
        const double exchanges = sent / 4 / seconds;
        state.counters["process_cpu_percent"] = process / seconds / 10.0;
        state.counters["monitor_cpu_percent"] = monitor / seconds / 10.0;
        state.counters["status_blocks_per_s"] = exchanges;
        state.counters["cpu_us_per_block"] =
            exchanges > 0 ? process * 1000 / seconds / exchanges : 0;
        state.counters["monitor_threads"] = static_cast<double>(rig.monitorThreads.size());
    }
}

void BM_CoverChange(benchmark::State& state, std::size_t model) {
    Rig rig(model);
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
            if (!Printers().SetCover(rig.Index(), open)) {
                state.SkipWithError("the printer process did not take the command");
                return;
            }
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

}  // namespace

int main(int argc, char** argv) {
    // The printers first, while this process has no other thread to fork with.
    std::vector<bench::PrinterProcess::Printer> printers;
    for (const Model& m : kModels)
        printers.push_back({m.port, {}});
    std::string error;
    if (!Printers().Start(printers, &error)) {
        std::fprintf(stderr, "monitor_bench: %s\n", error.c_str());
        return 1;
    }
    if (sotest::RegisterServer(sotest::TestServerPath()) != S_OK) {
        std::fprintf(stderr, "monitor_bench: cannot register the server\n");
        return 1;
    }
    for (std::size_t i = 0; i < std::size(kModels); ++i) {
        const std::string where = std::string(kModels[i].name) + "/" + kModels[i].port;
        benchmark::RegisterBenchmark(("Idle/" + where).c_str(), BM_Idle, i)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
    }
    for (std::size_t i = 0; i < std::size(kModels); ++i) {
        const std::string where = std::string(kModels[i].name) + "/" + kModels[i].port;
        benchmark::RegisterBenchmark(("CoverChangeToStatusUpdate/" + where).c_str(), BM_CoverChange,
                                     i)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Printers().Stop();
    return 0;
}
