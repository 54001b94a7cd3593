#include "so/printer/ThermalPrinter.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "so/core/DeviceConfig.h"
#include "so/core/StatusInterpreter.h"

using namespace thermpos::ptr;

namespace {

// The printer needs a moment to answer the status request with its first block. Tests
// whose printer is a thread of a slow (sanitizer) build lengthen it with
// THERMPOS_PROBE_WAIT_MS; it is never shortened, and never beyond ten seconds.
std::chrono::milliseconds ProbeReplyWait() {
    constexpr unsigned long kDefaultMs = 100;
    constexpr unsigned long kLongestMs = 10000;
    const char* text = std::getenv("THERMPOS_PROBE_WAIT_MS");
    if (text == nullptr || *text < '0' || *text > '9') {
        return std::chrono::milliseconds(kDefaultMs);
    }
    char* end = nullptr;
    const unsigned long ms = std::strtoul(text, &end, 10);
    if (*end != '\0') {
        return std::chrono::milliseconds(kDefaultMs);
    }
    return std::chrono::milliseconds(std::clamp(ms, kDefaultMs, kLongestMs));
}

// Largest bitmap rendered, in dots; far beyond any receipt, small enough to allocate.
constexpr LONG kMaxBitmapSide = 16384;

uint32_t Le32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

uint16_t Le16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 static_cast<unsigned char>(s[at + 1]) << 8);
}

}  // namespace

CThermalPrinter::CThermalPrinter(const ModelProfile& profile) : profile_(profile) {
    m_PhysicalDeviceID = profile.physicalDeviceId;
    m_FontCount = profile.fontCount;
}

void CThermalPrinter::CloseBeforeDestruction() {
    if (State() != OPOS_S_CLOSED) {
        Close();
    }
}

// ---------------------------------------------------------------------------------------
// Configuration and life cycle

void CThermalPrinter::ReadConfiguration(const std::string& deviceClass,
                                        const std::string& deviceName) {
    // A PhysicalDeviceID removed from the registry falls back to the model key.
    m_PhysicalDeviceID = profile_.physicalDeviceId;
    CServiceDevice::ReadConfiguration(deviceClass, deviceName);

    m_PageModeFlag = 0;
    m_PrinterLanguageModel = 0;
    m_PaperSensor = 0;
    m_BitmapMode = 0;
    m_UseNVRAM = 1;
    m_MapResolution = 0;
    m_PaperWidth = 0;
    m_ColumnSetting = 0;

    auto number = [&](const char* name) {
        return ReadDeviceNumber(name, deviceClass, deviceName, 0);
    };
    auto text = [&](const char* name) { return ReadDeviceValue(name, deviceClass, deviceName); };

    m_BitmapMode = number("BitmapMode");
    m_PrinterLanguageModel = number("PrinterLanguageModel");
    m_PaperSensor = number("PaperSensor");
    m_PageModeFlag = number("PrinterMode");
    if (auto v = text("MapResolution")) {
        m_MapResolution = *v == "001" ? 1 : 0;
    }
    if (auto v = text("UseNVRAM")) {
        m_UseNVRAM = *v == "001" ? 1 : 0;
    }
    if (auto v = text("PaperModel")) {
        m_PaperWidth = *v == "000"   ? 58
                       : *v == "001" ? 60
                       : *v == "002" ? 80
                       : *v == "003" ? 83
                                     : 0;
    }
    if (auto v = text("Column")) {
        m_ColumnSetting = profile_.columnSetting(*v == "000", m_PaperWidth);
    }
}

LONG CThermalPrinter::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                  IDispatch* dispatch) {
    LONG r = CPOSPrinterDevice::OpenService(deviceClass, deviceName, dispatch);
    if (r != OPOS_SUCCESS) {
        return r;
    }
    // The model step.
    m_CapRec2Color = 1;
    m_CapRecColor = 2;
    m_CharacterSetList = profile_.characterSetList;
    m_FontTypefaceList = profile_.fontTypefaceList;
    LineLayout layout = profile_.openLayout(m_PaperWidth, m_ColumnSetting);
    m_RecSidewaysMaxLines = layout.sidewaysMaxLines;
    m_RecLineCharsList = layout.recLineCharsList;
    m_ColumnSetting = layout.columnSetting;
    m_RecLineChars = m_ColumnSetting;
    m_RecLineWidth = m_ColumnSetting * profile_.cells[0].width;
    m_FontCount = profile_.fontCount;
    m_Formatting = thermpos::FormattingState();
    return SetResult(OPOS_SUCCESS);
}

