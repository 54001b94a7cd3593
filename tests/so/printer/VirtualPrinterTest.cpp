#include "tests/so/printer/VirtualPrinterTest.h"

#include "tests/support/printer_log.h"

namespace printertest {

namespace vp = thermpos::vprinter;

void VirtualPrinterTest::TearDown() {
    device_.reset();
    printer_.Stop();
}

void VirtualPrinterTest::StartPrinter(const std::string& port, const vp::ModelOptions& model) {
    std::string error;
    ASSERT_TRUE(printer_.Start(port, model, &error)) << error;
    port_ = printer_.Port();
    outDir_ = printer_.OutDir();
}

std::vector<std::string> VirtualPrinterTest::Decoded() const {
    return thermpos::testing::DecodedCommands(outDir_, {"GS a"});
}

std::vector<std::string> VirtualPrinterTest::DecodedText() const {
    std::vector<std::string> text;
    for (std::string& command : Decoded())
        if (command.rfind("TEXT", 0) == 0)
            text.push_back(std::move(command));
    return text;
}

}  // namespace printertest
