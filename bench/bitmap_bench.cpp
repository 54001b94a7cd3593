// Bitmap speed: decoding a receipt-wide BMP at each depth, scaling it by resolution, and
// turning the rows into the NV column layout.
#include <string>

#include <benchmark/benchmark.h>

#include "so/printer/PrinterBitmaps.h"
#include "tests/so/printer/BmpFile.h"

namespace {

using printertest::BmpSpec;
using printertest::MakeBmp;

// A 576 x 800 picture (a full-width logo or coupon) at the given depth.
std::string ReceiptWide(int bpp) {
    BmpSpec spec;
    spec.width = 576;
    spec.height = 800;
    spec.bpp = bpp;
    spec.xPerMetre = spec.yPerMetre = 3780;  // 96 dpi
    return MakeBmp(spec, [bpp](int x, int y) {
        const bool dark = printertest::TestDot(x, y, 576, 800);
        return bpp == 1 ? (dark ? 0u : 1u) : (dark ? 0x202020u : 0xF0F0F0u);
    });
}

void BM_Render(benchmark::State& state) {
    const std::string file = ReceiptWide(static_cast<int>(state.range(0)));
    thermpos::so::BitmapRenderRequest request;
    request.mapResolution = state.range(1) != 0;
    thermpos::so::MonochromeBitmap white;
    for (auto _ : state) {
        benchmark::DoNotOptimize(thermpos::so::RenderMonochrome(file, request, &white));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * file.size());
    state.counters["dots"] = static_cast<double>(white.width) * white.height;
}
BENCHMARK(BM_Render)->ArgsProduct({{1, 8, 24, 32}, {0, 1}})->Unit(benchmark::kMillisecond);

void BM_ToColumnFormat(benchmark::State& state) {
    thermpos::so::MonochromeBitmap black;
    black.width = 576;
    black.height = 800;
    black.rows = printertest::TestPictureRows(576, 800);
    for (auto _ : state) {
        benchmark::DoNotOptimize(thermpos::so::ToColumnFormat(black));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * black.rows.size());
}
BENCHMARK(BM_ToColumnFormat)->Unit(benchmark::kMillisecond);

}  // namespace
