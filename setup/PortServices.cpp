#include "setup/PortServices.h"

#include <QApplication>

#include "setup/ComPropertiesDlg.h"
#include "setup/ConfigurePort.h"

#ifdef THERMPOS_HAVE_LINKPORT
#include "portlib/LinkPort.h"
#endif

namespace setup {
namespace {

// A sane machine has a handful of ports; the bounds only keep a broken list from
// flooding the drop-down.
constexpr int kMaxPorts = 1024;
constexpr std::size_t kMaxPortName = 255;

}  // namespace

bool CSystemPortServices::EnumeratePorts(std::vector<std::string>& ports) {
    ports.clear();
#ifdef THERMPOS_HAVE_LINKPORT
    char** list = nullptr;
    int count = 0;
    if (PMEnumeratePorts(&list, &count) != 1) {
        return false;
    }
    for (int i = 0; list != nullptr && i < count && i < kMaxPorts; ++i) {
        if (list[i] != nullptr && list[i][0] != '\0') {
            ports.emplace_back(list[i], strnlen(list[i], kMaxPortName));
        }
    }
    PMFreePortList(list, count);
    return true;
#else
    return false;
#endif
}

void CSystemPortServices::ConfigureParallelPort(const std::string& port) {
    ConfigurePortA(registry_, messages_, port);
}

void CSystemPortServices::RunSerialSettings(const std::string& printer) {
    CComPropertiesDlg dialog(registry_, messages_, printer, QApplication::activeWindow());
    dialog.exec();
}

}  // namespace setup
