// The status monitor of one open port: a thread that keeps the status request running on
// the port and hands what the printer sends back to the listening interpreters.
//
// Thread: one monitor thread per port, started by the first Add and ended by the
// RemoveBinding that leaves no query, by Stop, or by the destructor; the monitor object
// owns it and joins it. The thread may touch the queries, the profile and the policy
// (under the monitor lock) and the port (under its I/O lock); it calls the interpreters
// with the monitor lock held and the I/O lock released, and they take the devices' queue
// locks only. When it waits and which cycle it runs is MonitorSchedule.h's rule; what a
// cycle does differently by port kind and printer model is MonitorPolicy.h's.
//
// Between cycles the thread sleeps in the kernel holding no lock, so the output thread
// and a paused device never wait behind it:
//   - while a write is due (a resend, a forced or repeated write, a USB port, a port
//     being reopened) it waits for the poll interval, as the algorithm's timing wants;
//   - otherwise every query waits for the printer's reply or its next status block,
//     and nothing but input can change that: it waits for the port's descriptor to
//     become readable (bytes, a hang-up, a closed connection) or for wake_ (Stop, Add),
//     for at most the idle interval, and runs the cycle as soon as one comes;
//   - a port that cannot be waited on (a parallel port, a port library without a wait)
//     is polled on the interval.
//
// Locks, in the order they may be taken (after the calling device's device lock):
//   1. threadLock_: starting and ending the thread, so two devices adding and removing at
//      once agree on whether it runs
//   2. monitorLock_: one polling cycle, the queries and the profile; held by a pause
//   3. the port's I/O lock (CPortIo::ioLock): each group of port calls
//   wakesLock_ (the wake counts) is taken alone, never with another lock held inside it.
// Nothing here takes the port table's lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/eventfd.h"
#include "platform/sync.h"
#include "platform/thread_safety.h"
#include "platform/win32.h"
#include "so/core/MonitorPolicy.h"
#include "so/core/PortIo.h"

namespace thermpos::so {

class CStatusInterpreter;

// How a printer model wants its status request kept going, beyond what the port type
// decides. The printer classes build it from their model key and give it when they enable
// (CServiceDevice::StartStatusMonitor); drawers give none.
//
// The printer's profile rules a shared port, whatever the order the printer and its
// drawers were enabled in: a drawer brings no profile and leaves the one in place, and
// the profile stays until the port closes, since the printer on the port stays the same
// hardware. Until a printer gives one, the port runs with the default profile.
struct MonitorProfile {
    // Serial port: write the request again in the cycle after every read.
    bool rewriteAfterEveryRead = false;
    // Serial port: write the request again in the cycle after every read that brought
    // bytes.
    bool rewriteAfterReply = false;
    // Serial port: the printer's hold replies (0x3C 0x00 and its recovery replies) stop
    // and restart the request.
    bool holdReplies = true;
    // Parallel port: write the request again right after each read; the write's result
    // stands for the read's.
    bool writeAfterParallelRead = false;
};

// A pause of a port's monitor, for a request-and-reply exchange that must not race the
// monitor's own reads: while it lives, the monitor runs no cycle. It keeps the monitor
// alive and ends the pause when it goes out of scope, which must be on the thread that
// took it (it holds the monitor lock).
class CMonitorPause {
  public:
    CMonitorPause() = default;
    CMonitorPause(CMonitorPause&&) = default;
    CMonitorPause& operator=(CMonitorPause&& other) noexcept {
        if (this != &other) {
            lock_ = std::unique_lock<std::mutex>();  // ends this pause before its owner goes
            owner_ = std::move(other.owner_);
            lock_ = std::move(other.lock_);
        }
        return *this;
    }
    CMonitorPause(const CMonitorPause&) = delete;
    CMonitorPause& operator=(const CMonitorPause&) = delete;

    bool Holds() const { return lock_.owns_lock(); }

  private:
    friend class CStatusMonitor;
    // Declared first so that it goes last, after the lock is released.
    std::shared_ptr<const void> owner_;
    std::unique_lock<std::mutex> lock_;
};

// Puts the printer's 4-byte status blocks together from what the reads deliver. On a slow
// serial line a block can arrive split across reads, after bytes that belong to no block
// (flow control, replies to other requests), or several to one read.
//
// A block starts with a byte that passes (b & 0x93) == 0x10 and takes the next three bytes
// that pass (b & 0x90) == 0x00. Bytes that fit neither are skipped; a start byte inside a
// block starts a new block, since a byte of the old one was lost. What is carried over
// from one read to the next is therefore less than one block.
class CStatusBlockAssembler {
  public:
    static constexpr std::size_t kBlockSize = 4;

    // Appends the blocks that data completes to *blocks, in the order they arrived.
    void Feed(const BYTE* data, std::size_t length, std::string* blocks);
    // Bytes of an unfinished block carried over to the next read.
    std::size_t Pending() const { return have_; }

  private:
    BYTE partial_[kBlockSize] = {};
    std::size_t have_ = 0;
};

// One distinct status request on a port and the devices listening to its replies. The
// replies are the printer's status blocks.
struct CStatusQuery {
    std::string command;                         // written to request status
    CStatusBlockAssembler assembler;             // the block still arriving
    std::string reply;                           // whole blocks gathered since the last dispatch
    std::vector<CStatusInterpreter*> listeners;  // in registration order, not owned
    bool repeat = true;                          // not written again while a reply is awaited
    bool awaitingReply = false;
    bool resend = false;  // what the listeners reported at the last dispatch
};

class CStatusMonitor {
  public:
    // port and library must outlive the monitor; portKind is the port's, classified when
    // it was opened (ClassifyMonitoredPort).
    CStatusMonitor(PortLibrary& library, CPortIo& port, MonitoredPort portKind);
    ~CStatusMonitor();  // stops the thread
    CStatusMonitor(const CStatusMonitor&) = delete;
    CStatusMonitor& operator=(const CStatusMonitor&) = delete;

