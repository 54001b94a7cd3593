// Receipt glyphs from the Terminus console fonts, with a built-in fallback.
//
// Threads: none started. ForCell may be called from any thread; its cache is guarded by
// one mutex (cacheMutex), the only lock in this file. Sources are immutable once built.
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include "vprinter/psf.h"

namespace thermpos::vprinter {
namespace {

constexpr std::size_t kMaxFontFileBytes = 8u << 20;
constexpr int kMaxGlyphs = 65536;
constexpr int kMaxWidth = 64;
constexpr int kMaxHeight = 128;

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool Fail(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

// Decodes one UTF-8 sequence of a PSF2 unicode table; false on malformed input.
bool NextUtf8(const std::uint8_t*& p, const std::uint8_t* end, char32_t* cp) {
    const std::uint8_t b = *p;
    int extra;
    char32_t value;
    if (b < 0x80) {
        extra = 0;
        value = b;
    } else if ((b & 0xE0) == 0xC0) {
        extra = 1;
        value = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2;
        value = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3;
        value = b & 0x07;
    } else {
        return false;
    }
    if (end - p < extra + 1)
        return false;
    for (int i = 1; i <= extra; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return false;
        value = (value << 6) | (p[i] & 0x3F);
    }
    p += extra + 1;
    *cp = value;
    return true;
}

}  // namespace

int PsfFont::Find(char32_t codePoint) const {
    if (glyphOfPoint.empty())
        return codePoint < static_cast<char32_t>(glyphCount) ? static_cast<int>(codePoint) : -1;
    auto it = glyphOfPoint.find(codePoint);
    return it == glyphOfPoint.end() ? -1 : it->second;
}

bool ParsePsf(const std::vector<std::uint8_t>& bytes, PsfFont* out, std::string* error) {
    PsfFont font;
    const std::uint8_t* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t glyphsAt;
    bool hasTable;
    bool psf2;
    if (size >= 4 && data[0] == 0x36 && data[1] == 0x04) {
        psf2 = false;
        const std::uint8_t mode = data[2];
        font.width = 8;
        font.height = data[3];
        font.glyphCount = (mode & 0x01) ? 512 : 256;
        hasTable = (mode & 0x06) != 0;
        glyphsAt = 4;
    } else if (size >= 32 && Le32(data) == 0x864AB572u) {
        psf2 = true;
        const std::uint32_t headerSize = Le32(data + 8);
        const std::uint32_t flags = Le32(data + 12);
        const std::uint32_t count = Le32(data + 16);
        const std::uint32_t charSize = Le32(data + 20);
        const std::uint32_t height = Le32(data + 24);
        const std::uint32_t width = Le32(data + 28);
        if (headerSize < 32 || headerSize > size)
            return Fail(error, "bad PSF2 header size");
        if (count == 0 || count > kMaxGlyphs || width == 0 || width > kMaxWidth || height == 0 ||
            height > kMaxHeight)
            return Fail(error, "PSF2 font size out of range");
        if (charSize != height * ((width + 7) / 8))
            return Fail(error, "PSF2 glyph size does not match its width and height");
        font.width = static_cast<int>(width);
        font.height = static_cast<int>(height);
        font.glyphCount = static_cast<int>(count);
        hasTable = (flags & 1) != 0;
        glyphsAt = headerSize;
    } else {
        return Fail(error, "not a PSF font");
    }
    if (font.height == 0)
        return Fail(error, "font height 0");
    font.bytesPerRow = (font.width + 7) / 8;
    const std::size_t glyphBytes =
        static_cast<std::size_t>(font.glyphCount) * font.height * font.bytesPerRow;
    if (size - glyphsAt < glyphBytes)
        return Fail(error, "font file truncated");
    font.bitmaps.assign(data + glyphsAt, data + glyphsAt + glyphBytes);

    if (hasTable) {
        const std::uint8_t* p = data + glyphsAt + glyphBytes;
        const std::uint8_t* end = data + size;
        int glyph = 0;
        // Sequences (combining forms) after the separator are skipped: a receipt glyph is
        // always chosen for one code point.
        bool inSequences = false;
        if (!psf2) {
            while (glyph < font.glyphCount && end - p >= 2) {
                const std::uint16_t v = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
                p += 2;
                if (v == 0xFFFF) {
                    ++glyph;
                    inSequences = false;
                } else if (v == 0xFFFE) {
                    inSequences = true;
                } else if (!inSequences) {
                    font.glyphOfPoint.emplace(v, glyph);
                }
            }
        } else {
            while (glyph < font.glyphCount && p < end) {
                if (*p == 0xFF) {
                    ++p;
                    ++glyph;
                    inSequences = false;
                } else if (*p == 0xFE) {
                    ++p;
                    inSequences = true;
                } else {
                    char32_t cp;
                    if (!NextUtf8(p, end, &cp))
                        return Fail(error, "bad UTF-8 in the unicode table");
                    if (!inSequences)
                        font.glyphOfPoint.emplace(cp, glyph);
                }
            }
        }
    }
    *out = std::move(font);
    return true;
}

bool LoadPsfFile(const std::string& path, PsfFont* out, std::string* error) {
    // gzread passes uncompressed files through unchanged, so one path serves both.
    gzFile file = gzopen(path.c_str(), "rb");
    if (!file)
        return Fail(error, path + ": cannot open");
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[16384];
    bool ok = true;
    for (;;) {
        const int n = gzread(file, chunk, sizeof chunk);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > kMaxFontFileBytes) {
            gzclose(file);
            return Fail(error, path + ": too large for a font");
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    gzclose(file);
    if (!ok)
        return Fail(error, path + ": corrupt compressed data");
    std::string why;
    if (!ParsePsf(bytes, out, &why))
        return Fail(error, path + ": " + why);
    return true;
}

// ---- cell fonts ----

namespace {

struct TerminusSize {
    const char* suffix;
    int width;
    int height;
};

// Largest first, so the first one that fits is the best.
constexpr TerminusSize kTerminusSizes[] = {
    {"32x16", 16, 32}, {"28x14", 14, 28}, {"24x12", 12, 24}, {"22x11", 11, 22}, {"20x10", 10, 20},
    {"18x10", 10, 18}, {"16", 8, 16},     {"14", 8, 14},     {"12x6", 6, 12},
};

// Uni2 covers Latin, Greek, Cyrillic, box drawing and the euro sign; the others are
// tried when it is not installed.
constexpr const char* kTerminusSets[] = {"Uni2", "Uni3", "Lat15"};

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// 5x7 glyphs for 0x20..0x7E, one byte per column, bit 0 at the top.
constexpr std::uint8_t kFallback5x7[95][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x55, 0x22, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x08, 0x2A, 0x1C, 0x2A, 0x08}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x01, 0x01},
    {0x3E, 0x41, 0x41, 0x51, 0x32}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x04, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x7F, 0x20, 0x18, 0x20, 0x7F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x03, 0x04, 0x78, 0x04, 0x03}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x00, 0x7F, 0x41, 0x41},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x41, 0x41, 0x7F, 0x00, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x08, 0x14, 0x54, 0x54, 0x3C},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x00, 0x7F, 0x10, 0x28, 0x44}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x02, 0x01, 0x02, 0x04, 0x02},
};

