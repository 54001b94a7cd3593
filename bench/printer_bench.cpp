// The printer service's speed: print data translation against memcpy of the same bytes,
// and asynchronous printing end to end on the virtual printer over a pty (jobs per
// second, and the time from PrintNormal to its OutputComplete event).
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

std::string PlainText(std::size_t bytes) {
    const std::string line = "Flat white                          2 x 3.40\n";
    std::string text;
    while (text.size() < bytes)
        text += line;
    text.resize(bytes);
    return text;
}

// A sequence every few characters, as in a heavily formatted receipt.
std::string EscapeDense(std::size_t bytes) {
    const std::string e = "\x1B|";
    const std::string chunk = e + "bCTotal" + e + "N" + e + "cA" + e + "2C12.70\n" + e + "uCx" + e +
                              "N" + e + "3lF" + e + "rvCok" + e + "N";
    std::string text;
    while (text.size() < bytes)
        text += chunk;
    return text;
}

// Every line formatted, as on the headings, item lines and totals of a receipt that
// formats each line: centred double-size headings, bold names, an underlined subtotal, a
// bold double-size total, a reverse closing line and a feed; about one sequence per 12
// bytes. EscapeDense packs one per 5 bytes, most of them with no text between them, which
// no receipt does; both are kept, EscapeDense as the worst case.
std::string FormattedLines(std::size_t bytes) {
    const std::string e = "\x1B|";
    const std::string chunk = e + "cA" + e + "2CHARBOUR CAFE\n" + e + "N" +        //
                              e + "bCFlat white" + e + "N          2 x  6.80\n" +  //
                              e + "bCCroissant" + e + "N           1 x  2.80\n" +  //
                              e + "uCSubtotal" + e + "N            9.60\n" +       //
                              e + "bC" + e + "2CTOTAL       9.60\n" + e + "N" +    //
                              e + "cA" + e + "rvC Thank you! \n" + e + "N" + e + "3lF";
    std::string text;
    while (text.size() < bytes)
        text += chunk;
    return text;
}

// `prefix` bytes are already in the output when each translation starts.
void Translate(benchmark::State& state, const std::string& data, std::size_t prefix = 0) {
    CPrinterRTK410 printer;
    std::string out;
    for (auto _ : state) {
        out.assign(prefix, 'x');
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
std::string Receipt();
void BM_TranslateReceipt(benchmark::State& state) {
    Translate(state, Receipt());
}

BENCHMARK(BM_TranslateReceipt);
BENCHMARK(BM_TranslatePlain);
BENCHMARK(BM_MemcpyPlain);
BENCHMARK(BM_TranslateEscapeDense);
BENCHMARK(BM_MemcpyEscapeDense);
BENCHMARK(BM_TranslateFormattedLines);

// The same translations with the output starting at 16 different places relative to the
// data (the argument: bytes already in the output). Where the output lies against the data
// and the tables, modulo the page size, moves these figures by up to half on the
// development machine, from one build or run to the next; the median over the placements
// is the figure to compare.
void TranslateAt(benchmark::State& state, const std::string& data) {
    Translate(state, data, static_cast<std::size_t>(state.range(0)));
}
void BM_TranslatePlainAt(benchmark::State& state) {
    static const std::string data = PlainText(64 * 1024);
    TranslateAt(state, data);
}
void BM_TranslateEscapeDenseAt(benchmark::State& state) {
    static const std::string data = EscapeDense(64 * 1024);
    TranslateAt(state, data);
}
void BM_TranslateFormattedLinesAt(benchmark::State& state) {
    static const std::string data = FormattedLines(64 * 1024);
    TranslateAt(state, data);
}
BENCHMARK(BM_TranslatePlainAt)->DenseRange(0, 3840, 256);
BENCHMARK(BM_TranslateEscapeDenseAt)->DenseRange(0, 3840, 256);
BENCHMARK(BM_TranslateFormattedLinesAt)->DenseRange(0, 3840, 256);

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

// A 1.2 KB receipt ending with a cut.
std::string Receipt() {
    std::string r = "\x1B|cA\x1B|2CHARBOUR CAFE\n\x1B|N";
    while (r.size() < 1200)
        r += "Croissant                           1 x 2.80\n";
    return r + "\x1B|fP";
}

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
