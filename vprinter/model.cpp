// The printer model: receive buffer, real-time commands, status, interpreter and layout.
//
// Threads: none (see model.h). Everything here runs inside the caller's Feed/Advance/
// control call.
//
// Data flow: Feed() paces bytes (baud), appends them to the bounded receive buffer and
// interprets from its head until the buffer is empty, a command is incomplete, or printing
// is held. Bulk payloads (images, NV definitions, skipped blocks) stream through a "sink"
// so the receive buffer only ever holds one command header. Layout turns text and images
// into DrawOps on the paper; pixels are produced only when a receipt is taken.
#include "vprinter/model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include "vprinter/barcode.h"
#include "vprinter/charset.h"
#include "vprinter/render.h"

namespace thermpos::vprinter {
namespace {

constexpr std::uint8_t ESC = 0x1B, GS = 0x1D, FS = 0x1C, DLE = 0x10;
constexpr int kDefaultLineSpacing = 30;  // 1/6 inch at 203 dpi
constexpr int kDefaultPageHeight = 1662;
constexpr int kMaxPageHeight = 4096;
constexpr std::size_t kMaxLineOps = 4096;
constexpr std::size_t kMaxPageOps = 1 << 16;
constexpr std::size_t kMaxPaperOps = 1 << 18;
constexpr std::size_t kMaxQueuedBytes = 256u << 20;
constexpr std::size_t kMaxKeptDots = 64u << 20;  // image dots one receipt (or line) may hold
constexpr std::size_t kMaxReplyBytes = 64 * 1024;
constexpr std::size_t kMaxImageDots = 8u << 20;  // one stored picture, in dots
constexpr std::size_t kMaxAnswered = 4096;

// Accepts n and its ASCII digit form ('0' = 48 ...).
int Digit(std::uint8_t n) {
    return n >= 48 && n <= 57 ? n - 48 : n;
}
int U16(const std::uint8_t* p) {
    return p[0] | (p[1] << 8);
}

// HRI text comes as UTF-8; malformed sequences become U+FFFD.
std::u32string DecodeUtf8(const std::string& s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80             ? 0
                    : (b & 0xE0) == 0xC0 ? 1
                    : (b & 0xF0) == 0xE0 ? 2
                    : (b & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) {
            out.push_back(U'\uFFFD');
            ++i;
            continue;
        }
        char32_t cp = extra == 0 ? b : (b & (0x3F >> extra));
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        out.push_back(ok ? cp : U'\uFFFD');
        i += ok ? extra + 1 : 1;
    }
    return out;
}

// A bitmap drawn at the given magnification, its box sized; the caller places it.
DrawOp PictureOp(const Bitmap* bitmap, int scaleX, int scaleY) {
    DrawOp op;
    op.kind = OpKind::Picture;
    op.scaleX = static_cast<std::uint8_t>(scaleX);
    op.scaleY = static_cast<std::uint8_t>(scaleY);
    op.bitmap = bitmap;
    op.FitBox();
    return op;
}

struct FontSpec {
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

enum class SinkKind : std::uint8_t { None, Skip, Raster, Column, NvDefine, UserChars };

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
};

const char* PaperName(PaperState p) {
    switch (p) {
        case PaperState::Ok:
            return "ok";
        case PaperState::NearEnd:
            return "near-end";
        case PaperState::Out:
            return "out";
    }
    return "?";
}

}  // namespace

struct PrinterModel::Impl {
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
    Modes m;
    std::array<std::array<std::shared_ptr<const Bitmap>, 95>, 3> userGlyphs;
    std::vector<NvImage> nv;
    Sink sink;

    std::vector<DrawOp> line;
    Keep lineKeep;
    int lineX = 0;
    int lineHeight = 0;
    bool lineHasContent = false;
    const CodeTableMap* table = &CodeTable(0);

    bool pageMode = false;
    PageArea area;
    int pageDir = 0;
    int pageY = 0;
    std::vector<DrawOp> pageOps;
    Keep pageKeep;

    std::vector<DrawOp> paperOps;
    Keep paperKeep;
    int paperY = 0;
    std::deque<PendingReceipt> finished;
    std::size_t finishedBytes = 0;
    // Op lists of receipts already rendered or dropped, reused so a long run of receipts
    // does not keep asking the system for fresh memory.
    std::vector<std::vector<DrawOp>> spareOps;
    int receiptCounter = 0;
    int receiptsDropped = 0;
    std::uint64_t skipped = 0;

    std::function<void(const CommandRecord&)> log;

    explicit Impl(const ModelOptions& o) : opt(o) {
        opt.paperWidthDots = std::clamp(opt.paperWidthDots, 64, 2048);
        opt.receiveBufferBytes = std::clamp<std::size_t>(opt.receiveBufferBytes, 512, 1 << 20);
        opt.maxReceiptDots = std::clamp(opt.maxReceiptDots, 256, 1 << 20);
        opt.maxQueuedReceipts = std::clamp(opt.maxQueuedReceipts, 1, 1024);
        opt.baud = std::max(opt.baud, 0);
        opt.printSpeedMmPerS = std::max(opt.printSpeedMmPerS, 0);
        opt.drawerAutoCloseMs = std::max(opt.drawerAutoCloseMs, 0);
        rx.reserve(opt.receiveBufferBytes);
        ResetModes();
        asbMask = opt.asbDefaultMask & 0x0F;
    }

    // ---------------------------------------------------------------- status

    bool PaperEndStop() const {
        return paper == PaperState::Out ||
               (paper == PaperState::NearEnd && (sensorsStop & 0x03) != 0);
    }
    bool Online() const { return power && !cover && !PaperEndStop() && !forcedOffline; }
    bool Pin3High() const { return drawerOpen == (opt.drawerPolarity == DrawerPolarity::OpenHigh); }
    bool Busy() const { return opt.printSpeedMmPerS > 0 && now < busyUntil; }
    bool Held() const { return !Online() || Busy(); }

    std::uint32_t Block() const {
        std::uint32_t b1 = 0x10;
        if (Pin3High())
            b1 |= 0x04;
        if (!Online())
            b1 |= 0x08;
        if (cover)
            b1 |= 0x20;
        std::uint32_t b3 = 0;
        if (paper != PaperState::Ok)
            b3 |= 0x03;
        if (paper == PaperState::Out)
            b3 |= 0x0C;
        return b1 | (b3 << 16);
    }

    std::uint8_t Realtime(int n) const {
        std::uint8_t r = 0x12;
        switch (n) {
            case 1:
                if (Pin3High())
                    r |= 0x04;
                if (!Online())
                    r |= 0x08;
                return r;
            case 2:
                if (cover)
                    r |= 0x04;
                if (PaperEndStop())
                    r |= 0x20;
                return r;
            case 3:
                return r;
            case 4:
                if (paper != PaperState::Ok)
                    r |= 0x0C;
                if (paper == PaperState::Out)
                    r |= 0x60;
                return r;
            default:
                return 0;
        }
    }

    void Reply(const void* data, std::size_t n) {
        if (!power)
            return;
        replies.append(static_cast<const char*>(data), n);
        if (replies.size() > kMaxReplyBytes)
            replies.erase(0, replies.size() - kMaxReplyBytes);
    }
    void ReplyByte(std::uint8_t b) { Reply(&b, 1); }

