// FS and DLE commands of the printer model. The real-time commands themselves are run by
// model_status.cpp; here they are read in stream order, unless the raw scan has already
// answered them.
#include "vprinter/model_impl.h"

namespace thermpos::vprinter {

using namespace model_detail;

const PrinterModel::Impl::CommandTable PrinterModel::Impl::kFsCommands{
    1,
    {
        {0x70, 2, "FS p", &Impl::FsPrintNv},
        {0x71, 1, "FS q", &Impl::FsDefineNv},
        {0x28, 3, "FS (", &Impl::FsExtended},
        {0x26, 0, "FS &", &Impl::FsKanji},  // kanji mode on
        {0x2E, 0, "FS .", &Impl::FsKanji},  // kanji mode off
        {0x21, 1, "FS !", &Impl::FsKanji},
        {0x2D, 1, "FS -", &Impl::FsKanji},
        {0x43, 1, "FS C", &Impl::FsKanji},
        {0x57, 1, "FS W", &Impl::FsKanji},
        {0x53, 2, "FS S", &Impl::FsKanji},
        {0x32, 2, "FS 2", &Impl::FsUserKanji},
    },
    {0, 0, "FS ?", &Impl::FsUnknown},
};

const PrinterModel::Impl::CommandTable PrinterModel::Impl::kDleCommands{
    1,
    {
        {0x04, 1, "DLE EOT", &Impl::DleRealtimeStatus},
        {0x05, 1, "DLE ENQ", &Impl::DleRealtimeStatus},
        {0x14, 1, "DLE DC4", &Impl::DlePeripheral},
    },
    // A lone DLE.
    {0, 0, "DLE", &Impl::DleAlone},
};

// FS p n m: prints stored image n.
std::size_t PrinterModel::Impl::FsPrintNv(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    const std::uint64_t off = processed;
    const int idx = p[2], mode = Digit(p[3]);
    Log(off, c.name, Fmt("n=%d m=%d", idx, p[3]));
    if (pageMode || !AtLineStart() || mode > 3 || idx < 1 || idx > static_cast<int>(nv.size())) {
        Skipped(off, c.name, "ignored");
        return 4;
    }
    PrintPictureBlock(nv[idx - 1].bitmap, (mode & 1) ? 2 : 1, (mode & 2) ? 2 : 1, m.upsideDown);
    return 4;
}

// FS q n [xL xH yL yH d...]...: the images follow as payload.
std::size_t PrinterModel::Impl::FsDefineNv(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    Log(processed, c.name, Fmt("n=%d", p[2]));
    sink = Sink{};
    if (p[2] == 0)
        return 3;
    sink.kind = SinkKind::NvDefine;
    sink.imagesLeft = p[2];
    sink.keep = !pageMode && AtLineStart();
    return 3;
}

// FS ( fn pL pH ...: nothing we act on.
std::size_t PrinterModel::Impl::FsExtended(const CommandEntry& c, const std::uint8_t* p,
                                           std::size_t) {
    Skipped(processed, c.name, Fmt("fn=%c len=%d", p[2], U16(p + 3)));
    StartSkip(U16(p + 3));
    return 5;
}

// Kanji modes and settings: no kanji font here, so they are read and ignored unlogged.
std::size_t PrinterModel::Impl::FsKanji(const CommandEntry& c, const std::uint8_t*, std::size_t) {
    return 2u + c.params;
}

// FS 2 c1 c2 d1..d72: a user kanji glyph.
std::size_t PrinterModel::Impl::FsUserKanji(const CommandEntry& c, const std::uint8_t*,
                                            std::size_t) {
    Skipped(processed, c.name);
    StartSkip(72);
    return 4;
}

std::size_t PrinterModel::Impl::FsUnknown(const CommandEntry& c, const std::uint8_t* p,
                                          std::size_t) {
    Skipped(processed, c.name, Fmt("byte=0x%02X", p[1]));
    return 2;
}

// DLE EOT n and DLE ENQ n.
std::size_t PrinterModel::Impl::DleRealtimeStatus(const CommandEntry&, const std::uint8_t* p,
                                                  std::size_t) {
    const std::uint64_t off = processed;
    if (!AlreadyAnswered(off) && RealtimeLength(p, 3))
        ExecuteRealtime(p, off);
    return 3;
}

// DLE DC4 fn ...: the length depends on the function.
std::size_t PrinterModel::Impl::DlePeripheral(const CommandEntry& c, const std::uint8_t* p,
                                              std::size_t n) {
    const std::uint64_t off = processed;
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
        Skipped(off, c.name, Fmt("fn=%d", p[2]));
    return len;
}

std::size_t PrinterModel::Impl::DleAlone(const CommandEntry&, const std::uint8_t*, std::size_t) {
    return 1;
}

}  // namespace thermpos::vprinter
