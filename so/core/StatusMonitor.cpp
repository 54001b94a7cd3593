// The status monitor of a port. Thread and lock order: see StatusMonitor.h.
#include "so/core/StatusMonitor.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "opos/OposConstants.h"
#include "platform/comm.h"
#include "so/core/MonitorSchedule.h"
#include "so/core/StatusInterpreter.h"

namespace thermpos::so {

namespace {

constexpr int kReadSize = 64;
// The write time-out of a status request (multiplier MAXDWORD, constant in ms).
constexpr DWORD kRequestWriteConstant = 2000;
// The device core's own time-outs, restored when the port library cannot report the port's.
constexpr COMMTIMEOUTS kCoreTimeouts{MAXDWORD, 0, 0, MAXDWORD, 2000};

// A port that went away is opened again at most this often, doubling from the first
// delay to the last while it stays away: a COM open alone waits a second, and a network
// printer that is off would otherwise be asked to connect every cycle.
constexpr std::chrono::milliseconds kFirstReopenDelay{100};
constexpr std::chrono::milliseconds kLastReopenDelay{2000};

// One port's polling state on its monitor thread.
class MonitorCycle {
  public:
    MonitorCycle(PortLibrary& library, CPortIo& port) : io_(library), port_(port) {}

    // One query's write, read and dispatch, as `kind` says (MonitorSchedule.h); the
    // caller holds the monitor lock. Without the write step (input arrived before the
    // next write is due) the read step runs whether or not a reply is awaited: the bytes
    // are there, and what they say may make the due write unnecessary.
    void Process(CStatusQuery& query, const MonitorPolicy& policy, CycleKind kind);

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
    // Closes the port and opens it by name again, with the devices' settings. False when
    // it cannot be opened (the handle is then invalid).
    bool ReopenLocked() REQUIRES(port_.ioLock);
    // Saves the port's time-outs into saved_, then sets them as adjust changes them for
    // one step; false when the port refuses them. Ports without step time-outs (USB) are
    // left alone.
    template <typename Adjust>
    bool SetStepTimeoutsLocked(const MonitorPolicy& policy, Adjust adjust) REQUIRES(port_.ioLock) {
        if (!policy.stepTimeouts)
            return true;
        saved_ = kCoreTimeouts;
        COMMTIMEOUTS now{};
        if (io_.GetTimeouts(port_.handle, &now) == SystemError::Success)
            saved_ = now;
        COMMTIMEOUTS t = saved_;
        adjust(t);
        return io_.SetTimeouts(port_.handle, t) == SystemError::Success;
    }
    void RestoreTimeoutsLocked(const MonitorPolicy& policy) REQUIRES(port_.ioLock) {
        if (policy.stepTimeouts)
            (void)io_.SetTimeouts(port_.handle, saved_);
    }
    SystemError WriteCommandLocked(const CStatusQuery& query, int* written) REQUIRES(port_.ioLock) {
        return io_.Write(port_.handle, query.command.data(), static_cast<int>(query.command.size()),
                         written);
    }
    // The error table: reopen a port whose device vanished, or tell the listeners.
    void HandleError(CStatusQuery& query, const MonitorPolicy& policy, SystemError error);
    void Notify(CStatusQuery& query, StatusNotification code);
    void Dispatch(CStatusQuery& query, const BYTE* data, LONG length);