    void SendBlock() {
        const std::uint32_t b = Block();
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(b >> 8),
            static_cast<std::uint8_t>(b >> 16), static_cast<std::uint8_t>(b >> 24)};
        Reply(bytes, 4);
        lastBlock = b;
    }

    // Called after anything that may change the status: one block if an enabled item
    // changed. The block carries every current bit, enabled or not.
    void StatusChanged() {
        const std::uint32_t b = Block();
        const std::uint32_t diff = b ^ lastBlock;
        lastBlock = b;
        if (!power || asbMask == 0 || diff == 0)
            return;
        std::uint32_t watched = 0;
        if (asbMask & 0x01)
            watched |= 0x04;
        if (asbMask & 0x02)
            watched |= 0x68;
        if (asbMask & 0x04)
            watched |= 0xFF00;
        if (asbMask & 0x08)
            watched |= 0xFF0000;
        if (diff & watched)
            SendBlock();
    }

    // ---------------------------------------------------------------- logging

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

    // ---------------------------------------------------------------- modes

    FontSpec Font(int f) const {
        switch (f) {
            case 1:
                return opt.twoFontModel ? FontSpec{9, 24} : FontSpec{9, 17};
            case 2:
                return {8, 16};
            default:
                return {12, 24};
        }
    }
    int PaperWidth() const { return opt.paperWidthDots; }
    int RightSpacing() const { return pageMode ? m.rightSpacingPage : m.rightSpacingStd; }
    int LineSpacing() const { return pageMode ? m.lineSpacingPage : m.lineSpacingStd; }
    int AreaLeft() const { return pageMode ? 0 : std::min(m.leftMargin, PaperWidth() - 1); }
    int AreaWidth() const {
        if (pageMode)
            return (pageDir & 1) ? area.h : area.w;
        const int avail = PaperWidth() - AreaLeft();
        return m.areaWidth > 0 ? std::min(m.areaWidth, avail) : avail;
    }
    void DefaultArea() { area = PageArea{0, 0, PaperWidth(), kDefaultPageHeight}; }

    void ResetModes() {
        m = Modes{};
        for (auto& f : userGlyphs)
            for (auto& g : f)
                g.reset();
        line.clear();
        lineKeep.Clear();
        lineX = 0;
        lineHeight = 0;
        lineHasContent = false;
        table = &CodeTable(0);
        pageMode = false;
        pageOps.clear();
        pageKeep.Clear();
        pageDir = 0;
        pageY = 0;
        DefaultArea();
        sink = Sink{};
    }

    // ---------------------------------------------------------------- paper

    void FeedPaper(int dots) {
        if (dots <= 0)
            return;
        paperY += dots;
        if (opt.printSpeedMmPerS > 0) {
            // dots / 8 mm at printSpeed mm/s.
            const auto dt = std::chrono::microseconds(static_cast<std::int64_t>(dots) * 1'000'000 /
                                                      (8LL * opt.printSpeedMmPerS));
            busyUntil = std::max(busyUntil, now) + dt;
        }
        if (paperY >= opt.maxReceiptDots || paperOps.size() >= kMaxPaperOps ||
            paperKeep.dots >= kMaxKeptDots)
            FinishReceipt(CutKind::None);
    }

    void FinishReceipt(CutKind cut) {
        if (paperY <= 0 && paperOps.empty())
            return;
        PendingReceipt r;
        r.index = ++receiptCounter;
        r.cut = cut;
        r.height = paperY;
        // The next receipt is likely as long as this one: size its list once.
        const std::size_t expected = paperOps.size();
        r.ops = std::move(paperOps);
        r.keep = std::move(paperKeep);
        paperKeep.Clear();
        if (cut != CutKind::None) {
            // Dashed cut line; a partial cut leaves its middle uncut.
            const int w = PaperWidth();
            for (int x = 0; x < w; x += 10) {
                if (cut == CutKind::Partial && std::abs(x + 3 - w / 2) < 24)
                    continue;
                DrawOp d;
                d.kind = OpKind::Fill;
                d.x = x;
                d.y = paperY;
                d.w = std::min(6, w - x);
                d.h = 2;
                r.ops.push_back(d);
            }
            r.height += 2;
        }
        if (!spareOps.empty()) {
            paperOps = std::move(spareOps.back());
            spareOps.pop_back();
            paperOps.clear();
        } else {
            paperOps = {};
            paperOps.reserve(expected + expected / 8);
        }
        paperY = 0;
        finishedBytes += r.Bytes();
        finished.push_back(std::move(r));
        while (finished.size() > static_cast<std::size_t>(opt.maxQueuedReceipts) ||
               (finishedBytes > kMaxQueuedBytes && finished.size() > 1)) {
            finishedBytes -= finished.front().Bytes();
            Recycle(std::move(finished.front().ops));
            finished.pop_front();
            ++receiptsDropped;
        }
    }

    void Recycle(std::vector<DrawOp>&& ops) {
        if (spareOps.size() < 2)
            spareOps.push_back(std::move(ops));
    }

    // Places ops given in page-area logical coordinates onto the page buffer.
    void ToPage(DrawOp op, int lx, int ly) {
        if (pageOps.size() >= kMaxPageOps)
            return;  // a full page buffer drops further drawing, as a printer's memory would
        const int lw = op.w, lh = op.h;
        switch (pageDir) {
            case 1:
                op.x = area.x + ly;
                op.y = area.y + area.h - lx - lw;
                op.w = lh;
                op.h = lw;
                op.rotation = (op.rotation + 3) & 3;
                break;
            case 2:
                op.x = area.x + area.w - lx - lw;
                op.y = area.y + area.h - ly - lh;
                op.rotation = (op.rotation + 2) & 3;
                break;
            case 3:
                op.x = area.x + area.w - ly - lh;
                op.y = area.y + lx;
                op.w = lh;
                op.h = lw;
                op.rotation = (op.rotation + 1) & 3;
                break;
            default:
                op.x = area.x + lx;
                op.y = area.y + ly;
                break;
        }
        op.clipLeft = area.x;
        op.clipTop = area.y;
        op.clipRight = area.x + area.w;
        op.clipBottom = area.y + area.h;
        pageOps.push_back(std::move(op));
    }

    int LogicalPageHeight() const { return (pageDir & 1) ? area.w : area.h; }

    // Prints the line buffer and feeds at least minFeed dots (the line's own height always).
    void FlushLine(int minFeed) {
        int height = lineHeight;
        for (const auto& op : line)
            height = std::max(height, op.h);
        if (pageMode) {
            if (pageY < LogicalPageHeight()) {
                for (auto& op : line)
                    ToPage(op, op.x, pageY + height - op.h);
                pageKeep.Take(lineKeep);
            }
            lineKeep.Clear();
            // Past the page the cursor only needs to stay past it (and not overflow).
            pageY = std::min(pageY + std::max(height, minFeed), 1 << 20);
        } else {
            const int left = AreaLeft(), width = AreaWidth();
            int shift = 0;
            if (m.justify == 1)
                shift = std::max(0, (width - lineX) / 2);
            if (m.justify == 2)
                shift = std::max(0, width - lineX);
            for (auto& op : line) {
                op.x += left + shift;
                op.y = paperY + height - op.h;
                if (m.upsideDown) {
                    op.x = 2 * left + width - op.x - op.w;
                    op.y = 2 * paperY + height - op.y - op.h;
                    op.rotation = (op.rotation + 2) & 3;
                }
            }
            paperOps.insert(paperOps.end(), line.begin(), line.end());
            paperKeep.Take(lineKeep);
            line.clear();
            FeedPaper(std::max(height, minFeed));
        }
        line.clear();
        lineX = 0;
        lineHeight = 0;
        lineHasContent = false;
    }

    // A block of ops (block coordinates, size w x h) printed on its own: justified and,
    // when asked, turned upside-down in standard mode; at the cursor in page mode.
    void PlaceBlock(std::vector<DrawOp>& ops, Keep& keep, int w, int h, bool upsideDown) {
        if (pageMode) {
            for (auto& op : ops)
                ToPage(op, lineX + op.x, pageY + op.y);
            pageKeep.Take(keep);
            PrunePageKeep();
            pageY += h;
            return;
        }
        const int left = AreaLeft(), width = AreaWidth();
        int shift = 0;
        if (m.justify == 1)
            shift = std::max(0, (width - w) / 2);
        if (m.justify == 2)
            shift = std::max(0, width - w);
        for (auto& op : ops) {
            op.x += left + shift;
            op.y += paperY;
            if (upsideDown) {
                op.x = 2 * (left + shift) + w - op.x - op.w;
                op.y = 2 * paperY + h - op.y - op.h;
                op.rotation = (op.rotation + 2) & 3;
            }
            paperOps.push_back(op);
        }
        paperKeep.Take(keep);
        FeedPaper(h);
    }

    // Page data can be cancelled and redrawn without end; drop bitmaps nothing uses.
    void PrunePageKeep() {
        if (pageKeep.bitmaps.size() <= 64 && pageKeep.dots <= kMaxKeptDots)
            return;
        Keep used;
        for (auto& b : pageKeep.bitmaps) {
            const bool inUse = std::any_of(pageOps.begin(), pageOps.end(),
                                           [&](const DrawOp& op) { return op.bitmap == b.get(); });
            if (inUse)
                used.Hold(b);
        }
        pageKeep = std::move(used);
    }

    void PrintPage(bool keep) {
        if (!line.empty() || lineHasContent)
            FlushLine(0);
        // The page is as long as the areas drawn in (at least the current one).
        int bottom = area.y + area.h;
        for (const auto& op : pageOps)
            bottom = std::max(bottom, std::min(op.y + op.h, op.clipBottom));
        bottom = std::min(bottom, kMaxPageHeight);
        for (const auto& op : pageOps) {
            DrawOp d = op;
            d.y += paperY;
            d.clipTop += paperY;
            d.clipBottom = std::min(d.clipBottom, bottom) + paperY;
            paperOps.push_back(d);
        }
        for (const auto& b : pageKeep.bitmaps)
            paperKeep.Hold(b);
        FeedPaper(bottom);
        if (!keep) {
            pageOps.clear();
            pageKeep.Clear();
            pageMode = false;
            DefaultArea();
            pageDir = 0;
            pageY = 0;
            lineX = 0;
        }
    }

    // ---------------------------------------------------------------- text

    char32_t CodePoint(std::uint8_t b) const {
        if (b < 0x80)
            return m.intlSet ? InternationalChar(m.intlSet, b) : b;
        return (*table)[b];
    }

    // The cell every character of the current modes starts from.
    DrawOp CharTemplate() const {
        const FontSpec f = Font(m.font);
        DrawOp op;
        op.kind = OpKind::Glyph;
        op.scaleX = static_cast<std::uint8_t>(m.scaleX);
        op.scaleY = static_cast<std::uint8_t>(m.scaleY);
        op.cellWidth = static_cast<std::uint8_t>(f.w);
        op.cellHeight = static_cast<std::uint8_t>(f.h);
        op.spacing = static_cast<std::uint8_t>(std::min(RightSpacing(), 255));
        op.rotation = m.rotate90 ? 1 : 0;
        op.bold = m.bold;
        op.reverse = m.reverse;
        op.underline = (m.rotate90 || m.reverse) ? 0 : static_cast<std::uint8_t>(m.underline);
        // Reverse without colour still prints its background.
        op.ink = (m.ink == kPaper && m.reverse) ? static_cast<std::uint8_t>(kBlack) : m.ink;
        op.FitBox();
        return op;
    }

    // Text bytes 0x20..0xFF up to the next control byte. Modes cannot change inside a run,
    // so the cell is worked out once.
    std::size_t TextRun(const std::uint8_t* p, std::size_t n) {
        const DrawOp cell = CharTemplate();
        const int advance = cell.w;
        const int areaWidth = AreaWidth();
        // A cell that draws nothing still takes its place and height on the line.
        const bool invisible = m.ink == kPaper && !m.reverse;
        const bool plainSpace = !cell.reverse && cell.underline == 0 && !m.userChars;
        std::size_t i = 0;
        for (; i < n && p[i] >= 0x20; ++i) {
            const std::uint8_t b = p[i];
            if ((lineX + advance > areaWidth && (lineX > 0 || !line.empty())) ||
                line.size() >= kMaxLineOps)
                FlushLine(LineSpacing());
            const int x = lineX;
            lineX += advance;
            lineHasContent = true;
            lineHeight = std::max(lineHeight, cell.h);
            if (invisible || (b == 0x20 && plainSpace))
                continue;
            line.push_back(cell);
            DrawOp& op = line.back();
            op.x = x;
            if (m.userChars && b <= 0x7E) {
                const auto& glyph = userGlyphs[m.font][b - 0x20];
                op.bitmap = glyph.get();
                lineKeep.Hold(glyph);
            }
            op.codePoint = op.bitmap ? 0 : CodePoint(b);
        }
        if (log) {
            std::string t;
            for (std::size_t k = 0; k < i && t.size() < 80; ++k) {
                if (p[k] >= 0x20 && p[k] < 0x7F && p[k] != '"' && p[k] != '\\')
                    t += static_cast<char>(p[k]);
                else
                    t += Fmt("\\x%02X", p[k]);
            }
            if (t.size() >= 80)
                t += "...";
            Log(processed, "TEXT", "\"" + t + "\"");
        }
        return i;
    }

    void PrintTextLine(const std::string& s) {
        TextRun(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
        FlushLine(LineSpacing());
    }

    // ---------------------------------------------------------------- images

    void AddColumnImage(std::shared_ptr<Bitmap> b, int sx, int sy) {
        if (!b || b->width == 0)
            return;
        DrawOp op = PictureOp(b.get(), sx, sy);
        if (line.size() >= kMaxLineOps || lineKeep.dots >= kMaxKeptDots)
            FlushLine(LineSpacing());
        lineKeep.Hold(std::move(b));
        op.x = lineX;
        lineX += op.w;
        lineHasContent = true;
        line.push_back(std::move(op));
    }

    void PrintPictureBlock(std::shared_ptr<const Bitmap> b, int sx, int sy, bool upsideDown) {
        if (!b || b->width == 0 || b->height == 0)
            return;
        const DrawOp op = PictureOp(b.get(), sx, sy);
        const int w = op.w, h = op.h;
        std::vector<DrawOp> ops{op};
        Keep keep;
        keep.Hold(std::move(b));
        PlaceBlock(ops, keep, w, h, upsideDown);
    }

    // ---------------------------------------------------------------- barcodes

    void PrintBarcode(Symbology sym, const BarcodeSymbol& s, std::uint64_t offset) {
        const std::vector<std::uint8_t> dots = BarcodeDots(sym, s, m.barModule);
        const int width = static_cast<int>(dots.size());
        const int height = std::clamp(m.barHeight, 1, 255);
        if (width <= 0 || width > AreaWidth()) {
            Skipped(offset, "GS k", Fmt("not printed: %d dots wider than the print area", width));
            return;
        }
        auto bars = std::make_shared<Bitmap>(width, 1);
        for (int x = 0; x < width; ++x)
            if (dots[x])
                bars->Set(x, 0);
        const std::u32string text = DecodeUtf8(s.hri);
        const FontSpec hf = Font(m.hriFont == 1 ? 1 : 0);
        const bool above = m.hriPosition == 1 || m.hriPosition == 3;
        const bool below = m.hriPosition == 2 || m.hriPosition == 3;
        const int hriWidth = static_cast<int>(text.size()) * hf.w;
        const int blockW = std::max(width, std::min(hriWidth, AreaWidth()));
        std::vector<DrawOp> ops;
        int y = 0;
        auto hri = [&](int top) {
            int hx = std::max(0, (blockW - hriWidth) / 2);
            for (char32_t c : text) {
                if (hx + hf.w > blockW)
                    break;
                DrawOp g;
                g.kind = OpKind::Glyph;
                g.cellWidth = static_cast<std::uint8_t>(hf.w);
                g.cellHeight = static_cast<std::uint8_t>(hf.h);
                g.codePoint = c;
                g.FitBox();
                g.x = hx;
                g.y = top;
                if (c != ' ')
                    ops.push_back(g);
                hx += hf.w;
            }
        };
        if (above) {
            hri(0);
            y += hf.h + 2;
        }
        DrawOp b = PictureOp(bars.get(), 1, height);  // one bar row stretched to the height
        b.x = (blockW - width) / 2;
        b.y = y;
        ops.push_back(b);
        y += height;
        if (below) {
            y += 2;
            hri(y);
            y += hf.h;
        }
        Keep keep;
        keep.Hold(std::move(bars));
        PlaceBlock(ops, keep, blockW, y, m.upsideDown);
    }

    // ---------------------------------------------------------------- real-time

    bool AlreadyAnswered(std::uint64_t offset) {
        while (!answered.empty() && answered.front() < offset)
            answered.pop_front();
        if (!answered.empty() && answered.front() == offset) {
            answered.pop_front();
            return true;
        }
        return false;
    }

    void Pulse(int pin, std::chrono::milliseconds on) {
        if (now < pulseEnd[pin & 1])
            return;                        // a pulse is already being output there
        pulseEnd[pin & 1] = now + 2 * on;  // on time plus the equal off time
        if (!drawerOpen) {
            drawerOpen = true;
            if (opt.drawerAutoCloseMs > 0)
                drawerCloseAt = now + std::chrono::milliseconds(opt.drawerAutoCloseMs);
            StatusChanged();
        }
    }

    // Executes a recognised real-time command (p points at DLE, n bytes available).
    void ExecuteRealtime(const std::uint8_t* p, std::uint64_t offset) {
        if (p[1] == 0x04) {
            if (p[2] >= 1 && p[2] <= 4)
                ReplyByte(Realtime(p[2]));
            Log(offset, "DLE EOT", Fmt("n=%d", p[2]));
        } else if (p[1] == 0x05) {
            Log(offset, "DLE ENQ", Fmt("n=%d", p[2]));
        } else if (p[1] == 0x14 && p[2] == 1) {
            Pulse(p[3], std::chrono::milliseconds(100 * p[4]));
            Log(offset, "DLE DC4", Fmt("fn=1 pin=%d t=%d00ms", p[3] == 0 ? 2 : 5, p[4]));
        }
    }

    // Length of a real-time command at p when it is one the scan acts on, else 0.
    static int RealtimeLength(const std::uint8_t* p, int n) {
        if (n < 3 || p[0] != DLE)
            return 0;
        if (p[1] == 0x04 && p[2] >= 1 && p[2] <= 4)
            return 3;
        if (p[1] == 0x05 && p[2] >= 1 && p[2] <= 2)
            return 3;
        // Printers of the family take pulse times above the command reference's 8.
        if (p[1] == 0x14 && p[2] == 1 && n >= 5 && p[3] <= 1 && p[4] >= 1)
            return 5;
        return 0;
    }

    // Watches raw bytes for real-time commands, as hardware does ahead of its buffer.
    void ScanRaw(std::uint64_t from) {
        const std::uint64_t start = std::max(from, processed);
        if (scannedUpTo < start) {  // a gap: what was interpreted in between is not raw
            scanLen = 0;
            scannedUpTo = start;
        }
        const std::uint64_t end = accepted;
        for (std::uint64_t off = scannedUpTo; off < end; ++off) {
            const std::uint8_t b = rx[rxHead + static_cast<std::size_t>(off - processed)];
            if (scanLen == 5) {
                std::memmove(scan, scan + 1, 4);
                scanLen = 4;
            }
            scan[scanLen++] = b;
            // Try each start position in the window; act on a complete command.
            for (int s = 0; s < scanLen; ++s) {
                if (scan[s] != DLE)
                    continue;
                const int len = RealtimeLength(scan + s, scanLen - s);
                if (len && s + len == scanLen) {
                    const std::uint64_t start = off + 1 - static_cast<std::uint64_t>(len);
                    ExecuteRealtime(scan + s, start);
                    if (answered.size() >= kMaxAnswered)
                        answered.pop_front();
                    answered.push_back(start);
                    scanLen = 0;
                    break;
                }
            }
        }
        scannedUpTo = end;
    }

    // ---------------------------------------------------------------- sinks

    std::size_t FeedSink(const std::uint8_t* p, std::size_t n) {
        Sink& s = sink;
        switch (s.kind) {
            case SinkKind::Skip: {
                const std::size_t k =
                    static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n));
                s.remaining -= k;
                if (s.remaining == 0)
                    s.kind = SinkKind::None;
                return k;
            }
            case SinkKind::Raster: {
                const std::size_t k =
                    static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n));
                if (s.keep && s.bitmap) {
                    Bitmap& b = *s.bitmap;
                    for (std::size_t i = 0; i < k; ++i, ++s.index) {
                        const std::uint8_t v = p[i];
                        if (!v)
                            continue;
                        const std::uint64_t row = s.index / s.srcWidthBytes;
                        const int col = static_cast<int>(s.index % s.srcWidthBytes) * 8;
                        if (row >= static_cast<std::uint64_t>(b.height) || col >= b.width)
                            continue;
                        for (int bit = 0; bit < 8 && col + bit < b.width; ++bit)
                            if (v & (0x80 >> bit))
                                b.Set(col + bit, static_cast<int>(row));
                    }
                } else {
                    s.index += k;
                }
                s.remaining -= k;
                if (s.remaining == 0) {
                    s.kind = SinkKind::None;
                    if (s.keep)
                        PrintPictureBlock(std::move(s.bitmap), s.scaleX, s.scaleY, false);
                    s.bitmap.reset();
                }
                return k;
            }
            case SinkKind::Column: {
                const std::size_t k =
                    static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n));
                if (s.bitmap) {
                    Bitmap& b = *s.bitmap;
                    for (std::size_t i = 0; i < k; ++i, ++s.index) {
                        const int col = static_cast<int>(s.index / s.bytesPerColumn);
                        const int part = static_cast<int>(s.index % s.bytesPerColumn);
                        if (col >= b.width)
                            continue;
                        for (int bit = 0; bit < 8; ++bit)
                            if (p[i] & (0x80 >> bit))
                                b.Set(col, part * 8 + bit);
                    }
                }
                s.remaining -= k;
                if (s.remaining == 0) {
                    s.kind = SinkKind::None;
                    AddColumnImage(std::move(s.bitmap), s.scaleX, s.scaleY);
                }
                return k;
            }
            case SinkKind::NvDefine:
                return FeedNv(p, n);
            case SinkKind::UserChars:
                return FeedUserChars(p, n);
            case SinkKind::None:
                break;
        }
        return 0;
    }

    // A definition replaces the whole set, unless not even its first image was good.
    void EndNv() {
        if (sink.keep && !sink.nvNew.empty())
            nv = std::move(sink.nvNew);
        sink = Sink{};
    }

    std::size_t FeedNv(const std::uint8_t* p, std::size_t n) {
        Sink& s = sink;
        std::size_t i = 0;
        while (i < n) {
            if (s.remaining == 0) {  // reading an image header
                s.header[s.headerHave++] = p[i++];
                if (s.headerHave < 4)
                    continue;
                s.headerHave = 0;
                const int x = U16(s.header), y = U16(s.header + 2);
                if (x < 1 || x > 1023 || y < 1 || y > 288) {
                    // The rest of the command is read as data.
                    Skipped(processed + i, "FS q",
                            Fmt("image %d bad size", static_cast<int>(s.nvNew.size()) + 1));
                    EndNv();
                    return i;
                }
                const std::size_t bytes = static_cast<std::size_t>(x) * y * 8;
                s.remaining = bytes;
                s.index = 0;
                s.nvRows = y;
                if (s.nvBytes + bytes > opt.nvCapacityBytes) {
                    Skipped(processed + i, "FS q", "capacity exceeded");
                    s.bitmap.reset();
                    s.nvFull = true;
                } else {
                    s.bitmap = std::make_shared<Bitmap>(x * 8, y * 8);
                    s.nvBytes += bytes;
                }
                continue;
            }
            const std::size_t k =
                static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n - i));
            if (s.bitmap) {
                Bitmap& b = *s.bitmap;
                for (std::size_t j = 0; j < k; ++j, ++s.index) {
                    if (!p[i + j])
                        continue;
                    const int col = static_cast<int>(s.index / s.nvRows);
                    const int row8 = static_cast<int>(s.index % s.nvRows) * 8;
                    for (int bit = 0; bit < 8; ++bit)
                        if (p[i + j] & (0x80 >> bit))
                            b.Set(col, row8 + bit);
                }
            }
            i += k;
            s.remaining -= k;
            if (s.remaining == 0) {
                if (s.bitmap)
                    s.nvNew.push_back(NvImage{std::move(s.bitmap)});
                s.bitmap.reset();
                if (--s.imagesLeft <= 0 || s.nvFull) {
                    EndNv();
                    return i;
                }
            }
        }
        return i;
    }

    std::size_t FeedUserChars(const std::uint8_t* p, std::size_t n) {
        Sink& s = sink;
        const FontSpec f = Font(m.font);
        std::size_t i = 0;
        while (i < n) {
            if (s.udcWidth < 0) {
                const int x = p[i];
                if (x > f.w) {
                    // The rest of the command is abandoned and read as data.
                    Skipped(processed + i, "ESC &", Fmt("width %d too large", x));
                    sink = Sink{};
                    return i;
                }
                ++i;
                s.udcWidth = x;
                s.udcIndex = 0;
                s.remaining = static_cast<std::uint64_t>(x) * s.udcBytesPerColumn;
                s.bitmap = std::make_shared<Bitmap>(f.w, f.h);
            } else {
                const std::size_t k =
                    static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n - i));
                for (std::size_t j = 0; j < k; ++j, ++s.udcIndex) {
                    const int col = static_cast<int>(s.udcIndex / s.udcBytesPerColumn);
                    const int row8 = static_cast<int>(s.udcIndex % s.udcBytesPerColumn) * 8;
                    for (int bit = 0; bit < 8; ++bit)
                        if ((p[i + j] & (0x80 >> bit)) && row8 + bit < f.h && col < f.w)
                            s.bitmap->Set(col, row8 + bit);
                }
                i += k;
                s.remaining -= k;
            }
            if (s.udcWidth >= 0 && s.remaining == 0) {
                userGlyphs[m.font][s.udcCode - 0x20] = std::move(s.bitmap);
                s.udcWidth = -1;
                if (++s.udcCode > s.udcLast) {
                    sink = Sink{};
                    return i;
                }
            }
        }
        return i;
    }

    void StartSkip(std::uint64_t bytes) {
        sink = Sink{};
        if (bytes == 0)
            return;
        sink.kind = SinkKind::Skip;
        sink.remaining = bytes;
    }

    // ---------------------------------------------------------------- commands

    bool AtLineStart() const { return line.empty() && !lineHasContent; }

    // Interprets one command starting with a control byte. Returns the bytes consumed,
    // or 0 when more bytes are needed.
    std::size_t Command(const std::uint8_t* p, std::size_t n) {
        const std::uint64_t off = processed;
        switch (p[0]) {
            case 0x0A:
                Log(off, "LF");
                FlushLine(LineSpacing());
                return 1;
            case 0x0D:
                return 1;  // no automatic line feed on this model
            case 0x09:
                Tab();
                Log(off, "HT");
                return 1;
            case 0x0C:
                Log(off, "FF");
                if (pageMode)
                    PrintPage(false);
                return 1;
            case 0x18:
                Log(off, "CAN");
                if (pageMode)
                    CancelPage();
                return 1;
            case DLE:
                return Dle(p, n);
            case ESC:
                return Esc(p, n);
            case GS:
                return Gs(p, n);
            case FS:
                return Fs(p, n);
            default:
                return 1;  // other control bytes print nothing
        }
    }

    void Tab() {
        const int step = 8 * (Font(0).w + RightSpacing());
        int next = -1;
        if (m.customTabs) {
            for (int t : m.tabs)
                if (t > lineX) {
                    next = t;
                    break;
                }
        } else if (step > 0) {
            next = (lineX / step + 1) * step;
        }
        if (next > 0 && next <= AreaWidth()) {
            lineX = next;
            lineHasContent = true;
        }
    }

    void CancelPage() {
        const int x0 = area.x, y0 = area.y, x1 = area.x + area.w, y1 = area.y + area.h;
        std::erase_if(pageOps, [&](const DrawOp& op) {
            return op.x >= x0 && op.y >= y0 && op.x + op.w <= x1 && op.y + op.h <= y1;
        });
        DrawOp erase;
        erase.kind = OpKind::Fill;
        erase.ink = kPaper;
        erase.x = x0;
        erase.y = y0;
        erase.w = area.w;
        erase.h = area.h;
        if (!pageOps.empty())
            pageOps.push_back(erase);
        PrunePageKeep();
    }

    std::size_t Dle(const std::uint8_t* p, std::size_t n) {
        if (n < 2)
            return 0;
        const std::uint64_t off = processed;
        switch (p[1]) {
            case 0x04:
            case 0x05: {
                if (n < 3)
                    return 0;
                if (!AlreadyAnswered(off) && RealtimeLength(p, 3))
                    ExecuteRealtime(p, off);
                return 3;
            }
            case 0x14: {
                if (n < 3)
                    return 0;
                std::size_t len = 3;
                switch (p[2]) {
                    case 1:
                    case 2:
                    case 3:
                        len = 5;
                        break;
                    case 7:
                        len = 4;
                        break;
                    case 8:
                        len = 10;
                        break;
                    default:
                        break;
                }
                if (n < len)
                    return 0;
                if (AlreadyAnswered(off))
                    return len;
                if (RealtimeLength(p, static_cast<int>(len)))
                    ExecuteRealtime(p, off);
                else
                    Skipped(off, "DLE DC4", Fmt("fn=%d", p[2]));
                return len;
            }
            default:
                return 1;  // a lone DLE
        }
    }

    std::size_t Esc(const std::uint8_t* p, std::size_t n) {
        if (n < 2)
            return 0;
        const std::uint64_t off = processed;
        auto need = [&](std::size_t k) { return n >= k; };
        switch (p[1]) {
            case 0x40:  // ESC @
                Log(off, "ESC @");
                Initialise();
                return 2;
            case 0x0C:  // ESC FF
                Log(off, "ESC FF");
                if (pageMode)
                    PrintPage(true);
                return 2;
            case 0x4C:  // ESC L
                Log(off, "ESC L");
                if (!pageMode && AtLineStart()) {
                    pageMode = true;
                    pageY = 0;
                    lineX = 0;
                    pageOps.clear();
                    pageKeep.Clear();
                }
                return 2;
            case 0x53:  // ESC S
                Log(off, "ESC S");
                if (pageMode) {
                    pageOps.clear();
                    pageKeep.Clear();
                    line.clear();
                    lineKeep.Clear();
                    lineHeight = 0;
                    lineX = 0;
                    lineHasContent = false;
                    pageMode = false;
                    DefaultArea();
                    pageY = 0;
                }
                return 2;
            case 0x32:
                Log(off, "ESC 2");
                (pageMode ? m.lineSpacingPage : m.lineSpacingStd) = kDefaultLineSpacing;
                return 2;
            case 0x3C:  // ESC < return home
            case 0x69:  // ESC i / ESC m: legacy partial cut
            case 0x6D:
                if (p[1] == 0x3C)
                    return 2;
                Log(off, p[1] == 0x69 ? "ESC i" : "ESC m");
                Cut(CutKind::Partial, 0, off);
                return 2;
            case 0x76:  // ESC v paper sensor status
                Log(off, "ESC v");
                ReplyByte(PaperBits());
                return 2;
            case 0x57: {  // ESC W
                if (!need(10))
                    return 0;
                const int x = U16(p + 2), y = U16(p + 4), w = U16(p + 6), h = U16(p + 8);
                Log(off, "ESC W", Fmt("x=%d y=%d dx=%d dy=%d", x, y, w, h));
                if (w == 0 || h == 0 || x >= PaperWidth() || y >= kMaxPageHeight) {
                    Skipped(off, "ESC W", "rejected");
                    return 10;
                }
                if (pageMode && (!line.empty()))
                    FlushLine(0);
                area =
                    PageArea{x, y, std::min(w, PaperWidth() - x), std::min(h, kMaxPageHeight - y)};
                pageY = 0;
                lineX = 0;
                return 10;
            }
            case 0x44: {  // ESC D tab stops, NUL-terminated, at most 32
                std::size_t k = 2;
                while (k < n && k < 2 + 33 && p[k] != 0)
                    ++k;
                if (k == n && k < 2 + 33)
                    return 0;
                const std::size_t len = (k < n && p[k] == 0) ? k + 1 : k;
                const int cell = (Font(m.font).w + RightSpacing()) * m.scaleX;
                m.tabs.clear();
                int last = 0;
                for (std::size_t i = 2; i < k && i < 2 + 32; ++i) {
                    if (p[i] <= last)
                        break;  // stops must ascend
                    last = p[i];
                    m.tabs.push_back(p[i] * cell);
                }
                m.customTabs = true;
                Log(off, "ESC D", Fmt("stops=%d", static_cast<int>(m.tabs.size())));
                return len;
            }
            case 0x24:    // ESC $ absolute position
            case 0x5C: {  // ESC \ relative position
                if (!need(4))
                    return 0;
                int v = U16(p + 2);
                if (p[1] == 0x5C)
                    v = lineX + static_cast<std::int16_t>(v);
                Log(off, p[1] == 0x24 ? "ESC $" : "ESC \\", Fmt("x=%d", v));
                if (v >= 0 && v <= AreaWidth()) {
                    lineX = v;
                    lineHasContent = true;
                }
                return 4;
            }
            case 0x2A:
                return BitImage(p, n);
            case 0x26:
                return DefineUserChars(p, n);
            case 0x70: {  // ESC p m t1 t2
                if (!need(5))
                    return 0;
                Log(off, "ESC p", Fmt("m=%d t1=%d t2=%d", p[2], p[3], p[4]));
                const int pin = Digit(p[2]);
                if ((pin == 0 || pin == 1) && p[3] > 0)
                    Pulse(pin, std::chrono::milliseconds(2 * p[3]));
                return 5;
            }
            case 0x63: {  // ESC c 3/4/5 n
                if (!need(4))
                    return 0;
                Log(off, "ESC c", Fmt("%c n=%d", p[2], p[3]));
                if (p[2] == 0x33)
                    sensorsPe = p[3];
                if (p[2] == 0x34) {
                    sensorsStop = p[3];
                    StatusChanged();
                }
                if (p[2] == 0x35)
                    panelKeys = p[3];
                return 4;
            }
            case 0x7E: {  // ESC ~ J n: second colour select of one model
                if (!need(4))
                    return 0;
                Log(off, "ESC ~", Fmt("%c n=%d", p[2], p[3]));
                if (p[2] == 0x4A) {
                    const int c = Digit(p[3]);
                    if (c == 0)
                        m.ink = kBlack;
                    if ((c == 1 || c == 2) && opt.twoColour)
                        m.ink = kRed;
                }
                return 4;
            }
            case 0x28: {  // ESC ( fn pL pH ...: nothing we act on
                if (!need(5))
                    return 0;
                Skipped(off, "ESC (", Fmt("fn=%c len=%d", p[2], U16(p + 3)));
                StartSkip(U16(p + 3));
                return 5;
            }
            default:
                break;
        }
        // One-parameter ESC commands.
        if (!need(3))
            return 0;
        const std::uint8_t v = p[2];
        const int d = Digit(v);
        switch (p[1]) {
            case 0x20:
                Log(off, "ESC SP", Fmt("n=%d", v));
                (pageMode ? m.rightSpacingPage : m.rightSpacingStd) = v;
                return 3;
            case 0x21:
                Log(off, "ESC !", Fmt("n=%d", v));
                m.font = (v & 1) ? 1 : 0;
                m.bold = v & 0x08;
                m.scaleY = (v & 0x10) ? 2 : 1;
                m.scaleX = (v & 0x20) ? 2 : 1;
                m.underline = (v & 0x80) ? 1 : 0;
                return 3;
            case 0x25:
                Log(off, "ESC %", Fmt("n=%d", v));
                m.userChars = v & 1;
                return 3;
            case 0x2D:
                Log(off, "ESC -", Fmt("n=%d", v));
                if (d <= 2)
                    m.underline = d;
                return 3;
            case 0x33:
                Log(off, "ESC 3", Fmt("n=%d", v));
                (pageMode ? m.lineSpacingPage : m.lineSpacingStd) = v;
                return 3;
            case 0x3D:
                Log(off, "ESC =", Fmt("n=%d", v));
                selected = v & 1;
                return 3;
            case 0x3F:
                Log(off, "ESC ?", Fmt("n=%d", v));
                if (v >= 0x20 && v <= 0x7E)
                    userGlyphs[m.font][v - 0x20].reset();
                return 3;
            case 0x45:
            case 0x47:
                Log(off, p[1] == 0x45 ? "ESC E" : "ESC G", Fmt("n=%d", v));
                m.bold = v & 1;
                return 3;
            case 0x4A:
                Log(off, "ESC J", Fmt("n=%d", v));
                FlushLine(v);
                return 3;
            case 0x4D:
                Log(off, "ESC M", Fmt("n=%d", v));
                if (d == 0 || d == 1 || (d == 2 && opt.hasFontC))
                    m.font = d;
                return 3;
            case 0x52:
                Log(off, "ESC R", Fmt("n=%d", v));
                if (IsSupportedInternationalSet(v))
                    m.intlSet = v;
                return 3;
            case 0x54:
                Log(off, "ESC T", Fmt("n=%d", v));
                if (d <= 3) {
                    if (pageMode && !line.empty())
                        FlushLine(0);
                    pageDir = d;
                    pageY = 0;
                    lineX = 0;
                }
                return 3;
            case 0x55:
            case 0x65:
                Log(off, p[1] == 0x55 ? "ESC U" : "ESC e", Fmt("n=%d", v));
                return 3;
            case 0x56:
                Log(off, "ESC V", Fmt("n=%d", v));
                if ((d <= 2) && (pageMode || AtLineStart()))
                    m.rotate90 = d != 0;
                return 3;
            case 0x61:
                Log(off, "ESC a", Fmt("n=%d", v));
                if (d <= 2 && (pageMode || AtLineStart()))
                    m.justify = d;
                return 3;
            case 0x64:
                Log(off, "ESC d", Fmt("n=%d", v));
                FlushLine(v * LineSpacing());
                return 3;
            case 0x72:
                Log(off, "ESC r", Fmt("n=%d", v));
                if (d == 0)
                    m.ink = kBlack;
                if (d == 1 && opt.twoColour)
                    m.ink = kRed;
                return 3;
            case 0x74:
                Log(off, "ESC t", Fmt("n=%d", v));
                if (IsSupportedCodeTable(v)) {
                    m.codeTable = v;
                    table = &CodeTable(v);
                } else
                    Skipped(off, "ESC t", Fmt("table %d not supported", v));
                return 3;
            case 0x75:
                Log(off, "ESC u", Fmt("n=%d", v));
                ReplyByte(Pin3High() ? 0x01 : 0x00);
                return 3;
            case 0x7B:
                Log(off, "ESC {", Fmt("n=%d", v));
                if (pageMode || AtLineStart())
                    m.upsideDown = v & 1;
                return 3;
            default:
                // Unknown: skip ESC and the command byte; what follows is read as data.
                Skipped(off, "ESC ?", Fmt("byte=0x%02X", p[1]));
                return 2;
        }
    }

    std::uint8_t PaperBits() const {
        std::uint8_t r = 0;
        if (paper != PaperState::Ok)
            r |= 0x03;
        if (paper == PaperState::Out)
            r |= 0x0C;
        return r;
    }

    void Initialise() {
        ResetModes();
        if (opt.initClearsAsb)
            asbMask = 0;
    }

    std::size_t BitImage(const std::uint8_t* p, std::size_t n) {
        if (n < 3)
            return 0;
        const std::uint64_t off = processed;
        const int mode = p[2];
        if (mode != 0 && mode != 1 && mode != 32 && mode != 33) {
            Skipped(off, "ESC *", Fmt("m=%d", mode));
            return 3;
        }
        if (n < 5)
            return 0;
        const int cols = U16(p + 3);
        const int perCol = mode >= 32 ? 3 : 1;
        Log(off, "ESC *", Fmt("m=%d columns=%d", mode, cols));
        sink = Sink{};
        if (cols == 0)
            return 5;
        sink.kind = SinkKind::Column;
        sink.remaining = static_cast<std::uint64_t>(cols) * perCol;
        sink.bytesPerColumn = perCol;
        sink.scaleX = (mode == 0 || mode == 32) ? 2 : 1;
        sink.scaleY = mode < 32 ? 3 : 1;
        // Columns past the end of the line are dropped.
        const int room = std::max(0, (AreaWidth() - lineX) / sink.scaleX);
        const int keep = std::min(cols, room);
        if (keep > 0)
            sink.bitmap = std::make_shared<Bitmap>(keep, perCol * 8);
        return 5;
    }

    std::size_t DefineUserChars(const std::uint8_t* p, std::size_t n) {
        if (n < 5)
            return 0;
        const std::uint64_t off = processed;
        const int y = p[2], c1 = p[3], c2 = p[4];
        const FontSpec f = Font(m.font);
        Log(off, "ESC &", Fmt("y=%d c1=%d c2=%d", y, c1, c2));
        if (y != (f.h + 7) / 8 || c1 < 32 || c2 > 126 || c1 > c2) {
            Skipped(off, "ESC &", "out of range");
            return 2;
        }
        sink = Sink{};
        sink.kind = SinkKind::UserChars;
        sink.udcBytesPerColumn = y;
        sink.udcCode = c1;
        sink.udcLast = c2;
        sink.udcWidth = -1;
        return 5;
    }

    void Cut(CutKind kind, int feed, std::uint64_t off) {
        if (pageMode)
            return;
        if (!AtLineStart()) {
            Skipped(off, "GS V", "not at the beginning of a line");
            return;
        }
        FeedPaper(feed);
        FinishReceipt(kind);
    }

    std::size_t Gs(const std::uint8_t* p, std::size_t n) {
        if (n < 2)
            return 0;
        const std::uint64_t off = processed;
        auto need = [&](std::size_t k) { return n >= k; };
        switch (p[1]) {
            case 0x0C:
                Log(off, "GS FF");
                return 2;
            case 0x28: {  // GS ( fn pL pH ...
                if (!need(5))
                    return 0;
                const int fn = p[2], len = U16(p + 3);
                if ((fn == 0x41 || fn == 0x4E) && len == 2) {
                    if (!need(7))
                        return 0;
                    if (fn == 0x41) {
                        Log(off, "GS ( A", Fmt("n=%d m=%d", p[5], p[6]));
                        SelfTest();
                    } else {
                        Log(off, "GS ( N", Fmt("fn=%d m=%d", p[5], p[6]));
                        if (p[5] == 0x30)
                            SelectColour(p[6]);
                    }
                    return 7;
                }
                Skipped(off, "GS (", Fmt("fn=%c len=%d", fn, len));
                StartSkip(len);
                return 5;
            }
            case 0x38: {  // GS 8 fn p1..p4: 32-bit length block
                if (!need(7))
                    return 0;
                const std::uint64_t len = static_cast<std::uint64_t>(p[3]) | (p[4] << 8) |
                                          (p[5] << 16) | (static_cast<std::uint64_t>(p[6]) << 24);
                Skipped(off, "GS 8",
                        Fmt("fn=%c len=%llu", p[2], static_cast<unsigned long long>(len)));
                StartSkip(len);
                return 7;
            }
            case 0x2A: {  // GS * x y d(x*y*8): downloaded image, not kept
                if (!need(4))
                    return 0;
                Skipped(off, "GS *", Fmt("x=%d y=%d", p[2], p[3]));
                StartSkip(static_cast<std::uint64_t>(p[2]) * p[3] * 8);
                return 4;
            }
            case 0x3A:
                return 2;
            case 0x24:    // GS $ absolute vertical position (page mode)
            case 0x5C: {  // GS \ relative vertical position
                if (!need(4))
                    return 0;
                int v = U16(p + 2);
                if (p[1] == 0x5C)
                    v = pageY + static_cast<std::int16_t>(v);
                Log(off, p[1] == 0x24 ? "GS $" : "GS \\", Fmt("y=%d", v));
                if (pageMode && v >= 0 && v < LogicalPageHeight()) {
                    if (!line.empty())
                        FlushLine(0);
                    pageY = v;
                }
                return 4;
            }
            case 0x4C:    // GS L left margin
            case 0x57: {  // GS W print area width
                if (!need(4))
                    return 0;
                const int v = U16(p + 2);
                Log(off, p[1] == 0x4C ? "GS L" : "GS W", Fmt("n=%d", v));
                if (!pageMode && AtLineStart()) {
                    if (p[1] == 0x4C)
                        m.leftMargin = std::min(v, PaperWidth() - 1);
                    if (p[1] == 0x57)
                        m.areaWidth = v;
                }
                return 4;
            }
            case 0x50:  // GS P motion units
                if (!need(4))
                    return 0;
                Log(off, "GS P", Fmt("x=%d y=%d", p[2], p[3]));
                return 4;
            case 0x56: {  // GS V cut
                if (!need(3))
                    return 0;
                const int mode = p[2];
                if (mode == 0 || mode == 1 || mode == 48 || mode == 49) {
                    Log(off, "GS V", Fmt("m=%d", mode));
                    Cut(Digit(mode) == 0 ? CutKind::Full : CutKind::Partial, 0, off);
                    return 3;
                }
                if (mode == 65 || mode == 66 || mode == 97 || mode == 98 || mode == 103 ||
                    mode == 104) {
                    if (!need(4))
                        return 0;
                    Log(off, "GS V", Fmt("m=%d n=%d", mode, p[3]));
                    Cut((mode & 1) ? CutKind::Full : CutKind::Partial, p[3], off);
                    return 4;
                }
                Skipped(off, "GS V", Fmt("m=%d", mode));
                return 3;
            }
            case 0x76:
                return Raster(p, n);
            case 0x6B:
                return Barcode(p, n);
            default:
                break;
        }
        if (!need(3))
            return 0;
        const std::uint8_t v = p[2];
        const int d = Digit(v);
        switch (p[1]) {
            case 0x21:
                Log(off, "GS !", Fmt("n=%d", v));
                if ((v & 0x88) == 0) {
                    m.scaleX = ((v >> 4) & 7) + 1;
                    m.scaleY = (v & 7) + 1;
                }
                return 3;
            case 0x42:
                Log(off, "GS B", Fmt("n=%d", v));
                m.reverse = v & 1;
                return 3;
            case 0x48:
                Log(off, "GS H", Fmt("n=%d", v));
                if (d <= 3)
                    m.hriPosition = d;
                return 3;
            case 0x49:
                Log(off, "GS I", Fmt("n=%d", v));
                PrinterId(v);
                return 3;
            case 0x61:
                Log(off, "GS a", Fmt("n=%d", v));
                asbMask = v & 0x0F;
                if (asbMask)
                    SendBlock();
                lastBlock = Block();
                return 3;
            case 0x62:
                Log(off, "GS b", Fmt("n=%d", v));
                return 3;
            case 0x66:
                Log(off, "GS f", Fmt("n=%d", v));
                if (d <= 1)
                    m.hriFont = d;
                return 3;
            case 0x68:
                Log(off, "GS h", Fmt("n=%d", v));
                if (v >= 1)
                    m.barHeight = v;
                return 3;
            case 0x72:
                Log(off, "GS r", Fmt("n=%d", v));
                if (d == 1)
                    ReplyByte(PaperBits());
                if (d == 2)
                    ReplyByte(Pin3High() ? 0x01 : 0x00);
                return 3;
            case 0x77:
                Log(off, "GS w", Fmt("n=%d", v));
                if (v >= 1 && v <= 6)
                    m.barModule = v;
                return 3;
            case 0x2F:
                Skipped(off, "GS /", Fmt("m=%d", v));
                return 3;
            default:
                Skipped(off, "GS ?", Fmt("byte=0x%02X", p[1]));
                return 2;
        }
    }

    void SelectColour(std::uint8_t v) {
        switch (v) {
            case 48:
                if (opt.twoColour)
                    m.ink = kPaper;
                break;
            case 49:
                m.ink = kBlack;
                break;
            case 50:
                if (opt.twoColour)
                    m.ink = kRed;
                break;
            default:
                break;
        }
    }

    void PrinterId(std::uint8_t n) {
        auto text = [&](const char* s) {
            ReplyByte(0x5F);
            Reply(s, std::strlen(s));
            ReplyByte(0x00);
        };
        switch (n) {
            case 1:
            case 49:
                ReplyByte(0x20);
                break;
            case 2:
            case 50:
                ReplyByte(0x02);  // autocutter fitted
                break;
            case 3:
            case 51:
                ReplyByte(0x01);
                break;
            case 65:
                text("1.00");
                break;
            case 66:
                text("ThermPOS");
                break;
            case 67:
                text(PaperWidth() >= 512 ? "VIRTUAL-80" : "VIRTUAL-58");
                break;
            case 68:
                text("00000001");
                break;
            default:
                break;
        }
    }

    std::size_t Raster(const std::uint8_t* p, std::size_t n) {
        if (n < 3)
            return 0;
        const std::uint64_t off = processed;
        if (p[2] != 0x30) {
            Skipped(off, "GS v", Fmt("fn=%d", p[2]));
            return 3;
        }
        if (n < 8)
            return 0;
        const int mode = Digit(p[3]);
        const int xb = U16(p + 4), rows = U16(p + 6);
        Log(off, "GS v 0", Fmt("m=%d x=%d y=%d", p[3], xb, rows));
        const std::uint64_t bytes = static_cast<std::uint64_t>(xb) * rows;
        if (mode > 3) {
            Skipped(off, "GS v 0", "bad mode");
            return 3;
        }
        sink = Sink{};
        if (bytes == 0)
            return 8;
        sink.kind = SinkKind::Raster;
        sink.remaining = bytes;
        sink.srcWidthBytes = xb;
        sink.scaleX = (mode & 1) ? 2 : 1;
        sink.scaleY = (mode & 2) ? 2 : 1;
        sink.keep = pageMode || AtLineStart();
        if (!sink.keep)
            Skipped(off, "GS v 0", "not at the beginning of a line");
        if (sink.keep) {
            // Keep what can show: the print area's width and the receipt length limit.
            const int w = std::min(xb * 8, (AreaWidth() + sink.scaleX - 1) / sink.scaleX);
            int h = std::min(rows, opt.maxReceiptDots / sink.scaleY + 1);
            if (static_cast<std::size_t>(w) * h > kMaxImageDots)
                h = static_cast<int>(kMaxImageDots / std::max(w, 1));
            if (w > 0 && h > 0)
                sink.bitmap = std::make_shared<Bitmap>(w, h);
            else
                sink.keep = false;
        }
        return 8;
    }

    std::size_t Barcode(const std::uint8_t* p, std::size_t n) {
        if (n < 3)
            return 0;
        const std::uint64_t off = processed;
        const int type = p[2];
        if (type <= 6) {  // function A: NUL-terminated
            std::size_t k = 3;
            while (k < n && k < 3 + 256 && p[k] != 0)
                ++k;
            if (k == n && k < 3 + 256)
                return 0;
            if (k >= 3 + 256 || p[k] != 0) {
                Skipped(off, "GS k", "unterminated");
                return 3;
            }
            static constexpr Symbology kA[7] = {
                Symbology::UpcA,   Symbology::UpcE, Symbology::Ean13,  Symbology::Ean8,
                Symbology::Code39, Symbology::Itf,  Symbology::Codabar};
            EncodeAndPrint(kA[type], std::string_view(reinterpret_cast<const char*>(p + 3), k - 3),
                           off);
            return k + 1;
        }
        if (type < 65 || type > 73) {
            Skipped(off, "GS k", Fmt("m=%d", type));
            return 3;
        }
        if (n < 4)
            return 0;
        const std::size_t len = p[3];
        if (n < 4 + len)
            return 0;
        if (len == 0) {
            Skipped(off, "GS k", "n=0");
            return 4;
        }
        const std::string_view data(reinterpret_cast<const char*>(p + 4), len);
        if (!EncodeAndPrint(static_cast<Symbology>(type), data, off))
            return 4;  // data as text
        return 4 + len;
    }

    bool EncodeAndPrint(Symbology sym, std::string_view data, std::uint64_t off) {
        BarcodeSymbol s;
        std::string err;
        if (!EncodeBarcode(sym, data, &s, &err)) {
            Skipped(off, "GS k", Fmt("m=%d refused: %s", static_cast<int>(sym), err.c_str()));
            return false;
        }
        Log(off, "GS k",
            Fmt("m=%d n=%d hri=\"%s\"", static_cast<int>(sym), static_cast<int>(data.size()),
                s.hri.substr(0, 60).c_str()));
        if (!AtLineStart())
            FlushLine(0);
        PrintBarcode(sym, s, off);
        return true;
    }

    std::size_t Fs(const std::uint8_t* p, std::size_t n) {
        if (n < 2)
            return 0;
        const std::uint64_t off = processed;
        switch (p[1]) {
            case 0x70: {  // FS p n m
                if (n < 4)
                    return 0;
                const int idx = p[2], mode = Digit(p[3]);
                Log(off, "FS p", Fmt("n=%d m=%d", idx, p[3]));
                if (pageMode || !AtLineStart() || mode > 3 || idx < 1 ||
                    idx > static_cast<int>(nv.size())) {
                    Skipped(off, "FS p", "ignored");
                    return 4;
                }
                PrintPictureBlock(nv[idx - 1].bitmap, (mode & 1) ? 2 : 1, (mode & 2) ? 2 : 1,
                                  m.upsideDown);
                return 4;
            }
            case 0x71: {  // FS q n [xL xH yL yH d...]...
                if (n < 3)
                    return 0;
                Log(off, "FS q", Fmt("n=%d", p[2]));
                sink = Sink{};
                if (p[2] == 0)
                    return 3;
                sink.kind = SinkKind::NvDefine;
                sink.imagesLeft = p[2];
                sink.keep = !pageMode && AtLineStart();
                return 3;
            }
            case 0x28: {  // FS ( fn pL pH ...
                if (n < 5)
                    return 0;
                Skipped(off, "FS (", Fmt("fn=%c len=%d", p[2], U16(p + 3)));
                StartSkip(U16(p + 3));
                return 5;
            }
            case 0x26:
            case 0x2E:
                return 2;  // kanji mode on/off
            case 0x21:
            case 0x2D:
            case 0x43:
            case 0x57:
                if (n < 3)
                    return 0;
                return 3;
            case 0x53:
                if (n < 4)
                    return 0;
                return 4;
            case 0x32: {  // FS 2 c1 c2 d1..d72: user kanji
                if (n < 4)
                    return 0;
                Skipped(off, "FS 2");
                StartSkip(72);
                return 4;
            }
            default:
                Skipped(off, "FS ?", Fmt("byte=0x%02X", p[1]));
                return 2;
        }
    }

    void SelfTest() {
        if (pageMode || !AtLineStart())
            return;
        ResetModes();
        char buf[96];
        PrintTextLine("SELF-TEST");
        PrintTextLine("Virtual receipt printer");
        std::snprintf(buf, sizeof buf, "Paper width: %d dots", PaperWidth());
        PrintTextLine(buf);
        std::snprintf(buf, sizeof buf, "Font B: %s", opt.twoFontModel ? "9x24" : "9x17");
        PrintTextLine(buf);
        std::snprintf(buf, sizeof buf, "NV images: %d", static_cast<int>(nv.size()));
        PrintTextLine(buf);
        std::snprintf(buf, sizeof buf, "Receive buffer: %d bytes",
                      static_cast<int>(opt.receiveBufferBytes));
        PrintTextLine(buf);
        std::string chars;
        for (int c = 0x20; c < 0x7F; ++c)
            chars += static_cast<char>(c);
        PrintTextLine(chars);
        PrintTextLine("*** completed ***");
        FlushLine(3 * LineSpacing());
        FinishReceipt(CutKind::Full);
        // The self-test ends in a software reset: command-enabled status back is gone.
        ResetModes();
        asbMask = opt.asbDefaultMask & 0x0F;
        if (asbMask)
            SendBlock();
    }

    // ---------------------------------------------------------------- interpretation

    // While de-selected (ESC = 0) only real-time commands and ESC = are read.
    std::size_t Deselected(const std::uint8_t* p, std::size_t n) {
        if (p[0] == DLE)
            return Dle(p, n);
        if (p[0] == ESC) {
            if (n < 2)
                return 0;
            if (p[1] == 0x3D) {
                if (n < 3)
                    return 0;
                selected = p[2] & 1;
                Log(processed, "ESC =", Fmt("n=%d", p[2]));
                return 3;
            }
        }
        return 1;
    }

    std::size_t Interpret(const std::uint8_t* p, std::size_t n) {
        std::size_t i = 0;
        while (i < n && !Held()) {
            std::size_t c;
            if (sink.kind != SinkKind::None) {
                c = FeedSink(p + i, n - i);
                if (c == 0 && sink.kind == SinkKind::None)
                    continue;  // abandoned at this byte, which is now read as data
            } else if (!selected)
                c = Deselected(p + i, n - i);
            else if (p[i] >= 0x20)
                c = TextRun(p + i, n - i);
            else
                c = Command(p + i, n - i);
            if (c == 0)
                break;
            i += c;
            processed += c;
        }
        return i;
    }

    void Drain() {
        if (!power)
            return;
        while (rxHead < rx.size() && !Held()) {
            const std::size_t c = Interpret(rx.data() + rxHead, rx.size() - rxHead);
            if (c == 0)
                break;
            rxHead += c;
        }
        if (rxHead == rx.size()) {
            rx.clear();
            rxHead = 0;
        } else if (rxHead > 0) {
            rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(rxHead));
            rxHead = 0;
        }
        if (Held())
            ScanRaw(processed);
    }

    std::size_t PacingAllowance(std::size_t n, TimePoint t) {
        if (opt.baud <= 0)
            return n;
        if (!pacingPending) {
            burstStart = t;
            burstBytes = 0;
        }
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::nanoseconds>(t - burstStart).count();
        const std::uint64_t arrived =
            elapsed <= 0 ? 0
                         : static_cast<std::uint64_t>(static_cast<unsigned __int128>(elapsed) *
                                                      opt.baud / 10'000'000'000ULL);
        const std::uint64_t room = arrived > burstBytes ? arrived - burstBytes : 0;
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(room, n));
        burstBytes += k;
        pacingPending = k < n;
        return k;
    }

    std::size_t Feed(const std::uint8_t* data, std::size_t n, TimePoint t) {
        now = std::max(now, t);
        if (!power || n == 0 || !data)
            return 0;
        RunTimers();
        const std::size_t allowed = PacingAllowance(n, t);
        std::size_t taken = 0;
        while (taken < allowed) {
            const std::size_t space = opt.receiveBufferBytes - (rx.size() - rxHead);
            if (space == 0)
                break;
            const std::size_t k = std::min(space, allowed - taken);
            rx.insert(rx.end(), data + taken, data + taken + k);
            const std::uint64_t from = accepted;
            accepted += k;
            taken += k;
            if (opt.realtimeAnywhere || Held())
                ScanRaw(from);
            Drain();
        }
        if (taken < allowed && opt.baud > 0) {
            // Refused for lack of buffer space: the line stalls until the transport offers
            // the rest again, which then starts a new burst.
            burstBytes -= allowed - taken;
            pacingPending = false;
        }
        return taken;
    }

    void RunTimers() {
        if (drawerCloseAt && now >= *drawerCloseAt) {
            drawerCloseAt.reset();
            if (drawerOpen) {
                drawerOpen = false;
                StatusChanged();
            }
        }
    }

    std::optional<TimePoint> NextEvent() const {
        std::optional<TimePoint> t;
        auto consider = [&](TimePoint c) {
            if (!t || c < *t)
                t = c;
        };
        if (power && pacingPending && opt.baud > 0) {
            const std::uint64_t nextByte = burstBytes + 1;
            const auto ns = static_cast<std::int64_t>(
                (static_cast<unsigned __int128>(nextByte) * 10'000'000'000ULL + opt.baud - 1) /
                opt.baud);
            const TimePoint due = burstStart + std::chrono::duration_cast<ModelClock::duration>(
                                                   std::chrono::nanoseconds(ns));
            // A time already past means the transport stopped offering the rest (unplugged,
            // say): it is no reason to wake anyone.
            if (due > now)
                consider(due);
        }
        if (drawerCloseAt)
            consider(*drawerCloseAt);
        if (power && Busy() && rxHead < rx.size())
            consider(busyUntil);
        return t;
    }

    void Changed() {
        StatusChanged();
        if (power && !Held())
            Drain();
        if (power && Held())
            ScanRaw(processed);
    }

    void PowerOn() {
        power = true;
        ResetModes();
        selected = true;
        asbMask = opt.asbDefaultMask & 0x0F;
        lastBlock = Block();
        if (asbMask)
            SendBlock();
    }

    void PowerOff() {
        power = false;
        rx.clear();
        rxHead = 0;
        processed = accepted;
        scannedUpTo = accepted;
        scanLen = 0;
        answered.clear();
        pacingPending = false;
        busyUntil = TimePoint{};
        ResetModes();
    }
};

