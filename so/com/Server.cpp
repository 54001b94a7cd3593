// The server's exports: class objects, unload test and self-registration of the two
// service-object classes.
#include <new>

#include "platform/comserver.h"
#include "so/com/ServiceObject.h"

namespace thermpos::so {
namespace {

IUnknown* CreatePrinterSO() {
    return new (std::nothrow) CQMXThermalPrinterSO;
}
IUnknown* CreateCashDrawerSO() {
    return new (std::nothrow) CQMXCashDrawerSO;
}

const thermpos::platform::com::ServerClass kClasses[] = {
    {CLSID_QMXThermalPrinterSO, kPrinterProgId, "QMX Thermal POSPrinter Service Object",
     CreatePrinterSO, false},
    {CLSID_QMXCashDrawerSO, kCashDrawerProgId, "QMX Thermal CashDrawer Service Object",
     CreateCashDrawerSO, false},
};

}  // namespace
}  // namespace thermpos::so

THERMPOS_COM_SERVER_EXPORTS(thermpos::so::kClasses)