    PortLibrary& io_;
    CPortIo& port_;
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

void MonitorCycle::Process(CStatusQuery& query, const MonitorPolicy& policy, CycleKind kind) {
    const bool writeStep = kind != CycleKind::ReadFirst;
    const bool onTime = kind == CycleKind::OnTime;
    if (policy.checksHandleFirst) {
        bool gone;
        {
            thermpos::platform::MutexLock io(port_.ioLock);
            gone = port_.handle == INVALID_HANDLE_VALUE;
        }
        if (gone) {
            HandleError(query, policy, SystemError::InvalidHandle);
            query.awaitingReply = !query.resend;
            return;
        }
    }

    // Write step: only on time. A forced write waits for its cycle too; written the moment
    // a reply was read, each reply would bring the next request at once.
    if (writeStep && ((!query.command.empty() && (!query.awaitingReply || !query.repeat)) ||
                      forceWrite_ || holdRewrite_)) {
        SystemError rc = SystemError::Success;
        int written = 0;
        {
            thermpos::platform::MutexLock io(port_.ioLock);
            const bool ready = SetStepTimeoutsLocked(policy, [](COMMTIMEOUTS& t) {
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
                RestoreTimeoutsLocked(policy);
                if (rc == SystemError::Success && written > 0)
                    query.awaitingReply = true;
            }
        }
        if (rc != SystemError::Success) {
            HandleError(query, policy, rc);
            query.awaitingReply = !query.resend;
            return;
        }
    }

    // Read step.
    SystemError error = SystemError::Success;
    if (query.awaitingReply || !writeStep) {
        std::memset(buffer_, 0, sizeof buffer_);
        int count = 0;
        {
            thermpos::platform::MutexLock io(port_.ioLock);
            const bool ready = SetStepTimeoutsLocked(policy, [](COMMTIMEOUTS& t) {
                t.ReadIntervalTimeout = MAXDWORD;
                t.ReadTotalTimeoutMultiplier = 0;
                t.ReadTotalTimeoutConstant = 0;
            });
            if (ready) {
                error = io_.Read(port_.handle, buffer_, kReadSize, &count);
                count = std::clamp(count, 0, kReadSize);
                if (policy.rewriteAfterEveryRead)
                    forceWrite_ = true;
                if (policy.writeAfterRead) {
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
                RestoreTimeoutsLocked(policy);
            }
        }

        if (policy.unreportedBlock) {
            if (count == 0 && buffer_[0] != 0)
                count = 4;
        } else if (count > 0) {
            if (policy.rewriteAfterReply)
                forceWrite_ = true;
            if (policy.holdReplies) {
                if (buffer_[0] == 0x3C && buffer_[1] == 0x00) {
                    // Held: the request goes again after each hold reply, right after the
                    // read of a cycle that came on time, else in the next cycle. Written
                    // the moment input brought the reply, each hold reply would bring the
                    // next request at once, as fast as the line goes.
                    hold_ = true;
                    if (onTime) {
                        thermpos::platform::MutexLock io(port_.ioLock);
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
            error = SystemError::Success;
            // Whole blocks are dispatched below in this same cycle; a block still arriving
            // waits for the next reads.
            query.assembler.Feed(buffer_, static_cast<std::size_t>(count), &query.reply);
        }
        if (error != SystemError::Success && error != SystemError::MoreData) {
            HandleError(query, policy, error);
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
        (void)io_.Close(port_.handle);
    port_.handle = INVALID_HANDLE_VALUE;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (io_.Open(port_.portName, port_.modelKey, &handle) != SystemError::Success ||
        handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return false;
    port_.handle = handle;
    // The new handle starts with the system's settings, not the ones the devices chose.
    if (port_.haveDcb)
        (void)io_.SetProperties(handle, port_.dcb);
    if (port_.haveTimeouts)
        (void)io_.SetTimeouts(handle, port_.timeouts);
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

void MonitorCycle::HandleError(CStatusQuery& query, const MonitorPolicy& policy,
                               SystemError error) {
    switch (error) {
        case SystemError::AccessDenied:
        case SystemError::InvalidHandle:
        case SystemError::Crc:
        case SystemError::IoDevice: {
            if (!policy.reopens)
                return;
            const auto now = std::chrono::steady_clock::now();
            bool opened = false;
            if (now >= nextReopen_) {
                thermpos::platform::MutexLock io(port_.ioLock);
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
        case SystemError::InvalidFunction:
        case SystemError::DeviceNotConnected:
            Notify(query, kNotifyPowerOff);
            return;
        case SystemError::NotReady:
            Notify(query, kNotifyOffline);
            return;
        case SystemError::OutOfPaper:
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

CStatusMonitor::CStatusMonitor(PortLibrary& library, CPortIo& port, MonitoredPort portKind)
    : library_(library),
      port_(port),
      portKind_(portKind),
      policy_(MonitorPolicy::For(portKind, MonitorProfile{})) {}

CStatusMonitor::~CStatusMonitor() {
    Stop();
}

LONG CStatusMonitor::Add(CStatusInterpreter* interpreter, LONG bindingId, LONG interval,
                         const MonitorProfile* profile) {
    if (interpreter == nullptr || interpreter->Command().empty())
        return OPOS_E_FAILURE;
    thermpos::platform::MutexLock thread(threadLock_);
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

    thermpos::platform::MutexLock monitor(monitorLock_);
    if (profile != nullptr) {
        profile_ = *profile;
        policy_ = MonitorPolicy::For(portKind_, profile_);
    }
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
    thermpos::platform::MutexLock thread(threadLock_);
    bool empty;
    {
        thermpos::platform::MutexLock monitor(monitorLock_);
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
    thermpos::platform::MutexLock thread(threadLock_);
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
    pause.lock_ = std::unique_lock<std::mutex>(monitorLock_.Native());
    return pause;
}

bool CStatusMonitor::Running() const {
    thermpos::platform::MutexLock thread(threadLock_);
    return thread_.joinable() && !exitEvent_.IsSet();
}

std::vector<std::size_t> CStatusMonitor::ListenerCounts() const {
    thermpos::platform::MutexLock monitor(monitorLock_);
    std::vector<std::size_t> counts;
    for (const auto& query : queries_)
        counts.push_back(query->listeners.size());
    return counts;
}

MonitorProfile CStatusMonitor::Profile() const {
    thermpos::platform::MutexLock monitor(monitorLock_);
    return profile_;
}

CStatusMonitor::WakeCounts CStatusMonitor::Wakes() const {
    thermpos::platform::MutexLock lock(wakesLock_);
    return wakes_;
}

bool CStatusMonitor::WaitWakes(const std::function<bool(const WakeCounts&)>& done,
                               std::chrono::milliseconds limit) const {
    thermpos::platform::UniqueLock lock(wakesLock_);
    return wakesChanged_.wait_for(lock.Std(), limit,
                                  [&]() REQUIRES(wakesLock_) { return done(wakes_); });
}

void CStatusMonitor::MarkSleeping() {
    {
        thermpos::platform::MutexLock lock(wakesLock_);
        wakes_.sleeping = true;
    }
    wakesChanged_.notify_all();
}

void CStatusMonitor::CountWake(std::uint64_t WakeCounts::*which) {
    {
        thermpos::platform::MutexLock lock(wakesLock_);
        ++(wakes_.*which);
        wakes_.sleeping = false;
    }
    wakesChanged_.notify_all();
}

void CStatusMonitor::ThreadMain() {
    MonitorCycle cycle(library_, port_);
    const bool canWait = library_.CanWait() && wake_.Valid();
    CycleState state;
    state.lastCycle = MonitorClock::now();
    for (;;) {
        const MonitorTiming timing{canWait, pollInterval_,
                                   std::max(pollInterval_, idleInterval_.load())};
        const NextWait wait = PlanWait(state, timing, MonitorClock::now());
        PortWait woke = PortWait::TimedOut;
        if (wait.kind == WaitKind::ForInput) {
            HANDLE handle;
            {
                thermpos::platform::MutexLock io(port_.ioLock);
                handle = port_.handle;
            }
            MarkSleeping();
            woke = library_.WaitInput(handle, wake_.Fd(), wait.ms);
            if (woke == PortWait::Woken)
                wake_.Drain();
            if (stopEvent_.IsSet()) {
                CountWake(&WakeCounts::kicked);
                break;
            }
        } else if (stopEvent_.Wait(wait.ms) != WAIT_TIMEOUT) {
            break;
        }
        const WakePlan plan = AfterWake(&state, wait, woke, timing, MonitorClock::now());
        // A handle being reopened, or a device that cannot be waited on.
        if (plan.fallbackWait && stopEvent_.Wait(plan.fallbackMs) != WAIT_TIMEOUT)
            break;
        CountWake(plan.counted == WakeCount::Input    ? &WakeCounts::input
                  : plan.counted == WakeCount::Kicked ? &WakeCounts::kicked
                  : plan.counted == WakeCount::Idle   ? &WakeCounts::idle
                                                      : &WakeCounts::timed);

        thermpos::platform::MutexLock monitor(monitorLock_);
        cycle.BeginCycle();
        for (auto& query : queries_)
            cycle.Process(*query, policy_, plan.cycle);
        AfterCycle(&state, plan, cycle.WriteDue(queries_), cycle.BytesRead(), MonitorClock::now());
    }
    exitEvent_.Set();
}

}  // namespace thermpos::so
