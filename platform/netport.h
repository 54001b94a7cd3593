// Network printer ports: raw TCP to a printer's print server port (9100 unless told
// otherwise), the way shops wire most receipt printers today.
//
// Two ways to name one:
//  - a Ports map value "socket://HOST[:PORT]" under any port name ("COM9", "NET1"...);
//    an IPv6 literal goes in brackets ("socket://[::1]:9100");
//  - a port name "IP_<host>" ("IP_192.168.1.50"), which needs no map entry and always
//    reaches port 9100. A map entry of that name wins over it.
// Hosts are names or address literals of at most 253 characters from letters, digits,
// '.', '-' and '_' (and ':' inside brackets); anything else is refused before a lookup.
//
// Errors are Win32 numbers: a malformed URI or host ERROR_BAD_PATHNAME (161), an unknown
// host ERROR_BAD_NET_NAME (67), no answer within the time-out ERROR_TIMEOUT (1460), a
// refused connection ERROR_CONNECTION_REFUSED (1225), unreachable network or host 1231 or
// 1232, else the device-file layer's errno table.
//
// Sockets are ints on every system: a descriptor, or on Windows the SOCKET's value (the
// system keeps kernel handles within 32 bits, so the value fits).
//
// Thread safety: every function may be called from any thread. Connect may leave a host
// name lookup running on a helper thread after it gave up on it, at most one per host and
// port: a later Connect to the same waits for that lookup instead of starting another
// (see netport.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/win32.h"

struct addrinfo;

namespace thermpos::platform::netport {

inline constexpr unsigned short kDefaultPort = 9100;
inline constexpr std::size_t kMaxHostLength = 253;
inline constexpr std::string_view kScheme = "socket://";
inline constexpr std::string_view kIpPrefix = "IP_";
// The connect time when the port has no write time-out of its own.
inline constexpr DWORD kDefaultConnectMs = 3000;

#ifndef _WIN32  // winerror.h has them
inline constexpr LONG ERROR_BAD_NET_NAME = 67;
inline constexpr LONG ERROR_CONNECTION_REFUSED = 1225;
inline constexpr LONG ERROR_NETWORK_UNREACHABLE = 1231;
inline constexpr LONG ERROR_HOST_UNREACHABLE = 1232;
#endif

struct Endpoint {
    std::string host;  // without brackets
    unsigned short port = kDefaultPort;
};

// True when text begins with "socket://" (any case): a network map value, well formed
// or not.
bool IsSocketUri(std::string_view text);

// 0, or ERROR_BAD_PATHNAME for a URI without a host, with a port that is not 1..65535 in
// digits, a host that is too long or holds a character not allowed, or anything after
// the port.
[[nodiscard]] LONG ParseSocketUri(std::string_view uri, Endpoint* out);

// True when the map name is an "IP_" name (any case).
bool IsIpName(std::string_view mapName);
// The URI an unmapped "IP_<host>" stands for; ERROR_BAD_PATHNAME when the host is empty
// or not allowed.
[[nodiscard]] LONG UriForIpName(std::string_view mapName, std::string* uri);

// Resolves the host (within the time-out) and connects to the first address that
// answers, all within timeoutMs. On success *fd is a connected, non-blocking, close-on-exec
// stream socket with TCP_NODELAY and keep-alive on; on failure *fd is -1.
[[nodiscard]] LONG Connect(const Endpoint& endpoint, DWORD timeoutMs, int* fd);

// Win32 number for an error met on a connected socket (an errno value; on Windows a
// Winsock one): a reset, a closed or timed out connection are the device vanishing
// (ERROR_INVALID_HANDLE), so that the owner reconnects.
[[nodiscard]] LONG SocketError(int err);
// Closes a socket from Connect, Listen or AcceptClient (-1: nothing).
void CloseSocket(int fd);

// ---- the resolver, for tests ----

// getaddrinfo's signature and results: what Connect's lookup thread calls for a host name.
using LookupFunction = int (*)(const char* host, const char* service, const addrinfo* hints,
                               addrinfo** result);
// Replaces the system resolver for the lookups started from now on (null: the system's
// again), so that a test can stand in a resolver that never answers. A result it gives is
// freed with freeaddrinfo.
void SetLookupForTesting(LookupFunction lookup);
// Host-name lookups started and not yet answered.
[[nodiscard]] std::size_t LookupsInFlight();

// ---- the printer's side, for the virtual printer ----

// Parses "HOST:PORT" ("127.0.0.1:9100", "[::1]:0"; port 0 asks for a free one): the host
// must be an address literal. ERROR_BAD_PATHNAME when it is not.
[[nodiscard]] LONG ParseListenAddress(std::string_view text, Endpoint* out);
// A non-blocking, close-on-exec listening socket on the endpoint (SO_REUSEADDR, so that
// the same port can be taken again right after it was closed), with a queue of `backlog`.
// *bound receives "HOST:PORT" with the port actually bound. On failure *fd is -1.
[[nodiscard]] LONG Listen(const Endpoint& endpoint, int backlog, int* fd, std::string* bound);
// Accepts one waiting connection: a non-blocking, close-on-exec socket with TCP_NODELAY,
// or -1 when none is waiting.
[[nodiscard]] int AcceptClient(int listenFd);
// One send that never raises SIGPIPE; the result as send(2) gives it (on failure the
// error is errno, on Windows WSAGetLastError()).
long SendSome(int fd, const void* data, std::size_t size);
// Ends a served connection in two steps, as a printer losing its cable would: from now on
// nothing more is acknowledged (data still arriving resets the connection, so the host
// knows it was not taken), while what was acknowledged already can still be read.
void StopReceiving(int fd);

}  // namespace thermpos::platform::netport
