#include "so/core/QueuedEvent.h"

#include "platform/dispatch.h"

namespace thermpos::so {

using thermpos::platform::com::DispatchDriver;
using thermpos::platform::com::OutgoingArgs;

void CControlCallback::Attach(IDispatch* target) {
    // Names are looked up here, on the giving thread, where the pointer is the caller's own.
    DispatchDriver driver(target);
    auto lookup = [&](const char* name) {
        return target ? driver.GetDispId(name) : DISPID_UNKNOWN;
    };
    dispidDirectIO = lookup("SODirectIO");
    dispidError = lookup("SOError");
    dispidOutputComplete = lookup("SOOutputComplete");
    dispidStatusUpdate = lookup("SOStatusUpdate");
    // Without a way to reach the object from the event thread, no callback is made.
    if (FAILED(target_.Give(target)))
        dispidDirectIO = dispidError = dispidOutputComplete = dispidStatusUpdate = DISPID_UNKNOWN;
}

void CControlCallback::Detach() {
    target_.Revoke();
    dispidDirectIO = dispidError = dispidOutputComplete = dispidStatusUpdate = DISPID_UNKNOWN;
}

HRESULT CControlCallback::DirectIO(LONG eventNumber, LONG* data, std::string* text) {
    if (target_.Empty() || dispidDirectIO == DISPID_UNKNOWN)
        return S_FALSE;
    // The callee may free and replace the string; whatever it leaves is ours to free.
    BSTR string = thermpos::platform::com::BString::FromAnsi(text ? *text : "").Release();
    LONG scratch = 0;
    HRESULT hr;
    {
        OutgoingArgs args;
        args.Long(eventNumber).LongRef(data ? data : &scratch).BstrRef(&string);
        hr = Call(dispidDirectIO, args);
    }
    if (text)
        *text = thermpos::platform::com::WideToAnsi(thermpos::platform::com::BstrView(string));
    SysFreeString(string);
    return hr;
}

HRESULT CControlCallback::Error(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                                LONG* errorResponse) {
    if (target_.Empty() || dispidError == DISPID_UNKNOWN)
        return S_FALSE;
    OutgoingArgs args;
    LONG scratch = 0;
    args.Long(resultCode)
        .Long(resultCodeExtended)
        .Long(errorLocus)
        .LongRef(errorResponse ? errorResponse : &scratch);
    return Call(dispidError, args);
}

HRESULT CControlCallback::OutputComplete(LONG outputId) {
    return CallWithLong(dispidOutputComplete, outputId);
}

HRESULT CControlCallback::StatusUpdate(LONG data) {
    return CallWithLong(dispidStatusUpdate, data);
}

HRESULT CControlCallback::CallWithLong(DISPID dispid, LONG value) {
    if (target_.Empty() || dispid == DISPID_UNKNOWN)
        return S_FALSE;
    OutgoingArgs args;
    args.Long(value);
    return Call(dispid, args);
}

HRESULT CControlCallback::Call(DISPID dispid, OutgoingArgs& args) {
    auto use = target_.Take();
    if (!use)
        return S_FALSE;
    return DispatchDriver(use.Get()).Call(dispid, args);
}

}  // namespace thermpos::so
