// CPOSPrinterDevice. Threads and lock order: see POSPrinterDevice.h. The output thread is
// the only thread this file starts; it touches the output queue (under outputQueueLock_),
// the transaction buffers (under transactionLock_, when an error is answered with clear),
// State, the error properties, and the port through SendToPrinter (under the device lock).
#include "so/printer/POSPrinterDevice.h"

#include <algorithm>
#include <new>
#include <system_error>

using thermpos::ManualResetEvent;
using thermpos::WaitForEvents;
using namespace thermpos::ptr;

namespace {

bool IsExtendedPrinterCode(LONG r) {
    return r >= OPOS_EPTR_COVER_OPEN && r <= OPOS_EPTR_SLP_HEAD_CLEANING;
}

// Sets State unless the device was closed meanwhile: the output thread must never
// reopen a closed device by writing its state.
void SetStateUnlessClosed(std::atomic<LONG>& state, LONG value) {
    LONG current = state.load();
    while (current != OPOS_S_CLOSED && !state.compare_exchange_weak(current, value)) {
    }
}

}  // namespace

CPOSPrinterDevice::CPOSPrinterDevice() = default;

CPOSPrinterDevice::~CPOSPrinterDevice() {
    if (m_State.load() != OPOS_S_CLOSED) {
        CPOSPrinterDevice::Close();
    }
    StopOutputThread();
}

// ---------------------------------------------------------------------------------------
// Life cycle

LONG CPOSPrinterDevice::OpenService(const std::string& deviceClass, const std::string& deviceName,
                                    IDispatch* dispatch) {
    LONG r = CServiceDevice::OpenService(deviceClass, deviceName, dispatch);
    if (r != OPOS_SUCCESS) {
        return r;
    }
    ResetPrinterProperties();
    m_ErrorResponse = OPOS_ER_RETRY;
    try {
        StartOutputThread();
    } catch (const std::system_error&) {
        CServiceDevice::Close();
        return SetResult(OPOS_E_FAILURE);
    }
    return SetResult(OPOS_SUCCESS);
}

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

LONG CPOSPrinterDevice::Close() {
    LONG r = CServiceDevice::Close();
    if (r != OPOS_SUCCESS) {
        return r;
    }
    StopOutputThread();
    {
        std::lock_guard<std::mutex> queueLock(outputQueueLock_);
        // Requests still queued at Close are freed, never written.
        outputQueue_.clear();
    }
    m_TopLogo.clear();
    m_BottomLogo.clear();
    return r;
}

void CPOSPrinterDevice::StartOutputThread() {
    StopOutputThread();
    queueWake_.Reset();
    outputStop_.Reset();
    outputExit_.Reset();
    slipInsertion_.Reset();
    slipRemoval_.Reset();
    outputThread_ = std::thread(&CPOSPrinterDevice::OutputThreadMain, this);
}

void CPOSPrinterDevice::StopOutputThread() {
    if (!outputThread_.joinable()) {
        return;
    }
    outputStop_.Set();
    outputExit_.Wait(INFINITE);
    outputThread_.join();
}

// ---------------------------------------------------------------------------------------
// Properties

