// The status monitor of a port. Thread and lock order: see StatusMonitor.h.
#include "so/core/StatusMonitor.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "platform/devfile.h"
#include "platform/portname.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

namespace {

constexpr int kReadSize = 64;
// The write time-out of a status request (multiplier MAXDWORD, constant in ms).
constexpr DWORD kRequestWriteConstant = 2000;
// The device core's own time-outs, restored when the backend cannot report the port's.
constexpr COMMTIMEOUTS kCoreTimeouts{MAXDWORD, 0, 0, MAXDWORD, 2000};

// A port that went away is opened again at most this often, doubling from the first
// delay to the last while it stays away: a COM open alone waits a second, and a network
// printer that is off would otherwise be asked to connect every cycle.
constexpr std::chrono::milliseconds kFirstReopenDelay{100};
constexpr std::chrono::milliseconds kLastReopenDelay{2000};

enum class PortType { Other, Usb, Parallel, Serial, Network };

// System errors of the error table without a name in win32.h.
constexpr int kErrorInvalidFunction = 1;
constexpr int kErrorCrc = 23;

PortType Classify(const std::string& name) {
    // Whatever its name, a port the Ports map sends to the network behaves as one.
    if (thermpos::devfile::IsNetworkPort(name))
        return PortType::Network;
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

// One port's polling state on its monitor thread.
class MonitorCycle {
  public:
    MonitorCycle(const PortBackend& backend, CPortIo& port)
        : io_(backend), port_(port), type_(Classify(port.portName)) {}

    // One query's write, read and dispatch; the caller holds the monitor lock. Without
    // the write step (input arrived before the next write is due) the read step runs
    // whether or not a reply is awaited: the bytes are there, and what they say may make
    // the due write unnecessary.
    // onTime: the cycle runs because its time came, not because input arrived or the
    // thread was woken.
    void Process(CStatusQuery& query, const MonitorProfile& profile, bool writeStep = true,
                 bool onTime = true);

    // Before the queries of a cycle are processed.
    void BeginCycle() { bytesRead_ = false; }
    // Whether a read of this cycle brought bytes.
    bool BytesRead() const { return bytesRead_; }
    // Whether the next cycle writes a request: the write step's own condition. While it
    // holds, cycles follow each other at the poll interval.
    bool WriteDue(const std::vector<std::unique_ptr<CStatusQuery>>& queries) const {
        if (forceWrite_ || holdRewrite_)
            return true;
        return std::any_of(queries.begin(), queries.end(), [](const auto& q) {
            return !q->command.empty() && (!q->awaitingReply || !q->repeat);
        });
    }

  private:
    bool Usb() const { return type_ == PortType::Usb; }
    // Ports whose device can vanish and come back: a USB printer unplugged, a USB-serial
    // adapter behind a COM name unplugged, a network printer that dropped the connection.
    bool Reopens() const {
        return type_ == PortType::Usb || type_ == PortType::Serial || type_ == PortType::Network;
    }
    // Closes the port and opens it by name again, with the devices' settings; the caller
    // holds the I/O lock. False when it cannot be opened (the handle is then invalid).
    bool ReopenLocked();
    // Saves a serial or parallel port's time-outs into saved_, then sets them as adjust
    // changes them for one step (USB ports have none); false when the port refuses them.
    // The caller holds the I/O lock.
    template <typename Adjust>
    bool SetStepTimeoutsLocked(Adjust adjust) {
        if (Usb())
            return true;
        saved_ = kCoreTimeouts;
        COMMTIMEOUTS now{};
        if (io_.getTimeouts != nullptr && io_.getTimeouts(port_.handle, &now) == 1)
            saved_ = now;
        COMMTIMEOUTS t = saved_;
        adjust(t);
        return SetTimeoutsLocked(t) == 1;
    }
    int SetTimeoutsLocked(const COMMTIMEOUTS& t) {
        return io_.setTimeouts(port_.handle, t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                               t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                               t.WriteTotalTimeoutConstant);
    }
    int WriteCommandLocked(const CStatusQuery& query, int* written) {
        return io_.write(port_.handle, query.command.data(), static_cast<int>(query.command.size()),
                         written);
    }
    // The error table: reopen a vanished USB port, or tell the listeners.
    void HandleError(CStatusQuery& query, int error);
    void Notify(CStatusQuery& query, StatusNotification code);
    void Dispatch(CStatusQuery& query, const BYTE* data, LONG length);

    const PortBackend& io_;
    CPortIo& port_;
    const PortType type_;
    bool forceWrite_ = false;
    bool hold_ = false;
    // A hold reply read between cycles: the next cycle writes the request, hold or not.
    bool holdRewrite_ = false;
    bool bytesRead_ = false;
    std::chrono::milliseconds reopenDelay_ = kFirstReopenDelay;
    std::chrono::steady_clock::time_point nextReopen_{};
    COMMTIMEOUTS saved_{};
    BYTE buffer_[kReadSize] = {};
};

void MonitorCycle::Process(CStatusQuery& query, const MonitorProfile& profile, bool writeStep,
                           bool onTime) {
    // A port whose reopen failed has no handle to set time-outs on; the write step would
    // never get to the error that brings the next attempt.
    if (Reopens() && !Usb()) {
        bool gone;
        {
            std::lock_guard<std::mutex> io(port_.ioLock);
            gone = port_.handle == INVALID_HANDLE_VALUE;
        }
        if (gone) {
            HandleError(query, ERROR_INVALID_HANDLE);
            query.awaitingReply = !query.resend;
            return;
        }
    }

    // Write step: only on time. A forced write waits for its cycle too; written the moment
    // a reply was read, each reply would bring the next request at once.
    if (writeStep && ((!query.command.empty() && (!query.awaitingReply || !query.repeat)) ||
                      forceWrite_ || holdRewrite_)) {
        int rc = ERROR_SUCCESS;
        int written = 0;
        {
            std::lock_guard<std::mutex> io(port_.ioLock);
            const bool ready = SetStepTimeoutsLocked([](COMMTIMEOUTS& t) {
                t.WriteTotalTimeoutMultiplier = MAXDWORD;
                t.WriteTotalTimeoutConstant = kRequestWriteConstant;
            });
            if (ready) {
                if (hold_ && !holdRewrite_) {
                    query.awaitingReply = true;
                } else {
                    rc = WriteCommandLocked(query, &written);
                    forceWrite_ = false;
                    holdRewrite_ = false;
                }
                if (!Usb())
                    SetTimeoutsLocked(saved_);
                if (rc == ERROR_SUCCESS && written > 0)
                    query.awaitingReply = true;
            }
        }
        if (rc != ERROR_SUCCESS) {
            HandleError(query, rc);
            query.awaitingReply = !query.resend;
            return;
        }
    }

    // Read step.
    int error = ERROR_SUCCESS;
    if (query.awaitingReply || !writeStep) {
        std::memset(buffer_, 0, sizeof buffer_);
        int count = 0;
        {
            std::lock_guard<std::mutex> io(port_.ioLock);
            const bool ready = SetStepTimeoutsLocked([](COMMTIMEOUTS& t) {
                t.ReadIntervalTimeout = MAXDWORD;
                t.ReadTotalTimeoutMultiplier = 0;
                t.ReadTotalTimeoutConstant = 0;
            });
            if (ready) {
                error = io_.read(port_.handle, buffer_, kReadSize, &count);
                count = std::clamp(count, 0, kReadSize);
                if (Usb() || (type_ == PortType::Serial && profile.rewriteAfterEveryRead))
                    forceWrite_ = true;
                if (type_ == PortType::Parallel && profile.writeAfterParallelRead) {
                    // Right after the read of a cycle that came on time; after a read
                    // that input woke, in the next cycle, for the same reason as the
                    // forced write.
                    if (onTime) {
                        int written = 0;
                        error = WriteCommandLocked(query, &written);
                    } else {
                        forceWrite_ = true;
                    }
                }
                if (!Usb())
                    SetTimeoutsLocked(saved_);
            }
        }

        if (Usb()) {
            if (count == 0 && buffer_[0] != 0)
                count = 4;
        } else if (count > 0 && type_ == PortType::Serial) {
            if (profile.rewriteAfterReply)
                forceWrite_ = true;
            if (profile.holdReplies) {
                if (buffer_[0] == 0x3C && buffer_[1] == 0x00) {
                    // Held: the request goes again after each hold reply, right after the
                    // read of a cycle that came on time, else in the next cycle. Written
                    // the moment input brought the reply, each hold reply would bring the
                    // next request at once, as fast as the line goes.
                    hold_ = true;
                    if (onTime) {
                        std::lock_guard<std::mutex> io(port_.ioLock);
                        int written = 0;
                        (void)WriteCommandLocked(query, &written);
                    } else {
                        holdRewrite_ = true;
                    }
                } else if ((buffer_[0] == 0x3C && buffer_[1] == 0x20) || buffer_[0] == 0x14 ||
                           buffer_[0] == 0x1C || buffer_[0] == 0x34) {
                    hold_ = false;
                }
            }
        }
        if (count > 0) {
            bytesRead_ = true;
            error = ERROR_SUCCESS;
            // Whole blocks are dispatched below in this same cycle; a block still arriving
            // waits for the next reads.
            query.assembler.Feed(buffer_, static_cast<std::size_t>(count), &query.reply);
        }
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            HandleError(query, error);
            query.awaitingReply = !query.resend;
            return;
        }
    }

    // Dispatch step.
    const bool dispatch = !query.reply.empty();
    if (dispatch) {
        std::string reply;
        reply.swap(query.reply);
        Dispatch(query, reinterpret_cast<const BYTE*>(reply.data()),
                 static_cast<LONG>(reply.size()));
    }
    // A read between writes that brought no whole block leaves the query as the last
    // write left it: a request not yet written is still to be written.
    if (writeStep || dispatch)
        query.awaitingReply = !query.resend;
}

bool MonitorCycle::ReopenLocked() {
    // A USB printer that was unplugged comes back under a new device node, found again by
    // the registry walk of the open with its model key; a COM name follows the Ports map
    // to wherever the adapter is now; a network port connects again.
    if (port_.handle != INVALID_HANDLE_VALUE)
        io_.close(port_.handle);
    port_.handle = INVALID_HANDLE_VALUE;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (io_.open(port_.portName.c_str(), &handle, port_.modelKey.c_str()) != 1 ||
        handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    port_.handle = handle;
    // The new handle starts with the system's settings, not the ones the devices chose.
    if (port_.haveDcb)
        (void)io_.setProperties(handle, &port_.dcb);
    if (port_.haveTimeouts) {
        const COMMTIMEOUTS& t = port_.timeouts;
        (void)io_.setTimeouts(handle, t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                              t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                              t.WriteTotalTimeoutConstant);
    }
    return true;
}

void MonitorCycle::Dispatch(CStatusQuery& query, const BYTE* data, LONG length) {
    query.resend = false;
    for (CStatusInterpreter* listener : query.listeners) {
        bool resend = false;
        const bool handled = listener->Interpret(data, length, &resend);
        query.resend = query.resend || resend;
        if (!handled)
            break;
    }
}

void MonitorCycle::Notify(CStatusQuery& query, StatusNotification code) {
    query.resend = false;
    for (CStatusInterpreter* listener : query.listeners) {
        bool resend = false;
        const bool handled = listener->Notify(code, &resend);
        query.resend = query.resend || resend;
        if (!handled)
            break;
    }
}

void MonitorCycle::HandleError(CStatusQuery& query, int error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case kErrorCrc:
        case ERROR_IO_DEVICE: {
            if (!Reopens())
                return;
            const auto now = std::chrono::steady_clock::now();
            bool opened = false;
            if (now >= nextReopen_) {
                std::lock_guard<std::mutex> io(port_.ioLock);
                opened = ReopenLocked();
            }
            if (opened) {
                reopenDelay_ = kFirstReopenDelay;
                nextReopen_ = {};
                // A new device or connection knows nothing of our request: send it again.
                forceWrite_ = true;
                hold_ = false;
                holdRewrite_ = false;
                return;
            }
            if (now >= nextReopen_) {
                nextReopen_ = now + reopenDelay_;
                reopenDelay_ = std::min(reopenDelay_ * 2, kLastReopenDelay);
            }
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

void CStatusBlockAssembler::Feed(const BYTE* data, std::size_t length, std::string* blocks) {
    for (std::size_t i = 0; i < length; ++i) {
        const BYTE b = data[i];
        if ((b & 0x93) == 0x10) {
            partial_[0] = b;
            have_ = 1;
        } else if (have_ > 0 && (b & 0x90) == 0x00) {
            partial_[have_++] = b;
            if (have_ == kBlockSize) {
                blocks->append(reinterpret_cast<const char*>(partial_), kBlockSize);
                have_ = 0;
            }
        }
    }
}

CStatusMonitor::CStatusMonitor(const PortBackend& backend, CPortIo& port)
    : backend_(backend), port_(port) {}

CStatusMonitor::~CStatusMonitor() {
    Stop();
}

LONG CStatusMonitor::Add(CStatusInterpreter* interpreter, LONG bindingId, LONG interval,
                         const MonitorProfile* profile) {
    if (interpreter == nullptr || interpreter->Command().empty())
        return OPOS_E_FAILURE;
    std::lock_guard<std::mutex> thread(threadLock_);
    if (!thread_.joinable()) {
        stopEvent_.Reset();
        exitEvent_.Reset();
        // An interval of 0 from the registry would make the thread spin.
        pollInterval_ = static_cast<DWORD>(std::max<LONG>(interval, 1));
        try {
            thread_ = std::thread(&CStatusMonitor::ThreadMain, this);
        } catch (const std::system_error&) {
            return OPOS_E_FAILURE;
        }
    }

    std::lock_guard<std::mutex> monitor(monitorLock_);
    if (profile != nullptr)
        profile_ = *profile;
    interpreter->SetBindingId(bindingId);
    try {
        for (auto& query : queries_) {
            if (query->command == interpreter->Command()) {
                query->listeners.push_back(interpreter);
                return OPOS_SUCCESS;
            }
        }
        auto query = std::make_unique<CStatusQuery>();
        query->command = interpreter->Command();
        query->listeners.push_back(interpreter);
        query->repeat = interpreter->Repeat();
        queries_.push_back(std::move(query));
    } catch (const std::bad_alloc&) {
        return OPOS_E_FAILURE;
    }
    // A thread waiting for input would otherwise write the new request only when the
    // idle interval ends.
    wake_.Signal();
    return OPOS_SUCCESS;
}

bool CStatusMonitor::RemoveBinding(LONG bindingId) {
    std::lock_guard<std::mutex> thread(threadLock_);
    bool empty;
    {
        std::lock_guard<std::mutex> monitor(monitorLock_);
        for (auto& query : queries_) {
            auto& l = query->listeners;
            l.erase(
                std::remove_if(l.begin(), l.end(),
                               [&](CStatusInterpreter* i) { return i->BindingId() == bindingId; }),
                l.end());
        }
        queries_.erase(std::remove_if(queries_.begin(), queries_.end(),
                                      [](const auto& query) { return query->listeners.empty(); }),
                       queries_.end());
        empty = queries_.empty();
    }
    // Waited for without the monitor lock: the cycle in progress needs it to finish, and
    // can take a write time-out.
    if (empty)
        StopLocked();
    return empty;
}

void CStatusMonitor::Stop() {
    std::lock_guard<std::mutex> thread(threadLock_);
    StopLocked();
}

void CStatusMonitor::StopLocked() {
    if (!thread_.joinable())
        return;
    stopEvent_.Set();
    wake_.Signal();  // after the event, so a thread woken by it finds it set
    thread_.join();
    stopEvent_.Reset();
    exitEvent_.Reset();
    wake_.Drain();
}

CMonitorPause CStatusMonitor::Pause(std::shared_ptr<const void> owner) {
    CMonitorPause pause;
    pause.owner_ = std::move(owner);
    pause.lock_ = std::unique_lock<std::mutex>(monitorLock_);
    return pause;
}

bool CStatusMonitor::Running() const {
    std::lock_guard<std::mutex> thread(threadLock_);
    return thread_.joinable() && !exitEvent_.IsSet();
}

std::vector<std::size_t> CStatusMonitor::ListenerCounts() const {
    std::lock_guard<std::mutex> monitor(monitorLock_);
    std::vector<std::size_t> counts;
    for (const auto& query : queries_)
        counts.push_back(query->listeners.size());
    return counts;
}

MonitorProfile CStatusMonitor::Profile() const {
    std::lock_guard<std::mutex> monitor(monitorLock_);
    return profile_;
}

CStatusMonitor::WakeCounts CStatusMonitor::Wakes() const {
    std::lock_guard<std::mutex> lock(wakesLock_);
    return wakes_;
}

bool CStatusMonitor::WaitWakes(const std::function<bool(const WakeCounts&)>& done,
                               std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(wakesLock_);
    return wakesChanged_.wait_for(lock, limit, [&] { return done(wakes_); });
}

void CStatusMonitor::MarkSleeping() {
    {
        std::lock_guard<std::mutex> lock(wakesLock_);
        wakes_.sleeping = true;
    }
    wakesChanged_.notify_all();
}

void CStatusMonitor::CountWake(std::uint64_t WakeCounts::*which) {
    {
        std::lock_guard<std::mutex> lock(wakesLock_);
        ++(wakes_.*which);
        wakes_.sleeping = false;
    }
    wakesChanged_.notify_all();
}

void CStatusMonitor::ThreadMain() {
    using Clock = std::chrono::steady_clock;
    MonitorCycle cycle(backend_, port_);
    const bool canWait = backend_.waitInput != nullptr && wake_.Valid();
    const auto interval = std::chrono::milliseconds(pollInterval_);
    bool writeDue = true;  // the first cycle writes the requests
    Clock::time_point lastCycle = Clock::now();
    // While a write is due, input that arrives first is read at once and the write waits
    // for its time, so requests go out at the poll interval as they always did, and
    // status comes in as soon as it is sent. An input wake that reads nothing leaves the
    // rest of that interval to a timed wait.
    bool watchInput = true;
    // Input wakes in a row whose cycle read nothing while no write was due: a descriptor
    // that stays ready with nothing for the read (a hang-up that no reopen clears, a
    // reply a paused device took) must not make the thread spin, so such a wake is
    // followed by a timed wait, doubling from the poll interval up to the idle interval.
    unsigned quietWakes = 0;
    bool backOff = false;
    for (;;) {
        const DWORD idle = std::max(pollInterval_, idleInterval_.load());
        // Milliseconds until the due write, rounded up so that the wait does not end
        // just before it.
        const auto untilWrite = [&] {
            const auto left = lastCycle + interval - Clock::now();
            return static_cast<DWORD>(
                std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        };
        bool byInput = false;
        bool fullCycle = true;
        bool onTime = true;
        if (!canWait || (writeDue && !watchInput)) {
            if (stopEvent_.Wait(canWait ? untilWrite() : pollInterval_) != thermpos::WAIT_TIMEOUT)
                break;
            CountWake(&WakeCounts::timed);
        } else if (backOff && !writeDue) {
            const DWORD shift = std::min(quietWakes - 1, 10u);
            const auto delay = static_cast<DWORD>(
                std::min<std::uint64_t>(idle, std::uint64_t{pollInterval_} << shift));
            if (stopEvent_.Wait(delay) != thermpos::WAIT_TIMEOUT)
                break;
            backOff = false;
            CountWake(&WakeCounts::timed);
        } else {
            HANDLE handle;
            {
                std::lock_guard<std::mutex> io(port_.ioLock);
                handle = port_.handle;
            }
            MarkSleeping();
            const DWORD woke =
                backend_.waitInput(handle, wake_.Fd(), writeDue ? untilWrite() : idle);
            if (woke == thermpos::WAIT_OBJECT_0 + 1)
                wake_.Drain();
            if (stopEvent_.IsSet()) {
                CountWake(&WakeCounts::kicked);
                break;
            }
            // A handle being reopened, or a device that cannot be waited on.
            if (woke == thermpos::WAIT_FAILED &&
                stopEvent_.Wait(writeDue ? untilWrite() : pollInterval_) != thermpos::WAIT_TIMEOUT)
                break;
            if (woke == thermpos::WAIT_TIMEOUT && !writeDue)
                quietWakes = 0;
            byInput = woke == thermpos::WAIT_OBJECT_0;
            onTime = woke == thermpos::WAIT_TIMEOUT || woke == thermpos::WAIT_FAILED;
            // Input or a wake-up before the write is due: read now, write on time.
            fullCycle = !writeDue || onTime;
            CountWake(byInput                                       ? &WakeCounts::input
                      : woke == thermpos::WAIT_OBJECT_0 + 1         ? &WakeCounts::kicked
                      : woke == thermpos::WAIT_TIMEOUT && !writeDue ? &WakeCounts::idle
                                                                    : &WakeCounts::timed);
        }

        std::lock_guard<std::mutex> monitor(monitorLock_);
        cycle.BeginCycle();
        for (auto& query : queries_)
            cycle.Process(*query, profile_, fullCycle, onTime);
        if (fullCycle) {
            lastCycle = Clock::now();
            watchInput = true;
        }
        const bool wasDue = writeDue;
        writeDue = cycle.WriteDue(queries_);
        if (cycle.BytesRead()) {
            quietWakes = 0;
            backOff = false;
        } else if (byInput && wasDue) {
            watchInput = false;
        } else if (byInput) {
            ++quietWakes;
            backOff = true;
        }
    }
    exitEvent_.Set();
}

}  // namespace thermpos::so
