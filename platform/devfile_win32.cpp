// Device files on Windows: ports opened with CreateFile for overlapped I/O, and network
// printers over Winsock sockets opened for overlapped I/O (netport_win32.cpp).
//
// Every read and write is overlapped and waited on beside the handle's close event, so
// CloseHandle from another thread wakes it (it returns ERROR_INVALID_HANDLE), and beside
// a deadline of the device layer's own (devfile_timeouts.h): a transfer the driver does
// not end in time is cancelled. Serial ports also get the caller's COMMTIMEOUTS, so the
// driver ends most transfers itself; the layer's deadline covers drivers whose time-outs
// are unreliable and ports without any (USB printers, sockets). Writes go in pieces, so
// that a line that stops taking bytes is found at the write constant (the stall limit)
// even when the total is years away, while one that keeps moving goes on.
//
// Waiting for input reads ahead: one overlapped read of a byte, waited on beside the
// close event and the caller's wake event; the byte it brings is kept and handed to the
// next ReadFile first. A serial port's driver gets read time-outs that wait for that byte
// for the time of the wait, and its owner's back after it (WaitCommEvent is not dependable
// on every driver). A USB printer port cannot be waited on: its reads end at once. A read
// on another thread while a serial port's wait is under way gets the wait's read
// time-outs; the status monitor, the one caller that waits, is also the one that reads.
//
// Threads: any; none started here. Locks, in the order they may be taken:
//   1. the handle table's mutex: held only to find, add or remove an entry;
//   2. Device::waitMutex: one read-ahead per device at a time, held across its wait;
//   3. Device::socketLock (shared by transfers while they start or cancel, exclusive
//      while AbandonOutput resets the connection);
//   4. Device::mutex: time-outs, DCB, the bytes read ahead; held briefly.
// No transfer waits holding 1, 3 or 4; a device stays open until the last transfer using
// it has left.
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "platform/devfile.h"
#include "platform/devfile_system.h"
#include "platform/devfile_timeouts.h"
#include "platform/eventfd.h"
#include "platform/netport.h"
#include "platform/portname.h"

namespace thermpos::platform::devfile {

namespace {

struct Device {
    HANDLE file = INVALID_HANDLE_VALUE;  // a network port's SOCKET
    HANDLE closed = nullptr;             // manual-reset: set by CloseHandle
    bool serial = false;
    bool socket = false;
    bool immediateReads = false;         // USB printer ports return at once with what is there
    std::atomic<unsigned> abandoned{0};  // times queued output was discarded
    std::mutex waitMutex;
    std::shared_mutex socketLock;
    bool reset = false;  // guarded by socketLock: the connection was reset, file is closed
    std::mutex mutex;    // what follows
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    DCB dcb{};
    std::string readAhead;  // bytes a wait for input read, given to the next ReadFile

