// Where the virtual printer's finished receipts go (receipt_store.h).
//
// Threads: Begin starts the writer thread (Run) and Finish joins it. The writer touches
// the log file and the output folder alone; it takes mutex_ only to take the queued work
// and to file what it wrote, never while rendering or writing, and calls onWritten with no
// lock held. The port thread calls Log (under VirtualPrinter::mutex_) and Hand (under no
// lock); any thread reads the counts and lists.
// Locks: mutex_ only, innermost: nothing else is taken while it is held.
#include "vprinter/receipt_store.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

#include "vprinter/image.h"

namespace thermpos::vprinter {

namespace {

// Drawings of finished receipts kept for Receipts(), at most (the newest is always kept).
constexpr std::size_t kMaxKeptReceiptBytes = 256u << 20;
constexpr std::size_t kMaxFilesListed = 1024;

bool WriteReceiptPng(const DrawnReceipt& receipt, const std::string& path, std::string* error) {
    return WritePng(path, receipt.Render(), error);
}

}  // namespace

ReceiptStore::~ReceiptStore() {
    Finish();
}

bool ReceiptStore::Begin(ReceiptStoreOptions options, std::string* error) {
    Finish();
    {
        platform::MutexLock lock(mutex_);
        logText_.clear();
        logBytes_ = 0;
        logFull_ = false;
        queue_.clear();
        queuedBytes_ = 0;
        kept_.clear();
        keptBytes_ = 0;
        count_ = 0;
        files_.clear();
        error_.clear();
        finishing_ = false;
    }
    options_ = std::move(options);
    if (!options_.write)
        options_.write = WriteReceiptPng;
    if (!options_.outDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options_.outDir, ec);
        if (ec) {
            *error = options_.outDir + ": " + ec.message();
            return false;
        }
        const std::string logPath = options_.outDir + "/commands.log";
        log_ = std::fopen(logPath.c_str(), "w");
        if (!log_) {
            *error = logPath + ": " + std::strerror(errno);
            return false;
        }
    }
    {
        platform::MutexLock lock(mutex_);
        running_ = true;
        logging_ = log_ != nullptr;
    }
    writer_ = std::thread(&ReceiptStore::Run, this);
    return true;
}

void ReceiptStore::Finish() {
    {
        platform::MutexLock lock(mutex_);
        finishing_ = true;
    }
    work_.notify_all();
    if (writer_.joinable())
        writer_.join();
    {
        platform::MutexLock lock(mutex_);
        running_ = false;
        logging_ = false;
    }
    room_.notify_all();
    if (log_)
        std::fclose(log_);
    log_ = nullptr;
}

void ReceiptStore::Log(const CommandRecord& record) {
    char offset[32];
    std::snprintf(offset, sizeof offset, "%10llu", static_cast<unsigned long long>(record.offset));
    std::string line = std::string(offset) + "  " + record.mnemonic;
    if (!record.params.empty())
        line += "  " + record.params;
    line += '\n';
    platform::MutexLock lock(mutex_);
    if (!logging_ || logFull_)
        return;
    if (logBytes_ + line.size() > options_.maxLogBytes) {
        logText_ += "(log size limit reached; later commands are not logged)\n";
        logFull_ = true;
    } else {
        logText_ += line;
        logBytes_ += line.size();
    }
}

void ReceiptStore::Hand(std::vector<DrawnReceipt> receipts) {
    platform::UniqueLock lock(mutex_);
    if (receipts.empty() && logText_.empty())
        return;
    for (DrawnReceipt& r : receipts) {
        queuedBytes_ += r.Bytes();
        queue_.push_back(std::move(r));
    }
    work_.notify_one();
    // Without a writer (before Begin, after Finish) nobody would make room.
    while (running_ && !finishing_ &&
           (queue_.size() > kMaxQueued || (queuedBytes_ > kMaxQueuedBytes && queue_.size() > 1)))
        room_.wait(lock.Std());
}

void ReceiptStore::Run() {
    for (;;) {
        std::string logText;
        std::vector<DrawnReceipt> receipts;
        {
            platform::UniqueLock lock(mutex_);
            while (queue_.empty() && logText_.empty() && !finishing_)
                work_.wait(lock.Std());
            if (queue_.empty() && logText_.empty())
                return;  // finishing, and everything is written
            logText.swap(logText_);
            receipts.assign(std::make_move_iterator(queue_.begin()),
                            std::make_move_iterator(queue_.end()));
            queue_.clear();
            queuedBytes_ = 0;
        }
        room_.notify_all();
        // The log first: a receipt counted as written has its commands in the log.
        if (log_ && !logText.empty()) {
            std::fwrite(logText.data(), 1, logText.size(), log_);
            std::fflush(log_);
        }
        // Files before the count: a waiter told that a receipt is written may open it.
        std::vector<std::string> written;
        std::string failure;
        if (!options_.outDir.empty()) {
            for (const DrawnReceipt& r : receipts) {
                char name[64];
                std::snprintf(name, sizeof name, "/receipt-%04d.png", r.index);
                const std::string path = options_.outDir + name;
                std::string why;
                if (options_.write(r, path, &why))
                    written.push_back(path);
                else
                    failure = why;
            }
        }
        {
            platform::MutexLock lock(mutex_);
            KeepLocked(receipts);
            files_.insert(files_.end(), written.begin(), written.end());
            if (files_.size() > kMaxFilesListed)
                files_.erase(files_.begin(), files_.end() - kMaxFilesListed);
            if (!failure.empty())
                error_ = failure;
        }
        written_.notify_all();
        if (options_.onWritten)
            options_.onWritten();
    }
}

void ReceiptStore::KeepLocked(std::vector<DrawnReceipt>& written) {
    for (DrawnReceipt& r : written) {
        keptBytes_ += r.Bytes();
        kept_.push_back(std::move(r));
        ++count_;
    }
    while (!kept_.empty() && (kept_.size() > options_.keepReceipts ||
                              (keptBytes_ > kMaxKeptReceiptBytes && kept_.size() > 1))) {
        keptBytes_ -= kept_.front().Bytes();
        kept_.pop_front();
    }
}

int ReceiptStore::Count() const {
    platform::MutexLock lock(mutex_);
    return count_;
}

bool ReceiptStore::WaitCount(int count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    platform::UniqueLock lock(mutex_);
    while (count_ < count) {
        if (written_.wait_until(lock.Std(), deadline) == std::cv_status::timeout)
            return count_ >= count;
    }
    return true;
}

std::vector<DrawnReceipt> ReceiptStore::Kept() const {
    platform::MutexLock lock(mutex_);
    return {kept_.begin(), kept_.end()};
}

std::vector<std::string> ReceiptStore::Files() const {
    platform::MutexLock lock(mutex_);
    return files_;
}

std::string ReceiptStore::LastError() const {
    platform::MutexLock lock(mutex_);
    return error_;
}

void ReceiptStore::NoteError(std::string error) {
    platform::MutexLock lock(mutex_);
    error_ = std::move(error);
}

}  // namespace thermpos::vprinter
