// The printer model's inside, shared by its source files and by nothing else.
//
// Threads: none (see model.h). Everything here runs inside the caller's Feed/Advance/
// control call.
//
// Data flow: Feed() paces bytes (baud), appends them to the bounded receive buffer and
// interprets from its head until the buffer is empty, a command is incomplete, or printing
// is held. Bulk payloads (images, NV definitions, skipped blocks) stream through a "sink"
// so the receive buffer only ever holds one command header. Layout turns text and images
// into DrawOps on the paper; pixels are produced only when a receipt is taken.
//
// Where each part lives:
//   model.cpp          public surface, NV image persistence
//   model_link.cpp     host link: pacing, receive buffer, interpretation loop, timers, power
//   model_status.cpp   status blocks, real-time commands and the raw real-time scan
//   model_layout.cpp   modes, lines, blocks, page mode, paper and receipts, text, barcodes
//   model_payload.cpp  sinks for image, NV and user-character data
//   model_control.cpp  single-byte controls and the command tables' dispatch
//   model_esc.cpp, model_gs.cpp, model_fs_dle.cpp   the command families
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vprinter/barcode.h"
#include "vprinter/charset.h"
#include "vprinter/model.h"
#include "vprinter/render.h"
#include "vprinter/symbol2d.h"

namespace thermpos::vprinter {
namespace model_detail {

inline constexpr std::uint8_t ESC = 0x1B, GS = 0x1D, FS = 0x1C, DLE = 0x10;
inline constexpr int kDefaultLineSpacing = 30;  // 1/6 inch at 203 dpi
inline constexpr int kDefaultPageHeight = 1662;
inline constexpr int kMaxPageHeight = 4096;
inline constexpr std::size_t kMaxLineOps = 4096;
inline constexpr std::size_t kMaxPageOps = 1 << 16;
inline constexpr std::size_t kMaxPaperOps = 1 << 18;
inline constexpr std::size_t kMaxQueuedBytes = 256u << 20;
inline constexpr std::size_t kMaxKeptDots = 64u << 20;  // image dots one receipt (or line) may hold
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;
inline constexpr std::size_t kMaxImageDots = 8u << 20;  // one stored picture, in dots
inline constexpr std::size_t kMaxAnswered = 4096;
// The longest drawer pulse (on time) given, whatever time the command asks for. A drawer
// solenoid opens within a few hundred milliseconds, so a longer pulse only keeps the
// connector busy: with the equal off time it stays busy for at most 2 s, less than the
// 2.2 s a drawer service waits for the drawer to report open, so a retried kick after
// such a wait is never swallowed by the pulse before it.
inline constexpr std::chrono::milliseconds kMaxPulseOn{1000};

// Accepts n and its ASCII digit form ('0' = 48 ...).
inline int Digit(std::uint8_t n) {
    return n >= 48 && n <= 57 ? n - 48 : n;
}
inline int U16(const std::uint8_t* p) {
    return p[0] | (p[1] << 8);
}

// HRI text comes as UTF-8; malformed sequences become U+FFFD.
std::u32string DecodeUtf8(const std::string& s);

// A bitmap drawn at the given magnification, its box sized; the caller places it.
DrawOp PictureOp(const Bitmap* bitmap, int scaleX, int scaleY);

// The dot size of one character cell of a font, without right-side spacing.
struct CellSize {
    int w, h;
};

struct Modes {
    int font = 0;
    bool bold = false;
    int underline = 0;
    bool reverse = false;
    int scaleX = 1, scaleY = 1;
    int justify = 0;
    bool rotate90 = false;
    bool upsideDown = false;
    std::uint8_t ink = kBlack;
    int codeTable = 0;
    int intlSet = 0;
    bool userChars = false;
    int rightSpacingStd = 0, rightSpacingPage = 0;
    int lineSpacingStd = kDefaultLineSpacing, lineSpacingPage = kDefaultLineSpacing;
    int hriPosition = 0;
    int barHeight = 162;
    int barModule = 3;
    int hriFont = 0;
    int leftMargin = 0;
    int areaWidth = 0;      // 0 = up to the right edge
    std::vector<int> tabs;  // dots from the line start; empty = every 8 font-A cells
    bool customTabs = false;
    // GS ( k: the two symbols' settings and the data stored for each.
    QrSettings qr;
    Pdf417Settings pdf417;
    std::string qrData, pdf417Data;
};

struct PageArea {
    int x = 0, y = 0, w = 0, h = 0;
};

// Owns the bitmaps some list of DrawOps points at.
struct Keep {
    std::vector<std::shared_ptr<const Bitmap>> bitmaps;
    std::size_t dots = 0;

