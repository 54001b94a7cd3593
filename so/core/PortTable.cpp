// The port table. Lock order and what each lock guards: see PortTable.h.
#include "so/core/PortTable.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "platform/portname.h"
#include "platform/sync.h"
#include "portlib/LinkPort.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

namespace {

int LinkOpen(const char* name, HANDLE* handle, const char* modelKey) {
    return PMOpenPort(name, handle, modelKey);
}
int LinkClose(HANDLE handle) {
    return PMClosePort(handle);
}
int LinkWrite(HANDLE handle, const void* data, int length, int* written) {
    return PMWritePort(handle, data, length, written);
}
int LinkRead(HANDLE handle, void* buffer, int size, int* read) {
    return PMReadPort(handle, buffer, size, read);
}
int LinkSetTimeouts(HANDLE handle, DWORD ri, DWORD rm, DWORD rc, DWORD wm, DWORD wc) {
    return PMSetPortTimeOuts(handle, ri, rm, rc, wm, wc);
}
int LinkGetProperties(HANDLE handle, DCB* dcb) {
    return PMGetPortProperties(handle, dcb);
}
int LinkSetProperties(HANDLE handle, const DCB* dcb) {
    return PMSetPortProperties(handle, *dcb);
}
int LinkGetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    return PMGetPortTimeOuts(handle, timeouts);
}
int LinkDrain(HANDLE handle) {
    return PMDrainPort(handle);
}
DWORD LinkWait(HANDLE handle, int wakeFd, DWORD timeoutMs) {
    return PMWaitPort(handle, wakeFd, timeoutMs);
}

}  // namespace

const PortBackend& LinkPortBackend() {
    static const PortBackend backend{
        LinkOpen,          LinkClose,         LinkWrite,       LinkRead,  LinkSetTimeouts,
        LinkGetProperties, LinkSetProperties, LinkGetTimeouts, LinkDrain, LinkWait};
    return backend;
}

CPortManager& CPortManager::Instance() {
    // Never destroyed: device objects may still be closing while the library unloads.
    static CPortManager* manager = new CPortManager();
    return *manager;
}

CPortEntry::CPortEntry(const PortBackend& backend, const std::string& portName,
                       const std::string& modelKey, LONG kind)
    : kind(kind), monitor(backend, io) {
    io.portName = portName;
    io.modelKey = modelKey;
}

CPortManager::CPortManager() : backend_(LinkPortBackend()) {}
CPortManager::CPortManager(const PortBackend& backend) : backend_(backend) {}

CPortManager::~CPortManager() {
    // A table destroyed with ports open (a test's own manager) ends their monitors and
    // closes them.
    for (auto& entry : entries_) {
        entry->monitor.Stop();
        std::lock_guard<std::mutex> io(entry->io.ioLock);
        if (entry->io.handle != INVALID_HANDLE_VALUE)
            backend_.close(entry->io.handle);
        entry->io.handle = INVALID_HANDLE_VALUE;
    }
}

bool CPortManager::SamePortName(const std::string& a, const std::string& b) {
    return thermpos::portname::SamePort(a, b);
}

LONG CPortManager::MapSystemError(LONG systemError) {
    switch (systemError) {
        case ERROR_SUCCESS:
            return OPOS_SUCCESS;
        case ERROR_NOT_READY:
            return OPOS_E_OFFLINE;
        case ERROR_BUSY:
        case ERROR_TIMEOUT:
            return OPOS_E_TIMEOUT;
        case ERROR_DEVICE_NOT_CONNECTED:
            return OPOS_E_NOHARDWARE;
        default:
            return OPOS_E_FAILURE;
    }
}

std::shared_ptr<CPortEntry> CPortManager::FindEntryLocked(const std::string& portName) const {
    for (const auto& entry : entries_)
        if (!entry->opening && !entry->closing && SamePortName(entry->io.portName, portName))
            return entry;
    return nullptr;
}

std::shared_ptr<CPortEntry> CPortManager::FindEntry(const std::string& portName) const {
    std::lock_guard<std::mutex> lock(tableLock_);
    return FindEntryLocked(portName);
}

std::size_t CPortManager::OpenPortCount() const {
    std::lock_guard<std::mutex> lock(tableLock_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return !e->opening; }));
}

