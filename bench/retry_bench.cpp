// CPU cost of a print that keeps failing on a printer condition: the cover stays open and
// the application answers every error event with retry. Reports the process CPU time and
// the number of error events over a wall-clock span (10 s, or the seconds given as the
// first argument). Runs on the fake port of the printer tests; nothing is written.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "tests/so/printer/PrinterTestSupport.h"

using namespace printertest;

namespace {

// Answers every error event with retry and counts them; keeps nothing else, so a flood of
// events costs no memory.
class RetryingControl : public thermpos::testing::DispatchStub {
  public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        for (UINT i = 0; i < count; ++i) {
            ids[i] = std::u16string_view(names[i]) == u"SOError" ? kError : kOther;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        if (id == kError && params->cArgs == 4) {
            // ErrorResponse is the last argument (arguments arrive in reverse order).
            *params->rgvarg[0].plVal = OPOS_ER_RETRY;
            errors.fetch_add(1);
        }
        return S_OK;
    }

    std::atomic<long> errors{0};

  private:
    static constexpr DISPID kError = 3;
    static constexpr DISPID kOther = 1;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
    const double span = argc > 1 ? std::atof(argv[1]) : 10.0;
    FakePort::Get().Reset();
    WriteDevice(kRTK410, {{"Port", "COM7"}});
    RetryingControl control;
    OnFakePort<CPrinterRTK410> printer;
    if (printer.OpenService("POSPrinter", kRTK410, &control) != 0 || printer.ClaimDevice(0) != 0) {
        std::fprintf(stderr, "the printer did not open\n");
        return 1;
    }
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    if (printer.ResultCode() != 0 || printer.FireStatusUpdate(PTR_SUE_COVER_OPEN) != 1) {
        std::fprintf(stderr, "the printer did not enable\n");
        return 1;
    }

    const double cpuBefore = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    if (printer.PrintNormal(2, "blocked by the cover\n") != 0) {
        std::fprintf(stderr, "the print was not queued\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(span));
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long errors = control.errors.load();
    printer.Close();

    std::printf("cover open, every error answered with retry, %.1f s\n", wall);
    std::printf("  process CPU time: %.3f s (%.1f %% of one core)\n", cpu, 100.0 * cpu / wall);
    std::printf("  error events:     %ld (%.1f per second)\n", errors, errors / wall);
    return 0;
}
