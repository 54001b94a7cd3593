// Event delivery through the automation surface: the service object's event thread calls
// the control object's IDispatch, which hands each callback to a listener. Every wait is
// on a condition with a generous limit; the few checks that nothing arrives use a short,
// bounded wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "opos/ControlObject.h"
#include "opos/OposConstants.h"
#include "platform/activation.h"
#include "platform/dispatch.h"
#include "tests/so/ControlCalls.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"
#include "tests/support/dispatch_stub.h"

using sotest::DirectIO;
using thermpos::opos::ControlEventListener;
using thermpos::opos::COposControl;
using thermpos::platform::com::OutgoingArgs;
using namespace std::chrono_literals;

namespace {

// Records callbacks as text ("S5", "O7", "E114", "D3:text") and answers errors.
class Recorder : public ControlEventListener {
  public:
    void OnStatusUpdate(LONG data) override { Add("S" + std::to_string(data)); }
    void OnOutputComplete(LONG id) override { Add("O" + std::to_string(id)); }
    void OnError(LONG rc, LONG, LONG, LONG* response) override {
        if (answer != 0)
            *response = answer;
        Add("E" + std::to_string(rc));
    }
    void OnDirectIO(LONG number, LONG*, std::string* text) override {
        Add("D" + std::to_string(number) + ":" + *text);
    }

    // Waits until at least n callbacks arrived (limit 10 s); returns them.
    std::vector<std::string> WaitFor(size_t n, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return events_.size() >= n; });
        return events_;
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    std::atomic<LONG> answer{0};
    std::atomic<bool> closed{false};
    std::atomic<int> afterClose{0};

  private:
    void Add(std::string event) {
        if (closed.load())
            ++afterClose;
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

LONG Raise(COposControl& c, LONG command, LONG value, const std::string& text = "") {
    LONG data = value;
    EXPECT_EQ(DirectIO(c, command, &data, text), OPOS_SUCCESS);
    return data;
}

class EventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sotest::RegisterServer(sotest::TestServerPath()), S_OK);
        pty_.MapAs("COM13");
        sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Port", "COM13"}});
        sotest::WriteDevice("CashDrawer", kTestDrawerName, {{"Port", "COM13"}});
    }

    // Opens, optionally claims, and enables.
    void Start(COposControl& c, const char* name, bool claim = true) {
        c.SetListener(&recorder_);
        sotest::OpenClaimEnable(c, name, 0, claim);
    }

    sotest::Pty pty_;
    Recorder recorder_;
};

TEST_F(EventsTest, EventsOfAllKindsArriveInTheOrderRaised) {
    COposControl printer("POSPrinter");
    Start(printer, kTestPrinterName);
    Raise(printer, kTestQueueOutput, 7);
    Raise(printer, kTestQueueDirectIO, 3, "abc");
    Raise(printer, kTestQueueStatuses, 20);
    std::vector<std::string> expected = {"O7", "D3:abc"};
    for (int i = 1; i <= 20; ++i)
        expected.push_back("S" + std::to_string(i));
    EXPECT_EQ(recorder_.WaitFor(expected.size()), expected);
}

TEST_F(EventsTest, FrozenEventsWaitAndArriveInOrderWhenThawed) {
    COposControl printer("POSPrinter");
    Start(printer, kTestPrinterName);
    printer.SetPropertyNumber(PIDX_FreezeEvents, 1);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_FreezeEvents), 1);
    Raise(printer, kTestQueueStatuses, 3);
    EXPECT_TRUE(recorder_.WaitFor(1, 200ms).empty());
    OutgoingArgs thaw;
    thaw.Long(0);
    EXPECT_EQ(printer.CallLong("COFreezeEvents", thaw), OPOS_SUCCESS);
    EXPECT_EQ(recorder_.WaitFor(3), (std::vector<std::string>{"S1", "S2", "S3"}));
}

TEST_F(EventsTest, AnEnabledUnclaimedDeviceQueuesUntilClaimed) {
    COposControl drawer("CashDrawer");
    Start(drawer, kTestDrawerName, /*claim=*/false);
    Raise(drawer, kTestQueueStatuses, 3);
    EXPECT_TRUE(recorder_.WaitFor(1, 200ms).empty());
    OutgoingArgs zero;
    zero.Long(0);
    ASSERT_EQ(drawer.CallLong("ClaimDevice", zero), OPOS_SUCCESS);
    EXPECT_EQ(recorder_.WaitFor(3), (std::vector<std::string>{"S1", "S2", "S3"}));
}

TEST_F(EventsTest, EventsOfADisabledDeviceAreDiscarded) {
    COposControl drawer("CashDrawer");
    Start(drawer, kTestDrawerName);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
    EXPECT_EQ(Raise(drawer, kTestFireStatus, 5), 0);
    drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    Raise(drawer, kTestFireStatus, 6);
    EXPECT_EQ(recorder_.WaitFor(1), (std::vector<std::string>{"S6"}));
}