LONG CPOSPrinterDevice::GetPropertyNumber(LONG index) {
    switch (index) {
        case PIDXPtr_AsyncMode:
            return m_AsyncMode.load();
        case PIDXPtr_CharacterSet:
            return m_CharacterSet;
        case PIDXPtr_CoverOpen:
            return m_CoverOpen.load();
        case PIDXPtr_ErrorStation:
            return m_ErrorStation.load();
        case PIDXPtr_FlagWhenIdle:
            return m_FlagWhenIdle.load();
        case PIDXPtr_JrnEmpty:
            return m_JrnEmpty.load();
        case PIDXPtr_JrnLineHeight:
            return m_JrnLineHeight;
        case PIDXPtr_JrnLineSpacing:
            return m_JrnLineSpacing;
        case PIDXPtr_JrnLineWidth:
            return m_JrnLineWidth;
        case PIDXPtr_JrnNearEnd:
            return m_JrnNearEnd.load();
        case PIDXPtr_MapMode:
            return m_MapMode;
        case PIDXPtr_RecEmpty:
            return m_RecEmpty.load();
        case PIDXPtr_RecLineChars:
            return m_RecLineChars;
        case PIDXPtr_RecLineHeight:
            return m_RecLineHeight;
        case PIDXPtr_RecLineSpacing:
            return m_RecLineSpacing;
        case PIDXPtr_RecLinesToPaperCut:
            return m_RecLinesToPaperCut;
        case PIDXPtr_RecLineWidth:
            return m_RecLineWidth;
        case PIDXPtr_RecNearEnd:
            return m_RecNearEnd.load();
        case PIDXPtr_RecSidewaysMaxChars:
            return m_RecSidewaysMaxChars;
        case PIDXPtr_RecSidewaysMaxLines:
            return m_RecSidewaysMaxLines;
        case PIDXPtr_SlpEmpty:
            return m_SlpEmpty.load();
        case PIDXPtr_SlpLineHeight:
            return m_SlpLineHeight;
        case PIDXPtr_SlpLineSpacing:
            return m_SlpLineSpacing;
        case PIDXPtr_SlpLineWidth:
            return m_SlpLineWidth;
        case PIDXPtr_ErrorLevel:
            return m_ErrorLevel.load();
        case PIDXPtr_RotateSpecial:
            return m_RotateSpecial;
        case PIDXPtr_RecCartridgeState:
            return m_RecCartridgeState;
        case PIDXPtr_SlpCartridgeState:
            return m_SlpCartridgeState;
        case PIDXPtr_MapCharacterSet:
            return m_MapCharacterSet;

        case PIDXPtr_CapCoverSensor:
        case PIDXPtr_CapRecBarCode:
        case PIDXPtr_CapRecBitmap:
        case PIDXPtr_CapRecBold:
        case PIDXPtr_CapRecDhigh:
        case PIDXPtr_CapRecDwide:
        case PIDXPtr_CapRecDwideDhigh:
        case PIDXPtr_CapRecLeft90:
        case PIDXPtr_CapRecPapercut:
        case PIDXPtr_CapRecPresent:
        case PIDXPtr_CapRecRight90:
        case PIDXPtr_CapRecRotate180:
        case PIDXPtr_CapRecUnderline:
        case PIDXPtr_CapTransaction:
            return 1;
        case PIDXPtr_CapRec2Color:
            return m_CapRec2Color;
        case PIDXPtr_CapRecEmptySensor:
            return m_PaperSensor == 0 ? 1 : 0;
        case PIDXPtr_CapRecNearEndSensor:
            return m_PaperSensor;
        case PIDXPtr_CapCharacterSet:
            return PTR_CCS_KANJI;
        case PIDXPtr_CapRecColor:
            return m_CapRecColor;
        case PIDXPtr_CapRecMarkFeed:
            return PTR_MF_TO_CUTTER;
        case PIDXPtr_CapMapCharacterSet:
            return m_CapMapCharacterSet;
        default:
            // The journal and slip fields, cartridges, print side and the capabilities of
            // stations this printer lacks are never set.
            if ((index >= PIDXPtr_AsyncMode && index <= PIDXPtr_MapCharacterSet) ||
                (index >= PIDXPtr_CapConcurrentJrnRec && index <= PIDXPtr_CapMapCharacterSet)) {
                return 0;
            }
            return CServiceDevice::GetPropertyNumber(index);
    }
}

std::string CPOSPrinterDevice::GetPropertyString(LONG index) {
    switch (index) {
        case PIDXPtr_CharacterSetList:
            return m_CharacterSetList;
        case PIDXPtr_RecLineCharsList:
            return m_RecLineCharsList;
        case PIDXPtr_ErrorString: {
            std::lock_guard<std::mutex> lock(errorStringLock_);
            return m_ErrorString;
        }
        case PIDXPtr_FontTypefaceList:
            return m_FontTypefaceList;
        case PIDXPtr_RecBarCodeRotationList:
            return m_RecBarCodeRotationList;
        case PIDXPtr_RecBitmapRotationList:
            return m_RecBitmapRotationList;
        case PIDXPtr_JrnLineCharsList:
        case PIDXPtr_SlpLineCharsList:
        case PIDXPtr_SlpBarCodeRotationList:
        case PIDXPtr_SlpBitmapRotationList:
            return std::string();
        default:
            return CServiceDevice::GetPropertyString(index);
    }
}

