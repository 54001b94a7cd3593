// The virtual printer's transports: a pty, or a TCP listener taking one host at a time.
//
// Threads: the I/O thread (VirtualPrinter::Run), started by Start and joined by Stop,
// moves bytes between the pty master and the model, runs the model's timers, writes
// receipt PNGs and opens/closes the pty on unplug/replug requests. Any other thread may
// call the control, observation and wait functions.
//
// Receipts are rasterised only where a picture is wanted (a PNG written by the I/O
// thread, Receipts() and Snapshot() on the caller's thread), always outside mutex_: the
// model hands over finished receipts as drawings, which never change afterwards.
//
// Locks: mutex_ is the only lock. It guards the model, the status copy, the receipt
// list and the I/O requests. The I/O thread drops it before it blocks in poll and while
// it rasterises receipts and writes PNG files. Descriptors are opened and closed only by the I/O
// thread while it runs (a descriptor closed under a poll in another thread would stay half alive),
// so Unplug/Replug post a request and wait for it. commands.log is written under mutex_, from the
// model's command callback.
#include "vprinter/pty.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/netport.h"
#include "platform/pty.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "vprinter/image.h"

namespace thermpos::vprinter {

namespace {

constexpr std::size_t kMaxPending = 4096;  // host bytes read ahead of the model
// Room that must be free again before the host may send after being held back: flow
// control that flips with every byte taken would cost two calls per byte.
constexpr std::size_t kResumeRoom = 1024;
constexpr std::size_t kMaxReplyBytes = 65536;      // replies the host has not read yet
constexpr std::size_t kMaxDrainBytes = 16u << 20;  // taken in at an unplug, at most
constexpr std::size_t kMaxNvFileBytes = 16u << 20;
constexpr std::size_t kMaxFilesListed = 1024;
// Host bytes fed to the model between two takings of its finished receipts, and the
// model's queue of untaken receipts: a receipt needs a few bytes (text and a cut), and one
// command finishes two at most (a segment at the length limit, then a cut), so a slice
// cannot finish more than the queue holds.
constexpr std::size_t kFeedSlice = 512;
constexpr int kModelReceiptQueue = 1024;
static_assert(kFeedSlice * 2 <= static_cast<std::size_t>(kModelReceiptQueue));
// Drawings of finished receipts kept for Receipts(), at most (the newest is always kept).
constexpr std::size_t kMaxKeptReceiptBytes = 256u << 20;
using regpath::kPorts;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

// ---- clocks ----

TimePoint SimulatedClock::Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}

bool SimulatedClock::SkipTo(TimePoint deadline) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = std::max(now_, deadline);
    return true;
}

void SimulatedClock::Advance(ModelClock::duration by) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += by;
}

// ---- transport ----

struct VirtualPrinter::Io {
    // Opened with its slave kept open, so that the master never reads a hang-up when the
    // host closes its side.
    pty::PseudoTerminal terminal;
    int wake = -1;  // eventfd: control calls and requests
    // Touched by the I/O thread only.
    std::vector<std::uint8_t> pending;  // read from the host, not yet taken by the model
    bool hostHeld = false;              // the pty's host output is stopped (flow control)
    std::string replies;                // for the host, not yet written
    // Requests to the I/O thread, and their completion.
    bool stop = false;
    bool unplug = false;
    bool replug = false;
    std::uint64_t requestsDone = 0;
    std::string replugError;
    // What this process published, so that only that is removed again.
    bool linked = false;
    std::string mapValue;
    std::FILE* log = nullptr;
    std::uint64_t logBytes = 0;
    bool logFull = false;

    // On TCP instead of the pty (options_.listenAddress).
    bool tcp = false;
    netport::Endpoint listenAt;  // the port becomes the bound one, so replug reuses it
    int listenFd = -1;
    int clientFd = -1;  // the one connection served; the next waits in the queue
    std::string boundAddress;

