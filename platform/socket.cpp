// Stream sockets. See socket.h.
#include "platform/socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/descriptor.h"

namespace thermpos::platform {

namespace {

bool LocalAddress(const std::string& path, sockaddr_un* address) {
    *address = {};
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

StreamResult Moved(ssize_t n, std::size_t* count) {
    if (n > 0) {
        *count = static_cast<std::size_t>(n);
        return StreamResult::Done;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return StreamResult::WouldBlock;
    return StreamResult::Closed;
}

}  // namespace

StreamResult Receive(int fd, void* buffer, std::size_t size, std::size_t* count) {
    *count = 0;
    if (size == 0)
        return StreamResult::WouldBlock;
    return Moved(::recv(fd, buffer, size, 0), count);
}

StreamResult Send(int fd, const void* data, std::size_t size, std::size_t* count) {
    *count = 0;
    if (size == 0)
        return StreamResult::WouldBlock;
    return Moved(::send(fd, data, size, MSG_NOSIGNAL), count);
}

bool SendAll(int fd, std::string_view data, int stallMs) {
    while (!data.empty()) {
        std::size_t sent = 0;
        switch (Send(fd, data.data(), data.size(), &sent)) {
            case StreamResult::Done:
                data.remove_prefix(sent);
                break;
            case StreamResult::WouldBlock: {
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, stallMs) > 0)
                    break;
                return false;
            }
            case StreamResult::Closed:
                return false;
        }
    }
    return true;
}

int AcceptConnection(int listenFd) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd >= 0 ? fd : -1;
}

bool ListenLocal(const std::string& path, int backlog, int mode, int* fd, std::string* error) {
    *fd = -1;
    sockaddr_un address;
    if (!LocalAddress(path, &address)) {
        *error = path + ": path too long for a socket";
        return false;
    }
    // The socket file is made by bind with the socket's own mode less the umask (Linux):
    // set before bind, it is never more open than asked, not even for a moment.
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0 || ::fchmod(s, static_cast<mode_t>(mode)) != 0 ||
        ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *error = ErrnoMessage(path);
        CloseDescriptor(s);
        return false;
    }
    // Whatever the system did with the mode, it is no more than asked (the name was just
    // made by this bind, in a folder the caller trusts).
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
        ((st.st_mode & 07777) & ~static_cast<mode_t>(mode)) != 0) {
        if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
            *error = ErrnoMessage(path);
            CloseDescriptor(s);
            ::unlink(path.c_str());
            return false;
        }
    }
    if (::listen(s, backlog) != 0) {
        *error = ErrnoMessage(path);
        CloseDescriptor(s);
        ::unlink(path.c_str());
        return false;
    }
    *fd = s;
    return true;
}

int ConnectLocal(const std::string& path) {
    sockaddr_un address;
    if (!LocalAddress(path, &address)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        CloseDescriptor(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace thermpos::platform