LONG CPortManager::AcquirePort(const std::string& portName, LONG kind, PortBinding* binding,
                               const std::string& modelKey) {
    if (portName.empty() || binding == nullptr ||
        (kind != PortKindSharable && kind != PortKindExclusive))
        return OPOS_E_FAILURE;

    std::unique_lock<std::mutex> lock(tableLock_);
    for (;;) {
        // A port being opened by another thread: wait for that open to finish, then
        // share its entry or, if it failed, try ourselves. A port being closed: wait
        // until it is, since a port opened exclusively cannot be opened twice.
        auto busy = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) {
            return (e->opening || e->closing) && SamePortName(e->io.portName, portName);
        });
        if (busy == entries_.end())
            break;
        std::shared_ptr<CPortEntry> waitFor = *busy;
        tableChanged_.wait(lock, [&] {
            return !waitFor->opening &&
                   (!waitFor->closing ||
                    std::find(entries_.begin(), entries_.end(), waitFor) == entries_.end());
        });
    }

    if (std::shared_ptr<CPortEntry> entry = FindEntryLocked(portName)) {
        if (kind == PortKindExclusive && entry->exclusiveBinding != -1)
            return OPOS_E_CLAIMED;
        BindLocked(*entry, kind, binding);
        return OPOS_SUCCESS;
    }

    // Opening can take a second (the port library's settle time); other ports stay usable
    // meanwhile because the table lock is not held across it.
    auto entry = std::make_shared<CPortEntry>(backend_, portName, modelKey, kind);
    entry->opening = true;
    entries_.push_back(entry);
    lock.unlock();

    HANDLE handle = INVALID_HANDLE_VALUE;
    int opened = backend_.open(portName.c_str(), &handle, modelKey.c_str());

    lock.lock();
    entry->opening = false;
    LONG result = OPOS_SUCCESS;
    if (opened != 1 || handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        entries_.erase(std::find(entries_.begin(), entries_.end(), entry));
        result = OPOS_E_FAILURE;
    } else {
        {
            std::lock_guard<std::mutex> io(entry->io.ioLock);
            entry->io.handle = handle;
        }
        BindLocked(*entry, kind, binding);
    }
    lock.unlock();
    tableChanged_.notify_all();
    return result;
}

void CPortManager::BindLocked(CPortEntry& entry, LONG kind, PortBinding* binding) {
    const LONG id = ++entry.lastBindingId;
    entry.liveBindings.push_back(id);
    if (kind == PortKindExclusive)
        entry.exclusiveBinding = id;
    {
        // The monitor replaces the handle of a USB port that it reopens.
        std::lock_guard<std::mutex> io(entry.io.ioLock);
        binding->handle = entry.io.handle;
    }
    binding->id = id;
    binding->portName = entry.io.portName;
}

LONG CPortManager::ReleasePort(PortBinding* binding) {
    if (binding == nullptr || binding->IsBad())
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry;
    bool lastBinding = false;
    {
        std::lock_guard<std::mutex> lock(tableLock_);
        entry = FindEntryLocked(binding->portName);
        if (!entry)
            return OPOS_E_ILLEGAL;
        auto live = std::find(entry->liveBindings.begin(), entry->liveBindings.end(), binding->id);
        if (live == entry->liveBindings.end())
            return OPOS_E_ILLEGAL;
        entry->liveBindings.erase(live);
        if (entry->exclusiveBinding == binding->id)
            entry->exclusiveBinding = -1;
        // The port stays open while another device still holds a binding: closing it
        // under that device would leave it writing to a closed (or reused) handle.
        lastBinding = entry->liveBindings.empty();
        if (lastBinding)
            entry->closing = true;
    }
    binding->handle = INVALID_HANDLE_VALUE;

    // Waited for without the table lock: ending the monitor waits for its cycle, which
    // can take a write time-out.
    const bool noQueries = entry->monitor.RemoveBinding(binding->id);
    if (lastBinding && !noQueries)
        entry->monitor.Stop();

    if (lastBinding) {
        {
            std::lock_guard<std::mutex> io(entry->io.ioLock);
            if (entry->io.handle != INVALID_HANDLE_VALUE)
                backend_.close(entry->io.handle);
            entry->io.handle = INVALID_HANDLE_VALUE;
        }
        {
            std::lock_guard<std::mutex> lock(tableLock_);
            entries_.erase(std::find(entries_.begin(), entries_.end(), entry));
        }
        tableChanged_.notify_all();
    }
    return OPOS_SUCCESS;
}

LONG CPortManager::WritePort(const PortBinding& binding, const void* data, LONG length,
                             LONG* written) {
    if (written)
        *written = 0;
    if (binding.IsBad() || data == nullptr || length < 0)
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_ILLEGAL;
    int count = 0;
    int rc;
    HANDLE handle;
    {
        std::lock_guard<std::mutex> io(entry->io.ioLock);
        handle = entry->io.handle;
        if (handle == INVALID_HANDLE_VALUE)
            return OPOS_E_FAILURE;
        rc = backend_.write(handle, data, length, &count);
    }
    if (written)
        *written = count;
    // Written is not yet sent: a printer unplugged now would take the bytes still queued
    // with it, and the caller would report a job printed that never was. The wait is made
    // without the I/O lock, so the monitor keeps reading status meanwhile; if the monitor
    // replaces a handle that went away, this one is closed and the wait ends with its error.
    if (rc == ERROR_SUCCESS && length > 0 && backend_.drain != nullptr)
        rc = backend_.drain(handle);
    return MapSystemError(rc);
}

