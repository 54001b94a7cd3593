// Network printer ports. See netport.h for the contract.
//
// Threads: a host name that is not an address literal is looked up on a helper thread,
// because the system resolver has no time limit of its own. The caller waits for it on a
// condition variable up to its time-out; if the time passes first the caller goes on and
// the helper finishes on its own, touching nothing but the lookup state both share
// (shared_ptr) and the table of lookups in flight, and frees its result. One lookup per
// host and port is in flight at a time: a later attempt waits for the one under way (up
// to its own time-out) instead of starting another. Locks: the table's (LookupTable::lock)
// and a lookup's (Lookup::lock), each held briefly, never both at once.
#include "platform/netport.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/devfile.h"
#include "platform/portname.h"

namespace thermpos::platform::netport {
namespace {

using Clock = std::chrono::steady_clock;

// Keep-alive finds a printer that vanished without a word (power cut, cable pulled)
// within about half a minute of silence, instead of the system's two hours.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 3;

bool HostCharAllowed(char c, bool bracketed) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || (bracketed && c == ':');
}

bool ValidHost(std::string_view host, bool bracketed) {
    if (host.empty() || host.size() > kMaxHostLength)
        return false;
    for (char c : host)
        if (!HostCharAllowed(c, bracketed))
            return false;
    return true;
}

#ifndef _WIN32
struct Address {
    sockaddr_storage addr{};
    socklen_t length = 0;
    int family = AF_UNSPEC;
};

void AppendAddresses(const addrinfo* list, std::vector<Address>* out) {
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_socktype != SOCK_STREAM || ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address a;
        std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        a.family = ai->ai_family;
        out->push_back(a);
    }
}

