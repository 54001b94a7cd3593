// Device files on Windows: ports opened with CreateFile for overlapped I/O.
//
// Every read and write is overlapped and waited on beside the handle's close event, so
// CloseHandle from another thread wakes it (it returns ERROR_INVALID_HANDLE), and beside
// a deadline of the device layer's own (devfile_timeouts.h): a transfer the driver does
// not end in time is cancelled. Serial ports also get the caller's COMMTIMEOUTS, so the
// driver ends most transfers itself; the layer's deadline covers drivers whose time-outs
// are unreliable and ports without any (USB printers).
//
// Threads: any. The handle table is guarded by one mutex, never held while a transfer
// waits; a device stays open until the last transfer using it has left.
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "platform/devfile.h"
#include "platform/devfile_timeouts.h"
#include "platform/eventfd.h"
#include "platform/netport.h"
#include "platform/portname.h"

namespace thermpos::platform::devfile {

namespace {

struct Device {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE closed = nullptr;  // manual-reset: set by CloseHandle
    bool serial = false;
    bool immediateReads = false;  // USB printer ports return at once with what is there
    std::mutex mutex;             // timeouts, dcb
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    DCB dcb{};

    ~Device() {
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
        if (closed)
            ::CloseHandle(closed);
    }
};

struct HandleTable {
    std::mutex mutex;
    std::map<std::uintptr_t, std::shared_ptr<Device>> devices;
    std::uintptr_t next = 0x1000;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

HANDLE AddHandle(std::shared_ptr<Device> dev) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const std::uintptr_t key = table.next;
    table.next += 4;
    table.devices.emplace(key, std::move(dev));
    return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<Device> Find(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.devices.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == table.devices.end() ? nullptr : it->second;
}

// Win32 errors of a transfer as the layers above know them: a device that went away is
// ERROR_INVALID_HANDLE, so that its owner reopens it.
LONG TransferError(DWORD err) {
    switch (err) {
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_BAD_COMMAND:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_INVALID_HANDLE:
            return ERROR_INVALID_HANDLE;
        case ERROR_SEM_TIMEOUT:
        case WAIT_TIMEOUT:
            return ERROR_TIMEOUT;
        default:
            return static_cast<LONG>(err);
    }
}

DWORD MillisecondsUntil(const Deadline& deadline) {
    if (!deadline)
        return INFINITE;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<DWORD>(std::min<std::int64_t>(left.count(), INFINITE - 1));
}

enum class Ended { Done, Closed, Deadline };

// One overlapped transfer, waited on beside the close event until the deadline.
LONG Transfer(Device& dev, bool write, void* buffer, DWORD size, DWORD* done,
              const Deadline& deadline, Ended* ended) {
    *done = 0;
    *ended = Ended::Done;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return static_cast<LONG>(::GetLastError());
    const BOOL started = write ? ::WriteFile(dev.file, buffer, size, nullptr, &overlapped)
                               : ::ReadFile(dev.file, buffer, size, nullptr, &overlapped);
    DWORD err = started ? ERROR_SUCCESS : ::GetLastError();
    if (!started && err != ERROR_IO_PENDING) {
        ::CloseHandle(overlapped.hEvent);
        return TransferError(err);
    }
    HANDLE waits[2] = {overlapped.hEvent, dev.closed};
    const DWORD waited = ::WaitForMultipleObjects(2, waits, FALSE, MillisecondsUntil(deadline));
    if (waited != WAIT_OBJECT_0) {
        ::CancelIoEx(dev.file, &overlapped);
        *ended = waited == WAIT_OBJECT_0 + 1 ? Ended::Closed : Ended::Deadline;
    }
    DWORD count = 0;
    const BOOL finished = ::GetOverlappedResult(dev.file, &overlapped, &count, TRUE);
    err = finished ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(overlapped.hEvent);
    *done = count;
    if (*ended == Ended::Closed)
        return ERROR_INVALID_HANDLE;
    if (*ended == Ended::Deadline || err == ERROR_OPERATION_ABORTED)
        return ERROR_SUCCESS;  // the caller decides what a short transfer means
    if (err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE)
        return ERROR_SUCCESS;
    // A serial driver that ends a read at its total time-out with an error instead of
    // the short count (Wine's does, with STATUS_TIMEOUT) still read what it read.
    if (!write && (err == ERROR_TIMEOUT || err == ERROR_SEM_TIMEOUT || err == WAIT_TIMEOUT))
        return ERROR_SUCCESS;
    return err == ERROR_SUCCESS ? ERROR_SUCCESS : TransferError(err);
}

// How long past the caller's own limit the layer waits for a driver that keeps time
// itself before cancelling the transfer.
constexpr auto kDriverGrace = std::chrono::milliseconds(500);

COMMTIMEOUTS Timeouts(Device& dev) {
    std::lock_guard<std::mutex> lock(dev.mutex);
    return dev.timeouts;
}

}  // namespace

LONG ErrorFromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBUSY:
            return ERROR_BUSY;
        case ENOSPC:
            return ERROR_OUT_OF_PAPER;
        case EIO:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

LONG CreateFile(const char* name, DWORD access, DWORD shareMode, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    if (!name)
        return ERROR_INVALID_NAME;
    std::string path;
    if (LONG rc = ResolvePortName(name, &path); rc != ERROR_SUCCESS)
        return rc;
    if (netport::IsSocketUri(path))
        return OpenNetworkPort(path, access, handle);
    return OpenDevicePath(path, access, shareMode, handle);
}

LONG OpenDevicePath(const std::string& path, DWORD access, DWORD shareMode, HANDLE* handle) {
    if (!handle)
        return ERROR_INVALID_PARAMETER;
    *handle = INVALID_HANDLE_VALUE;
    auto dev = std::make_shared<Device>();
    dev->file = ::CreateFileA(path.c_str(), access, shareMode, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (dev->file == INVALID_HANDLE_VALUE)
        return static_cast<LONG>(::GetLastError());
    dev->closed = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!dev->closed)
        return static_cast<LONG>(::GetLastError());
    dev->dcb.DCBlength = sizeof(DCB);
    dev->serial = ::GetCommState(dev->file, &dev->dcb) != FALSE;
    dev->immediateReads = portname::StartsWithNoCase(portname::WithoutNamespace(path), "USB#");
    if (dev->serial) {
        // Raw binary bytes, immediate reads until the owner sets time-outs of its own.
        dev->dcb.fBinary = TRUE;
        dev->dcb.fNull = FALSE;
        ::SetCommState(dev->file, &dev->dcb);
        ::SetCommTimeouts(dev->file, &dev->timeouts);
    }
    *handle = AddHandle(std::move(dev));
    return ERROR_SUCCESS;
}

LONG OpenNetworkPort(const std::string& uri, DWORD, HANDLE* handle) {
    if (handle)
        *handle = INVALID_HANDLE_VALUE;
    netport::Endpoint endpoint;
    if (LONG rc = netport::ParseSocketUri(uri, &endpoint); rc != ERROR_SUCCESS)
        return rc;
    // Network ports over Winsock are not built on Windows yet.
    return ERROR_NOT_SUPPORTED;
}

LONG CloseHandle(HANDLE handle) {
    std::shared_ptr<Device> dev;
    {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        const auto it = table.devices.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == table.devices.end())
            return ERROR_INVALID_HANDLE;
        dev = std::move(it->second);
        table.devices.erase(it);
    }
    // Wakes every transfer still waiting; the file closes when the last one has left.
    ::SetEvent(dev->closed);
    return ERROR_SUCCESS;
}

LONG ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* read) {
    if (read)
        *read = 0;
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!buffer || !read)
        return ERROR_INVALID_PARAMETER;
    if (size == 0)
        return ERROR_SUCCESS;
    const ReadTimeouts plan = PlanRead(Timeouts(*dev), dev->immediateReads, size, Clock::now());
    Deadline deadline = plan.immediate ? Deadline(Clock::now()) : plan.total;
    if (dev->serial && deadline && !plan.immediate)
        *deadline += kDriverGrace;
    Ended ended;
    LONG rc = Transfer(*dev, false, buffer, size, read, deadline, &ended);
    if (rc == ERROR_SUCCESS && *read > 0 && dev->serial && dev->dcb.fNull) {
        auto* bytes = static_cast<char*>(buffer);
        *read = static_cast<DWORD>(std::remove(bytes, bytes + *read, '\0') - bytes);
    }
    return rc;
}

