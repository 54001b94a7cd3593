// Events on their way from the service object's threads to the application: queued and
// dispatched on the application's thread through the descriptor, in the order raised per
// device; ErrorEvent's answer going back through the typed classes and by name; Close
// from inside a handler. Against the test server, whose DirectIO raises events.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "opos/AutomationControl.h"
#include "opos/CashDrawer.h"
#include "opos/PosPrinter.h"
#include "platform/activation.h"
#include "tests/opos/EventRecorder.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"

using namespace thermpos::opos;
namespace com = thermpos::platform::com;
using namespace std::chrono_literals;

namespace {

class ControlEventsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sotest::RegisterServer(sotest::TestServerPath()), S_OK);
        pty_.MapAs("COM15");
        sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Port", "COM15"}});
        sotest::WriteDevice("CashDrawer", kTestDrawerName, {{"Port", "COM15"}});
    }

    void Start(Control& c, const char* name, optest::EventRecorder& recorder) {
        c.SetEventHandler(&recorder);
        ASSERT_EQ(c.Open(name), OPOS_SUCCESS);
        ASSERT_EQ(c.ClaimDevice(1000), OPOS_SUCCESS);
        c.SetNumberProperty("DeviceEnabled", 1);
        ASSERT_EQ(c.GetNumberProperty("ResultCode"), OPOS_SUCCESS);
    }

    static LONG Raise(Control& c, LONG command, LONG value, std::string text = "") {
        LONG data = value;
        EXPECT_EQ(c.DirectIO(command, data, text), OPOS_SUCCESS);
        return data;
    }

    // The control object by ProgID, its EventSink put, an error raised and answered.
    void AnswerErrorsThroughTheEventSink(bool standardIds);

    sotest::Pty pty_;
};

TEST_F(ControlEventsTest, QueuedEventsArriveInOrderOnTheDispatchingThread) {
    PosPrinter printer;
    optest::EventRecorder recorder;
    Start(printer, kTestPrinterName, recorder);
    Raise(printer, kTestQueueOutput, 7);
    Raise(printer, kTestQueueDirectIO, 3, "abc");
    Raise(printer, kTestQueueStatuses, 30);
    std::vector<std::string> expected = {"O7", "D3:0:abc"};
    for (int i = 1; i <= 30; ++i)
        expected.push_back("S" + std::to_string(i));

    ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return recorder.Count() >= expected.size(); }));
    EXPECT_EQ(recorder.Events(), expected);
    for (std::thread::id id : recorder.Threads())
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(printer.PendingEvents(), 0);
}

TEST_F(ControlEventsTest, DirectDeliveryRunsTheHandlerOnTheServiceObjectsThread) {
    PosPrinter printer;
    optest::EventRecorder recorder;
    printer.SetEventDelivery(EventDelivery::Direct);
    std::promise<void> arrived;
    recorder.onEvent = [&] { arrived.set_value(); };
    Start(printer, kTestPrinterName, recorder);
    Raise(printer, kTestQueueStatuses, 1);
    ASSERT_EQ(arrived.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_NE(recorder.Threads().at(0), std::this_thread::get_id());
    EXPECT_EQ(printer.PendingEvents(), 0);
}

TEST_F(ControlEventsTest, ErrorEventAnswersReachTheServiceObject) {
    PosPrinter printer;
    optest::EventRecorder recorder;
    Start(printer, kTestPrinterName, recorder);
    for (LONG answer : {OPOS_ER_CLEAR, OPOS_ER_RETRY}) {
        recorder.answer = answer;
        const size_t before = recorder.Count();
        // The raising call waits for the answer, as the printer's output does: it runs
        // on a thread of its own while this one dispatches.
        auto raised = std::async(std::launch::async,
                                 [&] { return Raise(printer, kTestQueueError, OPOS_ER_RETRY); });
        ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return recorder.Count() > before; }));
        ASSERT_EQ(raised.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(raised.get(), answer);
        EXPECT_EQ(recorder.Events().back(), "E114:201:1");
    }
}

TEST_F(ControlEventsTest, CloseFromInsideAHandlerEndsDeliveryAtOnce) {
    PosPrinter printer;
    optest::EventRecorder recorder;
    recorder.onEvent = [&] { EXPECT_EQ(printer.Close(), OPOS_SUCCESS); };
    Start(printer, kTestPrinterName, recorder);
    Raise(printer, kTestQueueStatuses, 5);
    ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return recorder.Count() >= 1; }));
    EXPECT_EQ(printer.State(), OPOS_S_CLOSED);
    EXPECT_EQ(printer.PendingEvents(), 0);
    EXPECT_EQ(printer.DispatchEvents(), 0);
    EXPECT_EQ(recorder.Events(), std::vector<std::string>{"S1"});

    // The object opens again and delivers as before.
    recorder.onEvent = nullptr;
    Start(printer, kTestPrinterName, recorder);
    Raise(printer, kTestQueueStatuses, 2);
    ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return recorder.Count() >= 3; }));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"S1", "S1", "S2"}));
}

