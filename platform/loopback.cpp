// The loopback line, the part every system shares: sending within a time limit and
// reading lines. The sockets are the system's (loopback_posix.cpp, loopback_win32.cpp).
// See loopback.h.
#include "platform/loopback.h"

#include "platform/loopback_socket.h"

namespace thermpos::platform {

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;

}  // namespace

LoopbackLine::~LoopbackLine() {
    Close();
}

bool LoopbackLine::Listen(std::string* error) {
    Close();
    return loopback::ListenOnLoopback(&listener_, &port_, error);
}

bool LoopbackLine::Accept(std::chrono::milliseconds limit, std::string* error) {
    if (listener_ == -1 || !loopback::WaitReady(listener_, true, loopback::Clock::now() + limit)) {
        *error = "no connection within " + std::to_string(limit.count()) + " ms";
        return false;
    }
    if (!loopback::AcceptOne(listener_, &connection_, error))
        return false;
    loopback::CloseSocket(listener_);
    return true;
}

bool LoopbackLine::Send(std::string_view data, std::chrono::milliseconds limit) {
    const auto deadline = loopback::Clock::now() + limit;
    while (!data.empty()) {
        if (connection_ == -1 || !loopback::WaitReady(connection_, false, deadline))
            return false;
        const long n = loopback::SendSome(connection_, data.data(), data.size());
        if (n == loopback::kTryAgain)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool LoopbackLine::ReadLine(std::string* line, std::chrono::milliseconds limit) {
    const auto deadline = loopback::Clock::now() + limit;
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
            !loopback::WaitReady(connection_, true, deadline))
            return false;
        char buffer[4096];
        const long n = loopback::ReceiveSome(connection_, buffer, sizeof buffer);
        if (n == loopback::kTryAgain)
            continue;
        if (n <= 0)
            return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

void LoopbackLine::Close() {
    loopback::CloseSocket(connection_);
    loopback::CloseSocket(listener_);
    port_ = 0;
    pending_.clear();
}

}  // namespace thermpos::platform
