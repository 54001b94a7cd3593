// Device files over POSIX descriptors. See devfile.h for the contract.
//
// Threads: none started here. Locks, in the order they may be taken:
//   1. g_tableLock: the handle table; held only to find, add or remove an entry.
//   2. Device::lock: a handle's time-outs and remembered DCB fields; never held while
//      waiting for the device.
// Reads and writes hold neither lock while they wait: they keep the Device alive with a
// shared_ptr and wait on poll() over the device and the handle's wake-up descriptor,
// which CloseHandle signals.
#include "platform/devfile.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/dcb_termios.h"
#include "platform/netport.h"
#include "platform/portname.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::devfile {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxNameLength = 255;
constexpr unsigned kParallelMajor = 6;  // /dev/lpN: its driver cannot poll
// Pseudo-terminal slaves. Their driver forces 8 data bits without parity whatever is set.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveLastMajor = 143;
constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// What termios cannot hold: remembered per handle and given back by GetCommState.
struct RememberedDcb {
    DWORD fOutxCtsFlow = 0;
    DWORD fOutxDsrFlow = 0;
    DWORD fDtrControl = DTR_CONTROL_ENABLE;
    DWORD fDsrSensitivity = 0;
    DWORD fTXContinueOnXoff = 0;
    DWORD fErrorChar = 0;
    DWORD fNull = 0;
    DWORD fRtsControl = RTS_CONTROL_ENABLE;
    DWORD fAbortOnError = 0;
    WORD XonLim = 2048;
    WORD XoffLim = 512;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    // The framing last set on a pseudo-terminal, which cannot hold it.
    bool framingSet = false;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
};

struct Device {
    int fd = -1;
    // A second, blocking descriptor for writes to drivers without poll support (the
    // parallel port); -1 when writes go through fd.
    int blockingWriteFd = -1;
    int wakeFd = -1;  // eventfd, readable once CloseHandle ran
    bool terminal = false;
    bool pseudoTerminal = false;
    // poll() tells when input arrives: terminals, sockets, pipes and character devices
    // other than the parallel port (whose driver reports ready whatever the state).
    bool waitable = false;
    // A connected TCP stream to a network printer (netport.h).
    bool socket = false;
    // Opened through the USB printer device namespace ("\\.\USB#..."), set before the
    // handle is returned.
    std::atomic<bool> usbNamespace{false};