// -------------------------------------------------------------------- public surface

PrinterModel::PrinterModel(ModelOptions options, HardwareState initial)
    : impl_(std::make_unique<Impl>(options)) {
    Impl& s = *impl_;
    s.cover = initial.coverOpen;
    s.paper = initial.paper;
    s.drawerOpen = initial.drawerOpen;
    s.forcedOffline = initial.forcedOffline;
    s.power = initial.powerOn;
    s.lastBlock = s.Block();
    if (s.power && s.asbMask)
        s.SendBlock();
}

PrinterModel::~PrinterModel() = default;

const ModelOptions& PrinterModel::Options() const {
    return impl_->opt;
}

std::size_t PrinterModel::Feed(const std::uint8_t* data, std::size_t n, TimePoint now) {
    return impl_->Feed(data, n, now);
}

std::string PrinterModel::TakeReplies() {
    return std::exchange(impl_->replies, {});
}
bool PrinterModel::HasReplies() const {
    return !impl_->replies.empty();
}

void PrinterModel::Advance(TimePoint now) {
    Impl& s = *impl_;
    s.now = std::max(s.now, now);
    s.RunTimers();
    if (s.power && !s.Held())
        s.Drain();
}

std::optional<TimePoint> PrinterModel::NextEventTime() const {
    return impl_->NextEvent();
}