    void Hold(std::shared_ptr<const Bitmap> b) {
        if (!b || (!bitmaps.empty() && bitmaps.back() == b))
            return;
        dots += b->dots.size();
        bitmaps.push_back(std::move(b));
    }
    void Take(Keep& other) {
        for (auto& b : other.bitmaps)
            Hold(std::move(b));
        other.Clear();
    }
    void Clear() {
        bitmaps.clear();
        dots = 0;
    }
};

}  // namespace model_detail

struct ReceiptDrawing {
    int width = 0;
    int height = 0;
    std::vector<DrawOp> ops;
    model_detail::Keep keep;  // the pictures ops point at
};

namespace model_detail {

struct PendingReceipt {
    int index = 0;
    CutKind cut = CutKind::None;
    int height = 0;
    std::vector<DrawOp> ops;
    Keep keep;
    std::size_t Bytes() const { return ops.size() * sizeof(DrawOp) + keep.dots; }
};

struct NvImage {
    std::shared_ptr<const Bitmap> bitmap;
};

enum class SinkKind : std::uint8_t { None, Skip, Raster, Column, NvDefine, UserChars, SymbolData };

struct Sink {
    SinkKind kind = SinkKind::None;
    std::uint64_t remaining = 0;  // Skip, Raster, Column: payload bytes still to come
    // Raster / column image being filled.
    std::shared_ptr<Bitmap> bitmap;
    int srcWidthBytes = 0;    // Raster: bytes per row
    std::uint64_t index = 0;  // bytes received so far
    int scaleX = 1, scaleY = 1;
    int bytesPerColumn = 1;  // Column
    bool keep = true;        // false: parse and discard
    // NvDefine.
    int imagesLeft = 0;
    std::uint8_t header[4] = {};
    int headerHave = 0;
    std::vector<NvImage> nvNew;
    std::size_t nvBytes = 0;
    bool nvFull = false;  // capacity reached: skip this image's data, then stop
    int nvRows = 0;       // rows of 8 dots (y) of the image being read
    // UserChars.
    int udcBytesPerColumn = 0;
    int udcCode = 0, udcLast = 0;
    int udcWidth = -1;  // -1: waiting for the width byte
    std::uint64_t udcIndex = 0;
    // SymbolData: the bytes of a GS ( k store, for cn (0x30 PDF417, 0x31 QR Code); none
    // are kept once more arrive than a symbol can hold.
    std::uint8_t symbolCn = 0;
    std::string symbolData;
    bool symbolTooLong = false;
    std::uint64_t symbolOffset = 0;
};

}  // namespace model_detail

struct PrinterModel::Impl {
    using CellSize = model_detail::CellSize;

    // One entry of a command table. The dispatcher waits until the command byte and
    // `params` further bytes have arrived, then runs the handler with p at the command's
    // first byte; the handler returns the bytes it consumed, or 0 to wait for more (a
    // command whose length depends on its parameters).
    struct CommandEntry;
    using Handler = std::size_t (Impl::*)(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t n);
    struct CommandEntry {
        std::uint8_t byte = 0;
        std::uint8_t params = 0;
        const char* name = nullptr;  // mnemonic in the command log
        Handler run = nullptr;
    };
    // Commands by their selecting byte; bytes not listed run `unknown`.
    class CommandTable {
      public:
        constexpr CommandTable(std::size_t selector, std::initializer_list<CommandEntry> commands,
                               CommandEntry unknown)
            : selector_(selector), unknown_(unknown) {
            for (const CommandEntry& c : commands)
                byByte_[c.byte] = c;
        }
        // Position of the selecting byte: 0 for single-byte controls, 1 after a prefix.
        std::size_t Selector() const { return selector_; }
        const CommandEntry& Find(std::uint8_t b) const {
            return byByte_[b].run ? byByte_[b] : unknown_;
        }

