// Loopback TCP peers for the network port tests. Only 127.0.0.1 and ::1 are ever used.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace thermpos::testing {

// A listening socket on a free loopback port.
class LoopbackListener {
  public:
    // receiveBuffer > 0 shrinks what accepted connections buffer, so that a peer that does
    // not read stalls the writer soon.
    explicit LoopbackListener(int backlog = 4, bool ipv6 = false, int receiveBuffer = 0) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            return;
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (receiveBuffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_storage ss{};
        socklen_t len;
        if (ipv6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
            ::listen(fd_, backlog) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
            Close();
            return;
        }
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    }
    ~LoopbackListener() { Close(); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    bool ok() const { return fd_ >= 0; }
    unsigned short port() const { return port_; }
    int fd() const { return fd_; }  // readable while a connection waits to be accepted
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    // The next connection, or -1 when none came within timeoutMs.
    int Accept(int timeoutMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

// Fills the accept queue of a listener that never accepts (backlog 0), so that the next
// connection to it gets no answer: a connect time-out without leaving the machine.
// Returns the connections that filled it; the caller closes them.
inline std::vector<int> FillAcceptQueue(unsigned short port) {
    std::vector<int> fillers;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    for (int i = 0; i < 16; ++i) {
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s < 0)
            break;
        fillers.push_back(s);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            continue;
        pollfd p{s, POLLOUT, 0};
        // A connection the queue no longer takes gets no answer: the queue is full.
        if (::poll(&p, 1, 300) == 0)
            break;
    }
    return fillers;
}

// Reads until n bytes came, the peer closed, or timeoutMs passed without a byte.
inline std::string ReceiveFrom(int fd, std::size_t n, int timeoutMs = 5000) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
            break;
        ssize_t got = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

// A blocking connection to "127.0.0.1:PORT" (an IPv4 loopback address only), or -1.
inline int ConnectLoopback(const std::string& address) {
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || address.compare(0, colon, "127.0.0.1") != 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<unsigned short>(std::stoi(address.substr(colon + 1))));
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        s = -1;
    }
    return s;
}

inline std::string SocketUri(unsigned short port, const std::string& host = "127.0.0.1") {
    return "socket://" + host + ":" + std::to_string(port);
}

}  // namespace thermpos::testing
