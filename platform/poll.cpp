// Waiting on several descriptors at once. See poll.h.
#include "platform/poll.h"

#include <poll.h>

#include <cerrno>

#include "platform/descriptor.h"

namespace thermpos::platform {

PollSet::Slot PollSet::Add(int fd, bool read, bool write) {
    short events = 0;
    if (read)
        events |= POLLIN;
    if (write)
        events |= POLLOUT;
    entries_.push_back({fd, events, 0});
    return entries_.size() - 1;
}

int PollSet::Wait(int timeoutMs, std::string* error) {
    std::vector<pollfd> fds(entries_.size());
    for (std::size_t i = 0; i < entries_.size(); ++i)
        fds[i] = {entries_[i].fd, entries_[i].events, 0};
    const int n = ::poll(fds.data(), fds.size(), timeoutMs);
    for (std::size_t i = 0; i < entries_.size(); ++i)
        entries_[i].revents = n > 0 ? fds[i].revents : 0;
    if (n >= 0)
        return n;
    if (errno == EINTR)
        return 0;
    if (error)
        *error = ErrnoMessage("poll");
    return -1;
}

bool PollSet::Readable(Slot slot) const {
    return slot < entries_.size() && (entries_[slot].revents & POLLIN);
}

bool PollSet::Writable(Slot slot) const {
    return slot < entries_.size() && (entries_[slot].revents & POLLOUT);
}

bool PollSet::Broken(Slot slot) const {
    return slot < entries_.size() && (entries_[slot].revents & (POLLHUP | POLLERR));
}

}  // namespace thermpos::platform
