// The control-object library's server exports: the two automation classes under their
// standard ProgIDs, so that applications reaching them by name create them like any
// other registered class.
#include "opos/AutomationControl.h"

namespace {

using thermpos::opos::CAutomationControl;

const thermpos::platform::com::ServerClass kClasses[] = {
    {thermpos::opos::PosPrinterTable().clsid, thermpos::opos::PosPrinterTable().progId,
     thermpos::opos::PosPrinterTable().description, &CAutomationControl::CreatePosPrinter, true},
    {thermpos::opos::CashDrawerTable().clsid, thermpos::opos::CashDrawerTable().progId,
     thermpos::opos::CashDrawerTable().description, &CAutomationControl::CreateCashDrawer, true},
};

}  // namespace

THERMPOS_COM_SERVER_EXPORTS(kClasses)
