// Shared set-up of the printer tests on the real port library and the virtual printer: a
// virtual printer started for each test (a serial line under a COM name, or loopback TCP
// under an IP_ name; in the test's process on Linux, the Linux program beside the test
// under Wine: tests/support/test_printer.h), a printer object opened on it, what the
// printer decoded, and (Linux only, VirtualPrinterGolden.cpp) the demo receipt with its
// golden image.
//
// The port's status monitor writes status requests (GS a) on the same port whenever it
// likes, so nothing here counts bytes: checks read what the printer decoded, without the
// status requests, or wait on its state.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/so/printer/PrinterTestSupport.h"
#include "tests/support/test_printer.h"
#include "vprinter/image.h"

namespace printertest {

// The printers' paper as the virtual printer renders it: 576 dots wide.
inline constexpr int kPaperWidth = 576;

class VirtualPrinterTest : public ::testing::Test {
  protected:
    void TearDown() override;

    // Starts the virtual printer as `port`: "COMn" on a serial line, "IP_127.0.0.1"
    // listening on a free loopback port, with the model's options. Its receipts and
    // command log go to a folder of its own. port_ is the name to open (under Wine a COM
    // name of the harness).
    void StartPrinter(const std::string& port, const thermpos::vprinter::ModelOptions& model = {});
    // The printer in this process, for the Linux-only tests that read its drawings.
    thermpos::vprinter::VirtualPrinter& Local();
    // Writes the device key (Port the printer's, plus values) and opens a printer object
    // of the model as `name`, closing the one before.
    template <class Model = CPrinterRTK410>
    void OpenDevice(const char* name = kRTK410, std::map<std::string, std::string> values = {}) {
        device_.reset();
        device_ = std::make_unique<Model>();
        values.emplace("Port", port_);
        OpenAs(*device_, name, control_, std::move(values));
    }
    void Enable() { ClaimAndEnable(*device_); }

    // The commands decoded so far ("ESC R n=2", "TEXT \"abc\""), in order, without the
    // status requests.
    std::vector<std::string> Decoded() const;
    // The TEXT commands among them.
    std::vector<std::string> DecodedText() const;

    // Prints the demo's sample receipt, with `logo` as its logo file (Linux only).
    void PrintSampleReceipt(const std::string& logo);

    std::string port_;
    std::string outDir_;
    RecordingControl control_;
    thermpos::testing::TestPrinter printer_;
    std::unique_ptr<CThermalPrinter> device_;
};

// (Linux only) Whether a rendered receipt is the golden image in `goldenFile`, dot for dot (the PNG
// files' bytes depend on the zlib that compressed them). On a difference the rendered one
// is written beside the test's files and named in the message.
::testing::AssertionResult MatchesGolden(const thermpos::vprinter::Image& rendered,
                                         const std::string& goldenFile);

}  // namespace printertest