DWORD WaitForInput(HANDLE handle, int wakeFd, DWORD /*timeoutMs*/) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return WAIT_FAILED;
    HANDLE wake = wakeFd >= 0 ? WakeEventHandle(wakeFd) : nullptr;
    if (wake && ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0)
        return WAIT_OBJECT_0 + 1;
    // Input cannot be waited for without reading it (WaitCommEvent is not dependable on
    // every driver): the owner reads on a timer.
    return WAIT_FAILED;
}

LONG WriteFile(HANDLE handle, const void* data, DWORD size, DWORD* written) {
    if (written)
        *written = 0;
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!data || !written)
        return ERROR_INVALID_PARAMETER;
    if (size == 0)
        return ERROR_SUCCESS;
    const COMMTIMEOUTS t = Timeouts(*dev);
    Deadline deadline = PlanWrite(t, size, Clock::now()).total;
    if (dev->serial && deadline)
        *deadline += kDriverGrace;
    Ended ended;
    LONG rc = Transfer(*dev, true, const_cast<void*>(data), size, written, deadline, &ended);
    if (rc == ERROR_SUCCESS && *written < size)
        return ERROR_TIMEOUT;
    return rc;
}

LONG AbandonOutput(HANDLE handle) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->serial)
        ::PurgeComm(dev->file, PURGE_TXABORT | PURGE_TXCLEAR);
    return ERROR_SUCCESS;
}

