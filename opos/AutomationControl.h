// The control objects as automation classes: every property and method of the class by
// its OPOS name and DISPID through GetIDsOfNames/Invoke, over the same ControlCore as the
// typed classes.
//
// Events go to an IDispatch the application sets as the property EventSink; it is called
// with DISPATCH_METHOD (ErrorResponse, pData and pString by reference). An event the sink
// names (GetIDsOfNames, or IDispatchEx for script classes) is called by the sink's own
// DISPID for that name, so a script object with methods StatusUpdateEvent,
// OutputCompleteEvent, ErrorEvent and DirectIOEvent hears them; the others by the event
// DISPIDs of ControlTables.h, as a sink built from the event interface expects. As with the typed
// classes, events are queued until the application calls DispatchEvents (when EventDescriptor is
// readable), unless DirectEvents is true.
//
// Threads: as ControlCore. The sink pointer is guarded by sinkMutex_, which is never
// held while calling the sink. The sink is called in the application's apartment, from
// whichever thread fires (platform/apartment.h).
#pragma once

#include "opos/ControlCore.h"
#include "platform/apartment.h"
#include "platform/comserver.h"
#include "platform/thread_safety.h"

namespace thermpos::opos {

// DISPIDs of the event plumbing, outside the range of the standard members.
inline constexpr DISPID kDispIdEventSink = 0x7001;
inline constexpr DISPID kDispIdEventDescriptor = 0x7002;
inline constexpr DISPID kDispIdDispatchEvents = 0x7003;
inline constexpr DISPID kDispIdDirectEvents = 0x7004;

class CAutomationControl : public platform::com::DispatchObject, private EventHandler {
  public:
    explicit CAutomationControl(const ClassTable& table);

    // Creators for the class factories (reference count 1, or null).
    static IUnknown* CreatePosPrinter();
    static IUnknown* CreateCashDrawer();

    ControlCore& Core() { return core_; }
    void SetSink(IDispatch* sink);
    IDispatch* Sink();  // AddRef'd, may be null

  protected:
    void OnFinalRelease() override;

  private:
    static const platform::com::DispatchTable& TableFor(const ClassTable& table);

    void StatusUpdateEvent(LONG data) override;
    void OutputCompleteEvent(LONG outputId) override;
    void ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                    LONG& errorResponse) override;
    void DirectIOEvent(LONG eventNumber, LONG& data, std::string& text) override;
    // The four events, in the order of EventIds.
    enum Event { kStatusUpdate, kOutputComplete, kError, kDirectIO, kEventCount };
    struct EventIds {
        DISPID id[kEventCount];
    };
    // What each event is called by on this sink (null: the standard DISPIDs).
    static EventIds ResolveEvents(IDispatch* sink);
    void Fire(Event event, platform::com::OutgoingArgs& args);

    ControlCore core_;
    thermpos::platform::Mutex sinkMutex_;
    platform::com::ComPtr<IDispatch> sink_ GUARDED_BY(sinkMutex_);
    platform::com::DispatchHandoff sinkHandoff_ GUARDED_BY(sinkMutex_);
    EventIds sinkEvents_ GUARDED_BY(sinkMutex_) = ResolveEvents(nullptr);
};

}  // namespace thermpos::opos
