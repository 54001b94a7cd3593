// The CashDrawer control object for C++ applications: a member per property (Name() and,
// when writable, SetName()) and per method of the 1.8 class. See Control.h for opening,
// results and events.
#pragma once

#include "opos/Control.h"

namespace thermpos::opos {

class THERMPOS_OPOS_API CashDrawer : public Control {
  public:
    CashDrawer();

#define THERMPOS_PROPERTY THERMPOS_TYPED_PROPERTY
#include "opos/CashDrawerProperties.inc"
#undef THERMPOS_PROPERTY

    LONG OpenDrawer() {
        return CallMethod("OpenDrawer", {});
    }
    LONG WaitForDrawerClose(LONG beepTimeout, LONG beepFrequency, LONG beepDuration,
                            LONG beepDelay) {
        return CallMethod("WaitForDrawerClose",
                          {beepTimeout, beepFrequency, beepDuration, beepDelay});
    }
};

}  // namespace thermpos::opos