      private:
        std::size_t selector_;
        std::array<CommandEntry, 256> byByte_{};
        CommandEntry unknown_;
    };
    static const CommandTable kControls, kEscCommands, kGsCommands, kFsCommands, kDleCommands;

    explicit Impl(const ModelOptions& o);

    ModelOptions opt;
    // Hardware.
    bool power = true;
    bool cover = false;
    PaperState paper = PaperState::Ok;
    bool drawerOpen = false;
    bool forcedOffline = false;
    std::optional<TimePoint> drawerCloseAt;
    TimePoint pulseEnd[2] = {};
    TimePoint now{};
    TimePoint busyUntil{};

    // Host link.
    std::vector<std::uint8_t> rx;
    std::size_t rxHead = 0;
    std::uint64_t accepted = 0;   // stream offset of the next byte accepted
    std::uint64_t processed = 0;  // stream offset of the next byte interpreted
    bool pacingPending = false;
    TimePoint burstStart{};
    std::uint64_t burstBytes = 0;
    std::string replies;
    // Raw real-time scan of held data: offsets already answered, last bytes seen.
    std::deque<std::uint64_t> answered;
    std::uint64_t scannedUpTo = 0;
    std::uint8_t scan[5] = {};
    int scanLen = 0;

    // Status.
    std::uint8_t asbMask = 0;
    std::uint32_t lastBlock = 0;
    bool selected = true;
    std::uint8_t sensorsPe = 15, sensorsStop = 0, panelKeys = 0;

    // Print state.
    model_detail::Modes m;
    std::array<std::array<std::shared_ptr<const Bitmap>, 95>, 3> userGlyphs;
    std::vector<model_detail::NvImage> nv;
    model_detail::Sink sink;

    std::vector<DrawOp> line;
    model_detail::Keep lineKeep;
    int lineX = 0;
    int lineHeight = 0;
    bool lineHasContent = false;
    const CodeTableMap* table = &CodeTable(0);

    bool pageMode = false;
    model_detail::PageArea area;
    int pageDir = 0;
    int pageY = 0;
    std::vector<DrawOp> pageOps;
    model_detail::Keep pageKeep;

    std::vector<DrawOp> paperOps;
    model_detail::Keep paperKeep;
    int paperY = 0;
    std::deque<model_detail::PendingReceipt> finished;
    std::size_t finishedBytes = 0;
    // Op lists of receipts already rendered or dropped, reused so a long run of receipts
    // does not keep asking the system for fresh memory.
    std::vector<std::vector<DrawOp>> spareOps;
    int receiptCounter = 0;
    int receiptsDropped = 0;
    std::uint64_t skipped = 0;

    std::function<void(const CommandRecord&)> log;

    // ---- status (model_status.cpp)
    bool PaperEndStop() const;
    bool Online() const;
    bool Pin3High() const;
    bool Busy() const;
    bool Held() const;
    std::uint32_t Block() const;
    std::uint8_t Realtime(int n) const;
    std::uint8_t PaperBits() const;
    void Reply(const void* data, std::size_t n);
    void ReplyByte(std::uint8_t b) { Reply(&b, 1); }
    void SendBlock();
    // Called after anything that may change the status: one block if an enabled item
    // changed. The block carries every current bit, enabled or not.
    void StatusChanged();

