// The printer classes on the real port library and the virtual printer over a pty: what
// reaches the printer, the claim of a printer that is switched off, the cover seen by the
// status monitor, and the demo receipt against its golden image.
//
// The port's status monitor writes status requests (GS a) on the same port whenever it
// likes, so nothing here counts bytes: checks read what the printer decoded, without the
// status requests, or wait on its state.
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "tests/so/printer/PrinterTestSupport.h"
#include "tests/support/png_read.h"
#include "tests/support/temp_env.h"
#include "tools/demo_receipt.h"
#include "vprinter/virtual_printer.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

using namespace std::chrono_literals;

constexpr char kMappedPort[] = "COM11";

class PrinterOnVirtualPrinter : public ::testing::Test {
  protected:
    void SetUp() override {
        // The claim probe gives the printer 100 ms to answer; this one is a thread of the
        // test process, which a sanitizer build under load may not schedule in time.
        thermpos::testing::ProcessEnv().Set("THERMPOS_PROBE_WAIT_MS", "1000");
        vp::VirtualPrinterOptions options;
        options.mapName = kMappedPort;
        options.outDir =
            TempDir() + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        outDir_ = options.outDir;
        std::string error;
        ASSERT_TRUE(printer_.Start(options, &error)) << error;
        WriteDevice(kRTK410, {{"Port", kMappedPort}, {"PrinterLanguageModel", "002"}});
        device_ = std::make_unique<CPrinterRTK410>();
        ASSERT_EQ(device_->OpenService("POSPrinter", kRTK410, &control_), 0);
    }
    void TearDown() override {
        device_.reset();
        printer_.Stop();
    }

    void Enable() {
        ASSERT_EQ(device_->ClaimDevice(0), 0);
        device_->SetPropertyNumber(PIDX_DeviceEnabled, 1);
        ASSERT_EQ(device_->ResultCode(), 0);
    }

    // The commands the printer decoded so far ("ESC R n=2", "TEXT \"abc\""), in order,
    // without the status requests.
    std::vector<std::string> Decoded() const {
        std::ifstream log(outDir_ + "/commands.log");
        std::vector<std::string> commands;
        std::string line;
        while (std::getline(log, line)) {
            // "    offset  MNEMONIC  params"
            const std::size_t start = line.find_first_not_of(" 0123456789");
            if (start == std::string::npos)
                continue;
            std::string command = line.substr(start);
            const std::size_t gap = command.find("  ");
            if (gap != std::string::npos)
                command.replace(gap, 2, " ");
            if (command.rfind("GS a", 0) != 0)
                commands.push_back(command);
        }
        return commands;
    }
    // Waits until the decoded commands satisfy `done`. The printer refreshes its status after
    // every command it takes, which is what wakes this wait.
    bool WaitDecoded(const std::function<bool(const std::vector<std::string>&)>& done) {
        return printer_.WaitStatus([&](const vp::PrinterStatus&) { return done(Decoded()); }, 10s);
    }
    bool WaitDecodedCount(std::size_t count) {
        return WaitDecoded([&](const std::vector<std::string>& d) { return d.size() >= count; });
    }

    RecordingControl control_;
    vp::VirtualPrinter printer_;
    std::string outDir_;
    std::unique_ptr<CPrinterRTK410> device_;
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
    EXPECT_EQ(printer_.Receipts().back().cut, vp::CutKind::Full);
}

TEST_F(PrinterOnVirtualPrinter, ClaimOfAPrinterThatIsSwitchedOff) {
    printer_.SetPower(false);
    EXPECT_EQ(device_->ClaimDevice(0), 107);
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_Claimed), 0);
    printer_.SetPower(true);
    EXPECT_EQ(device_->ClaimDevice(0), 0);
}

// Compared dot by dot: the PNG files' bytes depend on the zlib that compressed them.
TEST_F(PrinterOnVirtualPrinter, DemoReceiptMatchesItsGoldenImage) {
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
    const vp::Image rendered = printer_.Receipts().back().image;
    const std::string golden = std::string(THERMPOS_PRINTER_GOLDEN_DIR) + "/demo-receipt.png";
    std::string error;
    if (getenv("THERMPOS_UPDATE_GOLDEN") != nullptr) {
        ASSERT_TRUE(vp::WritePng(golden, rendered, &error)) << error;
    }
    vp::Image expected;
    ASSERT_TRUE(thermpos::testing::ReadPngAsImage(golden, &expected)) << golden;
    ASSERT_EQ(rendered.width, expected.width);
    ASSERT_EQ(rendered.height, expected.height);
    const std::string actual = TempDir() + "/demo-receipt.png";
    EXPECT_TRUE(rendered.dots == expected.dots)
        << "the receipt differs from " << golden << "; rendered as "
        << (vp::WritePng(actual, rendered, &error) ? actual : error);
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
    std::vector<std::string> text;
    for (const std::string& command : Decoded()) {
        if (command.rfind("TEXT", 0) == 0) {
            text.push_back(command);
        }
    }
    EXPECT_EQ(text, (std::vector<std::string>{"TEXT \"later\""}));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].value1, 114);
    EXPECT_EQ(errors[0].value2, 201);
    EXPECT_EQ(device_->GetPropertyNumber(PIDXPtr_CoverOpen), 0);
}