TEST_F(ControlEventsTest, PrinterAndDrawerEventsInterleaveOnOneThreadInTheirOwnOrder) {
    PosPrinter printer;
    CashDrawer drawer;
    optest::EventRecorder printerEvents;
    optest::EventRecorder drawerEvents;
    Start(printer, kTestPrinterName, printerEvents);
    Start(drawer, kTestDrawerName, drawerEvents);
    constexpr LONG kEach = 40;
    // Both raise at once from threads of their own, as two devices would.
    auto p = std::async(std::launch::async, [&] { Raise(printer, kTestQueueStatuses, kEach); });
    auto d = std::async(std::launch::async, [&] { Raise(drawer, kTestQueueStatuses, kEach); });
    ASSERT_TRUE(optest::PumpUntil({&printer, &drawer}, [&] {
        return printerEvents.Count() >= kEach && drawerEvents.Count() >= kEach;
    }));
    p.get();
    d.get();
    std::vector<std::string> expected;
    for (LONG i = 1; i <= kEach; ++i)
        expected.push_back("S" + std::to_string(i));
    EXPECT_EQ(printerEvents.Events(), expected);
    EXPECT_EQ(drawerEvents.Events(), expected);
    for (auto* r : {&printerEvents, &drawerEvents})
        for (std::thread::id id : r->Threads())
            EXPECT_EQ(id, std::this_thread::get_id());
}

// The application's event sink when it reaches the control object by name: either built
// from the event interface (the standard event DISPIDs) or a script object, whose engine
// numbers its members itself (here from 1, so ErrorEvent is 2, the standard DirectIOEvent).
class EventSink : public com::DispatchObject {
  public:
    explicit EventSink(bool standardIds) : DispatchObject(&Table(standardIds), this) {}
    LONG answer = OPOS_ER_RETRY;
    std::vector<std::string> events;

  private:
    static const com::DispatchTable& Table(bool standardIds) {
        using K = com::ArgKind;
        using R = com::ResultKind;
        auto entries = [](DISPID status, DISPID error) {
            return std::vector<com::DispatchEntry>{
                {{"StatusUpdateEvent"},
                 {K::I4},
                 R::Void,
                 [](com::DispatchArgs& a, VARIANT*) {
                     a.Self<EventSink>().events.push_back("S" + std::to_string(a.Long(0)));
                     return S_OK;
                 },
                 status},
                {{"ErrorEvent"},
                 {K::I4, K::I4, K::I4, K::I4Ref},
                 R::Void,
                 [](com::DispatchArgs& a, VARIANT*) {
                     auto& self = a.Self<EventSink>();
                     self.events.push_back("E" + std::to_string(a.Long(0)));
                     a.LongRef(3) = self.answer;
                     return S_OK;
                 },
                 error},
            };
        };
        static const com::DispatchTable standard(
            entries(kDispIdStatusUpdateEvent, kDispIdErrorEvent));
        static const com::DispatchTable script(entries(DISPID_UNKNOWN, DISPID_UNKNOWN));
        return standardIds ? standard : script;
    }
};

TEST_F(ControlEventsTest, ErrorEventIsAnsweredByNameThroughTheEventSink) {
    ASSERT_EQ(sotest::RegisterServer(THERMPOS_OPOS_LIBRARY), S_OK);
    for (bool standardIds : {true, false}) {
        SCOPED_TRACE(standardIds ? "sink with the standard event DISPIDs" : "script object");
        AnswerErrorsThroughTheEventSink(standardIds);
    }
}

void ControlEventsTest::AnswerErrorsThroughTheEventSink(bool standardIds) {
    com::ComPtr<IDispatch> co;
    ASSERT_EQ(com::CreateObjectByProgID("OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter", co.Out()),
              S_OK);
    com::DispatchDriver d(co.Get());
    auto sink = com::ComPtr<EventSink>::Adopt(new EventSink(standardIds));
    auto call = [&](const char* name, com::OutgoingArgs& args) {
        com::Variant r;
        LONG value = -1;
        EXPECT_EQ(d.Call(name, args, r.Get()), S_OK) << name;
        EXPECT_TRUE(r.ToLong(&value));
        return value;
    };
    auto put = [&](const char* name, com::OutgoingArgs& value) {
        EXPECT_EQ(d.PutProperty(d.GetDispId(name), value), S_OK) << name;
    };
    com::OutgoingArgs sinkArg;
    sinkArg.Dispatch(sink.Get());
    put("EventSink", sinkArg);
    com::OutgoingArgs open;
    open.String(kTestPrinterName);
    ASSERT_EQ(call("Open", open), OPOS_SUCCESS);
    com::OutgoingArgs claim;
    claim.Long(1000);
    ASSERT_EQ(call("ClaimDevice", claim), OPOS_SUCCESS);
    com::OutgoingArgs enable;
    enable.Bool(true);
    put("DeviceEnabled", enable);

    com::Variant fdValue;
    ASSERT_EQ(d.GetProperty(d.GetDispId("EventDescriptor"), fdValue.Get()), S_OK);
    LONG fd = -1;
    ASSERT_TRUE(fdValue.ToLong(&fd));
    for (LONG answer : {OPOS_ER_CLEAR, OPOS_ER_RETRY}) {
        sink->answer = answer;
        sink->events.clear();
        auto raised = std::async(std::launch::async, [&] {
            LONG data = OPOS_ER_RETRY;
            BSTR text = nullptr;
            com::OutgoingArgs args;
            args.Long(kTestQueueError).LongRef(&data).BstrRef(&text);
            com::Variant r;
            EXPECT_EQ(d.Call("DirectIO", args, r.Get()), S_OK);
            SysFreeString(text);
            return data;
        });
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (sink->events.empty() && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) == 1) {
                com::OutgoingArgs none;
                call("DispatchEvents", none);
            }
        }
        ASSERT_EQ(raised.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(raised.get(), answer);
        EXPECT_EQ(sink->events, std::vector<std::string>{"E114"});
    }
    com::OutgoingArgs none;
    EXPECT_EQ(call("Close", none), OPOS_SUCCESS);
}

}  // namespace
