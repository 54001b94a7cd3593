// Bitmaps: the BMP decoder and command layouts of PrinterBitmaps.h, and the printer's
// PrintBitmap, SetBitmap, ReadBitmapFile and RenderBitmap.
//
// No thread of its own. SetBitmap's NV download runs on the caller's thread under the
// device lock, with the port's status monitor paused (monitor lock) for the write and the
// printer's writing time; lock order as in POSPrinterDevice.h and StatusMonitor.h.
#include "so/printer/PrinterBitmaps.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

#include "platform/portname.h"
#include "so/printer/ThermalPrinter.h"

namespace thermpos::so {

namespace {

uint32_t Le32(std::string_view s, std::size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

uint16_t Le16(std::string_view s, std::size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 static_cast<unsigned char>(s[at + 1]) << 8);
}

void PutLe16(std::string* out, std::size_t value) {
    out->push_back(static_cast<char>(value & 0xFF));
    out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;
constexpr std::size_t kFileHeader = 14;
constexpr std::size_t kInfoHeader = 40;

// One colour channel of a bit-field pixel, scaled to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (mask == 0) {
            return;
        }
        while (((mask >> shift) & 1) == 0) {
            ++shift;
        }
        max = mask >> shift;
    }
    uint32_t Of(uint32_t pixel) const {
        return max == 0 ? 0 : static_cast<uint32_t>(uint64_t{(pixel & mask) >> shift} * 255 / max);
    }
};

// Dark enough to print: below half of full luminance.
bool Dark(uint32_t red, uint32_t green, uint32_t blue) {
    return red * 299 + green * 587 + blue * 114 < 128 * 1000;
}

}  // namespace

