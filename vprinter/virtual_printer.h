// The virtual printer: PrinterModel served to a host computer on a pseudo-terminal or on
// TCP, with the operator's controls, the receipts it prints and the registry entry that
// names it.
//
// A VirtualPrinter runs the model on a port thread that it owns, and writes receipts on a
// writer thread that it owns (both started by Start, joined by Stop or the destructor; see
// host.cpp). Hosts open SlavePath() (or the symlink) like a serial port, or connect to
// ListenAddress(). Control calls and waits may come from any thread.
//
// Time: the port thread reads a TransportClock. The real one is the steady clock; a
// SimulatedClock jumps to the model's next event whenever the thread would otherwise only
// wait for it, so tests measure line pacing and mechanism time in model time without
// sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/eventfd.h"
#include "platform/thread_safety.h"
#include "vprinter/model.h"
#include "vprinter/ports_entry.h"
#include "vprinter/receipt_store.h"

namespace thermpos::vprinter {

class Transport;

class TransportClock {
  public:
    virtual ~TransportClock() = default;
    virtual TimePoint Now() = 0;
    // The transport has nothing to do before `deadline` but wait. A real clock returns
    // false (the transport then sleeps in poll until then); a simulated clock moves to the
    // deadline and returns true.
    virtual bool SkipTo(TimePoint deadline) = 0;
};

class SteadyTransportClock final : public TransportClock {
  public:
    TimePoint Now() override { return ModelClock::now(); }
    bool SkipTo(TimePoint) override { return false; }
};

// Model time that only moves when the transport would wait for it (or a test advances it).
class SimulatedClock final : public TransportClock {
  public:
    explicit SimulatedClock(TimePoint start = TimePoint{} + std::chrono::hours(1)) : now_(start) {}
    TimePoint Now() override;
    bool SkipTo(TimePoint deadline) override;
    void Advance(ModelClock::duration by);

  private:
    std::mutex mutex_;
    TimePoint now_;  // mutex_
};

struct VirtualPrinterOptions {
    // model.maxQueuedReceipts does not apply: the port thread takes every receipt as soon
    // as it is finished, and keepReceipts bounds what is kept.
    ModelOptions model;
    HardwareState initial;
    // "HOST:PORT" (an address literal; port 0 picks a free one): serve the printer on TCP
    // there instead of on a pty, one connection at a time as a network printer does; the
    // others wait in the queue until it closes. Unplug closes the connection and stops
    // listening; replug listens again on the same port. linkPath does not apply.
    std::string listenAddress;
    // A symlink made to the slave device (replaced if it is already a symlink).
    std::string linkPath;
    // A device name ("COM9") entered in HKLM\SOFTWARE\ThermPOS\Ports while running; it
    // points to linkPath when given, else to the slave device, or to
    // "socket://HOST:PORT" when listening on TCP.
    std::string mapName;
    // A PNG per finished receipt (receipt-0001.png ...) and commands.log go here.
    std::string outDir;
    // NV images are loaded from and saved to this file, so they survive restarts.
    std::string nvImageFile;
    // Finished receipts kept in memory for Receipts(); older ones are forgotten (sooner
    // when the kept drawings pass a size limit).
    std::size_t keepReceipts = 64;
    // commands.log stops growing at this size (a line says so).
    std::uint64_t maxLogBytes = 64u << 20;
    // Null: the steady clock.
    std::shared_ptr<TransportClock> clock;
    // Writes each receipt's file in outDir, on the writer thread. Null: its PNG. (Tests
    // put a slow or failing writer here.)
    ReceiptWriter writeReceipt;
};

class VirtualPrinter {
  public:
    VirtualPrinter();
    ~VirtualPrinter();  // Stop()
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    // Creates the pty or the listener (link, map entry, output folder) and starts the
    // threads. False with *error when any of it fails; nothing is left behind then.
    [[nodiscard]] bool Start(const VirtualPrinterOptions& options, std::string* error);
    // Joins the port thread, finishes the pending receipt, waits until every receipt taken
    // so far is written, saves the NV images, removes the link and the map entry. Safe to
    // call twice.
    void Stop();
    bool Running() const;

    std::string SlavePath() const;  // empty while unplugged or on TCP
    // "HOST:PORT" being listened on (the port actually bound); empty on a pty or unplugged.
    std::string ListenAddress() const;
    // The path hosts should open: the link if there is one, else the slave.
    std::string DevicePath() const;