LONG CThermalPrinter::Close() {
    LONG r = CPOSPrinterDevice::Close();
    if (r == OPOS_SUCCESS && m_UseNVRAM == 0) {
        m_StoredBitmaps.clear();
    }
    return r;
}

LONG CThermalPrinter::Claim(LONG timeout) {
    LONG r = CServiceDevice::Claim(timeout);
    if (r != OPOS_SUCCESS) {
        return r;
    }
    {
        auto lock = DeviceLock();
        r = PortManager().AcquirePort(m_Port, m_SharingKind, &m_Binding, m_PhysicalDeviceID);
        if (r == OPOS_SUCCESS) {
            r = ConfigurePort();
            if (r == OPOS_SUCCESS) {
                r = SuspendMonitor();
                if (r == OPOS_SUCCESS) {
                    static const char kStatusBack[] = {0x1D, 0x61, 0x0F};
                    r = WritePort(kStatusBack, sizeof kStatusBack);
                    if (r == OPOS_SUCCESS) {
                        std::this_thread::sleep_for(ProbeReplyWait());
                        char reply[64];
                        LONG length = sizeof reply;
                        r = ReadPort(reply, &length);
                        if (r == OPOS_SUCCESS && length == 0) {
                            r = OPOS_E_NOHARDWARE;
                        }
                    }
                    ResumeMonitor();
                }
            }
            LONG released = PortManager().ReleasePort(&m_Binding);
            m_Binding = PortBinding();
            if (r == OPOS_SUCCESS) {
                r = released;
            }
        }
    }
    if (r != OPOS_SUCCESS) {
        // A printer that cannot be reached is not claimed.
        CServiceDevice::Release();
        return SetResult(r);
    }
    return SetResult(OPOS_SUCCESS);
}

LONG CThermalPrinter::SetDeviceEnabled(LONG enable) {
    LONG r = CServiceDevice::SetDeviceEnabled(enable);
    if (r != OPOS_SUCCESS) {
        return r;
    }
    if (enable == 0) {
        // The port, the listener and the interpreter went with the step above.
        return r;
    }
    // The status interpreter of this enable starts from "cover closed, paper present" and
    // reports any other state it finds, so what was last reported before the device was
    // disabled no longer holds (updates are discarded while disabled).
    m_CoverOpen = 0;
    m_RecEmpty = 0;
    m_RecNearEnd = 0;

    std::string init = {0x1B, 0x40};
    if (m_PageModeFlag != 0) {
        init += {0x1B, 0x4C, 0x1B, 0x54, 0x00};
    }
    init += {0x1B, 0x52, static_cast<char>(m_PrinterLanguageModel & 0xFF)};
    init += {0x1B, 0x63, 0x33, static_cast<char>(m_PaperSensor == 1 ? 12 : 3)};
    r = SubmitOutput(PTR_S_RECEIPT, init, false);
    if (r != OPOS_SUCCESS) {
        const LONG extended = m_ResultCodeExtended.load();
        CServiceDevice::SetDeviceEnabled(0);
        m_ResultCodeExtended = extended;
        return SetResult(r);
    }
    m_CharacterSet = 437;
    m_Formatting.ClearForEnable();

    r = StartStatusMonitor(std::make_unique<CPrinterStatusInterpreter>(this));
    if (r != OPOS_SUCCESS) {
        CServiceDevice::SetDeviceEnabled(0);
        return SetResult(r);
    }
    WakeOutputThreadIfQueued();
    return SetResult(OPOS_SUCCESS);
}

LONG CThermalPrinter::CheckHealthExternal() {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return r;
    }
    static const char kSelfTest[] = {0x1D, 0x28, 0x41, 0x02, 0x00, 0x00, 0x02};
    r = SubmitOutput(PTR_S_RECEIPT, std::string_view(kSelfTest, sizeof kSelfTest), false);
    m_CheckHealthText =
        r == OPOS_SUCCESS ? "External HCheck: Successful" : "External HCheck: Not Responding";
    return r;
}

// ---------------------------------------------------------------------------------------
// Setters that send bytes

int CThermalPrinter::CodeTableFor(LONG characterSet) {
    switch (characterSet) {
        case 437:
        case 998:
        case 999:
            return 0;
        case 1:
            return 1;
        case 850:
            return 2;
        case 860:
            return 3;
        case 863:
            return 4;
        case 865:
            return 5;
        case 852:
            return 6;
        case 866:
            return 7;
        case 857:
            return 8;
        case 1252:
            return 9;
        case 255:
            return 255;
        default:
            return -1;
    }
}

