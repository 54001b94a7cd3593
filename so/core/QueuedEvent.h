// Event records and the control object's callback table.
//
// A device reports to the application only through records queued for its event thread
// (ServiceDevice.h); the thread calls the control object through CControlCallback, holding
// no lock, so the control object may call back into the device (docs/threads.md).
#pragma once

#include <string>

#include "platform/apartment.h"
#include "platform/automation.h"
#include "platform/dispatch.h"

namespace thermpos::so {

// Kinds of queued records; other kinds are taken off the queue and dropped.
enum EventKind : LONG {
    EventKindDirectIO = 2,
    EventKindError = 3,
    EventKindOutputComplete = 4,
    EventKindStatusUpdate = 5,
};

// One queued callback. The queue owns it until delivery; the event thread deletes it.
//   direct I/O:      value1 EventNumber, value2 Data (by reference), text String (by reference)
//   error:           value1 ResultCode, value2 ResultCodeExtended, value3 ErrorLocus,
//                    value4 ErrorResponse (proposed by the producer, changed by the app)
//   output complete: value1 OutputID
//   status update:   value1 Data
class CQueuedEvent {
  public:
    CQueuedEvent() = default;
    CQueuedEvent(LONG kind, LONG value1, LONG value2 = 0, LONG value3 = 0, LONG value4 = 0)
        : kind(kind), value1(value1), value2(value2), value3(value3), value4(value4) {}
    virtual ~CQueuedEvent() = default;

    LONG kind = 0;
    LONG value1 = 0;
    LONG value2 = 0;
    LONG value3 = 0;
    LONG value4 = 0;
    std::string text;  // narrow, system code page; direct I/O only
};

// The control object's IDispatch and the DISPIDs of its four callbacks. Attach runs on
// the thread that opened the service, the calls on the device's event thread: the
// control object is reached there through platform/apartment.h, in its own apartment.
// The control object keeps itself alive from OpenService until CloseService returns.
class CControlCallback {
  public:
    // Looks up the four names; a name the control object does not know gets -1 and only
    // that callback is skipped.
    void Attach(IDispatch* dispatch);
    void Detach();

    // Each returns the HRESULT of Invoke, or S_FALSE when the callback is not available.
    HRESULT DirectIO(LONG eventNumber, LONG* data, std::string* text);
    HRESULT Error(LONG resultCode, LONG resultCodeExtended, LONG errorLocus, LONG* errorResponse);
    HRESULT OutputComplete(LONG outputId);
    HRESULT StatusUpdate(LONG data);

    DISPID dispidDirectIO = DISPID_UNKNOWN;
    DISPID dispidError = DISPID_UNKNOWN;
    DISPID dispidOutputComplete = DISPID_UNKNOWN;
    DISPID dispidStatusUpdate = DISPID_UNKNOWN;

  private:
    // The callbacks whose one argument is a LONG.
    HRESULT CallWithLong(DISPID dispid, LONG value);
    HRESULT Call(DISPID dispid, thermpos::platform::com::OutgoingArgs& args);

    thermpos::platform::com::DispatchHandoff target_;
};

}  // namespace thermpos::so
