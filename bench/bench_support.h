// What several benchmarks share: the three printer models, and the CPU time of this
// process and of its threads. Linux only, like the benchmarks.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "so/printer/PrinterModels.h"

namespace bench {

// A model's printer class and profile; every benchmark that uses a printer runs them all.
struct PrinterModel {
    const char* name;
    const thermpos::so::ModelProfile& (*profile)();
    std::unique_ptr<thermpos::so::CThermalPrinter> (*make)();
};
template <class Printer>
std::unique_ptr<thermpos::so::CThermalPrinter> MakePrinter() {
    return std::make_unique<Printer>();
}
inline const PrinterModel kPrinterModels[] = {
    {"QMX5500", &thermpos::so::CPrinterQMX5500::ProfileData,
     &MakePrinter<thermpos::so::CPrinterQMX5500>},
    {"RTK410", &thermpos::so::CPrinterRTK410::ProfileData,
     &MakePrinter<thermpos::so::CPrinterRTK410>},
    {"RTK6100", &thermpos::so::CPrinterRTK6100::ProfileData,
     &MakePrinter<thermpos::so::CPrinterRTK6100>},
};

// User and system CPU time of this process, in milliseconds.
inline double ProcessCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

// The ids of this process's threads now.
inline std::set<std::string> Threads() {
    std::set<std::string> tids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
        tids.insert(e.path().filename().string());
    return tids;
}

// CPU time one thread of this process ran, in milliseconds (schedstat: nanoseconds).
inline double ThreadCpuMs(const std::string& tid) {
    std::ifstream in("/proc/self/task/" + tid + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns / 1e6;
}

}  // namespace bench
