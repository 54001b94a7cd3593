// The virtual printer's host loop: the port thread that moves bytes between a transport
// (transport.h: a pty or a TCP listener) and the model, runs the model's timers, serves
// unplug and replug, and hands finished receipts to the store, which writes them on its
// own thread. Also the printer's life cycle (Start, Stop), its operator controls and what
// tests observe.
//
// Threads:
//  - the port thread (Run), started by Start and joined by Stop. It alone opens, closes and
//    serves the transport while it runs, so Unplug and Replug post a request and wait for
//    it. It never renders a receipt or writes a file: a status request is answered however
//    slow the disk is.
//  - the writer thread, owned by store_ (receipt_store.h): PNG files, commands.log, the kept
//    receipts. It takes mutex_ only briefly after writing, to wake waits on the files.
//  - any other thread: control calls, observation and waits.
//
// Locks, in order: mutex_ (model, status, link buffers, transport, requests), then the
// store's lock (commands.log lines reach the store from inside model calls), then a
// SimulatedClock's. The port thread drops mutex_ before it waits on its descriptors and
// before it hands receipts over; handing over waits for the writer only when the store's
// queue is full, and then only the port waits (bytes stay in the pty or the socket) while
// control calls go on. Receipts are rasterised only outside mutex_: the model hands
// finished receipts over as drawings, which never change afterwards.
#include <algorithm>
#include <utility>

#include "platform/poll.h"
#include "vprinter/image.h"
#include "vprinter/nv_file.h"
#include "vprinter/transport.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::vprinter {

namespace {

constexpr std::size_t kMaxPending = 4096;  // host bytes read ahead of the model
// Room that must be free again before the host may send after being held back: flow
// control that flips with every byte taken would cost two calls per byte.
constexpr std::size_t kResumeRoom = 1024;
constexpr std::size_t kMaxReplyBytes = 65536;      // replies the host has not read yet
constexpr std::size_t kMaxDrainBytes = 16u << 20;  // taken in at an unplug, at most
// Host bytes fed to the model between two takings of its finished receipts, and the
// model's queue of untaken receipts: a receipt needs a few bytes (text and a cut), and one
// command finishes two at most (a segment at the length limit, then a cut), so a slice
// cannot finish more than the queue holds.
constexpr std::size_t kFeedSlice = 512;
constexpr int kModelReceiptQueue = 1024;
static_assert(kFeedSlice * 2 <= static_cast<std::size_t>(kModelReceiptQueue));

}  // namespace

VirtualPrinter::VirtualPrinter() = default;

VirtualPrinter::~VirtualPrinter() {
    Stop();
}

bool VirtualPrinter::Start(const VirtualPrinterOptions& options, std::string* error) {
    platform::MutexLock lock(mutex_);
    if (running_ || thread_.joinable()) {
        if (error)
            *error = "already running";
        return false;
    }
    options_ = options;
    clock_ = options.clock ? options.clock : std::make_shared<SteadyTransportClock>();
    ModelOptions modelOptions = options_.model;
    modelOptions.maxQueuedReceipts = kModelReceiptQueue;
    model_ = std::make_unique<PrinterModel>(modelOptions, options_.initial);
    pending_.clear();
    replies_.clear();
    hostHeld_ = false;
    requests_ = {};
    // Undoes whatever this call had set up; the port thread is not running yet, and the
    // writer has been handed nothing, so it never waits for mutex_ here.
    auto fail = [&](const std::string& why) REQUIRES(mutex_) {
        if (error)
            *error = why;
        if (transport_)
            transport_->Close();
        transport_.reset();
        portsEntry_.Withdraw();
        model_->SetCommandLog({});
        store_.Finish();
        model_.reset();
        return false;
    };

    std::string why;
    if (!store_.Begin(
            {options_.outDir, options_.keepReceipts, options_.maxLogBytes, options_.writeReceipt,
             [this] {
                 // Waits whose condition reads the files re-check it now.
                 { platform::MutexLock written(mutex_); }
                 changed_.notify_all();
             }},
            &why))
        return fail(why);
    if (!options_.outDir.empty())
        model_->SetCommandLog([this](const CommandRecord& record) { store_.Log(record); });
    if (!options_.nvImageFile.empty() && !LoadNvFile(options_.nvImageFile, *model_, &why))
        return fail(why);
    if (options_.listenAddress.empty())
        transport_ = MakePtyTransport(options_.linkPath);
    else if (!(transport_ = MakeTcpTransport(options_.listenAddress, &why)))
        return fail(why);
    if (!wake_.Valid())
        return fail("eventfd: no wake-up descriptor");
    wake_.Drain();
    if (!PlugInLocked(&why))
        return fail(why);
    status_ = LinkStatusLocked();
    running_ = true;
    thread_ = std::thread(&VirtualPrinter::Run, this);
    return true;
}