    std::mutex lock;
    COMMTIMEOUTS timeouts{};   // guarded by lock
    RememberedDcb remembered;  // guarded by lock
    DCB networkDcb{};          // guarded by lock; a socket's settings, kept without effect

    Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() {
        if (blockingWriteFd >= 0)
            ::close(blockingWriteFd);
        if (fd >= 0)
            ::close(fd);  // also drops the flock
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
};

std::mutex g_tableLock;
// Handle values look like Win32 ones (small multiples of 4) and are never reused within
// a process, so a stale handle cannot reach a newer device.
std::unordered_map<std::uintptr_t, std::shared_ptr<Device>> g_table;  // guarded by g_tableLock
std::uintptr_t g_nextHandle = 0x100;                                  // guarded by g_tableLock

std::shared_ptr<Device> Find(HANDLE handle) {
    std::lock_guard guard(g_tableLock);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == g_table.end() ? nullptr : it->second;
}

// Milliseconds until deadline for poll(): -1 for none, rounded up so that a wait never
// ends just before its deadline and loops once more for nothing.
int PollTimeout(std::optional<Clock::time_point> deadline) {
    if (!deadline)
        return -1;
    auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

enum class WaitResult { Ready, HungUp, TimedOut, Closed, Failed };

// Waits until fd is ready for `events`, the deadline passes, or the handle is closed.
// HungUp: the device reports an error or hang-up instead of readiness.
WaitResult WaitFor(const Device& dev, short events, std::optional<Clock::time_point> deadline,
                   int* err) {
    for (;;) {
        pollfd fds[2] = {{dev.fd, events, 0}, {dev.wakeFd, POLLIN, 0}};
        int timeout = PollTimeout(deadline);
        int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *err = errno;
            return WaitResult::Failed;
        }
        if (fds[1].revents)
            return WaitResult::Closed;
        if (fds[0].revents & events)
            return WaitResult::Ready;
        if (fds[0].revents)
            return WaitResult::HungUp;
        if (n == 0 && timeout >= 0 && PollTimeout(deadline) == 0)
            return WaitResult::TimedOut;
    }
}

std::optional<Clock::time_point> TotalDeadline(Clock::time_point start, DWORD multiplier,
                                               DWORD constant, DWORD size) {
    if (multiplier == 0 && constant == 0)
        return std::nullopt;
    std::uint64_t ms = std::uint64_t{multiplier} * size + constant;  // < 2^64: no wrap
    // Beyond about three years the clock would overflow long before the limit matters.
    if (ms > 100'000'000'000ull)
        return std::nullopt;
    return start + std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

// The error of a failed read or write. A terminal only hangs up when its device went
// away (ports are opened with CLOCAL, so a lost carrier does not do it): a USB-serial
// adapter unplugged, a pseudo-terminal whose master closed. That is "vanished", which
// the owner answers by reopening the port, not "not ready", which it would wait out.
LONG IoError(const Device& dev, int err) {
    if (dev.socket)
        return netport::SocketError(err);
    if (dev.terminal && err == EIO) {
        pollfd p{dev.fd, 0, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)))
            return ERROR_INVALID_HANDLE;
    }
    return ErrorFromErrno(err);
}

// Raw binary mode: printer bytes pass unchanged in both directions.
void MakeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    // With O_NONBLOCK, VMIN 1 makes an empty read fail with EAGAIN (VMIN 0 would return 0,
    // which looks like end of file); the waiting is done in poll().
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &t);
}

void InitRemembered(int fd, RememberedDcb* r) {
    termios t{};
    if (::tcgetattr(fd, &t) == 0 && (t.c_cflag & CRTSCTS)) {
        r->fOutxCtsFlow = 1;
        r->fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) == 0)
        r->fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
}

// Modem lines: a pseudo-terminal has none, and its refusal is not an error.
void SetModemLine(int fd, int line, bool on) {
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

}  // namespace

LONG ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOSPC:
            return ERROR_OUT_OF_PAPER;
        case EIO:
            return ERROR_NOT_READY;
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EAGAIN:
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case EBUSY:
            return ERROR_BUSY;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

LONG ResolvePortName(std::string_view name, std::string* path) {
    name = portname::MapName(name);
    if (name.empty() || name.size() > kMaxNameLength || name.find('\0') != std::string_view::npos)
        return ERROR_INVALID_NAME;

    registry::KeyHolder ports;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, regpath::kPorts, 0, KEY_QUERY_VALUE, ports.Out());
    if (rc == ERROR_SUCCESS) {
        std::string valueName(name);
        char data[4096] = {};
        DWORD size = sizeof data - 1;
        DWORD type = REG_NONE;
        rc = RegQueryValueExA(ports.Get(), valueName.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data), &size);
        ports.Reset();
        if (rc == ERROR_SUCCESS) {
            std::string mapped(data, strnlen(data, std::min<std::size_t>(size, sizeof data - 1)));
            if ((type == REG_SZ || type == REG_EXPAND_SZ) && netport::IsSocketUri(mapped)) {
                netport::Endpoint endpoint;
                if (LONG bad = netport::ParseSocketUri(mapped, &endpoint); bad != ERROR_SUCCESS)
                    return bad;
                *path = std::move(mapped);
                return ERROR_SUCCESS;
            }
            if ((type != REG_SZ && type != REG_EXPAND_SZ) || mapped.empty() || mapped[0] != '/')
                return ERROR_PATH_NOT_FOUND;
            *path = std::move(mapped);
            return ERROR_SUCCESS;
        }
        if (rc == ERROR_MORE_DATA)
            return ERROR_PATH_NOT_FOUND;
        if (rc != ERROR_FILE_NOT_FOUND)
            return rc;
    } else if (rc != ERROR_FILE_NOT_FOUND) {
        // A hive we cannot read must not send the name to a default device instead.
        return rc;
    }

    if (netport::IsIpName(name))
        return netport::UriForIpName(name, path);
    std::string device = portname::DefaultDevicePath(name);
    if (device.empty())
        return ERROR_FILE_NOT_FOUND;
    *path = std::move(device);
    return ERROR_SUCCESS;
}