LONG FlushFileBuffers(HANDLE handle) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!dev->serial)
        return ERROR_SUCCESS;  // the driver took the bytes with the write
    if (!::FlushFileBuffers(dev->file))
        return TransferError(::GetLastError());
    return ERROR_SUCCESS;
}

LONG SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->serial && !::SetupComm(dev->file, inQueue, outQueue))
        return static_cast<LONG>(::GetLastError());
    return ERROR_SUCCESS;
}

LONG PurgeComm(HANDLE handle, DWORD flags) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->serial && !::PurgeComm(dev->file, flags))
        return static_cast<LONG>(::GetLastError());
    return ERROR_SUCCESS;
}

LONG GetCommState(HANDLE handle, DCB* dcb) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!dcb)
        return ERROR_INVALID_PARAMETER;
    if (!dev->serial)
        return ERROR_INVALID_FUNCTION;
    DCB state{};
    state.DCBlength = sizeof state;
    if (!::GetCommState(dev->file, &state))
        return static_cast<LONG>(::GetLastError());
    std::lock_guard<std::mutex> lock(dev->mutex);
    state.fNull = dev->dcb.fNull;  // done by ReadFile, not by the driver
    *dcb = state;
    return ERROR_SUCCESS;
}

LONG SetCommState(HANDLE handle, const DCB& dcb) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!dev->serial)
        return ERROR_INVALID_FUNCTION;
    DCB applied = dcb;
    applied.DCBlength = sizeof applied;
    applied.fBinary = TRUE;
    applied.fNull = FALSE;
    if (!::SetCommState(dev->file, &applied))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->dcb = dcb;
    return ERROR_SUCCESS;
}

LONG GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (!timeouts)
        return ERROR_INVALID_PARAMETER;
    *timeouts = Timeouts(*dev);
    return ERROR_SUCCESS;
}

LONG SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->serial) {
        COMMTIMEOUTS copy = timeouts;
        if (!::SetCommTimeouts(dev->file, &copy))
            return static_cast<LONG>(::GetLastError());
    }
    std::lock_guard<std::mutex> lock(dev->mutex);
    dev->timeouts = timeouts;
    return ERROR_SUCCESS;
}

std::size_t OpenHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.devices.size();
}

}  // namespace thermpos::platform::devfile
