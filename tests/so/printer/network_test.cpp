// The printer class on the real port library and the virtual printer, on a network port
// (the virtual printer listening on 127.0.0.1) and on a COM port mapped to its pty: the
// demo receipt and status back over the network, and a printer unplugged and plugged
// back in while AsyncMode jobs are printing.
//
// As in vprinter_test.cpp, nothing counts bytes on the port: checks read what the
// printer decoded, without the monitor's status requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/so/printer/PrinterTestSupport.h"
#include "tests/support/png_read.h"
#include "tests/support/temp_env.h"
#include "tools/demo_receipt.h"
#include "vprinter/virtual_printer.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

using namespace std::chrono_literals;

// true: on TCP under an IP_ name; false: on a pty under a COM name.
class PrinterReconnect : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        thermpos::testing::ProcessEnv().Set("THERMPOS_PROBE_WAIT_MS", "1000");
        vp::VirtualPrinterOptions options;
        port_ = GetParam() ? "IP_127.0.0.1" : "COM12";
        options.mapName = port_;
        if (GetParam())
            options.listenAddress = "127.0.0.1:0";
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        options.outDir = TempDir() + "/" + name;
        outDir_ = options.outDir;
        std::string error;
        ASSERT_TRUE(printer_.Start(options, &error)) << error;
        OpenDevice(kRTK410);
    }
    void OpenDevice(const char* name) {
        device_.reset();
        WriteDevice(name, {{"Port", port_}, {"PrinterLanguageModel", "002"}});
        if (std::string(name) == kQMX5500)
            device_ = std::make_unique<CPrinterQMX5500>();
        else
            device_ = std::make_unique<CPrinterRTK410>();
        ASSERT_EQ(device_->OpenService("POSPrinter", name, &control_), 0);
    }
    void TearDown() override {
        device_.reset();
        printer_.Stop();
    }
    void Enable() {
        ASSERT_EQ(device_->ClaimDevice(0), 0);
        device_->SetPropertyNumber(PIDX_PowerNotify, OPOS_PN_ENABLED);
        device_->SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(device_->ResultCode(), 0);
        ASSERT_TRUE(
            printer_.WaitStatus([](const vp::PrinterStatus& s) { return s.asbMask == 0x0F; }, 10s))
            << printer_.StatusText();
    }
    // The text the printer decoded, in order.
    std::vector<std::string> DecodedText() const {
        std::ifstream log(outDir_ + "/commands.log");
        std::vector<std::string> text;
        std::string line;
        while (std::getline(log, line)) {
            const std::size_t at = line.find("TEXT");
            if (at != std::string::npos)
                text.push_back(line.substr(at));
        }
        return text;
    }
    bool WaitStatusEvent(LONG value) {
        for (std::size_t n = 1; control_.WaitFor(ControlEvent::StatusUpdate, n); ++n) {
            const auto events = control_.EventsOf(ControlEvent::StatusUpdate);
            if (std::any_of(events.begin(), events.end(),
                            [&](const ControlEvent& e) { return e.value1 == value; }))
                return true;
        }
        return false;
    }

    std::string port_;
    RecordingControl control_;
    vp::VirtualPrinter printer_;
    std::string outDir_;
    std::unique_ptr<CThermalPrinter> device_;
};

TEST_P(PrinterReconnect, DemoReceiptAndStatusBack) {
    Enable();
    using Part = thermpos::demo::ReceiptPart;
    for (const Part& part : thermpos::demo::SampleReceipt(THERMPOS_DEMO_LOGO)) {
        SCOPED_TRACE(part.what);
        switch (part.kind) {
            case Part::kPrintNormal:
                EXPECT_EQ(device_->PrintNormal(2, part.data), 0);
                break;
            case Part::kPrintBarCode:
                EXPECT_EQ(device_->PrintBarCode(2, part.data, part.symbology, part.height,
                                                part.width, part.alignment, part.textPosition),
                          0);
                break;
            case Part::kSetBitmap:
                EXPECT_EQ(
                    device_->SetBitmap(part.bitmapNumber, 2, part.data, part.width, part.alignment),
                    0);
                break;
            case Part::kPrintBitmap:
                EXPECT_EQ(device_->PrintBitmap(2, part.data, part.width, part.alignment), 0);
                break;
            case Part::kRotatePrint:
                EXPECT_EQ(device_->RotatePrint(2, part.value), 0);
                break;
            case Part::kCutPaper:
                EXPECT_EQ(device_->CutPaper(part.value), 0);
                break;
        }
    }
    ASSERT_TRUE(printer_.WaitReceipts(1, 10s));
    vp::Image expected;
    const std::string golden = std::string(THERMPOS_PRINTER_GOLDEN_DIR) + "/demo-receipt.png";
    ASSERT_TRUE(thermpos::testing::ReadPngAsImage(golden, &expected)) << golden;
    const vp::Image rendered = printer_.Receipts().back().image;
    EXPECT_TRUE(rendered.width == expected.width && rendered.dots == expected.dots)
        << "the receipt differs from " << golden;

    printer_.SetCover(true);
    ASSERT_TRUE(WaitStatusEvent(PTR_SUE_COVER_OPEN));
    EXPECT_EQ(device_->GetPropertyNumber(PIDXPtr_CoverOpen), 1);
}