    bool IsOpen() const { return tcp ? listenFd >= 0 : terminal.IsOpen(); }
    // Where the host's bytes come from: the pty master or the connection, or -1.
    int HostFd() const { return tcp ? clientFd : terminal.MasterFd(); }
    // The path or address the host opens.
    std::string HostPath() const {
        if (!IsOpen())
            return {};
        return tcp ? boundAddress : terminal.SlavePath();
    }
    void DropClient() {
        CloseFd(clientFd);
        replies.clear();
    }
};

VirtualPrinter::VirtualPrinter() = default;

VirtualPrinter::~VirtualPrinter() {
    Stop();
}

bool VirtualPrinter::Start(const VirtualPrinterOptions& options, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Undoes whatever this call had set up; the thread is not running yet.
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        if (io_) {
            ClosePtyLocked();
            if (io_->linked)
                pty::RemoveLinkTo(options_.linkPath, io_->terminal.SlavePath());
            UnpublishMapLocked();
            CloseFd(io_->wake);
            if (io_->log)
                std::fclose(io_->log);
        }
        io_.reset();
        model_.reset();
        return false;
    };
    if (running_ || io_ || thread_.joinable()) {
        if (error)
            *error = "already running";
        return false;
    }
    options_ = options;
    clock_ = options.clock ? options.clock : std::make_shared<SteadyTransportClock>();
    io_ = std::make_unique<Io>();
    ModelOptions modelOptions = options_.model;
    modelOptions.maxQueuedReceipts = kModelReceiptQueue;
    model_ = std::make_unique<PrinterModel>(modelOptions, options_.initial);
    receipts_.clear();
    receiptBytes_ = 0;
    receiptCount_ = 0;
    files_.clear();
    outputError_.clear();

    if (!options_.outDir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options_.outDir, ec);
        if (ec)
            return fail(options_.outDir + ": " + ec.message());
        const std::string logPath = options_.outDir + "/commands.log";
        io_->log = std::fopen(logPath.c_str(), "w");
        if (!io_->log)
            return fail(Errno(logPath));
        model_->SetCommandLog([this](const CommandRecord& record) { LogCommand(record); });
    }
    if (!options_.nvImageFile.empty()) {
        std::ifstream in(options_.nvImageFile, std::ios::binary);
        if (in) {
            std::vector<std::uint8_t> blob;
            char buffer[65536];
            while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
                blob.insert(blob.end(), buffer, buffer + in.gcount());
                if (blob.size() > kMaxNvFileBytes)
                    return fail(options_.nvImageFile + ": too large for NV images");
            }
            if (!model_->LoadNvImages(blob))
                return fail(options_.nvImageFile + ": not an NV image file");
        }
    }
    if (!options_.listenAddress.empty()) {
        io_->tcp = true;
        if (netport::ParseListenAddress(options_.listenAddress, &io_->listenAt) != ERROR_SUCCESS)
            return fail(options_.listenAddress + ": not an address literal with a port");
    }
    io_->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (io_->wake < 0)
        return fail(Errno("eventfd"));
    std::string why;
    if (!OpenPtyLocked(&why) || !PublishLocked(&why))
        return fail(why);
    status_ = LinkStatusLocked();
    running_ = true;
    thread_ = std::thread(&VirtualPrinter::Run, this);
    return true;
}

void VirtualPrinter::Stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A second, concurrent Stop leaves the work to the first.
        if (!io_ || io_->stop)
            return;
        io_->stop = true;
        thread = std::move(thread_);
    }
    Wake();
    if (thread.joinable())
        thread.join();
    std::vector<DrawnReceipt> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        model_->FinishPending();
        CollectLocked(&finished);
    }
    StoreReceipts(std::move(finished));
    std::lock_guard<std::mutex> lock(mutex_);
    if (!options_.nvImageFile.empty()) {
        const std::vector<std::uint8_t> blob = model_->SaveNvImages();
        const std::string temporary = options_.nvImageFile + ".part";
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(blob.data()),
                  static_cast<std::streamsize>(blob.size()));
        out.close();
        if (!out || std::rename(temporary.c_str(), options_.nvImageFile.c_str()) != 0) {
            outputError_ = options_.nvImageFile + ": NV images not saved";
            std::remove(temporary.c_str());
        }
    }
    ClosePtyLocked();
    if (io_->linked)
        pty::RemoveLinkTo(options_.linkPath, io_->terminal.SlavePath());
    io_->linked = false;
    UnpublishMapLocked();
    CloseFd(io_->wake);
    if (io_->log)
        std::fclose(io_->log);
    io_->log = nullptr;
    model_->SetCommandLog({});
    io_.reset();
    running_ = false;
    changed_.notify_all();
}