void PrinterModel::SetCover(bool open, TimePoint now) {
    impl_->now = std::max(impl_->now, now);
    impl_->cover = open;
    impl_->Changed();
}

void PrinterModel::SetPaper(PaperState paper, TimePoint now) {
    impl_->now = std::max(impl_->now, now);
    impl_->paper = paper;
    impl_->Changed();
}

void PrinterModel::SetDrawer(bool open, TimePoint now) {
    Impl& s = *impl_;
    s.now = std::max(s.now, now);
    s.drawerOpen = open;
    if (!open)
        s.drawerCloseAt.reset();
    s.Changed();
}

void PrinterModel::SetOnline(bool online, TimePoint now) {
    impl_->now = std::max(impl_->now, now);
    impl_->forcedOffline = !online;
    impl_->Changed();
}

void PrinterModel::SetPower(bool on, TimePoint now) {
    Impl& s = *impl_;
    s.now = std::max(s.now, now);
    if (on == s.power)
        return;
    if (on)
        s.PowerOn();
    else
        s.PowerOff();
}

void PrinterModel::Reset(TimePoint now) {
    Impl& s = *impl_;
    s.now = std::max(s.now, now);
    const bool wasOn = s.power;
    s.PowerOff();
    if (wasOn)
        s.PowerOn();
}

