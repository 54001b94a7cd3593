// The demo's own virtual printer (the virtual printer is a Linux program; the Windows
// build has demo_vprinter_absent.cpp instead).
#include <memory>
#include <string>
#include <vector>

#include "tools/demo_printer.h"
#include "vprinter/virtual_printer.h"

namespace thermpos::tool {
namespace {

class VirtualDemoPrinter : public DemoPrinter {
  public:
    bool Start(const std::string& portName, const std::string& outDir, int drawerAutoCloseMs,
               std::string* error) {
        options_.mapName = portName;
        options_.outDir = outDir;
        options_.model.drawerAutoCloseMs = drawerAutoCloseMs;
        return printer_.Start(options_, error);
    }
    std::string PortName() const override { return options_.mapName; }
    std::string Description() const override {
        return options_.mapName + " -> " + printer_.DevicePath() + ", receipts in " +
               options_.outDir;
    }
    bool ControlsCover() const override { return true; }
    void SetCover(bool open) override { printer_.SetCover(open); }
    bool WaitReceipts(int count, std::chrono::seconds limit) override {
        return printer_.WaitReceipts(count, limit);
    }
    void Stop() override { printer_.Stop(); }
    std::vector<std::string> Summary() const override {
        std::vector<std::string> lines = printer_.ReceiptFiles();
        if (!printer_.LastOutputError().empty())
            lines.push_back("output error: " + printer_.LastOutputError());
        return lines;
    }

  private:
    vprinter::VirtualPrinter printer_;
    vprinter::VirtualPrinterOptions options_;
};

}  // namespace

std::unique_ptr<DemoPrinter> StartVirtualPrinter(const std::string& portName,
                                                 const std::string& outDir, int drawerAutoCloseMs,
                                                 std::string* error) {
    auto printer = std::make_unique<VirtualDemoPrinter>();
    if (!printer->Start(portName, outDir, drawerAutoCloseMs, error))
        return nullptr;
    return printer;
}

}  // namespace thermpos::tool
