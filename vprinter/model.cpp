// The printer model's public surface, its construction and the NV image store's file
// form. The model's inside is described in model_impl.h.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

namespace {

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

using namespace model_detail;

PrinterModel::Impl::Impl(const ModelOptions& o) : opt(o) {
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
    std::snprintf(buf, sizeof buf,
                  "power: %s\nonline: %s\ncover: %s\npaper: %s\nforced-offline: %s\n"
                  "drawer: %s\npin3: %s\nselected: %s\nmode: %s\nheld: %s\nasb-mask: 0x%02X\n"
                  "status-block: %02X %02X %02X %02X\ncode-table: %d\ninternational: %d\n"
                  "bytes-accepted: %llu\n"
                  "bytes-processed: %llu\nbytes-buffered: %zu\nreceipts: %d\n"
                  "receipts-dropped: %d\ncurrent-receipt-dots: %d\ncommands-skipped: %llu\n",
                  st.powerOn ? "on" : "off", st.online ? "yes" : "no",
                  st.coverOpen ? "open" : "closed", PaperName(st.paper),
                  st.forcedOffline ? "yes" : "no", st.drawerOpen ? "open" : "closed",
                  st.pin3High ? "high" : "low", st.selected ? "yes" : "no",
                  st.pageMode ? "page" : "standard", st.held ? "yes" : "no", st.asbMask, b & 0xFF,
                  (b >> 8) & 0xFF, (b >> 16) & 0xFF, (b >> 24) & 0xFF, st.codeTable,
                  st.internationalSet, static_cast<unsigned long long>(st.bytesAccepted),
                  static_cast<unsigned long long>(st.bytesProcessed), st.bytesBuffered,
                  st.receiptsFinished, st.receiptsDropped, st.currentReceiptDots,
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

std::vector<DrawnReceipt> PrinterModel::TakeFinishedDrawings() {
    Impl& s = *impl_;
    std::vector<DrawnReceipt> out;
    out.reserve(s.finished.size());
    for (auto& r : s.finished) {
        auto drawing = std::make_shared<ReceiptDrawing>();
        drawing->width = s.PaperWidth();
        drawing->height = r.height;
        drawing->ops = std::move(r.ops);
        drawing->keep = std::move(r.keep);
        out.push_back(DrawnReceipt{r.index, r.cut, std::move(drawing)});
    }
    s.finished.clear();
    s.finishedBytes = 0;
    return out;
}

Image PrinterModel::Snapshot() const {
    const Impl& s = *impl_;
    return Rasterise(s.paperOps, s.PaperWidth(), s.paperY);
}

DrawnReceipt PrinterModel::SnapshotDrawing() const {
    const Impl& s = *impl_;
    auto drawing = std::make_shared<ReceiptDrawing>();
    drawing->width = s.PaperWidth();
    drawing->height = s.paperY;
    drawing->ops = s.paperOps;
    drawing->keep = s.paperKeep;
    return DrawnReceipt{0, CutKind::None, std::move(drawing)};
}

Image DrawnReceipt::Render() const {
    if (!drawing)
        return {};
    return Rasterise(drawing->ops, drawing->width, drawing->height);
}

std::size_t DrawnReceipt::Bytes() const {
    if (!drawing)
        return 0;
    return sizeof(ReceiptDrawing) + drawing->ops.capacity() * sizeof(DrawOp) + drawing->keep.dots;
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