bool VirtualPrinter::Running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

void VirtualPrinter::Wake() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (io_ && io_->wake >= 0) {
        const std::uint64_t one = 1;
        // A full counter already means "wake up"; nothing to do on failure.
        [[maybe_unused]] ssize_t n = ::write(io_->wake, &one, sizeof one);
    }
}

bool VirtualPrinter::OpenPtyLocked(std::string* error) {
    Io& io = *io_;
    if (io.tcp) {
        // A queue of one: a second host waits, as at a printer that serves one at a time.
        const LONG rc = netport::Listen(io.listenAt, 1, &io.listenFd, &io.boundAddress);
        if (rc != ERROR_SUCCESS) {
            if (error)
                *error =
                    "cannot listen on " + options_.listenAddress + ": error " + std::to_string(rc);
            return false;
        }
        const auto colon = io.boundAddress.rfind(':');
        io.listenAt.port =
            static_cast<unsigned short>(std::stoul(io.boundAddress.substr(colon + 1)));
    } else if (!io.terminal.Open(error, /*keepSlaveOpen=*/true)) {
        return false;
    }
    // pending stays: bytes received before an unplug are still printed after the replug.
    io.replies.clear();
    return true;
}

void VirtualPrinter::ClosePtyLocked() {
    if (!io_)
        return;
    io_->terminal.Close();
    io_->hostHeld = false;  // a new pair starts flowing
    io_->DropClient();
    CloseFd(io_->listenFd);
    // pending is the printer's: what the host delivered before the cable went is printed.
    io_->replies.clear();
}

bool VirtualPrinter::PublishLocked(std::string* error) {
    Io& io = *io_;
    if (!options_.linkPath.empty() && !io.tcp) {
        if (!pty::PointLink(options_.linkPath, io.terminal.SlavePath(), error))
            return false;
        io.linked = true;
    }
    if (!options_.mapName.empty()) {
        const std::string value = io.tcp                      ? "socket://" + io.boundAddress
                                  : options_.linkPath.empty() ? io.terminal.SlavePath()
                                                              : options_.linkPath;
        if (value == io.mapValue)
            return true;
        registry::KeyHolder key;
        LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPorts, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE | KEY_QUERY_VALUE, nullptr, key.Out(), nullptr);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(key.Get(), options_.mapName.c_str(), 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1));
        }
        if (rc != ERROR_SUCCESS)
            return *error =
                       "registry Ports entry " + options_.mapName + ": error " + std::to_string(rc),
                   false;
        io.mapValue = value;
    }
    return true;
}

void VirtualPrinter::UnpublishMapLocked() {
    if (!io_ || io_->mapValue.empty())
        return;
    registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPorts, 0, KEY_ALL_ACCESS, key.Out()) == ERROR_SUCCESS) {
        // Only our own entry goes: another program may have mapped the name since.
        char current[4096];
        DWORD size = sizeof current;
        DWORD type = 0;
        if (RegQueryValueExA(key.Get(), options_.mapName.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(current), &size) == ERROR_SUCCESS &&
            type == REG_SZ && size > 0 && std::string(current, size - 1) == io_->mapValue)
            // Best effort on the way out: a stale entry names a terminal that is gone, and
            // the next start under that name replaces it.
            (void)RegDeleteValueA(key.Get(), options_.mapName.c_str());
    }
    io_->mapValue.clear();
}

