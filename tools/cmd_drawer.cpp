// `thermpos drawer`: opens a logical cash drawer, waits for it to be closed, or tells
// whether it is open, through the control objects.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "opos/CashDrawer.h"
#include "platform/eventfd.h"
#include "tools/command.h"
#include "tools/device_session.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "drawer";

constexpr char kUsage[] =
    "usage: thermpos drawer DEVICE open|wait|status\n"
    "\n"
    "  open    opens the logical CashDrawer DEVICE and returns\n"
    "  wait    returns when the drawer is closed (at once when it is)\n"
    "  status  prints 'open' or 'closed'\n"
    "\n"
    "Exit codes: 0 done (status: the drawer is closed); 1 usage error; 3 the device\n"
    "could not be opened, claimed or enabled; 4 the drawer refused (the message names the\n"
    "OPOS result); 5 status: the drawer is open.\n";

// The drawer's state is known from its first status report after enabling; until then
// it reads closed. An open drawer reports at once (the printer sends its status when
// asked, in milliseconds), a closed one only by staying silent, so the wait for that
// report is bounded.
constexpr auto kFirstReportLimit = std::chrono::milliseconds(1000);

class FirstReport : public opos::EventHandler {
  public:
    void StatusUpdateEvent(LONG data) override {
        if (data == CASH_SUE_DRAWEROPEN || data == CASH_SUE_DRAWERCLOSED)
            reported = true;
    }
    bool reported = false;
};

void AwaitFirstReport(opos::CashDrawer& drawer, FirstReport& report) {
    const auto end = std::chrono::steady_clock::now() + kFirstReportLimit;
    while (!report.reported) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return;
        if (platform::WaitReadable(drawer.EventDescriptor(), static_cast<int>(left.count())))
            drawer.DispatchEvents();
    }
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.size() != 2 || (args[1] != "open" && args[1] != "wait" && args[1] != "status"))
        return Fail(kName, "expected DEVICE open|wait|status (see --help)");
    const std::string& action = args[1];

    opos::CashDrawer drawer;
    FirstReport report;
    drawer.SetEventHandler(&report);
    if (!StartDevice(kName, drawer, args[0], 5000))
        return kExitDevice;
    if (action != "open" && drawer.CapStatus())
        AwaitFirstReport(drawer, report);
    int exitCode = 0;
    LONG rc = OPOS_SUCCESS;
    if (action == "open") {
        rc = drawer.OpenDrawer();
    } else if (action == "wait") {
        // The beep arguments ask for no sound: the wait is for the drawer alone.
        rc = drawer.WaitForDrawerClose(OPOS_FOREVER, 0, 0, 0);
    } else {
        const bool open = drawer.DrawerOpened();
        rc = drawer.ResultCode();
        if (rc == OPOS_SUCCESS) {
            std::puts(open ? "open" : "closed");
            exitCode = open ? kExitDrawerOpen : 0;
        }
    }
    if (rc != OPOS_SUCCESS) {
        std::fprintf(stderr, "thermpos %s: %s failed: %s\n", kName, action.c_str(),
                     DescribeResult(drawer, rc).c_str());
        exitCode = kExitFailed;
    }
    drawer.Close();
    return exitCode;
}

const ToolCommand kCommand(kName, "open a logical cash drawer, wait for it to close, or query it",
                           Run);

}  // namespace
}  // namespace thermpos::tool
