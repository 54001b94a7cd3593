#include "exerciser/PropertyReport.h"

#include "opos/OposConstants.h"

namespace exerciser {

namespace {

using S = std::vector<SymbolName>;

const S kBinaryConversion = {{0, "OPOS_BC_NONE"}, {1, "OPOS_BC_NIBBLE"}, {2, "OPOS_BC_DECIMAL"}};
const S kPowerReporting = {{0, "OPOS_PR_NONE"}, {1, "OPOS_PR_STANDARD"}, {2, "OPOS_PR_ADVANCED"}};
const S kPowerNotify = {{0, "OPOS_PN_DISABLED"}, {1, "OPOS_PN_ENABLED"}};
const S kPowerState = {{2000, "OPOS_PS_UNKNOWN"},
                       {2001, "OPOS_PS_ONLINE"},
                       {2002, "OPOS_PS_OFF"},
                       {2003, "OPOS_PS_OFFLINE"},
                       {2004, "OPOS_PS_OFF_OFFLINE"}};
const S kResultCodeExtended = {{201, "OPOS_EPTR_COVER_OPEN"},
                               {202, "OPOS_EPTR_JRN_EMPTY"},
                               {203, "OPOS_EPTR_REC_EMPTY"},
                               {204, "OPOS_EPTR_SLP_EMPTY"}};
const S kState = {
    {1, "OPOS_S_CLOSED"}, {2, "OPOS_S_IDLE"}, {3, "OPOS_S_BUSY"}, {4, "OPOS_S_ERROR"}};
const S kCharacterSetCaps = {
    {1, "PTR_CCS_ALPHA"}, {998, "PTR_CCS_ASCII"}, {10, "PTR_CCS_KANA"}, {11, "PTR_CCS_KANJI"}};
const S kErrorLevel = {{1, "PTR_EL_NONE"}, {2, "PTR_EL_RECOVERABLE"}, {3, "PTR_EL_FATAL"}};
const S kErrorStation = {{1, "PTR_S_JOURNAL"},
                         {2, "PTR_S_RECEIPT"},
                         {4, "PTR_S_SLIP"},
                         {3, "PTR_S_JOURNAL_RECEIPT"},
                         {5, "PTR_S_JOURNAL_SLIP"},
                         {6, "PTR_S_RECEIPT_SLIP"},
                         {32771, "PTR_TWO_RECEIPT_JOURNAL"},
                         {32773, "PTR_TWO_SLIP_JOURNAL"},
                         {32774, "PTR_TWO_SLIP_RECEIPT"}};
const S kMapMode = {
    {1, "PTR_MM_DOTS"}, {2, "PTR_MM_TWIPS"}, {3, "PTR_MM_ENGLISH"}, {4, "PTR_MM_METRIC"}};
const S kRotateSpecial = {{1, "PTR_RP_NORMAL"},
                          {257, "PTR_RP_RIGHT90"},
                          {258, "PTR_RP_LEFT90"},
                          {259, "PTR_RP_ROTATE180"}};

const S kResultCode = {
    {0, "OPOS_SUCCESS"},        {101, "OPOS_E_CLOSED"},     {102, "OPOS_E_CLAIMED"},
    {103, "OPOS_E_NOTCLAIMED"}, {104, "OPOS_E_NOSERVICE"},  {105, "OPOS_E_DISABLED"},
    {106, "OPOS_E_ILLEGAL"},    {107, "OPOS_E_NOHARDWARE"}, {108, "OPOS_E_OFFLINE"},
    {109, "OPOS_E_NOEXIST"},    {110, "OPOS_E_EXISTS"},     {111, "OPOS_E_FAILURE"},
    {112, "OPOS_E_TIMEOUT"},    {113, "OPOS_E_BUSY"},       {114, "OPOS_E_EXTENDED"}};

}  // namespace

const std::vector<ReportProperty>& ReportProperties() {
    static const std::vector<ReportProperty> properties = [] {
        std::vector<ReportProperty> p;
        auto plain = [&p](std::initializer_list<const char*> names) {
            for (const char* n : names)
                p.push_back({n, {}});
        };
        p.push_back({"BinaryConversion", kBinaryConversion});
        p.push_back({"CapPowerReporting", kPowerReporting});
        plain({"CheckHealthText", "Claimed", "DeviceEnabled", "FreezeEvents", "OutputID"});
        p.push_back({"PowerNotify", kPowerNotify});
        p.push_back({"PowerState", kPowerState});
        p.push_back({"ResultCode", kResultCode});
        p.push_back({"ResultCodeExtended", kResultCodeExtended});
        p.push_back({"State", kState});
        plain({"ControlObjectDescription", "ControlObjectVersion", "ServiceObjectDescription",
               "ServiceObjectVersion", "DeviceDescription", "DeviceName"});

        p.push_back({"CapCharacterSet", kCharacterSetCaps});
        plain({"CapConcurrentJrnRec", "CapConcurrentJrnSlp", "CapConcurrentRecSlp",
               "CapCoverSensor",      "CapTransaction",      "CapJrnPresent",
               "CapJrn2Color",        "CapJrnBold",          "CapJrnDhigh",
               "CapJrnDwide",         "CapJrnDwideDhigh",    "CapJrnEmptySensor",
               "CapJrnItalic",        "CapJrnNearEndSensor", "CapJrnUnderline",
               "CapRecPresent",       "CapRec2Color",        "CapRecBarCode",
               "CapRecBitmap",        "CapRecBold",          "CapRecDhigh",
               "CapRecDwide",         "CapRecDwideDhigh",    "CapRecEmptySensor",
               "CapRecItalic",        "CapRecLeft90",        "CapRecNearEndSensor",
               "CapRecPapercut",      "CapRecRight90",       "CapRecRotate180",
               "CapRecStamp",         "CapRecUnderline",     "CapSlpPresent",
               "CapSlpFullslip",      "CapSlp2Color",        "CapSlpBarCode",
               "CapSlpBitmap",        "CapSlpBold",          "CapSlpDhigh",
               "CapSlpDwide",         "CapSlpDwideDhigh",    "CapSlpEmptySensor",
               "CapSlpItalic",        "CapSlpLeft90",        "CapSlpNearEndSensor",
               "CapSlpRight90",       "CapSlpRotate180",     "CapSlpUnderline"});

        plain({"AsyncMode", "CharacterSet", "CharacterSetList", "CoverOpen"});
        p.push_back({"ErrorLevel", kErrorLevel});
        p.push_back({"ErrorStation", kErrorStation});
        plain({"ErrorString", "FontTypefaceList", "FlagWhenIdle"});
        p.push_back({"MapMode", kMapMode});
        p.push_back({"RotateSpecial", kRotateSpecial});

        plain({"JrnLineChars", "JrnLineCharsList", "JrnLineHeight", "JrnLineSpacing",
               "JrnLineWidth", "JrnLetterQuality", "JrnEmpty", "JrnNearEnd"});
        plain({"RecLineChars", "RecLineCharsList", "RecLineHeight", "RecLineSpacing",
               "RecLineWidth", "RecLetterQuality", "RecEmpty", "RecNearEnd", "RecSidewaysMaxLines",
               "RecSidewaysMaxChars", "RecLinesToPaperCut", "RecBarCodeRotationList"});
        plain({"SlpLineChars", "SlpLineCharsList", "SlpLineHeight", "SlpLineSpacing",
               "SlpLineWidth", "SlpLetterQuality", "SlpEmpty", "SlpNearEnd", "SlpSidewaysMaxLines",
               "SlpSidewaysMaxChars", "SlpMaxLines", "SlpLinesNearEndToEnd",
               "SlpBarCodeRotationList"});
        return p;
    }();
    return properties;
}

std::string ReportLine(const std::string& name, const std::string& value) {
    std::string line = name;
    if (line.size() < kReportNameField)
        line.append(kReportNameField - line.size(), ' ');
    return line + "= " + value + kCrLf;
}

std::string SymbolicValue(const ReportProperty& property, LONG value) {
    for (const SymbolName& s : property.symbols)
        if (s.value == value)
            return s.name;
    return "Error !? (" + std::to_string(value) + ")";
}

std::string PlainValue(COposObject& printer, const char* property) {
    thermpos::platform::com::Variant value;
    if (!printer.GetValue(property, value.Get()))
        return "";
    if (value.Type() == VT_BOOL)
        return (*value).boolVal ? "True" : "False";
    std::string text;
    if (!value.ToAnsi(&text))
        return "";
    return text;
}

std::string PropertyReportLine(COposObject& printer, const ReportProperty& property) {
    // A coded value is read once: the name printed is the one of the value compared, even
    // for a property that changes under the report (PowerState, State).
    const std::string value = property.symbols.empty()
                                  ? PlainValue(printer, property.name)
                                  : SymbolicValue(property, printer.GetLong(property.name));
    return ReportLine(property.name, value);
}

void CPropertyReport::Run() {
    if (!Module().CheckPrinterReady())
        return;
    Log("RotatePrint", CallStation("RotatePrint", kRotateNormal));
    for (const ReportProperty& property : ReportProperties())
        Print(PropertyReportLine(Printer(), property));
    FeedAndCut();
    FinishTransaction();
    WatchForIdle();
}

}  // namespace exerciser