    ~Device() {
        if (file != INVALID_HANDLE_VALUE && !reset) {
            if (socket)
                netport::CloseSocket(SocketNumber());
            else
                ::CloseHandle(file);
        }
        if (closed)
            ::CloseHandle(closed);
    }
    int SocketNumber() const {
        return static_cast<int>(static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(file)));
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
LONG TransferError(const Device& dev, DWORD err) {
    if (dev.socket)
        return netport::SocketError(static_cast<int>(err));
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
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<DWORD>(std::min<std::int64_t>(left.count(), INFINITE - 1));
}

bool Passed(const Deadline& deadline) {
    return deadline && Clock::now() >= *deadline;
}

// Starts one overlapped read or write; false with *err when it could not start.
bool Start(Device& dev, bool write, void* buffer, DWORD size, OVERLAPPED* overlapped, DWORD* err) {
    *err = ERROR_SUCCESS;
    if (dev.socket) {
        std::shared_lock guard(dev.socketLock);
        if (dev.reset) {
            *err = ERROR_INVALID_HANDLE;
            return false;
        }
        WSABUF piece{size, static_cast<char*>(buffer)};
        DWORD flags = 0;
        const SOCKET s = reinterpret_cast<SOCKET>(dev.file);
        const int r = write ? ::WSASend(s, &piece, 1, nullptr, 0, overlapped, nullptr)
                            : ::WSARecv(s, &piece, 1, nullptr, &flags, overlapped, nullptr);
        if (r == 0)
            return true;
        *err = static_cast<DWORD>(::WSAGetLastError());
        return *err == WSA_IO_PENDING;
    }
    const BOOL started = write ? ::WriteFile(dev.file, buffer, size, nullptr, overlapped)
                               : ::ReadFile(dev.file, buffer, size, nullptr, overlapped);
    if (started)
        return true;
    *err = ::GetLastError();
    return *err == ERROR_IO_PENDING;
}

void Cancel(Device& dev, OVERLAPPED* overlapped) {
    if (dev.socket) {
        std::shared_lock guard(dev.socketLock);
        if (!dev.reset)  // a reset closed the socket, which ended every transfer on it
            ::CancelIoEx(dev.file, overlapped);
        return;
    }
    ::CancelIoEx(dev.file, overlapped);
}

enum class Ended { Done, Closed, Deadline, Woken };

// One overlapped transfer, waited on beside the close event (and `wake`, when given)
// until the deadline. *done is what moved, also when it was cut short.
LONG Transfer(Device& dev, bool write, void* buffer, DWORD size, DWORD* done,
              const Deadline& deadline, Ended* ended, HANDLE wake = nullptr) {
    *done = 0;
    *ended = Ended::Done;
    OVERLAPPED overlapped{};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return static_cast<LONG>(::GetLastError());
    DWORD err;
    if (!Start(dev, write, buffer, size, &overlapped, &err)) {
        ::CloseHandle(overlapped.hEvent);
        return err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE ? ERROR_SUCCESS
                                                                   : TransferError(dev, err);
    }
    HANDLE waits[3] = {overlapped.hEvent, dev.closed, wake};
    const DWORD waited =
        ::WaitForMultipleObjects(wake ? 3 : 2, waits, FALSE, MillisecondsUntil(deadline));
    if (waited != WAIT_OBJECT_0) {
        Cancel(dev, &overlapped);
        *ended = waited == WAIT_OBJECT_0 + 1   ? Ended::Closed
                 : waited == WAIT_OBJECT_0 + 2 ? Ended::Woken
                                               : Ended::Deadline;
    }
    // The event given, this waits on it, not on the file: safe after a reset closed it.
    DWORD count = 0;
    const BOOL finished = ::GetOverlappedResult(dev.file, &overlapped, &count, TRUE);
    err = finished ? ERROR_SUCCESS : ::GetLastError();
    ::CloseHandle(overlapped.hEvent);
    *done = count;
    if (*ended == Ended::Closed)
        return ERROR_INVALID_HANDLE;
    if (*ended != Ended::Done || err == ERROR_OPERATION_ABORTED) {
        if (*ended == Ended::Done)
            *ended = Ended::Deadline;  // cancelled by the driver or a reset
        return ERROR_SUCCESS;          // the caller decides what a short transfer means
    }
    if (err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE)
        return ERROR_SUCCESS;
    // A serial driver that ends a read at its total time-out with an error instead of
    // the short count (Wine's does, with STATUS_TIMEOUT) still read what it read.
    if (!write && (err == ERROR_TIMEOUT || err == ERROR_SEM_TIMEOUT || err == WAIT_TIMEOUT))
        return ERROR_SUCCESS;
    return err == ERROR_SUCCESS ? ERROR_SUCCESS : TransferError(dev, err);
}

// How long past the caller's own limit the layer waits for a driver that keeps time
// itself before cancelling the transfer.
constexpr auto kDriverGrace = std::chrono::milliseconds(500);
// The largest piece one write hands the system; a serial line gets smaller ones.
constexpr DWORD kLargestPiece = 64 * 1024;

COMMTIMEOUTS Timeouts(Device& dev) {
    std::lock_guard<std::mutex> lock(dev.mutex);
    return dev.timeouts;
}

// Moves bytes read ahead by a wait into the buffer; the count moved.
DWORD TakeReadAhead(Device& dev, unsigned char* out, DWORD size) {
    std::lock_guard<std::mutex> lock(dev.mutex);
    const DWORD n = static_cast<DWORD>(std::min<std::size_t>(size, dev.readAhead.size()));
    std::copy_n(dev.readAhead.begin(), n, out);
    dev.readAhead.erase(0, n);
    return n;
}

// The size of one piece of a write: what the line moves in half the stall limit, so that a
// piece always ends before the limit on a line that moves, whatever its rate.
DWORD PieceSize(Device& dev, const COMMTIMEOUTS& t, DWORD left) {
    DWORD piece = kLargestPiece;
    if (dev.serial && t.WriteTotalTimeoutConstant != 0) {
        DWORD baud;
        {
            std::lock_guard<std::mutex> lock(dev.mutex);
            baud = dev.dcb.BaudRate;
        }
        const std::uint64_t perStall =
            std::uint64_t{baud} / 10 * t.WriteTotalTimeoutConstant / 2000;
        piece = static_cast<DWORD>(std::clamp<std::uint64_t>(perStall, 1, 4096));
    }
    return std::min(piece, left);
}

// A network port's reads: what is there now, then overlapped receives until the plan
// ends the read. A connection the printer closed reads 0 bytes: the device has gone.
LONG ReadSocket(Device& dev, unsigned char* out, DWORD size, DWORD* read, const ReadTimeouts& plan,
                Clock::time_point lastByte) {
    const SOCKET s = reinterpret_cast<SOCKET>(dev.file);
    for (;;) {
        if (*read == size || (plan.firstByte && *read > 0))
            return ERROR_SUCCESS;
        const DWORD asked = size - *read;
        int n;
        int err = 0;
        {
            std::shared_lock guard(dev.socketLock);
            if (dev.reset)
                return *read ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
            n = ::recv(s, reinterpret_cast<char*>(out + *read),
                       static_cast<int>(std::min<DWORD>(asked, 1u << 30)), 0);
            if (n < 0)
                err = ::WSAGetLastError();
        }
        if (n > 0) {
            *read += static_cast<DWORD>(n);
            lastByte = Clock::now();
            if (plan.immediate && static_cast<DWORD>(n) < asked)
                return ERROR_SUCCESS;
            continue;
        }
        if (n == 0)
            return *read ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
        if (err != WSAEWOULDBLOCK)
            return netport::SocketError(err);
        if (plan.immediate)
            return ERROR_SUCCESS;
        const Deadline deadline = plan.Next(*read, lastByte);
        if (Passed(deadline))
            return ERROR_SUCCESS;
        DWORD got = 0;
        Ended ended;
        const LONG rc = Transfer(dev, false, out + *read, asked, &got, deadline, &ended);
        *read += got;
        if (ended == Ended::Closed)
            return ERROR_INVALID_HANDLE;
        if (got > 0) {
            lastByte = Clock::now();
            continue;
        }
        if (ended == Ended::Deadline || rc != ERROR_SUCCESS)
            return rc;
        return *read ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;  // closed by the printer
    }
}

// True when the printer closed its end of the connection: the first write to it would
// still be let in and dropped with a reset, a job lost while reported written.
bool PeerClosed(Device& dev) {
    std::shared_lock guard(dev.socketLock);
    if (dev.reset)
        return true;
    char c;
    const int n = ::recv(reinterpret_cast<SOCKET>(dev.file), &c, 1, MSG_PEEK);
    if (n == 0)
        return true;
    return n < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK;
}

// Discards what was written and has not left, so that it never prints after the write was
// reported failed: a serial port's transmit queue is purged; a network connection is
// reset (closed without lingering, which drops its send queue), after which every call
// on the handle reports the device vanished.
void AbandonQueued(Device& dev) {
    ++dev.abandoned;
    if (dev.serial) {
        ::PurgeComm(dev.file, PURGE_TXABORT | PURGE_TXCLEAR);
    } else if (dev.socket) {
        std::unique_lock guard(dev.socketLock);
        if (dev.reset)
            return;
        linger hard{1, 0};
        const SOCKET s = reinterpret_cast<SOCKET>(dev.file);
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
        ::closesocket(s);
        dev.reset = true;  // file keeps the closed value: it is never used again
    }
}

// Serial settings checked as a serial port would check them, for a network port whose
// DCB has no effect: the same answers as a port would give.
bool PlausibleDcb(const DCB& d) {
    if (d.BaudRate == 0 || d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > 4 || d.StopBits > 2)
        return false;
    if (d.StopBits == ONE5STOPBITS && d.ByteSize != 5)
        return false;
    return !(d.StopBits == TWOSTOPBITS && d.ByteSize == 5);
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

namespace detail {

LONG OpenResolvedDevice(std::string_view, const std::string& path, DWORD access, DWORD shareMode,
                        HANDLE* handle) {
    return OpenDevicePath(path, access, shareMode, handle);
}

LONG OpenConnectedPort(const netport::Endpoint& endpoint, HANDLE* handle) {
    auto dev = std::make_shared<Device>();
    dev->closed = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!dev->closed)
        return static_cast<LONG>(::GetLastError());
    int s = -1;
    if (LONG rc = netport::Connect(endpoint, netport::kDefaultConnectMs, &s); rc != ERROR_SUCCESS)
        return rc;
    dev->file = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(static_cast<unsigned>(s)));
    dev->socket = true;
    dev->timeouts = kNetworkTimeouts;
    dev->dcb = NetworkDcb();
    *handle = AddHandle(std::move(dev));
    return ERROR_SUCCESS;
}

}  // namespace detail

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
    const auto start = Clock::now();
    const ReadTimeouts plan = PlanRead(Timeouts(*dev), dev->immediateReads, size, start);
    auto* out = static_cast<unsigned char*>(buffer);
    // Bytes a wait for input brought count as arrived when the read began.
    *read = TakeReadAhead(*dev, out, size);
    if (dev->socket)
        return ReadSocket(*dev, out, size, read, plan, start);
    if (*read == size || (*read > 0 && (plan.firstByte || (plan.useInterval && !plan.total))))
        return ERROR_SUCCESS;
    Deadline deadline = plan.immediate ? Deadline(Clock::now()) : plan.total;
    if (dev->serial && deadline && !plan.immediate)
        *deadline += kDriverGrace;
    const DWORD before = *read;
    DWORD got = 0;
    Ended ended;
    LONG rc = Transfer(*dev, false, out + before, size - before, &got, deadline, &ended);
    if (rc == ERROR_SUCCESS && got > 0 && dev->serial && dev->dcb.fNull)
        got =
            static_cast<DWORD>(std::remove(out + before, out + before + got, '\0') - out - before);
    *read = before + got;
    return rc;
}

DWORD WaitForInput(HANDLE handle, int wakeFd, DWORD timeoutMs) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev || dev->immediateReads)
        return WAIT_FAILED;
    const Deadline deadline = timeoutMs == INFINITE
                                  ? Deadline()
                                  : Deadline(Clock::now() + std::chrono::milliseconds(timeoutMs));
    HANDLE wake = wakeFd >= 0 ? WakeEventHandle(wakeFd) : nullptr;
    if (wake && ::WaitForSingleObject(wake, 0) == WAIT_OBJECT_0)
        return WAIT_OBJECT_0 + 1;
    std::lock_guard<std::mutex> one(dev->waitMutex);
    {
        std::lock_guard<std::mutex> lock(dev->mutex);
        if (!dev->readAhead.empty())
            return WAIT_OBJECT_0;
    }
    if (::WaitForSingleObject(dev->closed, 0) == WAIT_OBJECT_0)
        return WAIT_OBJECT_0;  // the read tells the owner
    if (dev->serial) {
        // One byte, however long it takes: the wait's own deadline ends it. The owner's
        // write time-outs stay; its read time-outs come back below.
        std::lock_guard<std::mutex> lock(dev->mutex);
        COMMTIMEOUTS waitFor = dev->timeouts;
        waitFor.ReadIntervalTimeout = 0;
        waitFor.ReadTotalTimeoutMultiplier = 0;
        waitFor.ReadTotalTimeoutConstant = 0;
        ::SetCommTimeouts(dev->file, &waitFor);
    }
    unsigned char byte = 0;
    DWORD got = 0;
    Ended ended;
    const LONG rc = Transfer(*dev, false, &byte, 1, &got, deadline, &ended, wake);
    if (dev->serial) {
        std::lock_guard<std::mutex> lock(dev->mutex);
        ::SetCommTimeouts(dev->file, &dev->timeouts);
    }
    if (got > 0) {
        std::lock_guard<std::mutex> lock(dev->mutex);
        if (!(dev->serial && dev->dcb.fNull && byte == 0))
            dev->readAhead.push_back(static_cast<char>(byte));
        return WAIT_OBJECT_0;
    }
    switch (ended) {
        case Ended::Woken:
            return WAIT_OBJECT_0 + 1;
        case Ended::Deadline:
            return Passed(deadline) ? WAIT_TIMEOUT : WAIT_FAILED;  // a driver that gave up
        case Ended::Closed:
            return WAIT_OBJECT_0;
        case Ended::Done:
            break;
    }
    // Nothing, and not cut short: an error or an end of input for the reader to find
    // out, or a serial driver that ended the read itself, whose owner reads on a timer.
    return rc == ERROR_SUCCESS && dev->serial ? WAIT_FAILED : WAIT_OBJECT_0;
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
    if (dev->socket && PeerClosed(*dev))
        return ERROR_INVALID_HANDLE;
    const COMMTIMEOUTS t = Timeouts(*dev);
    // The total, and the stall limit that ends a write no byte of which moves for the
    // write constant: with the multiplier MAXDWORD the service objects set, the total is
    // years away and the stall alone ends a write to a printer that stopped taking bytes.
    // Each piece that moves starts the stall time again.
    const DrainTimeouts plan = PlanWrite(t, size, Clock::now());
    auto lastProgress = Clock::now();
    auto* in = static_cast<unsigned char*>(const_cast<void*>(data));
    while (*written < size) {
        const Deadline limit = plan.Next(lastProgress);
        if (Passed(limit))
            return ERROR_TIMEOUT;
        Deadline deadline = limit;
        if (dev->serial && deadline)
            *deadline += kDriverGrace;  // the driver's own time-out, when it keeps one, first
        const DWORD piece = PieceSize(*dev, t, size - *written);
        DWORD moved = 0;
        Ended ended;
        LONG rc = Transfer(*dev, true, in + *written, piece, &moved, deadline, &ended);
        *written += moved;
        if (ended == Ended::Closed)
            return ERROR_INVALID_HANDLE;
        if (rc != ERROR_SUCCESS)
            return rc;
        if (moved > 0)
            lastProgress = Clock::now();
        if (moved < piece && ended == Ended::Done)
            return ERROR_TIMEOUT;  // the driver's own time-out ran out
        if (moved == 0 && ended == Ended::Deadline) {
            if (dev->socket && dev->reset)
                return ERROR_INVALID_HANDLE;
            return ERROR_TIMEOUT;
        }
    }
    return ERROR_SUCCESS;
}

