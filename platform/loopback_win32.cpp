// The loopback line over Winsock. See loopback.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "platform/loopback.h"

namespace thermpos::platform {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

SOCKET AsSocket(std::intptr_t s) {
    return static_cast<SOCKET>(s);
}

void CloseSocket(std::intptr_t& s) {
    if (s != -1)
        ::closesocket(AsSocket(s));
    s = -1;
}

// Winsock for the life of the process, started on first use.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

// Waits until s is readable (read) or writable, or the deadline passes.
bool WaitReady(std::intptr_t s, bool read, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() < 0)
        return false;
    WSAPOLLFD p{AsSocket(s), static_cast<SHORT>(read ? POLLRDNORM : POLLWRNORM), 0};
    return ::WSAPoll(&p, 1, static_cast<INT>(left.count())) > 0;
}

std::string SocketError(const char* what) {
    return std::string(what) + ": error " + std::to_string(::WSAGetLastError());
}

}  // namespace

LoopbackLine::~LoopbackLine() {
    Close();
}

bool LoopbackLine::Listen(std::string* error) {
    Close();
    if (!StartWinsock()) {
        *error = "Winsock did not start";
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = SocketError("socket");
        return false;
    }
    listener_ = static_cast<std::intptr_t>(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, 1) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        *error = SocketError("loopback listener");
        CloseSocket(listener_);
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

bool LoopbackLine::Accept(std::chrono::milliseconds limit, std::string* error) {
    if (listener_ == -1 || !WaitReady(listener_, true, std::chrono::steady_clock::now() + limit)) {
        *error = "no connection within " + std::to_string(limit.count()) + " ms";
        return false;
    }
    const SOCKET s = ::accept(AsSocket(listener_), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        *error = SocketError("accept");
        return false;
    }
    connection_ = static_cast<std::intptr_t>(s);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    CloseSocket(listener_);
    return true;
}

bool LoopbackLine::Send(std::string_view data, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!data.empty()) {
        if (connection_ == -1 || !WaitReady(connection_, false, deadline))
            return false;
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1u << 16));
        const int n = ::send(AsSocket(connection_), data.data(), chunk, 0);
        if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK)
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
        if (connection_ == -1 || pending_.size() > kMaxLine ||
            !WaitReady(connection_, true, deadline))
            return false;
        char buffer[4096];
        const int n = ::recv(AsSocket(connection_), buffer, sizeof buffer, 0);
        if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK)
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
