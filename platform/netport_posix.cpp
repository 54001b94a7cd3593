// Network printer ports over POSIX sockets: connecting, the options of a printer's
// connection, and the printer's side for the virtual printer. See netport.h.
//
// Threads: none started here (the lookup thread is netport.cpp's); no locks.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
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

void SetStreamOptions(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = kKeepIdleSeconds, interval = kKeepIntervalSeconds, count = kKeepCount;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

}  // namespace

LONG StartSockets() {
    return ERROR_SUCCESS;
}

LONG ConnectOne(const Address& a, Clock::time_point deadline, int* fd) {
    int s = ::socket(a.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return devfile::ErrorFromErrno(errno);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a.addr), a.length) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            const int err = errno;
            ::close(s);
            return ConnectError(err);
        }
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                ::close(s);
                return ERROR_TIMEOUT;
            }
            pollfd p{s, POLLOUT, 0};
            int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int err = errno;
                ::close(s);
                return devfile::ErrorFromErrno(err);
            }
            if (n > 0)
                break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err != 0) {
            ::close(s);
            return ConnectError(err);
        }
    }
    SetStreamOptions(s);
    *fd = s;
    return ERROR_SUCCESS;
}

}  // namespace detail

LONG Listen(const Endpoint& endpoint, int backlog, int* fd, std::string* bound) {
    if (!fd)
        return ERROR_INVALID_PARAMETER;
    *fd = -1;
    sockaddr_storage ss;
    socklen_t len;
    if (!detail::ToSockaddr(endpoint, &ss, &len))
        return ERROR_BAD_PATHNAME;
    int s = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return devfile::ErrorFromErrno(errno);
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        const int err = errno;
        ::close(s);
        return err == EADDRINUSE ? ERROR_BUSY : devfile::ErrorFromErrno(err);
    }
    const unsigned short port =
        ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                       : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (bound) {
        *bound = ss.ss_family == AF_INET6 ? "[" + endpoint.host + "]" : endpoint.host;
        *bound += ":" + std::to_string(port);
    }
    *fd = s;
    return ERROR_SUCCESS;
}

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
