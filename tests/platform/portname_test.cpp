// Port-name rules shared by the port library, the device layer, the service objects and
// the configuration utility: a fault here sends a port to the wrong kind of handling.
// (The status monitor's own kind rule is tested with the monitor's rules, tests/so/core.)
#include "platform/portname.h"

#include <gtest/gtest.h>

#include "platform/registry_paths.h"

namespace thermpos::platform::portname {
namespace {

TEST(PortNameTest, KindsByTheLeadingLettersIgnoringCase) {
    EXPECT_EQ(KindOf("usb001"), PortKind::Usb);
    EXPECT_EQ(KindOf("Lpt1:"), PortKind::Parallel);
    EXPECT_EQ(KindOf("com3"), PortKind::Serial);
    EXPECT_EQ(KindOf("IrDA"), PortKind::Infrared);
    EXPECT_EQ(KindOf("ip_host"), PortKind::Network);
    EXPECT_EQ(KindOf("PRN"), PortKind::None);
    EXPECT_EQ(KindOf("CO"), PortKind::None);
}

TEST(PortNameTest, SamePortIgnoresCaseAndOneColonOnly) {
    EXPECT_TRUE(SamePort("COM1", "com1:"));
    EXPECT_TRUE(SamePort("usb001", "USB001"));
    EXPECT_FALSE(SamePort("COM1", "COM10"));
    EXPECT_FALSE(SamePort("COM1::", "COM1"));
    EXPECT_FALSE(SamePort("\\\\.\\COM1", "COM1"));
}

TEST(PortNameTest, MapNameDropsNamespaceAndOneColon) {
    EXPECT_EQ(MapName("\\\\.\\lpt2:"), "lpt2");
    EXPECT_EQ(MapName("\\\\?\\COM3"), "COM3");
    EXPECT_EQ(MapName("COM3::"), "COM3:");
    EXPECT_EQ(MapName("\\\\"), "\\\\");
}

TEST(PortNameTest, DefaultDevicesOnlyForNumberedSerialAndParallelNames) {
#ifdef _WIN32  // the device namespace names the ports themselves
    EXPECT_EQ(DefaultDevicePath("com3"), "\\\\.\\COM3");
    EXPECT_EQ(DefaultDevicePath("LPT1"), "\\\\.\\LPT1");
    EXPECT_EQ(DefaultDevicePath("COM123456"), "\\\\.\\COM123456");
#else
    EXPECT_EQ(DefaultDevicePath("com3"), "/dev/ttyS2");
    EXPECT_EQ(DefaultDevicePath("LPT1"), "/dev/lp0");
    EXPECT_EQ(DefaultDevicePath("COM123456"), "/dev/ttyS123455");
#endif
    for (const char* name : {"COM0", "LPT", "LPT1x", "COM1234567", "USB001", "IRDA1", "COM-1"})
        EXPECT_EQ(DefaultDevicePath(name), "") << name;
}

TEST(RegistryPathsTest, DeviceKeyPaths) {
    EXPECT_EQ(platform::regpath::DeviceKeyPath("POSPrinter", "A"),
              "SOFTWARE\\OLEforRetail\\ServiceOPOS\\POSPrinter\\A");
    EXPECT_EQ(std::string(platform::regpath::kPrinterRoot) + "A",
              platform::regpath::DeviceKeyPath("POSPrinter", "A"));
}

}  // namespace
}  // namespace thermpos::platform::portname
