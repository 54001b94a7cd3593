// Calls the tests make on a service object through the control-object core.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/dispatch.h"

namespace sotest {

// DirectIO(command, &data, text) by name, with the by-reference arguments the method
// declares; *data receives what the service object wrote back.
inline LONG DirectIO(thermpos::opos::COposControl& c, LONG command, LONG* data,
                     const std::string& text = "") {
    BSTR raw = thermpos::platform::com::BString::FromAnsi(text).Release();
    thermpos::platform::com::OutgoingArgs args;
    args.Long(command).LongRef(data).BstrRef(&raw);
    LONG rc = c.CallLong("DirectIO", args);
    SysFreeString(raw);
    return rc;
}

// Opens `name` on the control, claims it with this time-out (unless `claim` is false) and
// enables it, as an application starts a device; fails the test where a step fails.
inline void OpenClaimEnable(thermpos::opos::COposControl& c, const char* name,
                            LONG claimTimeout = 0, bool claim = true) {
    ASSERT_EQ(c.Open(name), OPOS_SUCCESS) << name;
    if (claim) {
        thermpos::platform::com::OutgoingArgs args;
        args.Long(claimTimeout);
        ASSERT_EQ(c.CallLong("ClaimDevice", args), OPOS_SUCCESS) << name;
    }
    c.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(c.GetPropertyNumber(PIDX_ResultCode), OPOS_SUCCESS) << name;
}

}  // namespace sotest
