// What the network port files share (netport.cpp: names, lookups and the connect loop;
// netport_posix.cpp and netport_win32.cpp: the system's sockets). Private to them.
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
// One connect attempt to one address, bounded by deadline: 0 and the connected socket in
// *fd (TCP_NODELAY and keep-alive on), or a Win32 error with *fd untouched.
[[nodiscard]] LONG ConnectOne(const Address& a, Clock::time_point deadline, int* fd);

}  // namespace thermpos::platform::netport::detail
