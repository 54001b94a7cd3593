// Where the virtual printer's finished receipts go: a PNG file each and commands.log in
// the output folder, and the newest ones kept in memory for VirtualPrinter::Receipts().
// Writing happens on a thread of its own, so that rendering a picture or a slow disk never
// delays the port thread's answer to a status request.
//
// Threads: the writer thread, started by Begin and joined by Finish, appends the command
// log, renders and writes the receipts' files, then files each receipt among the kept ones
// and counts it. The printer's port thread adds log lines (Log) and hands receipts over
// (Hand); any thread reads the observations and waits for a count.
//
// Locks: mutex_ only, and it is the innermost lock: Log is called under
// VirtualPrinter::mutex_ (from inside model calls), nothing here takes another lock while
// holding mutex_, and the writer holds no lock while it writes or calls onWritten.
//
// Bounded: Hand returns at once unless more than kMaxQueued receipts (or kMaxQueuedBytes
// of their drawings) wait for the writer; then it waits until the writer takes them on.
// Nothing handed over is dropped: Finish writes everything before it returns.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_safety.h"
#include "vprinter/model.h"

namespace thermpos::vprinter {

// Writes one finished receipt's file at `path`; false with *error. Runs on the writer
// thread.
using ReceiptWriter =
    std::function<bool(const DrawnReceipt& receipt, const std::string& path, std::string* error)>;

struct ReceiptStoreOptions {
    std::string outDir;  // empty: no files, receipts are only kept
    std::size_t keepReceipts = 64;
    std::uint64_t maxLogBytes = 64u << 20;
    ReceiptWriter write;  // null: the receipt's PNG
    // Called on the writer thread after each round of writing, with no lock held, so that
    // waits on what the files hold are woken.
    std::function<void()> onWritten;
};

class ReceiptStore {
  public:
    static constexpr std::size_t kMaxQueued = 64;
    static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

    ReceiptStore() = default;
    ~ReceiptStore();  // Finish()
    ReceiptStore(const ReceiptStore&) = delete;
    ReceiptStore& operator=(const ReceiptStore&) = delete;

    // Forgets the receipts of an earlier run, makes the output folder, opens commands.log
    // and starts the writer. False with *error (nothing started then).
    [[nodiscard]] bool Begin(ReceiptStoreOptions options, std::string* error) EXCLUDES(mutex_);
    // Writes everything handed over and logged, closes the log and joins the writer. The
    // kept receipts, the count and the files stay readable. Safe to call twice.
    void Finish() EXCLUDES(mutex_);

    // One decoded command for commands.log (when there is an output folder); never waits.
    void Log(const CommandRecord& record) EXCLUDES(mutex_);
    // Queues the receipts for the writer, and the log lines added so far. Waits only while
    // the queue is over its bound, so call it holding no lock the writer may need.
    void Hand(std::vector<DrawnReceipt> receipts) EXCLUDES(mutex_);

    // Receipts written (or kept, without an output folder) in this run.
    int Count() const EXCLUDES(mutex_);
    // Waits (real time) until Count() reaches count.
    bool WaitCount(int count, std::chrono::milliseconds timeout) const EXCLUDES(mutex_);
    // The newest receipts, oldest first (up to keepReceipts).
    std::vector<DrawnReceipt> Kept() const EXCLUDES(mutex_);
    std::vector<std::string> Files() const EXCLUDES(mutex_);
    std::string LastError() const EXCLUDES(mutex_);
    void NoteError(std::string error) EXCLUDES(mutex_);

  private:
    void Run() EXCLUDES(mutex_);
    void KeepLocked(std::vector<DrawnReceipt>& written) REQUIRES(mutex_);

    mutable platform::Mutex mutex_;
    mutable std::condition_variable written_;  // count_ grew
    std::condition_variable work_;             // something to write, or finishing_
    std::condition_variable room_;             // the writer took the queue on
    ReceiptStoreOptions options_;              // fixed while the writer runs
    // commands.log: opened by Begin before the writer starts, written by the writer only,
    // closed by Finish after it joined.
    std::FILE* log_ = nullptr;

    std::string logText_ GUARDED_BY(mutex_);  // lines not yet written
    std::uint64_t logBytes_ GUARDED_BY(mutex_) = 0;
    bool logging_ GUARDED_BY(mutex_) = false;  // log_ is open: lines are taken
    bool logFull_ GUARDED_BY(mutex_) = false;
    std::deque<DrawnReceipt> queue_ GUARDED_BY(mutex_);
    std::size_t queuedBytes_ GUARDED_BY(mutex_) = 0;
    bool running_ GUARDED_BY(mutex_) = false;
    bool finishing_ GUARDED_BY(mutex_) = false;

    std::deque<DrawnReceipt> kept_ GUARDED_BY(mutex_);
    std::size_t keptBytes_ GUARDED_BY(mutex_) = 0;
    int count_ GUARDED_BY(mutex_) = 0;
    std::vector<std::string> files_ GUARDED_BY(mutex_);
    std::string error_ GUARDED_BY(mutex_);

    std::thread writer_;  // Begin starts it, Finish joins it (both on the owner's thread)
};

}  // namespace thermpos::vprinter
