// The loopback line's sockets over Winsock. See loopback.h and loopback_socket.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "platform/loopback_socket.h"

namespace thermpos::platform::loopback {

namespace {

SOCKET AsSocket(std::intptr_t s) {
    return static_cast<SOCKET>(s);
}

// Winsock for the life of the process, started on first use.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string SocketError(const char* what) {
    return std::string(what) + ": error " + std::to_string(::WSAGetLastError());
}

// A send or receive's result as loopback_socket.h gives it.
long Moved(int n) {
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK)
        return kTryAgain;
    return n > 0 ? n : 0;
}

}  // namespace

bool WaitReady(std::intptr_t s, bool read, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() < 0)
        return false;
    WSAPOLLFD p{AsSocket(s), static_cast<SHORT>(read ? POLLRDNORM : POLLWRNORM), 0};
    return ::WSAPoll(&p, 1, static_cast<INT>(left.count())) > 0;
}

bool ListenOnLoopback(std::intptr_t* listener, int* port, std::string* error) {
    if (!StartWinsock()) {
        *error = "Winsock did not start";
        return false;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = SocketError("socket");
        return false;
    }
    *listener = static_cast<std::intptr_t>(s);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s, 1) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        *error = SocketError("loopback listener");
        CloseSocket(*listener);
        return false;
    }
    *port = ntohs(address.sin_port);
    return true;
}

bool AcceptOne(std::intptr_t listener, std::intptr_t* connection, std::string* error) {
    const SOCKET s = ::accept(AsSocket(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        *error = SocketError("accept");
        return false;
    }
    *connection = static_cast<std::intptr_t>(s);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    return true;
}

long SendSome(std::intptr_t s, const char* data, std::size_t size) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1u << 16));
    return Moved(::send(AsSocket(s), data, chunk, 0));
}

long ReceiveSome(std::intptr_t s, char* buffer, std::size_t size) {
    return Moved(::recv(AsSocket(s), buffer, static_cast<int>(size), 0));
}

void CloseSocket(std::intptr_t& s) {
    if (s != -1)
        ::closesocket(AsSocket(s));
    s = -1;
}

}  // namespace thermpos::platform::loopback
