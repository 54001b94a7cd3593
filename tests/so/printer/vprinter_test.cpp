// The printer classes on the real port library and the virtual printer on a serial line
// (a pty; under Wine a COM port mapped to the Linux printer's pty): what reaches the
// printer, the claim of a printer that is switched off, the cover seen by the status
// monitor, and a printer that stops answering.
#include <algorithm>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "tests/so/core/MonitorTestSupport.h"
#include "tests/so/printer/VirtualPrinterTest.h"
#include "tests/support/temp_env.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

using namespace std::chrono_literals;

class PrinterOnVirtualPrinter : public VirtualPrinterTest {
  protected:
    void SetUp() override {
        // The claim probe gives the printer 100 ms to answer; this one is a thread of the
        // test process, which a sanitizer build under load may not schedule in time.
        thermpos::testing::ProcessEnv().Set("THERMPOS_PROBE_WAIT_MS", "1000");
        StartPrinter("COM11");
        ASSERT_FALSE(HasFatalFailure());
        OpenDevice(kRTK410, {{"PrinterLanguageModel", "002"}});
    }

    // Waits until the decoded commands satisfy `done`. The printer refreshes its status after
    // every command it takes, which is what wakes this wait.
    bool WaitDecoded(const std::function<bool(const std::vector<std::string>&)>& done) {
        return printer_.WaitStatus([&](const vp::PrinterStatus&) { return done(Decoded()); }, 10s);
    }
    bool WaitDecodedCount(std::size_t count) {
        return WaitDecoded([&](const std::vector<std::string>& d) { return d.size() >= count; });
    }
};

}  // namespace

TEST_F(PrinterOnVirtualPrinter, ClaimAndEnableBytesReachThePrinter) {
    Enable();
    // Past the claim probe: the initialisation (1B 40 1B 52 02 1B 63 33 03), and the status
    // request of the monitor has switched automatic status back on.
    ASSERT_TRUE(WaitDecodedCount(3)) << printer_.StatusText();
    EXPECT_EQ(Decoded(), (std::vector<std::string>{"ESC @", "ESC R n=2", "ESC c 3 n=3"}));
    ASSERT_TRUE(
        printer_.WaitStatus([](const vp::PrinterStatus& s) { return s.asbMask == 0x0F; }, 10s))
        << printer_.StatusText();
    EXPECT_EQ(printer_.Status().internationalSet, 2);

    device_->SetPropertyNumber(PIDXPtr_CharacterSet, 850);
    ASSERT_EQ(device_->ResultCode(), 0);
    ASSERT_TRUE(WaitDecodedCount(4));
    EXPECT_EQ(Decoded().at(3), "ESC t n=2");
    EXPECT_EQ(printer_.Status().codeTable, 2);

    EXPECT_EQ(device_->PrintNormal(2, "hello\n\x1B|fP"), 0);
    ASSERT_TRUE(printer_.WaitReceipts(1, 10s));
    EXPECT_EQ(DecodedText().back(), "TEXT \"hello\"");
    EXPECT_EQ(Decoded().back(), "GS V m=0") << "a full cut";
}

TEST_F(PrinterOnVirtualPrinter, ClaimOfAPrinterThatIsSwitchedOff) {
    printer_.SetPower(false);
    EXPECT_EQ(device_->ClaimDevice(0), 107);
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_Claimed), 0);
    printer_.SetPower(true);
    EXPECT_EQ(device_->ClaimDevice(0), 0);
}

TEST_F(PrinterOnVirtualPrinter, CoverReportedByTheMonitorStopsPrinting) {
    Enable();
    printer_.SetCover(true);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, 1));
    EXPECT_EQ(control_.EventsOf(ControlEvent::StatusUpdate).at(0).value1, PTR_SUE_COVER_OPEN);
    EXPECT_EQ(device_->GetPropertyNumber(PIDXPtr_CoverOpen), 1);
    EXPECT_EQ(device_->PrintNormal(2, "not now\n"), 114);
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_ResultCodeExtended), 201);

    // In AsyncMode the print waits for the answer to its error event; retry once the
    // cover is closed prints it once.
    device_->SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    control_.SetErrorAnswer([&](const ControlEvent&) {
        printer_.SetCover(false);
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(device_->PrintNormal(2, "later\n\x1B|fP"), 0);
    ASSERT_TRUE(control_.WaitForOutput(device_->GetPropertyNumber(PIDX_OutputID)));
    ASSERT_TRUE(printer_.WaitReceipts(1, 10s));
    // The refused print never reached the printer; the retried one did, once.
    EXPECT_EQ(DecodedText(), (std::vector<std::string>{"TEXT \"later\""}));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].value1, 114);
    EXPECT_EQ(errors[0].value2, 201);
    EXPECT_EQ(device_->GetPropertyNumber(PIDXPtr_CoverOpen), 0);
}

