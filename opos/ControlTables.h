// What the control objects know about their classes: every property (from the OPOS
// property-name map), every application method, and the service-object methods a
// service object of each release must have. Both surfaces, the typed classes and the
// automation objects, are driven from these tables.
#pragma once

#include <string_view>
#include <vector>

#include "platform/automation.h"

namespace thermpos::opos {

enum class PropType { Bool, Long, String };

struct PropertyInfo {
    const char* name;
    PropType type;
    bool writable;
    LONG index;  // PIDX: below 1000000 a number, from there a string
    DISPID dispId;
    int since;  // minor release of 1.x that added it
};

enum class ParamKind { Long, String, LongRef, StringRef };

struct MethodInfo {
    const char* name;
    DISPID dispId;
    std::vector<ParamKind> params;
    int since;
    bool forwarded;  // false: Open and Close, which the control object carries out
};

// A method a service object must have from release `since` on (alias: its older name).
struct RequiredMethod {
    const char* name;
    const char* alias;
    int since;
};

struct ClassTable {
    const char* deviceClass;  // the registry folder and OpenService's first argument
    const char* progId;
    CLSID clsid;
    const char* description;  // ControlObjectDescription
    std::vector<PropertyInfo> properties;
    std::vector<MethodInfo> methods;
    std::vector<RequiredMethod> required;

    const PropertyInfo* FindProperty(std::string_view name) const;  // case-insensitive
    const PropertyInfo* FindIndex(LONG index) const;
    const MethodInfo* FindMethod(std::string_view name) const;  // case-insensitive
};

const ClassTable& PosPrinterTable();
const ClassTable& CashDrawerTable();

// Release of these control objects, major*1000000 + minor*1000 + build.
inline constexpr LONG kControlObjectVersion = 1008000;

// Event DISPIDs of the control objects' event interface (and the order of their
// parameters: StatusUpdateEvent(Data), OutputCompleteEvent(OutputID),
// ErrorEvent(ResultCode, ResultCodeExtended, ErrorLocus, *ErrorResponse),
// DirectIOEvent(EventNumber, *pData, *pString)).
inline constexpr DISPID kDispIdDirectIOEvent = 2;
inline constexpr DISPID kDispIdErrorEvent = 3;
inline constexpr DISPID kDispIdOutputCompleteEvent = 4;
inline constexpr DISPID kDispIdStatusUpdateEvent = 5;

}  // namespace thermpos::opos