    // ---- real-time commands (model_status.cpp)
    bool AlreadyAnswered(std::uint64_t offset);
    void Pulse(int pin, std::chrono::milliseconds on);
    // Executes a recognised real-time command (p points at DLE).
    void ExecuteRealtime(const std::uint8_t* p, std::uint64_t offset);
    // Length of a real-time command at p when it is one the scan acts on, else 0.
    static int RealtimeLength(const std::uint8_t* p, int n);
    // Watches raw bytes for real-time commands, as hardware does ahead of its buffer.
    void ScanRaw(std::uint64_t from);

    // ---- command log
    void Log(std::uint64_t offset, const char* mnemonic, std::string params = {}) {
        if (!log)
            return;
        log(CommandRecord{offset, mnemonic, std::move(params)});
    }
    template <typename... A>
    static std::string Fmt(const char* f, A... a) {
        char buf[160];
        std::snprintf(buf, sizeof buf, f, a...);
        return buf;
    }
    void Skipped(std::uint64_t offset, const char* what, std::string params = {}) {
        ++skipped;
        Log(offset, what, std::move(params));
    }

    // ---- modes, paper and layout (model_layout.cpp)
    CellSize Font(int f) const;
    int PaperWidth() const { return opt.paperWidthDots; }
    int RightSpacing() const { return pageMode ? m.rightSpacingPage : m.rightSpacingStd; }
    int LineSpacing() const { return pageMode ? m.lineSpacingPage : m.lineSpacingStd; }
    int AreaLeft() const;
    int AreaWidth() const;
    void DefaultArea();
    void ResetModes();
    void Initialise();
    bool AtLineStart() const { return line.empty() && !lineHasContent; }
    void FeedPaper(int dots);
    void FinishReceipt(CutKind cut);
    void Recycle(std::vector<DrawOp>&& ops);
    // Places ops given in page-area logical coordinates onto the page buffer.
    void ToPage(DrawOp op, int lx, int ly);
    int LogicalPageHeight() const { return (pageDir & 1) ? area.w : area.h; }
    // Prints the line buffer and feeds at least minFeed dots (the line's own height always).
    void FlushLine(int minFeed);
    // A block of ops (block coordinates, size w x h) printed on its own: justified and,
    // when asked, turned upside-down in standard mode; at the cursor in page mode.
    void PlaceBlock(std::vector<DrawOp>& ops, model_detail::Keep& keep, int w, int h,
                    bool upsideDown);
    // Page data can be cancelled and redrawn without end; drop bitmaps nothing uses.
    void PrunePageKeep();
    void PrintPage(bool keep);
    void CancelPage();
    void Tab();
    void Cut(CutKind kind, int feed, std::uint64_t off);
    char32_t CodePoint(std::uint8_t b) const;
    // The cell every character of the current modes starts from.
    DrawOp CharTemplate() const;
    // Text bytes 0x20..0xFF up to the next control byte.
    std::size_t TextRun(const std::uint8_t* p, std::size_t n);
    void PrintTextLine(const std::string& s);
    void AddColumnImage(std::shared_ptr<Bitmap> b, int sx, int sy);
    void PrintPictureBlock(std::shared_ptr<const Bitmap> b, int sx, int sy, bool upsideDown);
    void PrintBarcode(Symbology sym, const BarcodeSymbol& s, std::uint64_t offset);
    // The stored QR Code (cn 0x31) or PDF417 (0x30) at its settings, as a block.
    void PrintSymbol2D(std::uint8_t cn, std::uint64_t offset);

    // ---- payload sinks (model_payload.cpp)
    std::size_t FeedSink(const std::uint8_t* p, std::size_t n);
    std::size_t FeedRaster(const std::uint8_t* p, std::size_t n);
    std::size_t FeedColumns(const std::uint8_t* p, std::size_t n);
    std::size_t FeedNv(const std::uint8_t* p, std::size_t n);
    // A definition replaces the whole set, unless not even its first image was good.
    void EndNv();
    std::size_t FeedUserChars(const std::uint8_t* p, std::size_t n);
    std::size_t FeedSymbolData(const std::uint8_t* p, std::size_t n);
    void StartSkip(std::uint64_t bytes);