bool RenderMonochrome(std::string_view file, const BitmapRenderRequest& request,
                      MonochromeBitmap* white) {
    if (file.size() < kFileHeader + kInfoHeader) {
        return false;
    }
    const uint32_t offBits = Le32(file, 10);
    const uint32_t headerSize = Le32(file, 14);
    const int32_t w0 = static_cast<int32_t>(Le32(file, 18));
    const int32_t rawHeight = static_cast<int32_t>(Le32(file, 22));
    const uint16_t bpp = Le16(file, 28);
    const uint32_t compression = Le32(file, 30);
    const int32_t xPerMetre = static_cast<int32_t>(Le32(file, 38));
    const int32_t yPerMetre = static_cast<int32_t>(Le32(file, 42));
    const uint32_t coloursUsed = Le32(file, 46);
    if (headerSize < kInfoHeader || headerSize > file.size() - kFileHeader || w0 <= 0 ||
        w0 > kMaxBitmapSide || rawHeight == 0 || rawHeight < -kMaxBitmapSide ||
        rawHeight > kMaxBitmapSide || offBits > file.size()) {
        return false;
    }
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) {
        return false;
    }
    if (compression != kBiRgb && !(compression == kBiBitfields && bpp == 32)) {
        return false;
    }
    const long h0 = rawHeight < 0 ? -static_cast<long>(rawHeight) : rawHeight;
    const bool bottomUp = rawHeight > 0;
    const std::size_t stride = ((static_cast<std::size_t>(w0) * bpp + 31) / 32) * 4;
    if (stride * static_cast<std::size_t>(h0) > file.size() - offBits) {
        return false;
    }

    // Colours: a palette for up to 8 bits, channel masks above.
    const std::size_t paletteStart = kFileHeader + headerSize;
    std::size_t paletteEntries = 0;
    if (bpp <= 8) {
        paletteEntries = coloursUsed != 0 ? coloursUsed : (std::size_t{1} << bpp);
        if (paletteEntries > 256 || paletteStart + paletteEntries * 4 > offBits) {
            return false;
        }
    }
    Channel red(0x00FF0000), green(0x0000FF00), blue(0x000000FF), alpha(0);
    if (compression == kBiBitfields) {
        // The masks follow a 40-byte header and sit inside the longer ones, at the same
        // place; the alpha mask exists only in headers of 56 bytes and more.
        const std::size_t masksEnd = kFileHeader + kInfoHeader + 12;
        if (masksEnd > file.size() || (headerSize == kInfoHeader && masksEnd > offBits)) {
            return false;
        }
        red = Channel(Le32(file, 54));
        green = Channel(Le32(file, 58));
        blue = Channel(Le32(file, 62));
        if (headerSize >= 56) {
            alpha = Channel(Le32(file, 66));
        }
        if (red.mask == 0 || green.mask == 0 || blue.mask == 0) {
            return false;
        }
    }

    // Which source pixels print, one byte per pixel of a row, filled row by row on demand.
    auto darkRow = [&](long y, std::vector<uint8_t>* dark) {
        const std::size_t row =
            offBits + stride * static_cast<std::size_t>(bottomUp ? h0 - 1 - y : y);
        for (long x = 0; x < w0; ++x) {
            uint32_t r = 0, g = 0, b = 0;
            if (bpp <= 8) {
                const std::size_t bit = static_cast<std::size_t>(x) * bpp;
                const unsigned byte = static_cast<unsigned char>(file[row + bit / 8]);
                const unsigned index = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                if (index >= paletteEntries) {
                    (*dark)[x] = 0;  // a colour the palette lacks stays white
                    continue;
                }
                const std::size_t entry = paletteStart + index * 4;
                b = static_cast<unsigned char>(file[entry]);
                g = static_cast<unsigned char>(file[entry + 1]);
                r = static_cast<unsigned char>(file[entry + 2]);
            } else if (bpp == 24) {
                const std::size_t at = row + static_cast<std::size_t>(x) * 3;
                b = static_cast<unsigned char>(file[at]);
                g = static_cast<unsigned char>(file[at + 1]);
                r = static_cast<unsigned char>(file[at + 2]);
            } else {
                const uint32_t pixel = Le32(file, row + static_cast<std::size_t>(x) * 4);
                r = red.Of(pixel);
                g = green.Of(pixel);
                b = blue.Of(pixel);
                if (alpha.mask != 0) {
                    // Transparent parts show the paper.
                    const uint32_t a = alpha.Of(pixel);
                    r = (r * a + 255 * (255 - a)) / 255;
                    g = (g * a + 255 * (255 - a)) / 255;
                    b = (b * a + 255 * (255 - a)) / 255;
                }
            }
            (*dark)[x] = Dark(r, g, b) ? 1 : 0;
        }
    };

    const long d = request.widthDots > 0 ? request.widthDots : w0;
    long width = d;
    long height = h0;
    if (request.mapResolution) {
        auto dpi = [](int32_t perMetre) {
            return perMetre == 0 ? 96.0 : perMetre * 0.0253968253968254;
        };
        const double xDpi = dpi(xPerMetre);
        const double yDpi = dpi(yPerMetre);
        if (xDpi <= 0.0 || yDpi <= 0.0) {
            return false;
        }
        const double w = d * request.printerDpi / xDpi;
        const double h = h0 * request.printerDpi / yDpi;
        if (w >= static_cast<double>(kMaxBitmapSide) + 1 ||
            h >= static_cast<double>(kMaxBitmapSide) + 1) {
            return false;
        }
        width = static_cast<long>(w);
        height = static_cast<long>(h);
    }
    if (d > kMaxBitmapSide || width <= 0 || height <= 0 || width > kMaxBitmapSide ||
        height > kMaxBitmapSide) {
        return false;
    }

    // The picture padded or cropped to d columns, then stretched to width x height by
    // taking the nearest source pixel (rows and columns are dropped or repeated).
    const std::size_t outStride = BitmapRowBytes(width);
    std::string rows;
    try {
        rows.assign(outStride * static_cast<std::size_t>(height), static_cast<char>(0xFF));
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::vector<long> sourceX(static_cast<std::size_t>(width));
    for (long x = 0; x < width; ++x) {
        sourceX[x] = static_cast<long>(static_cast<int64_t>(x) * d / width);
    }
    std::vector<uint8_t> dark(static_cast<std::size_t>(w0));
    long cachedRow = -1;
    for (long y = 0; y < height; ++y) {
        const long sy = static_cast<long>(static_cast<int64_t>(y) * h0 / height);
        char* out = rows.data() + static_cast<std::size_t>(y) * outStride;
        if (sy == cachedRow) {
            // A row stretched downwards repeats the one above: a small picture scaled up to
            // a few thousand rows would otherwise sample every dot of every copy again.
            std::memcpy(out, out - outStride, outStride);
            continue;
        }
        darkRow(sy, &dark);
        cachedRow = sy;
        for (long x = 0; x < width; ++x) {
            const long sx = sourceX[x];
            if (sx < w0 && dark[sx]) {
                out[x / 8] = static_cast<char>(out[x / 8] & ~(0x80 >> (x % 8)));
            }
        }
    }
    white->width = width;
    white->height = height;
    white->rows = std::move(rows);
    return true;
}