bool IsNetworkPort(std::string_view name) {
    std::string path;
    const LONG rc = ResolvePortName(name, &path);
    if (rc == ERROR_SUCCESS)
        return netport::IsSocketUri(path);
    return rc == ERROR_BAD_PATHNAME;
}

LONG CreateFile(const char* name, DWORD access, DWORD shareMode, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    if (!name)
        return ERROR_INVALID_NAME;
    std::string path;
    if (LONG rc = ResolvePortName(name, &path); rc != ERROR_SUCCESS)
        return rc;
    if (netport::IsSocketUri(path))
        return OpenNetworkPort(path, access, handle);
    LONG rc = OpenDevicePath(path, access, shareMode, handle);
    if (rc == ERROR_SUCCESS && portname::StartsWithNoCase(portname::WithoutNamespace(name), "USB#"))
        if (auto dev = Find(*handle))
            dev->usbNamespace = true;
    return rc;
}

LONG OpenDevicePath(const std::string& path, DWORD access, DWORD shareMode, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    int mode = 0;
    bool wantRead = access & GENERIC_READ, wantWrite = access & GENERIC_WRITE;
    if (wantRead && wantWrite)
        mode = O_RDWR;
    else if (wantWrite)
        mode = O_WRONLY;
    else if (wantRead)
        mode = O_RDONLY;
    else
        return ERROR_INVALID_PARAMETER;

    auto dev = std::make_shared<Device>();
    // O_NONBLOCK: a serial open must not wait for carrier, and reads and writes wait in
    // poll() where CloseHandle can wake them.
    dev->fd = ::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (dev->fd < 0)
        return ErrorFromErrno(errno);
    struct stat st {};
    if (::fstat(dev->fd, &st) != 0)
        return ErrorFromErrno(errno);
    if (S_ISDIR(st.st_mode))
        return ERROR_ACCESS_DENIED;
    // Shared opens take a shared lock, so they still keep an exclusive opener out.
    if (::flock(dev->fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno);
    dev->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (dev->wakeFd < 0)
        return ErrorFromErrno(errno);
    if (S_ISCHR(st.st_mode) && major(st.st_rdev) == kParallelMajor && wantWrite) {
        dev->blockingWriteFd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (dev->blockingWriteFd < 0)
            return ErrorFromErrno(errno);
    }
    const bool parallel = S_ISCHR(st.st_mode) && major(st.st_rdev) == kParallelMajor;
    dev->waitable =
        (S_ISCHR(st.st_mode) && !parallel) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
    dev->terminal = ::isatty(dev->fd);
    dev->pseudoTerminal = dev->terminal && S_ISCHR(st.st_mode) &&
                          major(st.st_rdev) >= kPtySlaveFirstMajor &&
                          major(st.st_rdev) <= kPtySlaveLastMajor;
    if (dev->terminal) {
        MakeRaw(dev->fd);
        InitRemembered(dev->fd, &dev->remembered);
    }

    std::lock_guard guard(g_tableLock);
    std::uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_table.emplace(value, std::move(dev));
    *handle = reinterpret_cast<HANDLE>(value);
    return ERROR_SUCCESS;
}

LONG OpenNetworkPort(const std::string& uri, DWORD access, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    if (!(access & (GENERIC_READ | GENERIC_WRITE)))
        return ERROR_INVALID_PARAMETER;
    netport::Endpoint endpoint;
    if (LONG rc = netport::ParseSocketUri(uri, &endpoint); rc != ERROR_SUCCESS)
        return rc;
    auto dev = std::make_shared<Device>();
    if (LONG rc = netport::Connect(endpoint, netport::kDefaultConnectMs, &dev->fd);
        rc != ERROR_SUCCESS)
        return rc;
    dev->socket = true;
    dev->waitable = true;
    // Devices that set no time-outs on a port that is not serial (they take it for a USB
    // printer's) read at once, as a USB printer port does, instead of waiting for ever for
    // a full buffer. Writes have no limit of their own until set; keep-alive ends one to
    // a printer that went silent.
    dev->timeouts = COMMTIMEOUTS{MAXDWORD, 0, 0, 0, 0};
    dev->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (dev->wakeFd < 0)
        return ErrorFromErrno(errno);
    // What a serial port starts with, so that a caller's read-modify-write of the DCB
    // works; nothing of it reaches the wire.
    dev->networkDcb.DCBlength = sizeof(DCB);
    dev->networkDcb.BaudRate = 9600;
    dev->networkDcb.fBinary = 1;
    dev->networkDcb.fDtrControl = DTR_CONTROL_ENABLE;
    dev->networkDcb.fRtsControl = RTS_CONTROL_ENABLE;
    dev->networkDcb.XonLim = 2048;
    dev->networkDcb.XoffLim = 512;
    dev->networkDcb.ByteSize = 8;
    dev->networkDcb.XonChar = 0x11;
    dev->networkDcb.XoffChar = 0x13;

    std::lock_guard guard(g_tableLock);
    std::uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_table.emplace(value, std::move(dev));
    *handle = reinterpret_cast<HANDLE>(value);
    return ERROR_SUCCESS;
}

LONG CloseHandle(HANDLE handle) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard guard(g_tableLock);
        auto it = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == g_table.end())
            return ERROR_INVALID_HANDLE;
        dev = std::move(it->second);
        g_table.erase(it);
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(dev->wakeFd, &one, sizeof one);
    return ERROR_SUCCESS;  // the descriptor closes when the last waiter drops dev
}