void VirtualPrinter::LogCommand(const CommandRecord& record) {
    // Called from inside model calls, with mutex_ held.
    Io& io = *io_;
    if (!io.log || io.logFull)
        return;
    char offset[32];
    std::snprintf(offset, sizeof offset, "%10llu", static_cast<unsigned long long>(record.offset));
    std::string line = std::string(offset) + "  " + record.mnemonic;
    if (!record.params.empty())
        line += "  " + record.params;
    line += '\n';
    if (io.logBytes + line.size() > options_.maxLogBytes) {
        std::fputs("(log size limit reached; later commands are not logged)\n", io.log);
        io.logFull = true;
    } else {
        std::fputs(line.c_str(), io.log);
        io.logBytes += line.size();
    }
    std::fflush(io.log);
}

void VirtualPrinter::CollectLocked(std::vector<DrawnReceipt>* finished) {
    for (DrawnReceipt& r : model_->TakeFinishedDrawings())
        finished->push_back(std::move(r));
    status_ = LinkStatusLocked();
    changed_.notify_all();
}

void VirtualPrinter::StoreReceipts(std::vector<DrawnReceipt> finished) {
    if (finished.empty())
        return;
    // Files first: a waiter told that a receipt is finished may open its PNG at once.
    std::vector<std::string> written;
    std::string failure;
    if (!options_.outDir.empty()) {
        for (const DrawnReceipt& r : finished) {
            char name[64];
            std::snprintf(name, sizeof name, "/receipt-%04d.png", r.index);
            const std::string path = options_.outDir + name;
            std::string why;
            if (WritePng(path, r.Render(), &why))
                written.push_back(path);
            else
                failure = why;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (DrawnReceipt& r : finished) {
        receiptBytes_ += r.Bytes();
        receipts_.push_back(std::move(r));
        ++receiptCount_;
    }
    while (!receipts_.empty() && (receipts_.size() > options_.keepReceipts ||
                                  (receiptBytes_ > kMaxKeptReceiptBytes && receipts_.size() > 1))) {
        receiptBytes_ -= receipts_.front().Bytes();
        receipts_.pop_front();
    }
    files_.insert(files_.end(), written.begin(), written.end());
    if (files_.size() > kMaxFilesListed)
        files_.erase(files_.begin(), files_.end() - kMaxFilesListed);
    if (!failure.empty())
        outputError_ = failure;
    changed_.notify_all();
}

void VirtualPrinter::Run() {
    std::vector<std::uint8_t> chunk(kMaxPending);
    for (;;) {
        std::vector<DrawnReceipt> finished;
        pollfd fds[3] = {};
        int timeoutMs = -1;
        std::optional<TimePoint> deadline;
        int master = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            Io& io = *io_;
            if (io.stop)
                break;
            if (io.unplug) {
                // What the host handed over before the cable went had reached the printer:
                // it is printed, not lost with the connection: on a pty every byte written
                // (a pty has no transmitter whose queue the host could wait on), on TCP
                // every byte acknowledged. Taking more is stopped first, so that nothing
                // delivered between the last read and the close is lost unseen.
                DrainHostLocked();
                ClosePtyLocked();
                // The device node goes with the device. A link left pointing at the old
                // slave path would lead a host that opens it again by name to whatever
                // terminal gets that number next, another program's perhaps.
                if (io.linked) {
                    pty::RemoveLinkTo(options_.linkPath, io.terminal.SlavePath());
                    io.linked = false;
                }
                io.unplug = false;
                ++io.requestsDone;
            }
            if (io.replug) {
                io.replugError.clear();
                if (!io.IsOpen() &&
                    (!OpenPtyLocked(&io.replugError) || !PublishLocked(&io.replugError)))
                    ClosePtyLocked();
                io.replug = false;
                ++io.requestsDone;
            }
            const TimePoint now = clock_->Now();
            model_->Advance(now);
            if (!io.pending.empty()) {
                // A slice at a time, taking the finished receipts after each, so that a run
                // of short receipts never fills the model's queue of untaken receipts, which
                // drops the oldest.
                std::size_t taken = 0;
                while (taken < io.pending.size()) {
                    const std::size_t slice = std::min(io.pending.size() - taken, kFeedSlice);
                    const std::size_t n = model_->Feed(io.pending.data() + taken, slice, now);
                    taken += n;
                    for (DrawnReceipt& r : model_->TakeFinishedDrawings())
                        finished.push_back(std::move(r));
                    if (n < slice)
                        break;
                }
                io.pending.erase(io.pending.begin(),
                                 io.pending.begin() + static_cast<std::ptrdiff_t>(taken));
            }
            if (model_->HasReplies()) {
                io.replies += model_->TakeReplies();
                // A host that never reads loses the oldest replies, not our memory.
                if (io.replies.size() > kMaxReplyBytes)
                    io.replies.erase(0, io.replies.size() - kMaxReplyBytes);
            }
            master = io.HostFd();
            // Nobody to answer: status blocks are not kept for a host that is not there.
            if (master < 0)
                io.replies.clear();
            if (!io.tcp && master >= 0)
                FlowControlLocked();
            CollectLocked(&finished);
            fds[0] = {io.wake, POLLIN, 0};
            fds[1] = {master, 0, 0};
            fds[2] = {io.tcp && master < 0 ? io.listenFd : -1, POLLIN, 0};
            if (master >= 0) {
                if (io.pending.size() < kMaxPending)
                    fds[1].events |= POLLIN;
                if (!io.replies.empty())
                    fds[1].events |= POLLOUT;
            }
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
        if (!finished.empty()) {
            StoreReceipts(std::move(finished));
            continue;  // the model may have more to do; look again before sleeping
        }
        if (timeoutMs > 0) {
            // Nothing ready now and only time to wait for: a simulated clock jumps there.
            if (::poll(fds, 3, 0) == 0 && clock_->SkipTo(*deadline))
                continue;
        }
        if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR)
            break;  // cannot happen with valid descriptors; never spin on it
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t n = ::read(fds[0].fd, &count, sizeof count);
        }
        if (fds[2].revents & POLLIN) {
            std::lock_guard<std::mutex> lock(mutex_);
            // The listener may have gone with an unplug meanwhile.
            if (io_->listenFd == fds[2].fd && io_->clientFd < 0)
                io_->clientFd = netport::AcceptClient(io_->listenFd);
            continue;
        }
        if (master < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        Io& io = *io_;
        if (io.HostFd() != master)
            continue;  // unplugged meanwhile
        if (io.tcp) {
            ServeClientLocked(fds[1].revents, chunk);
            continue;
        }
        if ((fds[1].revents & POLLIN) && io.pending.size() < kMaxPending) {
            const std::size_t room = kMaxPending - io.pending.size();
            std::size_t got = 0;
            if (io.terminal.Read(chunk.data(), room, &got) == pty::IoResult::HungUp) {
                // The pty is gone underneath us: treat it as unplugged rather than spin.
                ClosePtyLocked();
                continue;
            }
            io.pending.insert(io.pending.end(), chunk.begin(),
                              chunk.begin() + static_cast<std::ptrdiff_t>(got));
        }
        if ((fds[1].revents & POLLOUT) && !io.replies.empty()) {
            std::size_t put = 0;
            // A failed write shows as a hang-up at the next read.
            (void)io.terminal.Write(io.replies.data(), io.replies.size(), &put);
            io.replies.erase(0, put);
        }
    }
}

PrinterStatus VirtualPrinter::LinkStatusLocked() const {
    PrinterStatus st = model_->Status();
    if (io_) {
        st.bytesWaiting = io_->pending.size();
        st.hostHeld = io_->hostHeld;
    }
    return st;
}

void VirtualPrinter::FlowControlLocked() {
    // A pty would take kilobytes more than the printer's buffer before the host's writes
    // wait, and would hand them all to the printer at an unplug: the host would run far
    // ahead of a slow printer, with jobs reported sent that print minutes later. A serial
    // printer holds its line busy while its buffer is full; the pty does the same by
    // stopping the host's output, so what waits in the pty stays small.
    Io& io = *io_;
    if (!io.hostHeld && io.pending.size() >= kMaxPending)
        io.hostHeld = io.terminal.StopHostOutput();
    else if (io.hostHeld && io.pending.size() + kResumeRoom <= kMaxPending)
        io.hostHeld = !io.terminal.ResumeHostOutput();
}

void VirtualPrinter::DrainHostLocked() {
    Io& io = *io_;
    auto takeAll = [&](int fd) {
        std::uint8_t buffer[4096];
        while (io.pending.size() < kMaxDrainBytes) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;  // nothing more waiting (both transports are non-blocking), or gone
            io.pending.insert(io.pending.end(), buffer, buffer + got);
        }
    };
    if (io.HostFd() >= 0) {
        if (io.tcp)
            netport::StopReceiving(io.clientFd);
        else
            (void)io.terminal.StopHostOutput();
        takeAll(io.HostFd());
    }
    if (!io.tcp || io.listenFd < 0)
        return;
    // Hosts waiting in the listener's queue were acknowledged too, and closing the
    // listener would reset them: their bytes are taken in the order they would be served.
    for (int waiting; (waiting = netport::AcceptClient(io.listenFd)) >= 0;) {
        netport::StopReceiving(waiting);
        takeAll(waiting);
        ::close(waiting);
    }
}

