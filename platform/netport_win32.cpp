// Network printer ports over Winsock: connecting, the options of a printer's connection,
// and the printer's side (the tests' listener). See netport.h.
//
// A SOCKET travels in the int of the portable interface: the system keeps kernel handle
// values within 32 bits, so the value fits and comes back unchanged.
//
// Threads: none started here (the lookup thread is netport.cpp's); no locks but the one
// behind the first use of Winsock (std::call_once).
#include <algorithm>
#include <mutex>

#include "platform/netport_sockets.h"

// After the socket headers, whose types it uses.
#include <mstcpip.h>

namespace thermpos::platform::netport {
namespace {

SOCKET ToSocket(int fd) {
    return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned>(fd));
}

int FromSocket(SOCKET s) {
    return static_cast<int>(static_cast<unsigned>(s));
}

// Win32 number for a Winsock error met before or outside a connection.
LONG WinsockError(int err) {
    switch (err) {
        case WSAECONNREFUSED:
            return ERROR_CONNECTION_REFUSED;
        case WSAENETUNREACH:
        case WSAENETDOWN:
            return ERROR_NETWORK_UNREACHABLE;
        case WSAEHOSTUNREACH:
            return ERROR_HOST_UNREACHABLE;
        case WSAETIMEDOUT:
            return ERROR_TIMEOUT;
        case WSAEADDRINUSE:
            return ERROR_BUSY;
        case WSAENOBUFS:
        case WSA_NOT_ENOUGH_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case WSAEACCES:
            return ERROR_ACCESS_DENIED;
        case WSAEADDRNOTAVAIL:
        case WSAEAFNOSUPPORT:
            return ERROR_BAD_NET_NAME;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// A socket for overlapped transfers that a program this one starts does not inherit.
SOCKET NewSocket(int family) {
    SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s == INVALID_SOCKET)
        return s;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    return s;
}

}  // namespace

namespace detail {

LONG StartSockets() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    return result == 0 ? ERROR_SUCCESS : WinsockError(result);
}

LONG StartConnect(const Address& a, int* fd, bool* pending) {
    const SOCKET s = NewSocket(a.family);
    if (s == INVALID_SOCKET)
        return WinsockError(::WSAGetLastError());
    *pending = false;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a.addr), a.length) != 0) {
        const int started = ::WSAGetLastError();
        if (started != WSAEWOULDBLOCK && started != WSAEINPROGRESS) {
            ::closesocket(s);
            return WinsockError(started);
        }
        *pending = true;
    }
    *fd = FromSocket(s);
    return ERROR_SUCCESS;
}

LONG WaitConnect(int fd, int ms, bool* connected) {
    *connected = false;
    const SOCKET s = ToSocket(fd);
    // A failed connect is reported as an exception, not as writability.
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    const int n = ::select(0, nullptr, &writable, &failed, &tv);
    if (n < 0)
        return WinsockError(::WSAGetLastError());
    if (n == 0)
        return ERROR_SUCCESS;
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
        err = ::WSAGetLastError();
    if (err != 0)
        return WinsockError(err);
    *connected = true;
    return ERROR_SUCCESS;
}

void SetStreamOptions(int fd) {
    const SOCKET s = ToSocket(fd);
    BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive keep{};
    keep.onoff = 1;
    keep.keepalivetime = kKeepIdleSeconds * 1000;
    keep.keepaliveinterval = kKeepIntervalSeconds * 1000;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
#ifdef TCP_KEEPCNT  // older systems probe ten times, which they do not let us change
    DWORD count = kKeepCount;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
#endif
}

LONG ListenOn(sockaddr_storage* ss, socklen_t* len, int backlog, int* fd) {
    // No SO_REUSEADDR: on Windows it would let a second listener share the port instead
    // of refusing it, and a port whose last connection is closing can be bound anyway.
    const SOCKET s = NewSocket(ss->ss_family);
    if (s == INVALID_SOCKET)
        return WinsockError(::WSAGetLastError());
    if (::bind(s, reinterpret_cast<sockaddr*>(ss), *len) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(ss), len) != 0) {
        const int err = ::WSAGetLastError();
        ::closesocket(s);
        return WinsockError(err);
    }
    *fd = FromSocket(s);
    return ERROR_SUCCESS;
}

}  // namespace detail

int AcceptClient(int listenFd) {
    SOCKET c = ::accept(ToSocket(listenFd), nullptr, nullptr);
    if (c == INVALID_SOCKET)
        return -1;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    ::ioctlsocket(c, FIONBIO, &nonBlocking);
    BOOL on = TRUE;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return FromSocket(c);
}

long SendSome(int fd, const void* data, std::size_t size) {
    const int chunk = static_cast<int>(std::min<std::size_t>(size, 1u << 30));
    return ::send(ToSocket(fd), static_cast<const char*>(data), chunk, 0);
}

void StopReceiving(int fd) {
    (void)::shutdown(ToSocket(fd), SD_BOTH);
}

void CloseSocket(int fd) {
    if (fd >= 0)
        ::closesocket(ToSocket(fd));
}

LONG SocketError(int err) {
    switch (err) {
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENETRESET:
        case WSAENOTCONN:
        case WSAESHUTDOWN:
        case WSAETIMEDOUT:  // keep-alive gave up on the peer
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
        case WSAENETDOWN:
        case WSAENOTSOCK:
        // The same, as overlapped results give them, and a connection reset here.
        case ERROR_INVALID_HANDLE:
        case ERROR_NETNAME_DELETED:
        case ERROR_CONNECTION_ABORTED:
        case ERROR_GRACEFUL_DISCONNECT:
            return ERROR_INVALID_HANDLE;
        default:
            return WinsockError(err);
    }
}

}  // namespace thermpos::platform::netport
