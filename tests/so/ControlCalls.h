// Calls the tests make on a service object through the control-object core.
#pragma once

#include <string>

#include "opos/ControlObject.h"
#include "platform/dispatch.h"

namespace sotest {

// DirectIO(command, &data, text) by name, with the by-reference arguments the method
// declares; *data receives what the service object wrote back.
inline LONG DirectIO(thermpos::opos::COposControl& c, LONG command, LONG* data,
                     const std::string& text = "") {
    BSTR raw = thermpos::com::BString::FromAnsi(text).Release();
    thermpos::com::OutgoingArgs args;
    args.Long(command).LongRef(data).BstrRef(&raw);
    LONG rc = c.CallLong("DirectIO", args);
    SysFreeString(raw);
    return rc;
}

}  // namespace sotest
