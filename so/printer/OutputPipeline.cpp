// COutputPipeline. Threads and locks: OutputPipeline.h and docs/threads.md. The output
// thread is the only thread this file starts; it touches the output queue (under
// queueLock_), the transaction buffers (under transactionLock_, when an error is answered
// with clear), the device's State and error properties, and the port through
// SendToPrinter (under the device lock).
#include "so/printer/OutputPipeline.h"

#include <chrono>
#include <iterator>
#include <memory>
#include <new>

#include "so/printer/POSPrinterDevice.h"

namespace thermpos::so {

using thermpos::platform::WaitForEvents;

namespace {

// How long a retry waits for the printer condition that stopped the request to change.
// Status changes arrive at once, so this bounds only the case of a change the monitor
// never reports (the request then fails again and raises its next error event).
constexpr auto kRetryWait = std::chrono::milliseconds(1000);

// Sets State unless the device was closed meanwhile: the output thread must never
// reopen a closed device by writing its state.
void SetStateUnlessClosed(std::atomic<LONG>& state, LONG value) {
    LONG current = state.load();
    while (current != OPOS_S_CLOSED && !state.compare_exchange_weak(current, value)) {
    }
}

}  // namespace

COutputPipeline::COutputPipeline(CPOSPrinterDevice& device) : device_(device) {}

COutputPipeline::~COutputPipeline() {
    Stop();
}

void COutputPipeline::Start() {
    Stop();
    {
        thermpos::platform::MutexLock lock(retryLock_);
        stopping_ = false;
    }
    queueWake_.Reset();
    stop_.Reset();
    exited_.Reset();
    slipInsertion_.Reset();
    slipRemoval_.Reset();
    thread_ = std::thread(&COutputPipeline::ThreadMain, this);
}

void COutputPipeline::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stop_.Set();
    {
        thermpos::platform::MutexLock lock(retryLock_);
        stopping_ = true;
    }
    retryWake_.notify_all();
    exited_.Wait(INFINITE);
    thread_.join();
}

bool COutputPipeline::Stopping() const {
    return stop_.IsSet() || device_.StopRequested();
}

// ---------------------------------------------------------------------------------------
// Queue

LONG COutputPipeline::Enqueue(LONG station, std::string_view bytes) {
    COutputRequest request;
    try {
        request.data.assign(bytes);
    } catch (const std::bad_alloc&) {
        return OPOS_E_FAILURE;
    }
    request.station = station;
    thermpos::platform::MutexLock lock(queueLock_);
    std::size_t queuedBytes = 0;
    for (const COutputRequest& queued : queue_)
        queuedBytes += queued.data.size();
    if (queue_.size() >= kMaxQueuedRequests ||
        (!queue_.empty() && queuedBytes + request.data.size() > kMaxQueuedBytes))
        return OPOS_E_BUSY;
    request.outputId = ++device_.m_OutputID;
    queue_.push_back(std::move(request));
    queueWake_.Set();
    return OPOS_SUCCESS;
}

std::size_t COutputPipeline::QueuedCount() {
    thermpos::platform::MutexLock lock(queueLock_);
    return queue_.size();
}

void COutputPipeline::WakeIfQueued() {
    thermpos::platform::MutexLock lock(queueLock_);
    // Also when the thread was disabled between its last request and finding the queue
    // empty: State would stay busy for ever (and refuse synchronous output) otherwise.
    if (!queue_.empty() || device_.m_State.load() == OPOS_S_BUSY) {
        queueWake_.Set();
    }
}

void COutputPipeline::DropQueue() {
    thermpos::platform::MutexLock lock(queueLock_);
    queue_.clear();
}

void COutputPipeline::Discard() {
    {
        thermpos::platform::MutexLock queueLock(queueLock_);
        thermpos::platform::MutexLock transactionLock(transactionLock_);
        queue_.clear();
        ++clearGeneration_;
        ++transactionGeneration_;
        for (auto& list : transactionLists_) {
            list.clear();
        }
        for (auto& flag : transactionFlags_) {
            flag = 0;
        }
    }
    InterruptRetryWait();
}

bool COutputPipeline::ClearedSince(unsigned long generation) {
    thermpos::platform::MutexLock lock(queueLock_);
    return generation != clearGeneration_;
}

void COutputPipeline::Requeue(COutputRequest request, unsigned long generation) {
    thermpos::platform::MutexLock lock(queueLock_);
    if (generation == clearGeneration_) {
        queue_.push_front(std::move(request));
    }
}

// ---------------------------------------------------------------------------------------
// Transaction buffers

