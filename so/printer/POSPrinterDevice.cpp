// CPOSPrinterDevice: life cycle, the generic method frames, print data and the output
// path. Threads and lock order: see POSPrinterDevice.h; this file starts no thread (the
// output thread is COutputPipeline's). The properties are in PrinterProperties.cpp.
#include "so/printer/POSPrinterDevice.h"

#include <algorithm>
#include <system_error>

#include "so/printer/PrintParser.h"
#include "so/printer/PrintText.h"

namespace thermpos::so {

using namespace ptr;

CPOSPrinterDevice::CPOSPrinterDevice() = default;

CPOSPrinterDevice::~CPOSPrinterDevice() {
    if (m_State.load() != OPOS_S_CLOSED) {
        CPOSPrinterDevice::Close();
    }
    m_Output.Stop();
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
        m_Output.Start();
    } catch (const std::system_error&) {
        CServiceDevice::Close();
        return SetResult(OPOS_E_FAILURE);
    }
    return SetResult(OPOS_SUCCESS);
}

LONG CPOSPrinterDevice::Close() {
    LONG r = CServiceDevice::Close();
    if (r != OPOS_SUCCESS) {
        return r;
    }
    m_Output.Stop();
    // Requests still queued at Close are freed, never written.
    m_Output.DropQueue();
    m_SidewaysBlocks.clear();
    m_TopLogo.clear();
    m_BottomLogo.clear();
    return r;
}

LONG CPOSPrinterDevice::SetDeviceEnabled(LONG enable) {
    LONG r = CServiceDevice::SetDeviceEnabled(enable);
    if (!IsEnabled()) {
        // A request waiting to retry goes back to the queue until the next enable.
        m_Output.InterruptRetryWait();
    }
    return r;
}

LONG CPOSPrinterDevice::FireStatusUpdate(LONG status) {
    if (!IsEnabled()) {
        return CServiceDevice::FireStatusUpdate(status);
    }
    // The fields change before the event is queued: an application reading CoverOpen or
    // RecEmpty when the event reaches it must see the new value. (A device disabled in
    // between discards the event; the next enable resets these fields anyway.)
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
    LONG delivered = CServiceDevice::FireStatusUpdate(status);
    if (delivered == 1) {
        m_Output.NotifyStatusChange(status);
    }
    return delivered;
}

// ---------------------------------------------------------------------------------------
// Methods with the generic behaviour of a printer that lacks the feature

LONG CPOSPrinterDevice::PrintBarCode(LONG station, const std::string&, LONG, LONG, LONG, LONG,
                                     LONG) {
    return SetResultAfterCheck(
        3, station == PTR_S_RECEIPT || station == PTR_S_SLIP ? OPOS_SUCCESS : OPOS_E_ILLEGAL);
}

// A page being built cannot take a bitmap: the printer ignores the bitmap commands there.
LONG CPOSPrinterDevice::PrintBitmap(LONG station, const std::string& fileName, LONG, LONG) {
    if (CheckState(3) == OPOS_SUCCESS && InPageMode()) {
        return SetResult(OPOS_E_ILLEGAL);
    }
    return CPOSPrinterDevice::PrintBarCode(station, fileName, 0, 0, 0, 0, 0);
}

LONG CPOSPrinterDevice::RotatePrint(LONG station, LONG) {
    return SetResultAfterCheck(
        3, station == PTR_S_RECEIPT || station == PTR_S_SLIP ? OPOS_E_NOSERVICE : OPOS_E_ILLEGAL);
}

LONG CPOSPrinterDevice::SetBitmap(LONG, LONG station, const std::string& fileName, LONG, LONG) {
    if (CheckState(3) == OPOS_SUCCESS && InPageMode()) {
        return SetResult(OPOS_E_ILLEGAL);
    }
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
    m_Output.SetTransaction(station, begin);
    return SetResult(m_Output.FlushTransaction(station, begin));
}

std::string CPOSPrinterDevice::ExtractBitmapBits(std::string_view whiteRows) {
    std::string rows(whiteRows);
    for (char& c : rows) {
        c = static_cast<char>(~static_cast<unsigned char>(c));
    }
    return rows;
}

LONG CPOSPrinterDevice::MeasureSidewaysData(std::string_view, int, LONG*, std::string*) {
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

ThermalCommandSettings CPOSPrinterDevice::CommandSettings() const {
    ThermalCommandSettings settings;
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
    class Sink final : public PrintDataSink {
      public:
        explicit Sink(CPOSPrinterDevice& device) : device_(device) {}
        int TranslateCommand(int code, int number, std::string* out, bool validate) override {
            return device_.TranslateCommand(code, number, out, validate);
        }
        void AppendTextRun(std::string_view run, std::string* out) override {
            if (device_.m_MapCharacterSet == 1) {
                MapTextCodePage(run, device_.m_CharacterSet, out);
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
    result = std::max<LONG>(result, ParsePrintData(text, sink, out, validate));
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
    const int startFont = m_Formatting.font;
    TranslatePrintData(station, bytes, &out, false);
    if (use == PrintUse::kNormal &&
        (m_SidewaysMode == PTR_RP_RIGHT90 || m_SidewaysMode == PTR_RP_LEFT90)) {
        // Kept for the page RotatePrint(station, PTR_RP_NORMAL) prints.
        if (!out.empty()) {
            CSidewaysBlock block;
            MeasureSidewaysData(out, startFont, &block.widest, &block.bytes);
            m_SidewaysBlocks.push_back(std::move(block));
        }
        return SetResult(OPOS_SUCCESS);
    }
    if (out.empty()) {
        return SetResult(OPOS_SUCCESS);
    }
    return SetResult(SubmitOutput(station, out, use == PrintUse::kImmediate));
}

// ---------------------------------------------------------------------------------------
// Output path

LONG CPOSPrinterDevice::SubmitOutput(LONG station, std::string_view bytes, bool immediate) {
    if (bytes.empty()) {
        return OPOS_E_FAILURE;
    }
    if (m_Output.HoldsOutput() && !immediate) {
        return m_Output.AppendTransactionData(station, bytes);
    }
    m_ResultCodeExtended = 0;
    if (m_AsyncMode.load() == 1 && !immediate) {
        return m_Output.Enqueue(station, bytes);
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
    thermpos::platform::MutexLock lock(DeviceLock());
    if (m_Binding.IsBad()) {
        return OPOS_E_ILLEGAL;
    }
    return WritePort(request.data.data(), static_cast<LONG>(request.data.size()));
}

LONG CPOSPrinterDevice::ClearOutput() {
    LONG r = CheckState(2);
    if (r == OPOS_SUCCESS) {
        m_Output.Discard();
        m_SidewaysBlocks.clear();
    }
    return SetResult(r);
}

}  // namespace thermpos::so