void CThermalPrinter::SelectCodeTable(LONG characterSet, int table) {
    const char bytes[] = {0x1B, 0x74, static_cast<char>(table)};
    LONG r = SubmitOutput(PTR_S_RECEIPT, std::string_view(bytes, sizeof bytes), false);
    if (r == OPOS_SUCCESS) {
        m_CharacterSet = characterSet;
    }
    SetResult(r);
}

void CThermalPrinter::SetCharacterSet(LONG value) {
    const int table = CodeTableFor(value);
    if (table < 0) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    SelectCodeTable(value, table);
}

FontCell CThermalPrinter::CurrentCell() const {
    int font = m_Formatting.font;
    if (font < 0 || font >= profile_.fontCount) {
        font = 0;
    }
    return profile_.cells[font];
}

void CThermalPrinter::SetRecLineChars(LONG value) {
    // The list holds the characters per line of each font, narrowest font last.
    LONG limits[3] = {0, 0, 0};
    int count = 0;
    const char* p = m_RecLineCharsList.c_str();
    while (*p != '\0' && count < profile_.fontCount) {
        char* end = nullptr;
        long n = std::strtol(p, &end, 10);
        if (end == p) {
            break;
        }
        limits[count++] = static_cast<LONG>(n);
        p = *end == ',' ? end + 1 : end;
    }
    int font = -1;
    LONG lower = 0;
    for (int i = 0; i < count; ++i) {
        if (value > lower && value <= limits[i]) {
            font = i;
            break;
        }
        lower = limits[i];
    }
    if (font < 0) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    const char bytes[] = {0x1B, 0x4D, static_cast<char>(font)};
    LONG r = SubmitOutput(PTR_S_RECEIPT, std::string_view(bytes, sizeof bytes), false);
    if (r == OPOS_SUCCESS) {
        const FontCell cell = profile_.cells[font];
        m_RecLineWidth = ConvertUnits(PTR_MM_DOTS, m_MapMode, value * cell.width);
        m_RecLineChars = value;
        m_RecLineHeight = ConvertUnits(PTR_MM_DOTS, m_MapMode, cell.height);
        m_Formatting.font = font;
    }
    SetResult(r);
}

// The line height follows the font; only the current font's own height is accepted.
void CThermalPrinter::SetRecLineHeight(LONG value) {
    if (value != CurrentCell().height) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    m_RecLineHeight = value;
    SetResult(OPOS_SUCCESS);
}

void CThermalPrinter::SetRecLineSpacing(LONG value) {
    if (value <= 0) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    const LONG dots = ConvertUnits(m_MapMode, PTR_MM_DOTS, value);
    const char bytes[] = {0x1B, 0x33, static_cast<char>(dots & 0xFF)};
    LONG r = SubmitOutput(PTR_S_RECEIPT, std::string_view(bytes, sizeof bytes), false);
    if (r == OPOS_SUCCESS) {
        m_RecLineSpacing = value;
    }
    SetResult(r);
}

// ---------------------------------------------------------------------------------------
// Translation

LONG CThermalPrinter::TranslateCommand(LONG code, LONG number, std::string* out, bool validate) {
    return thermpos::ModelTranslateCommand(profile_.model, CommandSettings(), &m_Formatting, code,
                                           number, out, validate);
}

LONG CThermalPrinter::PrintDataSuffix(std::string* out) {
    return TranslateCommand(thermpos::CMD_NORMAL, 0, out, false);
}

LONG CThermalPrinter::NormalizeLineEnds(std::string* text) {
    return thermpos::NormalizeLineEnds(text);
}

// ---------------------------------------------------------------------------------------
// Bitmap files

