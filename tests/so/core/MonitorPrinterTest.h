// The fixture of the status monitor's tests on LinkPort and the virtual printer: the
// framework's test printer and drawer (their interpreters' values recorded) on a port
// table of their own, the printer started on a serial line (tests/support/test_printer.h:
// in the test's process on Linux, the Linux program beside the test under Wine), and a
// bare status listener for the monitor's own schedule.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "opos/OposConstants.h"
#include "so/core/StatusInterpreter.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"
#include "tests/so/core/MonitorTestSupport.h"
#include "tests/support/test_printer.h"

namespace montest {

using namespace std::chrono_literals;
using thermpos::vprinter::PaperState;
using thermpos::vprinter::PrinterStatus;

using Printer = Recording<CTestPrinter>;
using Drawer = Recording<CTestDrawer>;

class MonitorPrinterTest : public ::testing::Test {
  protected:
    // The virtual printer on a serial line asked for as COM7; port_ is the name to open.
    void StartPrinter() {
        std::string error;
        ASSERT_TRUE(vp_.Start("COM7", {}, &error)) << error;
        port_ = vp_.Port();
    }
    void WriteDevices(const std::string& port, const std::string& pin3 = "") {
        sotest::WriteDevice("POSPrinter", kTestPrinterName,
                            {{"Port", port}, {kTestStatusMonitorValue, "1"}});
        std::map<std::string, std::string> drawer{{"Port", port}, {kTestStatusMonitorValue, "1"}};
        if (!pin3.empty())
            drawer["Pin3"] = pin3;
        sotest::WriteDevice("CashDrawer", kTestDrawerName, drawer);
    }
    void OpenPrinter(bool powerNotify = true) {
        printer_.SetPortManager(&table_);
        ASSERT_EQ(printer_.OpenService("POSPrinter", kTestPrinterName, nullptr), OPOS_SUCCESS);
        ASSERT_EQ(printer_.ClaimDevice(1000), OPOS_SUCCESS);
        printer_.SetPropertyNumber(PIDX_PowerNotify, powerNotify ? 1 : 0);
    }
    void OpenDrawer() {
        drawer_.SetPortManager(&table_);
        ASSERT_EQ(drawer_.OpenService("CashDrawer", kTestDrawerName, nullptr), OPOS_SUCCESS);
    }
    bool WaitStatus(const std::function<bool(const PrinterStatus&)>& condition) {
        return vp_.WaitStatus(condition, 10s);
    }
    // The virtual printer has answered the status request at least once.
    bool WaitAsbOn() {
        return WaitStatus([](const PrinterStatus& s) { return s.asbMask == 0x0F; });
    }
    // A printer's status interpreter asking for status on a port of the table with its
    // own profile and a 5 ms poll, as a printer's service object would. The listener goes
    // before the interpreter does, whatever fails after.
    struct Listener {
        explicit Listener(CPortManager& t) : table(t), interpreter(&device) {
            device.standalone = true;
            interpreter.SetCommand("\x1d\x61\x0f", 3);
        }
        ~Listener() {
            if (acquired)
                (void)table.ReleasePort(&binding);
        }
        CPortManager& table;
        montest::Recording<CServiceDevice> device;
        CPrinterStatusInterpreter interpreter;
        PortBinding binding;
        bool acquired = false;
    };
    void Listen(Listener& l, const std::string& port, const MonitorProfile& profile) {
        ASSERT_EQ(table_.AcquirePort(port, PortKindExclusive, &l.binding, "QMXRT-K410"), 0);
        l.acquired = true;
        ASSERT_EQ(table_.AddStatusListener(l.binding, &l.interpreter, 5, &profile), 0);
    }

    // Over twenty cycles the port brought input a few times a cycle (a reply for each
    // request of the cycle, perhaps in two reads). The printer answers a request at once,
    // so a monitor that wrote the request again the moment it read a reply would see
    // thousands.
    static void ExpectAFewRepliesPerCycle(const CStatusMonitor& monitor) {
        using Wakes = CStatusMonitor::WakeCounts;
        const Wakes before = monitor.Wakes();
        ASSERT_TRUE(
            monitor.WaitWakes([&](const Wakes& w) { return w.timed >= before.timed + 20; }, 30s))
            << "input " << monitor.Wakes().input - before.input;
        const Wakes after = monitor.Wakes();
        EXPECT_LE(after.input - before.input, 4 * (after.timed - before.timed) + 4)
            << "cycles " << after.timed - before.timed;
    }

    // Declared first, so the devices (declared later) release their ports before the
    // table and the printer go.
    thermpos::testing::TestPrinter vp_;
    std::string port_ = "COM7";
    CPortManager table_;
    Printer printer_;
    Drawer drawer_;
};

}  // namespace montest
