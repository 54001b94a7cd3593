// One process driving many printers: PRINTERS virtual printers (16 by default) on their
// own ptys, served from a child process (bench/printer_process.h), each with its printer
// and two drawers enabled on one COM port, the printer in AsyncMode. The models take turns
// (QMX5500, RT-K410, RT-K6100, QMX5500, ...), or all are MODEL (QMX5500, RTK410 or
// RTK6100). Prints, as "name value" lines:
//   - the models and ports;
//   - idle CPU of this process (the service objects alone) over 10 s;
//   - resident memory per open printer with its drawers, before anything is printed;
//   - cover change to StatusUpdateEvent, median and 99th percentile, with all enabled
//     (the time includes the command's trip to the printer process), and per model;
//   - AsyncMode receipts per second with every printer printing JOBS receipts at once.
// A plain program: it measures CPU and memory over wall-clock seconds, which a benchmark
// loop would not. Usage: scale_bench [PRINTERS [JOBS [MODEL]]].
//
// Threads: main drives everything; each device runs its event thread (the printers also
// their output threads), one status monitor per port; the virtual printers run in the
// child.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/printer_process.h"
#include "opos/OposConstants.h"
#include "so/drawer/CashDrawers.h"
#include "so/printer/PrinterModels.h"
#include "tests/so/TestSupport.h"
#include "tests/so/printer/PrinterTestSupport.h"
#include "vprinter/virtual_printer.h"

namespace {

using namespace std::chrono_literals;
using bench::ProcessCpuMs;
using bench::ThreadCpuMs;
using bench::Threads;
using Clock = std::chrono::steady_clock;
using printertest::ControlEvent;
using printertest::RecordingControl;
using thermpos::so::CCashDrawer1;
using thermpos::so::CCashDrawer2;
using thermpos::so::CPrinterQMX5500;
using thermpos::so::CPrinterRTK410;
using thermpos::so::CPrinterRTK6100;
using thermpos::so::CThermalPrinter;

using bench::kPrinterModels;
using Model = bench::PrinterModel;

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
    explicit Station(const Model& m) : model(m), printer(m.make()) {}
    const Model& model;
    std::string port;
    std::vector<std::string> enableThreads;  // started by enabling: the port's monitor
    RecordingControl control;
    std::unique_ptr<CThermalPrinter> printer;
    CCashDrawer1 drawer1;
    CCashDrawer2 drawer2;
};

bool Fail(const std::string& what) {
    std::fprintf(stderr, "scale_bench: %s\n", what.c_str());
    return false;
}

void WriteStation(const Station& s, int index) {
    const std::string suffix = std::to_string(index);
    sotest::WriteDevice("POSPrinter", "Scale.Printer" + suffix,
                        {{"Port", s.port}, {"PhysicalDeviceID", s.model.profile().modelKey}});
    sotest::WriteDevice("CashDrawer", "Scale.DrawerA" + suffix, {{"Port", s.port}});
    sotest::WriteDevice("CashDrawer", "Scale.DrawerB" + suffix, {{"Port", s.port}});
}

bool EnableStation(bench::PrinterProcess& printers, Station& s, int index) {
    const std::string suffix = std::to_string(index);
    CThermalPrinter& printer = *s.printer;
    const LONG opened = printer.OpenService("POSPrinter", "Scale.Printer" + suffix, &s.control);
    const LONG claimed = opened == 0 ? printer.ClaimDevice(1000) : 0;
    if (opened != 0 || claimed != 0)
        return Fail("printer " + suffix + ": OpenService " + std::to_string(opened) +
                    ", ClaimDevice " + std::to_string(claimed) + ", extended " +
                    std::to_string(printer.GetPropertyNumber(PIDX_ResultCodeExtended)));
    const std::set<std::string> before = Threads();
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    if (printer.GetPropertyNumber(PIDX_DeviceEnabled) != 1)
        return Fail("printer " + suffix + " enable");
    for (const std::string& tid : Threads())
        if (!before.count(tid))
            s.enableThreads.push_back(tid);
    printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    for (thermpos::so::CServiceDevice* d :
         {static_cast<thermpos::so::CServiceDevice*>(&s.drawer1),
          static_cast<thermpos::so::CServiceDevice*>(&s.drawer2)}) {
        const std::string name = (d == &s.drawer1 ? "Scale.DrawerA" : "Scale.DrawerB") + suffix;
        if (d->OpenService("CashDrawer", name, nullptr) != 0 || d->SetDeviceEnabled(1) != 0)
            return Fail("drawer " + name);
    }
    return printers.WaitStatusRequest(static_cast<std::size_t>(index)) ||
           Fail("no status request reached printer " + suffix);
}

}  // namespace