PrinterStatus PrinterModel::Status() const {
    const Impl& s = *impl_;
    PrinterStatus st;
    st.powerOn = s.power;
    st.online = s.Online();
    st.coverOpen = s.cover;
    st.paper = s.paper;
    st.forcedOffline = s.forcedOffline;
    st.drawerOpen = s.drawerOpen;
    st.pin3High = s.Pin3High();
    st.selected = s.selected;
    st.pageMode = s.pageMode;
    st.held = s.power && s.Held();
    st.asbMask = s.asbMask;
    st.codeTable = static_cast<std::uint8_t>(s.m.codeTable);
    st.internationalSet = static_cast<std::uint8_t>(s.m.intlSet);
    st.paperWidthDots = s.opt.paperWidthDots;
    st.bytesAccepted = s.accepted;
    st.bytesProcessed = s.processed;
    st.bytesBuffered = s.rx.size() - s.rxHead;
    st.receiptsFinished = s.receiptCounter;
    st.receiptsDropped = s.receiptsDropped;
    st.currentReceiptDots = s.paperY;
    st.commandsSkipped = s.skipped;
    return st;
}

std::string PrinterModel::StatusText() const {
    const PrinterStatus st = Status();
    const std::uint32_t b = impl_->Block();
    char buf[640];
    std::snprintf(
        buf, sizeof buf,
        "power: %s\nonline: %s\ncover: %s\npaper: %s\nforced-offline: %s\n"
        "drawer: %s\npin3: %s\nselected: %s\nmode: %s\nheld: %s\nasb-mask: 0x%02X\n"
        "status-block: %02X %02X %02X %02X\ncode-table: %d\nbytes-accepted: %llu\n"
        "bytes-processed: %llu\nbytes-buffered: %zu\nreceipts: %d\n"
        "receipts-dropped: %d\ncurrent-receipt-dots: %d\ncommands-skipped: %llu\n",
        st.powerOn ? "on" : "off", st.online ? "yes" : "no", st.coverOpen ? "open" : "closed",
        PaperName(st.paper), st.forcedOffline ? "yes" : "no", st.drawerOpen ? "open" : "closed",
        st.pin3High ? "high" : "low", st.selected ? "yes" : "no", st.pageMode ? "page" : "standard",
        st.held ? "yes" : "no", st.asbMask, b & 0xFF, (b >> 8) & 0xFF, (b >> 16) & 0xFF,
        (b >> 24) & 0xFF, st.codeTable, static_cast<unsigned long long>(st.bytesAccepted),
        static_cast<unsigned long long>(st.bytesProcessed), st.bytesBuffered, st.receiptsFinished,
        st.receiptsDropped, st.currentReceiptDots,
        static_cast<unsigned long long>(st.commandsSkipped));
    return buf;
}