LONG AbandonOutput(HANDLE handle) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    AbandonQueued(*dev);
    return ERROR_SUCCESS;
}

LONG FlushFileBuffers(HANDLE handle) {
    std::shared_ptr<Device> dev = Find(handle);
    if (!dev)
        return ERROR_INVALID_HANDLE;
    if (dev->socket) {
        // The system took every byte with the write; Winsock cannot tell which of them
        // the printer acknowledged. A connection reset meanwhile did not deliver them.
        std::shared_lock guard(dev->socketLock);
        return dev->reset ? ERROR_TIMEOUT : ERROR_SUCCESS;
    }
    if (!dev->serial)
        return ERROR_SUCCESS;  // the driver took the bytes with the write
    // The transmit queue's length cannot be waited on (and FlushFileBuffers cannot be
    // given a limit): look again after a while, woken at once when the handle is closed.
    const unsigned abandoned = dev->abandoned.load();
    const COMMTIMEOUTS t = Timeouts(*dev);
    DWORD baud;
    {
        std::lock_guard<std::mutex> lock(dev->mutex);
        baud = dev->dcb.BaudRate;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    if (!::ClearCommError(dev->file, &errors, &stat))
        return TransferError(*dev, ::GetLastError());
    DWORD queued = stat.cbOutQue;
    auto now = Clock::now();
    const DrainTimeouts plan = PlanDrain(t, queued, now);
    auto lastProgress = now;
    while (queued > 0) {
        const Deadline deadline = plan.Next(lastProgress);
        if (Passed(deadline)) {
            AbandonQueued(*dev);
            return ERROR_TIMEOUT;
        }
        DWORD wait =
            static_cast<DWORD>(DrainRecheckMs(static_cast<long>(baud), static_cast<long>(queued)));
        wait = std::min(wait, MillisecondsUntil(deadline));
        if (::WaitForSingleObject(dev->closed, wait) == WAIT_OBJECT_0)
            return ERROR_INVALID_HANDLE;
        if (!::ClearCommError(dev->file, &errors, &stat))
            return TransferError(*dev, ::GetLastError());
        if (dev->abandoned.load() != abandoned)
            return ERROR_TIMEOUT;  // another call discarded the queue: it did not leave
        if (stat.cbOutQue < queued)
            lastProgress = Clock::now();
        queued = stat.cbOutQue;
    }
    return dev->abandoned.load() != abandoned ? ERROR_TIMEOUT : ERROR_SUCCESS;
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
    if (dev->socket) {
        std::lock_guard<std::mutex> lock(dev->mutex);
        *dcb = dev->dcb;
        return ERROR_SUCCESS;
    }
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
    if (dev->socket) {
        if (!PlausibleDcb(dcb))
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(dev->mutex);
        dev->dcb = dcb;
        dev->dcb.DCBlength = sizeof(DCB);
        return ERROR_SUCCESS;
    }
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
    // Under the lock: a wait for input puts these back in the driver when it ends.
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (dev->serial) {
        COMMTIMEOUTS copy = timeouts;
        if (!::SetCommTimeouts(dev->file, &copy))
            return static_cast<LONG>(::GetLastError());
    }
    dev->timeouts = timeouts;
    return ERROR_SUCCESS;
}

std::size_t OpenHandleCount() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.devices.size();
}

}  // namespace thermpos::platform::devfile
