// The virtual printer served on a pseudo-terminal: the transport around PrinterModel.
//
// A VirtualPrinter runs the model on one background thread that it owns (started by
// Start, joined by Stop or the destructor). Hosts open SlavePath() (or the symlink) like
// a serial port. Control calls and waits may come from any thread.
//
// Time: the thread reads a TransportClock. The real one is the steady clock; a
// SimulatedClock jumps to the model's next event whenever the thread would otherwise only
// wait for it, so tests measure line pacing and mechanism time in model time without
// sleeping.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "vprinter/model.h"

namespace thermpos::vprinter {

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
    // model.maxQueuedReceipts does not apply: the thread takes every receipt as soon as it
    // is finished, and keepReceipts bounds what is kept.
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
};

class VirtualPrinter {
  public:
    VirtualPrinter();
    ~VirtualPrinter();  // Stop()
    VirtualPrinter(const VirtualPrinter&) = delete;
    VirtualPrinter& operator=(const VirtualPrinter&) = delete;

    // Creates the pty (link, map entry, output folder) and starts the thread. False with
    // *error when any of it fails; nothing is left behind then.
    [[nodiscard]] bool Start(const VirtualPrinterOptions& options, std::string* error);
    // Joins the thread, finishes the pending receipt (written like any other), saves the NV
    // images, removes the link and the map entry. Safe to call twice.
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
    struct Io;
    void Run();
    void Wake() const;
    void AwaitRequestLocked(std::unique_lock<std::mutex>& lock);
    bool OpenPtyLocked(std::string* error);
    void ClosePtyLocked();
    // Holds the host back while the bytes read ahead fill the buffer (pty only).
    void FlowControlLocked();
    // The model's status with the link's own state added.
    PrinterStatus LinkStatusLocked() const;
    // Takes in everything the host has delivered and the transport still holds (the
    // hosts waiting in a TCP listener's queue included), after stopping any more.
    void DrainHostLocked();
    // Moves bytes between the TCP host and the buffers after poll said revents.
    void ServeClientLocked(short revents, std::vector<std::uint8_t>& chunk);
    bool PublishLocked(std::string* error);
    void UnpublishMapLocked();
    void CollectLocked(std::vector<DrawnReceipt>* finished);
    void StoreReceipts(std::vector<DrawnReceipt> finished);
    void LogCommand(const CommandRecord& record);
    template <typename F>
    void ControlModel(F&& f);

    // Lock order: mutex_ only (the commands.log file is written under it, from inside
    // model calls). The thread never holds mutex_ while it blocks in poll.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // status, receipts, unplug/replug done
    VirtualPrinterOptions options_;            // fixed while running
    std::shared_ptr<TransportClock> clock_;    // fixed while running
    std::unique_ptr<PrinterModel> model_;      // mutex_
    std::unique_ptr<Io> io_;                   // mutex_ (descriptors, buffers, requests)
    PrinterStatus status_;                     // mutex_, refreshed after every model call
    std::deque<DrawnReceipt> receipts_;        // mutex_
    std::size_t receiptBytes_ = 0;             // mutex_, Bytes() of receipts_
    int receiptCount_ = 0;                     // mutex_
    std::vector<std::string> files_;           // mutex_
    std::string outputError_;                  // mutex_
    bool running_ = false;                     // mutex_
    std::thread thread_;                       // mutex_; Start makes it, Stop joins it
};

}  // namespace thermpos::vprinter