void VirtualPrinter::ServeClientLocked(short revents, std::vector<std::uint8_t>& chunk) {
    Io& io = *io_;
    // pending can hold more than kMaxPending after an unplug took in what was waiting.
    const std::size_t room = io.pending.size() < kMaxPending
                                 ? std::min(kMaxPending - io.pending.size(), chunk.size())
                                 : 0;
    if (room > 0 && (revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t got = ::read(io.clientFd, chunk.data(), room);
        if (got > 0) {
            io.pending.insert(io.pending.end(), chunk.begin(), chunk.begin() + got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            // The host closed or reset the connection; what it sent is still printed.
            io.DropClient();
            return;
        }
    }
    if ((revents & POLLOUT) && !io.replies.empty()) {
        const long put = netport::SendSome(io.clientFd, io.replies.data(), io.replies.size());
        if (put > 0)
            io.replies.erase(0, static_cast<std::size_t>(put));
        else if (put < 0 && errno != EAGAIN && errno != EINTR)
            io.DropClient();
    }
}

template <typename F>
void VirtualPrinter::ControlModel(F&& f) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
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

// The request just posted in io_ is served by the I/O thread; returns once it is (or the
// printer stopped), with `lock` held again.
void VirtualPrinter::AwaitRequestLocked(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t target = io_->requestsDone + 1;
    lock.unlock();
    Wake();
    lock.lock();
    changed_.wait(lock, [&] { return !io_ || io_->requestsDone >= target; });
}

void VirtualPrinter::Unplug() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!io_ || !running_)
        return;
    io_->unplug = true;
    AwaitRequestLocked(lock);
}

