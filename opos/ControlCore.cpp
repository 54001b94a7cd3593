#include "opos/ControlCore.h"

#include "platform/dispatch.h"

namespace thermpos::opos {

using platform::com::OutgoingArgs;

ControlCore::ControlCore(const ClassTable& table) : table_(table), control_(table.deviceClass) {
    control_.SetListener(this);
}

ControlCore::~ControlCore() {
    if (IsOpen())
        Close();
}

// ---------------------------------------------------------------------------------------
// Open and close

LONG ControlCore::Open(const std::string& deviceName) {
    if (IsOpen()) {
        openResult_ = OPOS_OR_ALREADYOPEN;
        return Refuse(OPOS_E_ILLEGAL);
    }
    LONG rc = control_.Open(deviceName);
    switch (rc) {
        case OPOS_SUCCESS:
            break;
        case OPOS_OR_REGBADNAME:
            openResult_ = rc;
            return Refuse(OPOS_E_NOEXIST);
        case OPOS_OR_REGPROGID:
        case OPOS_OR_CREATE:
        case OPOS_OR_BADIF:
        case OPOS_OR_BADVERSION:
            openResult_ = rc;
            return Refuse(OPOS_E_NOSERVICE);
        default:  // OpenService's own refusal
            openResult_ = control_.OpenResult();
            return Refuse(rc);
    }

    const LONG version = control_.GetPropertyNumber(PIDX_ServiceObjectVersion);
    soMinor_ = static_cast<int>(version / 1000 % 1000);
    platform::com::DispatchDriver so(control_.ServiceObject());
    for (const RequiredMethod& m : table_.required) {
        if (m.since > soMinor_)
            continue;
        if (so.GetDispId(m.name) == DISPID_UNKNOWN &&
            (!m.alias || so.GetDispId(m.alias) == DISPID_UNKNOWN)) {
            Close();
            openResult_ = OPOS_OR_BADIF;
            return Refuse(OPOS_E_NOSERVICE);
        }
    }
    {
        thermpos::platform::MutexLock lock(mutex_);
        frozen_ = false;
    }
    openResult_ = OPOS_SUCCESS;
    refused_ = -1;
    return OPOS_SUCCESS;
}

void ControlCore::DropQueued() {
    thermpos::platform::MutexLock lock(mutex_);
    for (const auto& event : queue_)
        event->done = true;
    queue_.clear();
    if (inFlight_)
        inFlight_->done = true;
    answered_.notify_all();
}

LONG ControlCore::Close() {
    if (!IsOpen())
        return Refuse(OPOS_E_CLOSED);
    {
        thermpos::platform::MutexLock lock(mutex_);
        closing_ = true;
    }
    DropQueued();
    LONG rc = control_.Close();
    {
        thermpos::platform::MutexLock lock(mutex_);
        closing_ = false;
    }
    // A service object that refused (a Close from inside its own callback) stays open and
    // its ResultCode tells why.
    if (!IsOpen()) {
        wake_.Drain();
        refused_ = -1;
    }
    return rc;
}

LONG ControlCore::Refuse(LONG rc) {
    refused_ = rc;
    return rc;
}

// ---------------------------------------------------------------------------------------
// Properties

LONG ControlCore::GetNumber(LONG index) {
    if (!IsOpen()) {
        if (index == PIDX_ResultCode)
            return OPOS_E_CLOSED;
        return index == PIDX_State ? OPOS_S_CLOSED : 0;
    }
    if (index == PIDX_ResultCode && refused_ >= 0)
        return refused_;
    const PropertyInfo* p = table_.FindIndex(index);
    if (p && !Supported(p->since))
        return 0;
    return control_.GetPropertyNumber(index);
}

const PropertyInfo* ControlCore::SettableProperty(LONG index, bool* refused) {
    *refused = true;
    if (!IsOpen()) {
        Refuse(OPOS_E_CLOSED);
        return nullptr;
    }
    const PropertyInfo* p = table_.FindIndex(index);
    if (p && !Supported(p->since)) {
        Refuse(OPOS_E_NOSERVICE);
        return nullptr;
    }
    *refused = false;
    return p;
}

void ControlCore::SetNumber(LONG index, LONG value) {
    bool refused;
    const PropertyInfo* p = SettableProperty(index, &refused);
    if (refused)
        return;
    if (p && p->type == PropType::Bool)
        value = value != 0 ? 1 : 0;
    refused_ = -1;
    if (index != PIDX_FreezeEvents) {
        control_.SetPropertyNumber(index, value);
        return;
    }
    // Freezing, the service object stops first; thawing, our queue moves first, so that
    // what the service object then delivers at once comes after what we held back.
    if (value) {
        control_.SetPropertyNumber(index, value);
        if (control_.GetPropertyNumber(PIDX_ResultCode) != OPOS_SUCCESS)
            return;
        thermpos::platform::MutexLock lock(mutex_);
        frozen_ = true;
    } else {
        {
            thermpos::platform::MutexLock lock(mutex_);
            frozen_ = false;
            if (!queue_.empty())
                wake_.Signal();
        }
        control_.SetPropertyNumber(index, value);
    }
}

std::string ControlCore::GetString(LONG index) {
    if (!IsOpen())
        return std::string();
    const PropertyInfo* p = table_.FindIndex(index);
    if (p && !Supported(p->since))
        return std::string();
    return control_.GetPropertyString(index);
}

void ControlCore::SetString(LONG index, const std::string& value) {
    bool refused;
    (void)SettableProperty(index, &refused);
    if (refused)
        return;
    refused_ = -1;
    control_.SetPropertyString(index, value);
}

// ---------------------------------------------------------------------------------------
// Methods

LONG ControlCore::Call(const MethodInfo& method, OutgoingArgs& args) {
    if (!IsOpen())
        return Refuse(OPOS_E_CLOSED);
    if (!Supported(method.since))
        return Refuse(OPOS_E_NOSERVICE);
    platform::com::Variant result;
    LONG rc = OPOS_E_NOSERVICE;
    if (FAILED(control_.Call(method.name, args, result.Get())) || !result.ToLong(&rc))
        return Refuse(OPOS_E_NOSERVICE);
    refused_ = -1;
    return rc;
}

// ---------------------------------------------------------------------------------------
// Events

void ControlCore::SetDelivery(EventDelivery delivery) {
    delivery_ = delivery;
}

int ControlCore::PendingEvents() const {
    thermpos::platform::MutexLock lock(mutex_);
    return static_cast<int>(queue_.size());
}

void ControlCore::Raise(const std::shared_ptr<PendingEvent>& event, bool wait) {
    thermpos::platform::UniqueLock lock(mutex_);
    if (closing_)
        return;
    queue_.push_back(event);
    if (!frozen_)
        wake_.Signal();
    if (wait)
        answered_.wait(lock.Std(), [&] { return event->done; });
}

void ControlCore::RaiseValue(DISPID kind, LONG value, void (EventHandler::*direct)(LONG)) {
    if (delivery_ == EventDelivery::Direct) {
        if (EventHandler* h = handler_)
            (h->*direct)(value);
        return;
    }
    auto event = std::make_shared<PendingEvent>();
    event->kind = kind;
    event->value1 = value;
    Raise(event, false);
}

void ControlCore::OnStatusUpdate(LONG data) {
    RaiseValue(kDispIdStatusUpdateEvent, data, &EventHandler::StatusUpdateEvent);
}

void ControlCore::OnOutputComplete(LONG outputId) {
    RaiseValue(kDispIdOutputCompleteEvent, outputId, &EventHandler::OutputCompleteEvent);
}

void ControlCore::OnError(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                          LONG* errorResponse) {
    if (delivery_ == EventDelivery::Direct) {
        if (EventHandler* h = handler_)
            h->ErrorEvent(resultCode, resultCodeExtended, errorLocus, *errorResponse);
        return;
    }
    auto event = std::make_shared<PendingEvent>();
    event->kind = kDispIdErrorEvent;
    event->value1 = resultCode;
    event->value2 = resultCodeExtended;
    event->value3 = errorLocus;
    event->response = *errorResponse;
    // The service object's output waits for this answer, so this thread waits with it.
    Raise(event, true);
    thermpos::platform::MutexLock lock(mutex_);
    *errorResponse = event->response;
}

void ControlCore::OnDirectIO(LONG eventNumber, LONG* data, std::string* text) {
    if (delivery_ == EventDelivery::Direct) {
        if (EventHandler* h = handler_)
            h->DirectIOEvent(eventNumber, *data, *text);
        return;
    }
    auto event = std::make_shared<PendingEvent>();
    event->kind = kDispIdDirectIOEvent;
    event->value1 = eventNumber;
    event->value2 = *data;
    event->text = *text;
    Raise(event, true);
    thermpos::platform::MutexLock lock(mutex_);
    *data = event->value2;
    *text = event->text;
}

void ControlCore::Deliver(PendingEvent& event) {
    EventHandler* h = handler_;
    if (!h)
        return;
    switch (event.kind) {
        case kDispIdStatusUpdateEvent:
            h->StatusUpdateEvent(event.value1);
            break;
        case kDispIdOutputCompleteEvent:
            h->OutputCompleteEvent(event.value1);
            break;
        case kDispIdErrorEvent:
            h->ErrorEvent(event.value1, event.value2, event.value3, event.response);
            break;
        case kDispIdDirectIOEvent:
            h->DirectIOEvent(event.value1, event.value2, event.text);
            break;
        default:
            break;
    }
}

int ControlCore::DispatchEvents() {
    // A handler that dispatches again would deliver out of order.
    if (dispatching_.exchange(true))
        return 0;
    wake_.Drain();
    int delivered = 0;
    for (;;) {
        std::shared_ptr<PendingEvent> event;
        {
            thermpos::platform::MutexLock lock(mutex_);
            if (frozen_ || queue_.empty())
                break;
            event = std::move(queue_.front());
            queue_.pop_front();
            inFlight_ = event;
        }
        // The handler works on a copy: a Close from inside it lets the raising thread go
        // on at once, and the answer then no longer matters.
        PendingEvent copy = *event;
        Deliver(copy);
        {
            thermpos::platform::MutexLock lock(mutex_);
            if (!event->done) {
                event->response = copy.response;
                event->value2 = copy.value2;
                event->text = std::move(copy.text);
                event->done = true;
            }
            inFlight_.reset();
        }
        answered_.notify_all();
        ++delivered;
    }
    dispatching_ = false;
    return delivered;
}

}  // namespace thermpos::opos