bool CThermalPrinter::ReadBitmapFile(const std::string& fileName, std::string* file, LONG* error) {
    *error = OPOS_SUCCESS;
    file->clear();
    std::ifstream in(fileName, std::ios::binary | std::ios::ate);
    if (!in) {
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size <= 0 || size >= (std::streamoff{1} << 32)) {
        return false;
    }
    in.seekg(0);
    try {
        file->resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    in.read(file->data(), size);
    const bool complete = in.gcount() == size;
    if (!complete || file->size() < 6 || (*file)[0] != 'B' || (*file)[1] != 'M' ||
        Le32(*file, 2) != static_cast<uint32_t>(size)) {
        file->clear();
        m_ResultCodeExtended = OPOS_EPTR_BADFORMAT;
        *error = OPOS_E_EXTENDED;
        return false;
    }
    return true;
}

bool CThermalPrinter::RenderBitmap(const std::string& file, LONG* width, LONG* height,
                                   std::string* rows, LONG requestedWidth) {
    // File header (14 bytes) and an information header of at least 40 bytes.
    if (file.size() < 54) {
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
    if (headerSize < 40 || headerSize > file.size() || w0 <= 0 || w0 > kMaxBitmapSide ||
        rawHeight == 0 || rawHeight < -kMaxBitmapSide || rawHeight > kMaxBitmapSide) {
        return false;
    }
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) {
        return false;
    }
    if (compression != 0 && !(compression == 3 && bpp == 32)) {
        return false;
    }
    const LONG h0 = rawHeight < 0 ? -rawHeight : rawHeight;
    const bool bottomUp = rawHeight > 0;
    const size_t stride = ((static_cast<size_t>(w0) * bpp + 31) / 32) * 4;
    if (offBits > file.size() || stride * h0 > file.size() - offBits) {
        return false;
    }
    size_t paletteEntries = 0;
    if (bpp <= 8) {
        paletteEntries = coloursUsed != 0 ? coloursUsed : (1u << bpp);
        const size_t paletteStart = 14 + headerSize;
        if (paletteEntries > 256 || paletteStart + paletteEntries * 4 > offBits) {
            return false;
        }
    }
    auto isBlack = [&](LONG x, LONG y) {
        const size_t row = offBits + stride * static_cast<size_t>(bottomUp ? h0 - 1 - y : y);
        uint32_t blue = 0, green = 0, red = 0;
        if (bpp <= 8) {
            const size_t bit = static_cast<size_t>(x) * bpp;
            const unsigned byte = static_cast<unsigned char>(file[row + bit / 8]);
            const unsigned index = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
            if (index >= paletteEntries) {
                return false;
            }
            const size_t entry = 14 + headerSize + index * 4;
            blue = static_cast<unsigned char>(file[entry]);
            green = static_cast<unsigned char>(file[entry + 1]);
            red = static_cast<unsigned char>(file[entry + 2]);
        } else {
            const size_t at = row + static_cast<size_t>(x) * (bpp / 8);
            blue = static_cast<unsigned char>(file[at]);
            green = static_cast<unsigned char>(file[at + 1]);
            red = static_cast<unsigned char>(file[at + 2]);
        }
        return red * 299 + green * 587 + blue * 114 < 128 * 1000;
    };

    LONG d = w0;
    if (requestedWidth != PTR_BM_ASIS) {
        d = ConvertUnits(m_MapMode, PTR_MM_DOTS, requestedWidth);
        if (d <= 0) {
            d = w0;
        }
    }
    LONG targetWidth = d;
    LONG targetHeight = h0;
    if (m_MapResolution == 1) {
        auto dpi = [](int32_t perMetre) {
            return perMetre == 0 ? 96.0 : perMetre * 0.0253968253968254;
        };
        const double xDpi = dpi(xPerMetre);
        const double yDpi = dpi(yPerMetre);
        if (xDpi <= 0.0 || yDpi <= 0.0) {
            return false;
        }
        targetWidth = static_cast<LONG>(d * m_Resolution / xDpi);
        targetHeight = static_cast<LONG>(h0 * m_Resolution / yDpi);
    }
    if (targetWidth <= 0 || targetHeight <= 0 || targetWidth > kMaxBitmapSide ||
        targetHeight > kMaxBitmapSide || d > kMaxBitmapSide) {
        return false;
    }

    // Rows of the device bitmap, set bits white as a screen would keep them; padding and
    // the area beyond the picture are white too.
    const size_t outStride = ((static_cast<size_t>(targetWidth) + 31) / 32) * 4;
    std::string white(outStride * targetHeight, static_cast<char>(0xFF));
    for (LONG y = 0; y < targetHeight; ++y) {
        const LONG sy = static_cast<LONG>(static_cast<int64_t>(y) * h0 / targetHeight);
        for (LONG x = 0; x < targetWidth; ++x) {
            const LONG sx = static_cast<LONG>(static_cast<int64_t>(x) * d / targetWidth);
            if (sx < w0 && isBlack(sx, sy)) {
                white[y * outStride + x / 8] &= static_cast<char>(~(0x80 >> (x % 8)));
            }
        }
    }
    *rows = ExtractBitmapBits(white);
    // Padding bits beyond the width must not print.
    const LONG tailBits = targetWidth % 8;
    for (LONG y = 0; y < targetHeight; ++y) {
        char* row = rows->data() + y * outStride;
        if (tailBits != 0) {
            row[targetWidth / 8] &= static_cast<char>(0xFF << (8 - tailBits));
        }
        for (size_t i = (targetWidth + 7) / 8; i < outStride; ++i) {
            row[i] = 0;
        }
    }
    *width = targetWidth;
    *height = targetHeight;
    return true;
}