bool VirtualPrinter::Replug(std::string* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!io_ || !running_) {
        if (error)
            *error = "not running";
        return false;
    }
    io_->replug = true;
    AwaitRequestLocked(lock);
    if (!io_ || !io_->IsOpen()) {
        if (error)
            *error = io_ ? io_->replugError : "stopped";
        return false;
    }
    return true;
}

bool VirtualPrinter::Plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return io_ && io_->IsOpen();
}

std::string VirtualPrinter::SlavePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return io_ && !io_->tcp && io_->terminal.IsOpen() ? io_->terminal.SlavePath() : std::string();
}

std::string VirtualPrinter::ListenAddress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return io_ && io_->tcp && io_->IsOpen() ? io_->boundAddress : std::string();
}

std::string VirtualPrinter::DevicePath() const {
    if (!options_.linkPath.empty())
        return options_.linkPath;
    return SlavePath();
}

PrinterStatus VirtualPrinter::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

std::string VirtualPrinter::StatusText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!model_)
        return "stopped\n";
    std::string text = model_->StatusText();
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += "device: " + (io_ && io_->IsOpen() ? io_->HostPath() : std::string("unplugged")) + "\n";
    text += "receipts written: " + std::to_string(receiptCount_) + "\n";
    if (io_) {
        text += "bytes-waiting: " + std::to_string(io_->pending.size()) + "\n";
        text += std::string("host-held: ") + (io_->hostHeld ? "yes" : "no") + "\n";
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
        std::lock_guard<std::mutex> lock(mutex_);
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
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return status_.bytesProcessed >= n; });
}