int BitmapAlignmentByte(long alignment) {
    switch (alignment) {
        case PTR_BM_CENTER:
            return 1;
        case PTR_BM_RIGHT:
            return 2;
        default:
            return 0;
    }
}

std::string RasterBitmapCommand(const MonochromeBitmap& black, int alignmentByte, int mode) {
    const std::size_t rowBytes = BitmapRowBytes(black.width);
    std::string out = {
        0x0A, 0x1B, 0x61, static_cast<char>(alignmentByte), 0x1B, 0x2A, 0x01, 0x00, 0x00,
        0x1D, 0x76, 0x30, static_cast<char>(mode & 0xFF)};
    PutLe16(&out, rowBytes);
    PutLe16(&out, static_cast<std::size_t>(black.height));
    out.append(black.rows, 0, rowBytes * static_cast<std::size_t>(black.height));
    if (alignmentByte != 0) {
        out += {0x1B, 0x61, 0x00};
    }
    return out;
}

std::string ToColumnFormat(const MonochromeBitmap& black) {
    const std::size_t k = BitmapRowBytes(black.height);
    const std::size_t columns = (static_cast<std::size_t>(black.width) + 7) / 8 * 8;
    const std::size_t rowBytes = BitmapRowBytes(black.width);
    std::string out(columns * k, '\0');
    for (long y = 0; y < black.height; ++y) {
        const char* row = black.rows.data() + static_cast<std::size_t>(y) * rowBytes;
        const char bit = static_cast<char>(0x80 >> (y % 8));
        for (long x = 0; x < black.width; ++x) {
            if (row[x / 8] & (0x80 >> (x % 8))) {
                out[static_cast<std::size_t>(x) * k + static_cast<std::size_t>(y / 8)] |= bit;
            }
        }
    }
    return out;
}

std::string NvBitmapEntry(const MonochromeBitmap& black, const std::string& columns) {
    std::string out;
    out.reserve(4 + columns.size());
    PutLe16(&out, (static_cast<std::size_t>(black.width) + 7) / 8);
    PutLe16(&out, BitmapRowBytes(black.height));
    out += columns;
    return out;
}

