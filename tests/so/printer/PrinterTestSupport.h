// Shared set-up of the printer device tests: a private registry and lock folder, the fake
// port backend (records every write and answers the status probe), a control object
// that records the callbacks and answers error events, printer objects bound to a port
// table over the fake port, and the fixture that opens and enables them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/automation.h"
#include "so/core/PortTable.h"
#include "so/printer/PrinterModels.h"
#include "tests/support/dispatch_stub.h"
#include "tests/support/fake_port.h"
#include "tests/support/hex.h"

using namespace thermpos::so;

namespace printertest {

// Sets THERMPOS_REGISTRY, THERMPOS_LOCK_DIR and THERMPOS_OPEN_WAIT_MS to a private folder
// (once per process) and returns that folder.
const std::string& TempDir();

// (Re)writes the POSPrinter key of a logical device with these values.
void WriteDevice(const std::string& deviceName, const std::map<std::string, std::string>& values);

// One fake port for the process (tests/support): writes recorded one entry per call,
// status requests answered with one status block each.
using thermpos::testing::FakePort;

struct ControlEvent {
    enum Kind { StatusUpdate, OutputComplete, Error, DirectIO } kind;
    LONG value1 = 0;
    LONG value2 = 0;
    LONG value3 = 0;
    std::string text;  // DirectIO only
};

// The control object's side of the callbacks: records them in order and answers error
// events with the answer function (retry by default). Callbacks run on the event thread.
class RecordingControl : public thermpos::testing::DispatchStub {
  public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override;

    // Called for each error event; returns the ErrorResponse.
    void SetErrorAnswer(std::function<LONG(const ControlEvent&)> answer);

    std::vector<ControlEvent> Events();
    std::vector<ControlEvent> EventsOf(ControlEvent::Kind kind);
    // Waits until done(the events so far) holds, looking again at every event and at
    // every Recheck.
    bool WaitUntil(const std::function<bool(const std::vector<ControlEvent>&)>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Wakes WaitUntil to look again: for conditions that also read the test's own state.
    void Recheck();
    // Waits until at least count events of the kind arrived.
    bool WaitFor(ControlEvent::Kind kind, std::size_t count,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for the OutputComplete event of this OutputID.
    bool WaitForOutput(LONG outputId, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits for a StatusUpdate event of this status.
    bool WaitForStatus(LONG status, std::chrono::milliseconds limit = std::chrono::seconds(10));
    void Clear();

  private:
    // Waits for an event of the kind whose first value is value1.
    bool WaitForEvent(ControlEvent::Kind kind, LONG value1, std::chrono::milliseconds limit);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ControlEvent> events_;
    std::function<LONG(const ControlEvent&)> answer_;
};

// A model object whose port table runs over the fake port.
template <class Model>
class OnFakePort : public Model {
  public:
    OnFakePort() : manager_(FakePort::Get()) { this->SetPortManager(&manager_); }
    ~OnFakePort() override { this->CloseBeforeDestruction(); }
    CPortManager& Ports() { return manager_; }

  private:
    CPortManager manager_;
};

// Logical device names of the three models.
inline constexpr const char kRTK410[] = "RTK410.TALVERN.POSPrinter";
inline constexpr const char kQMX5500[] = "QMX5500TYPEII.TALVERN.POSPrinter";
inline constexpr const char kRTK6100[] = "RTK6100.TALVERN.POSPrinter";

// Writes the POSPrinter key of `name` with these values (Port COM7 unless they name one)
// and opens `printer` as that device for `control`.
void OpenAs(CThermalPrinter& printer, const char* name, RecordingControl& control,
            std::map<std::string, std::string> values = {});
// Claims and enables an open printer.
void ClaimAndEnable(CThermalPrinter& printer);

// The fixture of the tests on the fake port: the port reset before each test, a control
// object that records the callbacks, and printers opened (and enabled) on the port.
class FakePortTest : public ::testing::Test {
  protected:
    void SetUp() override { FakePort::Get().Reset(); }

    template <class Model = CPrinterRTK410>
    std::unique_ptr<OnFakePort<Model>> Open(const char* name = kRTK410,
                                            std::map<std::string, std::string> values = {}) {
        auto printer = std::make_unique<OnFakePort<Model>>();
        OpenAs(*printer, name, control_, std::move(values));
        return printer;
    }
    template <class Model = CPrinterRTK410>
    std::unique_ptr<OnFakePort<Model>> Enable(const char* name = kRTK410,
                                              std::map<std::string, std::string> values = {}) {
        auto printer = Open<Model>(name, std::move(values));
        if (!HasFatalFailure())
            ClaimAndEnable(*printer);
        return printer;
    }

    RecordingControl control_;
};

// The same with an RT-K410 on COM7 enabled before each test.
class EnabledPrinterTest : public FakePortTest {
  protected:
    void SetUp() override {
        FakePortTest::SetUp();
        printer_ = Enable();
    }

    std::unique_ptr<OnFakePort<CPrinterRTK410>> printer_;
};

using thermpos::testing::Hex;

}  // namespace printertest
