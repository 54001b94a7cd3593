// Translates one of the benchmarks' print data a fixed number of times on an RT-K410, for
// instruction counts that do not depend on the machine's load:
//
//     valgrind --tool=callgrind --toggle-collect='*TranslatePrintData*'
//              build/rel/bench/translate_count formatted-lines 1000
//
// Two runs with different counts, subtracted, give the instructions of one translation
// without the process's set-up.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/print_data.h"
#include "so/printer/PrinterModels.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s receipt|plain|escape-dense|formatted-lines ITERATIONS\n",
                     argv[0]);
        return 2;
    }
    std::string data;
    if (std::strcmp(argv[1], "receipt") == 0) {
        data = printbench::Receipt();
    } else if (std::strcmp(argv[1], "plain") == 0) {
        data = printbench::PlainText(64 * 1024);
    } else if (std::strcmp(argv[1], "escape-dense") == 0) {
        data = printbench::EscapeDense(64 * 1024);
    } else if (std::strcmp(argv[1], "formatted-lines") == 0) {
        data = printbench::FormattedLines(64 * 1024);
    } else {
        std::fprintf(stderr, "unknown data: %s\n", argv[1]);
        return 2;
    }
    const long iterations = std::strtol(argv[2], nullptr, 10);
    thermpos::so::CPrinterRTK410 printer;
    std::string out;
    std::size_t total = 0;
    for (long i = 0; i < iterations; ++i) {
        out.clear();
        printer.TranslatePrintData(2, data, &out, false);
        total += out.size();
    }
    std::printf("%zu bytes in, %zu bytes out per translation\n", data.size(),
                iterations > 0 ? total / static_cast<std::size_t>(iterations) : 0);
    return 0;
}
