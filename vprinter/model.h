// The virtual printer's model: host bytes in; printer state, rendered receipts and reply
// bytes out. It performs no I/O, reads no clock and starts no thread: the transport (pty,
// in-memory buffer in tests) owns all of that and passes the current time into every call
// that may depend on it, so tests drive time explicitly.
//
// Threads: none. A PrinterModel is not internally locked; the transport serialises calls.
//
// Life cycle (acquire / reset / release): the constructor cannot fail; Reset() returns
// to the power-on state (keeping the paper already printed and the NV images); the
// destructor discards everything not taken. Call FinishPending() before destruction to get
// the printed part of an uncut receipt.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vprinter/image.h"

namespace thermpos::vprinter {

// Model time. Only differences matter; the transport passes steady_clock::now(), tests
// pass any monotonic sequence (for example TimePoint{} + 3s).
using ModelClock = std::chrono::steady_clock;
using TimePoint = ModelClock::time_point;

enum class PaperState : std::uint8_t { Ok, NearEnd, Out };

// Which drawer level counts as "open" on connector pin 3 (it varies between drawers).
enum class DrawerPolarity : std::uint8_t { OpenHigh, OpenLow };

struct ModelOptions {
    // Printable width in dots at 8 dots/mm: 576 (80 mm), 432 (60 mm), 384 (58 mm),
    // 360 (58/60 mm on 180-dpi heads). Clamped to 64..2048.
    int paperWidthDots = 576;
    // Font B is 9x24 on two-font models, 9x17 otherwise.
    bool twoFontModel = false;
    // Font C (8x16) exists; when false ESC M 2 is ignored.
    bool hasFontC = true;
    // Second colour (red) accepted by GS ( N and ESC ~ J.
    bool twoColour = true;
    DrawerPolarity drawerPolarity = DrawerPolarity::OpenHigh;
    // After a drawer pulse the drawer reads open; it closes again by control or after this
    // delay (0 = stays open until closed by control).
    int drawerAutoCloseMs = 0;
    // Serial line pacing: bytes are accepted at most at baud/10 per second (0 = no limit).
    int baud = 0;
    // Paper transport speed in mm/s: each feed keeps the mechanism busy for its length
    // (0 = instantaneous).
    int printSpeedMmPerS = 0;
    // Receive buffer of the printer. While printing is held (offline, busy mechanism)
    // bytes are accepted until it is full. Clamped to 512 bytes..1 MiB, so that the
    // longest command header always fits.
    std::size_t receiveBufferBytes = 4096;
    // Real-time commands (DLE EOT, DLE DC4, DLE ENQ) recognised anywhere in the raw byte
    // stream, as older hardware does (even inside image data), instead of only at command
    // boundaries. Held data is always scanned raw so that status requests are answered
    // while offline.
    bool realtimeAnywhere = false;
    // Whether ESC @ also switches automatic status back off (the self-test always does).
    bool initClearsAsb = false;
    // GS a mask in force at power-on (a DIP-switch setting on real printers).
    std::uint8_t asbDefaultMask = 0;
    // Capacity of the non-volatile image store (FS q), bytes of image data.
    std::size_t nvCapacityBytes = 256 * 1024;
    // A receipt longer than this many dots is finished as a segment (no cut) and printing
    // continues on a new image, so an endless stream without cuts stays bounded.
    int maxReceiptDots = 16384;
    // Finished receipts not yet taken; beyond this the oldest are dropped (and counted).
    int maxQueuedReceipts = 16;
};

// Initial hardware state for the constructor and Reset().
struct HardwareState {
    bool coverOpen = false;
    PaperState paper = PaperState::Ok;
    bool drawerOpen = false;
    bool forcedOffline = false;
    bool powerOn = true;
};

enum class CutKind : std::uint8_t { None, Full, Partial };

struct Receipt {
    int index = 0;                // 1, 2, 3 ... in order of finishing, never reused
    CutKind cut = CutKind::None;  // None: finished at exit or as an over-long segment
    Image image;  // 1 pixel per dot, paper width wide; a cut ends with a cut mark row
};

// What a receipt was drawn with (its draw operations and the pictures they show). It never
// changes once the receipt is finished.
struct ReceiptDrawing;

// A finished receipt before rasterisation: cheap to take, copy and keep, while the picture
// costs a pass over every dot of the paper. Copies share the drawing, so Render() may run
// on any thread, without a lock, while the model goes on printing.
struct DrawnReceipt {
    int index = 0;
    CutKind cut = CutKind::None;
    std::shared_ptr<const ReceiptDrawing> drawing;  // null: a blank receipt of no height