LONG ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read) {
    DWORD got = 0;
    if (read)
        *read = 0;
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (size == 0)
        return ERROR_SUCCESS;
    if (!buffer)
        return ERROR_INVALID_PARAMETER;

    COMMTIMEOUTS t;
    bool dropNul;
    {
        std::lock_guard guard(dev->lock);
        t = dev->timeouts;
        dropNul = dev->terminal && dev->remembered.fNull;
    }
    const auto start = Clock::now();
    // A USB printer port takes no read time-outs: its reads end at once with what has
    // arrived (a status block is 4 bytes; waiting for a full buffer would never end).
    const bool immediate =
        dev->usbNamespace || (t.ReadIntervalTimeout == MAXDWORD &&
                              t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0);
    // Interval and multiplier MAXDWORD: wait up to the constant for the first byte, then
    // return at once with what is there.
    const bool firstByte = t.ReadIntervalTimeout == MAXDWORD &&
                           t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                           t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
    std::optional<Clock::time_point> total;
    if (firstByte)
        total = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    else if (!immediate)
        total =
            TotalDeadline(start, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, size);
    const bool useInterval =
        !immediate && !firstByte && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;

    auto* out = static_cast<unsigned char*>(buffer);
    Clock::time_point lastByte = start;
    bool hungUp = false;
    for (;;) {
        ssize_t n = ::read(dev->fd, out + got, size - got);
        if (n > 0) {
            DWORD kept = static_cast<DWORD>(n);
            if (dropNul) {
                auto* begin = out + got;
                kept = static_cast<DWORD>(std::remove(begin, begin + n, 0) - begin);
            }
            got += kept;
            if (read)
                *read = got;
            if (kept)
                lastByte = Clock::now();
            if (got == size || (firstByte && got > 0))
                return ERROR_SUCCESS;
            hungUp = false;
            continue;
        }
        if (n == 0) {
            // End of file. A terminal returns 0 only when hung up (VMIN is 1), a socket
            // when the printer closed the connection: either way the device has gone.
            return (dev->terminal || dev->socket) && got == 0 ? ERROR_INVALID_HANDLE
                                                              : ERROR_SUCCESS;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return IoError(*dev, errno);
        if (immediate || (firstByte && got > 0) || hungUp)
            return ERROR_SUCCESS;

        std::optional<Clock::time_point> deadline = total;
        if (useInterval && got > 0) {
            auto gap = lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout);
            deadline = deadline ? std::min(*deadline, gap) : gap;
        }
        int err = 0;
        switch (WaitFor(*dev, POLLIN, deadline, &err)) {
            case WaitResult::Ready:
                break;
            case WaitResult::HungUp:
                // Let the read report what the hang-up means; if it finds nothing, stop
                // rather than spin on it.
                hungUp = true;
                break;
            case WaitResult::TimedOut:
                return ERROR_SUCCESS;
            case WaitResult::Closed:
                return ERROR_INVALID_HANDLE;
            case WaitResult::Failed:
                return ErrorFromErrno(err);
        }
    }
}

