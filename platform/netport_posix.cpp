// Network printer ports over POSIX sockets: connecting, the options of a printer's
// connection, and the printer's side for the virtual printer. See netport.h.
//
// Threads: none started here (the lookup thread is netport.cpp's); no locks.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/devfile.h"
#include "platform/netport_sockets.h"

namespace thermpos::platform::netport {
namespace detail {
namespace {

LONG ConnectError(int err) {
    switch (err) {
        case ECONNREFUSED:
            return ERROR_CONNECTION_REFUSED;
        case ENETUNREACH:
            return ERROR_NETWORK_UNREACHABLE;
        case EHOSTUNREACH:
            return ERROR_HOST_UNREACHABLE;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        default:
            return devfile::ErrorFromErrno(err);
    }
}

}  // namespace

LONG StartSockets() {
    return ERROR_SUCCESS;
}

LONG StartConnect(const Address& a, int* s, bool* pending) {
    const int fd = ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return devfile::ErrorFromErrno(errno);
    *pending = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a.addr), a.length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            const int err = errno;
            ::close(fd);
            return ConnectError(err);
        }
        *pending = true;
    }
    *s = fd;
    return ERROR_SUCCESS;
}

LONG WaitConnect(int s, int ms, bool* connected) {
    *connected = false;
    pollfd p{s, POLLOUT, 0};
    const int n = ::poll(&p, 1, ms);
    if (n < 0)
        return errno == EINTR ? ERROR_SUCCESS : devfile::ErrorFromErrno(errno);
    if (n == 0)
        return ERROR_SUCCESS;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err != 0)
        return ConnectError(err);
    *connected = true;
    return ERROR_SUCCESS;
}

void SetStreamOptions(int s) {
    int on = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = kKeepIdleSeconds, interval = kKeepIntervalSeconds, count = kKeepCount;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

LONG ListenOn(sockaddr_storage* ss, socklen_t* len, int backlog, int* s) {
    const int fd = ::socket(ss->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return devfile::ErrorFromErrno(errno);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(ss), *len) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(ss), len) != 0) {
        const int err = errno;
        ::close(fd);
        return err == EADDRINUSE ? ERROR_BUSY : devfile::ErrorFromErrno(err);
    }
    *s = fd;
    return ERROR_SUCCESS;
}

}  // namespace detail

int AcceptClient(int listenFd) {
    int c = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (c < 0)
        return -1;
    int on = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return c;
}

long SendSome(int fd, const void* data, std::size_t size) {
    return static_cast<long>(::send(fd, data, size, MSG_NOSIGNAL));
}

void StopReceiving(int fd) {
    // With both directions shut, data that arrives is answered with a reset instead of
    // being queued and acknowledged; the receive queue stays readable.
    (void)::shutdown(fd, SHUT_RDWR);
}

void CloseSocket(int fd) {
    if (fd >= 0)
        ::close(fd);
}

LONG SocketError(int err) {
    switch (err) {
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:
        case ENOTCONN:
        case ETIMEDOUT:  // keep-alive gave up on the peer
        case EHOSTUNREACH:
        case ENETUNREACH:
        case ENETDOWN:
            return ERROR_INVALID_HANDLE;
        default:
            return devfile::ErrorFromErrno(err);
    }
}

}  // namespace thermpos::platform::netport