// A printer that answered and is then switched off: taken as off or offline three seconds
// later, reported with PowerNotify on, output refused until its next block, and a queued
// print that met the silence prints once on retry after the printer is back.
TEST_F(PrinterOnVirtualPrinter, APrinterThatStopsAnsweringIsHeldOfflineUntilItAnswers) {
    OpenDevice<CPrinterQMX5500>(kQMX5500);
    ASSERT_EQ(device_->ClaimDevice(0), 0);
    device_->SetPropertyNumber(PIDX_PowerNotify, 1);
    ASSERT_EQ(device_->ResultCode(), 0);
    device_->SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(device_->ResultCode(), 0);
    EXPECT_EQ(device_->PrintNormal(2, "before\n"), 0);

    printer_.SetPower(false);
    ASSERT_TRUE(control_.WaitForStatus(OPOS_SUE_POWER_OFF_OFFLINE));
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_PowerState), OPOS_PS_OFF_OFFLINE);
    EXPECT_EQ(device_->PrintNormal(2, "refused\n"), OPOS_E_OFFLINE);

    device_->SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    control_.SetErrorAnswer([&](const ControlEvent&) {
        printer_.SetPower(true);
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(device_->PrintNormal(2, "queued\n"), 0);
    ASSERT_TRUE(control_.WaitForOutput(device_->GetPropertyNumber(PIDX_OutputID)));
    ASSERT_TRUE(control_.WaitForStatus(OPOS_SUE_POWER_ONLINE));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].value1, OPOS_E_OFFLINE);
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_PowerState), OPOS_PS_ONLINE);
    ASSERT_TRUE(WaitDecoded([](const std::vector<std::string>& d) {
        return std::find(d.begin(), d.end(), "TEXT \"queued\"") != d.end();
    }));
    EXPECT_EQ(DecodedText(), (std::vector<std::string>{"TEXT \"before\"", "TEXT \"queued\""}));
}

// Without power reporting (an RT-K410 on a COM port cannot have it) nothing is reported to
// the application, but output to a printer that stopped answering is refused all the same.
TEST_F(PrinterOnVirtualPrinter, WithoutPowerReportingASilentPrinterStillRefusesOutput) {
    using Recorded = montest::Recording<CPrinterRTK410>;
    OpenDevice<Recorded>(kRTK410);
    auto& device = static_cast<Recorded&>(*device_);
    Enable();
    EXPECT_EQ(device.PrintNormal(2, "before\n"), 0);

    printer_.SetPower(false);
    ASSERT_TRUE(device.log.WaitFor(OPOS_SUE_POWER_OFF_OFFLINE));
    EXPECT_EQ(device.GetPropertyNumber(PIDX_PowerState), OPOS_PS_UNKNOWN);
    EXPECT_EQ(device.PrintNormal(2, "refused\n"), OPOS_E_OFFLINE);

    printer_.SetPower(true);
    ASSERT_TRUE(device.log.WaitFor(OPOS_SUE_POWER_ONLINE));
    EXPECT_EQ(device.PrintNormal(2, "after\n"), 0);
    ASSERT_TRUE(WaitDecoded([](const std::vector<std::string>& d) {
        return std::find(d.begin(), d.end(), "TEXT \"after\"") != d.end();
    }));
    EXPECT_EQ(DecodedText(), (std::vector<std::string>{"TEXT \"before\"", "TEXT \"after\""}));
    EXPECT_TRUE(control_.EventsOf(ControlEvent::StatusUpdate).empty());
}