int main(int argc, char** argv) {
    const int printers = argc > 1 ? std::atoi(argv[1]) : 16;
    const int jobs = argc > 2 ? std::atoi(argv[2]) : 50;
    const std::string only = argc > 3 ? argv[3] : "";
    const Model* single = nullptr;
    for (const Model& m : kPrinterModels)
        if (only == m.name)
            single = &m;
    if (printers < 1 || printers > 64 || jobs < 1 || jobs > 100000 || (argc > 3 && !single)) {
        std::fprintf(stderr, "usage: %s [PRINTERS(1..64) [JOBS [QMX5500|RTK410|RTK6100]]]\n",
                     argv[0]);
        return 2;
    }
    sotest::TempDir();
    // The printers first, while this process has no other thread to fork with.
    bench::PrinterProcess printerProcess;
    std::vector<bench::PrinterProcess::Printer> served;
    for (int i = 0; i < printers; ++i) {
        bench::PrinterProcess::Printer p;
        p.comName = "COM" + std::to_string(60 + i);
        p.options.keepReceipts = 2;
        served.push_back(p);
    }
    std::string error;
    if (!printerProcess.Start(served, &error))
        return Fail(error), 1;
    std::vector<std::unique_ptr<Station>> stations;
    for (int i = 0; i < printers; ++i) {
        stations.push_back(std::make_unique<Station>(single ? *single : kPrinterModels[i % 3]));
        stations.back()->port = served[i].comName;
        WriteStation(*stations.back(), i);
    }
    const long rssBefore = ResidentKiB();
    for (int i = 0; i < printers; ++i)
        if (!EnableStation(printerProcess, *stations[i], i))
            return 1;
    const long rssAfter = ResidentKiB();
    std::printf("printers %d\n", printers);
    for (const Model& m : kPrinterModels) {
        std::string ports;
        for (const auto& s : stations)
            if (&s->model == &m)
                ports += (ports.empty() ? "" : ",") + s->port;
        if (!ports.empty())
            std::printf("model %s ports %s\n", m.name, ports.c_str());
    }
    std::printf("rss_per_printer_kib %.1f\n", static_cast<double>(rssAfter - rssBefore) / printers);

    // Idle: nothing to do but keep watching the ports. The interval itself is what is
    // measured.
    std::vector<double> monitorMs(std::size(kPrinterModels));
    for (const auto& s : stations)
        for (const auto& tid : s->enableThreads)
            monitorMs[static_cast<std::size_t>(&s->model - kPrinterModels)] -= ThreadCpuMs(tid);
    const double cpu0 = ProcessCpuMs();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(10s);
    const double idleMs = ProcessCpuMs() - cpu0;
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    for (const auto& s : stations)
        for (const auto& tid : s->enableThreads)
            monitorMs[static_cast<std::size_t>(&s->model - kPrinterModels)] += ThreadCpuMs(tid);
    std::printf("idle_cpu_percent_of_one_core %.4f\n", 100.0 * idleMs / wallMs);
    // The monitor threads of each model's ports, per port.
    for (std::size_t m = 0; m < std::size(kPrinterModels); ++m) {
        const auto ports = std::count_if(stations.begin(), stations.end(), [&](const auto& s) {
            return &s->model == &kPrinterModels[m];
        });
        if (ports > 0)
            std::printf("idle_monitor_cpu_percent_per_port_%s %.4f\n", kPrinterModels[m].name,
                        100.0 * monitorMs[m] / wallMs / static_cast<double>(ports));
    }

    // Status latency: cover changes round the printers, each waited for.
    std::vector<double> latencies;
    std::vector<std::vector<double>> byModel(std::size(kPrinterModels));
    for (int round = 0; round < 16; ++round) {
        for (std::size_t i = 0; i < stations.size(); ++i) {
            Station& s = *stations[i];
            const bool open = round % 2 == 0;
            const std::size_t seen = s.control.EventsOf(ControlEvent::StatusUpdate).size();
            const auto start = Clock::now();
            if (!printerProcess.SetCover(i, open))
                return Fail("the printer process did not take a command"), 1;
            if (!s.control.WaitFor(ControlEvent::StatusUpdate, seen + 1, 10s))
                return Fail("no status update within 10 s on " + s.port), 1;
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            latencies.push_back(ms);
            byModel[static_cast<std::size_t>(&s.model - kPrinterModels)].push_back(ms);
        }
    }
    std::printf("status_changes %zu\n", latencies.size());
    std::printf("status_median_ms %.3f\n", Percentile(latencies, 0.5));
    std::printf("status_p99_ms %.3f\n", Percentile(latencies, 0.99));
    for (std::size_t m = 0; m < std::size(kPrinterModels); ++m)
        if (!byModel[m].empty())
            std::printf("status_p99_ms_%s %.3f\n", kPrinterModels[m].name,
                        Percentile(byModel[m], 0.99));

    // All printers printing at once.
    const std::string receipt = Receipt();
    const auto p0 = Clock::now();
    const double pcpu0 = ProcessCpuMs();
    for (int j = 0; j < jobs; ++j)
        for (auto& s : stations)
            if (s->printer->PrintNormal(PTR_S_RECEIPT, receipt) != 0)
                return Fail("PrintNormal refused"), 1;
    for (auto& s : stations)
        if (!s->control.WaitForOutput(s->printer->GetPropertyNumber(PIDX_OutputID), 120s))
            return Fail("no OutputComplete within 120 s"), 1;
    const double printSec = std::chrono::duration<double>(Clock::now() - p0).count();
    std::printf("async_jobs_per_s_all %.0f\n", printers * jobs / printSec);
    std::printf("async_cpu_ms_per_job %.3f\n", (ProcessCpuMs() - pcpu0) / (printers * jobs));

    for (auto& s : stations) {
        s->drawer1.Close();
        s->drawer2.Close();
        s->printer->Close();
    }
    return 0;
}
