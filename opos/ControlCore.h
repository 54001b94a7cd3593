// One control object: the service object behind it (through COposControl), the answers
// the control object gives itself (closed, refused, release too old), and the events on
// their way to the application. The typed classes and the automation objects are two
// faces of this one class.
//
// Threads:
//   - the application's thread calls every member; with direct delivery the handler may
//     call members from the service object's event thread too;
//   - the service object's event thread calls the listener members (OnStatusUpdate ...),
//     which queue the event (or, with direct delivery, run the handler at once). For an
//     ErrorEvent or a DirectIOEvent that thread waits until the application dispatched
//     it, so the answer goes back by reference; Close releases such waits first, so that
//     CloseService can join that thread even when Close comes from inside a handler.
// Locks: mutex_ only, a leaf (docs/threads.md). It is never held while calling the
// service object or the handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <string>

#include "opos/Control.h"
#include "opos/ControlObject.h"
#include "opos/ControlTables.h"
#include "platform/eventfd.h"
#include "platform/thread_safety.h"

namespace thermpos::opos {

class ControlCore : private ControlEventListener {
  public:
    explicit ControlCore(const ClassTable& table);
    ~ControlCore() override;
    ControlCore(const ControlCore&) = delete;
    ControlCore& operator=(const ControlCore&) = delete;

    const ClassTable& Table() const { return table_; }
    bool IsOpen() const { return control_.IsOpen(); }
    // The service object while open (not AddRef'd), for diagnostics and tests.
    IDispatch* ServiceObject() const { return control_.ServiceObject(); }

    void SetHandler(EventHandler* handler) { handler_ = handler; }
    void SetDelivery(EventDelivery delivery);
    EventDelivery Delivery() const { return delivery_; }
    int EventFd() const { return wake_.Fd(); }
    int DispatchEvents();
    int PendingEvents() const;

    LONG Open(const std::string& deviceName);
    LONG Close();
    LONG OpenResult() const { return openResult_; }

    // Properties by index, with the control object's own answers while closed and for
    // properties the service object's release does not have.
    LONG GetNumber(LONG index);
    void SetNumber(LONG index, LONG value);
    std::string GetString(LONG index);
    void SetString(LONG index, const std::string& value);

    // A forwarded method: OPOS_E_CLOSED while closed, OPOS_E_NOSERVICE when the service
    // object's release lacks it or the call fails; otherwise the service object's result.
    // args must match method.params.
    LONG Call(const MethodInfo& method, platform::com::OutgoingArgs& args);
    // The control object refused a call itself: ResultCode reads rc until the next
    // forwarded call.
    LONG Refuse(LONG rc);

  private:
    struct PendingEvent {
        DISPID kind = 0;  // one of the kDispId*Event values
        LONG value1 = 0, value2 = 0, value3 = 0;
        LONG response = 0;
        std::string text;
        bool done = false;  // mutex_; dispatched, or dropped by Close
    };

    void OnStatusUpdate(LONG data) override;
    void OnOutputComplete(LONG outputId) override;
    void OnError(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                 LONG* errorResponse) override;
    void OnDirectIO(LONG eventNumber, LONG* data, std::string* text) override;

    // Before a property is set: refuses (*refused true, the result code set) when the
    // control is closed or the service object is too old for the property; else the
    // property's table entry, null for an index the table does not know.
    const PropertyInfo* SettableProperty(LONG index, bool* refused);
    // A one-value event (StatusUpdate, OutputComplete): to the handler at once under
    // direct delivery, else queued without waiting.
    void RaiseValue(DISPID kind, LONG value, void (EventHandler::*direct)(LONG)) EXCLUDES(mutex_);
    // Queues the event; when `wait`, returns once it was dispatched or dropped.
    void Raise(const std::shared_ptr<PendingEvent>& event, bool wait) EXCLUDES(mutex_);
    void Deliver(PendingEvent& event);
    bool Supported(int since) const { return since <= soMinor_; }
    // Drops everything queued and releases the service object's waits.
    void DropQueued() EXCLUDES(mutex_);

    const ClassTable& table_;
    COposControl control_;
    std::atomic<EventHandler*> handler_{nullptr};
    std::atomic<EventDelivery> delivery_{EventDelivery::Queued};
    platform::WakeDescriptor wake_;
    // Written by Open; read by handlers on the service object's thread as well.
    std::atomic<LONG> openResult_{0};
    std::atomic<int> soMinor_{0};
    // The code of the control object's own last refusal, or -1 when the service object's
    // ResultCode stands.
    std::atomic<LONG> refused_{-1};
    std::atomic<bool> dispatching_{false};

    mutable thermpos::platform::Mutex mutex_;
    std::condition_variable answered_;
    std::deque<std::shared_ptr<PendingEvent>> queue_ GUARDED_BY(mutex_);
    std::shared_ptr<PendingEvent> inFlight_ GUARDED_BY(mutex_);  // in a handler now
    bool frozen_ GUARDED_BY(mutex_) = false;
    bool closing_ GUARDED_BY(mutex_) = false;
};

}  // namespace thermpos::opos
