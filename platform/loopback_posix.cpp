// The loopback line's sockets over POSIX. See loopback.h and loopback_socket.h.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/loopback_socket.h"

namespace thermpos::platform::loopback {

namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// A send or receive's result as loopback_socket.h gives it.
long Moved(ssize_t n) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return kTryAgain;
    return n > 0 ? static_cast<long>(n) : 0;
}

}  // namespace

bool WaitReady(std::intptr_t s, bool read, Clock::time_point deadline) {
    const short events = read ? POLLIN : POLLOUT;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            return false;
        pollfd p{static_cast<int>(s), events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

bool ListenOnLoopback(std::intptr_t* s, int* port, std::string* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Errno("socket");
        return false;
    }
    *s = fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        *error = Errno("loopback listener");
        CloseSocket(*s);
        return false;
    }
    *port = ntohs(address.sin_port);
    return true;
}

bool AcceptOne(std::intptr_t listener, std::intptr_t* s, std::string* error) {
    const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        *error = Errno("accept");
        return false;
    }
    *s = fd;
    return true;
}

long SendSome(std::intptr_t s, const char* data, std::size_t size) {
    return Moved(::send(static_cast<int>(s), data, size, MSG_NOSIGNAL | MSG_DONTWAIT));
}

long ReceiveSome(std::intptr_t s, char* buffer, std::size_t size) {
    return Moved(::recv(static_cast<int>(s), buffer, size, MSG_DONTWAIT));
}

void CloseSocket(std::intptr_t& s) {
    if (s >= 0)
        ::close(static_cast<int>(s));
    s = -1;
}

}  // namespace thermpos::platform::loopback