LONG ResolverError(int gai) {
    switch (gai) {
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_FAIL:
        case EAI_ADDRFAMILY:
            return ERROR_BAD_NET_NAME;
        case EAI_AGAIN:
            return ERROR_TIMEOUT;
        case EAI_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;           // guarded by lock
    int result = 0;                  // guarded by lock
    std::vector<Address> addresses;  // guarded by lock
};

// The lookups in flight, one per host and port: a printer that stays away is asked for
// again at every reconnect, and a resolver that never answers would otherwise gain a
// thread each time. Never destroyed: a lookup thread may outlive main().
struct LookupTable {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<Lookup>> inFlight;  // guarded by lock
};

LookupTable& Lookups() {
    static auto* table = new LookupTable;
    return *table;
}

std::atomic<LookupFunction> g_lookup{nullptr};

// The lookup of host:service in flight, started now when there is none. Null with *rc set
// when no thread can be started.
std::shared_ptr<Lookup> JoinOrStartLookup(const std::string& host, const std::string& service,
                                          addrinfo hints, LONG* rc) {
    LookupTable& table = Lookups();
    const std::string key = host + " " + service;
    std::lock_guard guard(table.lock);
    if (auto it = table.inFlight.find(key); it != table.inFlight.end())
        return it->second;
    auto lookup = std::make_shared<Lookup>();
    // Entered before the thread starts, so that its removal cannot come first; the table
    // lock held here makes it wait.
    table.inFlight.emplace(key, lookup);
    const LookupFunction resolve = g_lookup.load();
    try {
        std::thread([lookup, key, host, service, hints, resolve] {
            addrinfo* found = nullptr;
            const int result = resolve
                                   ? resolve(host.c_str(), service.c_str(), &hints, &found)
                                   : ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
            std::vector<Address> addresses;
            if (result == 0 && found) {
                AppendAddresses(found, &addresses);
                ::freeaddrinfo(found);
            }
            {
                // Out of the table before the waiters hear: an attempt after this one
                // asks again.
                LookupTable& t = Lookups();
                std::lock_guard tableGuard(t.lock);
                auto it = t.inFlight.find(key);
                if (it != t.inFlight.end() && it->second == lookup)
                    t.inFlight.erase(it);
            }
            std::lock_guard lookupGuard(lookup->lock);
            lookup->result = result;
            lookup->addresses = std::move(addresses);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        table.inFlight.erase(key);
        *rc = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    return lookup;
}

LONG Resolve(const Endpoint& endpoint, Clock::time_point deadline, std::vector<Address>* out) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    const std::string service = std::to_string(endpoint.port);
    addrinfo* list = nullptr;
    // An address literal needs no resolver and cannot block.
    if (::getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &list) == 0) {
        AppendAddresses(list, out);
        ::freeaddrinfo(list);
        return out->empty() ? ERROR_BAD_NET_NAME : ERROR_SUCCESS;
    }

    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    LONG rc = ERROR_SUCCESS;
    const std::shared_ptr<Lookup> lookup = JoinOrStartLookup(endpoint.host, service, hints, &rc);
    if (!lookup)
        return rc;
    std::unique_lock guard(lookup->lock);
    if (!lookup->done.wait_until(guard, deadline, [&] { return lookup->finished; }))
        return ERROR_TIMEOUT;
    if (lookup->result != 0)
        return ResolverError(lookup->result);
    *out = lookup->addresses;  // a copy: other attempts may share the lookup
    return out->empty() ? ERROR_BAD_NET_NAME : ERROR_SUCCESS;
}

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

// One connect attempt, bounded by deadline: 0 and the socket, or a Win32 error.
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

// An address literal of the family it names, with the port.
bool ToSockaddr(const Endpoint& e, sockaddr_storage* ss, socklen_t* len) {
    *ss = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(ss);
    if (::inet_pton(AF_INET, e.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(e.port);
        *len = sizeof *v4;
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(ss);
    if (::inet_pton(AF_INET6, e.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(e.port);
        *len = sizeof *v6;
        return true;
    }
    return false;
}

#endif  // _WIN32

}  // namespace

LONG ParseListenAddress(std::string_view text, Endpoint* out) {
    if (!out)
        return ERROR_INVALID_PARAMETER;
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == text.size() || text.size() - colon > 6)
        return ERROR_BAD_PATHNAME;
    std::string_view host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned long port = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return ERROR_BAD_PATHNAME;
        port = port * 10 + static_cast<unsigned long>(c - '0');
    }
    if (port > 65535)
        return ERROR_BAD_PATHNAME;
    Endpoint e{std::string(host), static_cast<unsigned short>(port)};
#ifndef _WIN32
    sockaddr_storage ss;
    socklen_t len;
    if (!ToSockaddr(e, &ss, &len))
        return ERROR_BAD_PATHNAME;
#endif
    *out = std::move(e);
    return ERROR_SUCCESS;
}

#ifndef _WIN32
LONG Listen(const Endpoint& endpoint, int backlog, int* fd, std::string* bound) {
    if (!fd)
        return ERROR_INVALID_PARAMETER;
    *fd = -1;
    sockaddr_storage ss;
    socklen_t len;
    if (!ToSockaddr(endpoint, &ss, &len))
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
#else
LONG Listen(const Endpoint&, int, int* fd, std::string*) {
    if (fd)
        *fd = -1;
    return ERROR_NOT_SUPPORTED;
}

int AcceptClient(int) {
    return -1;
}

long SendSome(int, const void*, std::size_t) {
    return -1;
}
#endif  // _WIN32

bool IsSocketUri(std::string_view text) {
    return portname::StartsWithNoCase(text, kScheme);
}

LONG ParseSocketUri(std::string_view uri, Endpoint* out) {
    if (!out || !IsSocketUri(uri))
        return ERROR_BAD_PATHNAME;
    std::string_view rest = uri.substr(kScheme.size());
    // A trailing slash is how some tools write the same URI.
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view host;
    std::string_view port;
    bool bracketed = false;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            return ERROR_BAD_PATHNAME;
        host = rest.substr(1, close - 1);
        bracketed = true;
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return ERROR_BAD_PATHNAME;
        if (!rest.empty())
            port = rest.substr(1);
        if (rest.size() == 1)
            return ERROR_BAD_PATHNAME;
    } else {
        const auto colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = rest.substr(colon + 1);
            if (port.empty())
                return ERROR_BAD_PATHNAME;
        }
    }
    if (!ValidHost(host, bracketed))
        return ERROR_BAD_PATHNAME;
    unsigned long number = kDefaultPort;
    if (!port.empty()) {
        if (port.size() > 5)
            return ERROR_BAD_PATHNAME;
        number = 0;
        for (char c : port) {
            if (c < '0' || c > '9')
                return ERROR_BAD_PATHNAME;
            number = number * 10 + static_cast<unsigned long>(c - '0');
        }
        if (number < 1 || number > 65535)
            return ERROR_BAD_PATHNAME;
    }
    out->host = std::string(host);
    out->port = static_cast<unsigned short>(number);
    return ERROR_SUCCESS;
}

bool IsIpName(std::string_view mapName) {
    return portname::StartsWithNoCase(mapName, kIpPrefix);
}

LONG UriForIpName(std::string_view mapName, std::string* uri) {
    if (!uri || !IsIpName(mapName))
        return ERROR_BAD_PATHNAME;
    std::string_view host = mapName.substr(kIpPrefix.size());
    if (!ValidHost(host, false))
        return ERROR_BAD_PATHNAME;
    *uri = std::string(kScheme) + std::string(host);
    return ERROR_SUCCESS;
}

#ifndef _WIN32
LONG Connect(const Endpoint& endpoint, DWORD timeoutMs, int* fd) {
    if (!fd)
        return ERROR_INVALID_PARAMETER;
    *fd = -1;
    if (!ValidHost(endpoint.host, true) || endpoint.port == 0)
        return ERROR_BAD_PATHNAME;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Address> addresses;
    if (LONG rc = Resolve(endpoint, deadline, &addresses); rc != ERROR_SUCCESS)
        return rc;
    LONG rc = ERROR_BAD_NET_NAME;
    for (const Address& a : addresses) {
        rc = ConnectOne(a, deadline, fd);
        if (rc == ERROR_SUCCESS || rc == ERROR_TIMEOUT)
            return rc;
    }
    return rc;
}

void SetLookupForTesting(LookupFunction lookup) {
    g_lookup.store(lookup);
}

std::size_t LookupsInFlight() {
    LookupTable& table = Lookups();
    std::lock_guard guard(table.lock);
    return table.inFlight.size();
}

void StopReceiving(int fd) {
    // With both directions shut, data that arrives is answered with a reset instead of
    // being queued and acknowledged; the receive queue stays readable.
    (void)::shutdown(fd, SHUT_RDWR);
}
#else
LONG Connect(const Endpoint&, DWORD, int* fd) {
    if (fd)
        *fd = -1;
    return ERROR_NOT_SUPPORTED;  // Winsock ports are not built yet
}

void SetLookupForTesting(LookupFunction) {}

std::size_t LookupsInFlight() {
    return 0;
}

void StopReceiving(int) {}
#endif  // _WIN32

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
