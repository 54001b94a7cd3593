// `thermpos ports map|unmap`, run as a user would run them.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/tools/tool_run.h"

namespace thermpos::testing {
namespace {

using PortsToolTest = ToolTest;

TEST_F(PortsToolTest, ControlCharacterInNameOrPathIsNamedAndNothingIsWritten) {
    struct Case {
        std::string name, path, cause;
    };
    const Case cases[] = {
        {"COM3\n", "/dev/ttyS0", "the port name contains a control character"},
        {"CO\x01M3", "/dev/ttyS0", "the port name contains a control character"},
        {"COM3", "/dev/tty\nS0", "the device path contains a control character"},
        {"COM3", std::string("/dev/tty\x7fS0"), "the device path contains a control character"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool({"ports", "map", c.name, c.path});
        EXPECT_NE(run.status, 0) << run.err;
        EXPECT_NE(run.err.find(c.cause), std::string::npos) << run.err;
        // The name is echoed escaped, so the message stays on one line.
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
    }
    // Not even the Ports key was created.
    platform::registry::KeyHolder ports;
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, platform::regpath::kPorts, 0, KEY_READ, ports.Out()),
        ERROR_FILE_NOT_FOUND);
    ports.Reset();

    const ToolRun unmap = Tool({"ports", "unmap", "COM3\t"});
    EXPECT_NE(unmap.status, 0);
    EXPECT_NE(unmap.err.find("unmap COM3\\x09: the port name contains a control character"),
              std::string::npos)
        << unmap.err;
}

TEST_F(PortsToolTest, MapAndUnmapReportTheirOtherCauses) {
    EXPECT_EQ(Tool({"ports", "map", "COM3:", "/dev/ttyUSB0"}).status, 0);
    EXPECT_EQ(GetString(platform::regpath::kPorts, "COM3"), "/dev/ttyUSB0");

    const ToolRun relative = Tool({"ports", "map", "COM4", "dev/ttyUSB1"});
    EXPECT_NE(relative.err.find("the device path must be absolute"), std::string::npos)
        << relative.err;
    const ToolRun backslash = Tool({"ports", "map", "A\\B", "/dev/ttyUSB1"});
    EXPECT_NE(backslash.err.find("invalid port name"), std::string::npos) << backslash.err;

    EXPECT_EQ(Tool({"ports", "unmap", "com3"}).status, 0);
    const ToolRun again = Tool({"ports", "unmap", "COM3"});
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.err.find("not found"), std::string::npos) << again.err;
}

TEST_F(PortsToolTest, OnlyDevicesAreMappedNotFilesAPrintWouldOverwrite) {
    const std::string file = dir_ + "/notes.txt";
    WriteFile(file, "keep me\n");
    const std::string link = dir_ + "/ttyV0";  // the kind of link a virtual printer makes
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    const std::string fileLink = dir_ + "/ttyV1";
    ASSERT_EQ(symlink(file.c_str(), fileLink.c_str()), 0);
    for (const std::string& path : {file, fileLink, dir_}) {
        const ToolRun run = Tool({"ports", "map", "COM3", path});
        EXPECT_NE(run.status, 0) << path;
        EXPECT_NE(run.err.find("not a device"), std::string::npos) << run.err;
    }
    EXPECT_EQ(GetString(platform::regpath::kPorts, "COM3"), "<error 2>");
    EXPECT_EQ(ReadWholeFile(file), "keep me\n");

    EXPECT_EQ(Tool({"ports", "map", "COM3", link}).status, 0);
    EXPECT_EQ(Tool({"ports", "map", "COM4", "/dev/null"}).status, 0);
    EXPECT_EQ(Tool({"ports", "map", "COM5", "socket://127.0.0.1:9100"}).status, 0);
    EXPECT_EQ(GetString(platform::regpath::kPorts, "COM3"), link);
}

}  // namespace
}  // namespace thermpos::testing