std::string DefaultFontDir() {
    const char* dir = std::getenv("THERMPOS_FONT_DIR");
    return dir && *dir ? dir : "/usr/share/consolefonts";
}

}  // namespace

std::vector<std::uint8_t> GlyphSource::Glyph(char32_t codePoint) const {
    std::vector<std::uint8_t> cell(static_cast<std::size_t>(cellWidth_) * cellHeight_, 0);
    Draw(codePoint, cell);
    return cell;
}

const GlyphSource& GlyphSource::ForCell(int cellWidth, int cellHeight) {
    static std::mutex cacheMutex;
    static std::map<std::pair<int, int>, std::unique_ptr<CellFont>> cache;  // cacheMutex
    static const std::string fontDir = DefaultFontDir();
    std::lock_guard<std::mutex> lock(cacheMutex);
    auto& slot = cache[{cellWidth, cellHeight}];
    if (!slot)
        slot = CellFont::Create(cellWidth, cellHeight, fontDir);
    return *slot;
}

CellFont::~CellFont() = default;

std::unique_ptr<CellFont> CellFont::Create(int cellWidth, int cellHeight,
                                           const std::string& fontDir) {
    // A cell below one dot, or absurdly large, would only make huge or empty buffers.
    cellWidth = std::clamp(cellWidth, 1, 256);
    cellHeight = std::clamp(cellHeight, 1, 256);
    std::unique_ptr<CellFont> cell(new CellFont(cellWidth, cellHeight));
    for (const TerminusSize& size : kTerminusSizes) {
        if (size.width > cellWidth || size.height > cellHeight)
            continue;
        for (const char* set : kTerminusSets) {
            const std::string path = fontDir + "/" + set + "-Terminus" + size.suffix + ".psf.gz";
            if (!FileExists(path))
                continue;
            auto font = std::make_unique<PsfFont>();
            if (!LoadPsfFile(path, font.get(), nullptr) || font->width > cellWidth ||
                font->height > cellHeight)
                continue;
            cell->fontWidth_ = font->width;
            cell->fontHeight_ = font->height;
            cell->offsetX_ = (cellWidth - font->width) / 2;
            cell->offsetY_ = (cellHeight - font->height) / 2;
            cell->font_ = std::move(font);
            return cell;
        }
    }
    // Built-in 5x7 glyphs in a 6x8 box, scaled by the largest whole factor that fits.
    cell->scale_ = std::max(1, std::min(cellWidth / 6, cellHeight / 8));
    cell->fontWidth_ = 6 * cell->scale_;
    cell->fontHeight_ = 8 * cell->scale_;
    cell->offsetX_ = std::max(0, (cellWidth - cell->fontWidth_) / 2);
    cell->offsetY_ = std::max(0, (cellHeight - cell->fontHeight_) / 2);
    return cell;
}

