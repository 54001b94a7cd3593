// CPOSPrinterDevice's properties: what each POSPrinter property index answers and accepts,
// as tables of one row per index, the values after OpenService, and the setters.
#include <algorithm>
#include <iterator>

#include "so/printer/POSPrinterDevice.h"

namespace thermpos::so {

using namespace ptr;

namespace {

template <LONG kValue>
LONG Constant(CPOSPrinterDevice&) {
    return kValue;
}

template <class Row, std::size_t N>
const Row* FindRow(const Row (&rows)[N], LONG index) {
    auto row = std::find_if(std::begin(rows), std::end(rows),
                            [index](const Row& r) { return r.index == index; });
    return row == std::end(rows) ? nullptr : row;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Tables

const CPOSPrinterDevice::NumberProperty* CPOSPrinterDevice::FindNumberProperty(LONG index) {
    using D = CPOSPrinterDevice;
    static const NumberProperty kRows[] = {
        {PIDXPtr_AsyncMode, [](D& d) { return d.m_AsyncMode.load(); }},
        {PIDXPtr_CharacterSet, [](D& d) { return d.m_CharacterSet; }},
        {PIDXPtr_CoverOpen, [](D& d) { return d.m_CoverOpen.load(); }},
        {PIDXPtr_ErrorStation, [](D& d) { return d.m_ErrorStation.load(); }},
        {PIDXPtr_FlagWhenIdle, [](D& d) { return d.m_FlagWhenIdle.load(); }},
        {PIDXPtr_JrnEmpty, [](D& d) { return d.m_JrnEmpty.load(); }},
        {PIDXPtr_JrnLineHeight, [](D& d) { return d.m_JrnLineHeight; }},
        {PIDXPtr_JrnLineSpacing, [](D& d) { return d.m_JrnLineSpacing; }},
        {PIDXPtr_JrnLineWidth, [](D& d) { return d.m_JrnLineWidth; }},
        {PIDXPtr_JrnNearEnd, [](D& d) { return d.m_JrnNearEnd.load(); }},
        {PIDXPtr_MapMode, [](D& d) { return d.m_MapMode; }},
        {PIDXPtr_RecEmpty, [](D& d) { return d.m_RecEmpty.load(); }},
        {PIDXPtr_RecLineChars, [](D& d) { return d.m_RecLineChars; }},
        {PIDXPtr_RecLineHeight, [](D& d) { return d.m_RecLineHeight; }},
        {PIDXPtr_RecLineSpacing, [](D& d) { return d.m_RecLineSpacing; }},
        {PIDXPtr_RecLinesToPaperCut, [](D& d) { return d.m_RecLinesToPaperCut; }},
        {PIDXPtr_RecLineWidth, [](D& d) { return d.m_RecLineWidth; }},
        {PIDXPtr_RecNearEnd, [](D& d) { return d.m_RecNearEnd.load(); }},
        {PIDXPtr_RecSidewaysMaxChars, [](D& d) { return d.m_RecSidewaysMaxChars; }},
        {PIDXPtr_RecSidewaysMaxLines, [](D& d) { return d.m_RecSidewaysMaxLines; }},
        {PIDXPtr_SlpEmpty, [](D& d) { return d.m_SlpEmpty.load(); }},
        {PIDXPtr_SlpLineHeight, [](D& d) { return d.m_SlpLineHeight; }},
        {PIDXPtr_SlpLineSpacing, [](D& d) { return d.m_SlpLineSpacing; }},
        {PIDXPtr_SlpLineWidth, [](D& d) { return d.m_SlpLineWidth; }},
        {PIDXPtr_ErrorLevel, [](D& d) { return d.m_ErrorLevel.load(); }},
        {PIDXPtr_RotateSpecial, [](D& d) { return d.m_RotateSpecial; }},
        {PIDXPtr_RecCartridgeState, [](D& d) { return d.m_RecCartridgeState; }},
        {PIDXPtr_SlpCartridgeState, [](D& d) { return d.m_SlpCartridgeState; }},
        {PIDXPtr_MapCharacterSet, [](D& d) { return d.m_MapCharacterSet; }},

        {PIDXPtr_CapCoverSensor, &Constant<1>},
        {PIDXPtr_CapRecBarCode, &Constant<1>},
        {PIDXPtr_CapRecBitmap, &Constant<1>},
        {PIDXPtr_CapRecBold, &Constant<1>},
        {PIDXPtr_CapRecDhigh, &Constant<1>},
        {PIDXPtr_CapRecDwide, &Constant<1>},
        {PIDXPtr_CapRecDwideDhigh, &Constant<1>},
        {PIDXPtr_CapRecLeft90, &Constant<1>},
        {PIDXPtr_CapRecPapercut, &Constant<1>},
        {PIDXPtr_CapRecPresent, &Constant<1>},
        {PIDXPtr_CapRecRight90, &Constant<1>},
        {PIDXPtr_CapRecRotate180, &Constant<1>},
        {PIDXPtr_CapRecUnderline, &Constant<1>},
        {PIDXPtr_CapTransaction, &Constant<1>},
        {PIDXPtr_CapRec2Color, [](D& d) { return d.m_CapRec2Color; }},
        {PIDXPtr_CapRecEmptySensor, [](D& d) { return LONG{d.m_PaperSensor == 0 ? 1 : 0}; }},
        {PIDXPtr_CapRecNearEndSensor, [](D& d) { return d.m_PaperSensor; }},
        {PIDXPtr_CapCharacterSet, &Constant<PTR_CCS_KANJI>},
        {PIDXPtr_CapRecColor, [](D& d) { return d.m_CapRecColor; }},
        {PIDXPtr_CapRecMarkFeed, &Constant<PTR_MF_TO_CUTTER>},
        {PIDXPtr_CapMapCharacterSet, [](D& d) { return d.m_CapMapCharacterSet; }},
    };
    return FindRow(kRows, index);
}

const CPOSPrinterDevice::StringProperty* CPOSPrinterDevice::FindStringProperty(LONG index) {
    using D = CPOSPrinterDevice;
    static const StringProperty kRows[] = {
        {PIDXPtr_CharacterSetList, [](D& d) { return d.m_CharacterSetList; }},
        {PIDXPtr_RecLineCharsList, [](D& d) { return d.m_RecLineCharsList; }},
        {PIDXPtr_ErrorString,
         [](D& d) {
             thermpos::platform::MutexLock lock(d.m_ErrorStringLock);
             return d.m_ErrorString;
         }},
        {PIDXPtr_FontTypefaceList, [](D& d) { return d.m_FontTypefaceList; }},
        {PIDXPtr_RecBarCodeRotationList, [](D& d) { return d.m_RecBarCodeRotationList; }},
        {PIDXPtr_RecBitmapRotationList, [](D& d) { return d.m_RecBitmapRotationList; }},
        {PIDXPtr_JrnLineCharsList, [](D&) { return std::string(); }},
        {PIDXPtr_SlpLineCharsList, [](D&) { return std::string(); }},
        {PIDXPtr_SlpBarCodeRotationList, [](D&) { return std::string(); }},
        {PIDXPtr_SlpBitmapRotationList, [](D&) { return std::string(); }},
    };
    return FindRow(kRows, index);
}

const CPOSPrinterDevice::SettableProperty* CPOSPrinterDevice::FindSettableProperty(LONG index) {
    using D = CPOSPrinterDevice;
    // Refused properties are listed too: they answer the state test before refusing.
    static const SettableProperty kRows[] = {
        {PIDXPtr_AsyncMode, 1, &D::SetAsyncMode},
        {PIDXPtr_CartridgeNotify, 1, &D::SetCartridgeNotify},
        {PIDXPtr_CharacterSet, 3, &D::SetCharacterSet},
        {PIDXPtr_FlagWhenIdle, 1, &D::SetFlagWhenIdle},
        {PIDXPtr_JrnLetterQuality, 3, &D::SetJrnLetterQuality},
        {PIDXPtr_JrnLineChars, 3, &D::SetJrnLineChars},
        {PIDXPtr_JrnLineHeight, 3, &D::SetJrnLineHeight},
        {PIDXPtr_JrnLineSpacing, 3, &D::SetJrnLineSpacing},
        {PIDXPtr_JrnCurrentCartridge, 3, &D::SetJrnCurrentCartridge},
        {PIDXPtr_MapMode, 1, &D::SetMapMode},
        {PIDXPtr_MapCharacterSet, 1, &D::SetMapCharacterSet},
        {PIDXPtr_RecLetterQuality, 3, &D::SetRecLetterQuality},
        {PIDXPtr_RecLineChars, 3, &D::SetRecLineChars},
        {PIDXPtr_RecLineHeight, 3, &D::SetRecLineHeight},
        {PIDXPtr_RecLineSpacing, 3, &D::SetRecLineSpacing},
        {PIDXPtr_RecCurrentCartridge, 3, &D::SetRecCurrentCartridge},
        {PIDXPtr_RotateSpecial, 1, &D::SetRotateSpecial},
        {PIDXPtr_SlpLetterQuality, 3, &D::SetSlpLetterQuality},
        {PIDXPtr_SlpLineChars, 3, &D::SetSlpLineChars},
        {PIDXPtr_SlpLineHeight, 3, &D::SetSlpLineHeight},
        {PIDXPtr_SlpLineSpacing, 3, &D::SetSlpLineSpacing},
        {PIDXPtr_SlpCurrentCartridge, 3, &D::SetSlpCurrentCartridge},
    };
    return FindRow(kRows, index);
}

// ---------------------------------------------------------------------------------------
// Get and set

LONG CPOSPrinterDevice::GetPropertyNumber(LONG index) {
    if (const NumberProperty* row = FindNumberProperty(index)) {
        return row->get(*this);
    }
    // The journal and slip fields, cartridges, print side and the capabilities of stations
    // this printer lacks are never set.
    if ((index >= PIDXPtr_AsyncMode && index <= PIDXPtr_MapCharacterSet) ||
        (index >= PIDXPtr_CapConcurrentJrnRec && index <= PIDXPtr_CapMapCharacterSet)) {
        return 0;
    }
    return CServiceDevice::GetPropertyNumber(index);
}

std::string CPOSPrinterDevice::GetPropertyString(LONG index) {
    if (const StringProperty* row = FindStringProperty(index)) {
        return row->get(*this);
    }
    return CServiceDevice::GetPropertyString(index);
}

void CPOSPrinterDevice::SetPropertyNumber(LONG index, LONG value) {
    const SettableProperty* row = FindSettableProperty(index);
    if (row == nullptr) {
        CServiceDevice::SetPropertyNumber(index, value);
        return;
    }
    LONG r = CheckState(row->level);
    if (r != OPOS_SUCCESS) {
        SetResult(r);
        return;
    }
    (this->*row->set)(value);
}

void CPOSPrinterDevice::SetErrorString(const std::string& text) {
    thermpos::platform::MutexLock lock(m_ErrorStringLock);
    m_ErrorString = text;
}

// ---------------------------------------------------------------------------------------
// Values after OpenService

void CPOSPrinterDevice::ResetPrinterProperties() {
    m_AsyncMode = 0;
    m_CharacterSet = 0;
    m_CoverOpen = 0;
    m_ErrorStation = 0;
    m_FlagWhenIdle = 0;
    m_JrnEmpty = 0;
    m_JrnLineWidth = m_JrnLineHeight = m_JrnLineSpacing = 0;
    m_JrnNearEnd = 0;
    m_MapMode = PTR_MM_DOTS;
    m_RecEmpty = 0;
    m_RecLineChars = 48;
    m_RecLineHeight = 24;
    m_RecLineSpacing = 34;
    m_RecLinesToPaperCut = 3;
    m_RecLineWidth = 576;
    m_RecNearEnd = 0;
    m_RecSidewaysMaxChars = 76;
    m_RecSidewaysMaxLines = 17;
    m_SlpEmpty = 0;
    m_SlpLineHeight = m_SlpLineSpacing = m_SlpLineWidth = 0;
    m_ErrorLevel = PTR_EL_NONE;
    m_RotateSpecial = PTR_RP_NORMAL;
    m_RecCartridgeState = PTR_CART_UNKNOWN;
    m_SlpCartridgeState = PTR_CART_UNKNOWN;
    m_MapCharacterSet = 1;
    m_CharacterSetList.clear();
    m_RecLineCharsList.clear();
    m_FontTypefaceList.clear();
    m_RecBarCodeRotationList = std::string("0,180");
    m_RecBitmapRotationList = std::string("0");
    SetErrorString("");
    m_SidewaysMode = 0;
}

// ---------------------------------------------------------------------------------------
// Setters

void CPOSPrinterDevice::SetAsyncMode(LONG value) {
    m_AsyncMode = value != 0 ? 1 : 0;
    SetResult(OPOS_SUCCESS);
}

void CPOSPrinterDevice::SetCartridgeNotify(LONG) {
    SetResult(OPOS_E_NOSERVICE);
}

void CPOSPrinterDevice::SetCharacterSet(LONG) {
    SetResult(OPOS_E_NOSERVICE);
}

void CPOSPrinterDevice::SetFlagWhenIdle(LONG value) {
    m_FlagWhenIdle = value != 0 ? 1 : 0;
    SetResult(OPOS_SUCCESS);
}

void CPOSPrinterDevice::SetJrnLetterQuality(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetJrnLineChars(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetJrnLineHeight(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetJrnLineSpacing(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetJrnCurrentCartridge(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}

void CPOSPrinterDevice::SetMapMode(LONG value) {
    if (value < PTR_MM_DOTS || value > PTR_MM_METRIC) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    if (value != m_MapMode) {
        for (LONG* length : {&m_RecLineWidth, &m_RecLineHeight, &m_RecLineSpacing, &m_JrnLineWidth,
                             &m_JrnLineHeight, &m_JrnLineSpacing, &m_SlpLineWidth, &m_SlpLineHeight,
                             &m_SlpLineSpacing}) {
            LONG converted = ConvertUnits(m_MapMode, value, *length);
            if (converted != 0) {
                *length = converted;
            }
        }
    }
    m_MapMode = value;
    SetResult(OPOS_SUCCESS);
}

void CPOSPrinterDevice::SetMapCharacterSet(LONG value) {
    if (m_CapMapCharacterSet != 1) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    m_MapCharacterSet = value != 0 ? 1 : 0;
    SetResult(OPOS_SUCCESS);
}

void CPOSPrinterDevice::SetRecLetterQuality(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetRecLineChars(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetRecLineHeight(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetRecLineSpacing(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetRecCurrentCartridge(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}

void CPOSPrinterDevice::SetRotateSpecial(LONG value) {
    if (value != PTR_RP_NORMAL && value != PTR_RP_ROTATE180) {
        SetResult(OPOS_E_ILLEGAL);
        return;
    }
    m_RotateSpecial = value;
    SetResult(OPOS_SUCCESS);
}

void CPOSPrinterDevice::SetSlpLetterQuality(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetSlpLineChars(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetSlpLineHeight(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetSlpLineSpacing(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}
void CPOSPrinterDevice::SetSlpCurrentCartridge(LONG) {
    SetResult(OPOS_E_ILLEGAL);
}

}  // namespace thermpos::so
