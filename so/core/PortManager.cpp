// The port table. Lock order and what each lock guards: see PortManager.h.
#include "so/core/PortManager.h"

#include <strings.h>
#include <algorithm>
#include <cstring>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "platform/portname.h"
#include "portlib/LinkPort.h"
#include "so/core/StatusInterpreter.h"

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

LONG ListenerBindingId(const CStatusInterpreter* interpreter) {
    return interpreter->BindingId();
}

}  // namespace

const PortBackend& LinkPortBackend() {
    static const PortBackend backend{LinkOpen,          LinkClose,       LinkWrite,
                                     LinkRead,          LinkSetTimeouts, LinkGetProperties,
                                     LinkSetProperties, LinkGetTimeouts};
    return backend;
}

CPortManager& CPortManager::Instance() {
    // Never destroyed: device objects may still be closing while the library unloads.
    static CPortManager* manager = new CPortManager();
    return *manager;
}

CPortManager::CPortManager() : backend_(LinkPortBackend()) {}
CPortManager::CPortManager(const PortBackend& backend) : backend_(backend) {}

CPortManager::~CPortManager() {
    // A table destroyed with ports open (a test's own manager) ends their monitors and
    // closes them.
    for (auto& entry : entries_) {
        {
            std::lock_guard<std::mutex> thread(entry->threadLock);
            StopMonitorLocked(entry.get());
        }
        if (entry->handle != INVALID_HANDLE_VALUE)
            backend_.close(entry->handle);
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
        if (!entry->opening && !entry->closing && SamePortName(entry->portName, portName))
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
            return (e->opening || e->closing) && SamePortName(e->portName, portName);
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
        LONG id = ++entry->referenceCount;
        entry->liveBindings.push_back(id);
        if (kind == PortKindExclusive)
            entry->exclusiveBinding = id;
        {
            // The monitor replaces the handle of a USB port that it reopens.
            std::lock_guard<std::mutex> io(entry->ioLock);
            binding->handle = entry->handle;
        }
        binding->id = id;
        binding->portName = entry->portName;
        return OPOS_SUCCESS;
    }

    // Opening can take a second (the port library's settle time); other ports stay usable
    // meanwhile because the table lock is not held across it.
    auto entry = std::make_shared<CPortEntry>();
    entry->portName = portName;
    entry->modelKey = modelKey;
    entry->kind = kind;
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
        entry->handle = handle;
        LONG id = ++entry->referenceCount;
        entry->liveBindings.push_back(id);
        if (kind == PortKindExclusive)
            entry->exclusiveBinding = id;
        binding->handle = handle;
        binding->id = id;
        binding->portName = entry->portName;
    }
    lock.unlock();
    tableChanged_.notify_all();
    return result;
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

    {
        std::lock_guard<std::mutex> thread(entry->threadLock);
        bool noQueries;
        {
            std::lock_guard<std::mutex> monitor(entry->monitorLock);
            for (auto& query : entry->queries) {
                auto& l = query->listeners;
                l.erase(std::remove_if(l.begin(), l.end(),
                                       [&](CStatusInterpreter* i) {
                                           return ListenerBindingId(i) == binding->id;
                                       }),
                        l.end());
            }
            auto& q = entry->queries;
            q.erase(std::remove_if(q.begin(), q.end(),
                                   [](const auto& query) { return query->listeners.empty(); }),
                    q.end());
            noQueries = q.empty();
        }
        // Waited for without the table lock: a cycle can take a write time-out.
        if (noQueries || lastBinding)
            StopMonitorLocked(entry.get());
    }

    if (lastBinding) {
        {
            std::lock_guard<std::mutex> io(entry->ioLock);
            if (entry->handle != INVALID_HANDLE_VALUE)
                backend_.close(entry->handle);
            entry->handle = INVALID_HANDLE_VALUE;
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
    {
        std::lock_guard<std::mutex> io(entry->ioLock);
        if (entry->handle == INVALID_HANDLE_VALUE)
            return OPOS_E_FAILURE;
        rc = backend_.write(entry->handle, data, length, &count);
    }
    if (written)
        *written = count;
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
        std::lock_guard<std::mutex> io(entry->ioLock);
        if (entry->handle == INVALID_HANDLE_VALUE)
            return OPOS_E_FAILURE;
        rc = backend_.read(entry->handle, buffer, *length, &count);
    }
    *length = std::clamp<LONG>(count, 0, *length);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)
        return OPOS_SUCCESS;
    return OPOS_E_FAILURE;
}

LONG CPortManager::SuspendMonitor(const PortBinding& binding) {
    if (binding.IsBad())
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_ILLEGAL;
    entry->monitorLock.lock();
    return OPOS_SUCCESS;
}

LONG CPortManager::ResumeMonitor(const PortBinding& binding) {
    if (binding.IsBad())
        return OPOS_E_FAILURE;
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_ILLEGAL;
    entry->monitorLock.unlock();
    return OPOS_SUCCESS;
}

LONG CPortManager::SetPortTimeouts(const PortBinding& binding, DWORD readInterval,
                                   DWORD readMultiplier, DWORD readConstant, DWORD writeMultiplier,
                                   DWORD writeConstant) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return OPOS_E_FAILURE;
    int ok;
    {
        std::lock_guard<std::mutex> io(entry->ioLock);
        ok = backend_.setTimeouts(entry->handle, readInterval, readMultiplier, readConstant,
                                  writeMultiplier, writeConstant);
    }
    // USB printer ports have no time-outs to set; their refusal is expected.
    if (ok != 1 &&
        thermpos::portname::KindFoundIn(entry->portName) != thermpos::portname::PortKind::Usb)
        return OPOS_E_FAILURE;
    return OPOS_SUCCESS;
}

int CPortManager::GetPortProperties(const PortBinding& binding, DCB* dcb) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry || dcb == nullptr)
        return 0;
    std::lock_guard<std::mutex> io(entry->ioLock);
    return backend_.getProperties(entry->handle, dcb);
}

int CPortManager::SetPortProperties(const PortBinding& binding, const DCB& dcb) {
    std::shared_ptr<CPortEntry> entry = FindEntry(binding.portName);
    if (!entry)
        return 0;
    std::lock_guard<std::mutex> io(entry->ioLock);
    return backend_.setProperties(entry->handle, &dcb);
}
