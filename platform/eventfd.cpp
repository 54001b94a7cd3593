#include "platform/eventfd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace thermpos::platform {

WakeDescriptor::WakeDescriptor() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeDescriptor::~WakeDescriptor() {
    if (fd_ >= 0)
        close(fd_);
}

void WakeDescriptor::Signal() {
    if (fd_ < 0)
        return;
    const std::uint64_t one = 1;
    // EAGAIN only when the counter is at its maximum: it is readable already.
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
}

void WakeDescriptor::Drain() {
    if (fd_ < 0)
        return;
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = read(fd_, &count, sizeof count);
}

bool WakeDescriptor::Signalled() const {
    return fd_ >= 0 && WaitReadable(fd_, 0);
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

}  // namespace thermpos::platform
