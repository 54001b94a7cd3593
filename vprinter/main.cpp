// thermpos-vprinter: the virtual receipt printer on a pseudo-terminal or on TCP.
//
// Threads: the main thread parses options, then serves the control socket and waits for
// the shutdown signals (ControlServer, control_server.h), answering one command line at a time;
// the VirtualPrinter owns its I/O thread (see virtual_printer.h). The signals are taken over before
// that thread starts, so shutdown always runs on the main thread and writes pending
// output. No locks of its own.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vprinter/control_server.h"
#include "vprinter/virtual_printer.h"

namespace {

using thermpos::vprinter::ControlServer;
using thermpos::vprinter::DrawerPolarity;
using thermpos::vprinter::PaperState;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

const char kUsage[] =
    "usage: thermpos-vprinter [options]\n"
    "Serves a virtual ESC/POS receipt printer on a pseudo-terminal and prints its path.\n"
    "\n"
    "  --listen HOST:PORT     serve on TCP instead (an address such as 127.0.0.1:9100;\n"
    "                         port 0 picks a free one), one connection at a time;\n"
    "                         prints the address actually listened on\n"
    "  --link PATH            make PATH a symlink to the device\n"
    "  --map COMn             enter the device in the registry Ports map while running\n"
    "  --out DIR              write a PNG per receipt and commands.log into DIR\n"
    "  --nv FILE              keep the NV images in FILE across runs\n"
    "  --paper 80|58|60|83    paper width (576, 384, 432 or 640 dots; default 80)\n"
    "  --baud N               accept at most N/10 bytes per second (default: no limit)\n"
    "  --print-speed MM_PER_S paper transport speed (default: instantaneous)\n"
    "  --control PATH         UNIX stream socket taking one command per line\n"
    "  --control-owner HOST:PORT  connect to a control client listening there (the\n"
    "                         program that started this one); end when it disconnects\n"
    "  --two-font             font B is 9x24 (two-font model)\n"
    "  --single-colour        no second (red) colour\n"
    "  --drawer-open-level high|low   pin-3 level that means open (default high)\n"
    "  --drawer-auto-close MS         a kicked drawer closes again after MS ms\n"
    "  --asb N                automatic status back mask at power-on (0..15)\n"
    "  --realtime-anywhere    recognise DLE EOT/DC4/ENQ inside command data too\n"
    "initial state:\n"
    "  --cover-open  --paper-near-end  --paper-out  --drawer-open  --offline  --power-off\n"
    "\n"
    "control commands: cover open|close, paper ok|near-end|out, drawer open|close, online,\n"
    "offline, power off|on, unplug, replug, status, snapshot FILE.png, quit\n";

bool ParseInt(const char* text, long low, long high, int* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || !end || *end || end == text || v < low || v > high)
        return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    VirtualPrinterOptions options;
    std::string controlPath;
    std::string ownerAddress;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "thermpos-vprinter: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        auto bad = [&](const char* text) {
            std::fprintf(stderr, "thermpos-vprinter: bad value for %s: %s\n", arg.c_str(), text);
            std::exit(2);
        };
        auto intValue = [&](long low, long high, int* out) {
            const char* v = value(arg.c_str());
            if (!ParseInt(v, low, high, out))
                bad(v);
        };
        int n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--listen") {
            options.listenAddress = value("--listen");
        } else if (arg == "--link") {
            options.linkPath = value("--link");
        } else if (arg == "--map") {
            options.mapName = value("--map");
            if (options.mapName.empty() || options.mapName.size() > 64 ||
                options.mapName.find_first_of("\\\n\r") != std::string::npos)
                bad(options.mapName.c_str());
        } else if (arg == "--out") {
            options.outDir = value("--out");
        } else if (arg == "--nv") {
            options.nvImageFile = value("--nv");
        } else if (arg == "--control") {
            controlPath = value("--control");
        } else if (arg == "--control-owner") {
            ownerAddress = value("--control-owner");
        } else if (arg == "--paper") {
            intValue(0, 1000, &n);
            switch (n) {
                case 80:
                    options.model.paperWidthDots = 576;
                    break;
                case 58:
                    options.model.paperWidthDots = 384;
                    break;
                case 60:
                    options.model.paperWidthDots = 432;
                    break;
                case 83:  // 80 mm printable on 83 mm paper
                    options.model.paperWidthDots = 640;
                    break;
                default:
                    bad(argv[i]);
            }
        } else if (arg == "--baud") {
            intValue(1, 10000000, &options.model.baud);
        } else if (arg == "--print-speed") {
            intValue(1, 100000, &options.model.printSpeedMmPerS);
        } else if (arg == "--two-font") {
            options.model.twoFontModel = true;
        } else if (arg == "--single-colour") {
            options.model.twoColour = false;
        } else if (arg == "--drawer-open-level") {
            const std::string v = value("--drawer-open-level");
            if (v == "high")
                options.model.drawerPolarity = DrawerPolarity::OpenHigh;
            else if (v == "low")
                options.model.drawerPolarity = DrawerPolarity::OpenLow;
            else
                bad(v.c_str());
        } else if (arg == "--drawer-auto-close") {
            intValue(0, 3600000, &options.model.drawerAutoCloseMs);
        } else if (arg == "--asb") {
            intValue(0, 15, &n);
            options.model.asbDefaultMask = static_cast<std::uint8_t>(n);
        } else if (arg == "--realtime-anywhere") {
            options.model.realtimeAnywhere = true;
        } else if (arg == "--cover-open") {
            options.initial.coverOpen = true;
        } else if (arg == "--paper-near-end") {
            options.initial.paper = PaperState::NearEnd;
        } else if (arg == "--paper-out") {
            options.initial.paper = PaperState::Out;
        } else if (arg == "--drawer-open") {
            options.initial.drawerOpen = true;
        } else if (arg == "--offline") {
            options.initial.forcedOffline = true;
        } else if (arg == "--power-off") {
            options.initial.powerOn = false;
        } else {
            std::fprintf(stderr, "thermpos-vprinter: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }

    ControlServer control;
    std::string error;
    if (!control.TakeOverSignals(&error) ||
        (!controlPath.empty() && !control.Listen(controlPath, &error)) ||
        (!ownerAddress.empty() && !control.ConnectOwner(ownerAddress, &error))) {
        std::fprintf(stderr, "thermpos-vprinter: %s\n", error.c_str());
        return 1;
    }

    VirtualPrinter printer;
    if (!printer.Start(options, &error)) {
        std::fprintf(stderr, "thermpos-vprinter: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", options.listenAddress.empty() ? printer.SlavePath().c_str()
                                                      : printer.ListenAddress().c_str());
    std::fflush(stdout);

    const bool served = control.Serve(
        [&printer](std::string_view line, bool* quit) { return printer.Control(line, quit); },
        &error);
    if (!served)
        std::fprintf(stderr, "thermpos-vprinter: %s\n", error.c_str());

    printer.Stop();
    control.Close();
    const std::string outputError = printer.LastOutputError();
    if (!outputError.empty()) {
        std::fprintf(stderr, "thermpos-vprinter: %s\n", outputError.c_str());
        return 1;
    }
    return 0;
}
