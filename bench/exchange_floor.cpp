// What one status exchange costs the host in system calls alone, on this machine: the
// monitor's calls for one request and its reply on a pty, with no service object, port
// library or model around them. A child process answers each 3-byte request with a 4-byte
// status block, as the virtual printer does; this process, for SECONDS (10 by default):
//   write the request; poll the pty and two eventfds (as the monitor's wait for input
//   does) until the reply; read it; poll them again for the rest of the 5 ms interval.
// That is the pattern of the models asked again after every reply at the default
// StatusBackInterval: two wake-ups, one write and one read per exchange. Also a bare
// timed wake-up (poll with no descriptor, 5 ms). Prints "name value" lines; the monitor's
// own figures (monitor_bench) compare with these.
// Usage: exchange_floor [SECONDS]. A plain program: CPU time over wall-clock seconds.
//
// Threads: main only; the answering child is a process of its own.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

void Raw(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds < 1 || seconds > 3600) {
        std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 2;
    }
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return std::perror("openpty"), 1;
    Raw(master);
    Raw(slave);
    const pid_t child = fork();
    if (child < 0)
        return std::perror("fork"), 1;
    if (child == 0) {
        close(slave);
        const unsigned char block[4] = {0x14, 0x00, 0x00, 0x00};
        char request[64];
        while (read(master, request, sizeof request) > 0)
            if (write(master, block, sizeof block) != sizeof block)
                break;
        _exit(0);
    }
    close(master);
    fcntl(slave, F_SETFL, O_NONBLOCK);
    const int closeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    auto wait = [&](int ms) {
        pollfd fds[3] = {{slave, POLLIN, 0}, {closeFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        return poll(fds, 3, ms);
    };

    long exchanges = 0;
    double cpu = CpuMs();
    auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        if (write(slave, "\x1D\x61\x0F", 3) != 3)
            return std::perror("write"), 1;
        wait(1000);
        char reply[64];
        if (read(slave, reply, sizeof reply) > 0)
            ++exchanges;
        wait(5);
    }
    cpu = CpuMs() - cpu;
    double wall = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("port pty\n");
    std::printf("exchanges_per_s %.1f\n", exchanges * 1000.0 / wall);
    std::printf("exchange_cpu_percent_of_one_core %.4f\n", 100.0 * cpu / wall);
    std::printf("cpu_us_per_exchange %.1f\n", exchanges > 0 ? cpu * 1000.0 / exchanges : 0.0);

    // A bare timed wake-up, for the part of an exchange that is only sleeping and waking.
    const int wakes = 200;
    cpu = CpuMs();
    for (int i = 0; i < wakes; ++i)
        poll(nullptr, 0, 5);
    std::printf("cpu_us_per_timed_wakeup %.1f\n", (CpuMs() - cpu) * 1000.0 / wakes);

    close(slave);
    waitpid(child, nullptr, 0);
    return 0;
}
