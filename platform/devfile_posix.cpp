// Device files over POSIX descriptors: the handle table, opening and closing, the
// settings that are not the line's, and the errno table. See devfile.h for the contract
// and devfile_posix.h for what the POSIX files share and the lock order.
//
// Threads: none started here.
#include "platform/devfile_posix.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/devfile.h"
#include "platform/devfile_system.h"
#include "platform/errno_posix.h"
#include "platform/netport.h"
#include "platform/portname.h"

namespace thermpos::platform::devfile {
namespace {

constexpr unsigned kParallelMajor = 6;  // /dev/lpN: its driver cannot poll
// Pseudo-terminal slaves. Their driver forces 8 data bits without parity whatever is set.
constexpr unsigned kPtySlaveFirstMajor = 136;
constexpr unsigned kPtySlaveLastMajor = 143;

std::mutex g_tableLock;
// Handle values look like Win32 ones (small multiples of 4) and are never reused within
// a process, so a stale handle cannot reach a newer device.
std::unordered_map<std::uintptr_t, std::shared_ptr<Device>> g_table;  // guarded by g_tableLock
std::uintptr_t g_nextHandle = 0x100;                                  // guarded by g_tableLock
// The pseudo-terminal handles closed last, oldest overwritten first: a drain that lost
// the race against a reopen's close is answered as it would have been a moment earlier.
std::array<std::uintptr_t, 16> g_closedPty{};  // guarded by g_tableLock
std::size_t g_closedPtyNext = 0;               // guarded by g_tableLock

HANDLE AddHandle(std::shared_ptr<Device> dev) {
    std::lock_guard guard(g_tableLock);
    std::uintptr_t value = g_nextHandle;
    g_nextHandle += 4;
    g_table.emplace(value, std::move(dev));
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

Device::~Device() {
    if (blockingWriteFd >= 0)
        ::close(blockingWriteFd);
    if (fd >= 0)
        ::close(fd);  // also drops the flock
    if (wakeFd >= 0)
        ::close(wakeFd);
}

std::shared_ptr<Device> Find(HANDLE handle) {
    std::lock_guard guard(g_tableLock);
    auto it = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == g_table.end() ? nullptr : it->second;
}

bool ClosedPseudoTerminal(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    std::lock_guard guard(g_tableLock);
    return value != 0 &&
           std::find(g_closedPty.begin(), g_closedPty.end(), value) != g_closedPty.end();
}

int PollTimeout(Deadline deadline) {
    if (!deadline)
        return -1;
    auto left = *deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

WaitResult WaitFor(const Device& dev, short events, Deadline deadline, int* err) {
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

// A terminal only hangs up when its device went away (ports are opened with CLOCAL, so a
// lost carrier does not do it): a USB-serial adapter unplugged, a pseudo-terminal whose
// master closed. That is "vanished", which the owner answers by reopening the port, not
// "not ready", which it would wait out.
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
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        default:
            return platform::PathErrorFromErrno(err, ERROR_FILE_NOT_FOUND);
    }
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

    *handle = AddHandle(std::move(dev));
    return ERROR_SUCCESS;
}

namespace detail {

LONG OpenResolvedDevice(std::string_view name, const std::string& path, DWORD access,
                        DWORD shareMode, HANDLE* handle) {
    LONG rc = OpenDevicePath(path, access, shareMode, handle);
    if (rc == ERROR_SUCCESS && portname::StartsWithNoCase(portname::WithoutNamespace(name), "USB#"))
        if (auto dev = Find(*handle))
            dev->usbNamespace = true;
    return rc;
}

LONG OpenConnectedPort(const netport::Endpoint& endpoint, HANDLE* handle) {
    auto dev = std::make_shared<Device>();
    if (LONG rc = netport::Connect(endpoint, netport::kDefaultConnectMs, &dev->fd);
        rc != ERROR_SUCCESS)
        return rc;
    dev->socket = true;
    dev->waitable = true;
    dev->timeouts = kNetworkTimeouts;
    dev->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (dev->wakeFd < 0)
        return ErrorFromErrno(errno);
    dev->networkDcb = NetworkDcb();
    *handle = AddHandle(std::move(dev));
    return ERROR_SUCCESS;
}

}  // namespace detail

LONG CloseHandle(HANDLE handle) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard guard(g_tableLock);
        auto it = g_table.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == g_table.end())
            return ERROR_INVALID_HANDLE;
        dev = std::move(it->second);
        g_table.erase(it);
        if (dev->pseudoTerminal) {
            g_closedPty[g_closedPtyNext] = reinterpret_cast<std::uintptr_t>(handle);
            g_closedPtyNext = (g_closedPtyNext + 1) % g_closedPty.size();
        }
    }
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(dev->wakeFd, &one, sizeof one);
    return ERROR_SUCCESS;  // the descriptor closes when the last waiter drops dev
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

LONG GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!timeouts)
        return ERROR_INVALID_PARAMETER;
    *timeouts = dev->Timeouts();
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

}  // namespace thermpos::platform::devfile
