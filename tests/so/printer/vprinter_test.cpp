// The printer classes on the real port library and the virtual printer over a pty: what
// reaches the printer, the claim of a printer that is switched off, the cover seen by the
// status monitor, and the demo receipt against its golden image.
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "tests/so/printer/PrinterTestSupport.h"
#include "tools/demo_receipt.h"
#include "vprinter/pty.h"

using namespace printertest;
namespace vp = thermpos::vprinter;

namespace {

constexpr char kMappedPort[] = "COM11";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PrinterOnVirtualPrinter : public ::testing::Test {
  protected:
    void SetUp() override {
        vp::VirtualPrinterOptions options;
        options.mapName = kMappedPort;
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

    RecordingControl control_;
    vp::VirtualPrinter printer_;
    std::unique_ptr<CPrinterRTK410> device_;
};

}  // namespace

TEST_F(PrinterOnVirtualPrinter, ClaimAndEnableBytesReachThePrinter) {
    Enable();
    // The probe (1D 61 0F), the initialisation (1B 40 1B 52 02 1B 63 33 03) and the
    // status monitor's request.
    const bool consumed = printer_.WaitBytesConsumed(3 + 9 + 3, std::chrono::seconds(10));
    vp::PrinterStatus status = printer_.Status();
    ASSERT_TRUE(consumed) << printer_.StatusText();
    EXPECT_EQ(status.bytesAccepted, 15u);
    EXPECT_EQ(status.asbMask, 0x0F);
    EXPECT_EQ(status.internationalSet, 2);

    device_->SetPropertyNumber(PIDXPtr_CharacterSet, 850);
    ASSERT_EQ(device_->ResultCode(), 0);
    ASSERT_TRUE(printer_.WaitBytesConsumed(18, std::chrono::seconds(10)));
    EXPECT_EQ(printer_.Status().codeTable, 2);

    EXPECT_EQ(device_->PrintNormal(2, "hello\n\x1B|fP"), 0);
    ASSERT_TRUE(printer_.WaitReceipts(1, std::chrono::seconds(10)));
    EXPECT_EQ(printer_.Receipts().back().cut, vp::CutKind::Full);
}

TEST_F(PrinterOnVirtualPrinter, ClaimOfAPrinterThatIsSwitchedOff) {
    printer_.SetPower(false);
    EXPECT_EQ(device_->ClaimDevice(0), 107);
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_Claimed), 0);
    printer_.SetPower(true);
    EXPECT_EQ(device_->ClaimDevice(0), 0);
}

TEST_F(PrinterOnVirtualPrinter, DemoReceiptMatchesItsGoldenImage) {
    Enable();
    EXPECT_EQ(device_->PrintNormal(2, thermpos::demo::SampleReceipt()), 0);
    ASSERT_TRUE(printer_.WaitReceipts(1, std::chrono::seconds(10)));
    const std::string rendered = TempDir() + "/demo-receipt.png";
    std::string error;
    ASSERT_TRUE(vp::WritePng(rendered, printer_.Receipts().back().image, &error)) << error;
    const std::string golden = std::string(THERMPOS_PRINTER_GOLDEN_DIR) + "/demo-receipt.png";
    if (getenv("THERMPOS_UPDATE_GOLDEN") != nullptr) {
        std::ofstream(golden, std::ios::binary) << ReadFile(rendered);
    }
    EXPECT_EQ(ReadFile(rendered), ReadFile(golden))
        << "rendered " << rendered << " differs from " << golden;
}

TEST_F(PrinterOnVirtualPrinter, CoverReportedByTheMonitorStopsPrinting) {
    Enable();
    printer_.SetCover(true);
    ASSERT_TRUE(control_.WaitFor(ControlEvent::StatusUpdate, 1));
    EXPECT_EQ(control_.EventsOf(ControlEvent::StatusUpdate).at(0).value1, PTR_SUE_COVER_OPEN);
    EXPECT_EQ(device_->GetPropertyNumber(PIDXPtr_CoverOpen), 1);
    const std::uint64_t before = printer_.Status().bytesAccepted;
    EXPECT_EQ(device_->PrintNormal(2, "not now\n"), 114);
    EXPECT_EQ(device_->GetPropertyNumber(PIDX_ResultCodeExtended), 201);
    EXPECT_EQ(printer_.Status().bytesAccepted, before);

    // In AsyncMode the print waits for the answer to its error event; retry once the
    // cover is closed prints it once.
    device_->SetPropertyNumber(PIDXPtr_AsyncMode, 1);
    control_.SetErrorAnswer([&](const ControlEvent&) {
        printer_.SetCover(false);
        return OPOS_ER_RETRY;
    });
    EXPECT_EQ(device_->PrintNormal(2, "later\n\x1B|fP"), 0);
    ASSERT_TRUE(control_.WaitForOutput(device_->GetPropertyNumber(PIDX_OutputID)));
    ASSERT_TRUE(printer_.WaitReceipts(1, std::chrono::seconds(10)));
    const auto errors = control_.EventsOf(ControlEvent::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].value1, 114);
    EXPECT_EQ(errors[0].value2, 201);
    EXPECT_EQ(device_->GetPropertyNumber(PIDXPtr_CoverOpen), 0);
}
