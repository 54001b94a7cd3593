// `thermpos print`: prints text with OPOS escape sequences on a logical POSPrinter
// through the control objects, and waits until it is printed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "opos/PosPrinter.h"
#include "tools/command.h"
#include "tools/device_session.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "print";
// A receipt is a few kilobytes; anything near this is not one.
constexpr size_t kMaxInput = 1u << 20;

constexpr char kUsage[] =
    "usage: thermpos print [--cut] [--claim-timeout MS] DEVICE [FILE]\n"
    "\n"
    "Prints the text of FILE (standard input when not given or '-') on the receipt\n"
    "station of the logical POSPrinter DEVICE and returns when it is printed. The text\n"
    "may hold OPOS escape sequences, an ESC (0x1B) followed by '|' and the sequence,\n"
    "for example printf '\\033|cA\\033|bCTotal\\n'. At most 1 MiB.\n"
    "\n"
    "  --cut               cut the paper after the text\n"
    "  --claim-timeout MS  wait this long for another program's claim (default 5000)\n"
    "\n"
    "Exit codes: 0 printed; 1 usage or input error; 3 the device could not be opened,\n"
    "claimed or enabled; 4 printing failed (the message names the OPOS result, for\n"
    "example OPOS_E_EXTENDED (114), extended OPOS_EPTR_COVER_OPEN (201)).\n";

// Reads at most kMaxInput bytes; false (and *error) when unreadable or too long.
bool ReadAll(FILE* in, std::string* text, std::string* error) {
    char buffer[8192];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        if (text->size() + n > kMaxInput) {
            *error = "the text is longer than 1 MiB";
            return false;
        }
        text->append(buffer, n);
    }
    if (std::ferror(in)) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

bool ParseMs(const std::string& text, LONG* value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < -1 || v > 86400000)
        return false;
    *value = static_cast<LONG>(v);
    return true;
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    bool cut = false;
    LONG claimTimeout = 5000;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--cut") {
            cut = true;
        } else if (a == "--claim-timeout") {
            if (i + 1 >= args.size() || !ParseMs(args[++i], &claimTimeout))
                return Fail(kName, "--claim-timeout needs milliseconds (see --help)");
        } else if (a.size() > 1 && a[0] == '-') {
            return Fail(kName, "unknown option '" + a + "' (see --help)");
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty() || positional.size() > 2)
        return Fail(kName, "expected DEVICE [FILE] (see --help)");

    std::string text;
    std::string error;
    const bool fromStdin = positional.size() == 1 || positional[1] == "-";
    FILE* in = fromStdin ? stdin : std::fopen(positional[1].c_str(), "rb");
    if (!in)
        return Fail(kName, "cannot read '" + positional[1] + "': " + std::strerror(errno));
    const bool read = ReadAll(in, &text, &error);
    if (!fromStdin)
        std::fclose(in);
    if (!read)
        return Fail(kName, error);
    if (cut)
        text += "\x1B|fP";

    opos::PosPrinter printer;
    if (!StartDevice(kName, printer, positional[0], claimTimeout))
        return kExitDevice;
    // Synchronous: PrintNormal returns once the printer took the text, or with the
    // condition that stopped it.
    printer.SetAsyncMode(false);
    int exitCode = 0;
    if (LONG rc = printer.PrintNormal(PTR_S_RECEIPT, text); rc != OPOS_SUCCESS) {
        std::fprintf(stderr, "thermpos %s: printing failed: %s\n", kName,
                     DescribeResult(printer, rc).c_str());
        exitCode = kExitFailed;
    }
    printer.Close();
    return exitCode;
}

const ToolCommand kCommand(kName, "print text on a logical POSPrinter and wait for it", Run);

}  // namespace
}  // namespace thermpos::tool
