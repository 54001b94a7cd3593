// `thermpos print` and `thermpos drawer` as a shop's script runs them: separate processes
// against ThermSO and the virtual printer on a pty, judged by exit code, message and what
// the printer decoded.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/automation.h"
#include "tests/so/PrinterAndDrawerTest.h"
#include "tests/tools/tool_run.h"

namespace {

using namespace std::chrono_literals;

class AppCommandsTest : public sotest::PrinterAndDrawerTest {
  protected:
    // Runs the tool with `input` on its standard input.
    thermpos::testing::ToolRun Tool(std::vector<std::string> args, const std::string& input = "") {
        return thermpos::testing::RunTool(std::move(args), outDir_, &input);
    }
};

TEST_F(AppCommandsTest, PrintReportsSuccessAndNamesWhatStoppedIt) {
    // Only the result is checked: the port's close discards what the kernel had not yet
    // passed to the printer, so a process that exits at once may lose its last bytes
    // when the printer is slow to read (README, "Known limits").
    thermpos::testing::ToolRun printed =
        Tool({"print", "--cut", kPrinter}, "Shell \x1B|bCreceipt\x1B|N\n");
    EXPECT_EQ(printed.status, 0) << printed.err;

    vp_.SetPower(false);
    ASSERT_TRUE(vp_.WaitStatus([](const auto& s) { return !s.powerOn; }, 10s));
    thermpos::testing::ToolRun off = Tool({"print", kPrinter}, "not printed\n");
    EXPECT_EQ(off.status, 3);
    EXPECT_NE(off.err.find("cannot"), std::string::npos) << off.err;
    EXPECT_NE(off.err.find("OPOS_E_"), std::string::npos) << off.err;
    vp_.SetPower(true);

    thermpos::testing::ToolRun unknown = Tool({"print", "No.Such.Printer"}, "x");
    EXPECT_EQ(unknown.status, 3);
    EXPECT_NE(unknown.err.find("OPOS_OR_REGBADNAME"), std::string::npos) << unknown.err;
    EXPECT_EQ(Tool({"print", kPrinter, outDir_ + "/missing.txt"}).status, 1);

    vp_.Stop();
    EXPECT_EQ(thermpos::testing::ReadWholeFile(outDir_ + "/commands.log").find("not printed"),
              std::string::npos);
}

TEST_F(AppCommandsTest, DrawerOpensReportsAndWaits) {
    EXPECT_EQ(Tool({"drawer", kDrawer, "status"}).out, "closed\n");
    thermpos::testing::ToolRun opened = Tool({"drawer", kDrawer, "open"});
    EXPECT_EQ(opened.status, 0) << opened.err;
    ASSERT_TRUE(vp_.WaitStatus([](const auto& s) { return s.drawerOpen; }, 10s));
    thermpos::testing::ToolRun status = Tool({"drawer", kDrawer, "status"});
    EXPECT_EQ(status.status, 5);
    EXPECT_EQ(status.out, "open\n");
    vp_.SetDrawer(false);
    EXPECT_EQ(Tool({"drawer", kDrawer, "wait"}).status, 0);
    EXPECT_EQ(Tool({"drawer", kDrawer, "status"}).status, 0);
    EXPECT_EQ(Tool({"drawer", kDrawer, "shut"}).status, 1);
}

// `wait` on a drawer left open waited as long as it stayed open, also when the printer
// went silent; a script gives it a limit and is told when it ran out.
TEST_F(AppCommandsTest, DrawerWaitGivesUpAfterItsTimeout) {
    vp_.SetDrawer(true);
    ASSERT_TRUE(vp_.WaitStatus([](const auto& s) { return s.drawerOpen; }, 10s));
    thermpos::testing::ToolRun late = Tool({"drawer", kDrawer, "wait", "--timeout", "300"});
    EXPECT_EQ(late.status, 4) << late.err;
    EXPECT_NE(late.err.find("still open after 300 ms"), std::string::npos) << late.err;
    struct Case {
        std::vector<std::string> args;
    } refused[] = {
        {{"drawer", kDrawer, "wait", "--timeout"}},
        {{"drawer", kDrawer, "wait", "--timeout", "soon"}},
        {{"drawer", kDrawer, "wait", "--timeout", "-5"}},
        {{"drawer", kDrawer, "status", "--timeout", "100"}},
    };
    for (const Case& c : refused)
        EXPECT_EQ(Tool(c.args).status, 1) << ::testing::PrintToString(c.args);

    vp_.SetDrawer(false);
    thermpos::testing::ToolRun closed = Tool({"drawer", kDrawer, "--timeout", "30000", "wait"});
    EXPECT_EQ(closed.status, 0) << closed.err;
}

// A printer that stops reading (its mechanism moving one line in seconds) used to keep
// `thermpos print` waiting without end; the run now ends with the time-out's message.
TEST_F(AppCommandsTest, PrintToAPrinterThatStopsReadingEndsWithAnError) {
    vp_.Stop();
    thermpos::vprinter::VirtualPrinter slow;
    thermpos::vprinter::VirtualPrinterOptions options;
    options.mapName = kPort;
    options.model.printSpeedMmPerS = 1;
    std::string error;
    const std::string slowDir = thermpos::testing::StartInNewFolder(slow, options, "slow", &error);
    ASSERT_FALSE(slowDir.empty()) << error;
    sotest::WriteDevice("POSPrinter", kPrinter, {{"Port", kPort}, {"WriteTimeout", "1000"}});

    std::string text;
    while (text.size() < 270 * 1024)
        text += "A line of a receipt that is far too long for any printer to buffer\n";
    thermpos::testing::ToolRun run =
        thermpos::testing::RunTool({"print", kPrinter}, slowDir, &text);
    EXPECT_EQ(run.status, 4) << run.err;
    EXPECT_NE(run.err.find("OPOS_E_TIMEOUT (112)"), std::string::npos) << run.err;
}

}  // namespace
