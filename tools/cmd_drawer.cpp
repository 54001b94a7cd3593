// `thermpos drawer`: opens a logical cash drawer, waits for it to be closed, or tells
// whether it is open, through the control objects.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "opos/CashDrawer.h"
#include "platform/eventfd.h"
#include "tools/command.h"
#include "tools/device_session.h"

namespace thermpos::tool {
namespace {

constexpr char kName[] = "drawer";

constexpr char kUsage[] =
    "usage: thermpos drawer DEVICE open|status\n"
    "       thermpos drawer DEVICE wait [--timeout MS]\n"
    "\n"
    "  open    opens the logical CashDrawer DEVICE and returns\n"
    "  wait    returns when the drawer is closed (at once when it is); without\n"
    "          --timeout it waits as long as the drawer stays open\n"
    "  status  prints 'open' or 'closed'\n"
    "\n"
    "  --timeout MS  give up waiting after MS milliseconds (exit code 4)\n"
    "\n"
    "Exit codes: 0 done (status: the drawer is closed); 1 usage error; 3 the device\n"
    "could not be opened, claimed or enabled; 4 the drawer refused (the message names the\n"
    "OPOS result) or was still open when --timeout ran out; 5 status: the drawer is open.\n";

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

bool ParseTimeout(const std::string& text, long* ms) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 86400000)
        return false;
    *ms = v;
    return true;
}

// WaitForDrawerClose, given up after timeoutMs. The call itself has no limit, so it runs
// on a thread of its own while this one waits for its answer; when the time runs out,
// closing the device ends the call (the service object wakes every caller blocked in the
// drawer), and the thread is joined. False when the time ran out.
bool WaitClosedWithin(opos::CashDrawer& drawer, long timeoutMs, LONG* rc) {
    std::promise<LONG> answer;
    std::future<LONG> answered = answer.get_future();
    std::thread waiter;
    try {
        waiter = std::thread([&drawer, &answer] {
            // The beep arguments ask for no sound: the wait is for the drawer alone.
            answer.set_value(drawer.WaitForDrawerClose(OPOS_FOREVER, 0, 0, 0));
        });
    } catch (const std::system_error&) {
        *rc = OPOS_E_FAILURE;
        return true;
    }
    const bool inTime =
        answered.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
    if (!inTime)
        drawer.Close();
    waiter.join();
    *rc = answered.get();
    return inTime;
}

int Run(const std::vector<std::string>& args) {
    if (WantsHelp(args)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::vector<std::string> positional;
    long timeoutMs = -1;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--timeout") {
            if (i + 1 >= args.size() || !ParseTimeout(args[++i], &timeoutMs))
                return Fail(kName, "--timeout needs milliseconds (see --help)");
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 2 ||
        (positional[1] != "open" && positional[1] != "wait" && positional[1] != "status"))
        return Fail(kName, "expected DEVICE open|wait|status (see --help)");
    const std::string& action = positional[1];
    if (timeoutMs >= 0 && action != "wait")
        return Fail(kName, "--timeout applies to wait only (see --help)");

    opos::CashDrawer drawer;
    FirstReport report;
    drawer.SetEventHandler(&report);
    if (!StartDevice(kName, drawer, positional[0], 5000))
        return kExitDevice;
    if (action != "open" && drawer.CapStatus())
        AwaitFirstReport(drawer, report);
    int exitCode = 0;
    LONG rc = OPOS_SUCCESS;
    if (action == "open") {
        rc = drawer.OpenDrawer();
    } else if (action == "wait" && timeoutMs >= 0) {
        if (!WaitClosedWithin(drawer, timeoutMs, &rc)) {
            std::fprintf(stderr, "thermpos %s: wait: the drawer was still open after %ld ms\n",
                         kName, timeoutMs);
            return kExitFailed;  // the device is closed already
        }
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
