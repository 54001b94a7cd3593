// One process driving many printers: PRINTERS virtual printers (16 by default) on their
// own ptys, each with its printer and two drawers enabled on one port, the printer in
// AsyncMode. Prints, as "name value" lines:
//   - idle CPU of the whole process over 10 s (the virtual printers run in it too);
//   - resident memory per open printer with its drawers, before anything is printed;
//   - cover change to StatusUpdateEvent, median and 99th percentile, with all enabled;
//   - AsyncMode receipts per second with every printer printing JOBS receipts at once.
// A plain program: it measures CPU and memory over wall-clock seconds, which a benchmark
// loop would not. Usage: scale_bench [PRINTERS [JOBS]].
//
// Threads: main drives everything; each virtual printer runs its own thread, and each
// device its event thread (the printers also their output threads), one status monitor
// per port.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "opos/OposConstants.h"
#include "so/drawer/CashDrawers.h"
#include "so/printer/PrinterModels.h"
#include "tests/so/TestSupport.h"
#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using printertest::ControlEvent;
using printertest::RecordingControl;
using thermpos::so::CCashDrawer1;
using thermpos::so::CCashDrawer2;
using thermpos::so::CPrinterQMX5500;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

double ProcessCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// Resident set of the process in KiB.
long ResidentKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

std::string Receipt() {
    std::string r = "\x1B|cA\x1B|2CHARBOUR CAFE\n\x1B|N";
    while (r.size() < 1200)
        r += "Croissant                           1 x 2.80\n";
    return r + "\x1B|fP";
}

// One printer with its two drawers on one virtual printer.
struct Station {
    VirtualPrinter vp;
    RecordingControl control;
    CPrinterQMX5500 printer;
    CCashDrawer1 drawer1;
    CCashDrawer2 drawer2;
};

bool Fail(const std::string& what) {
    std::fprintf(stderr, "scale_bench: %s\n", what.c_str());
    return false;
}

bool StartStation(Station& s, int index) {
    const std::string port = "COM" + std::to_string(60 + index);
    VirtualPrinterOptions options;
    options.mapName = port;
    options.keepReceipts = 2;
    std::string error;
    if (!s.vp.Start(options, &error))
        return Fail(error);
    const std::string suffix = std::to_string(index);
    sotest::WriteDevice("POSPrinter", "Scale.Printer" + suffix,
                        {{"Port", port}, {"PhysicalDeviceID", "QMXQMX5500"}});
    sotest::WriteDevice("CashDrawer", "Scale.DrawerA" + suffix, {{"Port", port}});
    sotest::WriteDevice("CashDrawer", "Scale.DrawerB" + suffix, {{"Port", port}});
    return true;
}

bool EnableStation(Station& s, int index) {
    const std::string suffix = std::to_string(index);
    const LONG opened = s.printer.OpenService("POSPrinter", "Scale.Printer" + suffix, &s.control);
    const LONG claimed = opened == 0 ? s.printer.ClaimDevice(1000) : 0;
    if (opened != 0 || claimed != 0)
        return Fail("printer " + suffix + ": OpenService " + std::to_string(opened) +
                    ", ClaimDevice " + std::to_string(claimed) + ", extended " +
                    std::to_string(s.printer.GetPropertyNumber(PIDX_ResultCodeExtended)));
    s.printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    if (s.printer.GetPropertyNumber(PIDX_DeviceEnabled) != 1)
        return Fail("printer " + suffix + " enable");
    s.printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    for (thermpos::so::CServiceDevice* d :
         {static_cast<thermpos::so::CServiceDevice*>(&s.drawer1),
          static_cast<thermpos::so::CServiceDevice*>(&s.drawer2)}) {
        const std::string name = (d == &s.drawer1 ? "Scale.DrawerA" : "Scale.DrawerB") + suffix;
        if (d->OpenService("CashDrawer", name, nullptr) != 0 || d->SetDeviceEnabled(1) != 0)
            return Fail("drawer " + name);
    }
    return s.vp.WaitStatus([](const auto& st) { return st.asbMask != 0; }, 10s) ||
           Fail("no status request reached printer " + suffix);
}

}  // namespace

int main(int argc, char** argv) {
    const int printers = argc > 1 ? std::atoi(argv[1]) : 16;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 50;
    if (printers < 1 || printers > 64 || jobs < 1 || jobs > 100000) {
        std::fprintf(stderr, "usage: %s [PRINTERS(1..64) [JOBS]]\n", argv[0]);
        return 2;
    }
    sotest::TempDir();
    std::vector<std::unique_ptr<Station>> stations;
    for (int i = 0; i < printers; ++i) {
        stations.push_back(std::make_unique<Station>());
        if (!StartStation(*stations.back(), i))
            return 1;
    }
    const long rssBefore = ResidentKiB();
    for (int i = 0; i < printers; ++i)
        if (!EnableStation(*stations[i], i))
            return 1;
    const long rssAfter = ResidentKiB();
    std::printf("printers %d\n", printers);
    std::printf("rss_per_printer_kib %.1f\n", static_cast<double>(rssAfter - rssBefore) / printers);

    // Idle: nothing to do but keep watching the ports. The interval itself is what is
    // measured.
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(10s);
    const double idleMs = ProcessCpuMs() - cpu0;
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    std::printf("idle_cpu_percent_of_one_core %.4f\n", 100.0 * idleMs / wallMs);

    // Status latency: cover changes round the printers, each waited for.
    std::vector<double> latencies;
    for (int round = 0; round < 16; ++round) {
        for (auto& s : stations) {
            const bool open = round % 2 == 0;
            const std::size_t seen = s->control.EventsOf(ControlEvent::StatusUpdate).size();
            const auto start = Clock::now();
            s->vp.SetCover(open);
            if (!s->control.WaitFor(ControlEvent::StatusUpdate, seen + 1, 10s))
                return Fail("no status update within 10 s"), 1;
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    std::printf("status_changes %zu\n", latencies.size());
    std::printf("status_median_ms %.3f\n", Percentile(latencies, 0.5));
    std::printf("status_p99_ms %.3f\n", Percentile(latencies, 0.99));

    // All printers printing at once.
    const std::string receipt = Receipt();
    const auto p0 = Clock::now();
    const double pcpu0 = ProcessCpuMs();
    for (int j = 0; j < jobs; ++j)
        for (auto& s : stations)
            if (s->printer.PrintNormal(PTR_S_RECEIPT, receipt) != 0)
                return Fail("PrintNormal refused"), 1;
    for (auto& s : stations)
        if (!s->control.WaitForOutput(s->printer.GetPropertyNumber(PIDX_OutputID), 120s))
            return Fail("no OutputComplete within 120 s"), 1;
    const double printSec = std::chrono::duration<double>(Clock::now() - p0).count();
    std::printf("async_jobs_per_s_all %.0f\n", printers * jobs / printSec);
    std::printf("async_cpu_ms_per_job %.3f\n", (ProcessCpuMs() - pcpu0) / (printers * jobs));

    for (auto& s : stations) {
        s->drawer1.Close();
        s->drawer2.Close();
        s->printer.Close();
    }
    return 0;
}