    // The picture, as Receipt::image.
    Image Render() const;
    Receipt ToReceipt() const { return {index, cut, Render()}; }
    // Memory the drawing holds (operations and pictures), for bounding a list of them.
    std::size_t Bytes() const;
};

// A snapshot of everything a host or an operator can observe.
struct PrinterStatus {
    bool powerOn = true;
    bool online = true;  // derived: cover closed, paper not out, not forced offline
    bool coverOpen = false;
    PaperState paper = PaperState::Ok;
    bool forcedOffline = false;
    bool drawerOpen = false;
    bool pin3High = false;  // the level the host reads, after polarity
    bool selected = true;   // ESC = bit 0
    bool pageMode = false;
    bool held = false;  // printing is stopped and received data is being kept
    std::uint8_t asbMask = 0;
    std::uint8_t codeTable = 0;
    std::uint8_t internationalSet = 0;
    int paperWidthDots = 576;
    std::uint64_t bytesAccepted = 0;   // taken from the host into the receive buffer
    std::uint64_t bytesProcessed = 0;  // interpreted
    std::size_t bytesBuffered = 0;     // accepted, not yet interpreted
    int receiptsFinished = 0;
    int receiptsDropped = 0;
    int currentReceiptDots = 0;         // paper printed since the last cut
    std::uint64_t commandsSkipped = 0;  // unknown or malformed commands skipped
    // The link, filled in by the transport (the model alone leaves them alone).
    std::size_t bytesWaiting = 0;  // read from the host, not yet taken into the buffer
    bool hostHeld = false;         // the host's output is stopped: the buffer is full
};

// One decoded command, for a readable log: stream offset of its first byte, mnemonic
// ("ESC @", "GS v 0", "TEXT") and its parameters as text ("m=0 x=48 y=120").
struct CommandRecord {
    std::uint64_t offset = 0;
    std::string mnemonic;
    std::string params;
};

class PrinterModel {
  public:
    explicit PrinterModel(ModelOptions options = {}, HardwareState initial = {});
    ~PrinterModel();
    PrinterModel(const PrinterModel&) = delete;
    PrinterModel& operator=(const PrinterModel&) = delete;

    const ModelOptions& Options() const;

    // ---- host side ----

    // Offers n bytes from the host at time `now`. Returns how many were accepted (0..n);
    // the transport keeps the rest and offers it again later (after NextEventTime() or a
    // control change). Fewer than n are accepted while powered off (none), while the line
    // pacing (baud) has not delivered them yet, or while printing is held and the receive
    // buffer is full. Accepted bytes are interpreted at once unless printing is held.
    // Replies (status blocks, DLE EOT answers) collect for TakeReplies().
    [[nodiscard]] std::size_t Feed(const std::uint8_t* data, std::size_t n, TimePoint now);

    // Bytes to send back to the host, oldest first; empties the reply queue. The queue is
    // bounded (a host that never reads loses the oldest replies, not the printer's memory).
    std::string TakeReplies();
    bool HasReplies() const;

    // Runs timed events due at `now`: end of a drawer pulse, drawer auto-close, end of the
    // mechanism's busy time (which resumes buffered printing).
    void Advance(TimePoint now);
    // The earliest time at which Advance() or Feed() can make progress on its own
    // (pacing, busy mechanism, drawer timers); nullopt when nothing is scheduled.
    std::optional<TimePoint> NextEventTime() const;

    // ---- operator controls (control socket, test API) ----
    // Each may change the status and so queue a status block; printing held by a
    // condition resumes when it clears.
    void SetCover(bool open, TimePoint now);
    void SetPaper(PaperState paper, TimePoint now);
    void SetDrawer(bool open, TimePoint now);
    void SetOnline(bool online, TimePoint now);  // false = forced offline
    // Power off: the receive buffer and modes are lost, nothing is read or answered until
    // power on; paper already printed stays (it is part of the current receipt).
    void SetPower(bool on, TimePoint now);
    // Power-on state for modes and buffers; keeps hardware switches, paper and NV images.
    void Reset(TimePoint now);

    // ---- observation ----
    PrinterStatus Status() const;
    // Multi-line human-readable state ("power: on\ncover: closed\n...").
    std::string StatusText() const;
    // The 4-byte automatic status block and the DLE EOT n reply (n = 1..4; 0 otherwise)
    // for the current state.
    std::uint32_t StatusBlock() const;  // byte 1 in the low 8 bits
    std::uint8_t RealtimeStatus(int n) const;

    // ---- output ----
    // Receipts finished by a cut (or by the length limit) since the last call, oldest first.
    std::vector<Receipt> TakeFinishedReceipts();
    // The same, not rasterised: whoever needs a picture renders it, outside any lock.
    std::vector<DrawnReceipt> TakeFinishedDrawings();
    // The paper printed since the last cut (without a cut mark).
    Image Snapshot() const;
    // The same, not rasterised (index 0, no cut); copies the current drawing.
    DrawnReceipt SnapshotDrawing() const;
    // Ends the current receipt at exit: text waiting in the line buffer is printed as a
    // last line, then whatever was printed since the last cut becomes a finished receipt
    // with CutKind::None. Page-mode data not yet printed stays unprinted, as on paper.
    // Returns true if a receipt was produced.
    bool FinishPending();

    // Receives every decoded command (synchronously, inside Feed/Advance). Empty = off.
    void SetCommandLog(std::function<void(const CommandRecord&)> log);

    // Non-volatile images (FS q), for persisting across runs. Load returns false and
    // keeps the current set when the blob is malformed.
    std::vector<std::uint8_t> SaveNvImages() const;
    bool LoadNvImages(const std::vector<std::uint8_t>& blob);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace thermpos::vprinter
