// Whether the serial link is the only limit: a printer in AsyncMode on the virtual
// printer whose line is paced at BAUD (bytes accepted at most at baud/10 per second).
// A burst of JOBS 1.2 KB receipts is queued at once; while they print, the link must
// stay busy: bytes the printer accepted per second over baud/10. Then the queue is
// filled until PrintNormal refuses, to show that it stops at its bound instead of
// growing the process, and cleared. Prints "name value" lines, the model and port first.
// Usage: link_bench [BAUD [JOBS [MODEL]]] (9600, 100 and QMX5500 by default; MODEL is
// QMX5500, RTK410 or RTK6100: the last two write their status request again after every
// reply or read, and those requests share the line with the jobs; a 9600 baud burst of
// 100 receipts takes about two minutes).
//
// Threads: main; the virtual printer's thread; the printer's event, output and status
// monitor threads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "opos/OposConstants.h"
#include "so/printer/OutputPipeline.h"
#include "so/printer/PrinterModels.h"
#include "tests/so/TestSupport.h"
#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using printertest::RecordingControl;
using thermpos::so::CPrinterQMX5500;
using thermpos::so::CPrinterRTK410;
using thermpos::so::CPrinterRTK6100;
using thermpos::so::CThermalPrinter;

using bench::kPrinterModels;
using Model = bench::PrinterModel;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

std::string Receipt() {
    std::string r = "\x1B|cA\x1B|2CHARBOUR CAFE\n\x1B|N";
    while (r.size() < 1200)
        r += "Croissant                           1 x 2.80\n";
    return r + "\x1B|fP";
}

int Fail(const char* what) {
    std::fprintf(stderr, "link_bench: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int baud = argc > 1 ? std::atoi(argv[1]) : 9600;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 100;
    const std::string modelName = argc > 3 ? argv[3] : "QMX5500";
    const Model* model = nullptr;
    for (const Model& m : kPrinterModels)
        if (modelName == m.name)
            model = &m;
    if (baud < 300 || baud > 4000000 || jobs < 2 || jobs > 1000 || model == nullptr) {
        std::fprintf(stderr, "usage: %s [BAUD [JOBS(2..1000) [QMX5500|RTK410|RTK6100]]]\n",
                     argv[0]);
        return 2;
    }
    sotest::TempDir();
    VirtualPrinter vp;
    VirtualPrinterOptions options;
    options.mapName = "COM59";
    options.keepReceipts = 2;
    options.model.baud = baud;
    // The printer's log of decoded commands tells the status requests from the jobs; the
    // receipts themselves are not drawn into files.
    const std::string logDir = sotest::TempDir() + "/link";
    options.outDir = logDir;
    options.writeReceipt = [](const auto&, const std::string&, std::string*) { return true; };
    std::string error;
    if (!vp.Start(options, &error))
        return Fail(error.c_str());
    sotest::WriteDevice("POSPrinter", "Link.Printer",
                        {{"Port", "COM59"}, {"PhysicalDeviceID", model->profile().modelKey}});
    RecordingControl control;
    const std::unique_ptr<CThermalPrinter> owned = model->make();
    CThermalPrinter& printer = *owned;
    if (printer.OpenService("POSPrinter", "Link.Printer", &control) != 0 ||
        printer.ClaimDevice(1000) != 0)
        return Fail("open");
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    if (printer.GetPropertyNumber(PIDX_DeviceEnabled) != 1)
        return Fail("enable");
    printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    if (!vp.WaitStatus([](const auto& s) { return s.asbMask != 0; }, 10s))
        return Fail("no status request reached the printer");

    const std::string receipt = Receipt();
    const long rss0 = ResidentKiB();
    for (int i = 0; i < jobs; ++i)
        if (printer.PrintNormal(PTR_S_RECEIPT, receipt) != 0)
            return Fail("PrintNormal refused within the burst");
    const LONG lastId = printer.GetPropertyNumber(PIDX_OutputID);
    // Measured from once the line is surely full to the last completion, when the host
    // has handed every byte to the port.
    const double bytesPerSecond = baud / 10.0;
    std::this_thread::sleep_for(std::chrono::milliseconds(
        static_cast<int>(std::min(2000.0, 1000.0 * 2 * receipt.size() / bytesPerSecond))));
    const auto t1 = Clock::now();
    const std::uint64_t b1 = vp.Status().bytesAccepted;
    if (!control.WaitForOutput(lastId,
                               std::chrono::seconds(60 + 2 * jobs * receipt.size() * 10 / baud)))
        return Fail("the burst did not complete");
    const auto t2 = Clock::now();
    const std::uint64_t b2 = vp.Status().bytesAccepted;
    const double seconds = std::chrono::duration<double>(t2 - t1).count();
    std::printf("model %s\n", model->name);
    std::printf("port COM59\n");
    std::printf("baud %d\n", baud);
    std::printf("jobs %d\n", jobs);
    std::printf("measured_s %.2f\n", seconds);
    std::printf("link_busy_percent %.2f\n", 100.0 * (b2 - b1) / seconds / bytesPerSecond);
    std::printf("rss_growth_during_burst_kib %ld\n", ResidentKiB() - rss0);

    // The bound: keep submitting until the queue refuses.
    const long rssFill0 = ResidentKiB();
    int accepted = 0;
    LONG refusal = 0;
    for (int i = 0; i < 100000; ++i) {
        refusal = printer.PrintNormal(PTR_S_RECEIPT, receipt);
        if (refusal != 0)
            break;
        ++accepted;
    }
    std::printf("queue_accepted_before_refusal %d\n", accepted);
    std::printf("queue_refusal_result %ld\n", static_cast<long>(refusal));
    std::printf("queue_bound_requests %zu\n", thermpos::so::COutputPipeline::kMaxQueuedRequests);
    std::printf("rss_growth_full_queue_kib %ld\n", ResidentKiB() - rssFill0);
    (void)printer.ClearOutput();
    printer.Close();

    // What of the line the status requests took up to the burst's end: the requests among
    // the first b2 bytes, from the printer's log (complete once it stopped). Each line
    // starts with the stream offset of its command.
    vp.Stop();
    long requests = 0;
    std::ifstream log(logDir + "/commands.log");
    std::string line;
    while (std::getline(log, line))
        if (line.find("  GS a") != std::string::npos &&
            std::strtoull(line.c_str(), nullptr, 10) < b2)
            ++requests;
    std::printf("status_requests_to_burst_end %ld\n", requests);
    std::printf("status_request_share_of_bytes_percent %.2f\n",
                b2 > 0 ? 100.0 * 3 * requests / static_cast<double>(b2) : 0.0);
    return 0;
}
