// The printer service's speed for each model: print data translation against memcpy of
// the same bytes, and asynchronous printing end to end on the virtual printer over a pty
// mapped as a COM port (jobs per second, and the time from PrintNormal to its
// OutputComplete event). Each figure's label names the model, and the port where there is
// one.
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

// Each model with its logical device and the port its asynchronous benchmarks use.
template <class Printer>
struct ModelOf;
template <>
struct ModelOf<CPrinterQMX5500> {
    static constexpr const char* name = "QMX5500";
    static constexpr const char* device = printertest::kQMX5500;
    static constexpr const char* port = "COM12";
};
template <>
struct ModelOf<CPrinterRTK410> {
    static constexpr const char* name = "RTK410";
    static constexpr const char* device = printertest::kRTK410;
    static constexpr const char* port = "COM13";
};
template <>
struct ModelOf<CPrinterRTK6100> {
    static constexpr const char* name = "RTK6100";
    static constexpr const char* device = printertest::kRTK6100;
    static constexpr const char* port = "COM14";
};

template <class Printer>
void Translate(benchmark::State& state, const std::string& data) {
    state.SetLabel(ModelOf<Printer>::name);
    Printer printer;
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

template <class Printer>
void BM_TranslatePlain(benchmark::State& state) {
    Translate<Printer>(state, PlainText(64 * 1024));
}
template <class Printer>
void BM_TranslateEscapeDense(benchmark::State& state) {
    Translate<Printer>(state, EscapeDense(64 * 1024));
}
template <class Printer>
void BM_TranslateFormattedLines(benchmark::State& state) {
    Translate<Printer>(state, FormattedLines(64 * 1024));
}
void BM_MemcpyPlain(benchmark::State& state) {
    Memcpy(state, PlainText(64 * 1024));
}
void BM_MemcpyEscapeDense(benchmark::State& state) {
    Memcpy(state, EscapeDense(64 * 1024));
}

// A typical receipt (the one the asynchronous benchmarks print), translated whole.
template <class Printer>
void BM_TranslateReceipt(benchmark::State& state) {
    Translate<Printer>(state, Receipt());
}

#define EACH_MODEL(bench)                       \
    BENCHMARK_TEMPLATE(bench, CPrinterQMX5500); \
    BENCHMARK_TEMPLATE(bench, CPrinterRTK410);  \
    BENCHMARK_TEMPLATE(bench, CPrinterRTK6100)

EACH_MODEL(BM_TranslateReceipt);
EACH_MODEL(BM_TranslatePlain);
BENCHMARK(BM_MemcpyPlain);
EACH_MODEL(BM_TranslateEscapeDense);
BENCHMARK(BM_MemcpyEscapeDense);
EACH_MODEL(BM_TranslateFormattedLines);

// An enabled printer of the model in AsyncMode on the virtual printer, mapped as a COM
// port.
template <class Printer>
struct AsyncSetup {
    using Model = ModelOf<Printer>;
    AsyncSetup() {
        thermpos::vprinter::VirtualPrinterOptions options;
        options.mapName = Model::port;
        options.keepReceipts = 4;
        std::string error;
        ok = virtualPrinter.Start(options, &error);
        printertest::WriteDevice(Model::device, {{"Port", Model::port}});
        ok = ok && printer.OpenService("POSPrinter", Model::device, &control) == 0 &&
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
    Printer printer;
    bool ok = false;
};

template <class Printer>
void LabelAsync(benchmark::State& state) {
    state.SetLabel(std::string(ModelOf<Printer>::name) + " " + ModelOf<Printer>::port);
}

template <class Printer>
void BM_AsyncReceipts(benchmark::State& state) {
    LabelAsync<Printer>(state);
    AsyncSetup<Printer> setup;
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
#define EACH_MODEL_TIMED(bench, unit)                                                    \
    BENCHMARK_TEMPLATE(bench, CPrinterQMX5500)->Unit(unit)->UseRealTime()->MinTime(3.0); \
    BENCHMARK_TEMPLATE(bench, CPrinterRTK410)->Unit(unit)->UseRealTime()->MinTime(3.0);  \
    BENCHMARK_TEMPLATE(bench, CPrinterRTK6100)->Unit(unit)->UseRealTime()->MinTime(3.0)

EACH_MODEL_TIMED(BM_AsyncReceipts, benchmark::kMicrosecond);

// Jobs queued back to back: throughput with the queue kept full.
template <class Printer>
void BM_AsyncReceiptsQueued(benchmark::State& state) {
    LabelAsync<Printer>(state);
    AsyncSetup<Printer> setup;
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
EACH_MODEL_TIMED(BM_AsyncReceiptsQueued, benchmark::kMillisecond);

}  // namespace