bool VirtualPrinter::WaitReceipts(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return receiptCount_ >= count; });
}

bool VirtualPrinter::WaitStatus(const std::function<bool(const PrinterStatus&)>& condition,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(status_); });
}

std::vector<Receipt> VirtualPrinter::Receipts() const {
    std::vector<DrawnReceipt> drawn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        drawn.assign(receipts_.begin(), receipts_.end());
    }
    std::vector<Receipt> out;
    out.reserve(drawn.size());
    for (const DrawnReceipt& r : drawn)
        out.push_back(r.ToReceipt());
    return out;
}

int VirtualPrinter::ReceiptCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return receiptCount_;
}

std::vector<std::string> VirtualPrinter::ReceiptFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_;
}

std::string VirtualPrinter::LastOutputError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputError_;
}

// ---- control commands ----

std::string VirtualPrinter::Control(std::string_view line, bool* quit) {
    if (quit)
        *quit = false;
    std::vector<std::string> words;
    {
        std::istringstream in{std::string(line)};
        std::string word;
        while (in >> word && words.size() < 4)
            words.push_back(word);
    }
    auto is = [&](std::initializer_list<const char*> expected) {
        if (words.size() != expected.size())
            return false;
        std::size_t i = 0;
        for (const char* e : expected)
            if (words[i++] != e)
                return false;
        return true;
    };
    if (words.empty())
        return "error empty command";
    if (is({"cover", "open"}) || is({"cover", "close"})) {
        SetCover(words[1] == "open");
    } else if (is({"paper", "ok"})) {
        SetPaper(PaperState::Ok);
    } else if (is({"paper", "near-end"})) {
        SetPaper(PaperState::NearEnd);
    } else if (is({"paper", "out"})) {
        SetPaper(PaperState::Out);
    } else if (is({"drawer", "open"}) || is({"drawer", "close"})) {
        SetDrawer(words[1] == "open");
    } else if (is({"online"}) || is({"offline"})) {
        SetOnline(words[0] == "online");
    } else if (is({"power", "on"}) || is({"power", "off"})) {
        SetPower(words[1] == "on");
    } else if (is({"unplug"})) {
        Unplug();
    } else if (is({"replug"})) {
        std::string error;
        if (!Replug(&error))
            return "error " + error;
        return "ok " + (options_.listenAddress.empty() ? SlavePath() : ListenAddress());
    } else if (is({"status"})) {
        std::string text = StatusText();
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::replace(text.begin(), text.end(), '\n', ';');
        return "ok " + text;
    } else if (words[0] == "snapshot") {
        // The rest of the line is the file name, spaces included.
        std::string_view path = line.substr(line.find("snapshot") + 8);
        while (!path.empty() && std::isspace(static_cast<unsigned char>(path.front())))
            path.remove_prefix(1);
        while (!path.empty() && std::isspace(static_cast<unsigned char>(path.back())))
            path.remove_suffix(1);
        if (path.empty())
            return "error snapshot needs a file name";
        std::string error;
        if (!Snapshot(std::string(path), &error))
            return "error " + error;
    } else if (is({"quit"})) {
        if (quit)
            *quit = true;
    } else {
        return "error unknown command (cover open|close, paper ok|near-end|out, drawer "
               "open|close, online, offline, power on|off, unplug, replug, status, snapshot "
               "FILE.png, quit)";
    }
    return "ok";
}

}  // namespace thermpos::vprinter
