// GS commands of the printer model.
#include <algorithm>
#include <cstring>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

const PrinterModel::Impl::CommandTable PrinterModel::Impl::kGsCommands{
    1,
    {
        {0x0C, 0, "GS FF", &Impl::GsFeedToMark},
        {0x28, 3, "GS (", &Impl::GsExtended},
        {0x38, 5, "GS 8", &Impl::GsLongBlock},
        {0x2A, 2, "GS *", &Impl::GsDownloadImage},
        {0x3A, 0, "GS :", &Impl::GsMacro},
        {0x24, 2, "GS $", &Impl::GsVerticalPosition},
        {0x5C, 2, "GS \\", &Impl::GsVerticalPosition},
        {0x4C, 2, "GS L", &Impl::GsPrintArea},
        {0x57, 2, "GS W", &Impl::GsPrintArea},
        {0x50, 2, "GS P", &Impl::GsMotionUnits},
        {0x56, 1, "GS V", &Impl::GsCut},
        {0x76, 1, "GS v", &Impl::GsRaster},
        {0x6B, 1, "GS k", &Impl::GsBarcode},
        {0x21, 1, "GS !", &Impl::GsCharSize},
        {0x42, 1, "GS B", &Impl::GsReverse},
        {0x48, 1, "GS H", &Impl::GsHriPosition},
        {0x49, 1, "GS I", &Impl::GsPrinterId},
        {0x61, 1, "GS a", &Impl::GsStatusBack},
        {0x62, 1, "GS b", &Impl::GsLogOnly},
        {0x66, 1, "GS f", &Impl::GsHriFont},
        {0x68, 1, "GS h", &Impl::GsBarHeight},
        {0x72, 1, "GS r", &Impl::GsStatus},
        {0x77, 1, "GS w", &Impl::GsBarModule},
        {0x2F, 1, "GS /", &Impl::GsSkippedParam},
    },
    // Unknown: GS and the command byte are skipped once a parameter byte is there.
    {0, 1, "GS ?", &Impl::GsUnknown},
};

std::size_t PrinterModel::Impl::GsFeedToMark(const CommandEntry& c, const std::uint8_t*,
                                             std::size_t) {
    Log(processed, c.name);
    return 2;
}

