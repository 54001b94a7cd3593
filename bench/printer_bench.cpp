// The printer service's speed: print data translation against memcpy of the same bytes,
// and asynchronous printing end to end on the virtual printer over a pty (jobs per
// second, and the time from PrintNormal to its OutputComplete event).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/print_data.h"
#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using printbench::EscapeDense;
using printbench::FormattedLines;
using printbench::PlainText;
using printbench::Receipt;

void Translate(benchmark::State& state, const std::string& data) {
    CPrinterRTK410 printer;
    std::string out;
    for (auto _ : state) {
        out.clear();
        printer.TranslatePrintData(2, data, &out, false);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(data.size()));
}

void Memcpy(benchmark::State& state, const std::string& data) {
    std::string out(data.size(), '\0');
    for (auto _ : state) {
        std::memcpy(out.data(), data.data(), data.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(data.size()));
}

void BM_TranslatePlain(benchmark::State& state) {
    Translate(state, PlainText(64 * 1024));
}
void BM_TranslateEscapeDense(benchmark::State& state) {
    Translate(state, EscapeDense(64 * 1024));
}
void BM_TranslateFormattedLines(benchmark::State& state) {
    Translate(state, FormattedLines(64 * 1024));
}
void BM_MemcpyPlain(benchmark::State& state) {
    Memcpy(state, PlainText(64 * 1024));
}
void BM_MemcpyEscapeDense(benchmark::State& state) {
    Memcpy(state, EscapeDense(64 * 1024));
}

// A typical receipt (the one the asynchronous benchmarks print), translated whole.
void BM_TranslateReceipt(benchmark::State& state) {
    Translate(state, Receipt());
}

BENCHMARK(BM_TranslateReceipt);
BENCHMARK(BM_TranslatePlain);
BENCHMARK(BM_MemcpyPlain);
BENCHMARK(BM_TranslateEscapeDense);
BENCHMARK(BM_MemcpyEscapeDense);
BENCHMARK(BM_TranslateFormattedLines);

// An enabled RT-K410 in AsyncMode on the virtual printer, mapped as a COM port.
struct AsyncSetup {
    AsyncSetup() {
        thermpos::vprinter::VirtualPrinterOptions options;
        options.mapName = "COM12";
        options.keepReceipts = 4;
        std::string error;
        ok = virtualPrinter.Start(options, &error);
        printertest::WriteDevice(printertest::kRTK410, {{"Port", "COM12"}});
        ok = ok && printer.OpenService("POSPrinter", printertest::kRTK410, &control) == 0 &&
             printer.ClaimDevice(0) == 0;
        printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ok = ok && printer.ResultCode() == 0;
        printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    }
    ~AsyncSetup() {
        printer.Close();
        virtualPrinter.Stop();
    }

    printertest::RecordingControl control;
    thermpos::vprinter::VirtualPrinter virtualPrinter;
    CPrinterRTK410 printer;
    bool ok = false;
};

void BM_AsyncReceipts(benchmark::State& state) {
    AsyncSetup setup;
    if (!setup.ok) {
        state.SkipWithError("the printer could not be enabled on the virtual printer");
        return;
    }
    const std::string receipt = Receipt();
    std::vector<double> latencies;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        setup.printer.PrintNormal(2, receipt);
        const LONG id = setup.printer.GetPropertyNumber(PIDX_OutputID);
        if (!setup.control.WaitForOutput(id, std::chrono::seconds(10))) {
            state.SkipWithError("no OutputComplete within 10 s");
            break;
        }
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        // The recorder looks for the output among every event it holds: emptied after each
        // job, its search does not grow with the run and become what is measured.
        setup.control.Clear();
    }
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) {
        state.counters["median_us"] = latencies[latencies.size() / 2];
        state.counters["p99_us"] =
            latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    state.counters["jobs_per_s"] =
        benchmark::Counter(static_cast<double>(latencies.size()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(latencies.size() * receipt.size()));
}
BENCHMARK(BM_AsyncReceipts)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(3.0);

// Jobs queued back to back: throughput with the queue kept full.
void BM_AsyncReceiptsQueued(benchmark::State& state) {
    AsyncSetup setup;
    if (!setup.ok) {
        state.SkipWithError("the printer could not be enabled on the virtual printer");
        return;
    }
    const std::string receipt = Receipt();
    const int batch = 50;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i)
            setup.printer.PrintNormal(2, receipt);
        const LONG id = setup.printer.GetPropertyNumber(PIDX_OutputID);
        if (!setup.control.WaitForOutput(id, std::chrono::seconds(30))) {
            state.SkipWithError("no OutputComplete within 30 s");
            break;
        }
        setup.control.Clear();
    }
    state.counters["jobs_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AsyncReceiptsQueued)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace
