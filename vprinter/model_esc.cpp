// ESC commands of the printer model.
#include <algorithm>

#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

// Parameter counts are the bytes after the command byte that the handler reads before it
// decides anything; commands whose length depends on them ask for more themselves.
const PrinterModel::Impl::CommandTable PrinterModel::Impl::kEscCommands{
    1,
    {
        {0x40, 0, "ESC @", &Impl::EscInitialise},
        {0x0C, 0, "ESC FF", &Impl::EscPrintPage},
        {0x4C, 0, "ESC L", &Impl::EscPageMode},
        {0x53, 0, "ESC S", &Impl::EscStandardMode},
        {0x32, 0, "ESC 2", &Impl::EscDefaultLineSpacing},
        {0x3C, 0, "ESC <", &Impl::EscReturnHome},
        {0x69, 0, "ESC i", &Impl::EscLegacyCut},
        {0x6D, 0, "ESC m", &Impl::EscLegacyCut},
        {0x76, 0, "ESC v", &Impl::EscPaperSensor},
        {0x57, 8, "ESC W", &Impl::EscPageArea},
        {0x44, 0, "ESC D", &Impl::EscTabStops},
        {0x24, 2, "ESC $", &Impl::EscPosition},
        {0x5C, 2, "ESC \\", &Impl::EscPosition},
        {0x2A, 1, "ESC *", &Impl::EscBitImage},
        {0x26, 3, "ESC &", &Impl::EscUserChars},
        {0x70, 3, "ESC p", &Impl::EscPulse},
        {0x63, 2, "ESC c", &Impl::EscSensors},
        {0x7E, 2, "ESC ~", &Impl::EscAltColour},
        {0x28, 3, "ESC (", &Impl::EscExtended},
        {0x20, 1, "ESC SP", &Impl::EscRightSpacing},
        {0x21, 1, "ESC !", &Impl::EscPrintModes},
        {0x25, 1, "ESC %", &Impl::EscUserCharSet},
        {0x2D, 1, "ESC -", &Impl::EscUnderline},
        {0x33, 1, "ESC 3", &Impl::EscLineSpacing},
        {0x3D, 1, "ESC =", &Impl::EscPeripheral},
        {0x3F, 1, "ESC ?", &Impl::EscCancelUserChar},
        {0x45, 1, "ESC E", &Impl::EscBold},
        {0x47, 1, "ESC G", &Impl::EscBold},
        {0x4A, 1, "ESC J", &Impl::EscFeedDots},
        {0x4D, 1, "ESC M", &Impl::EscFont},
        {0x52, 1, "ESC R", &Impl::EscInternational},
        {0x54, 1, "ESC T", &Impl::EscDirection},
        {0x55, 1, "ESC U", &Impl::EscLogOnly},
        {0x65, 1, "ESC e", &Impl::EscLogOnly},
        {0x56, 1, "ESC V", &Impl::EscRotate},
        {0x61, 1, "ESC a", &Impl::EscJustify},
        {0x64, 1, "ESC d", &Impl::EscFeedLines},
        {0x72, 1, "ESC r", &Impl::EscColour},
        {0x74, 1, "ESC t", &Impl::EscCodeTable},
        {0x75, 1, "ESC u", &Impl::EscDrawerStatus},
        {0x7B, 1, "ESC {", &Impl::EscUpsideDown},
    },
    // Unknown: ESC and the command byte are skipped once a parameter byte is there; what
    // follows is read as data.
    {0, 1, "ESC ?", &Impl::EscUnknown},
};

std::size_t PrinterModel::Impl::EscInitialise(const CommandEntry& c, const std::uint8_t*,
                                              std::size_t) {
    Log(processed, c.name);
    Initialise();
    return 2;
}

std::size_t PrinterModel::Impl::EscPrintPage(const CommandEntry& c, const std::uint8_t*,
                                             std::size_t) {
    Log(processed, c.name);
    if (pageMode)
        PrintPage(true);
    return 2;
}

std::size_t PrinterModel::Impl::EscPageMode(const CommandEntry& c, const std::uint8_t*,
                                            std::size_t) {
    Log(processed, c.name);
    if (!pageMode && AtLineStart()) {
        pageMode = true;
        pageY = 0;
        lineX = 0;
        pageOps.clear();
        pageKeep.Clear();
    }
    return 2;
}

std::size_t PrinterModel::Impl::EscStandardMode(const CommandEntry& c, const std::uint8_t*,
                                                std::size_t) {
    Log(processed, c.name);
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
}

std::size_t PrinterModel::Impl::EscDefaultLineSpacing(const CommandEntry& c, const std::uint8_t*,
                                                      std::size_t) {
    Log(processed, c.name);
    (pageMode ? m.lineSpacingPage : m.lineSpacingStd) = kDefaultLineSpacing;
    return 2;
}

std::size_t PrinterModel::Impl::EscReturnHome(const CommandEntry&, const std::uint8_t*,
                                              std::size_t) {
    return 2;
}

std::size_t PrinterModel::Impl::EscLegacyCut(const CommandEntry& c, const std::uint8_t*,
                                             std::size_t) {
    const std::uint64_t off = processed;
    Log(off, c.name);
    Cut(CutKind::Partial, 0, off);
    return 2;
}

std::size_t PrinterModel::Impl::EscPaperSensor(const CommandEntry& c, const std::uint8_t*,
                                               std::size_t) {
    Log(processed, c.name);
    ReplyByte(PaperBits());
    return 2;
}

std::size_t PrinterModel::Impl::EscPageArea(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    const std::uint64_t off = processed;
    const int x = U16(p + 2), y = U16(p + 4), w = U16(p + 6), h = U16(p + 8);
    Log(off, c.name, Fmt("x=%d y=%d dx=%d dy=%d", x, y, w, h));
    if (w == 0 || h == 0 || x >= PaperWidth() || y >= kMaxPageHeight) {
        Skipped(off, c.name, "rejected");
        return 10;
    }
    if (pageMode && (!line.empty()))
        FlushLine(0);
    area = PageArea{x, y, std::min(w, PaperWidth() - x), std::min(h, kMaxPageHeight - y)};
    pageY = 0;
    lineX = 0;
    return 10;
}

// Tab stops, NUL-terminated, at most 32.
std::size_t PrinterModel::Impl::EscTabStops(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t n) {
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
    Log(processed, c.name, Fmt("stops=%d", static_cast<int>(m.tabs.size())));
    return len;
}

// ESC $ absolute and ESC \ relative print position.
std::size_t PrinterModel::Impl::EscPosition(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    int v = U16(p + 2);
    if (p[1] == 0x5C)
        v = lineX + static_cast<std::int16_t>(v);
    Log(processed, c.name, Fmt("x=%d", v));
    if (v >= 0 && v <= AreaWidth()) {
        lineX = v;
        lineHasContent = true;
    }
    return 4;
}

std::size_t PrinterModel::Impl::EscBitImage(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t n) {
    const std::uint64_t off = processed;
    const int mode = p[2];
    if (mode != 0 && mode != 1 && mode != 32 && mode != 33) {
        Skipped(off, c.name, Fmt("m=%d", mode));
        return 3;
    }
    if (n < 5)
        return 0;
    const int cols = U16(p + 3);
    const int perCol = mode >= 32 ? 3 : 1;
    Log(off, c.name, Fmt("m=%d columns=%d", mode, cols));
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

std::size_t PrinterModel::Impl::EscUserChars(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    const std::uint64_t off = processed;
    const int y = p[2], c1 = p[3], c2 = p[4];
    const CellSize cell = Font(m.font);
    Log(off, c.name, Fmt("y=%d c1=%d c2=%d", y, c1, c2));
    if (y != (cell.h + 7) / 8 || c1 < 32 || c2 > 126 || c1 > c2) {
        Skipped(off, c.name, "out of range");
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

// ESC p m t1 t2: the on time is t1 x 2 ms.
std::size_t PrinterModel::Impl::EscPulse(const CommandEntry& c, const std::uint8_t* p,
                                         std::size_t) {
    Log(processed, c.name, Fmt("m=%d t1=%d t2=%d", p[2], p[3], p[4]));
    const int pin = Digit(p[2]);
    if ((pin == 0 || pin == 1) && p[3] > 0)
        Pulse(pin, std::chrono::milliseconds(2 * p[3]));
    return 5;
}

// ESC c 3/4/5 n: paper sensors for the paper-end signal and for stopping, panel keys.
std::size_t PrinterModel::Impl::EscSensors(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    Log(processed, c.name, Fmt("%c n=%d", p[2], p[3]));
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

// ESC ~ J n: second colour select of one model.
std::size_t PrinterModel::Impl::EscAltColour(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    Log(processed, c.name, Fmt("%c n=%d", p[2], p[3]));
    if (p[2] == 0x4A) {
        const int colour = Digit(p[3]);
        if (colour == 0)
            m.ink = kBlack;
        if ((colour == 1 || colour == 2) && opt.twoColour)
            m.ink = kRed;
    }
    return 4;
}

// ESC ( fn pL pH ...: nothing we act on.
std::size_t PrinterModel::Impl::EscExtended(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    Skipped(processed, c.name, Fmt("fn=%c len=%d", p[2], U16(p + 3)));
    StartSkip(U16(p + 3));
    return 5;
}

std::size_t PrinterModel::Impl::EscRightSpacing(const CommandEntry& c, const std::uint8_t* p,
                                                std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    (pageMode ? m.rightSpacingPage : m.rightSpacingStd) = p[2];
    return 3;
}

std::size_t PrinterModel::Impl::EscPrintModes(const CommandEntry& c, const std::uint8_t* p,
                                              std::size_t) {
    const std::uint8_t v = p[2];
    Log(processed, c.name, Fmt("n=%d", v));
    m.font = (v & 1) ? 1 : 0;
    m.bold = v & 0x08;
    m.scaleY = (v & 0x10) ? 2 : 1;
    m.scaleX = (v & 0x20) ? 2 : 1;
    m.underline = (v & 0x80) ? 1 : 0;
    return 3;
}

std::size_t PrinterModel::Impl::EscUserCharSet(const CommandEntry& c, const std::uint8_t* p,
                                               std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    m.userChars = p[2] & 1;
    return 3;
}

std::size_t PrinterModel::Impl::EscUnderline(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d <= 2)
        m.underline = d;
    return 3;
}

std::size_t PrinterModel::Impl::EscLineSpacing(const CommandEntry& c, const std::uint8_t* p,
                                               std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    (pageMode ? m.lineSpacingPage : m.lineSpacingStd) = p[2];
    return 3;
}

std::size_t PrinterModel::Impl::EscPeripheral(const CommandEntry& c, const std::uint8_t* p,
                                              std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    selected = p[2] & 1;
    return 3;
}

std::size_t PrinterModel::Impl::EscCancelUserChar(const CommandEntry& c, const std::uint8_t* p,
                                                  std::size_t) {
    const std::uint8_t v = p[2];
    Log(processed, c.name, Fmt("n=%d", v));
    if (v >= 0x20 && v <= 0x7E)
        userGlyphs[m.font][v - 0x20].reset();
    return 3;
}

// ESC E emphasis and ESC G double strike both print bold.
std::size_t PrinterModel::Impl::EscBold(const CommandEntry& c, const std::uint8_t* p, std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    m.bold = p[2] & 1;
    return 3;
}

std::size_t PrinterModel::Impl::EscFeedDots(const CommandEntry& c, const std::uint8_t* p,
                                            std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    FlushLine(p[2]);
    return 3;
}

std::size_t PrinterModel::Impl::EscFont(const CommandEntry& c, const std::uint8_t* p, std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d == 0 || d == 1 || (d == 2 && opt.hasFontC))
        m.font = d;
    return 3;
}

std::size_t PrinterModel::Impl::EscInternational(const CommandEntry& c, const std::uint8_t* p,
                                                 std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    if (IsSupportedInternationalSet(p[2]))
        m.intlSet = p[2];
    return 3;
}

// ESC T: page-mode print direction.
std::size_t PrinterModel::Impl::EscDirection(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d <= 3) {
        if (pageMode && !line.empty())
            FlushLine(0);
        pageDir = d;
        pageY = 0;
        lineX = 0;
    }
    return 3;
}

// Commands with one parameter and no effect here (ESC U unidirectional, ESC e reverse feed).
std::size_t PrinterModel::Impl::EscLogOnly(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    return 3;
}

std::size_t PrinterModel::Impl::EscRotate(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if ((d <= 2) && (pageMode || AtLineStart()))
        m.rotate90 = d != 0;
    return 3;
}

std::size_t PrinterModel::Impl::EscJustify(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d <= 2 && (pageMode || AtLineStart()))
        m.justify = d;
    return 3;
}

std::size_t PrinterModel::Impl::EscFeedLines(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    FlushLine(p[2] * LineSpacing());
    return 3;
}

std::size_t PrinterModel::Impl::EscColour(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    const int d = Digit(p[2]);
    if (d == 0)
        m.ink = kBlack;
    if (d == 1 && opt.twoColour)
        m.ink = kRed;
    return 3;
}

std::size_t PrinterModel::Impl::EscCodeTable(const CommandEntry& c, const std::uint8_t* p,
                                             std::size_t) {
    const std::uint64_t off = processed;
    const std::uint8_t v = p[2];
    Log(off, c.name, Fmt("n=%d", v));
    if (IsSupportedCodeTable(v)) {
        m.codeTable = v;
        table = &CodeTable(v);
    } else {
        Skipped(off, c.name, Fmt("table %d not supported", v));
    }
    return 3;
}

std::size_t PrinterModel::Impl::EscDrawerStatus(const CommandEntry& c, const std::uint8_t* p,
                                                std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    ReplyByte(Pin3High() ? 0x01 : 0x00);
    return 3;
}

std::size_t PrinterModel::Impl::EscUpsideDown(const CommandEntry& c, const std::uint8_t* p,
                                              std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    if (pageMode || AtLineStart())
        m.upsideDown = p[2] & 1;
    return 3;
}

std::size_t PrinterModel::Impl::EscUnknown(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    Skipped(processed, c.name, Fmt("byte=0x%02X", p[1]));
    return 2;
}

}  // namespace thermpos::vprinter
