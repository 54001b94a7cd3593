// `thermpos reg` and `thermpos install-devices`, run as a user would run them: output,
// exit codes and what ends up in the hive.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"
#include "tests/tools/tool_run.h"
#include "tools/device_catalogue.h"

namespace thermpos::testing {
namespace {

TEST_F(ToolTest, QueryPrintsLikeTheWindowsTool) {
    // Each tool run is a process start (slow under the sanitizers), so plain set-up goes
    // through the API and the tool does what only it does.
    HKEY dev = Create("SOFTWARE\\Dev");
    ASSERT_EQ(SetString(dev, nullptr, "QMX.Thermal.POSPrinter"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(dev, "Port", "COM1:"), ERROR_SUCCESS);
    RegCloseKey(dev);
    HKEY sub = Create("SOFTWARE\\Dev\\Sub");
    RegCloseKey(sub);
    ASSERT_EQ(
        Tool({"reg", "add", "hklm\\software\\dev", "/v", "Count", "/t", "REG_DWORD", "/d", "26"})
            .status,
        0);
    ASSERT_EQ(Tool({"reg", "add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Dev", "/v", "Raw", "/t",
                    "reg_binary", "/d", "1b40ff"})
                  .status,
              0);

    const ToolRun query = Tool({"reg", "query", "HKLM\\SOFTWARE\\Dev"});
    EXPECT_EQ(query.status, 0);
    EXPECT_EQ(query.out,
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Dev\n"
              "    (Default)    REG_SZ    QMX.Thermal.POSPrinter\n"
              "    Port    REG_SZ    COM1:\n"
              "    Count    REG_DWORD    0x1a\n"
              "    Raw    REG_BINARY    1B40FF\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Dev\\Sub\n");

    const ToolRun one = Tool({"reg", "query", "HKLM\\SOFTWARE\\DEV", "/v", "port"});
    EXPECT_EQ(one.status, 0);
    // The key echoes as typed, the value name as stored.
    EXPECT_EQ(one.out, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\DEV\n    Port    REG_SZ    COM1:\n\n");

    const ToolRun recursive = Tool({"reg", "query", "HKLM\\SOFTWARE\\Dev", "/s"});
    EXPECT_NE(recursive.out.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Dev\\Sub\n\n"), std::string::npos)
        << recursive.out;
}

TEST_F(ToolTest, FailuresExitNonZeroWithOneLine) {
    const auto failsWith = [&](std::vector<std::string> args, const std::string& text) {
        const ToolRun run = Tool(args);
        EXPECT_NE(run.status, 0) << args[1];
        EXPECT_EQ(run.err.rfind("thermpos " + args[0] + ": ", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
    };
    failsWith({"reg", "query", "HKLM\\SOFTWARE\\Missing"}, "unable to find");
    failsWith({"reg", "query", "HKCU\\Software"}, "Invalid key name");
    failsWith({"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "N", "/t", "REG_DWORD", "/d", "4294967296"},
              "invalid REG_DWORD");
    failsWith({"reg", "add", "HKLM\\SOFTWARE\\X", "/t", "REG_QWORD", "/d", "1"}, "unsupported");
    failsWith({"reg", "add", "HKLM\\SOFTWARE\\X", "/v"}, "needs an argument");
    failsWith({"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "a", "/ve"}, "only one");
    failsWith({"reg", "frobnicate"}, "unknown operation");
    failsWith({"reg", "import", dir_ + "/nothing.reg"}, "nothing.reg");
    failsWith({"install-devices", "--bogus"}, "unexpected argument");
    // A rejected add must not have created the key.
    EXPECT_EQ(GetString("SOFTWARE\\X", ""), "<error 2>");

    for (const char* command : {"reg", "install-devices"}) {
        const ToolRun help = Tool({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: thermpos ", 0), 0u);
    }
}

TEST_F(ToolTest, ExistingDataNeedsForceWithoutATerminal) {
    ASSERT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\P", "/v", "Port", "/d", "COM1:"}).status, 0);
    EXPECT_NE(Tool({"reg", "add", "HKLM\\SOFTWARE\\P", "/v", "Port", "/d", "COM2:"}).status, 0);
    EXPECT_EQ(GetString("SOFTWARE\\P", "Port"), "COM1:");
    EXPECT_NE(Tool({"reg", "delete", "HKLM\\SOFTWARE\\P"}).status, 0);
    EXPECT_EQ(GetString("SOFTWARE\\P", "Port"), "COM1:");

    EXPECT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\P", "/v", "Port", "/d", "COM2:", "/f"}).status,
              0);
    EXPECT_EQ(GetString("SOFTWARE\\P", "Port"), "COM2:");
    EXPECT_EQ(Tool({"reg", "delete", "HKLM\\SOFTWARE\\P", "/v", "Port", "/f"}).status, 0);
    EXPECT_EQ(GetString("SOFTWARE\\P", "Port"), "<error 2>");
    EXPECT_EQ(Tool({"reg", "delete", "HKLM\\SOFTWARE\\P", "-F"}).status, 0);
    EXPECT_EQ(GetString("SOFTWARE\\P", ""), "<error 2>");
}

TEST_F(ToolTest, ExportAndImportThroughTheTool) {
    ASSERT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\E", "/v", "Path", "/d", "C:\\a \"b\""}).status,
              0);
    const std::string file = dir_ + "/e.reg";
    ASSERT_EQ(Tool({"reg", "export", "HKLM\\SOFTWARE\\E", file}).status, 0);
    // A second export to the same file asks first; without a terminal the answer is no.
    EXPECT_NE(Tool({"reg", "export", "HKLM\\SOFTWARE\\E", file}).status, 0);
    EXPECT_EQ(Tool({"reg", "export", "HKLM\\SOFTWARE\\E", file, "/y"}).status, 0);
    ASSERT_EQ(Tool({"reg", "delete", "HKLM\\SOFTWARE\\E", "/f"}).status, 0);
    ASSERT_EQ(Tool({"reg", "import", file}).status, 0);
    EXPECT_EQ(GetString("SOFTWARE\\E", "Path"), "C:\\a \"b\"");
    // By default the file is what Windows' regedit reads; --utf8 keeps the hive's form.
    EXPECT_EQ(ReadFile(file).rfind(std::string("\xFF\xFEW\0i\0n\0", 8), 0), 0u);
    ASSERT_EQ(Tool({"reg", "export", "HKLM\\SOFTWARE\\E", file, "--utf8", "/y"}).status, 0);
    EXPECT_EQ(ReadFile(file).rfind("Windows Registry Editor Version 5.00\n\n[", 0), 0u);
    ASSERT_EQ(Tool({"reg", "delete", "HKLM\\SOFTWARE\\E", "/f"}).status, 0);
    ASSERT_EQ(Tool({"reg", "import", file}).status, 0);
    EXPECT_EQ(GetString("SOFTWARE\\E", "Path"), "C:\\a \"b\"");
}

TEST_F(ToolTest, ImportOfAPipeIsRefusedWithoutWaitingForAWriter) {
    const std::string fifo = dir_ + "/pipe.reg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const ToolRun run = Tool({"reg", "import", fifo});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(fifo + ": not a regular file"), std::string::npos) << run.err;
}

TEST_F(ToolTest, APipedYesDoesNotAnswerThePrompts) {
    ASSERT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\P", "/v", "Port", "/d", "COM1:"}).status, 0);
    const std::string file = dir_ + "/p.reg";
    ASSERT_EQ(Tool({"reg", "export", "HKLM\\SOFTWARE\\P", file}).status, 0);
    const std::string exported = ReadWholeFile(file);
    ASSERT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\P", "/v", "Other", "/d", "x"}).status, 0);
    const std::string yes = "y\nyes\nY\n";
    struct Case {
        const char* what;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"overwrite a value", {"reg", "add", "HKLM\\SOFTWARE\\P", "/v", "Port", "/d", "COM2:"}},
        {"delete a value", {"reg", "delete", "HKLM\\SOFTWARE\\P", "/v", "Port"}},
        {"delete every value", {"reg", "delete", "HKLM\\SOFTWARE\\P", "/va"}},
        {"delete the key", {"reg", "delete", "HKLM\\SOFTWARE\\P"}},
        {"overwrite an export", {"reg", "export", "HKLM\\SOFTWARE\\P", file}},
    };
    for (const Case& c : cases) {
        const ToolRun run = RunTool(c.args, dir_, &yes);
        EXPECT_NE(run.status, 0) << c.what;
        EXPECT_NE(run.out.find("cancelled"), std::string::npos) << c.what << ": " << run.out;
    }
    EXPECT_EQ(GetString("SOFTWARE\\P", "Port"), "COM1:");
    EXPECT_EQ(GetString("SOFTWARE\\P", "Other"), "x");
    EXPECT_EQ(ReadWholeFile(file), exported);
}

TEST_F(ToolTest, ExportWritesOnlyARegularFileOrStandardOutput) {
    ASSERT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "Port", "/d", "COM1:"}).status, 0);
    // A pipe nobody reads would block the open (and a device its carrier) for ever.
    const std::string fifo = dir_ + "/pipe.reg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& target : {fifo, std::string("/dev/null"), dir_}) {
        const ToolRun run = Tool({"reg", "export", "HKLM\\SOFTWARE\\X", target, "/y"});
        EXPECT_NE(run.status, 0) << target;
        EXPECT_NE(run.err.find(target + ": not a regular file"), std::string::npos) << run.err;
    }
    const ToolRun out = Tool({"reg", "export", "HKLM\\SOFTWARE\\X", "-", "--utf8"});
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"Port\"=\"COM1:\"\n\n");
}

TEST_F(ToolTest, AHiveOfAnotherUserIsRefusedWithOwnerAndMode) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a file of another user is made with chown, which needs root";
    ASSERT_EQ(Tool({"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "Port", "/d", "COM1:"}).status, 0);
    ASSERT_EQ(chown(hive_.c_str(), 65534, 65534), 0);
    const ToolRun run = Tool({"reg", "query", "HKLM\\SOFTWARE\\X"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(hive_ + ": owner nobody (uid 65534), mode 0644"), std::string::npos)
        << run.err;
}

TEST_F(ToolTest, AddThatTheStoreRefusesCreatesNothing) {
    const auto keyExists = [](const char* path) {
        HKEY key = nullptr;
        const LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
        if (r == ERROR_SUCCESS)
            RegCloseKey(key);
        return r != ERROR_FILE_NOT_FOUND;
    };
    const ToolRun badName = Tool({"reg", "add", "HKLM\\SOFTWARE\\Made\\Deep", "/v",
                                  std::string("a\x01") + "b", "/d", "x", "/f"});
    EXPECT_NE(badName.status, 0);
    EXPECT_NE(badName.err.find("Invalid key or value name"), std::string::npos) << badName.err;
    EXPECT_FALSE(keyExists("SOFTWARE\\Made"));

    // Refused only when saving: the keys made on the way are taken back.
    WriteNearlyFullHive(64 * 1024);
    const ToolRun full = Tool({"reg", "add", "HKLM\\SOFTWARE\\Full\\New\\Deep", "/v", "Big", "/t",
                               "REG_BINARY", "/d", std::string(100000, 'a'), "/f"});
    EXPECT_NE(full.status, 0);
    EXPECT_NE(full.err.find("would grow past"), std::string::npos) << full.err;
    EXPECT_FALSE(keyExists("SOFTWARE\\Full\\New"));
    EXPECT_EQ(GetString("SOFTWARE\\Full", "Port"), "COM1:");
}

TEST_F(ToolTest, InstallDevicesWritesTheNineKeysAndKeepsEdits) {
    const ToolRun first = Tool({"install-devices", "--port", "COM1:"});
    ASSERT_EQ(first.status, 0) << first.err;

    for (const auto& device : devices::kLogicalDevices) {
        const std::string path = devices::DeviceKeyPath(device);
        const bool printer = std::string(device.deviceClass) == "POSPrinter";
        EXPECT_EQ(GetString(path.c_str(), ""),
                  printer ? "QMX.Thermal.POSPrinter" : "QMX.Thermal.CashDrawer");
        EXPECT_EQ(GetString(path.c_str(), "Version"), "1008000");
        EXPECT_EQ(GetString(path.c_str(), "Port"), "COM1:");
        EXPECT_NE(GetString(path.c_str(), "DeviceDescription").rfind("<error", 0), 0u);
        EXPECT_NE(GetString(path.c_str(), "ServiceObjectDescription").rfind("<error", 0), 0u);
        if (printer) {
            EXPECT_EQ(GetString(path.c_str(), "FamilyID"), "1");
            EXPECT_EQ(GetString(path.c_str(), "PhysicalDeviceID"),
                      devices::PhysicalDeviceId(device));
            EXPECT_EQ(GetString(path.c_str(), "PrinterID"), "<error 2>");
        } else {
            EXPECT_EQ(GetString(path.c_str(), "PrinterID"), device.printerName);
            EXPECT_EQ(GetString(path.c_str(), "FamilyID"), "<error 2>");
        }
    }
    EXPECT_EQ(GetString(platform::regpath::DeviceKeyPath(platform::regpath::kPrinterClass,
                                                         "RTK6100.TALVERN.POSPrinter")
                            .c_str(),
                        "PhysicalDeviceID"),
              "TALVERNRT-K6100");

    // What an installer or the configuration utility changed survives a second run ...
    const std::string cd1Path =
        platform::regpath::DeviceKeyPath(platform::regpath::kDrawerClass, "RTK410.TALVERN.CD1");
    const char* cd1 = cd1Path.c_str();
    HKEY key = Create(cd1);
    ASSERT_EQ(SetString(key, "Port", "LPT1:"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteValueA(key, "Version"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Tool({"install-devices", "--port", "COM3:"}).status, 0);
    EXPECT_EQ(GetString(cd1, "Port"), "LPT1:");
    EXPECT_EQ(GetString(cd1, "Version"), "1008000");  // ... and missing values come back
    // ... unless forced.
    ASSERT_EQ(Tool({"install-devices", "--port", "COM3:", "--force"}).status, 0);
    EXPECT_EQ(GetString(cd1, "Port"), "COM3:");
}

TEST_F(ToolTest, InstallDevicesOnAReadOnlyHiveFails) {
    WriteFile(hive_, "Windows Registry Editor Version 5.00\n");
    ASSERT_EQ(chmod(hive_.c_str(), 0444), 0);
    const ToolRun run = Tool({"install-devices"});
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("access denied"), std::string::npos) << run.err;
}

TEST(LogicalDeviceTable, DrawersBelongToPrintersOfTheTable) {
    std::set<std::string> printers;
    std::set<std::string> names;
    for (const auto& device : devices::kLogicalDevices) {
        EXPECT_TRUE(names.insert(device.name).second) << device.name;
        if (device.drawerNumber == 0)
            printers.insert(device.name);
    }
    EXPECT_EQ(printers.size(), 3u);
    EXPECT_EQ(names.size(), 9u);
    for (const auto& device : devices::kLogicalDevices) {
        EXPECT_EQ(printers.count(device.printerName), 1u) << device.name;
        EXPECT_EQ(devices::FindLogicalDevice(device.deviceClass, device.name), &device);
    }
    // Every printer of the table is served by a model, and every model has its printer here.
    for (const std::string& printer : printers) {
        EXPECT_NE(devices::PhysicalDeviceId(*devices::FindLogicalDevice("POSPrinter", printer)), "")
            << printer;
    }
    for (const so::ModelProfile* model : so::ModelProfiles())
        EXPECT_EQ(printers.count(model->deviceName), 1u) << model->deviceName;
    EXPECT_NE(devices::FindLogicalDevice("cashdrawer", "rtk6100.talvern.cd2"), nullptr);
    EXPECT_EQ(devices::FindLogicalDevice("POSPrinter", "RTK410.TALVERN.CD1"), nullptr);
}

}  // namespace
}  // namespace thermpos::testing
