#include "exerciser/MyGlobalModule.h"

#include "opos/OposConstants.h"
#include "platform/registry.h"
#include "platform/regkey.h"

namespace exerciser {

namespace {

// Texts of the codes 101..114 that both tables share; the device word differs.
std::string CommonText(LONG code, const char* device) {
    const std::string d = device;
    switch (code) {
        case OPOS_SUCCESS:
            return "Successful";
        case OPOS_E_CLOSED:
            return d + " is Closed";
        case OPOS_E_CLAIMED:
            return d + " Claimed";
        case OPOS_E_NOTCLAIMED:
            return d + " is NOT Claimed";
        case OPOS_E_NOSERVICE:
            return d + " does NOT suppport this Service";
        case OPOS_E_DISABLED:
            return d + " is Disabled";
        case OPOS_E_ILLEGAL:
            return "Illegal Operation";
        case OPOS_E_NOHARDWARE:
            return d + " Not Connected";
        case OPOS_E_OFFLINE:
            return d + " is Offline";
        case OPOS_E_NOEXIST:
            return "File Not Found or not in proper format";
        case OPOS_E_EXISTS:
            return d + " Connected";
        case OPOS_E_FAILURE:
            return "Operation Failed";
        case OPOS_E_TIMEOUT:
            return "Time out";
        case OPOS_E_BUSY:
            return d + " is Busy";
        case OPOS_E_EXTENDED:
            return "Extended ";
        default:
            return "Unknown Error Occured";
    }
}

}  // namespace

std::string ResultCodeText(LONG code) {
    return CommonText(code, "Printer");
}

std::string DrawerResultCodeText(LONG code) {
    return CommonText(code, "Drawer");
}

bool ListDevices(const char* deviceClass, std::vector<std::string>& names) {
    names.clear();
    const std::string path = std::string("Software\\OLEforRetail\\ServiceOPOS\\") + deviceClass;
    thermpos::platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return false;
    // Room for the longest key name the registry allows, so that a long device name does
    // not end the walk and hide the devices listed after it.
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length < sizeof name ? length : sizeof name - 1);
    }
    return true;
}

// ---------------------------------------------------------------------------------------

CGlobalModule::CGlobalModule(COposObject& printer, COposObject& drawer, CMessageBoxes& messages,
                             CResultList& results)
    : PrinterCO(printer), DrawerCO(drawer), messages_(messages), results_(results) {}

void CGlobalModule::LogResult(const std::string& operation, LONG code) {
    results_.AddResultLine(operation + " : " + ResultCodeText(code), true);
}

void CGlobalModule::ViewResultCodeforDrawer(const std::string& operation, LONG code) {
    results_.AddResultLine(operation + " : " + DrawerResultCodeText(code), false);
}

void CGlobalModule::LogAutomationFailure(const std::string& line) {
    results_.AddResultLine(line, true);
}

bool CGlobalModule::CheckPrinterReady() {
    for (;;) {
        if (PrinterCO.GetLong("State") == OPOS_S_IDLE)
            return true;
        const LONG state = PrinterCO.GetLong("State");
        std::string text;
        switch (state) {
            case OPOS_S_CLOSED:
                text = std::string("State : Printer is Closed") + kCrLf +
                       "Select the Printer, Open , Claim and then Enable it from Printer Control "
                       "Panel";
                break;
            case OPOS_S_IDLE:
                text = "State : Printer is IDLE";
                break;
            case OPOS_S_BUSY:
                text = std::string("State : Printer is BUSY") + kCrLf +
                       "Printer is Busy, Try After Some Time...";
                break;
            case OPOS_S_ERROR:
                text = std::string("State : Printer ERROR") + kCrLf +
                       "Some internal error has occured. Please check the result codes in result "
                       "code window";
                break;
            default:
                text = "State : Unknown Error (" + std::to_string(state) + ")";
                break;
        }
        if (messages_.Show(text, "", CMessageBoxes::Icon::Question,
                           CMessageBoxes::Buttons::RetryCancel) == CMessageBoxes::Reply::Cancel)
            return false;
    }
}

bool CGlobalModule::SelectBitmapFile() {
    const std::string chosen =
        messages_.OpenFile("Select Bitmap Image", "Bitmap Files(*.bmp)", "*.bmp", "/");
    BitmapFileName.clear();
    const auto first = chosen.find_first_not_of(' ');
    const auto last = chosen.find_last_not_of(' ');
    const std::string trimmed =
        first == std::string::npos ? std::string() : chosen.substr(first, last - first + 1);
    // An empty answer is a cancel too, whatever dialog gave it.
    if (trimmed == "*.bmp" || trimmed.empty())
        return false;
    BitmapFileName = chosen;
    return true;
}

// ---------------------------------------------------------------------------------------