int COutputPipeline::TransactionIndex(LONG station) {
    switch (station) {
        case PTR_S_JOURNAL:
            return kJournalList;
        case PTR_S_RECEIPT:
            return kReceiptList;
        default:
            return kSlipList;
    }
}

void COutputPipeline::SetTransaction(LONG station, bool open) {
    transactionFlags_[TransactionIndex(station)] = open ? 1 : 0;
}

LONG COutputPipeline::AppendTransactionData(LONG station, std::string_view bytes) {
    try {
        std::string block(bytes);
        thermpos::platform::MutexLock lock(transactionLock_);
        transactionLists_[TransactionIndex(station)].push_back(std::move(block));
    } catch (const std::bad_alloc&) {
        return OPOS_E_FAILURE;
    }
    return OPOS_SUCCESS;
}

LONG COutputPipeline::FlushTransaction(LONG station, bool begin) {
    std::vector<std::string> entries;
    unsigned long generation = 0;
    {
        thermpos::platform::MutexLock lock(transactionLock_);
        std::vector<std::string>& list = transactionLists_[TransactionIndex(station)];
        if (begin) {
            list.clear();
            ++transactionGeneration_;
            return OPOS_SUCCESS;
        }
        if (list.empty()) {
            return OPOS_E_ILLEGAL;
        }
        // Taken out of the buffer: once submitted, the same receipt must not print again
        // on a second or stray end of the transaction.
        entries.swap(list);
        generation = transactionGeneration_;
    }
    std::string block;
    for (const std::string& entry : entries) {
        block += entry;
    }
    LONG r = device_.SubmitOutput(station, block, false);
    if (r != OPOS_SUCCESS) {
        // Not printed: the application may end the transaction again once the printer is
        // ready, unless the buffers were cleared or a new transaction began meanwhile.
        thermpos::platform::MutexLock lock(transactionLock_);
        if (generation == transactionGeneration_) {
            std::vector<std::string>& list = transactionLists_[TransactionIndex(station)];
            list.insert(list.begin(), std::make_move_iterator(entries.begin()),
                        std::make_move_iterator(entries.end()));
        }
    }
    return r;
}

// ---------------------------------------------------------------------------------------
// Printer conditions

COutputPipeline::Condition COutputPipeline::ConditionOfResult(LONG result) {
    switch (result) {
        case OPOS_EPTR_COVER_OPEN:
            return kCover;
        case OPOS_EPTR_JRN_EMPTY:
        case OPOS_EPTR_REC_EMPTY:
        case OPOS_EPTR_SLP_EMPTY:
            return kPaper;
        case OPOS_E_NOHARDWARE:
        case OPOS_E_OFFLINE:
            return kPower;
        default:
            return kNoCondition;
    }
}

COutputPipeline::Condition COutputPipeline::ConditionOfStatus(LONG status) {
    if (status == PTR_SUE_COVER_OPEN || status == PTR_SUE_COVER_OK) {
        return kCover;
    }
    if (status >= PTR_SUE_JRN_EMPTY && status <= PTR_SUE_SLP_PAPEROK) {
        return kPaper;
    }
    if (status >= OPOS_SUE_POWER_ONLINE && status <= OPOS_SUE_POWER_OFF_OFFLINE) {
        return kPower;
    }
    return kNoCondition;
}

void COutputPipeline::NotifyStatusChange(LONG status) {
    const Condition condition = ConditionOfStatus(status);
    if (condition == kNoCondition) {
        return;
    }
    {
        thermpos::platform::MutexLock lock(retryLock_);
        ++conditionChanges_[condition];
    }
    retryWake_.notify_all();
}

void COutputPipeline::InterruptRetryWait() {
    {
        thermpos::platform::MutexLock lock(retryLock_);
        ++retryInterrupts_;
    }
    retryWake_.notify_all();
}

COutputPipeline::ConditionSnapshot COutputPipeline::SnapshotConditions() {
    thermpos::platform::MutexLock lock(retryLock_);
    ConditionSnapshot snapshot{};
    for (int c = 0; c < kConditionCount; ++c) {
        snapshot.changes[c] = conditionChanges_[c];
    }
    snapshot.interrupts = retryInterrupts_;
    return snapshot;
}

void COutputPipeline::WaitForConditionChange(Condition condition, const ConditionSnapshot& seen) {
    thermpos::platform::UniqueLock lock(retryLock_);
    retryWake_.wait_for(lock.Std(), kRetryWait, [&]() REQUIRES(retryLock_) {
        return stopping_ || retryInterrupts_ != seen.interrupts ||
               conditionChanges_[condition] != seen.changes[condition];
    });
}

