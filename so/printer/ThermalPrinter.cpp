#include "so/printer/ThermalPrinter.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

#include "so/core/DeviceConfig.h"
#include "so/core/StatusInterpreter.h"
#include "so/printer/PrintText.h"

namespace thermpos::so {

using namespace ptr;

CThermalPrinter::CThermalPrinter(const ModelProfile& profile) : profile_(profile) {
    m_PhysicalDeviceID = profile.modelKey;
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
    m_PhysicalDeviceID = profile_.modelKey;
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
    m_Formatting = FormattingState();
    // Bitmaps kept from an earlier open in NV mode are printer images, not print data: in
    // memory mode ESC|#B would copy them into the print as commands.
    if (m_UseNVRAM == 0) {
        m_StoredBitmaps.clear();
    }
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
        thermpos::platform::MutexLock lock(DeviceLock());
        r = PortManager().AcquirePort(m_Port, m_SharingKind, &m_Binding, m_PhysicalDeviceID);
        if (r == OPOS_SUCCESS) {
            r = ConfigurePort();
            if (r == OPOS_SUCCESS) {
                r = ProbeStatusReplyLocked();
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
    LONG r = CPOSPrinterDevice::SetDeviceEnabled(enable);
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
    // PaperSensor 1 is shown as the near-end sensor by the setup utility and reported as
    // CapRecNearEndSensor, yet selects 0C here, the roll-end sensor bits. The byte only
    // drives the paper-end line of a parallel port, and stored registries and the utility
    // rely on this encoding, so it stays.
    init += {0x1B, 0x63, 0x33, static_cast<char>(m_PaperSensor == 1 ? 12 : 3)};
    // Immediate: the initialisation is not print data, so an open transaction must not
    // hold it and AsyncMode must not give it an OutputID and a completion event.
    r = SubmitOutput(PTR_S_RECEIPT, init, true);
    if (r != OPOS_SUCCESS) {
        const LONG extended = m_ResultCodeExtended.load();
        CPOSPrinterDevice::SetDeviceEnabled(0);
        m_ResultCodeExtended = extended;
        return SetResult(r);
    }
    m_CharacterSet = 437;
    m_Formatting.ClearForEnable();

    const MonitorProfile monitorProfile = StatusMonitorProfile(m_PhysicalDeviceID);
    r = StartStatusMonitor(std::make_unique<CPrinterStatusInterpreter>(this), &monitorProfile);
    if (r != OPOS_SUCCESS) {
        CPOSPrinterDevice::SetDeviceEnabled(0);
        return SetResult(r);
    }
    WakeOutputThreadIfQueued();
    return SetResult(OPOS_SUCCESS);
}

MonitorProfile CThermalPrinter::StatusMonitorProfile(const std::string& modelKey) {
    const ModelProfile* model = FindModelByKey(modelKey);
    return model != nullptr ? model->monitor : MonitorProfile();
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
    return ModelTranslateCommand(profile_.commands, CommandSettings(), &m_Formatting, code, number,
                                 out, validate);
}

LONG CThermalPrinter::PrintDataSuffix(std::string* out) {
    return TranslateCommand(CMD_NORMAL, 0, out, false);
}

LONG CThermalPrinter::NormalizeLineEnds(std::string* text) {
    return so::NormalizeLineEnds(text);
}

}  // namespace thermpos::so