void CellFont::Draw(char32_t codePoint, std::vector<std::uint8_t>& cell) const {
    if (!font_) {
        DrawFallback(codePoint, cell);
        return;
    }
    int glyph = font_->Find(codePoint);
    if (glyph < 0 && codePoint == 0xA0)
        glyph = font_->Find(U' ');
    if (glyph < 0)
        glyph = font_->Find(0xFFFD);
    if (glyph < 0)
        glyph = font_->Find(U'?');
    if (glyph < 0 || glyph >= font_->glyphCount)
        return;
    const int w = CellWidth();
    for (int y = 0; y < font_->height; ++y)
        for (int x = 0; x < font_->width; ++x)
            if (font_->Ink(glyph, x, y))
                cell[static_cast<std::size_t>(y + offsetY_) * w + (x + offsetX_)] = 1;
}

void CellFont::DrawFallback(char32_t codePoint, std::vector<std::uint8_t>& cell) const {
    const int w = CellWidth();
    const int h = CellHeight();
    auto plot = [&](int x, int y) {
        for (int dy = 0; dy < scale_; ++dy)
            for (int dx = 0; dx < scale_; ++dx) {
                const int px = offsetX_ + x * scale_ + dx;
                const int py = offsetY_ + y * scale_ + dy;
                if (px < w && py < h)
                    cell[static_cast<std::size_t>(py) * w + px] = 1;
            }
    };
    if (codePoint == 0xA0)
        return;
    if (codePoint < 0x20 || codePoint > 0x7E) {
        // Unknown: an outlined box, so missing glyphs are visible rather than blank.
        for (int x = 0; x < 5; ++x) {
            plot(x, 0);
            plot(x, 6);
        }
        for (int y = 0; y < 7; ++y) {
            plot(0, y);
            plot(4, y);
        }
        return;
    }
    const std::uint8_t* columns = kFallback5x7[codePoint - 0x20];
    for (int x = 0; x < 5; ++x)
        for (int y = 0; y < 7; ++y)
            if ((columns[x] >> y) & 1)
                plot(x, y);
}

}  // namespace thermpos::vprinter
