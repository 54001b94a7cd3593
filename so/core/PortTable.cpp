// The port table. Lock order and what each lock guards: see PortTable.h.
#include "so/core/PortTable.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "platform/portname.h"
#include "so/core/PortNameKind.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

CPortManager& CPortManager::Instance() {
    // Never destroyed: device objects may still be closing while the library unloads.
    static CPortManager* manager = new CPortManager();
    return *manager;
}

CPortEntry::CPortEntry(PortLibrary& library, const std::string& portName,
                       const std::string& modelKey, LONG kind, MonitoredPort monitoredKind)
    : io(portName, modelKey), kind(kind), monitor(library, io, monitoredKind) {}

CPortManager::CPortManager() : library_(LinkPortLibrary()) {}
CPortManager::CPortManager(PortLibrary& library) : library_(library) {}

CPortManager::~CPortManager() {
    // A table destroyed with ports open (a test's own manager) ends their monitors and
    // closes them.
    for (auto& entry : entries_) {
        entry->monitor.Stop();
        thermpos::platform::MutexLock io(entry->io.ioLock);
        if (entry->io.handle != INVALID_HANDLE_VALUE)
            (void)library_.Close(entry->io.handle);
        entry->io.handle = INVALID_HANDLE_VALUE;
    }
}

bool CPortManager::SamePortName(const std::string& a, const std::string& b) {
    return thermpos::platform::portname::SamePort(a, b);
}

LONG CPortManager::OposResult(SystemError error, Transfer transfer) {
    if (transfer == Transfer::Read)
        return error == SystemError::Success || error == SystemError::MoreData ? OPOS_SUCCESS
                                                                               : OPOS_E_FAILURE;
    switch (error) {
        case SystemError::Success:
            return OPOS_SUCCESS;
        case SystemError::NotReady:
            return OPOS_E_OFFLINE;
        case SystemError::Busy:
        case SystemError::Timeout:
            return OPOS_E_TIMEOUT;
        case SystemError::DeviceNotConnected:
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
    thermpos::platform::MutexLock lock(tableLock_);
    return FindEntryLocked(portName);
}

std::size_t CPortManager::OpenPortCount() const {
    thermpos::platform::MutexLock lock(tableLock_);
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return !e->opening; }));
}

LONG CPortManager::AcquirePort(const std::string& portName, LONG kind, PortBinding* binding,
                               const std::string& modelKey) {
    if (portName.empty() || binding == nullptr ||
        (kind != PortKindSharable && kind != PortKindExclusive))
        return OPOS_E_FAILURE;
    // Read before the table lock is taken: it looks at the registry's Ports map.
    const MonitoredPort monitoredKind = ClassifyMonitoredPort(portName);

    thermpos::platform::UniqueLock lock(tableLock_);
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
        tableChanged_.wait(lock.Std(), [&]() REQUIRES(tableLock_) {
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
    auto entry = std::make_shared<CPortEntry>(library_, portName, modelKey, kind, monitoredKind);
    entry->opening = true;
    entries_.push_back(entry);
    lock.Unlock();

    HANDLE handle = INVALID_HANDLE_VALUE;
    const SystemError opened = library_.Open(portName, modelKey, &handle);

    lock.Lock();
    entry->opening = false;
    LONG result = OPOS_SUCCESS;
    if (opened != SystemError::Success || handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        entries_.erase(std::find(entries_.begin(), entries_.end(), entry));
        result = OPOS_E_FAILURE;
    } else {
        {
            thermpos::platform::MutexLock io(entry->io.ioLock);
            entry->io.handle = handle;
        }
        BindLocked(*entry, kind, binding);
    }
    lock.Unlock();
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
        thermpos::platform::MutexLock io(entry.io.ioLock);
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
        thermpos::platform::MutexLock lock(tableLock_);
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
            thermpos::platform::MutexLock io(entry->io.ioLock);
            if (entry->io.handle != INVALID_HANDLE_VALUE)
                (void)library_.Close(entry->io.handle);
            entry->io.handle = INVALID_HANDLE_VALUE;
        }
        {
            thermpos::platform::MutexLock lock(tableLock_);
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
    SystemError rc;
    HANDLE handle;
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        handle = entry->io.handle;
        if (handle == INVALID_HANDLE_VALUE)
            return OPOS_E_FAILURE;
        rc = library_.Write(handle, data, length, &count);
    }
    if (written)
        *written = count;
    // Written is not yet sent: a printer unplugged now would take the bytes still queued
    // with it, and the caller would report a job printed that never was. The wait is made
    // without the I/O lock, so the monitor keeps reading status meanwhile; if the monitor
    // replaces a handle that went away, this one is closed and the wait ends with its error.
    if (rc == SystemError::Success && length > 0)
        rc = library_.Drain(handle);
    return OposResult(rc, Transfer::Write);
}

LONG CPortManager::ReadPort(const PortBinding& binding, void* buffer, LONG* length) {
    if (binding.IsBad() || buffer == nullptr || length == nullptr || *length <= 0)
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_ILLEGAL;
    int count = 0;
    SystemError rc;
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        if (entry->io.handle == INVALID_HANDLE_VALUE)
            return OPOS_E_FAILURE;
        rc = library_.Read(entry->io.handle, buffer, *length, &count);
    }
    *length = std::clamp<LONG>(count, 0, *length);
    return OposResult(rc, Transfer::Read);
}

void CPortManager::WaitForInput(const PortBinding& binding, DWORD timeoutMs, DWORD fallbackMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fallbackMs);
    std::shared_ptr<CPortEntry> entry = binding.IsBad() ? nullptr : FindEntry(binding.portName);
    if (entry && library_.CanWait()) {
        HANDLE handle;
        {
            thermpos::platform::MutexLock io(entry->io.ioLock);
            handle = entry->io.handle;
        }
        // The wait keeps the device open; a handle closed meanwhile ends it at once.
        if (handle != INVALID_HANDLE_VALUE) {
            const PortWait r = library_.WaitInput(handle, -1, timeoutMs);
            if (r == PortWait::Input || r == PortWait::TimedOut)
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
        thermpos::platform::MutexLock lock(tableLock_);
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
    const COMMTIMEOUTS timeouts{readInterval, readMultiplier, readConstant, writeMultiplier,
                                writeConstant};
    SystemError rc;
    {
        thermpos::platform::MutexLock io(entry->io.ioLock);
        rc = library_.SetTimeouts(entry->io.handle, timeouts);
        if (rc == SystemError::Success) {
            entry->io.timeouts = timeouts;
            entry->io.haveTimeouts = true;
        }
    }
    // USB printer ports have no time-outs to set; their refusal is expected.
    if (rc != SystemError::Success &&
        KindFoundIn(entry->io.portName) != thermpos::platform::portname::PortKind::Usb)
        return OPOS_E_FAILURE;
    return OPOS_SUCCESS;
}

int CPortManager::GetPortProperties(const PortBinding& binding, DCB* dcb) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry || dcb == nullptr)
        return 0;
    thermpos::platform::MutexLock io(entry->io.ioLock);
    return library_.GetProperties(entry->io.handle, dcb) == SystemError::Success ? 1 : 0;
}

int CPortManager::SetPortProperties(const PortBinding& binding, const DCB& dcb) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return 0;
    thermpos::platform::MutexLock io(entry->io.ioLock);
    if (library_.SetProperties(entry->io.handle, dcb) != SystemError::Success)
        return 0;
    entry->io.dcb = dcb;
    entry->io.haveDcb = true;
    return 1;
}

}  // namespace thermpos::so
