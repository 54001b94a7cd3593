// Wake descriptors on Windows: manual-reset events, whose number for the int interface is
// the event's handle value (kernel handle values stay within 32 bits). The number means
// the same event in every module of the process, so one DLL can hand its wake descriptor
// to another's wait (the service object's status monitor to the port library's
// PMWaitPort), which a table private to each module could not.
//
// Threads: any; no state but the kernel's.
#include "platform/eventfd.h"

namespace thermpos::platform {

HANDLE WakeEventHandle(int fd) {
    if (fd <= 0)
        return nullptr;
    HANDLE event = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(static_cast<unsigned>(fd)));
    DWORD flags = 0;
    // A number that is no handle of this process is refused here rather than waited on.
    return ::GetHandleInformation(event, &flags) ? event : nullptr;
}

WakeDescriptor::WakeDescriptor() {
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return;
    const auto value = reinterpret_cast<std::uintptr_t>(event);
    if (value > 0x7fffffffu) {  // never seen; refused rather than truncated
        ::CloseHandle(event);
        return;
    }
    fd_ = static_cast<int>(value);
}

WakeDescriptor::~WakeDescriptor() {
    if (fd_ > 0)
        ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd_)));
}

void WakeDescriptor::Signal() {
    if (fd_ > 0)
        ::SetEvent(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd_)));
}

void WakeDescriptor::Drain() {
    if (fd_ > 0)
        ::ResetEvent(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd_)));
}

bool WakeDescriptor::Signalled() const {
    return fd_ > 0 && WaitReadable(fd_, 0);
}

bool WaitReadable(int fd, int timeoutMs) {
    HANDLE event = WakeEventHandle(fd);
    if (!event)
        return false;
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(event, wait) == WAIT_OBJECT_0;
}

}  // namespace thermpos::platform