    // ---- dispatch (model_control.cpp)
    std::size_t Dispatch(const CommandTable& table, const std::uint8_t* p, std::size_t n);
    // Interprets one command starting with a control byte. Returns the bytes consumed,
    // or 0 when more bytes are needed.
    std::size_t Command(const std::uint8_t* p, std::size_t n) { return Dispatch(kControls, p, n); }
    std::size_t Esc(const std::uint8_t* p, std::size_t n) { return Dispatch(kEscCommands, p, n); }
    std::size_t Gs(const std::uint8_t* p, std::size_t n) { return Dispatch(kGsCommands, p, n); }
    std::size_t Fs(const std::uint8_t* p, std::size_t n) { return Dispatch(kFsCommands, p, n); }
    std::size_t Dle(const std::uint8_t* p, std::size_t n) { return Dispatch(kDleCommands, p, n); }

    // Single-byte controls (model_control.cpp).
    std::size_t CtlLineFeed(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t CtlIgnored(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t CtlTab(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t CtlFormFeed(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t CtlCancel(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t CtlPrefix(const CommandEntry& c, const std::uint8_t* p, std::size_t n);

    // ESC commands (model_esc.cpp).
    std::size_t EscInitialise(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPrintPage(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPageMode(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscStandardMode(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscDefaultLineSpacing(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscReturnHome(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscLegacyCut(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPaperSensor(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPageArea(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscTabStops(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPosition(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscBitImage(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscUserChars(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPulse(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscSensors(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscAltColour(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscExtended(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscRightSpacing(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPrintModes(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscUserCharSet(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscUnderline(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscLineSpacing(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscPeripheral(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscCancelUserChar(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscBold(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscFeedDots(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscFont(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscInternational(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscDirection(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscLogOnly(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscRotate(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscJustify(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscFeedLines(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscColour(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscCodeTable(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscDrawerStatus(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscUpsideDown(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t EscUnknown(const CommandEntry& c, const std::uint8_t* p, std::size_t n);

    // GS commands (model_gs.cpp).
    std::size_t GsFeedToMark(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsExtended(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsLongBlock(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsDownloadImage(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsMacro(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsVerticalPosition(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsPrintArea(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsMotionUnits(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsCut(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsRaster(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsBarcode(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    // GS ( k (p at GS, n >= 5): the two-dimensional symbols.
    std::size_t GsSymbol(const std::uint8_t* p, std::size_t n);
    std::size_t GsCharSize(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsReverse(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsHriPosition(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsPrinterId(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsStatusBack(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsLogOnly(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsHriFont(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsBarHeight(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsStatus(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsBarModule(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsSkippedParam(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t GsUnknown(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    void SelectColour(std::uint8_t v);
    void PrinterId(std::uint8_t n);
    bool EncodeAndPrint(Symbology sym, std::string_view data, std::uint64_t off);
    void SelfTest();

    // FS and DLE commands (model_fs_dle.cpp).
    std::size_t FsPrintNv(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t FsDefineNv(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t FsExtended(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t FsKanji(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t FsUserKanji(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t FsUnknown(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t DleRealtimeStatus(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t DlePeripheral(const CommandEntry& c, const std::uint8_t* p, std::size_t n);
    std::size_t DleAlone(const CommandEntry& c, const std::uint8_t* p, std::size_t n);

    // ---- host link (model_link.cpp)
    // While de-selected (ESC = 0) only real-time commands and ESC = are read.
    std::size_t Deselected(const std::uint8_t* p, std::size_t n);
    std::size_t Interpret(const std::uint8_t* p, std::size_t n);
    void Drain();
    std::size_t PacingAllowance(std::size_t n, TimePoint t);
    std::size_t Feed(const std::uint8_t* data, std::size_t n, TimePoint t);
    void RunTimers();
    std::optional<TimePoint> NextEvent() const;
    void Changed();
    void PowerOn();
    void PowerOff();
};

}  // namespace thermpos::vprinter
