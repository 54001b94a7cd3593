// Throughput of the printer model. The figure that matters is plain-text interpretation
// (bytes per second through Feed); rasterising a finished receipt is measured apart,
// since it happens once per cut, not per byte.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "vprinter/image.h"
#include "vprinter/model.h"

namespace {

using namespace thermpos::vprinter;

// About 1 MiB of receipt text: 48-column lines, a cut every 40 lines.
std::string ReceiptText() {
    std::string s;
    int line = 0;
    while (s.size() < (1u << 20)) {
        s += "Item " + std::to_string(line) + " ........................ 12.34\n";
        if (++line % 40 == 0)
            s += "\x1d"
                 "V\x00";
    }
    return s;
}

void FeedAll(PrinterModel& model, const std::string& data) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    std::size_t done = 0;
    while (done < data.size())
        done += model.Feed(p + done, data.size() - done, TimePoint{});
}

void BM_PlainTextInterpretation(benchmark::State& state) {
    const std::string data = ReceiptText();
    PrinterModel model;
    for (auto _ : state) {
        FeedAll(model, data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * data.size());
}
BENCHMARK(BM_PlainTextInterpretation)->Unit(benchmark::kMillisecond);

// About 1 MiB of lines that switch modes around every field (bold, underline, size,
// justification, font, line spacing): what the command dispatch costs per byte.
void BM_CommandInterpretation(benchmark::State& state) {
    std::string line;
    for (int b : std::initializer_list<int>{0x1B, 'E', 1,    0x1B, '-', 1,    0x1D, '!', 0x11,
                                            0x1B, 'a', 1,    'a',  'b', 0x1B, 'E',  0,   0x1D,
                                            'B',  1,   0x1D, 'B',  0,   0x1B, '3',  30,  0x1B,
                                            'M',  1,   0x1B, 'M',  0,   0x1D, '!',  0,   '\n'})
        line.push_back(static_cast<char>(b));
    std::string data;
    for (int i = 1; data.size() < (1u << 20); ++i) {
        data += line;
        if (i % 40 == 0)
            data += std::string("\x1dV\x00", 3);
    }
    PrinterModel model;
    for (auto _ : state) {
        FeedAll(model, data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * data.size());
}
BENCHMARK(BM_CommandInterpretation)->Unit(benchmark::kMillisecond);

void BM_PlainTextWithCommandLog(benchmark::State& state) {
    const std::string data = ReceiptText();
    PrinterModel model;
    std::size_t records = 0;
    model.SetCommandLog([&](const CommandRecord& r) { records += r.params.size(); });
    for (auto _ : state)
        FeedAll(model, data);
    benchmark::DoNotOptimize(records);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * data.size());
}
BENCHMARK(BM_PlainTextWithCommandLog)->Unit(benchmark::kMillisecond);

void BM_RasterImage(benchmark::State& state) {
    // A 576 x 256 logo per iteration, then a cut.
    std::string data =
        "\x1d"
        "v0";
    data += std::string("\x00\x48\x00\x00\x01", 5);
    for (int i = 0; i < 72 * 256; ++i)
        data.push_back(static_cast<char>(i * 37));
    data += std::string("\x1dV\x00", 3);
    PrinterModel model;
    for (auto _ : state)
        FeedAll(model, data);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * data.size());
}
BENCHMARK(BM_RasterImage)->Unit(benchmark::kMicrosecond);

void BM_RasteriseReceipt(benchmark::State& state) {
    // One 40-line receipt rendered to pixels.
    std::string data;
    for (int i = 0; i < 40; ++i)
        data += "Item " + std::to_string(i) + " ..................... 12.34\n";
    data += std::string("\x1dV\x00", 3);
    PrinterModel model;
    for (auto _ : state) {
        FeedAll(model, data);
        auto receipts = model.TakeFinishedReceipts();
        benchmark::DoNotOptimize(receipts);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RasteriseReceipt)->Unit(benchmark::kMillisecond);

void BM_WriteReceiptPng(benchmark::State& state) {
    // The same receipt, already rasterised, written as the output folder's PNG.
    std::string data;
    for (int i = 0; i < 40; ++i)
        data += "Item " + std::to_string(i) + " ..................... 12.34\n";
    data += std::string("\x1dV\x00", 3);
    PrinterModel model;
    FeedAll(model, data);
    const Image image = model.TakeFinishedReceipts().at(0).image;
    char pattern[] = "/tmp/thermpos-png-bench-XXXXXX";
    if (!mkdtemp(pattern)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(pattern) + "/receipt.png";
    std::string error;
    for (auto _ : state)
        if (!WritePng(path, image, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
    std::filesystem::remove_all(pattern);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WriteReceiptPng)->Unit(benchmark::kMillisecond);

}  // namespace