std::uint32_t PrinterModel::StatusBlock() const {
    return impl_->Block();
}
std::uint8_t PrinterModel::RealtimeStatus(int n) const {
    return impl_->Realtime(n);
}

std::vector<Receipt> PrinterModel::TakeFinishedReceipts() {
    Impl& s = *impl_;
    std::vector<Receipt> out;
    out.reserve(s.finished.size());
    for (auto& r : s.finished) {
        Receipt rec;
        rec.index = r.index;
        rec.cut = r.cut;
        rec.image = Rasterise(r.ops, s.PaperWidth(), r.height);
        out.push_back(std::move(rec));
        s.Recycle(std::move(r.ops));
    }
    s.finished.clear();
    s.finishedBytes = 0;
    return out;
}

Image PrinterModel::Snapshot() const {
    const Impl& s = *impl_;
    return Rasterise(s.paperOps, s.PaperWidth(), s.paperY);
}

bool PrinterModel::FinishPending() {
    Impl& s = *impl_;
    // Text still in the line buffer would be lost with the process: print it as a last line.
    if (s.power && !s.pageMode && (s.lineHasContent || !s.line.empty()))
        s.FlushLine(s.LineSpacing());
    if (s.paperY <= 0 && s.paperOps.empty())
        return false;
    s.FinishReceipt(CutKind::None);
    return true;
}

