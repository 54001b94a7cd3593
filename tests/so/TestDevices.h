// Device classes for the tests: a printer-like exclusive device and a drawer-like sharable
// one, on the real port table. They add nothing to the core but a way to raise events and
// read configuration from outside, through DirectIO and private property indices, so
// tests can drive the core through the automation surface.
#pragma once

#include "so/core/DeviceClasses.h"

using namespace thermpos::so;

// Logical device names the test server answers.
inline constexpr const char kTestPrinterName[] = "Test.Printer";
inline constexpr const char kTestDrawerName[] = "Test.Drawer";

// DirectIO commands of the test devices.
enum TestDirectIO : LONG {
    kTestFireStatus = 1,     // FireStatusUpdate(*data); *data = its result
    kTestQueueError = 2,     // error event proposing *data; waits for the answer; *data =
                             // the stored response, or -1 when none came within 10 s
    kTestQueueDirectIO = 3,  // direct I/O event number *data with the text
    kTestQueueOutput = 4,    // output-complete event with OutputID *data
    kTestWrite = 5,          // writes the text to the port; returns the port result
    kTestQueueStatuses = 6,  // status updates 1..*data, raised in a row
};

// Private numeric property indices of the test devices (configuration, for tests).
enum TestProperty : LONG {
    kTestPropWriteTotalConstant = 9001,
    kTestPropBaudRate = 9002,
    kTestPropParity = 9003,
    kTestPropHandShake = 9004,
    kTestPropBitLength = 9005,
    kTestPropStatusBackInterval = 9006,
    kTestPropBindingId = 9007,
};
// Registry value of a test device: "1" makes it register its status interpreter (the
// printer's or the drawer's) when enabled, so the port's monitor runs for it.
inline constexpr const char kTestStatusMonitorValue[] = "TestStatusMonitor";

// Private string indices: the configured port and model key.
inline constexpr LONG kTestPropPort = 1009001;
inline constexpr LONG kTestPropPhysicalDeviceID = 1009002;

template <class Base>
class CTestDevice : public Base {
  public:
    ~CTestDevice() override { this->Close(); }

    LONG DirectIO(LONG command, LONG* data, std::string* text) override;
    LONG SetDeviceEnabled(LONG enable) override;
    LONG GetPropertyNumber(LONG index) override;
    std::string GetPropertyString(LONG index) override;

    // For in-process tests that give the device their own port table.
    using Base::SetPortManager;
};

class CTestPrinter : public CTestDevice<CPOSPrinterSlots> {};
class CTestDrawer : public CTestDevice<CCashDrawerSlots> {};
