// The virtual printer program's control socket and signal handling: the only socket and
// signal code of the virtual printer.
//
// Threads: none of its own; everything runs on the thread calling Serve (see transport.h).
#include "vprinter/transport.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace thermpos::vprinter {

namespace {

constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kMaxLine = 4096;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool SocketAddress(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

void SendAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // A client that does not read its answers waits for nobody else for long.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0)
                continue;
        }
        return;
    }
}

}  // namespace

ControlServer::~ControlServer() {
    Close();
    if (signalFd_ >= 0)
        ::close(signalFd_);
}

bool ControlServer::TakeOverSignals(std::string* error) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signalFd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ < 0) {
        *error = Errno("signalfd");
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool ControlServer::Listen(const std::string& path, std::string* error) {
    sockaddr_un address;
    if (!SocketAddress(path, &address)) {
        *error = "control socket path too long";
        return false;
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket";
            return false;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 8) != 0) {
        *error = Errno(path);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    listenFd_ = fd;
    path_ = path;
    return true;
}

bool ControlServer::ServeClient(const Answer& answer, Client& client, bool* quit) {
    char buffer[1024];
    const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    client.input.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, newline);
        client.input.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool stop = false;
        SendAll(client.fd, answer(line, &stop) + "\n");
        if (stop) {
            *quit = true;
            return false;
        }
    }
    if (client.input.size() > kMaxLine) {
        SendAll(client.fd, "error line too long\n");
        return false;
    }
    return true;
}

bool ControlServer::Serve(const Answer& answer, std::string* error) {
    bool quit = false;
    while (!quit) {
        std::vector<pollfd> fds;
        fds.push_back({signalFd_, static_cast<short>(signalFd_ >= 0 ? POLLIN : 0), 0});
        fds.push_back({listenFd_, static_cast<short>(listenFd_ >= 0 ? POLLIN : 0), 0});
        for (const Client& c : clients_)
            fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            *error = Errno("poll");
            return false;
        }
        if (fds[0].revents & POLLIN)
            return true;  // SIGINT, SIGTERM or SIGHUP: shut down cleanly
        // Clients first, by their slots in fds; connections accepted below join the next
        // round.
        std::vector<Client> kept;
        for (std::size_t i = 0; i < clients_.size(); ++i) {
            const short revents = fds[2 + i].revents;
            bool keep = true;
            if (!quit && (revents & (POLLIN | POLLHUP | POLLERR)))
                keep = ServeClient(answer, clients_[i], &quit);
            if (keep)
                kept.push_back(std::move(clients_[i]));
            else
                ::close(clients_[i].fd);
        }
        clients_ = std::move(kept);
        if (!quit && (fds[1].revents & POLLIN)) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                if (clients_.size() >= kMaxClients) {
                    SendAll(fd, "error too many control connections\n");
                    ::close(fd);
                } else {
                    clients_.push_back({fd, {}});
                }
            }
        }
    }
    return true;
}

void ControlServer::Close() {
    for (const Client& c : clients_)
        ::close(c.fd);
    clients_.clear();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(path_.c_str());
    }
    listenFd_ = -1;
}

int ConnectControl(const std::string& path) {
    sockaddr_un address;
    if (!SocketAddress(path, &address)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace thermpos::vprinter
