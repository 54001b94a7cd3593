// Pseudo-terminal pairs, raw terminal opens and the symlinks that name them.
#include "platform/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/descriptor.h"

namespace thermpos::platform::pty {

namespace {

void MakeRaw(int fd) {
    termios settings;
    if (::tcgetattr(fd, &settings) == 0) {
        ::cfmakeraw(&settings);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
}

std::string ReadLink(const std::string& path) {
    char buffer[4096];
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
}

// Waits until the descriptor is ready for `events`; false when the limit passed first.
bool WaitFor(int fd, short events, int limitMs) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, limitMs);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

}  // namespace

PseudoTerminal::~PseudoTerminal() {
    Close();
}

bool PseudoTerminal::Open(std::string* error, bool keepSlaveOpen) {
    Close();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        *error = platform::ErrnoMessage("posix_openpt");
        return false;
    }
    char name[256];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        *error = platform::ErrnoMessage("pty setup");
        ::close(master);
        return false;
    }
    // Opening the slave once also settles its line settings before any host sees it.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        *error = platform::ErrnoMessage(name);
        ::close(master);
        return false;
    }
    MakeRaw(slave);
    if (!keepSlaveOpen)
        platform::CloseDescriptor(slave);
    const int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    master_ = master;
    slave_ = slave;
    slavePath_ = name;
    return true;
}

void PseudoTerminal::Close() {
    platform::CloseDescriptor(master_);
    platform::CloseDescriptor(slave_);
}

bool PseudoTerminal::StopHostOutput() {
    return slave_ >= 0 && ::tcflow(slave_, TCOOFF) == 0;
}

bool PseudoTerminal::ResumeHostOutput() {
    return slave_ >= 0 && ::tcflow(slave_, TCOON) == 0;
}

IoResult PseudoTerminal::Read(void* buffer, std::size_t size, std::size_t* count) {
    *count = 0;
    if (master_ < 0)
        return IoResult::HungUp;
    const ssize_t n = ::read(master_, buffer, size);
    if (n > 0) {
        *count = static_cast<std::size_t>(n);
        return IoResult::Done;
    }
    // EIO: every slave descriptor is closed. 0 does not happen on a master; treated alike.
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return IoResult::WouldBlock;
    return size == 0 ? IoResult::WouldBlock : IoResult::HungUp;
}

IoResult PseudoTerminal::Write(const void* data, std::size_t size, std::size_t* count) {
    *count = 0;
    if (master_ < 0)
        return IoResult::HungUp;
    const ssize_t n = ::write(master_, data, size);
    if (n > 0) {
        *count = static_cast<std::size_t>(n);
        return IoResult::Done;
    }
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return IoResult::WouldBlock;
    return IoResult::HungUp;
}

std::string PseudoTerminal::Receive(std::size_t count, int limitMs) {
    std::string out;
    char buffer[4096];
    while (out.size() < count && master_ >= 0) {
        if (!WaitFor(master_, POLLIN, limitMs))
            break;
        std::size_t got = 0;
        const IoResult r = Read(buffer, std::min(sizeof buffer, count - out.size()), &got);
        if (r == IoResult::HungUp)
            break;
        out.append(buffer, got);
    }
    return out;
}

bool PseudoTerminal::SendAll(std::string_view data, int limitMs) {
    while (!data.empty()) {
        std::size_t put = 0;
        switch (Write(data.data(), data.size(), &put)) {
            case IoResult::Done:
                data.remove_prefix(put);
                break;
            case IoResult::WouldBlock:
                if (!WaitFor(master_, POLLOUT, limitMs))
                    return false;
                break;
            case IoResult::HungUp:
                return false;
        }
    }
    return true;
}

bool PseudoTerminal::GetLineSettings(termios* settings) const {
    return master_ >= 0 && ::tcgetattr(master_, settings) == 0;
}

bool PseudoTerminal::SetLineSettings(const termios& settings) {
    return master_ >= 0 && ::tcsetattr(master_, TCSANOW, &settings) == 0;
}

int OpenRawTerminal(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        MakeRaw(fd);
    return fd;
}

bool PointLink(const std::string& link, const std::string& target, std::string* error) {
    struct stat st;
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = link + ": exists and is not a symlink";
        return false;
    }
    // Made beside the link and renamed over it.
    const std::string temporary = link + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0) {
        *error = platform::ErrnoMessage(temporary);
        return false;
    }
    if (std::rename(temporary.c_str(), link.c_str()) != 0) {
        *error = platform::ErrnoMessage(link);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void RemoveLinkTo(const std::string& link, const std::string& target) {
    if (!target.empty() && ReadLink(link) == target)
        ::unlink(link.c_str());
}

}  // namespace thermpos::platform::pty