// ---------------------------------------------------------------------------------------
// Output thread

void COutputPipeline::ThreadMain() {
    for (;;) {
        platform::WaitForEvents({&queueWake_, &stop_}, false, INFINITE);
        if (Stopping()) {
            break;
        }
        COutputRequest request;
        unsigned long generation = 0;
        bool idle = false;
        {
            thermpos::platform::MutexLock lock(queueLock_);
            if (!device_.IsEnabled()) {
                // Requests wait for the device to be enabled again; the enable step sets
                // the wake event under this lock, so no wake-up is lost and none spins.
                queueWake_.Reset();
                continue;
            }
            if (queue_.empty()) {
                SetStateUnlessClosed(device_.m_State, OPOS_S_IDLE);
                queueWake_.Reset();
                idle = true;
            } else {
                SetStateUnlessClosed(device_.m_State, OPOS_S_BUSY);
                request = std::move(queue_.front());
                queue_.pop_front();
                generation = clearGeneration_;
            }
        }
        if (idle) {
            if (device_.m_FlagWhenIdle.load() == 1 && device_.IsEnabled()) {
                device_.QueueEvent(
                    std::make_unique<CQueuedEvent>(EventKindStatusUpdate, PTR_SUE_IDLE));
            }
            continue;
        }
        ProcessRequest(std::move(request), generation);
        if (Stopping()) {
            break;
        }
    }
    exited_.Set();
}

void COutputPipeline::ProcessRequest(COutputRequest request, unsigned long generation) {
    CPOSPrinterDevice& d = device_;
    for (;;) {
        // Taken before the test, so a change reported while the application decides still
        // counts as a change.
        const ConditionSnapshot seen = SnapshotConditions();
        LONG r = d.CheckPrinterCondition(request.station);
        const Condition failedOn = ConditionOfResult(r);
        if (r == OPOS_SUCCESS) {
            if (!d.IsEnabled()) {
                // Disabled between taking and writing: the request was not printed, so it
                // waits for the next enable instead of vanishing.
                Requeue(std::move(request), generation);
                return;
            }
            r = d.SendToPrinter(request);
        }
        if (r == OPOS_SUCCESS) {
            d.QueueEvent(std::make_unique<CQueuedEvent>(EventKindOutputComplete, request.outputId));
            return;
        }
        if (!d.IsEnabled()) {
            Requeue(std::move(request), generation);
            return;
        }

        auto event =
            std::make_unique<CQueuedEvent>(EventKindError, r, 0, OPOS_EL_OUTPUT, OPOS_ER_RETRY);
        if (IsExtendedPrinterCode(r)) {
            event->value1 = OPOS_E_EXTENDED;
            event->value2 = r;
            d.SetErrorString("See ResultCodeExtended");
            d.m_ErrorLevel = PTR_EL_RECOVERABLE;
        } else {
            d.SetErrorString("");
            d.m_ErrorLevel = PTR_EL_FATAL;
        }
        d.ErrorResponseEvent().Reset();
        d.m_ErrorStation = request.station;
        if (!d.QueueEvent(std::move(event))) {
            // Disabled while the event was built: no answer can come, keep the request.
            d.m_ErrorLevel = PTR_EL_NONE;
            d.SetErrorString("");
            d.m_ErrorStation = 0;
            Requeue(std::move(request), generation);
            return;
        }

        DWORD wait = platform::WaitForEvents({&d.ErrorResponseEvent(), &stop_}, false, INFINITE);
        if (Stopping()) {
            return;
        }
        bool retry = false;
        bool keep = false;
        if (wait == WAIT_OBJECT_0 && d.ErrorResponse() == OPOS_ER_RETRY) {
            retry = d.IsEnabled();
            // A retry answered while the device was being disabled prints after the next
            // enable rather than being dropped.
            keep = !retry;
        } else {
            Discard();
        }
        d.m_ErrorLevel = PTR_EL_NONE;
        d.SetErrorString("");
        d.m_ErrorStation = 0;
        if (keep) {
            Requeue(std::move(request), generation);
            return;
        }
        if (!retry) {
            return;
        }
        if (failedOn != kNoCondition) {
            // Testing again at once would fail again at once and raise the next error
            // event: a busy loop for as long as the cover stays open.
            WaitForConditionChange(failedOn, seen);
            if (Stopping() || ClearedSince(generation)) {
                // Output cleared while the request waited: it is not printed.
                return;
            }
        }
    }
}

}  // namespace thermpos::so
