#include "opos/ControlTables.h"

#include <string>

#include "platform/nocase.h"

namespace thermpos::opos {

namespace {

constexpr PropType Bool = PropType::Bool;
constexpr PropType Long = PropType::Long;
constexpr PropType String = PropType::String;
constexpr bool R = false;
constexpr bool RW = true;

#define THERMPOS_PROPERTY(Name, Type, Access, Index, DispId, Since) \
    {#Name, Type, Access, Index, DispId, Since},

// Functions rather than globals: the tables are built on first use, which may come
// during another file's static initialisation (the server's class list).
std::vector<PropertyInfo> PrinterProperties() {
    return {
#include "opos/PosPrinterProperties.inc"
    };
}
std::vector<PropertyInfo> DrawerProperties() {
    return {
#include "opos/CashDrawerProperties.inc"
    };
}
#undef THERMPOS_PROPERTY

using P = ParamKind;

std::vector<MethodInfo> CommonMethods() {
    return {
        {"Open", 37, {P::String}, 0, false},
        {"Close", 35, {}, 0, false},
        {"ClaimDevice", 32, {P::Long}, 0, true},
        {"ReleaseDevice", 38, {}, 0, true},
        {"CheckHealth", 31, {P::Long}, 0, true},
        {"DirectIO", 36, {P::Long, P::LongRef, P::StringRef}, 0, true},
        {"ResetStatistics", 41, {P::String}, 8, true},
        {"RetrieveStatistics", 42, {P::StringRef}, 8, true},
        {"UpdateStatistics", 43, {P::String}, 8, true},
    };
}

std::vector<MethodInfo> PrinterMethods() {
    std::vector<MethodInfo> m = CommonMethods();
    m.insert(m.end(),
             {
                 {"ClearOutput", 34, {}, 0, true},
                 {"BeginInsertion", 160, {P::Long}, 0, true},
                 {"BeginRemoval", 161, {P::Long}, 0, true},
                 {"CutPaper", 162, {P::Long}, 0, true},
                 {"EndInsertion", 163, {}, 0, true},
                 {"EndRemoval", 164, {}, 0, true},
                 {"PrintBarCode",
                  165,
                  {P::Long, P::String, P::Long, P::Long, P::Long, P::Long, P::Long},
                  0,
                  true},
                 {"PrintBitmap", 166, {P::Long, P::String, P::Long, P::Long}, 0, true},
                 {"PrintImmediate", 167, {P::Long, P::String}, 0, true},
                 {"PrintNormal", 168, {P::Long, P::String}, 0, true},
                 {"PrintTwoNormal", 169, {P::Long, P::String, P::String}, 0, true},
                 {"RotatePrint", 170, {P::Long, P::Long}, 0, true},
                 {"SetBitmap", 171, {P::Long, P::Long, P::String, P::Long, P::Long}, 0, true},
                 {"SetLogo", 172, {P::Long, P::String}, 0, true},
                 {"TransactionPrint", 173, {P::Long, P::Long}, 1, true},
                 {"ValidateData", 174, {P::Long, P::String}, 1, true},
                 {"ChangePrintSide", 175, {P::Long}, 5, true},
                 {"MarkFeed", 176, {P::Long}, 5, true},
             });
    return m;
}

std::vector<MethodInfo> DrawerMethods() {
    std::vector<MethodInfo> m = CommonMethods();
    m.insert(m.end(), {
                          {"OpenDrawer", 60, {}, 0, true},
                          {"WaitForDrawerClose", 61, {P::Long, P::Long, P::Long, P::Long}, 0, true},
                      });
    return m;
}

std::vector<RequiredMethod> CommonRequired() {
    return {
        {"COFreezeEvents", nullptr, 0},     {"GetPropertyNumber", nullptr, 0},
        {"SetPropertyNumber", nullptr, 0},  {"GetPropertyString", nullptr, 0},
        {"SetPropertyString", nullptr, 0},  {"OpenService", nullptr, 0},
        {"CheckHealth", nullptr, 0},        {"ClaimDevice", "Claim", 0},
        {"CloseService", "Close", 0},       {"DirectIO", nullptr, 0},
        {"ReleaseDevice", "Release", 0},    {"ResetStatistics", nullptr, 8},
        {"RetrieveStatistics", nullptr, 8}, {"UpdateStatistics", nullptr, 8},
    };
}

// The service-object side of each application method of the table: same name, and the
// older short names for claim and release.
std::vector<RequiredMethod> RequiredOf(const std::vector<MethodInfo>& methods) {
    std::vector<RequiredMethod> required = CommonRequired();
    for (const MethodInfo& m : methods) {
        bool known = !m.forwarded;
        for (const RequiredMethod& r : required)
            known = known || std::string(r.name) == m.name;
        if (!known)
            required.push_back({m.name, nullptr, m.since});
    }
    return required;
}

ClassTable MakeTable(const char* deviceClass, const char* progId, CLSID clsid,
                     const char* description, std::vector<PropertyInfo> properties,
                     std::vector<MethodInfo> methods) {
    ClassTable t{deviceClass, progId, clsid, description, std::move(properties), {}, {}};
    t.required = RequiredOf(methods);
    t.methods = std::move(methods);
    return t;
}

}  // namespace

const PropertyInfo* ClassTable::FindProperty(std::string_view name) const {
    for (const PropertyInfo& p : properties)
        if (platform::EqualNoCase(p.name, name))
            return &p;
    return nullptr;
}

const PropertyInfo* ClassTable::FindIndex(LONG index) const {
    for (const PropertyInfo& p : properties)
        if (p.index == index)
            return &p;
    return nullptr;
}

const MethodInfo* ClassTable::FindMethod(std::string_view name) const {
    for (const MethodInfo& m : methods)
        if (platform::EqualNoCase(m.name, name))
            return &m;
    return nullptr;
}

const ClassTable& PosPrinterTable() {
    static const ClassTable table =
        MakeTable("POSPrinter", "OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter",
                  {0x7E3B52A1, 0x6C4D, 0x4F0E, {0x9A, 0x15, 0x3D, 0x8B, 0x20, 0xC6, 0x71, 0x4E}},
                  "ThermPOS POSPrinter Control Object", PrinterProperties(), PrinterMethods());
    return table;
}

const ClassTable& CashDrawerTable() {
    static const ClassTable table =
        MakeTable("CashDrawer", "OposCashDrawer_1_8_LibCtl.OPOSCashDrawer",
                  {0x2F9C6D38, 0xA15B, 0x4E72, {0xB4, 0x0D, 0x58, 0xE7, 0x19, 0x6A, 0xC2, 0x83}},
                  "ThermPOS CashDrawer Control Object", DrawerProperties(), DrawerMethods());
    return table;
}

}  // namespace thermpos::opos
