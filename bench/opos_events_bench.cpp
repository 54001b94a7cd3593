// The control objects' own cost: status events from the service object's thread to the
// application's (queued through the descriptor, or direct), and a property read through
// the typed class and by name through the automation surface. Against the test server.
#include <benchmark/benchmark.h>

#include <atomic>

#include "opos/AutomationControl.h"
#include "opos/PosPrinter.h"
#include "tests/opos/EventRecorder.h"
#include "tests/so/TestDevices.h"
#include "tests/so/TestSupport.h"

namespace {

using thermpos::opos::EventDelivery;

class Counter : public thermpos::opos::EventHandler {
  public:
    void StatusUpdateEvent(LONG) override {
        ++count;
        count.notify_all();
    }
    std::atomic<long> count{0};
};

struct Printer {
    Printer() {
        if (sotest::RegisterServer(sotest::TestServerPath()) != S_OK)
            return;
        pty.MapAs("COM16");
        sotest::WriteDevice("POSPrinter", kTestPrinterName, {{"Port", "COM16"}});
        printer.SetEventHandler(&counter);
        ok = printer.Open(kTestPrinterName) == OPOS_SUCCESS &&
             printer.ClaimDevice(1000) == OPOS_SUCCESS;
        printer.SetDeviceEnabled(true);
    }
    sotest::Pty pty;
    thermpos::opos::PosPrinter printer;
    Counter counter;
    bool ok = false;
};

void StatusEvents(benchmark::State& state) {
    Printer p;
    if (!p.ok) {
        state.SkipWithError("the test printer did not open");
        return;
    }
    const bool direct = state.range(0) != 0;
    p.printer.SetEventDelivery(direct ? EventDelivery::Direct : EventDelivery::Queued);
    constexpr LONG kBatch = 100;
    for (auto _ : state) {
        const long target = p.counter.count + kBatch;
        LONG data = kBatch;
        std::string text;
        (void)p.printer.DirectIO(kTestQueueStatuses, data, text);
        if (direct) {
            for (long now = p.counter.count; now < target; now = p.counter.count)
                p.counter.count.wait(now);
        } else {
            optest::PumpUntil({&p.printer}, [&] { return p.counter.count >= target; });
        }
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetLabel(direct ? "direct" : "queued");
}
BENCHMARK(StatusEvents)->Arg(0)->Arg(1)->UseRealTime();

void TypedPropertyRead(benchmark::State& state) {
    Printer p;
    for (auto _ : state)
        benchmark::DoNotOptimize(p.printer.RecLineChars());
}
BENCHMARK(TypedPropertyRead);

void PropertyReadByName(benchmark::State& state) {
    Printer p;
    p.printer.Close();
    auto co = thermpos::platform::com::ComPtr<thermpos::opos::CAutomationControl>::Adopt(
        new thermpos::opos::CAutomationControl(thermpos::opos::PosPrinterTable()));
    thermpos::platform::com::DispatchDriver d(co.Get());
    thermpos::platform::com::OutgoingArgs open;
    open.String(kTestPrinterName);
    thermpos::platform::com::Variant r;
    (void)d.Call("Open", open, r.Get());
    for (auto _ : state) {
        const DISPID id = d.GetDispId("RecLineChars");
        benchmark::DoNotOptimize(d.GetProperty(id, r.Get()));
    }
}
BENCHMARK(PropertyReadByName);

}  // namespace