LONG WriteFile(HANDLE handle, const void* data, DWORD size, DWORD* written) {
    DWORD done = 0;
    if (written)
        *written = 0;
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (size == 0)
        return ERROR_SUCCESS;
    if (!data)
        return ERROR_INVALID_PARAMETER;

    COMMTIMEOUTS t;
    {
        std::lock_guard guard(dev->lock);
        t = dev->timeouts;
    }
    const auto deadline = TotalDeadline(Clock::now(), t.WriteTotalTimeoutMultiplier,
                                        t.WriteTotalTimeoutConstant, size);
    const auto* in = static_cast<const unsigned char*>(data);
    bool hungUp = false;
    // A printer that closed its end would still let the first write in and drop it with
    // a reset: a job lost while reported written. Ask first.
    if (dev->socket) {
        pollfd p{dev->fd, POLLRDHUP, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            return ERROR_INVALID_HANDLE;
    }
    while (done < size) {
        if (dev->blockingWriteFd >= 0) {
            ssize_t n = ::write(dev->blockingWriteFd, in + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return ErrorFromErrno(errno);
            if (n == 0)
                return ERROR_TIMEOUT;  // the driver's own time-out ran out
            done += static_cast<DWORD>(n);
            if (written)
                *written = done;
            continue;
        }
        // A socket whose peer went must give an error, not a SIGPIPE that ends the process.
        ssize_t n = dev->socket ? ::send(dev->fd, in + done, size - done, MSG_NOSIGNAL)
                                : ::write(dev->fd, in + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            if (written)
                *written = done;
            hungUp = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return IoError(*dev, errno);
        if (hungUp)
            return dev->terminal || dev->socket ? ERROR_INVALID_HANDLE : ERROR_NOT_READY;
        int err = 0;
        switch (WaitFor(*dev, POLLOUT, deadline, &err)) {
            case WaitResult::Ready:
                break;
            case WaitResult::HungUp:
                hungUp = true;  // the next write tells what happened; stop if it cannot
                break;
            case WaitResult::TimedOut:
                return ERROR_TIMEOUT;
            case WaitResult::Closed:
                return ERROR_INVALID_HANDLE;
            case WaitResult::Failed:
                return ErrorFromErrno(err);
        }
    }
    return ERROR_SUCCESS;
}

namespace {

// Bytes written through the handle and not yet sent: the terminal's transmit queue (a
// UART's buffer and FIFO; a pseudo-terminal has none and always reads 0), or a socket's
// bytes the printer has not acknowledged yet.
LONG OutputQueued(const Device& dev, int* queued) {
    if (::ioctl(dev.fd, dev.socket ? SIOCOUTQ : TIOCOUTQ, queued) != 0)
        return IoError(dev, errno);
    if (*queued < 0)
        *queued = 0;
    return ERROR_SUCCESS;
}

// How long to wait before looking at the queue again: about the time the line needs for
// what is queued, so a long job is not looked at hundreds of times, but never long
// enough to notice the end late by much.
int RecheckMs(const Device& dev, int queued) {
    constexpr int kShortest = 1, kLongest = 20;
    if (dev.socket)
        return kShortest;
    termios t{};
    const long baud = ::tcgetattr(dev.fd, &t) == 0 ? BaudRateOfSpeed(::cfgetospeed(&t)) : 0;
    if (baud <= 0)
        return kLongest;
    const long ms = static_cast<long>(queued) * 10 * 1000 / baud;
    return static_cast<int>(std::clamp<long>(ms, kShortest, kLongest));
}

// Whatever of the job has not left yet must never reach the printer after the caller was
// told the write failed: a retry sends the whole job again.
void AbandonQueued(const Device& dev) {
    if (dev.socket) {
        // Disconnecting resets the connection and drops the send queue; the owner sees a
        // vanished device at its next call and connects again.
        sockaddr unspec{};
        unspec.sa_family = AF_UNSPEC;
        (void)::connect(dev.fd, &unspec, sizeof unspec);
    } else if (dev.terminal) {
        (void)::tcflush(dev.fd, TCOFLUSH);
    }
}

}  // namespace

LONG FlushFileBuffers(HANDLE handle) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    // The parallel port's writes block in the driver until it handed every byte to the
    // port, and a pseudo-terminal has no transmitter (its queue always reads 0, and once
    // hung up it cannot be asked): nothing is left to wait for.
    if (dev->blockingWriteFd >= 0 || dev->pseudoTerminal)
        return ERROR_SUCCESS;
    COMMTIMEOUTS t;
    {
        std::lock_guard guard(dev->lock);
        t = dev->timeouts;
    }
    const bool counted = dev->socket || dev->terminal;
    int queued = 0;
    if (counted) {
        if (LONG rc = OutputQueued(*dev, &queued); rc != ERROR_SUCCESS)
            return rc;
        if (queued == 0)
            return ERROR_SUCCESS;
    }
    // The bytes still queued get the time a write of them would get. A line that stops
    // moving for the constant alone is stalled (a printer holding its handshake line, a
    // network printer whose buffer stays full): with a multiplier of MAXDWORD, as the
    // service objects set it, the total alone would never end the wait.
    auto now = Clock::now();
    const auto total = TotalDeadline(now, t.WriteTotalTimeoutMultiplier,
                                     t.WriteTotalTimeoutConstant, static_cast<DWORD>(queued));
    const std::optional<Clock::duration> stallLimit =
        t.WriteTotalTimeoutConstant == 0 ? std::nullopt
                                         : std::optional<Clock::duration>(std::chrono::milliseconds(
                                               t.WriteTotalTimeoutConstant));
    auto lastProgress = now;
    for (;;) {
        std::optional<Clock::time_point> deadline = total;
        if (stallLimit)
            deadline = deadline ? std::min(*deadline, lastProgress + *stallLimit)
                                : lastProgress + *stallLimit;
        if (deadline && now >= *deadline) {
            AbandonQueued(*dev);
            return ERROR_TIMEOUT;
        }
        if (!counted) {
            // A USB printer's node is writable again once its last transfer completed,
            // which is when the printer took the bytes; for anything else at once.
            int err = 0;
            switch (WaitFor(*dev, POLLOUT, deadline, &err)) {
                case WaitResult::Ready:
                    return ERROR_SUCCESS;
                case WaitResult::HungUp:
                    return ERROR_INVALID_HANDLE;
                case WaitResult::TimedOut:
                    now = Clock::now();
                    continue;
                case WaitResult::Closed:
                    return ERROR_INVALID_HANDLE;
                case WaitResult::Failed:
                    return ErrorFromErrno(err);
            }
        }
        // The queue's length cannot be waited on; look again after a while, woken at
        // once when the handle is closed or the device hangs up.
        int wait = RecheckMs(*dev, queued);
        if (deadline)
            wait = std::min(wait, PollTimeout(deadline));
        pollfd fds[2] = {{dev->fd, 0, 0}, {dev->wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, wait);
        if (n < 0 && errno != EINTR)
            return ErrorFromErrno(errno);
        if (n > 0 && fds[1].revents)
            return ERROR_INVALID_HANDLE;
        // The queue first: bytes the printer acknowledged before the connection broke
        // were taken, and reporting them failed would print them twice after a retry.
        int left = 0;
        if (LONG rc = OutputQueued(*dev, &left); rc != ERROR_SUCCESS)
            return rc;
        if (left == 0)
            return ERROR_SUCCESS;
        if (n > 0 && (fds[0].revents & (POLLERR | POLLHUP))) {
            if (dev->socket) {
                int err = 0;
                socklen_t len = sizeof err;
                if (::getsockopt(dev->fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)
                    return netport::SocketError(err);
            }
            return ERROR_INVALID_HANDLE;
        }
        now = Clock::now();
        if (left < queued)
            lastProgress = now;
        queued = left;
    }
}

DWORD WaitForInput(HANDLE handle, int wakeFd, DWORD timeoutMs) {
    auto dev = Find(handle);
    if (!dev || !dev->waitable)
        return WAIT_FAILED;
    std::optional<Clock::time_point> deadline;
    if (timeoutMs != INFINITE)
        deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // POLLRDHUP: a printer that closed its end of a connection is a change to look at, even
    // when it sent nothing before it went.
    const short events = POLLIN | (dev->socket ? POLLRDHUP : 0);
    for (;;) {
        pollfd fds[3] = {{dev->fd, events, 0}, {dev->wakeFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int timeout = PollTimeout(deadline);
        const int n = ::poll(fds, wakeFd >= 0 ? 3 : 2, timeout);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return WAIT_FAILED;
        }
        // A hang-up, an error or a close is for the reader to find out: it gets the error.
        if (fds[0].revents || fds[1].revents)
            return WAIT_OBJECT_0;
        if (wakeFd >= 0 && fds[2].revents)
            return WAIT_OBJECT_0 + 1;
        if (n == 0 && timeout >= 0 && PollTimeout(deadline) == 0)
            return WAIT_TIMEOUT;
    }
}

LONG SetupComm(HANDLE handle, DWORD, DWORD) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    return dev->terminal || dev->socket ? ERROR_SUCCESS : ERROR_INVALID_FUNCTION;
}

LONG PurgeComm(HANDLE handle, DWORD flags) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return ERROR_INVALID_PARAMETER;
    if (!dev->terminal)
        return ERROR_SUCCESS;
    bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
    if ((rx || tx) && ::tcflush(dev->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0)
        return ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

LONG GetCommState(HANDLE handle, DCB* dcb) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!dcb)
        return ERROR_INVALID_PARAMETER;
    if (dev->socket) {
        std::lock_guard guard(dev->lock);
        *dcb = dev->networkDcb;
        return ERROR_SUCCESS;
    }
    if (!dev->terminal)
        return ERROR_INVALID_FUNCTION;
    termios t{};
    if (::tcgetattr(dev->fd, &t) != 0)
        return ErrorFromErrno(errno);
    RememberedDcb r;
    {
        std::lock_guard guard(dev->lock);
        r = dev->remembered;
    }
    DCB d{};
    d.DCBlength = sizeof(DCB);
    TermiosToDcb(t, &d);
    // CRTSCTS is both directions at once; keep the caller's split unless someone else
    // changed the line settings behind our back.
    if (t.c_cflag & CRTSCTS) {
        if (!r.fOutxCtsFlow && r.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            r.fOutxCtsFlow = 1;
            r.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        r.fOutxCtsFlow = 0;
        if (r.fRtsControl == RTS_CONTROL_HANDSHAKE)
            r.fRtsControl = RTS_CONTROL_ENABLE;
    }
    d.fOutxCtsFlow = r.fOutxCtsFlow;
    d.fOutxDsrFlow = r.fOutxDsrFlow;
    d.fDtrControl = r.fDtrControl;
    d.fDsrSensitivity = r.fDsrSensitivity;
    d.fTXContinueOnXoff = r.fTXContinueOnXoff;
    d.fErrorChar = r.fErrorChar;
    d.fNull = r.fNull;
    d.fRtsControl = r.fRtsControl;
    d.fAbortOnError = r.fAbortOnError;
    d.XonLim = r.XonLim;
    d.XoffLim = r.XoffLim;
    d.ErrorChar = r.ErrorChar;
    d.EofChar = r.EofChar;
    d.EvtChar = r.EvtChar;
    if (dev->pseudoTerminal && r.framingSet) {
        d.ByteSize = r.ByteSize;
        d.Parity = r.Parity;
        d.StopBits = r.StopBits;
    }
    *dcb = d;
    return ERROR_SUCCESS;
}

LONG SetCommState(HANDLE handle, const DCB& dcb) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->socket) {
        // Checked as a serial port would check it, so a caller gets the same answers.
        termios scratch{};
        if (LONG rc = DcbToTermios(dcb, &scratch); rc != ERROR_SUCCESS)
            return rc;
        std::lock_guard guard(dev->lock);
        dev->networkDcb = dcb;
        dev->networkDcb.DCBlength = sizeof(DCB);
        return ERROR_SUCCESS;
    }
    if (!dev->terminal)
        return ERROR_INVALID_FUNCTION;
    termios old{};
    if (::tcgetattr(dev->fd, &old) != 0)
        return ErrorFromErrno(errno);
    termios t = old;
    if (LONG rc = DcbToTermios(dcb, &t); rc != ERROR_SUCCESS)
        return rc;
    if (::tcsetattr(dev->fd, TCSANOW, &t) != 0)
        return ErrorFromErrno(errno);
    // A serial driver that quietly keeps another rate or framing did not take the DCB;
    // a pseudo-terminal cannot, and is allowed not to.
    termios now{};
    if (!dev->pseudoTerminal &&
        (::tcgetattr(dev->fd, &now) != 0 || cfgetospeed(&now) != cfgetospeed(&t) ||
         (now.c_cflag & kFramingBits) != (t.c_cflag & kFramingBits))) {
        ::tcsetattr(dev->fd, TCSANOW, &old);
        return ERROR_INVALID_PARAMETER;
    }

    SetModemLine(dev->fd, TIOCM_DTR, dcb.fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE)
        SetModemLine(dev->fd, TIOCM_RTS, dcb.fRtsControl != RTS_CONTROL_DISABLE);

    RememberedDcb r;
    r.fOutxCtsFlow = dcb.fOutxCtsFlow;
    r.fOutxDsrFlow = dcb.fOutxDsrFlow;
    r.fDtrControl = dcb.fDtrControl;
    r.fDsrSensitivity = dcb.fDsrSensitivity;
    r.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    r.fErrorChar = dcb.fErrorChar;
    r.fNull = dcb.fNull;
    r.fRtsControl = dcb.fRtsControl;
    r.fAbortOnError = dcb.fAbortOnError;
    r.XonLim = dcb.XonLim;
    r.XoffLim = dcb.XoffLim;
    r.ErrorChar = dcb.ErrorChar;
    r.EofChar = dcb.EofChar;
    r.EvtChar = dcb.EvtChar;
    r.framingSet = true;
    r.ByteSize = dcb.ByteSize;
    r.Parity = dcb.Parity;
    r.StopBits = dcb.StopBits;
    std::lock_guard guard(dev->lock);
    dev->remembered = r;
    return ERROR_SUCCESS;
}

LONG GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!timeouts)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard guard(dev->lock);
    *timeouts = dev->timeouts;
    return ERROR_SUCCESS;
}

LONG SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    std::lock_guard guard(dev->lock);
    dev->timeouts = timeouts;
    return ERROR_SUCCESS;
}

std::size_t OpenHandleCount() {
    std::lock_guard guard(g_tableLock);
    return g_table.size();
}

}  // namespace thermpos::devfile
