// The status monitor of a port: one thread per open port that keeps the status request
// running and hands what the printer sends back to the listening interpreters.
//
// Threads: AddStatusListener (a device enabling, on the application's thread) starts the
// port's monitor thread; the thread runs MonitorMain until ReleasePort or the table's
// destructor sets the stop event and joins it. Locks (order as in PortManager.h): the
// entry's threadLock around start and stop, the monitorLock around one polling cycle
// (and around listener changes), the ioLock around each group of port calls. Interpreters
// are called with the monitorLock held and the ioLock released; they take the devices'
// queue locks only.
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "platform/portname.h"
#include "so/core/PortManager.h"
#include "so/core/StatusInterpreter.h"

namespace {

constexpr int kReadSize = 64;
// The write time-out of a status request (multiplier MAXDWORD, constant in ms).
constexpr DWORD kRequestWriteConstant = 2000;
// The device core's own time-outs, restored when the backend cannot report the port's.
constexpr COMMTIMEOUTS kCoreTimeouts{MAXDWORD, 0, 0, MAXDWORD, 2000};

enum class PortType { Other, Usb, Parallel, Serial };

// System errors of the error table without a name in win32.h.
constexpr int kErrorInvalidFunction = 1;
constexpr int kErrorCrc = 23;

PortType Classify(const std::string& name) {
    // The configured Port value's kind, as the port manager and the setup utility see it.
    switch (thermpos::portname::KindFoundIn(name)) {
        case thermpos::portname::PortKind::Usb:
            return PortType::Usb;
        case thermpos::portname::PortKind::Parallel:
            return PortType::Parallel;
        case thermpos::portname::PortKind::Serial:
            return PortType::Serial;
        default:
            return PortType::Other;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Starting and ending

LONG CPortManager::AddStatusListener(const PortBinding& binding, CStatusInterpreter* interpreter,
                                     LONG interval) {
    if (binding.IsBad() || interpreter == nullptr || interpreter->Command().empty())
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

    std::lock_guard<std::mutex> thread(entry->threadLock);
    if (!entry->monitorThread.joinable()) {
        entry->stopEvent.Reset();
        entry->exitEvent.Reset();
        // An interval of 0 from the registry would make the thread spin.
        entry->pollInterval = static_cast<DWORD>(std::max<LONG>(interval, 1));
        try {
            entry->monitorThread = std::thread(&CPortManager::MonitorMain, this, entry.get());
        } catch (const std::system_error&) {
            return OPOS_E_FAILURE;
        }
    }

    std::lock_guard<std::mutex> monitor(entry->monitorLock);
    interpreter->SetBindingId(binding.id);
    try {
        for (auto& query : entry->queries) {
            if (query->command == interpreter->Command()) {
                query->listeners.push_back(interpreter);
                return OPOS_SUCCESS;
            }
        }
        auto query = std::make_unique<CStatusQuery>();
        query->command = interpreter->Command();
        query->listeners.push_back(interpreter);
        query->repeatFlag = interpreter->RepeatFlag();
        entry->queries.push_back(std::move(query));
    } catch (const std::bad_alloc&) {
        return OPOS_E_FAILURE;
    }
    return OPOS_SUCCESS;
}

void CPortManager::StopMonitorLocked(CPortEntry* entry) {
    if (!entry->monitorThread.joinable())
        return;
    entry->stopEvent.Set();
    entry->monitorThread.join();
    entry->stopEvent.Reset();
    entry->exitEvent.Reset();
}

bool CPortManager::MonitorRunning(const std::string& portName) const {
    std::shared_ptr<CPortEntry> entry = FindEntry(portName);
    if (!entry)
        return false;
    std::lock_guard<std::mutex> thread(entry->threadLock);
    return entry->monitorThread.joinable() && !entry->exitEvent.IsSet();
}

// ---------------------------------------------------------------------------------------
// The thread

namespace {

// One port's polling state on its monitor thread.
class MonitorCycle {
  public:
    MonitorCycle(const PortBackend& backend, CPortEntry& entry)
        : io_(backend), entry_(entry), type_(Classify(entry.portName)) {
        rtk410_ = strcasecmp(entry.modelKey.c_str(), "QMXRT-K410") == 0;
        rtk6100_ = strcasecmp(entry.modelKey.c_str(), "TALVERNRT-K6100") == 0;
    }

    // One query's write, read and dispatch; the caller holds the monitor lock.
    void Process(CStatusQuery& query);

  private:
    bool Usb() const { return type_ == PortType::Usb; }
    // Saves a serial or parallel port's time-outs into saved_, then sets them as adjust
    // changes them for one step (USB ports have none); false when the port refuses them.
    // The caller holds the I/O lock.
    template <typename Adjust>
    bool SetStepTimeouts(Adjust adjust) {
        if (Usb())
            return true;
        saved_ = kCoreTimeouts;
        COMMTIMEOUTS now{};
        if (io_.getTimeouts != nullptr && io_.getTimeouts(entry_.handle, &now) == 1)
            saved_ = now;
        COMMTIMEOUTS t = saved_;
        adjust(t);
        return SetTimeouts(t) == 1;
    }
    int SetTimeouts(const COMMTIMEOUTS& t) {
        return io_.setTimeouts(entry_.handle, t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                               t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                               t.WriteTotalTimeoutConstant);
    }
    int WriteCommand(const CStatusQuery& query, int* written) {
        return io_.write(entry_.handle, query.command.data(),
                         static_cast<int>(query.command.size()), written);
    }
    // The error table: reopen a vanished USB port, or tell the listeners.
    void HandleError(CStatusQuery& query, int error);
    void Notify(CStatusQuery& query, LONG code);
    void Dispatch(CStatusQuery& query, const BYTE* data, LONG length);

    const PortBackend& io_;
    CPortEntry& entry_;
    const PortType type_;
    bool rtk410_ = false;
    bool rtk6100_ = false;
    bool forceWrite_ = false;
    bool hold_ = false;
    COMMTIMEOUTS saved_{};
    BYTE buffer_[kReadSize] = {};
};

void MonitorCycle::Process(CStatusQuery& query) {
    // Write step.
    if ((!query.command.empty() && (!query.awaitingReply || query.repeatFlag == 0)) ||
        forceWrite_) {
        int rc = ERROR_SUCCESS;
        int written = 0;
        {
            std::lock_guard<std::mutex> io(entry_.ioLock);
            const bool ready = SetStepTimeouts([](COMMTIMEOUTS& t) {
                t.WriteTotalTimeoutMultiplier = MAXDWORD;
                t.WriteTotalTimeoutConstant = kRequestWriteConstant;
            });
            if (ready) {
                if (hold_) {
                    query.awaitingReply = true;
                } else {
                    rc = WriteCommand(query, &written);
                    forceWrite_ = false;
                }
                if (!Usb())
                    SetTimeouts(saved_);
                if (rc == ERROR_SUCCESS && written > 0)
                    query.awaitingReply = true;
            }
        }
        if (rc != ERROR_SUCCESS) {
            HandleError(query, rc);
            query.awaitingReply = query.resend == 0;
            return;
        }
    }

    // Read step.
    int error = ERROR_SUCCESS;
    if (query.awaitingReply) {
        std::memset(buffer_, 0, sizeof buffer_);
        int count = 0;
        {
            std::lock_guard<std::mutex> io(entry_.ioLock);
            const bool ready = SetStepTimeouts([](COMMTIMEOUTS& t) {
                t.ReadIntervalTimeout = MAXDWORD;
                t.ReadTotalTimeoutMultiplier = 0;
                t.ReadTotalTimeoutConstant = 0;
            });
            if (ready) {
                error = io_.read(entry_.handle, buffer_, kReadSize, &count);
                count = std::clamp(count, 0, kReadSize);
                if (Usb() || (type_ == PortType::Serial && rtk6100_))
                    forceWrite_ = true;
                if (type_ == PortType::Parallel && (rtk410_ || rtk6100_)) {
                    int written = 0;
                    error = WriteCommand(query, &written);
                }
                if (!Usb())
                    SetTimeouts(saved_);
            }
        }

        if (Usb()) {
            if (count == 0 && buffer_[0] != 0)
                count = 4;
        } else if (count > 0 && type_ == PortType::Serial) {
            if (rtk410_) {
                forceWrite_ = true;
            } else if (buffer_[0] == 0x3C && buffer_[1] == 0x00) {
                hold_ = true;
                std::lock_guard<std::mutex> io(entry_.ioLock);
                int written = 0;
                (void)WriteCommand(query, &written);
            } else if ((buffer_[0] == 0x3C && buffer_[1] == 0x20) || buffer_[0] == 0x14 ||
                       buffer_[0] == 0x1C || buffer_[0] == 0x34) {
                hold_ = false;
            }
        }
        if (count > 0) {
            error = ERROR_SUCCESS;
            // Dispatched below in this same cycle: a reply never exceeds one read.
            query.reply.append(reinterpret_cast<const char*>(buffer_), count);
        }
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            HandleError(query, error);
            query.awaitingReply = query.resend == 0;
            return;
        }
    }

    // Dispatch step.
    if (!query.reply.empty()) {
        std::string reply;
        reply.swap(query.reply);
        Dispatch(query, reinterpret_cast<const BYTE*>(reply.data()),
                 static_cast<LONG>(reply.size()));
    }
    query.awaitingReply = query.resend == 0;
}

void MonitorCycle::Dispatch(CStatusQuery& query, const BYTE* data, LONG length) {
    query.resend = 0;
    for (CStatusInterpreter* listener : query.listeners) {
        LONG resend = 0;
        bool handled = listener->Interpret(data, length, &resend);
        if (resend != 0)
            query.resend = resend;
        if (!handled)
            break;
    }
}

void MonitorCycle::Notify(CStatusQuery& query, LONG code) {
    Dispatch(query, nullptr, code);
}

void MonitorCycle::HandleError(CStatusQuery& query, int error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case kErrorCrc:
        case ERROR_IO_DEVICE: {
            if (!Usb())
                return;
            // A USB printer that was unplugged comes back under a new device node; the
            // registry walk of the open finds it again by its model key.
            int opened;
            {
                std::lock_guard<std::mutex> io(entry_.ioLock);
                if (entry_.handle != INVALID_HANDLE_VALUE)
                    io_.close(entry_.handle);
                entry_.handle = INVALID_HANDLE_VALUE;
                HANDLE handle = INVALID_HANDLE_VALUE;
                opened = io_.open(entry_.portName.c_str(), &handle, entry_.modelKey.c_str());
                if (opened == 1 && handle != nullptr && handle != INVALID_HANDLE_VALUE)
                    entry_.handle = handle;
                else
                    opened = 0;
            }
            if (opened != 1)
                Notify(query, kNotifyPowerOff);
            return;
        }
        case kErrorInvalidFunction:
        case ERROR_DEVICE_NOT_CONNECTED:
            Notify(query, kNotifyPowerOff);
            return;
        case ERROR_NOT_READY:
            Notify(query, kNotifyOffline);
            return;
        case ERROR_OUT_OF_PAPER:
            Notify(query, kNotifyPaperEmpty);
            return;
        default:
            return;
    }
}

}  // namespace

void CPortManager::MonitorMain(CPortEntry* entry) {
    MonitorCycle cycle(backend_, *entry);
    while (entry->stopEvent.Wait(entry->pollInterval) == thermpos::WAIT_TIMEOUT) {
        std::lock_guard<std::mutex> monitor(entry->monitorLock);
        for (auto& query : entry->queries)
            cycle.Process(*query);
    }
    entry->exitEvent.Set();
}
