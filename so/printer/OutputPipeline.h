// COutputPipeline: a printer's queued output and transaction buffers, and the output thread
// that writes the queued requests.
//
// Threads:
//   - the output thread (started by Start at OpenService, joined by Stop at Close) takes
//     queued requests in order, tests the printer condition, writes them through the
//     device, and queues OutputComplete, error and idle events; it waits for the
//     application's answer to an error event and, before it retries a request that met a
//     printer condition, for that condition to change;
//   - the caller's thread queues requests, fills and flushes the transaction buffers and
//     clears them;
//   - a port's monitor thread reports status changes (NotifyStatusChange), holding that
//     port's monitor lock.
// Locks (their place in the system's one order: docs/threads.md). None is held while
// bytes are written (under the device lock, which comes before them in the order) or an
// event is queued or delivered:
//   - queueLock_ (output queue, OutputID, clear generation), then transactionLock_
//     (transaction buffers): Discard holds both;
//   - retryLock_ (condition changes) is a leaf, taken with no other of these held. The
//     monitor thread takes it under the port's monitor lock (NotifyStatusChange), so
//     nothing may wait for the monitor while holding it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "opos/OposConstants.h"
#include "platform/sync.h"
#include "platform/thread_safety.h"
#include "platform/win32.h"

namespace thermpos::so {

class CPOSPrinterDevice;

// The printer conditions reported as OPOS_E_EXTENDED with ResultCodeExtended.
inline bool IsExtendedPrinterCode(LONG r) {
    return r >= OPOS_EPTR_COVER_OPEN && r <= OPOS_EPTR_SLP_HEAD_CLEANING;
}

// One print job. A queued request owns a copy of its bytes; OutputID is set only for
// queued requests.
struct COutputRequest {
    std::string data;
    LONG station = 0;
    LONG outputId = 0;
};

class COutputPipeline {
  public:
    explicit COutputPipeline(CPOSPrinterDevice& device);
    ~COutputPipeline();
    COutputPipeline(const COutputPipeline&) = delete;
    COutputPipeline& operator=(const COutputPipeline&) = delete;

    // Starts the output thread (std::system_error when it cannot be started) and joins it.
    void Start();
    void Stop();

    // The most the queue holds. An application printing faster than the printer takes it
    // (a slow serial line, a printer that is off) would otherwise grow the process
    // without limit; a request beyond either bound is refused with OPOS_E_BUSY, which a
    // caller retries once completions arrive. A single request larger than the byte
    // bound is taken when the queue is empty.
    static constexpr std::size_t kMaxQueuedRequests = 1024;
    static constexpr std::size_t kMaxQueuedBytes = 8u << 20;

    // Copies the bytes into a new request with the next OutputID and wakes the thread:
    // 0; 113 (OPOS_E_BUSY) when the queue is full, leaving OutputID unchanged; 111 when
    // memory runs out.
    [[nodiscard]] LONG Enqueue(LONG station, std::string_view bytes) EXCLUDES(queueLock_);
    std::size_t QueuedCount() EXCLUDES(queueLock_);
    // Wakes the output thread when requests wait, or when it was stopped busy (after the
    // device is enabled again), so that it prints them or goes idle.
    void WakeIfQueued() EXCLUDES(queueLock_);
    // Frees the queued requests without writing them (Close).
    void DropQueue() EXCLUDES(queueLock_);
    // Empties the queue and the transaction buffers and ends every transaction
    // (ClearOutput, and an error answered with clear).
    void Discard() EXCLUDES(queueLock_, transactionLock_, retryLock_);

    // While the receipt transaction is open, non-immediate output of every station is
    // held in that station's buffer.
    bool HoldsOutput() const { return transactionFlags_[kReceiptList].load() == 1; }
    void SetTransaction(LONG station, bool open);
    [[nodiscard]] LONG AppendTransactionData(LONG station, std::string_view bytes)
        EXCLUDES(transactionLock_);
    // begin: empties the station's buffer. Otherwise submits the buffer as one block:
    // 106 when it is empty, else the result of CPOSPrinterDevice::SubmitOutput. A block
    // submitted successfully leaves the buffer empty; a failed one stays for a retry.
    [[nodiscard]] LONG FlushTransaction(LONG station, bool begin) EXCLUDES(transactionLock_);

    // A status the device accepted (its fields already updated); ends a retry wait on the
    // condition it belongs to. Any thread; the monitor thread calls it under its port's
    // monitor lock.
    void NotifyStatusChange(LONG status) EXCLUDES(retryLock_);
    // Ends a retry wait at once (the device was disabled). Any thread.
    void InterruptRetryWait() EXCLUDES(retryLock_);

  private:
    // The printer conditions a retry waits on, as CheckPrinterCondition reports them.
    enum Condition { kNoCondition, kCover, kPaper, kPower, kConditionCount };
    struct ConditionSnapshot {
        unsigned long changes[kConditionCount];
        unsigned long interrupts;
    };
    static Condition ConditionOfResult(LONG result);
    static Condition ConditionOfStatus(LONG status);
    ConditionSnapshot SnapshotConditions() EXCLUDES(retryLock_);
    // Returns once the condition changed after the snapshot, the wait was interrupted
    // (stop, disable, clear), or kRetryWait passed.
    void WaitForConditionChange(Condition condition, const ConditionSnapshot& seen)
        EXCLUDES(retryLock_);
    bool ClearedSince(unsigned long generation) EXCLUDES(queueLock_);

    enum { kJournalList = 0, kReceiptList = 1, kSlipList = 2 };
    static int TransactionIndex(LONG station);

    void ThreadMain();
    bool Stopping() const;
    // Writes one taken request, with error events and retries. Returns when the request is
    // done with (written, cleared, put back, or the thread is stopping).
    void ProcessRequest(COutputRequest request, unsigned long generation)
        EXCLUDES(queueLock_, transactionLock_, retryLock_);
    // Puts a taken request back at the head of the queue unless output was cleared since.
    void Requeue(COutputRequest request, unsigned long generation) EXCLUDES(queueLock_);

    CPOSPrinterDevice& device_;

    thermpos::platform::Mutex queueLock_ ACQUIRED_BEFORE(transactionLock_);
    std::deque<COutputRequest> queue_ GUARDED_BY(queueLock_);
    unsigned long clearGeneration_ GUARDED_BY(queueLock_) = 0;  // bumped by clears

    thermpos::platform::Mutex transactionLock_;
    std::vector<std::string> transactionLists_[3] GUARDED_BY(transactionLock_);
    // Bumped by clears and transaction begins.
    unsigned long transactionGeneration_ GUARDED_BY(transactionLock_) = 0;
    std::atomic<LONG> transactionFlags_[3] = {0, 0, 0};

    thermpos::platform::Mutex retryLock_;
    std::condition_variable retryWake_;
    unsigned long conditionChanges_[kConditionCount] GUARDED_BY(retryLock_) = {};
    unsigned long retryInterrupts_ GUARDED_BY(retryLock_) = 0;
    bool stopping_ GUARDED_BY(retryLock_) = false;

    thermpos::platform::ManualResetEvent queueWake_;
    thermpos::platform::ManualResetEvent stop_;
    thermpos::platform::ManualResetEvent exited_;
    thermpos::platform::ManualResetEvent slipInsertion_;  // kept for the slip methods
    thermpos::platform::ManualResetEvent slipRemoval_;
    std::thread thread_;  // owned: started by Start, joined by Stop
};

}  // namespace thermpos::so