TEST_F(EventsTest, NothingIsDeliveredAfterCloseReturns) {
    COposControl printer("POSPrinter");
    Start(printer, kTestPrinterName);
    Raise(printer, kTestQueueStatuses, 500);
    EXPECT_EQ(printer.Close(), OPOS_SUCCESS);
    recorder_.closed = true;
    size_t delivered = recorder_.Events().size();
    EXPECT_LE(delivered, 500u);
    EXPECT_EQ(recorder_.afterClose.load(), 0);
}

TEST_F(EventsTest, ErrorResponseIsStoredRetryOrClearOnly) {
    COposControl printer("POSPrinter");
    Start(printer, kTestPrinterName);
    recorder_.answer = OPOS_ER_CLEAR;
    EXPECT_EQ(Raise(printer, kTestQueueError, OPOS_ER_RETRY), OPOS_ER_CLEAR);
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_State), OPOS_S_ERROR);
    recorder_.answer = OPOS_ER_CONTINUEINPUT;
    EXPECT_EQ(Raise(printer, kTestQueueError, OPOS_ER_CLEAR), OPOS_ER_RETRY);
    recorder_.answer = 0;  // the application keeps the proposal
    EXPECT_EQ(Raise(printer, kTestQueueError, OPOS_ER_CLEAR), OPOS_ER_CLEAR);
    EXPECT_EQ(recorder_.WaitFor(3).size(), 3u);
}

TEST_F(EventsTest, AControlObjectWithoutDirectIOStillGetsStatusUpdates) {
    COposControl printer("POSPrinter",
                         thermpos::opos::kAllCallbacks & ~thermpos::opos::kCallbackDirectIO);
    Start(printer, kTestPrinterName);
    Raise(printer, kTestQueueDirectIO, 1, "lost");
    Raise(printer, kTestFireStatus, 9);
    EXPECT_EQ(recorder_.WaitFor(1), (std::vector<std::string>{"S9"}));
}

// An application that closes from inside its event handler: the close is refused (it
// cannot wait for the thread it runs on) instead of hanging or freeing that thread's
// objects under it; closing afterwards works.
class ClosingRecorder : public Recorder {
  public:
    void OnStatusUpdate(LONG data) override {
        closeResult = control->Close();
        Recorder::OnStatusUpdate(data);
    }
    COposControl* control = nullptr;
    std::atomic<LONG> closeResult{-1};
};

TEST_F(EventsTest, CloseFromInsideACallbackIsRefusedNotHung) {
    ClosingRecorder recorder;
    COposControl printer("POSPrinter");
    recorder.control = &printer;
    printer.SetListener(&recorder);
    sotest::OpenClaimEnable(printer, kTestPrinterName);
    Raise(printer, kTestFireStatus, 4);
    ASSERT_EQ(recorder.WaitFor(1).size(), 1u);
    EXPECT_EQ(recorder.closeResult.load(), OPOS_E_ILLEGAL);
    EXPECT_TRUE(printer.IsOpen());
    EXPECT_EQ(printer.GetPropertyNumber(PIDX_Claimed), 1);
    EXPECT_EQ(printer.Close(), OPOS_SUCCESS);
}

// A control object whose callbacks fail: the first status update answers with an error,
// which must not end the event thread.
class FailingSink : public thermpos::testing::DispatchStub {
  public:
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID,
                                            DISPID* ids) override {
        std::u16string name(names[0]);
        *ids = name == u"SOStatusUpdate" ? 5 : DISPID_UNKNOWN;
        return *ids == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(params->rgvarg[0].lVal);
        changed.notify_all();
        return seen.size() == 1 ? DISP_E_EXCEPTION : S_OK;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<LONG> seen;
};

TEST_F(EventsTest, AFailingCallbackDoesNotEndTheEventThread) {
    FailingSink sink;
    thermpos::platform::com::ComPtr<IDispatch> so;
    ASSERT_EQ(thermpos::platform::com::CreateObjectByProgID("QMX.Thermal.CashDrawer", so.Out()),
              S_OK);
    thermpos::platform::com::DispatchDriver driver(so.Get());
    OutgoingArgs open;
    open.String("CashDrawer").String(kTestDrawerName).Dispatch(&sink);
    thermpos::platform::com::Variant result;
    ASSERT_EQ(driver.Call("OpenService", open, result.Get()), S_OK);
    OutgoingArgs zero;
    zero.Long(0);
    ASSERT_EQ(driver.Call("ClaimDevice", zero), S_OK);
    OutgoingArgs enable;
    enable.Long(PIDX_DeviceEnabled).Long(1);
    ASSERT_EQ(driver.Call("SetPropertyNumber", enable), S_OK);
    BSTR text = nullptr;
    LONG count = 2;
    OutgoingArgs raise;
    raise.Long(kTestQueueStatuses).LongRef(&count).BstrRef(&text);
    ASSERT_EQ(driver.Call("DirectIO", raise), S_OK);
    {
        std::unique_lock<std::mutex> lock(sink.mutex);
        sink.changed.wait_for(lock, 10s, [&] { return sink.seen.size() >= 2; });
        EXPECT_EQ(sink.seen, (std::vector<LONG>{1, 2}));
    }
    OutgoingArgs none;
    EXPECT_EQ(driver.Call("CloseService", none), S_OK);
    SysFreeString(text);
}

}  // namespace