// Jobs are queued before, during and after an unplug; every one is printed exactly once:
// those the port had delivered before the cable went are printed by the printer, the
// others fail, raise an error event and print when retried after the replug.
TEST_P(PrinterReconnect, UnplugDuringAsyncPrintingLosesAndDoublesNothing) {
    // The RT-K410 refuses PowerNotify on a COM port; the QMX5500 reports power there.
    if (!GetParam())
        OpenDevice(kQMX5500);
    Enable();
    ASSERT_EQ(device_->GetPropertyNumber(PIDX_PowerNotify), OPOS_PN_ENABLED);
    device_->SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    std::mutex lock;
    std::condition_variable changed;
    bool replugged = false;
    bool failed = false;
    control_.SetErrorAnswer([&](const ControlEvent&) {
        std::unique_lock<std::mutex> guard(lock);
        failed = true;
        changed.notify_all();
        // Answered once the printer is back: the event thread waits here, so the
        // power-off report may only come after this answer.
        changed.wait_for(guard, 10s, [&] { return replugged; });
        guard.unlock();
        // Pacing only: the monitor reconnects on its own schedule; a retry before that
        // fails again and comes back here.
        std::this_thread::sleep_for(20ms);
        return OPOS_ER_RETRY;
    });

    constexpr int kJobs = 8;
    LONG lastOutput = 0;
    for (int k = 0; k < kJobs; ++k) {
        const std::string job = "job " + std::to_string(k) + "\n\x1B|fP";
        ASSERT_EQ(device_->PrintNormal(2, job.c_str()), 0);
        lastOutput = device_->GetPropertyNumber(PIDX_OutputID);
        if (k == kJobs / 2) {
            printer_.Unplug();
            // The host noticed: the monitor reported the power off, or a job failed.
            const auto noticed = [&] {
                const auto updates = control_.EventsOf(ControlEvent::StatusUpdate);
                return failed || std::any_of(updates.begin(), updates.end(), [](const auto& e) {
                           return e.value1 == OPOS_SUE_POWER_OFF;
                       });
            };
            {
                std::unique_lock<std::mutex> guard(lock);
                // Status events do not signal `changed`; look again now and then.
                for (int i = 0; i < 100 && !noticed(); ++i)
                    changed.wait_for(guard, 100ms);
                ASSERT_TRUE(noticed());
            }
            std::string error;
            ASSERT_TRUE(printer_.Replug(&error)) << error;
            {
                std::lock_guard<std::mutex> guard(lock);
                replugged = true;
            }
            changed.notify_all();
        }
    }
    ASSERT_TRUE(control_.WaitForOutput(lastOutput, 30s));
    EXPECT_TRUE(printer_.WaitReceipts(kJobs, 10s)) << printer_.ReceiptCount();
    const std::vector<std::string> text = DecodedText();
    for (int k = 0; k < kJobs; ++k) {
        const std::string want = "TEXT  \"job " + std::to_string(k) + "\"";
        const std::string alt = "TEXT \"job " + std::to_string(k) + "\"";
        EXPECT_EQ(
            std::count(text.begin(), text.end(), want) + std::count(text.begin(), text.end(), alt),
            1)
            << "job " << k << " in " << ::testing::PrintToString(text);
    }

    // Status back resumed on the new connection or device. A monitor that only met the
    // new one (a job's failure told of the unplug first) never saw the power go.
    const auto updates = control_.EventsOf(ControlEvent::StatusUpdate);
    if (std::any_of(updates.begin(), updates.end(),
                    [](const ControlEvent& e) { return e.value1 == OPOS_SUE_POWER_OFF; })) {
        ASSERT_TRUE(WaitStatusEvent(OPOS_SUE_POWER_ONLINE));
    }
    printer_.SetCover(true);
    ASSERT_TRUE(WaitStatusEvent(PTR_SUE_COVER_OPEN));
}

INSTANTIATE_TEST_SUITE_P(Ports, PrinterReconnect, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Network") : std::string("Serial");
                         });

}  // namespace