// GS ( fn pL pH ...: the test print, the character colour and the two-dimensional
// symbols; other functions are skipped.
std::size_t PrinterModel::Impl::GsExtended(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t n) {
    const std::uint64_t off = processed;
    const int fn = p[2], len = U16(p + 3);
    if (fn == 0x6B)
        return GsSymbol(p, n);
    if ((fn == 0x41 || fn == 0x4E) && len == 2) {
        if (n < 7)
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
    Skipped(off, c.name, Fmt("fn=%c len=%d", fn, len));
    StartSkip(len);
    return 5;
}

namespace {

// Whether GS ( k cn fn is a setting or the print function this printer acts on, and the
// length (pL pH) it has then; 0 for every other function.
std::size_t SymbolFunctionLength(std::uint8_t cn, std::uint8_t fn) {
    if (cn == 0x31) {
        switch (fn) {
            case 0x41:  // model
                return 4;
            case 0x43:  // module size
            case 0x45:  // error correction level
            case 0x51:  // print
                return 3;
            default:
                return 0;
        }
    }
    if (cn == 0x30) {
        if (fn == 0x45)  // error correction: level or ratio
            return 4;
        // Columns, rows, module width, row height, options, print.
        if ((fn >= 0x41 && fn <= 0x44) || fn == 0x46 || fn == 0x51)
            return 3;
    }
    return 0;
}

}  // namespace

// GS ( k pL pH cn fn ...: pL + 256 pH bytes after pH, all of them the host's word. The
// store function's data streams through a sink (at most kMaxSymbolData kept); settings and
// the print function are read whole only at their own short lengths; everything else,
// a known function with another length included, is skipped by its length.
std::size_t PrinterModel::Impl::GsSymbol(const std::uint8_t* p, std::size_t n) {
    const std::uint64_t off = processed;
    const std::size_t len = static_cast<std::size_t>(U16(p + 3));
    if (len < 2) {
        Skipped(off, "GS ( k", Fmt("len=%d", static_cast<int>(len)));
        StartSkip(len);
        return 5;
    }
    if (n < 7)
        return 0;
    const std::uint8_t cn = p[5], fn = p[6];
    if ((cn == 0x30 || cn == 0x31) && fn == 0x50 && len >= 3) {
        if (n < 8)
            return 0;
        const std::size_t k = len - 3;
        Log(off, "GS ( k", Fmt("cn=%d fn=P m=%d k=%d", cn, p[7], static_cast<int>(k)));
        sink = Sink{};
        sink.kind = SinkKind::SymbolData;
        sink.remaining = k;
        sink.symbolCn = cn;
        sink.symbolOffset = off;
        sink.symbolTooLong = k > kMaxSymbolData;
        if (!sink.symbolTooLong)
            sink.symbolData.reserve(k);
        if (k == 0)
            FeedSymbolData(p, 0);
        return 8;
    }
    const std::size_t expected = SymbolFunctionLength(cn, fn);
    if (expected == 0 || len != expected) {
        Skipped(off, "GS ( k", Fmt("cn=%d fn=%d len=%d", cn, fn, static_cast<int>(len)));
        StartSkip(len - 2);
        return 7;
    }
    if (n < 5 + len)
        return 0;
    const int a = p[7], b = len == 4 ? p[8] : 0;
    const int d = Digit(static_cast<std::uint8_t>(a));
    if (fn == 0x51 && d == 0) {
        PrintSymbol2D(cn, off);  // logs what it printed
        return 5 + len;
    }
    Log(off, "GS ( k",
        len == 4 ? Fmt("cn=%d fn=%c n1=%d n2=%d", cn, fn, a, b)
                 : Fmt("cn=%d fn=%c n=%d", cn, fn, a));
    // Values out of range leave the setting as it was.
    QrSettings& qr = m.qr;
    Pdf417Settings& pdf = m.pdf417;
    if (cn == 0x31) {
        if (fn == 0x41 && d >= 1 && d <= 3)
            qr.model = d;
        if (fn == 0x43 && a >= 1 && a <= 16)
            qr.moduleDots = a;
        if (fn == 0x45 && a >= 0x30 && a <= 0x33)
            qr.level = a - 0x30;
    } else {
        if (fn == 0x41 && a <= 30)
            pdf.columns = a;
        if (fn == 0x42 && (a == 0 || (a >= 3 && a <= 90)))
            pdf.rows = a;
        if (fn == 0x43 && a >= 2 && a <= 8)
            pdf.moduleDots = a;
        if (fn == 0x44 && a >= 2 && a <= 8)
            pdf.rowHeight = a;
        if (fn == 0x45 && a == 0x30 && b >= 0x30 && b <= 0x38) {
            pdf.levelIsRatio = false;
            pdf.level = b - 0x30;
        }
        if (fn == 0x45 && a == 0x31 && b >= 1 && b <= 40) {
            pdf.levelIsRatio = true;
            pdf.level = b;
        }
        if (fn == 0x46 && d <= 1)
            pdf.truncated = d == 1;
    }
    return 5 + len;
}

// GS 8 fn p1..p4: a block with a 32-bit length.
std::size_t PrinterModel::Impl::GsLongBlock(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    const std::uint64_t len = static_cast<std::uint64_t>(p[3]) | (p[4] << 8) | (p[5] << 16) |
                              (static_cast<std::uint64_t>(p[6]) << 24);
    Skipped(processed, c.name, Fmt("fn=%c len=%llu", p[2], static_cast<unsigned long long>(len)));
    StartSkip(len);
    return 7;
}

// GS * x y d(x*y*8): a downloaded image, not kept.
std::size_t PrinterModel::Impl::GsDownloadImage(const CommandEntry& c, const std::uint8_t* p,
                                                std::size_t) {
    Skipped(processed, c.name, Fmt("x=%d y=%d", p[2], p[3]));
    StartSkip(static_cast<std::uint64_t>(p[2]) * p[3] * 8);
    return 4;
}

std::size_t PrinterModel::Impl::GsMacro(const CommandEntry&, const std::uint8_t*, std::size_t) {
    return 2;
}

// GS $ absolute and GS \ relative vertical position (page mode).
std::size_t PrinterModel::Impl::GsVerticalPosition(const CommandEntry& c, const std::uint8_t* p,
                                                   std::size_t) {
    int v = U16(p + 2);
    if (p[1] == 0x5C)
        v = pageY + static_cast<std::int16_t>(v);
    Log(processed, c.name, Fmt("y=%d", v));
    if (pageMode && v >= 0 && v < LogicalPageHeight()) {
        if (!line.empty())
            FlushLine(0);
        pageY = v;
    }
    return 4;
}

// GS L left margin and GS W print area width.
std::size_t PrinterModel::Impl::GsPrintArea(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    const int v = U16(p + 2);
    Log(processed, c.name, Fmt("n=%d", v));
    if (!pageMode && AtLineStart()) {
        if (p[1] == 0x4C)
            m.leftMargin = std::min(v, PaperWidth() - 1);
        if (p[1] == 0x57)
            m.areaWidth = v;
    }
    return 4;
}

std::size_t PrinterModel::Impl::GsMotionUnits(const CommandEntry& c, const std::uint8_t* p,
                                              std::size_t) {
    Log(processed, c.name, Fmt("x=%d y=%d", p[2], p[3]));
    return 4;
}

std::size_t PrinterModel::Impl::GsCut(const CommandEntry& c, const std::uint8_t* p, std::size_t n) {
    const std::uint64_t off = processed;
    const int mode = p[2];
    if (mode == 0 || mode == 1 || mode == 48 || mode == 49) {
        Log(off, c.name, Fmt("m=%d", mode));
        Cut(Digit(mode) == 0 ? CutKind::Full : CutKind::Partial, 0, off);
        return 3;
    }
    if (mode == 65 || mode == 66 || mode == 97 || mode == 98 || mode == 103 || mode == 104) {
        if (n < 4)
            return 0;
        Log(off, c.name, Fmt("m=%d n=%d", mode, p[3]));
        Cut((mode & 1) ? CutKind::Full : CutKind::Partial, p[3], off);
        return 4;
    }
    Skipped(off, c.name, Fmt("m=%d", mode));
    return 3;
}

std::size_t PrinterModel::Impl::GsRaster(const CommandEntry& c, const std::uint8_t* p,
                                         std::size_t n) {
    const std::uint64_t off = processed;
    if (p[2] != 0x30) {
        Skipped(off, c.name, Fmt("fn=%d", p[2]));
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

std::size_t PrinterModel::Impl::GsBarcode(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t n) {
    const std::uint64_t off = processed;
    const int type = p[2];
    if (type <= 6) {  // function A: NUL-terminated
        std::size_t k = 3;
        while (k < n && k < 3 + 256 && p[k] != 0)
            ++k;
        if (k == n && k < 3 + 256)
            return 0;
        if (k >= 3 + 256 || p[k] != 0) {
            Skipped(off, c.name, "unterminated");
            return 3;
        }
        static constexpr Symbology kA[7] = {Symbology::UpcA,   Symbology::UpcE,   Symbology::Ean13,
                                            Symbology::Ean8,   Symbology::Code39, Symbology::Itf,
                                            Symbology::Codabar};
        EncodeAndPrint(kA[type], std::string_view(reinterpret_cast<const char*>(p + 3), k - 3),
                       off);
        return k + 1;
    }
    if (type < 65 || type > 73) {
        Skipped(off, c.name, Fmt("m=%d", type));
        return 3;
    }
    if (n < 4)
        return 0;
    const std::size_t len = p[3];
    if (n < 4 + len)
        return 0;
    if (len == 0) {
        Skipped(off, c.name, "n=0");
        return 4;
    }
    const std::string_view data(reinterpret_cast<const char*>(p + 4), len);
    if (!EncodeAndPrint(static_cast<Symbology>(type), data, off))
        return 4;  // data as text
    return 4 + len;
}

std::size_t PrinterModel::Impl::GsCharSize(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    const std::uint8_t v = p[2];
    Log(processed, c.name, Fmt("n=%d", v));
    if ((v & 0x88) == 0) {
        m.scaleX = ((v >> 4) & 7) + 1;
        m.scaleY = (v & 7) + 1;
    }
    return 3;
}

std::size_t PrinterModel::Impl::GsReverse(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    m.reverse = p[2] & 1;
    return 3;
}

std::size_t PrinterModel::Impl::GsHriPosition(const CommandEntry& c, const std::uint8_t* p,
                                              std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d <= 3)
        m.hriPosition = d;
    return 3;
}

std::size_t PrinterModel::Impl::GsPrinterId(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    PrinterId(p[2]);
    return 3;
}

std::size_t PrinterModel::Impl::GsStatusBack(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    asbMask = p[2] & 0x0F;
    if (asbMask)
        SendBlock();
    lastBlock = Block();
    return 3;
}

std::size_t PrinterModel::Impl::GsLogOnly(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    return 3;
}

std::size_t PrinterModel::Impl::GsHriFont(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d <= 1)
        m.hriFont = d;
    return 3;
}

std::size_t PrinterModel::Impl::GsBarHeight(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    if (p[2] >= 1)
        m.barHeight = p[2];
    return 3;
}

// GS r n: paper sensor (1) or drawer (2) status.
std::size_t PrinterModel::Impl::GsStatus(const CommandEntry& c, const std::uint8_t* p,
                                         std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d == 1)
        ReplyByte(PaperBits());
    if (d == 2)
        ReplyByte(Pin3High() ? 0x01 : 0x00);
    return 3;
}

std::size_t PrinterModel::Impl::GsBarModule(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    if (p[2] >= 1 && p[2] <= 6)
        m.barModule = p[2];
    return 3;
}

std::size_t PrinterModel::Impl::GsSkippedParam(const CommandEntry& c, const std::uint8_t* p,
                                               std::size_t) {
    Skipped(processed, c.name, Fmt("m=%d", p[2]));
    return 3;
}

std::size_t PrinterModel::Impl::GsUnknown(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Skipped(processed, c.name, Fmt("byte=0x%02X", p[1]));
    return 2;
}

void PrinterModel::Impl::SelectColour(std::uint8_t v) {
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

void PrinterModel::Impl::PrinterId(std::uint8_t n) {
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

bool PrinterModel::Impl::EncodeAndPrint(Symbology sym, std::string_view data, std::uint64_t off) {
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

void PrinterModel::Impl::SelfTest() {
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

}  // namespace thermpos::vprinter
