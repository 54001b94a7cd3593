// The port list over fake /dev and /sys trees, the Ports map editing, and the USB printer
// scan followed all the way to an open by "USB001".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/devfile.h"
#include "platform/portlist.h"
#include "platform/registry.h"
#include "portlib/PortOps.h"
#include "tests/support/fake_device_backend.h"
#include "tests/support/port_env.h"

namespace thermpos::testing {
namespace {

namespace fs = std::filesystem;
using namespace thermpos::platform::portlist;
using Names = std::vector<std::string>;

class PortListTest : public PortEnvTest {
  protected:
    void SetUp() override {
        PortEnvTest::SetUp();
        roots_.dev = dir_ + "/dev";
        roots_.sys = dir_ + "/sys";
        fs::create_directories(roots_.dev + "/usb");
        fs::create_directories(roots_.sys + "/class");
    }
    void Touch(const std::string& path, const std::string& text = "") {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text;
    }
    void Node(const std::string& name) { Touch(roots_.dev + "/" + name); }

    Roots roots_;
};

TEST_F(PortListTest, MapAndNodesGiveSortedSpoolerNames) {
    for (const char* n : {"ttyS0", "ttyS1", "ttyS10", "ttyS2", "lp0", "ttyUSB0", "null", "tty1",
                          "ttySX", "lpt", "usb/lp0"})
        Node(n);
    // A legacy node with no UART behind it is not a port.
    Touch(roots_.sys + "/class/tty/ttyS2/type", "0\n");
    Touch(roots_.sys + "/class/tty/ttyS1/type", "4\n");
    RegistryPorts reg;
    reg.map = {{"COM7", "/dev/pts/3"},
               {"USB#Vid_5D17&Pid_0A41#X#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}", "/dev/usb/lp0"},
               {"LPT3", "/dev/usb/lp0"},
               {"IRDA", "/dev/ttyS3"}};
    reg.usbPortNames = {"USB002", "USB001"};
    EXPECT_EQ(
        ListPorts(reg, roots_),
        (Names{"COM1:", "COM2:", "COM7:", "COM11:", "LPT1:", "LPT3:", "USB001", "USB002", "IRDA"}));
}

TEST_F(PortListTest, MappedNameHidesTheDefaultNodeAndDuplicatesGo) {
    Node("ttyS0");
    Node("ttyS1");
    RegistryPorts reg;
    reg.map = {{"com1:", "/dev/ttyUSB0"}, {"COM1", "/dev/ttyACM0"}};
    reg.usbPortNames = {"USB001", "usb001"};
    EXPECT_EQ(ListPorts(reg, roots_), (Names{"COM1:", "COM2:", "USB001"}));
}

TEST_F(PortListTest, NothingPresentIsAnEmptyList) {
    EXPECT_TRUE(ListPorts({}, roots_).empty());
    EXPECT_TRUE(ListPorts({}, Roots{dir_ + "/missing", dir_ + "/missing"}).empty());
}

TEST_F(PortListTest, UnreachedNodesAreTheUnmappedOnes) {
    for (const char* n : {"ttyUSB0", "ttyUSB1", "ttyACM0", "ttyS0", "usb/lp0", "usb/lp1"})
        Node(n);
    RegistryPorts reg;
    reg.map = {{"COM5", roots_.dev + "/ttyUSB1"}, {"X", roots_.dev + "/usb/lp1"}};
    EXPECT_EQ(UnreachedNodes(reg, roots_),
              (Names{roots_.dev + "/ttyACM0", roots_.dev + "/ttyUSB0", roots_.dev + "/usb/lp0"}));
}

TEST_F(PortListTest, MapAndUnmapEditThePortsKey) {
    EXPECT_EQ(SetPortMapping("COM3:", "/dev/ttyUSB0"), ERROR_SUCCESS);
    EXPECT_EQ(SetPortMapping("LPT2", "/dev/usb/lp1"), ERROR_SUCCESS);
    RegistryPorts reg;
    ASSERT_EQ(ReadRegistryPorts(&reg), ERROR_SUCCESS);
    ASSERT_EQ(reg.map.size(), 2u);
    EXPECT_EQ(reg.map[0].name, "COM3");
    EXPECT_EQ(reg.map[0].path, "/dev/ttyUSB0");
    std::string path;
    EXPECT_EQ(platform::devfile::ResolvePortName("com3:", &path), ERROR_SUCCESS);
    EXPECT_EQ(path, "/dev/ttyUSB0");

    EXPECT_EQ(RemovePortMapping("com3"), ERROR_SUCCESS);
    EXPECT_EQ(RemovePortMapping("COM3"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(ReadRegistryPorts(&reg), ERROR_SUCCESS);
    EXPECT_EQ(reg.map.size(), 1u);

    EXPECT_EQ(SetPortMapping("", "/dev/x"), ERROR_INVALID_NAME);
    EXPECT_EQ(SetPortMapping(":", "/dev/x"), ERROR_INVALID_NAME);
    EXPECT_EQ(SetPortMapping("A\\B", "/dev/x"), ERROR_INVALID_NAME);
    EXPECT_EQ(SetPortMapping(std::string(256, 'C'), "/dev/x"), ERROR_INVALID_NAME);
    EXPECT_EQ(SetPortMapping("COM4", "dev/x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetPortMapping("COM4", ""), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
}

class UsbScanTest : public PortListTest {
  protected:
    // A usblp printer as sysfs shows it: usbmisc/lpN/device -> the printer interface,
    // whose parent is the USB device with its descriptors.
    void AddPrinter(int lp, const std::string& busPath, const std::string& vid,
                    const std::string& pid, const std::string& serial, const std::string& mfg,
                    const std::string& product, const std::string& deviceId = "") {
        std::string device = roots_.sys + "/devices/pci0000:00/usb1/" + busPath;
        std::string iface = device + "/" + busPath + ":1.0";
        fs::create_directories(iface);
        if (!vid.empty())
            Touch(device + "/idVendor", vid + "\n");
        Touch(device + "/idProduct", pid + "\n");
        if (!serial.empty())
            Touch(device + "/serial", serial + "\n");
        Touch(device + "/manufacturer", mfg + "\n");
        Touch(device + "/product", product + "\n");
        if (!deviceId.empty())
            Touch(iface + "/ieee1284_id", deviceId + "\n");
        std::string node = roots_.sys + "/class/usbmisc/lp" + std::to_string(lp);
        fs::create_directories(node);
        fs::create_symlink(iface, node + "/device");
        Node("usb/lp" + std::to_string(lp));
    }
};

TEST_F(UsbScanTest, ScannedPrinterOpensAsUsb001) {
    AddPrinter(0, "1-1", "5d17", "0a41", "ABC123", "Q M X", "Thermal",
               "MFG:QMX;CMD:ESC/POS;MDL:RT-K410;CLS:PRINTER;");
    std::vector<UsbPrinter> found;
    ASSERT_EQ(ScanUsbPrinters(roots_, &found), ERROR_SUCCESS);
    ASSERT_EQ(found.size(), 1u);
    const UsbPrinter& p = found[0];
    EXPECT_EQ(p.modelKey, "QMXRT-K410");  // from the device id, not the descriptors
    EXPECT_EQ(p.hardwareKey, "Vid_5D17&Pid_0A41");
    EXPECT_EQ(p.instance, "ABC123");
    EXPECT_EQ(p.portName, "USB001");
    EXPECT_EQ(p.printInstance, p.parentIdPrefix + "&USB001");
    EXPECT_EQ(p.node, roots_.dev + "/usb/lp0");

    // The walk finds it by port name and model key and asks for the device namespace name,
    // which the device-file layer maps to the node.
    linkport::DeviceBackend& system = linkport::SystemBackend();
    FakeDeviceBackend io;
    HANDLE const printer = reinterpret_cast<HANDLE>(std::uintptr_t{0x300});
    std::string expected =
        "\\\\.\\USB#Vid_5D17&Pid_0A41#ABC123#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
    io.devices[expected] = printer;
    HANDLE handle = nullptr;
    ASSERT_EQ(linkport::OpenPort(io, "USB001", &handle, "QMXRT-K410"), 1);
    EXPECT_EQ(handle, printer);
    std::string path;
    ASSERT_EQ(platform::devfile::ResolvePortName(expected, &path), ERROR_SUCCESS);
    EXPECT_EQ(path, roots_.dev + "/usb/lp0");

    // And for real, with a plain file standing in for the printer node.
    ASSERT_EQ(linkport::OpenPort(system, "USB001", &handle, "QMXRT-K410"), 1);
    EXPECT_EQ(linkport::WritePort(system, handle, "\x1b@", 2, nullptr), 0);
    EXPECT_EQ(linkport::ClosePort(system, handle), 1);
    std::ifstream in(roots_.dev + "/usb/lp0");
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes, "\x1b@");
    EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
}

TEST_F(UsbScanTest, PortNamesStayWithTheirDeviceAcrossScans) {
    AddPrinter(0, "1-1", "5D17", "0B62", "", "TALVERN", "RT-K6100");
    ASSERT_EQ(ScanUsbPrinters(roots_, nullptr), ERROR_SUCCESS);
    AddPrinter(1, "1-2", "5d17", "0a41", "S2", "QMX", "QMX5500");
    std::vector<UsbPrinter> found;
    ASSERT_EQ(ScanUsbPrinters(roots_, &found), ERROR_SUCCESS);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].modelKey, "TALVERNRT-K6100");
    EXPECT_EQ(found[0].instance, "1-1");  // no serial: the bus path names the instance
    EXPECT_EQ(found[0].portName, "USB001");
    EXPECT_EQ(found[1].modelKey, "QMXQMX5500");
    EXPECT_EQ(found[1].portName, "USB002");

    RegistryPorts reg;
    ASSERT_EQ(ReadRegistryPorts(&reg), ERROR_SUCCESS);
    EXPECT_EQ(reg.usbPortNames, (Names{"USB001", "USB002"}));
    EXPECT_EQ(ListPorts(reg, roots_), (Names{"USB001", "USB002"}))
        << "symbolic names in the map are not ports";
}

TEST_F(UsbScanTest, IncompleteOrHostileEntriesAreSkipped) {
    AddPrinter(0, "1-1", "", "0a41", "S1", "QMX", "RT-K410");      // no idVendor
    AddPrinter(1, "1-2", "zz17", "0a41", "S2", "QMX", "RT-K410");  // not hex
    AddPrinter(2, "1-3", "5d17", "0a41", "S3", "", "");            // no model at all
    AddPrinter(3, "1-4", "5d17", "0a41", "a\\b#c&d{e}", "QMX", "RT K410");
    fs::create_directories(roots_.sys + "/class/usbmisc/lp9");  // no device link
    std::vector<UsbPrinter> found;
    ASSERT_EQ(ScanUsbPrinters(roots_, &found), ERROR_SUCCESS);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].instance, "abcde");
    EXPECT_EQ(found[0].modelKey, "QMXRTK410");
    EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
}

// The system's USB device ids, from which the port list keeps the printers of known models:
// a misread id drops a printer we support or keeps a stranger.
TEST(UsbInstanceIdTest, HardwareKeyIsVendorAndProductOnly) {
    const struct {
        const char* id;
        const char* key;  // null: refused
    } cases[] = {
        {"USB\\VID_5D17&PID_0A41\\SER123", "Vid_5D17&Pid_0A41"},
        {"usb\\vid_5d17&pid_0a41\\5&1a2b&0&1", "Vid_5D17&Pid_0A41"},
        {"USB\\VID_5D17&PID_0B62&MI_00\\6&2f&0&0000", "Vid_5D17&Pid_0B62"},
        {"USB\\VID_5D17&PID_0A41", "Vid_5D17&Pid_0A41"},
        {"USB\\VID_5D17&PID_0A411\\X", nullptr},  // five digits
        {"USB\\VID_5D1&PID_0A41\\X", nullptr},
        {"USB\\VID_5D17&PID_0G41\\X", nullptr},
        {"USB\\VID_5D17\\X", nullptr},
        {"USBPRINT\\QMXRT-K410\\7&1&0&USB001", nullptr},
        {"HID\\VID_5D17&PID_0A41\\X", nullptr},
        {"USB\\VID_", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        std::string key = "unchanged";
        EXPECT_EQ(HardwareKeyOfInstanceId(c.id, &key), c.key != nullptr) << c.id;
        EXPECT_EQ(key, c.key ? c.key : "unchanged") << c.id;
    }
}

}  // namespace
}  // namespace thermpos::testing