std::string NvDownloadCommand(const std::vector<StoredBitmap>& entries) {
    std::string out = {0x0A, 0x1C, 0x71, static_cast<char>(entries.size() & 0xFF)};
    for (const StoredBitmap& entry : entries) {
        out += entry.bytes;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// The printer's side

namespace {

// The largest file that can hold a picture within kMaxBitmapSide (32 bits a pixel) and
// its headers; larger files cannot be rendered and are not read.
constexpr std::streamoff kMaxBitmapFile =
    std::streamoff{kMaxBitmapSide} * kMaxBitmapSide * 4 + (1 << 20);

// What the printer's NV memory may hold, in bytes of column data.
constexpr std::size_t kNvCapacity = 2097152;

// After a download the printer writes its flash memory and neither prints nor answers,
// and nothing signals the end: the command reference only says that it is busy meanwhile.
// The service waits three seconds on USB whatever the size, elsewhere a millisecond for
// each byte of the download.
constexpr auto kUsbNvWriteTime = std::chrono::milliseconds(3000);

}  // namespace

bool CThermalPrinter::ReadBitmapFile(const std::string& fileName, std::string* file, LONG* error) {
    *error = OPOS_SUCCESS;
    file->clear();
    // Only a regular file can be a bitmap; opening a FIFO or a device could block or
    // never end.
    std::error_code ec;
    if (fileName.empty() || !std::filesystem::is_regular_file(fileName, ec)) {
        *error = OPOS_E_NOEXIST;
        return false;
    }
    std::ifstream in(fileName, std::ios::binary | std::ios::ate);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (size <= 0 || size >= (std::streamoff{1} << 32)) {
        *error = OPOS_E_NOEXIST;
        return false;
    }
    auto badFormat = [&] {
        file->clear();
        m_ResultCodeExtended = OPOS_EPTR_BADFORMAT;
        *error = OPOS_E_EXTENDED;
        return false;
    };
    // The type and size fields first: a file that is no bitmap is not read whole.
    in.seekg(0);
    char head[6] = {};
    in.read(head, sizeof head);
    if (in.gcount() != sizeof head || head[0] != 'B' || head[1] != 'M' ||
        Le32(std::string_view(head, sizeof head), 2) != static_cast<uint32_t>(size)) {
        return badFormat();
    }
    if (size > kMaxBitmapFile) {
        *error = OPOS_E_ILLEGAL;  // more than any picture the printer is sent
        return false;
    }
    in.seekg(0);
    try {
        file->resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        *error = OPOS_E_FAILURE;
        return false;
    }
    in.read(file->data(), size);
    if (in.gcount() != size) {
        return badFormat();
    }
    return true;
}

bool CThermalPrinter::RenderBitmap(const std::string& file, LONG* width, LONG* height,
                                   std::string* rows, LONG requestedWidth) {
    BitmapRenderRequest request;
    if (requestedWidth != PTR_BM_ASIS) {
        // A width that comes to no dots keeps the bitmap's own.
        request.widthDots = std::max<LONG>(0, ConvertUnits(m_MapMode, PTR_MM_DOTS, requestedWidth));
    }
    request.mapResolution = m_MapResolution == 1;
    request.printerDpi = m_Resolution;
    MonochromeBitmap white;
    if (!RenderMonochrome(file, request, &white)) {
        return false;
    }
    *rows = ExtractBitmapBits(white.rows);
    if (rows->size() != white.rows.size()) {
        return false;
    }
    *width = static_cast<LONG>(white.width);
    *height = static_cast<LONG>(white.height);
    return true;
}

LONG CThermalPrinter::LoadBitmap(const std::string& fileName, LONG width, MonochromeBitmap* black) {
    std::string file;
    LONG error = OPOS_SUCCESS;
    if (!ReadBitmapFile(fileName, &file, &error)) {
        return error != OPOS_SUCCESS ? error : OPOS_E_NOEXIST;
    }
    LONG w = 0, h = 0;
    if (!RenderBitmap(file, &w, &h, &black->rows, width)) {
        return OPOS_E_ILLEGAL;
    }
    black->width = w;
    black->height = h;
    return OPOS_SUCCESS;
}

LONG CThermalPrinter::PrintBitmap(LONG station, const std::string& fileName, LONG width,
                                  LONG alignment) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if ((station != PTR_S_RECEIPT && station != PTR_S_SLIP) || m_PageModeFlag != 0) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    MonochromeBitmap black;
    r = LoadBitmap(fileName, width, &black);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    const std::string bytes =
        RasterBitmapCommand(black, BitmapAlignmentByte(alignment), m_BitmapMode);
    return SetResult(SubmitOutput(station, bytes, false));
}

LONG CThermalPrinter::SetBitmap(LONG number, LONG station, const std::string& fileName, LONG width,
                                LONG alignment) {
    if (m_PageModeFlag != 0) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if ((station != PTR_S_RECEIPT && station != PTR_S_SLIP) || number < 1 || number > 20) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    MonochromeBitmap black;
    r = LoadBitmap(fileName, width, &black);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    auto existing = std::find_if(m_StoredBitmaps.begin(), m_StoredBitmaps.end(),
                                 [&](const StoredBitmap& b) { return b.number == number; });
    auto store = [&](std::string bytes) {
        if (existing != m_StoredBitmaps.end()) {
            existing->bytes = std::move(bytes);
        } else {
            m_StoredBitmaps.push_back(StoredBitmap{static_cast<int>(number), std::move(bytes)});
        }
    };

    if (m_UseNVRAM == 0) {
        // Kept as the bytes PrintBitmap would send; ESC|#B copies them into the print.
        store(RasterBitmapCommand(black, BitmapAlignmentByte(alignment), m_BitmapMode));
        return SetResult(OPOS_SUCCESS);
    }

    const std::string columns = ToColumnFormat(black);
    black.rows.clear();
    // The printer holds what the list holds: a replaced bitmap gives back its share.
    std::size_t total = NvBitmapTotal();
    if (existing != m_StoredBitmaps.end()) {
        total -= NvEntryDataBytes(*existing);
    }
    if (total + columns.size() > kNvCapacity) {
        m_ResultCodeExtended = OPOS_EPTR_TOOBIG;
        return SetResult(OPOS_E_EXTENDED);
    }
    store(NvBitmapEntry(black, columns));
    return SetResult(DownloadNvBitmaps(NvDownloadCommand(m_StoredBitmaps)));
}

std::size_t CThermalPrinter::NvBitmapTotal() const {
    if (m_UseNVRAM == 0) {
        return 0;
    }
    std::size_t total = 0;
    for (const StoredBitmap& entry : m_StoredBitmaps) {
        total += NvEntryDataBytes(entry);
    }
    return total;
}

LONG CThermalPrinter::DownloadNvBitmaps(std::string_view download) {
    thermpos::platform::MutexLock lock(DeviceLock());
    if (m_Binding.IsBad()) {
        return OPOS_E_ILLEGAL;
    }
    // The monitor's status requests and reads must not fall into the download, nor into
    // the time the printer spends writing it, when it answers nothing.
    CMonitorPause pause;
    LONG r = PauseMonitor(&pause);
    if (r != OPOS_SUCCESS) {
        return r;
    }
    // No time-outs: a large download over a slow line takes as long as it takes.
    (void)PortManager().SetPortTimeouts(m_Binding, 0, 0, 0, 0, 0);
    r = WritePort(download.data(), static_cast<LONG>(download.size()));
    if (r == OPOS_SUCCESS) {
        WaitForNvWrite(thermpos::platform::portname::KindOf(m_Port) ==
                               thermpos::platform::portname::PortKind::Usb
                           ? kUsbNvWriteTime
                           : std::chrono::milliseconds(download.size()));
    }
    (void)PortManager().SetPortTimeouts(m_Binding, m_ReadIntervalTimeout, m_ReadTotalMultiplier,
                                        m_ReadTotalConstant, m_WriteTotalMultiplier,
                                        m_WriteTotalConstant);
    return r;
}

void CThermalPrinter::WaitForNvWrite(std::chrono::milliseconds time) {
    std::this_thread::sleep_for(time);
}

}  // namespace thermpos::so
