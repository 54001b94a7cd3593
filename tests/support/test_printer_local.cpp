// The tests' virtual printer on Linux: in the test's own process, on a pty (or loopback
// TCP) entered in the Ports map under the name the test asked for. See test_printer.h.
#include <cstdlib>

#include "tests/support/test_printer.h"
#include "tests/support/virtual_printer.h"

namespace thermpos::testing {

namespace vp = thermpos::vprinter;

namespace {

class LocalBackend final : public TestPrinter::Backend {
  public:
    bool Start(const std::string& port, const vp::ModelOptions& model, std::string* hostPort,
               std::string* outDir, std::string* error) override {
        vp::VirtualPrinterOptions options;
        options.model = model;
        options.mapName = port;
        if (port.rfind("IP_", 0) == 0)
            options.listenAddress = "127.0.0.1:0";
        *outDir = StartInNewFolder(printer_, options, "printer", error);
        *hostPort = port;
        return !outDir->empty();
    }
    void Stop() override { printer_.Stop(); }
    std::string Control(const std::string& line) override {
        return printer_.Control(line, nullptr);
    }
    vp::PrinterStatus Status() override { return printer_.Status(); }
    bool WaitStatus(const std::function<bool(const vp::PrinterStatus&)>& condition,
                    std::chrono::milliseconds timeout) override {
        return printer_.WaitStatus(condition, timeout);
    }
    int ReceiptCount() override { return printer_.ReceiptCount(); }
    bool WaitReceipts(int count, std::chrono::milliseconds timeout) override {
        return printer_.WaitReceipts(count, timeout);
    }
    vp::VirtualPrinter* InProcess() override { return &printer_; }

  private:
    vp::VirtualPrinter printer_;
};

}  // namespace

std::unique_ptr<TestPrinter::Backend> LocalPrinterBackend() {
    return std::make_unique<LocalBackend>();
}

// THERMPOS_VPRINTER names the program to run as a child instead, as under Wine.
std::unique_ptr<TestPrinter::Backend> DefaultPrinterBackend() {
    const char* program = std::getenv("THERMPOS_VPRINTER");
    if (program && *program)
        return ChildPrinterBackend(program, "", "");
    return LocalPrinterBackend();
}

std::string HostPath(const std::string& linuxPath) {
    return linuxPath;
}

}  // namespace thermpos::testing