StatusUpdateRule StatusUpdateFor(LONG data) {
    using B = StatusBox;
    switch (data) {
        case PTR_SUE_COVER_OPEN:
        case PTR_SUE_JRN_COVER_OPEN:
        case PTR_SUE_REC_COVER_OPEN:
        case PTR_SUE_SLP_COVER_OPEN:
            return {"Status: Printer Cover open", {{B::CoverOpen, true}}};
        case PTR_SUE_COVER_OK:
        case PTR_SUE_JRN_COVER_OK:
        case PTR_SUE_REC_COVER_OK:
        case PTR_SUE_SLP_COVER_OK:
            return {"Status: Printer Cover OK", {{B::CoverOpen, false}}};
        case PTR_SUE_JRN_EMPTY:
            return {"Status: Printer is out of paper", {{B::JrnSensor, true}}};
        case PTR_SUE_JRN_NEAREMPTY:
            return {"Status: Printer is near to end of paper", {{B::PaperNearEnd, true}}};
        case PTR_SUE_JRN_PAPEROK:
            return {"Status: Printer paper OK", {{B::JrnSensor, false}}};
        case PTR_SUE_REC_EMPTY:
            return {"Status: Printer is out of paper", {{B::RecSensor, true}}};
        case PTR_SUE_REC_NEAREMPTY:
            return {"Status: Printer is near to end of paper", {{B::PaperNearEnd, true}}};
        case PTR_SUE_REC_PAPEROK:
            return {"Status: Printer paper OK", {{B::RecSensor, false}, {B::PaperNearEnd, false}}};
        case PTR_SUE_SLP_EMPTY:
            return {"Status: Printer is out of paper", {{B::SlpSensor, true}}};
        case PTR_SUE_SLP_NEAREMPTY:
            return {"Status: Printer is near to end of paper", {{B::PaperNearEnd, true}}};
        case PTR_SUE_SLP_PAPEROK:
            return {"Status: Printer paper OK", {{B::SlpSensor, false}, {B::PaperNearEnd, false}}};
        case PTR_SUE_IDLE:
            return {"Status: Printer is Idle", {{B::FlagIdle, true}}};
        case OPOS_SUE_POWER_ONLINE:
            return {"Status: Printer Online", {{B::PowerOnline, true}}};
        case OPOS_SUE_POWER_OFF:
            return {"Status: Printer Off", {{B::PowerOnline, false}}};
        case OPOS_SUE_POWER_OFFLINE:
            return {"Status: Printer Offline", {{B::PowerOnline, false}}};
        case OPOS_SUE_POWER_OFF_OFFLINE:
            return {"Status: Printer either Off or Offline", {{B::PowerOnline, false}}};
        default:
            return {"Status: Unknown Status!", {}};
    }
}

std::string ErrorEventMessage(LONG resultCode, LONG resultCodeExtended) {
    switch (resultCode) {
        case OPOS_E_NOHARDWARE:
            return "Printer is Off or Not Connected";
        case OPOS_E_OFFLINE:
            return "Printer is Off or Offline";
        case OPOS_E_TIMEOUT:
            return "Error Timeout:";
        case OPOS_E_EXTENDED:
            switch (resultCodeExtended) {
                case OPOS_EPTR_COVER_OPEN:
                    return "Error OPOS_EPTR_COVER_OPEN: Printer Cover Opened.";
                case OPOS_EPTR_JRN_EMPTY:
                    return "Error OPOS_EPTR_JRN_EMPTY: Cover is open or Printer is out of Paper";
                case OPOS_EPTR_REC_EMPTY:
                    return "Error OPOS_EPTR_REC_EMPTY: Cover is open or Printer is out of Paper";
                case OPOS_EPTR_SLP_EMPTY:
                    return "Error OPOS_EPTR_SLP_EMPTY: Cover is open or Printer is out of Paper";
                default:
                    return "ResultCode : Error !?";
            }
        default:
            return "Error " + std::to_string(resultCode) + ": Printer is returning Unknown Error";
    }
}

StatusPrime ReadStatusPrime(COposObject& printer) {
    using B = StatusBox;
    auto at = [](B box) { return static_cast<size_t>(box); };
    StatusPrime p;
    p.enable[at(B::PowerOnline)] = printer.GetLong("CapPowerReporting") > 0;
    p.enable[at(B::CoverOpen)] = printer.GetBool("CapCoverSensor");
    p.enable[at(B::JrnSensor)] = printer.GetBool("CapJrnEmptySensor");
    p.enable[at(B::RecSensor)] = printer.GetBool("CapRecEmptySensor");
    p.enable[at(B::PaperNearEnd)] = printer.GetBool("CapRecNearEndSensor");
    p.enable[at(B::SlpSensor)] = printer.GetBool("CapSlpEmptySensor");
    p.check[at(B::CoverOpen)] = printer.GetBool("CoverOpen");

    // One near-end box serves the three stations, so it shows whether any station that is
    // not already empty is near its end: a station without the sensor must not clear what
    // another reported, and a journal near its end is not an empty journal.
    bool nearEnd = false;
    if (printer.GetBool("JrnEmpty")) {
        p.check[at(B::JrnSensor)] = true;
        p.journalEmptyCaption = true;
    } else {
        p.check[at(B::JrnSensor)] = false;
        nearEnd = nearEnd || printer.GetBool("JrnNearEnd");
    }
    if (printer.GetBool("RecEmpty")) {
        p.check[at(B::RecSensor)] = true;
    } else {
        p.check[at(B::RecSensor)] = false;
        nearEnd = nearEnd || printer.GetBool("RecNearEnd");
    }
    if (printer.GetBool("SlpEmpty")) {
        p.check[at(B::SlpSensor)] = true;
    } else {
        p.check[at(B::SlpSensor)] = false;
        nearEnd = nearEnd || printer.GetBool("SlpNearEnd");
    }
    p.check[at(B::PaperNearEnd)] = nearEnd;
    p.enable[at(B::FlagIdle)] = true;
    p.check[at(B::FlagIdle)] = false;
    return p;
}

}  // namespace exerciser
