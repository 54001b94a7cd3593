// Device files over POSIX descriptors: reads, writes, draining the output and waiting for
// input, with COMMTIMEOUTS semantics (the arithmetic is devfile_timeouts.h's). See devfile.h
// for the contract and devfile_posix.h for the locks.
//
// Threads: none started here. Every wait is a poll() over the device and the handle's
// wake-up descriptor, with no lock held.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/dcb_termios.h"
#include "platform/devfile.h"
#include "platform/devfile_posix.h"
#include "platform/netport.h"

namespace thermpos::platform::devfile {
namespace {

// The device of a read or write of `size` bytes at `data`, with *count cleared; null with
// *rc set when the call ends here (an unknown handle, nothing to move, no buffer).
std::shared_ptr<Device> BeginTransfer(HANDLE handle, const void* data, DWORD size, DWORD* count,
                                      LONG* rc) {
    if (count)
        *count = 0;
    auto dev = Find(handle);
    if (!dev) {
        *rc = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (size == 0 || !data) {
        *rc = size == 0 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return dev;
}

// Whatever of the job has not left yet must never reach the printer after the caller was
// told the write failed: a retry sends the whole job again.
void AbandonQueued(Device& dev) {
    // A drain under way on another thread must not take the queue emptied here for bytes
    // that left.
    ++dev.abandoned;
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

LONG ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read) {
    LONG rc;
    const auto dev = BeginTransfer(handle, buffer, size, read, &rc);
    if (!dev)
        return rc;

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
    const ReadTimeouts plan = PlanRead(t, dev->usbNamespace, size, start);

    DWORD got = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    Clock::time_point lastByte = start;
    bool hungUp = false;
    for (;;) {
        const DWORD asked = size - got;
        ssize_t n = ::read(dev->fd, out + got, asked);
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
            if (got == size || (plan.firstByte && got > 0))
                return ERROR_SUCCESS;
            // A read that returns at once has what the device held: a short read emptied
            // it, and asking again would only hear EAGAIN (one system call per status
            // reply saved).
            if (plan.immediate && static_cast<DWORD>(n) < asked)
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
        if (plan.immediate || (plan.firstByte && got > 0) || hungUp)
            return ERROR_SUCCESS;

        int err = 0;
        switch (WaitFor(*dev, POLLIN, plan.Next(got, lastByte), &err)) {
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
    LONG rc;
    const auto dev = BeginTransfer(handle, data, size, written, &rc);
    if (!dev)
        return rc;

    const COMMTIMEOUTS t = dev->Timeouts();
    // The total, and the stall limit that ends a write no byte of which moves for the
    // write constant: with the multiplier MAXDWORD the service objects set, the total is
    // years away and the stall alone ends a write to a printer that stopped reading.
    const auto start = Clock::now();
    const DrainTimeouts plan = PlanWrite(t, size, start);
    auto lastProgress = start;
    DWORD done = 0;
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
            lastProgress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return IoError(*dev, errno);
        if (hungUp)
            return dev->terminal || dev->socket ? ERROR_INVALID_HANDLE : ERROR_NOT_READY;
        int err = 0;
        switch (WaitFor(*dev, POLLOUT, plan.Next(lastProgress), &err)) {
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

// How long to wait before looking at the queue again (a socket's is looked at often: the
// printer acknowledges in round trips, not at a line's rate).
int RecheckMs(const Device& dev, int queued) {
    if (dev.socket)
        return 1;
    termios t{};
    const long baud = ::tcgetattr(dev.fd, &t) == 0 ? BaudRateOfSpeed(::cfgetospeed(&t)) : 0;
    return DrainRecheckMs(baud, queued);
}

}  // namespace

LONG FlushFileBuffers(HANDLE handle) {
    auto dev = Find(handle);
    if (!dev)
        return ClosedPseudoTerminal(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
    // The parallel port's writes block in the driver until it handed every byte to the
    // port, and a pseudo-terminal has no transmitter (its queue always reads 0, and once
    // hung up it cannot be asked): nothing is left to wait for.
    if (dev->blockingWriteFd >= 0 || dev->pseudoTerminal)
        return ERROR_SUCCESS;
    const unsigned abandoned = dev->abandoned.load();
    const COMMTIMEOUTS t = dev->Timeouts();
    const bool counted = dev->socket || dev->terminal;
    int queued = 0;
    if (counted) {
        if (LONG rc = OutputQueued(*dev, &queued); rc != ERROR_SUCCESS)
            return rc;
        if (queued == 0)
            return ERROR_SUCCESS;
    }
    auto now = Clock::now();
    const DrainTimeouts plan = PlanDrain(t, static_cast<DWORD>(queued), now);
    auto lastProgress = now;
    for (;;) {
        const Deadline deadline = plan.Next(lastProgress);
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
        // Another write's time-out discarded the queue: what was in it did not leave.
        if (dev->abandoned.load() != abandoned)
            return ERROR_TIMEOUT;
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

LONG AbandonOutput(HANDLE handle) {
    auto dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    AbandonQueued(*dev);
    return ERROR_SUCCESS;
}

DWORD WaitForInput(HANDLE handle, int wakeFd, DWORD timeoutMs) {
    auto dev = Find(handle);
    if (!dev || !dev->waitable)
        return WAIT_FAILED;
    Deadline deadline;
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

}  // namespace thermpos::platform::devfile