    // ---- operator controls ----
    void SetCover(bool open);
    void SetPaper(PaperState paper);
    void SetDrawer(bool open);
    void SetOnline(bool online);
    void SetPower(bool on);
    // Closes the pty (or the connection and the listener): the host's next write fails.
    // What the host had delivered (written into the pty, or acknowledged on TCP) was
    // received and is still printed, after the replug too; what it writes afterwards fails.
    void Unplug();
    // A new pty, at the same link path. False with *error if it cannot be made.
    [[nodiscard]] bool Replug(std::string* error);
    bool Plugged() const;

    // Runs one control command line ("cover open", "status", "snapshot FILE.png", ...)
    // and returns its one-line answer ("ok ...", "error ..."). *quit is set by "quit".
    std::string Control(std::string_view line, bool* quit);

    // ---- observation ----
    PrinterStatus Status() const;
    std::string StatusText() const;
    TimePoint Now() const;  // transport clock
    [[nodiscard]] bool Snapshot(const std::string& pngPath, std::string* error) const;

    // Wait (real time) until the model has interpreted n bytes in total, or until `count`
    // receipts have been finished (and written, when there is an output folder).
    bool WaitBytesConsumed(std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool WaitReceipts(int count, std::chrono::milliseconds timeout) const;
    // Waits (real time) until the status satisfies `condition`.
    bool WaitStatus(const std::function<bool(const PrinterStatus&)>& condition,
                    std::chrono::milliseconds timeout) const;
    // The most recent finished receipts (up to keepReceipts), oldest first. They are kept
    // as drawings and rasterised here, on the caller's thread, on every call.
    std::vector<Receipt> Receipts() const;
    int ReceiptCount() const;
    // Files written so far (receipt PNGs), and the last output error, if any.
    std::vector<std::string> ReceiptFiles() const;
    std::string LastOutputError() const;

  private:
    // What other threads ask of the port thread, which alone opens and closes the
    // transport (a descriptor closed under a wait in another thread would stay half alive).
    struct Requests {
        bool stop = false;
        bool unplug = false;
        bool replug = false;
        std::uint64_t done = 0;  // unplugs and replugs served
        std::string replugError;
    };

    void Run() EXCLUDES(mutex_);
    void Wake();
    void ServeRequestsLocked() REQUIRES(mutex_);
    // Posts nothing itself: waits until the request just posted was served (or the printer
    // stopped), giving the lock up meanwhile.
    void AwaitRequestLocked(platform::UniqueLock& lock) REQUIRES(mutex_);
    // Opens the transport and publishes it; on failure nothing stays open.
    bool PlugInLocked(std::string* error) REQUIRES(mutex_);
    // Offers the host's bytes to the model, collecting the receipts it finishes.
    void FeedLocked(TimePoint now, std::vector<DrawnReceipt>* finished) REQUIRES(mutex_);
    // Holds the host back while the bytes read ahead fill the buffer.
    void FlowControlLocked() REQUIRES(mutex_);
    // The model's status with the link's own state added.
    PrinterStatus LinkStatusLocked() const REQUIRES(mutex_);
    void CollectLocked(std::vector<DrawnReceipt>* finished) REQUIRES(mutex_);
    std::string AddressLocked() const REQUIRES(mutex_);
    template <typename F>
    void ControlModel(F&& f) EXCLUDES(mutex_);

    // Lock order: mutex_, then the store's own lock (commands.log lines are handed to the
    // store from inside model calls), then a SimulatedClock's. The port thread never holds
    // mutex_ while it waits on its descriptors or for room in the store.
    mutable platform::Mutex mutex_;
    mutable std::condition_variable changed_;  // status, unplug/replug done, log written
    VirtualPrinterOptions options_;            // fixed while running
    std::shared_ptr<TransportClock> clock_;    // fixed while running
    std::unique_ptr<PrinterModel> model_ GUARDED_BY(mutex_);
    // Null while stopped. Opened and closed by the port thread only while it runs.
    std::unique_ptr<Transport> transport_ GUARDED_BY(mutex_);
    PortsEntry portsEntry_ GUARDED_BY(mutex_);
    std::vector<std::uint8_t> pending_ GUARDED_BY(mutex_);  // from the host, not yet fed
    std::string replies_ GUARDED_BY(mutex_);                // for the host, not yet sent
    bool hostHeld_ GUARDED_BY(mutex_) = false;              // the host's output is stopped
    Requests requests_ GUARDED_BY(mutex_);
    PrinterStatus status_ GUARDED_BY(mutex_);  // refreshed after every model call
    bool running_ GUARDED_BY(mutex_) = false;
    std::thread thread_ GUARDED_BY(mutex_);  // Start makes it, Stop joins it
    platform::WakeDescriptor wake_;  // wakes the port thread's wait; signalled from any thread
    ReceiptStore store_;             // its own lock; Start begins it, Stop finishes it
};

}  // namespace thermpos::vprinter
