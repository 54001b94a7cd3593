// The printer model's payload sinks: the data bytes of raster and column images, NV image
// definitions, user-defined characters and skipped blocks, taken as they arrive so the
// receive buffer never has to hold a whole payload.
#include <algorithm>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

std::size_t PrinterModel::Impl::FeedSink(const std::uint8_t* p, std::size_t n) {
    switch (sink.kind) {
        case SinkKind::Skip: {
            const std::size_t k =
                static_cast<std::size_t>(std::min<std::uint64_t>(sink.remaining, n));
            sink.remaining -= k;
            if (sink.remaining == 0)
                sink.kind = SinkKind::None;
            return k;
        }
        case SinkKind::Raster:
            return FeedRaster(p, n);
        case SinkKind::Column:
            return FeedColumns(p, n);
        case SinkKind::NvDefine:
            return FeedNv(p, n);
        case SinkKind::UserChars:
            return FeedUserChars(p, n);
        case SinkKind::SymbolData:
            return FeedSymbolData(p, n);
        case SinkKind::None:
            break;
    }
    return 0;
}

std::size_t PrinterModel::Impl::FeedRaster(const std::uint8_t* p, std::size_t n) {
    Sink& s = sink;
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n));
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

std::size_t PrinterModel::Impl::FeedColumns(const std::uint8_t* p, std::size_t n) {
    Sink& s = sink;
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n));
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

void PrinterModel::Impl::EndNv() {
    if (sink.keep && !sink.nvNew.empty())
        nv = std::move(sink.nvNew);
    sink = Sink{};
}

std::size_t PrinterModel::Impl::FeedNv(const std::uint8_t* p, std::size_t n) {
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
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n - i));
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

std::size_t PrinterModel::Impl::FeedUserChars(const std::uint8_t* p, std::size_t n) {
    Sink& s = sink;
    const CellSize f = Font(m.font);
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

std::size_t PrinterModel::Impl::FeedSymbolData(const std::uint8_t* p, std::size_t n) {
    Sink& s = sink;
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, n));
    if (!s.symbolTooLong)
        s.symbolData.append(reinterpret_cast<const char*>(p), k);
    s.remaining -= k;
    if (s.remaining == 0) {
        std::string& stored = s.symbolCn == 0x31 ? m.qrData : m.pdf417Data;
        // Data no symbol holds replaces what was stored by nothing, so that the next print
        // does not show the symbol before it.
        if (s.symbolTooLong)
            Skipped(s.symbolOffset, "GS ( k", "data longer than any symbol holds");
        stored = s.symbolTooLong ? std::string() : std::move(s.symbolData);
        sink = Sink{};
    }
    return k;
}

void PrinterModel::Impl::StartSkip(std::uint64_t bytes) {
    sink = Sink{};
    if (bytes == 0)
        return;
    sink.kind = SinkKind::Skip;
    sink.remaining = bytes;
}

}  // namespace thermpos::vprinter