LONG CPortManager::ReadPort(const PortBinding& binding, void* buffer, LONG* length) {
    if (binding.IsBad() || buffer == nullptr || length == nullptr || *length <= 0)
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_ILLEGAL;
    int count = 0;
    int rc;
    {
        std::lock_guard<std::mutex> io(entry->io.ioLock);
        if (entry->io.handle == INVALID_HANDLE_VALUE)
            return OPOS_E_FAILURE;
        rc = backend_.read(entry->io.handle, buffer, *length, &count);
    }
    *length = std::clamp<LONG>(count, 0, *length);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)
        return OPOS_SUCCESS;
    return OPOS_E_FAILURE;
}

void CPortManager::WaitForInput(const PortBinding& binding, DWORD timeoutMs, DWORD fallbackMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fallbackMs);
    std::shared_ptr<CPortEntry> entry = binding.IsBad() ? nullptr : FindEntry(binding.portName);
    if (entry && backend_.waitInput != nullptr) {
        HANDLE handle;
        {
            std::lock_guard<std::mutex> io(entry->io.ioLock);
            handle = entry->io.handle;
        }
        // The wait keeps the device open; a handle closed meanwhile ends it at once.
        if (handle != INVALID_HANDLE_VALUE) {
            const DWORD r = backend_.waitInput(handle, -1, timeoutMs);
            if (r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT)
                return;
        }
    }
    std::this_thread::sleep_until(until);
}

LONG CPortManager::AddStatusListener(const PortBinding& binding, CStatusInterpreter* interpreter,
                                     LONG interval, const MonitorProfile* profile) {
    if (binding.IsBad() || interpreter == nullptr)
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry;
    {
        std::lock_guard<std::mutex> lock(tableLock_);
        entry = FindEntryLocked(binding.portName);
        if (!entry)
            return OPOS_E_ILLEGAL;
        // A released binding's listener would never be removed and would outlive its
        // interpreter.
        if (std::find(entry->liveBindings.begin(), entry->liveBindings.end(), binding.id) ==
            entry->liveBindings.end())
            return OPOS_E_FAILURE;
    }
    return entry->monitor.Add(interpreter, binding.id, interval, profile);
}

LONG CPortManager::PauseMonitor(const PortBinding& binding, CMonitorPause* pause) {
    if (binding.IsBad() || pause == nullptr)
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_ILLEGAL;
    *pause = entry->monitor.Pause(entry);
    return OPOS_SUCCESS;
}

bool CPortManager::MonitorRunning(const std::string& portName) const {
    std::shared_ptr<CPortEntry> entry = FindEntry(portName);
    return entry && entry->monitor.Running();
}

LONG CPortManager::SetPortTimeouts(const PortBinding& binding, DWORD readInterval,
                                   DWORD readMultiplier, DWORD readConstant, DWORD writeMultiplier,
                                   DWORD writeConstant) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_FAILURE;
    int ok;
    {
        std::lock_guard<std::mutex> io(entry->io.ioLock);
        ok = backend_.setTimeouts(entry->io.handle, readInterval, readMultiplier, readConstant,
                                  writeMultiplier, writeConstant);
        if (ok == 1) {
            entry->io.timeouts = COMMTIMEOUTS{readInterval, readMultiplier, readConstant,
                                              writeMultiplier, writeConstant};
            entry->io.haveTimeouts = true;
        }
    }
    // USB printer ports have no time-outs to set; their refusal is expected.
    if (ok != 1 &&
        thermpos::portname::KindFoundIn(entry->io.portName) != thermpos::portname::PortKind::Usb)
        return OPOS_E_FAILURE;
    return OPOS_SUCCESS;
}

int CPortManager::GetPortProperties(const PortBinding& binding, DCB* dcb) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry || dcb == nullptr)
        return 0;
    std::lock_guard<std::mutex> io(entry->io.ioLock);
    return backend_.getProperties(entry->io.handle, dcb);
}

int CPortManager::SetPortProperties(const PortBinding& binding, const DCB& dcb) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return 0;
    std::lock_guard<std::mutex> io(entry->io.ioLock);
    const int ok = backend_.setProperties(entry->io.handle, &dcb);
    if (ok == 1) {
        entry->io.dcb = dcb;
        entry->io.haveDcb = true;
    }
    return ok;
}

}  // namespace thermpos::so