void CPOSPrinterDevice::SetPropertyNumber(LONG index, LONG value) {
    // Level of the state test for each settable or refused index: 1 open, 3 enabled.
    LONG level = 0;
    void (CPOSPrinterDevice::*setter)(LONG) = nullptr;
    switch (index) {
        case PIDXPtr_AsyncMode:
            level = 1, setter = &CPOSPrinterDevice::SetAsyncMode;
            break;
        case PIDXPtr_CartridgeNotify:
            level = 1, setter = &CPOSPrinterDevice::SetCartridgeNotify;
            break;
        case PIDXPtr_CharacterSet:
            level = 3, setter = &CPOSPrinterDevice::SetCharacterSet;
            break;
        case PIDXPtr_FlagWhenIdle:
            level = 1, setter = &CPOSPrinterDevice::SetFlagWhenIdle;
            break;
        case PIDXPtr_JrnLetterQuality:
            level = 3, setter = &CPOSPrinterDevice::SetJrnLetterQuality;
            break;
        case PIDXPtr_JrnLineChars:
            level = 3, setter = &CPOSPrinterDevice::SetJrnLineChars;
            break;
        case PIDXPtr_JrnLineHeight:
            level = 3, setter = &CPOSPrinterDevice::SetJrnLineHeight;
            break;
        case PIDXPtr_JrnLineSpacing:
            level = 3, setter = &CPOSPrinterDevice::SetJrnLineSpacing;
            break;
        case PIDXPtr_JrnCurrentCartridge:
            level = 3, setter = &CPOSPrinterDevice::SetJrnCurrentCartridge;
            break;
        case PIDXPtr_MapMode:
            level = 1, setter = &CPOSPrinterDevice::SetMapMode;
            break;
        case PIDXPtr_MapCharacterSet:
            level = 1, setter = &CPOSPrinterDevice::SetMapCharacterSet;
            break;
        case PIDXPtr_RecLetterQuality:
            level = 3, setter = &CPOSPrinterDevice::SetRecLetterQuality;
            break;
        case PIDXPtr_RecLineChars:
            level = 3, setter = &CPOSPrinterDevice::SetRecLineChars;
            break;
        case PIDXPtr_RecLineHeight:
            level = 3, setter = &CPOSPrinterDevice::SetRecLineHeight;
            break;
        case PIDXPtr_RecLineSpacing:
            level = 3, setter = &CPOSPrinterDevice::SetRecLineSpacing;
            break;
        case PIDXPtr_RecCurrentCartridge:
            level = 3, setter = &CPOSPrinterDevice::SetRecCurrentCartridge;
            break;
        case PIDXPtr_RotateSpecial:
            level = 1, setter = &CPOSPrinterDevice::SetRotateSpecial;
            break;
        case PIDXPtr_SlpLetterQuality:
            level = 3, setter = &CPOSPrinterDevice::SetSlpLetterQuality;
            break;
        case PIDXPtr_SlpLineChars:
            level = 3, setter = &CPOSPrinterDevice::SetSlpLineChars;
            break;
        case PIDXPtr_SlpLineHeight:
            level = 3, setter = &CPOSPrinterDevice::SetSlpLineHeight;
            break;
        case PIDXPtr_SlpLineSpacing:
            level = 3, setter = &CPOSPrinterDevice::SetSlpLineSpacing;
            break;
        case PIDXPtr_SlpCurrentCartridge:
            level = 3, setter = &CPOSPrinterDevice::SetSlpCurrentCartridge;
            break;
        default:
            CServiceDevice::SetPropertyNumber(index, value);
            return;
    }
    LONG r = CheckState(level);
    if (r != OPOS_SUCCESS) {
        SetResult(r);
        return;
    }
    (this->*setter)(value);
}

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

LONG CPOSPrinterDevice::FireStatusUpdate(LONG status) {
    // The state is recorded before the event is queued: the event thread may hand it to the
    // application at once, and a handler reading CoverOpen for PTR_SUE_COVER_OPEN must see
    // 1. A disabled device records nothing (the next enable starts from cover closed, paper
    // present, and reports what it finds).
    if (IsEnabled()) {
        RecordStatus(status);
    }
    return CServiceDevice::FireStatusUpdate(status);
}

