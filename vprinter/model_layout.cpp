// The printer model's layout: print modes, the line buffer, blocks printed on their own,
// page mode, the paper and the receipts cut from it; text runs, pictures and barcodes.
#include <algorithm>
#include <cstdlib>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

namespace model_detail {

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

DrawOp PictureOp(const Bitmap* bitmap, int scaleX, int scaleY) {
    DrawOp op;
    op.kind = OpKind::Picture;
    op.scaleX = static_cast<std::uint8_t>(scaleX);
    op.scaleY = static_cast<std::uint8_t>(scaleY);
    op.bitmap = bitmap;
    op.FitBox();
    return op;
}

}  // namespace model_detail

using namespace model_detail;

CellSize PrinterModel::Impl::Font(int f) const {
    switch (f) {
        case 1:
            return opt.twoFontModel ? CellSize{9, 24} : CellSize{9, 17};
        case 2:
            return {8, 16};
        default:
            return {12, 24};
    }
}

int PrinterModel::Impl::AreaLeft() const {
    return pageMode ? 0 : std::min(m.leftMargin, PaperWidth() - 1);
}

int PrinterModel::Impl::AreaWidth() const {
    if (pageMode)
        return (pageDir & 1) ? area.h : area.w;
    const int avail = PaperWidth() - AreaLeft();
    return m.areaWidth > 0 ? std::min(m.areaWidth, avail) : avail;
}

void PrinterModel::Impl::DefaultArea() {
    area = PageArea{0, 0, PaperWidth(), kDefaultPageHeight};
}

void PrinterModel::Impl::ResetModes() {
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

void PrinterModel::Impl::Initialise() {
    ResetModes();
    if (opt.initClearsAsb)
        asbMask = 0;
}

void PrinterModel::Impl::FeedPaper(int dots) {
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

void PrinterModel::Impl::FinishReceipt(CutKind cut) {
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

void PrinterModel::Impl::Recycle(std::vector<DrawOp>&& ops) {
    if (spareOps.size() < 2)
        spareOps.push_back(std::move(ops));
}

void PrinterModel::Impl::ToPage(DrawOp op, int lx, int ly) {
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

void PrinterModel::Impl::FlushLine(int minFeed) {
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

void PrinterModel::Impl::PlaceBlock(std::vector<DrawOp>& ops, Keep& keep, int w, int h,
                                    bool upsideDown) {
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

void PrinterModel::Impl::PrunePageKeep() {
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

void PrinterModel::Impl::PrintPage(bool keep) {
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

void PrinterModel::Impl::CancelPage() {
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

void PrinterModel::Impl::Tab() {
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

void PrinterModel::Impl::Cut(CutKind kind, int feed, std::uint64_t off) {
    if (pageMode)
        return;
    if (!AtLineStart()) {
        Skipped(off, "GS V", "not at the beginning of a line");
        return;
    }
    FeedPaper(feed);
    FinishReceipt(kind);
}

char32_t PrinterModel::Impl::CodePoint(std::uint8_t b) const {
    if (b < 0x80)
        return m.intlSet ? InternationalChar(m.intlSet, b) : b;
    return (*table)[b];
}

DrawOp PrinterModel::Impl::CharTemplate() const {
    const CellSize f = Font(m.font);
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

std::size_t PrinterModel::Impl::TextRun(const std::uint8_t* p, std::size_t n) {
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

void PrinterModel::Impl::PrintTextLine(const std::string& s) {
    TextRun(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    FlushLine(LineSpacing());
}

void PrinterModel::Impl::AddColumnImage(std::shared_ptr<Bitmap> b, int sx, int sy) {
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

void PrinterModel::Impl::PrintPictureBlock(std::shared_ptr<const Bitmap> b, int sx, int sy,
                                           bool upsideDown) {
    if (!b || b->width == 0 || b->height == 0)
        return;
    const DrawOp op = PictureOp(b.get(), sx, sy);
    const int w = op.w, h = op.h;
    std::vector<DrawOp> ops{op};
    Keep keep;
    keep.Hold(std::move(b));
    PlaceBlock(ops, keep, w, h, upsideDown);
}

void PrinterModel::Impl::PrintBarcode(Symbology sym, const BarcodeSymbol& s, std::uint64_t offset) {
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
    const CellSize hf = Font(m.hriFont == 1 ? 1 : 0);
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

void PrinterModel::Impl::PrintSymbol2D(std::uint8_t cn, std::uint64_t offset) {
    std::string error;
    std::shared_ptr<Bitmap> modules;
    int sx, sy;
    if (cn == 0x31) {
        modules = EncodeQr(m.qr, m.qrData, &error);
        sx = sy = m.qr.moduleDots;
    } else {
        modules = EncodePdf417(m.pdf417, m.pdf417Data, &error);
        sx = m.pdf417.moduleDots;
        sy = sx * m.pdf417.rowHeight;
    }
    if (!modules) {
        Skipped(offset, "GS ( k", Fmt("cn=%d fn=Q not printed: %s", cn, error.c_str()));
        return;
    }
    const int width = modules->width * sx;
    if (width > AreaWidth()) {
        Skipped(offset, "GS ( k",
                Fmt("cn=%d fn=Q not printed: %d dots wider than the print area", cn, width));
        return;
    }
    Log(offset, "GS ( k",
        Fmt("cn=%d fn=Q printed %dx%d modules as %dx%d dots", cn, modules->width, modules->height,
            width, modules->height * sy));
    if (!AtLineStart())
        FlushLine(0);
    PrintPictureBlock(std::move(modules), sx, sy, m.upsideDown);
}

}  // namespace thermpos::vprinter
