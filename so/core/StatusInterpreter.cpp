// Status interpreters. Thread: the port's monitor thread only, under its monitor lock (see
// StatusInterpreter.h).
#include "so/core/StatusInterpreter.h"

#include "opos/OposConstants.h"
#include "so/core/DeviceConfig.h"
#include "so/core/ServiceDevice.h"

namespace thermpos::so {

namespace {

constexpr BYTE kOfflineBit = 0x08;         // b0
constexpr BYTE kCoverBit = 0x20;           // b0
constexpr BYTE kDrawerBit = 0x04;          // b0: drawer-kick connector pin 3
constexpr BYTE kNearEndBits = 0x03;        // b2
constexpr BYTE kEndBits = 0x0C;            // b2
constexpr BYTE kDrawerPaperEndBit = 0x08;  // b2

// Whole 4-byte blocks only: anything else is a block still arriving or line noise.
bool IsWholeBlocks(LONG length) {
    return length > 0 && length % 4 == 0;
}

}  // namespace

CStatusInterpreter::CStatusInterpreter(CServiceDevice* device)
    : lastValues_{OPOS_PS_ONLINE}, device_(device) {}

void CStatusInterpreter::Report(std::size_t index, LONG v) {
    if (device_ != nullptr && device_->FireStatusUpdate(v) == 1 && index < lastValues_.size())
        lastValues_[index] = v;
}

bool CStatusInterpreter::Interpret(const BYTE*, LONG, bool*) {
    return false;
}

bool CStatusInterpreter::Notify(StatusNotification code, bool* resend) {
    switch (code) {
        case kNotifyOffline:
            *resend = true;
            if (lastValues_[0] == OPOS_PS_ONLINE)
                Report(0, OPOS_SUE_POWER_OFFLINE);
            return true;
        case kNotifyPowerOff:
            *resend = true;
            if (lastValues_[0] == OPOS_PS_ONLINE)
                Report(0, OPOS_SUE_POWER_OFF);
            return true;
        case kNotifySilent:
            if (!answered_ || silent_)
                return true;
            silent_ = true;
            // Before the report: an output retry that the report wakes must find output
            // refused.
            if (device_ != nullptr)
                device_->SetPrinterSilent(true);
            if (lastValues_[0] == OPOS_PS_ONLINE)
                Report(0, OPOS_SUE_POWER_OFF_OFFLINE);
            return true;
        default:
            return false;
    }
}

void CStatusInterpreter::BeginBlocks() {
    answered_ = true;
    if (!silent_)
        return;
    silent_ = false;
    if (device_ != nullptr)
        device_->SetPrinterSilent(false);
    if (lastValues_[0] != OPOS_PS_ONLINE)
        Report(0, OPOS_SUE_POWER_ONLINE);
}

void CStatusInterpreter::EndBlocks() {
    if (device_ != nullptr)
        device_->StatusBlockReceived();
}

void CStatusInterpreter::InterpretPower(BYTE b0, bool* resend) {
    if (b0 & kOfflineBit) {
        *resend = true;
        if (lastValues_[0] == OPOS_PS_ONLINE)
            Report(0, OPOS_SUE_POWER_OFFLINE);
    } else if (lastValues_[0] != OPOS_PS_ONLINE) {
        Report(0, OPOS_SUE_POWER_ONLINE);
    }
}

// ---------------------------------------------------------------------------------------

CPrinterStatusInterpreter::CPrinterStatusInterpreter(CServiceDevice* device)
    : CStatusInterpreter(device) {
    lastValues_ = {OPOS_PS_ONLINE, PTR_SUE_COVER_OK, PTR_SUE_REC_PAPEROK};
}

void CPrinterStatusInterpreter::ReportPaper(LONG paper) {
    const LONG last = lastValues_[kPaper];
    // A worse state is news; near end after empty is not (the roll was not changed), and
    // the value holds until the paper is fine again.
    const bool news = paper == PTR_SUE_REC_PAPEROK
                          ? last != PTR_SUE_REC_PAPEROK
                          : last == PTR_SUE_REC_PAPEROK ||
                                (paper == PTR_SUE_REC_EMPTY && last == PTR_SUE_REC_NEAREMPTY);
    if (news)
        Report(kPaper, paper);
}

void CPrinterStatusInterpreter::InterpretPaper(BYTE b2) {
    // A printer whose roll ran out sets the near-end bits as well as the end bits, so the
    // end bits decide.
    if (b2 & kEndBits)
        ReportPaper(PTR_SUE_REC_EMPTY);
    else if (b2 & kNearEndBits)
        ReportPaper(PTR_SUE_REC_NEAREMPTY);
    else
        ReportPaper(PTR_SUE_REC_PAPEROK);
}

bool CPrinterStatusInterpreter::Notify(StatusNotification code, bool* resend) {
    if (code == kNotifyPaperEmpty) {
        ReportPaper(PTR_SUE_REC_EMPTY);
        return false;
    }
    return CStatusInterpreter::Notify(code, resend);
}

bool CPrinterStatusInterpreter::Interpret(const BYTE* data, LONG length, bool* resend) {
    if (data == nullptr || !IsWholeBlocks(length))
        return false;
    BeginBlocks();
    for (const BYTE* block = data; block < data + length; block += 4) {
        InterpretPower(block[0], resend);

        LONG cover = (block[0] & kCoverBit) ? PTR_SUE_COVER_OPEN : PTR_SUE_COVER_OK;
        if (cover != lastValues_[kCover])
            Report(kCover, cover);

        InterpretPaper(block[2]);
    }
    EndBlocks();
    return true;
}

// ---------------------------------------------------------------------------------------

CDrawerStatusInterpreter::CDrawerStatusInterpreter(CServiceDevice* device, LONG pin3)
    : CStatusInterpreter(device), pin3_(pin3) {
    lastValues_ = {OPOS_PS_ONLINE, CASH_SUE_DRAWERCLOSED, kDrawerSueCoverClosed, kDrawerSuePaperOk};
}

LONG CDrawerStatusInterpreter::ReadPin3(const std::string& deviceName) {
    return ReadDeviceNumber("Pin3", "CashDrawer", deviceName, 1);
}

bool CDrawerStatusInterpreter::Interpret(const BYTE* data, LONG length, bool* resend) {
    if (data == nullptr || !IsWholeBlocks(length))
        return false;
    BeginBlocks();
    for (const BYTE* block = data; block < data + length; block += 4) {
        bool high = (block[0] & kDrawerBit) != 0;
        bool open = pin3_ == 1 ? high : !high;
        LONG drawer = open ? CASH_SUE_DRAWEROPEN : CASH_SUE_DRAWERCLOSED;
        if (drawer != lastValues_[kDrawer])
            Report(kDrawer, drawer);

        InterpretPower(block[0], resend);

        LONG cover = (block[0] & kCoverBit) ? kDrawerSueCoverOpen : kDrawerSueCoverClosed;
        if (cover != lastValues_[kCover])
            Report(kCover, cover);

        LONG paper = (block[2] & kDrawerPaperEndBit) ? kDrawerSuePaperEnd : kDrawerSuePaperOk;
        if (paper != lastValues_[kPaper])
            Report(kPaper, paper);
    }
    EndBlocks();
    return true;
}

}  // namespace thermpos::so