void VirtualPrinter::Stop() {
    std::thread thread;
    {
        platform::MutexLock lock(mutex_);
        // A second, concurrent Stop leaves the work to the first.
        if (!running_ || requests_.stop)
            return;
        requests_.stop = true;
        thread = std::move(thread_);
    }
    Wake();
    if (thread.joinable())
        thread.join();
    std::vector<DrawnReceipt> finished;
    {
        platform::MutexLock lock(mutex_);
        model_->FinishPending();
        CollectLocked(&finished);
        // The log closes with the store; the model stays for observation and controls.
        model_->SetCommandLog({});
    }
    // Outside mutex_: the writer takes it after each round.
    store_.Hand(std::move(finished));
    store_.Finish();
    platform::MutexLock lock(mutex_);
    std::string why;
    if (!options_.nvImageFile.empty() && !SaveNvFile(options_.nvImageFile, *model_, &why))
        store_.NoteError(why);
    transport_->Close();
    transport_.reset();
    portsEntry_.Withdraw();
    running_ = false;
    changed_.notify_all();
}

bool VirtualPrinter::Running() const {
    platform::MutexLock lock(mutex_);
    return running_;
}

void VirtualPrinter::Wake() {
    wake_.Signal();
}

bool VirtualPrinter::PlugInLocked(std::string* error) {
    if (!transport_->Open(error))
        return false;
    if (!options_.mapName.empty() &&
        !portsEntry_.Publish(options_.mapName, transport_->MapValue(), error)) {
        transport_->Close();
        return false;
    }
    // pending_ stays: bytes received before an unplug are still printed after the replug.
    replies_.clear();
    return true;
}

void VirtualPrinter::ServeRequestsLocked() {
    if (requests_.unplug) {
        // What the host handed over before the cable went had reached the printer: it is
        // printed, not lost with the connection.
        transport_->TakeDelivered(&pending_, kMaxDrainBytes);
        transport_->Close();
        hostHeld_ = false;  // a new pair starts flowing
        replies_.clear();
        requests_.unplug = false;
        ++requests_.done;
    }
    if (requests_.replug) {
        requests_.replugError.clear();
        if (!transport_->IsOpen())
            (void)PlugInLocked(&requests_.replugError);
        requests_.replug = false;
        ++requests_.done;
    }
}

