// File descriptors. See descriptor.h.
#include "platform/descriptor.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace thermpos::platform {

void CloseDescriptor(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string ErrnoMessage(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace thermpos::platform