void CPOSPrinterDevice::RecordStatus(LONG status) {
    switch (status) {
        case PTR_SUE_COVER_OPEN:
            m_CoverOpen = 1;
            break;
        case PTR_SUE_COVER_OK:
            m_CoverOpen = 0;
            break;
        case PTR_SUE_REC_EMPTY:
            m_RecEmpty = 1;
            break;
        case PTR_SUE_REC_NEAREMPTY:
            m_RecNearEnd = 1;
            break;
        case PTR_SUE_REC_PAPEROK:
            m_RecEmpty = 0;
            m_RecNearEnd = 0;
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------------------------------
// Methods with the generic behaviour of a printer that lacks the feature

LONG CPOSPrinterDevice::PrintBarCode(LONG station, const std::string&, LONG, LONG, LONG, LONG,
                                     LONG) {
    return SetResultAfterCheck(
        3, station == PTR_S_RECEIPT || station == PTR_S_SLIP ? OPOS_SUCCESS : OPOS_E_ILLEGAL);
}

LONG CPOSPrinterDevice::PrintBitmap(LONG station, const std::string& fileName, LONG, LONG) {
    return CPOSPrinterDevice::PrintBarCode(station, fileName, 0, 0, 0, 0, 0);
}

LONG CPOSPrinterDevice::RotatePrint(LONG station, LONG) {
    return SetResultAfterCheck(
        3, station == PTR_S_RECEIPT || station == PTR_S_SLIP ? OPOS_E_NOSERVICE : OPOS_E_ILLEGAL);
}

LONG CPOSPrinterDevice::SetBitmap(LONG, LONG station, const std::string& fileName, LONG, LONG) {
    return CPOSPrinterDevice::PrintBarCode(station, fileName, 0, 0, 0, 0, 0);
}

LONG CPOSPrinterDevice::SetLogo(LONG location, const std::string& data) {
    if (CheckState(3) != OPOS_SUCCESS) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    if (data.empty()) {
        return SetResult(OPOS_SUCCESS);
    }
    std::string bytes;
    LONG r = ConvertBinary(data, &bytes);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    // The logo ends at the first zero byte, as the printer data it is copied into.
    bytes.resize(std::min(bytes.size(), bytes.find('\0')));
    if (location == PTR_L_TOP) {
        m_TopLogo = std::move(bytes);
    } else if (location == PTR_L_BOTTOM) {
        m_BottomLogo = std::move(bytes);
    } else {
        return SetResult(OPOS_E_ILLEGAL);
    }
    return SetResult(OPOS_SUCCESS);
}

LONG CPOSPrinterDevice::TransactionPrint(LONG station, LONG control) {
    LONG r = CheckState(3);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    if (control != PTR_TP_TRANSACTION && control != PTR_TP_NORMAL) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    if (station != PTR_S_JOURNAL && station != PTR_S_RECEIPT && station != PTR_S_SLIP) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    const bool begin = control == PTR_TP_TRANSACTION;
    transactionFlags_[TransactionIndex(station)] = begin ? 1 : 0;
    return SetResult(FlushTransaction(station, begin));
}

std::string CPOSPrinterDevice::ExtractBitmapBits(std::string_view whiteRows) {
    std::string rows(whiteRows);
    for (char& c : rows) {
        c = static_cast<char>(~static_cast<unsigned char>(c));
    }
    return rows;
}

LONG CPOSPrinterDevice::MeasureSidewaysData(std::string_view, LONG*, std::string*) {
    return OPOS_E_ILLEGAL;
}

// ---------------------------------------------------------------------------------------
// Print data

LONG CPOSPrinterDevice::TranslateCommand(LONG, LONG, std::string*, bool) {
    return OPOS_E_FAILURE;
}

LONG CPOSPrinterDevice::PrintDataPrefix(std::string*) {
    return OPOS_SUCCESS;
}

LONG CPOSPrinterDevice::PrintDataSuffix(std::string*) {
    return OPOS_SUCCESS;
}

LONG CPOSPrinterDevice::NormalizeLineEnds(std::string*) {
    return OPOS_SUCCESS;
}

thermpos::ThermalCommandSettings CPOSPrinterDevice::CommandSettings() const {
    thermpos::ThermalCommandSettings settings;
    settings.recLinesToPaperCut = m_RecLinesToPaperCut;
    settings.fontCount = m_FontCount;
    settings.useNvram = m_UseNVRAM != 0;
    settings.bitmapMode = m_BitmapMode;
    settings.storedBitmaps = &m_StoredBitmaps;
    settings.topLogo = m_TopLogo;
    settings.bottomLogo = m_BottomLogo;
    return settings;
}

LONG CPOSPrinterDevice::TranslatePrintData(LONG, std::string_view data, std::string* out,
                                           bool validate) {
    class Sink final : public thermpos::PrintDataSink {
      public:
        explicit Sink(CPOSPrinterDevice& device) : device_(device) {}
        int TranslateCommand(int code, int number, std::string* out, bool validate) override {
            return device_.TranslateCommand(code, number, out, validate);
        }
        void AppendTextRun(std::string_view run, std::string* out) override {
            if (device_.m_MapCharacterSet == 1) {
                thermpos::MapTextCodePage(run, device_.m_CharacterSet, out);
            } else {
                out->append(run);
            }
        }

      private:
        CPOSPrinterDevice& device_;
    } sink(*this);

    if (!validate) {
        out->reserve(out->size() + data.size() + 16);
        PrintDataPrefix(out);
    }
    std::string text(data);
    LONG result = NormalizeLineEnds(&text);
    result = std::max<LONG>(result, thermpos::ParsePrintData(text, sink, out, validate));
    if (!validate) {
        PrintDataSuffix(out);
    }
    return result;
}

LONG CPOSPrinterDevice::PrintNormal(LONG station, const std::string& data) {
    return HandlePrintData(station, data, PrintUse::kNormal);
}

LONG CPOSPrinterDevice::PrintImmediate(LONG station, const std::string& data) {
    return HandlePrintData(station, data, PrintUse::kImmediate);
}

LONG CPOSPrinterDevice::ValidateData(LONG station, const std::string& data) {
    return HandlePrintData(station, data, PrintUse::kValidate);
}

LONG CPOSPrinterDevice::HandlePrintData(LONG station, const std::string& data, PrintUse use) {
    LONG r = CheckState(3);
    if (data.empty() || r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    std::string bytes;
    r = ConvertBinary(data, &bytes);
    if (r != OPOS_SUCCESS) {
        return SetResult(r);
    }
    std::string out;
    if (use == PrintUse::kValidate) {
        return SetResult(TranslatePrintData(station, bytes, &out, true));
    }
    TranslatePrintData(station, bytes, &out, false);
    if (out.empty()) {
        return SetResult(OPOS_SUCCESS);
    }
    return SetResult(SubmitOutput(station, out, use == PrintUse::kImmediate));
}

// ---------------------------------------------------------------------------------------
// Output path

int CPOSPrinterDevice::TransactionIndex(LONG station) {
    switch (station) {
        case PTR_S_JOURNAL:
            return kJournalList;
        case PTR_S_RECEIPT:
            return kReceiptList;
        default:
            return kSlipList;
    }
}

LONG CPOSPrinterDevice::SubmitOutput(LONG station, std::string_view bytes, bool immediate) {
    if (bytes.empty()) {
        return OPOS_E_FAILURE;
    }
    if (transactionFlags_[kReceiptList].load() == 1 && !immediate) {
        return AppendTransactionData(station, bytes);
    }
    m_ResultCodeExtended = 0;
    if (m_AsyncMode.load() == 1 && !immediate) {
        COutputRequest request;
        try {
            request.data.assign(bytes);
        } catch (const std::bad_alloc&) {
            return OPOS_E_FAILURE;
        }
        request.station = station;
        std::lock_guard<std::mutex> lock(outputQueueLock_);
        request.outputId = ++m_OutputID;
        outputQueue_.push_back(std::move(request));
        queueWake_.Set();
        return OPOS_SUCCESS;
    }

    LONG r = CheckPrinterCondition(station);
    if (r == OPOS_SUCCESS && m_State.load() == OPOS_S_BUSY && !immediate) {
        return OPOS_E_BUSY;
    }
    if (r == OPOS_SUCCESS) {
        COutputRequest request;
        request.data.assign(bytes);
        request.station = station;
        r = SendToPrinter(request);
    }
    if (IsExtendedPrinterCode(r)) {
        m_ResultCodeExtended = r;
        r = OPOS_E_EXTENDED;
    }
    return r;
}

LONG CPOSPrinterDevice::CheckPrinterCondition(LONG station) {
    if (m_CoverOpen.load() == 1) {
        return OPOS_EPTR_COVER_OPEN;
    }
    const bool jrn = m_JrnEmpty.load() == 1;
    const bool rec = m_RecEmpty.load() == 1;
    const bool slp = m_SlpEmpty.load() == 1;
    switch (station) {
        case 1:
            if (jrn)
                return OPOS_EPTR_JRN_EMPTY;
            break;
        case 2:
            if (rec)
                return OPOS_EPTR_REC_EMPTY;
            break;
        case 3:
            if (jrn)
                return OPOS_EPTR_JRN_EMPTY;
            if (rec)
                return OPOS_EPTR_REC_EMPTY;
            break;
        case 4:
            if (slp)
                return OPOS_EPTR_SLP_EMPTY;
            break;
        case 5:
            if (jrn)
                return OPOS_EPTR_JRN_EMPTY;
            if (slp)
                return OPOS_EPTR_SLP_EMPTY;
            break;
        case 6:
            if (rec)
                return OPOS_EPTR_REC_EMPTY;
            if (slp)
                return OPOS_EPTR_SLP_EMPTY;
            break;
        default:
            break;
    }
    switch (m_PowerState.load()) {
        case OPOS_PS_OFF:
            return OPOS_E_NOHARDWARE;
        case OPOS_PS_OFFLINE:
        case OPOS_PS_OFF_OFFLINE:
            return OPOS_E_OFFLINE;
        default:
            return OPOS_SUCCESS;
    }
}

LONG CPOSPrinterDevice::SendToPrinter(const COutputRequest& request) {
    if (request.data.empty()) {
        return OPOS_E_ILLEGAL;
    }
    auto lock = DeviceLock();
    if (m_Binding.IsBad()) {
        return OPOS_E_ILLEGAL;
    }
    return WritePort(request.data.data(), static_cast<LONG>(request.data.size()));
}

LONG CPOSPrinterDevice::AppendTransactionData(LONG station, std::string_view bytes) {
    try {
        std::string block(bytes);
        std::lock_guard<std::mutex> lock(transactionLock_);
        transactionLists_[TransactionIndex(station)].push_back(std::move(block));
    } catch (const std::bad_alloc&) {
        return OPOS_E_FAILURE;
    }
    return OPOS_SUCCESS;
}

LONG CPOSPrinterDevice::FlushTransaction(LONG station, bool begin) {
    std::string block;
    {
        std::lock_guard<std::mutex> lock(transactionLock_);
        std::vector<std::string>& list = transactionLists_[TransactionIndex(station)];
        if (begin) {
            list.clear();
            return OPOS_SUCCESS;
        }
        if (list.empty()) {
            return OPOS_E_ILLEGAL;
        }
        for (const std::string& entry : list) {
            block += entry;
        }
    }
    return SubmitOutput(station, block, false);
}

LONG CPOSPrinterDevice::ClearOutput() {
    LONG r = CheckState(2);
    if (r == OPOS_SUCCESS) {
        DiscardOutput();
    }
    return SetResult(r);
}

void CPOSPrinterDevice::DiscardOutput() {
    std::lock_guard<std::mutex> queueLock(outputQueueLock_);
    std::lock_guard<std::mutex> transactionLock(transactionLock_);
    outputQueue_.clear();
    ++clearGeneration_;
    for (auto& list : transactionLists_) {
        list.clear();
    }
    for (auto& flag : transactionFlags_) {
        flag = 0;
    }
}

std::size_t CPOSPrinterDevice::QueuedRequestCount() {
    std::lock_guard<std::mutex> lock(outputQueueLock_);
    return outputQueue_.size();
}

void CPOSPrinterDevice::WakeOutputThreadIfQueued() {
    std::lock_guard<std::mutex> lock(outputQueueLock_);
    if (!outputQueue_.empty()) {
        queueWake_.Set();
    }
}

void CPOSPrinterDevice::SetErrorString(const std::string& text) {
    std::lock_guard<std::mutex> lock(errorStringLock_);
    m_ErrorString = text;
}

bool CPOSPrinterDevice::OutputStopping() const {
    return outputStop_.IsSet() || StopRequested();
}

// ---------------------------------------------------------------------------------------
// Output thread

void CPOSPrinterDevice::OutputThreadMain() {
    for (;;) {
        WaitForEvents({&queueWake_, &outputStop_}, false, INFINITE);
        if (OutputStopping()) {
            break;
        }
        COutputRequest request;
        unsigned long generation = 0;
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(outputQueueLock_);
            if (!IsEnabled()) {
                // Requests wait for the device to be enabled again; the enable step sets
                // the wake event under this lock, so no wake-up is lost and none spins.
                queueWake_.Reset();
                continue;
            }
            if (outputQueue_.empty()) {
                SetStateUnlessClosed(m_State, OPOS_S_IDLE);
                queueWake_.Reset();
                idle = true;
            } else {
                SetStateUnlessClosed(m_State, OPOS_S_BUSY);
                request = std::move(outputQueue_.front());
                outputQueue_.pop_front();
                generation = clearGeneration_;
            }
        }
        if (idle) {
            if (m_FlagWhenIdle.load() == 1 && IsEnabled()) {
                QueueEvent(std::make_unique<CQueuedEvent>(EventKindStatusUpdate, PTR_SUE_IDLE));
            }
            continue;
        }
        ProcessRequest(std::move(request), generation);
        if (OutputStopping()) {
            break;
        }
    }
    outputExit_.Set();
}

void CPOSPrinterDevice::RequeueRequest(COutputRequest request, unsigned long generation) {
    std::lock_guard<std::mutex> lock(outputQueueLock_);
    if (generation == clearGeneration_) {
        outputQueue_.push_front(std::move(request));
    }
}

void CPOSPrinterDevice::ProcessRequest(COutputRequest request, unsigned long generation) {
    for (;;) {
        LONG r = CheckPrinterCondition(request.station);
        if (r == OPOS_SUCCESS) {
            if (!IsEnabled()) {
                // Disabled between taking and writing: the request was not printed, so it
                // waits for the next enable instead of vanishing.
                RequeueRequest(std::move(request), generation);
                return;
            }
            r = SendToPrinter(request);
        }
        if (r == OPOS_SUCCESS) {
            QueueEvent(std::make_unique<CQueuedEvent>(EventKindOutputComplete, request.outputId));
            return;
        }
        if (!IsEnabled()) {
            RequeueRequest(std::move(request), generation);
            return;
        }

        auto event =
            std::make_unique<CQueuedEvent>(EventKindError, r, 0, OPOS_EL_OUTPUT, OPOS_ER_RETRY);
        if (IsExtendedPrinterCode(r)) {
            event->value1 = OPOS_E_EXTENDED;
            event->value2 = r;
            SetErrorString("See ResultCodeExtended");
            m_ErrorLevel = PTR_EL_RECOVERABLE;
        } else {
            SetErrorString("");
            m_ErrorLevel = PTR_EL_FATAL;
        }
        ErrorResponseEvent().Reset();
        m_ErrorStation = request.station;
        if (!QueueEvent(std::move(event))) {
            // Disabled while the event was built: no answer can come, keep the request.
            m_ErrorLevel = PTR_EL_NONE;
            SetErrorString("");
            m_ErrorStation = 0;
            RequeueRequest(std::move(request), generation);
            return;
        }

        DWORD wait = WaitForEvents({&ErrorResponseEvent(), &outputStop_}, false, INFINITE);
        if (OutputStopping()) {
            return;
        }
        bool retry = false;
        bool keep = false;
        if (wait == thermpos::WAIT_OBJECT_0 && ErrorResponse() == OPOS_ER_RETRY) {
            retry = IsEnabled();
            // A retry answered while the device was being disabled prints after the next
            // enable rather than being dropped.
            keep = !retry;
        } else {
            DiscardOutput();
        }
        m_ErrorLevel = PTR_EL_NONE;
        SetErrorString("");
        m_ErrorStation = 0;
        if (keep) {
            RequeueRequest(std::move(request), generation);
            return;
        }
        if (!retry) {
            return;
        }
    }
}
