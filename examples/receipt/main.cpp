// An application of the ThermPOS control objects: prints a receipt, opens the cash
// drawer and waits until it is closed again, with the events delivered on this thread
// through poll().
//
//   receipt PRINTER DRAWER     (logical device names, e.g. RTK410.TALVERN.POSPrinter
//                               and RTK410.TALVERN.CD1)
//
// Build: c++ -std=c++17 main.cpp $(pkg-config --cflags --libs thermpos) -o receipt
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "opos/CashDrawer.h"
#include "opos/PosPrinter.h"

using thermpos::opos::CashDrawer;
using thermpos::opos::Control;
using thermpos::opos::EventHandler;
using thermpos::opos::PosPrinter;

namespace {

// Remembers what the application waits for.
class Events : public EventHandler {
  public:
    void OutputCompleteEvent(LONG outputId) override { completed = outputId; }
    void ErrorEvent(LONG resultCode, LONG extended, LONG, LONG& response) override {
        std::fprintf(stderr, "printer error %ld (extended %ld): giving up\n",
                     static_cast<long>(resultCode), static_cast<long>(extended));
        failed = true;
        response = OPOS_ER_CLEAR;
    }
    void StatusUpdateEvent(LONG data) override {
        if (data == CASH_SUE_DRAWEROPEN)
            drawerOpened = true;
        if (data == CASH_SUE_DRAWERCLOSED && drawerOpened)
            drawerClosed = true;
    }

    LONG completed = -1;
    bool failed = false;
    bool drawerOpened = false;
    bool drawerClosed = false;
};

// Waits on both controls' event descriptors and dispatches until done() or the limit.
template <class Done>
bool Wait(Control& a, Control& b, Done done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd fds[2] = {{a.EventDescriptor(), POLLIN, 0}, {b.EventDescriptor(), POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) > 0) {
            if (fds[0].revents & POLLIN)
                a.DispatchEvents();
            if (fds[1].revents & POLLIN)
                b.DispatchEvents();
        }
    }
    return true;
}

bool Start(Control& c, const char* name) {
    LONG rc = c.Open(name);
    if (rc == OPOS_SUCCESS)
        rc = c.ClaimDevice(5000);
    if (rc == OPOS_SUCCESS) {
        c.SetNumberProperty("DeviceEnabled", 1);
        rc = c.GetNumberProperty("ResultCode");
    }
    if (rc != OPOS_SUCCESS)
        std::fprintf(stderr, "%s: result %ld (open result %ld)\n", name, static_cast<long>(rc),
                     static_cast<long>(c.OpenResult()));
    return rc == OPOS_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PRINTER DRAWER\n", argv[0]);
        return 2;
    }
    PosPrinter printer;
    CashDrawer drawer;
    Events events;        // the printer's
    Events drawerEvents;  // the drawer's: status values of the two classes overlap
    printer.SetEventHandler(&events);
    drawer.SetEventHandler(&drawerEvents);
    if (!Start(printer, argv[1]) || !Start(drawer, argv[2]))
        return 1;

    // Asynchronous output: PrintNormal returns at once, OutputCompleteEvent follows.
    printer.SetAsyncMode(true);
    const std::string esc = "\x1B|";
    const std::string receipt = esc + "cA" + esc + "bC" + "THE CORNER SHOP\n" + esc + "N" +
                                "Coffee                  2.50\n"
                                "Croissant               1.80\n" +
                                esc + "bC" + "TOTAL                   4.30\n" + esc + "N" + esc +
                                "fP";
    if (printer.PrintNormal(PTR_S_RECEIPT, receipt) != OPOS_SUCCESS) {
        std::fprintf(stderr, "PrintNormal: %ld\n", static_cast<long>(printer.ResultCode()));
        return 1;
    }
    const LONG job = printer.OutputID();
    if (!Wait(
            printer, drawer, [&] { return events.completed == job || events.failed; },
            std::chrono::seconds(30)) ||
        events.failed) {
        std::fprintf(stderr, "the receipt was not printed\n");
        return 1;
    }
    std::puts("receipt printed");

    if (drawer.OpenDrawer() != OPOS_SUCCESS) {
        std::fprintf(stderr, "OpenDrawer: %ld\n", static_cast<long>(drawer.ResultCode()));
        return 1;
    }
    std::puts("drawer open");
    if (drawer.CapStatus() && !Wait(
                                  printer, drawer, [&] { return drawerEvents.drawerClosed; },
                                  std::chrono::seconds(120))) {
        std::fprintf(stderr, "the drawer was not closed\n");
        return 1;
    }
    std::puts("drawer closed");
    drawer.Close();
    printer.Close();
    return 0;
}
