// Wake descriptors on Windows: manual-reset events, numbered for the int interface.
#include <map>
#include <mutex>

#include "platform/eventfd.h"

namespace thermpos::platform {

namespace {

struct WakeTable {
    std::mutex mutex;
    std::map<int, HANDLE> events;
    int next = 1;
};

WakeTable& Table() {
    static WakeTable table;
    return table;
}

}  // namespace

HANDLE WakeEventHandle(int fd) {
    WakeTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.events.find(fd);
    return it == table.events.end() ? nullptr : it->second;
}

WakeDescriptor::WakeDescriptor() {
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!event)
        return;
    WakeTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    while (table.events.count(table.next) || table.next <= 0)
        table.next = table.next <= 0 ? 1 : table.next + 1;
    fd_ = table.next++;
    table.events.emplace(fd_, event);
}

WakeDescriptor::~WakeDescriptor() {
    if (fd_ < 0)
        return;
    HANDLE event = nullptr;
    {
        WakeTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto it = table.events.find(fd_);
        if (it != table.events.end()) {
            event = it->second;
            table.events.erase(it);
        }
    }
    if (event)
        ::CloseHandle(event);
}

void WakeDescriptor::Signal() {
    if (HANDLE event = WakeEventHandle(fd_))
        ::SetEvent(event);
}

void WakeDescriptor::Drain() {
    if (HANDLE event = WakeEventHandle(fd_))
        ::ResetEvent(event);
}

bool WakeDescriptor::Signalled() const {
    return fd_ >= 0 && WaitReadable(fd_, 0);
}

bool WaitReadable(int fd, int timeoutMs) {
    HANDLE event = WakeEventHandle(fd);
    if (!event)
        return false;
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(event, wait) == WAIT_OBJECT_0;
}

}  // namespace thermpos::platform
