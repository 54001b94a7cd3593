// Network printer ports, the part every system shares: names and URIs, host-name lookups,
// the connect loop over the addresses found and its wait for each, and the listener's
// bound name. The sockets themselves are the system's (netport_posix.cpp,
// netport_win32.cpp, over the primitives of netport_sockets.h). See netport.h for the
// contract.
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/netport_sockets.h"
#include "platform/portname.h"

namespace thermpos::platform::netport {
namespace {

using detail::Address;
using detail::Clock;

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

void AppendAddresses(const addrinfo* list, std::vector<Address>* out) {
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_socktype != SOCK_STREAM || ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Address a;
        std::memcpy(&a.addr, ai->ai_addr, ai->ai_addrlen);
        a.length = static_cast<socklen_t>(ai->ai_addrlen);
        a.family = ai->ai_family;
        out->push_back(a);
    }
}

// Not a switch: on some systems two of the names share a number.
LONG ResolverError(int gai) {
    if (gai == EAI_NONAME || gai == EAI_FAIL
#ifdef EAI_NODATA
        || gai == EAI_NODATA
#endif
#ifdef EAI_ADDRFAMILY
        || gai == EAI_ADDRFAMILY
#endif
    )
        return ERROR_BAD_NET_NAME;
    if (gai == EAI_AGAIN)
        return ERROR_TIMEOUT;
    if (gai == EAI_MEMORY)
        return ERROR_NOT_ENOUGH_MEMORY;
    return ERROR_GEN_FAILURE;
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

// One connect attempt to one address, bounded by deadline: 0 and the connected socket in
// *fd (TCP_NODELAY and keep-alive on), or a Win32 error with *fd untouched.
LONG ConnectOne(const Address& a, Clock::time_point deadline, int* fd) {
    int s = -1;
    bool pending = false;
    if (LONG rc = detail::StartConnect(a, &s, &pending); rc != ERROR_SUCCESS)
        return rc;
    while (pending) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            CloseSocket(s);
            return ERROR_TIMEOUT;
        }
        bool connected = false;
        const LONG rc = detail::WaitConnect(
            s, static_cast<int>(std::min<long long>(left.count(), 60'000)), &connected);
        if (rc != ERROR_SUCCESS) {
            CloseSocket(s);
            return rc;
        }
        pending = !connected;
    }
    detail::SetStreamOptions(s);
    *fd = s;
    return ERROR_SUCCESS;
}

// The address a listener takes: the endpoint's host must be an address literal.
// ERROR_BAD_PATHNAME when it is not, or the error of starting the socket library.
LONG ListenAddress(const Endpoint& e, sockaddr_storage* ss, socklen_t* len) {
    if (LONG rc = detail::StartSockets(); rc != ERROR_SUCCESS)
        return rc;
    return detail::ToSockaddr(e, ss, len) ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
}

}  // namespace

namespace detail {

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

}  // namespace detail

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
    sockaddr_storage ss;
    socklen_t len;
    if (LONG rc = ListenAddress(e, &ss, &len); rc != ERROR_SUCCESS)
        return rc;
    *out = std::move(e);
    return ERROR_SUCCESS;
}

LONG Listen(const Endpoint& endpoint, int backlog, int* fd, std::string* bound) {
    if (!fd)
        return ERROR_INVALID_PARAMETER;
    *fd = -1;
    sockaddr_storage ss;
    socklen_t len;
    if (LONG rc = ListenAddress(endpoint, &ss, &len); rc != ERROR_SUCCESS)
        return rc;
    int s = -1;
    if (LONG rc = detail::ListenOn(&ss, &len, backlog, &s); rc != ERROR_SUCCESS)
        return rc;
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

LONG Connect(const Endpoint& endpoint, DWORD timeoutMs, int* fd) {
    if (!fd)
        return ERROR_INVALID_PARAMETER;
    *fd = -1;
    if (!ValidHost(endpoint.host, true) || endpoint.port == 0)
        return ERROR_BAD_PATHNAME;
    if (LONG rc = detail::StartSockets(); rc != ERROR_SUCCESS)
        return rc;
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

}  // namespace thermpos::platform::netport
