// Reconnect time of a network port after the printer comes back: the virtual printer on
// 127.0.0.1 is unplugged and plugged back in 20 times; each time the clock runs from the
// replug until a fresh PMOpenPort of the mapped name has its status request answered,
// opening again every 10 ms as long as it fails. Prints the median and the spread. The
// status monitor adds at most its back-off delay (100 ms doubling to 2 s) on top.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "portlib/LinkPort.h"
#include "tests/support/temp_env.h"
#include "vprinter/virtual_printer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Opens NET1 and asks for the printer status (DLE EOT 1); true once answered.
bool Answered() {
    HANDLE h = INVALID_HANDLE_VALUE;
    if (PMOpenPort("NET1", &h, nullptr) != 1)
        return false;
    int n = 0;
    bool ok =
        PMWritePort(h, "\x10\x04\x01", 3, &n) == 0 && PMSetReadPortTimeOuts(h, 0, 0, 2000) == 1;
    char reply = 0;
    ok = ok && PMReadPort(h, &reply, 1, &n) == 0 && n == 1;
    PMClosePort(h);
    return ok;
}

}  // namespace

int main() {
    thermpos::testing::TempEnv env;
    thermpos::vprinter::VirtualPrinterOptions options;
    options.listenAddress = "127.0.0.1:0";
    options.mapName = "NET1";
    thermpos::vprinter::VirtualPrinter printer;
    std::string error;
    if (!env.ok() || !printer.Start(options, &error)) {
        std::fprintf(stderr, "reconnect_bench: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> ms;
    for (int i = 0; i < 20; ++i) {
        printer.Unplug();
        if (!printer.Replug(&error)) {
            std::fprintf(stderr, "reconnect_bench: %s\n", error.c_str());
            return 1;
        }
        const auto start = Clock::now();
        while (!Answered()) {
            if (Clock::now() - start > std::chrono::seconds(10)) {
                std::fprintf(stderr, "reconnect_bench: no answer within 10 s\n");
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the retry pace
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("reconnect after replug (20 runs): median %.3f ms, min %.3f ms, max %.3f ms\n",
                (ms[9] + ms[10]) / 2, ms.front(), ms.back());
    return 0;
}