    // Adds interpreter (with its command and repeat flag) as a listener of binding
    // bindingId; interpreters with the same command share one query. The first Add starts
    // the thread, polling every `interval` ms (at least 1); later ones keep the interval.
    // A non-null profile becomes the port's. 0; 111 no interpreter or command, no memory,
    // or the thread cannot start. The interpreter must stay alive until RemoveBinding
    // removed it.
    [[nodiscard]] LONG Add(CStatusInterpreter* interpreter, LONG bindingId, LONG interval,
                           const MonitorProfile* profile) EXCLUDES(threadLock_, monitorLock_);
    // Removes the listeners of bindingId and the queries left without listeners; when no
    // query is left it ends the thread (waiting for the cycle in progress). Returns true
    // when no query is left.
    [[nodiscard]] bool RemoveBinding(LONG bindingId) EXCLUDES(threadLock_, monitorLock_);
    // Ends the thread, if any, waiting for the cycle in progress; the queries stay.
    void Stop() EXCLUDES(threadLock_, monitorLock_);

    // Holds the monitor between cycles until the returned pause goes. owner keeps the
    // monitor alive meanwhile (the table entry holding it). Blocks while a cycle runs.
    // The pause holds the monitor lock beyond this call, which the lock analysis cannot
    // follow.
    [[nodiscard]] CMonitorPause Pause(std::shared_ptr<const void> owner) NO_THREAD_SAFETY_ANALYSIS;

    // For tests and diagnostics.
    bool Running() const EXCLUDES(threadLock_);
    std::vector<std::size_t> ListenerCounts() const EXCLUDES(monitorLock_);  // per query
    MonitorProfile Profile() const EXCLUDES(monitorLock_);

    // The longest wait for input (tests make it long, so that only a wake-up can end it).
    // Default kIdleIntervalMs; never shorter than the poll interval. A wait in progress
    // ends (counted as kicked) and the next one takes the new limit.
    void SetIdleInterval(DWORD milliseconds) {
        idleInterval_ = milliseconds;
        wake_.Signal();
    }

    // How the thread's waits before its cycles ended, counted over the monitor's life.
    struct WakeCounts {
        std::uint64_t input = 0;   // the port had input (or a hang-up) to read
        std::uint64_t kicked = 0;  // wake_: a query was added, the idle interval changed
        std::uint64_t idle = 0;    // the idle interval passed with nothing on the port
        std::uint64_t timed = 0;   // the poll interval or a back-off passed
        bool sleeping = false;     // in a wait for input now
    };
    WakeCounts Wakes() const EXCLUDES(wakesLock_);
    // Waits until done(Wakes()) holds, at most `limit`; false when it did not.
    bool WaitWakes(const std::function<bool(const WakeCounts&)>& done,
                   std::chrono::milliseconds limit) const EXCLUDES(wakesLock_);

    // The longest the thread sleeps when no write is due. Nothing in the status algorithm
    // is timed while every query awaits its reply: only input changes anything, and the
    // wait sees all of it (bytes, a hang-up, a closed connection). The limit is a safety
    // net for what a driver might tell a read only; one second is below the 2 s of the
    // slowest rules the algorithm has (the request's write time-out, the longest reopen
    // back-off), and one wake-up a second costs nothing measurable.
    static constexpr DWORD kIdleIntervalMs = 1000;

  private:
    void ThreadMain();
    void StopLocked() REQUIRES(threadLock_);

    PortLibrary& library_;
    CPortIo& port_;
    const MonitoredPort portKind_;

    mutable thermpos::platform::Mutex threadLock_;
    std::thread thread_ GUARDED_BY(threadLock_);
    thermpos::platform::ManualResetEvent stopEvent_;  // set to end the thread
    thermpos::platform::ManualResetEvent exitEvent_;  // set by the thread as it ends
    // Signalled after stopEvent_ is set and after a query is added: ends a wait for input
    // so that the thread stops, or writes the new request, at once.
    thermpos::platform::WakeDescriptor wake_;
    // ms; set under threadLock_ before the thread starts, read by the thread without it.
    DWORD pollInterval_ = 5;
    std::atomic<DWORD> idleInterval_{kIdleIntervalMs};

    // Called by the thread before a wait for input, and after each wait.
    void MarkSleeping() EXCLUDES(wakesLock_);
    void CountWake(std::uint64_t WakeCounts::*which) EXCLUDES(wakesLock_);

    mutable thermpos::platform::Mutex wakesLock_;
    mutable std::condition_variable wakesChanged_;
    WakeCounts wakes_ GUARDED_BY(wakesLock_);

    mutable thermpos::platform::Mutex monitorLock_;
    std::vector<std::unique_ptr<CStatusQuery>> queries_ GUARDED_BY(monitorLock_);
    MonitorProfile profile_ GUARDED_BY(monitorLock_);
    // Built from the port's kind and profile_ whenever the profile changes.
    MonitorPolicy policy_ GUARDED_BY(monitorLock_);
};

}  // namespace thermpos::so
