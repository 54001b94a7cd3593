// What the network port files share (netport.cpp: names, lookups and the connect loop
// with its wait; netport_posix.cpp and netport_win32.cpp: the system's sockets). Private
// to them.
//
// Threads: see netport.cpp for the lookup thread and its locks; nothing here holds a lock.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <chrono>
#include <vector>

#include "platform/netport.h"

namespace thermpos::platform::netport::detail {

using Clock = std::chrono::steady_clock;

// Keep-alive finds a printer that vanished without a word (power cut, cable pulled)
// within about half a minute of silence, instead of the system's two hours.
inline constexpr int kKeepIdleSeconds = 10;
inline constexpr int kKeepIntervalSeconds = 5;
inline constexpr int kKeepCount = 3;

struct Address {
    sockaddr_storage addr{};
    socklen_t length = 0;
    int family = AF_UNSPEC;
};

// An address literal of the family it names, with the port.
bool ToSockaddr(const Endpoint& e, sockaddr_storage* ss, socklen_t* len);

// ---- what each system's file gives ----

// Makes the socket library ready for this process (once; later calls answer at once).
[[nodiscard]] LONG StartSockets();
// Starts a connect to one address on a new non-blocking, close-on-exec socket: 0 with the
// socket in *s and *pending true when the connection is still being made, or a Win32
// error with *s untouched (no socket left open).
[[nodiscard]] LONG StartConnect(const Address& a, int* s, bool* pending);
// Waits at most ms (1..60000) for a connect under way: 0 with *connected true once it
// connected, 0 with *connected false when it is still under way (also when the wait was
// interrupted), or the Win32 error it failed with. The socket stays open either way.
[[nodiscard]] LONG WaitConnect(int s, int ms, bool* connected);
// TCP_NODELAY and keep-alive (kKeep*) on a connected socket.
void SetStreamOptions(int s);
// A non-blocking, close-on-exec socket listening on *ss (of *len bytes) with a queue of
// `backlog`: 0 with the socket in *s and *ss, *len the address actually bound, or a Win32
// error with *s untouched.
[[nodiscard]] LONG ListenOn(sockaddr_storage* ss, socklen_t* len, int backlog, int* s);

}  // namespace thermpos::platform::netport::detail