void PrinterModel::SetCommandLog(std::function<void(const CommandRecord&)> log) {
    impl_->log = std::move(log);
}

std::vector<std::uint8_t> PrinterModel::SaveNvImages() const {
    // "TPNV", count, then per image width and height (16-bit LE) and its dots packed
    // row-major, MSB first.
    std::vector<std::uint8_t> out = {'T', 'P', 'N', 'V'};
    const auto& nv = impl_->nv;
    out.push_back(static_cast<std::uint8_t>(nv.size()));
    for (const auto& img : nv) {
        const Bitmap& b = *img.bitmap;
        for (int v : {b.width, b.height}) {
            out.push_back(static_cast<std::uint8_t>(v));
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        }
        std::uint8_t acc = 0;
        int bits = 0;
        for (std::uint8_t d : b.dots) {
            acc = static_cast<std::uint8_t>((acc << 1) | d);
            if (++bits == 8) {
                out.push_back(acc);
                acc = 0;
                bits = 0;
            }
        }
        if (bits)
            out.push_back(static_cast<std::uint8_t>(acc << (8 - bits)));
    }
    return out;
}

bool PrinterModel::LoadNvImages(const std::vector<std::uint8_t>& blob) {
    if (blob.size() < 5 || std::memcmp(blob.data(), "TPNV", 4) != 0)
        return false;
    std::vector<NvImage> images;
    std::size_t pos = 5, total = 0;
    for (int i = 0; i < blob[4]; ++i) {
        if (pos + 4 > blob.size())
            return false;
        const int w = U16(&blob[pos]), h = U16(&blob[pos + 2]);
        pos += 4;
        if (w < 8 || w > 8 * 1023 || h < 8 || h > 8 * 288 || w % 8 || h % 8)
            return false;
        const std::size_t dots = static_cast<std::size_t>(w) * h;
        total += dots / 8;
        if (total > impl_->opt.nvCapacityBytes || pos + dots / 8 > blob.size())
            return false;
        auto b = std::make_shared<Bitmap>(w, h);
        for (std::size_t k = 0; k < dots; ++k)
            b->dots[k] = (blob[pos + k / 8] >> (7 - k % 8)) & 1;
        pos += dots / 8;
        images.push_back(NvImage{std::move(b)});
    }
    impl_->nv = std::move(images);
    return true;
}

}  // namespace thermpos::vprinter