void VirtualPrinter::FeedLocked(TimePoint now, std::vector<DrawnReceipt>* finished) {
    // A slice at a time, taking the finished receipts after each, so that a run of short
    // receipts never fills the model's queue of untaken receipts, which drops the oldest.
    std::size_t taken = 0;
    while (taken < pending_.size()) {
        const std::size_t slice = std::min(pending_.size() - taken, kFeedSlice);
        const std::size_t n = model_->Feed(pending_.data() + taken, slice, now);
        taken += n;
        for (DrawnReceipt& r : model_->TakeFinishedDrawings())
            finished->push_back(std::move(r));
        if (n < slice)
            break;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
}

void VirtualPrinter::Run() {
    platform::PollSet poll;
    for (;;) {
        std::vector<DrawnReceipt> finished;
        int timeoutMs = -1;
        std::optional<TimePoint> deadline;
        platform::PollSet::Slot woken;
        {
            platform::MutexLock lock(mutex_);
            if (requests_.stop)
                break;
            ServeRequestsLocked();
            const TimePoint now = clock_->Now();
            model_->Advance(now);
            FeedLocked(now, &finished);
            if (model_->HasReplies()) {
                replies_ += model_->TakeReplies();
                // A host that never reads loses the oldest replies, not our memory.
                if (replies_.size() > kMaxReplyBytes)
                    replies_.erase(0, replies_.size() - kMaxReplyBytes);
            }
            if (transport_->HasHost()) {
                FlowControlLocked();
            } else {
                // Nobody to answer: status blocks are not kept for a host that is not there.
                replies_.clear();
                hostHeld_ = false;
            }
            CollectLocked(&finished);
            poll.Clear();
            woken = poll.Add(wake_.Fd(), true, false);
            transport_->Watch(poll, pending_.size() < kMaxPending, !replies_.empty());
            deadline = model_->NextEventTime();
            if (deadline) {
                if (*deadline <= now) {
                    timeoutMs = 0;
                } else {
                    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
                    timeoutMs = static_cast<int>(std::min<std::int64_t>(wait.count(), 60000));
                }
            }
        }
        // Every round, so that commands.log keeps up with the printing.
        const bool anyFinished = !finished.empty();
        store_.Hand(std::move(finished));
        if (anyFinished)
            continue;  // the model may have more to do; look again before waiting
        if (timeoutMs > 0) {
            // Nothing ready now and only time to wait for: a simulated clock jumps there.
            if (poll.Wait(0) == 0 && clock_->SkipTo(*deadline))
                continue;
        }
        if (poll.Wait(timeoutMs) < 0)
            break;  // cannot happen with valid descriptors; never spin on it
        if (poll.Readable(woken))
            wake_.Drain();
        platform::MutexLock lock(mutex_);
        const std::size_t room = pending_.size() < kMaxPending ? kMaxPending - pending_.size() : 0;
        transport_->Serve(poll, room, &pending_, &replies_);
    }
}

PrinterStatus VirtualPrinter::LinkStatusLocked() const {
    PrinterStatus st = model_->Status();
    if (transport_) {
        st.bytesWaiting = pending_.size();
        st.hostHeld = hostHeld_;
    }
    return st;
}

void VirtualPrinter::FlowControlLocked() {
    // A pty would take kilobytes more than the printer's buffer before the host's writes
    // wait, and would hand them all to the printer at an unplug: the host would run far
    // ahead of a slow printer, with jobs reported sent that print minutes later. A serial
    // printer holds its line busy while its buffer is full; the pty does the same by
    // stopping the host's output, so what waits in the pty stays small.
    if (!hostHeld_ && pending_.size() >= kMaxPending)
        hostHeld_ = transport_->HoldHost();
    else if (hostHeld_ && pending_.size() + kResumeRoom <= kMaxPending)
        hostHeld_ = !transport_->ReleaseHost();
}

void VirtualPrinter::CollectLocked(std::vector<DrawnReceipt>* finished) {
    for (DrawnReceipt& r : model_->TakeFinishedDrawings())
        finished->push_back(std::move(r));
    status_ = LinkStatusLocked();
    changed_.notify_all();
}

template <typename F>
void VirtualPrinter::ControlModel(F&& f) {
    {
        platform::MutexLock lock(mutex_);
        if (!model_)
            return;
        f(*model_, clock_->Now());
        status_ = LinkStatusLocked();
        changed_.notify_all();
    }
    Wake();
}

void VirtualPrinter::SetCover(bool open) {
    ControlModel([open](PrinterModel& m, TimePoint now) { m.SetCover(open, now); });
}
void VirtualPrinter::SetPaper(PaperState paper) {
    ControlModel([paper](PrinterModel& m, TimePoint now) { m.SetPaper(paper, now); });
}
void VirtualPrinter::SetDrawer(bool open) {
    ControlModel([open](PrinterModel& m, TimePoint now) { m.SetDrawer(open, now); });
}
void VirtualPrinter::SetOnline(bool online) {
    ControlModel([online](PrinterModel& m, TimePoint now) { m.SetOnline(online, now); });
}
void VirtualPrinter::SetPower(bool on) {
    ControlModel([on](PrinterModel& m, TimePoint now) { m.SetPower(on, now); });
}

void VirtualPrinter::AwaitRequestLocked(platform::UniqueLock& lock) {
    const std::uint64_t target = requests_.done + 1;
    Wake();
    while (running_ && requests_.done < target)
        changed_.wait(lock.Std());
}

void VirtualPrinter::Unplug() {
    platform::UniqueLock lock(mutex_);
    if (!running_)
        return;
    requests_.unplug = true;
    AwaitRequestLocked(lock);
}

bool VirtualPrinter::Replug(std::string* error) {
    platform::UniqueLock lock(mutex_);
    if (!running_) {
        if (error)
            *error = "not running";
        return false;
    }
    requests_.replug = true;
    AwaitRequestLocked(lock);
    if (!running_ || !transport_->IsOpen()) {
        if (error)
            *error = running_ ? requests_.replugError : "stopped";
        return false;
    }
    return true;
}

bool VirtualPrinter::Plugged() const {
    platform::MutexLock lock(mutex_);
    return transport_ && transport_->IsOpen();
}

std::string VirtualPrinter::SlavePath() const {
    platform::MutexLock lock(mutex_);
    return transport_ ? transport_->SlavePath() : std::string();
}

std::string VirtualPrinter::ListenAddress() const {
    platform::MutexLock lock(mutex_);
    return transport_ ? transport_->ListenAddress() : std::string();
}

std::string VirtualPrinter::AddressLocked() const {
    return transport_ ? transport_->Address() : std::string();
}

std::string VirtualPrinter::DevicePath() const {
    if (!options_.linkPath.empty())
        return options_.linkPath;
    return SlavePath();
}

PrinterStatus VirtualPrinter::Status() const {
    platform::MutexLock lock(mutex_);
    return status_;
}

std::string VirtualPrinter::StatusText() const {
    platform::MutexLock lock(mutex_);
    if (!model_)
        return "stopped\n";
    std::string text = model_->StatusText();
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    const std::string address = AddressLocked();
    text += "device: " + (address.empty() ? std::string("unplugged") : address) + "\n";
    text += "receipts written: " + std::to_string(store_.Count()) + "\n";
    if (transport_) {
        text += "bytes-waiting: " + std::to_string(pending_.size()) + "\n";
        text += std::string("host-held: ") + (hostHeld_ ? "yes" : "no") + "\n";
    }
    return text;
}

TimePoint VirtualPrinter::Now() const {
    return clock_ ? clock_->Now() : ModelClock::now();
}

bool VirtualPrinter::Snapshot(const std::string& pngPath, std::string* error) const {
    DrawnReceipt paper;
    int paperWidth;
    {
        platform::MutexLock lock(mutex_);
        if (!model_) {
            if (error)
                *error = "not running";
            return false;
        }
        paper = model_->SnapshotDrawing();
        paperWidth = status_.paperWidthDots;
    }
    Image image = paper.Render();
    // Nothing printed since the last cut: a blank strip of paper, still a valid picture.
    if (image.height <= 0 || image.width <= 0)
        image = Image(std::max(1, paperWidth), 1);
    return WritePng(pngPath, image, error);
}

bool VirtualPrinter::WaitBytesConsumed(std::uint64_t n, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    platform::UniqueLock lock(mutex_);
    while (status_.bytesProcessed < n)
        if (changed_.wait_until(lock.Std(), deadline) == std::cv_status::timeout)
            return status_.bytesProcessed >= n;
    return true;
}

bool VirtualPrinter::WaitReceipts(int count, std::chrono::milliseconds timeout) const {
    return store_.WaitCount(count, timeout);
}

bool VirtualPrinter::WaitStatus(const std::function<bool(const PrinterStatus&)>& condition,
                                std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    platform::UniqueLock lock(mutex_);
    while (!condition(status_))
        if (changed_.wait_until(lock.Std(), deadline) == std::cv_status::timeout)
            return condition(status_);
    return true;
}

std::vector<Receipt> VirtualPrinter::Receipts() const {
    const std::vector<DrawnReceipt> drawn = store_.Kept();
    std::vector<Receipt> out;
    out.reserve(drawn.size());
    for (const DrawnReceipt& r : drawn)
        out.push_back(r.ToReceipt());
    return out;
}

int VirtualPrinter::ReceiptCount() const {
    return store_.Count();
}

std::vector<std::string> VirtualPrinter::ReceiptFiles() const {
    return store_.Files();
}

std::string VirtualPrinter::LastOutputError() const {
    return store_.LastError();
}

}  // namespace thermpos::vprinter
