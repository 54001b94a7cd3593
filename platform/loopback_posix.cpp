// The loopback line over POSIX sockets. See loopback.h.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/loopback.h"

namespace thermpos::platform {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

void CloseSocket(std::intptr_t& fd) {
    if (fd >= 0)
        ::close(static_cast<int>(fd));
    fd = -1;
}

// Waits until fd is ready for `events` or the deadline passes.
bool WaitReady(std::intptr_t fd, short events, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        pollfd p{static_cast<int>(fd), events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

LoopbackLine::~LoopbackLine() {
    Close();
}

bool LoopbackLine::Listen(std::string* error) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = Errno("socket");
        return false;
    }
    listener_ = fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        *error = Errno("loopback listener");
        CloseSocket(listener_);
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

bool LoopbackLine::Accept(std::chrono::milliseconds limit, std::string* error) {
    if (listener_ < 0 || !WaitReady(listener_, POLLIN, std::chrono::steady_clock::now() + limit)) {
        *error = "no connection within " + std::to_string(limit.count()) + " ms";
        return false;
    }
    const int fd = ::accept4(static_cast<int>(listener_), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        *error = Errno("accept");
        return false;
    }
    connection_ = fd;
    CloseSocket(listener_);
    return true;
}

bool LoopbackLine::Send(std::string_view data, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!data.empty()) {
        if (connection_ < 0 || !WaitReady(connection_, POLLOUT, deadline))
            return false;
        const ssize_t n = ::send(static_cast<int>(connection_), data.data(), data.size(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool LoopbackLine::ReadLine(std::string* line, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            *line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        if (connection_ < 0 || pending_.size() > kMaxLine ||
            !WaitReady(connection_, POLLIN, deadline))
            return false;
        char buffer[4096];
        const ssize_t n =
            ::recv(static_cast<int>(connection_), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

void LoopbackLine::Close() {
    CloseSocket(connection_);
    CloseSocket(listener_);
    port_ = 0;
    pending_.clear();
}

}  // namespace thermpos::platform
