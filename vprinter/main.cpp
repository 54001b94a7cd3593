// thermpos-vprinter: the virtual receipt printer on a pseudo-terminal.
//
// Threads: the main thread parses options, then waits in poll for signals (signalfd) and
// the control socket, answering one command line at a time; the VirtualPrinter owns its
// I/O thread (see pty.h). SIGINT and SIGTERM are blocked in every thread and read from the
// signalfd, so shutdown always runs on the main thread and writes pending output.
// No locks of its own.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vprinter/pty.h"

namespace {

using thermpos::vprinter::DrawerPolarity;
using thermpos::vprinter::PaperState;
using thermpos::vprinter::VirtualPrinter;
using thermpos::vprinter::VirtualPrinterOptions;

constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kMaxLine = 4096;

const char kUsage[] =
    "usage: thermpos-vprinter [options]\n"
    "Serves a virtual ESC/POS receipt printer on a pseudo-terminal and prints its path.\n"
    "\n"
    "  --link PATH            make PATH a symlink to the device\n"
    "  --map COMn             enter the device in the registry Ports map while running\n"
    "  --out DIR              write a PNG per receipt and commands.log into DIR\n"
    "  --nv FILE              keep the NV images in FILE across runs\n"
    "  --paper 80|58|60|83    paper width (576, 384, 432 or 640 dots; default 80)\n"
    "  --baud N               accept at most N/10 bytes per second (default: no limit)\n"
    "  --print-speed MM_PER_S paper transport speed (default: instantaneous)\n"
    "  --control PATH         UNIX stream socket taking one command per line\n"
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

struct Client {
    int fd = -1;
    std::string input;
};

int OpenControlSocket(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "thermpos-vprinter: control socket path too long\n");
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left behind by an earlier run is replaced; any other file is not.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            std::fprintf(stderr, "thermpos-vprinter: %s exists and is not a socket\n",
                         path.c_str());
            return -1;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        std::fprintf(stderr, "thermpos-vprinter: %s: %s\n", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // A client that does not read its answers waits for nobody else for long.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0)
                continue;
        }
        return;
    }
}

// Reads what a client sent and answers each complete line. False: close the client.
bool ServeClient(VirtualPrinter& printer, Client& client, bool* quit) {
    char buffer[1024];
    const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    client.input.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, newline);
        client.input.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool stop = false;
        SendAll(client.fd, printer.Control(line, &stop) + "\n");
        if (stop) {
            *quit = true;
            return false;
        }
    }
    if (client.input.size() > kMaxLine) {
        SendAll(client.fd, "error line too long\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    VirtualPrinterOptions options;
    std::string controlPath;
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

    // Blocked before any thread starts, so every thread inherits the mask and only the
    // signalfd sees these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd < 0) {
        std::perror("thermpos-vprinter: signalfd");
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);

    int listenFd = -1;
    if (!controlPath.empty() && (listenFd = OpenControlSocket(controlPath)) < 0)
        return 1;

    VirtualPrinter printer;
    std::string error;
    if (!printer.Start(options, &error)) {
        std::fprintf(stderr, "thermpos-vprinter: %s\n", error.c_str());
        if (listenFd >= 0) {
            ::close(listenFd);
            ::unlink(controlPath.c_str());
        }
        return 1;
    }
    std::printf("%s\n", printer.SlavePath().c_str());
    std::fflush(stdout);

    std::vector<Client> clients;
    bool quit = false;
    while (!quit) {
        std::vector<pollfd> fds;
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({listenFd, static_cast<short>(listenFd >= 0 ? POLLIN : 0), 0});
        for (const Client& c : clients)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("thermpos-vprinter: poll");
            break;
        }
        if (fds[0].revents & POLLIN)
            break;  // SIGINT, SIGTERM or SIGHUP: shut down cleanly
        // Clients first, by their slots in fds; connections accepted below join the next
        // round.
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const short revents = fds[2 + i].revents;
            bool keep = true;
            if (!quit && (revents & (POLLIN | POLLHUP | POLLERR)))
                keep = ServeClient(printer, clients[i], &quit);
            if (keep)
                kept.push_back(std::move(clients[i]));
            else
                ::close(clients[i].fd);
        }
        clients = std::move(kept);
        if (!quit && (fds[1].revents & POLLIN)) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                if (clients.size() >= kMaxClients) {
                    SendAll(fd, "error too many control connections\n");
                    ::close(fd);
                } else {
                    clients.push_back({fd, {}});
                }
            }
        }
    }

    printer.Stop();
    for (const Client& c : clients)
        ::close(c.fd);
    if (listenFd >= 0) {
        ::close(listenFd);
        ::unlink(controlPath.c_str());
    }
    ::close(signalFd);
    const std::string outputError = printer.LastOutputError();
    if (!outputError.empty()) {
        std::fprintf(stderr, "thermpos-vprinter: %s\n", outputError.c_str());
        return 1;
    }
    return 0;
}
