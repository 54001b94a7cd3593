#include "exerciser/OposObject.h"

#include <cstdio>
#include <new>

#include "opos/ControlTables.h"
#include "opos/OposConstants.h"
#include "platform/activation.h"

namespace exerciser {

using thermpos::platform::com::ArgKind;
using thermpos::platform::com::DispatchArgs;
using thermpos::platform::com::DispatchDriver;
using thermpos::platform::com::DispatchTable;
using thermpos::platform::com::OutgoingArgs;
using thermpos::platform::com::ResultKind;
using thermpos::platform::com::Variant;

namespace {

std::string HResultText(HRESULT hr) {
    switch (hr) {
        case DISP_E_UNKNOWNNAME:
            return "no such member";
        case DISP_E_MEMBERNOTFOUND:
            return "member not found";
        case DISP_E_BADPARAMCOUNT:
            return "wrong number of arguments";
        case DISP_E_TYPEMISMATCH:
            return "type mismatch";
        case E_POINTER:
            return "no control object";
        default:
            break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return std::string("automation error ") + text;
}

}  // namespace

COposObject::COposObject(std::string name, std::string progId)
    : name_(std::move(name)), progId_(std::move(progId)) {}

COposObject::~COposObject() = default;

bool COposObject::Create() {
    IDispatch* created = nullptr;
    const HRESULT hr = thermpos::platform::com::CreateObjectByProgID(progId_, &created);
    if (FAILED(hr) || !created) {
        Fail("", "cannot create " + progId_ + " (" +
                     thermpos::platform::com::DescribeActivationError(hr) + ")");
        return false;
    }
    object_ = thermpos::platform::com::ComPtr<IDispatch>::Adopt(created);
    return true;
}

void COposObject::Attach(IDispatch* object) {
    if (object)
        object->AddRef();
    object_ = thermpos::platform::com::ComPtr<IDispatch>::Adopt(object);
}

void COposObject::Fail(const std::string& member, const std::string& why) {
    if (failure_)
        failure_(name_ + (member.empty() ? "" : "." + member) + " : " + why);
}

bool COposObject::Get(const char* property, VARIANT* value) {
    if (!object_) {
        Fail(property, HResultText(E_POINTER));
        return false;
    }
    DispatchDriver driver(object_.Get());
    HRESULT hr = S_OK;
    const DISPID id = driver.GetDispId(property, &hr);
    if (id == DISPID_UNKNOWN) {
        Fail(property, HResultText(FAILED(hr) ? hr : DISP_E_UNKNOWNNAME));
        return false;
    }
    hr = driver.GetProperty(id, value);
    if (FAILED(hr)) {
        Fail(property, HResultText(hr));
        return false;
    }
    return true;
}

LONG COposObject::GetLong(const char* property) {
    Variant v;
    LONG value = 0;
    if (Get(property, v.Get()) && !v.ToLong(&value)) {
        Fail(property, HResultText(DISP_E_TYPEMISMATCH));
        value = 0;
    }
    return value;
}

bool COposObject::GetBool(const char* property) {
    return GetLong(property) == VARIANT_TRUE;
}

std::string COposObject::GetString(const char* property) {
    Variant v;
    std::string text;
    if (Get(property, v.Get()) && !v.ToAnsi(&text)) {
        Fail(property, HResultText(DISP_E_TYPEMISMATCH));
        text.clear();
    }
    return text;
}

void COposObject::Put(const char* property, OutgoingArgs& value) {
    if (!object_) {
        Fail(property, HResultText(E_POINTER));
        return;
    }
    DispatchDriver driver(object_.Get());
    HRESULT hr = S_OK;
    const DISPID id = driver.GetDispId(property, &hr);
    if (id == DISPID_UNKNOWN) {
        Fail(property, HResultText(FAILED(hr) ? hr : DISP_E_UNKNOWNNAME));
        return;
    }
    hr = driver.PutProperty(id, value);
    if (FAILED(hr))
        Fail(property, HResultText(hr));
}

void COposObject::SetLong(const char* property, LONG value) {
    OutgoingArgs args;
    args.Long(value);
    Put(property, args);
}

void COposObject::SetShort(const char* property, SHORT value) {
    OutgoingArgs args;
    args.Short(value);
    Put(property, args);
}

void COposObject::SetBool(const char* property, bool value) {
    OutgoingArgs args;
    args.Bool(value);
    Put(property, args);
}

void COposObject::SetDispatch(const char* property, IDispatch* value) {
    OutgoingArgs args;
    args.Dispatch(value);
    Put(property, args);
}

LONG COposObject::Call(const char* method, OutgoingArgs& args) {
    if (!object_) {
        Fail(method, HResultText(E_POINTER));
        return OPOS_E_NOSERVICE;
    }
    DispatchDriver driver(object_.Get());
    Variant result;
    const HRESULT hr = driver.Call(method, args, result.Get());
    if (FAILED(hr)) {
        Fail(method, HResultText(hr));
        return OPOS_E_NOSERVICE;
    }
    LONG code = 0;
    if (!result.ToLong(&code)) {
        Fail(method, HResultText(DISP_E_TYPEMISMATCH));
        return OPOS_E_NOSERVICE;
    }
    return code;
}

LONG COposObject::Call(const char* method) {
    OutgoingArgs none;
    return Call(method, none);
}

// ---------------------------------------------------------------------------------------

namespace {

CPrinterEvents* HandlerOf(DispatchArgs& a) {
    return a.Self<CEventSink>().Handler();
}

const DispatchTable& SinkTable() {
    using thermpos::platform::com::DispatchEntry;
    static const DispatchTable table({
        DispatchEntry(
            {"StatusUpdateEvent"}, {ArgKind::I4}, ResultKind::Void,
            [](DispatchArgs& a, VARIANT*) {
                if (CPrinterEvents* h = HandlerOf(a))
                    h->StatusUpdateEvent(a.Long(0));
                return S_OK;
            },
            thermpos::opos::kDispIdStatusUpdateEvent),
        DispatchEntry(
            {"ErrorEvent"}, {ArgKind::I4, ArgKind::I4, ArgKind::I4, ArgKind::I4Ref},
            ResultKind::Void,
            [](DispatchArgs& a, VARIANT*) {
                if (CPrinterEvents* h = HandlerOf(a))
                    h->ErrorEvent(a.Long(0), a.Long(1), a.Long(2), a.LongRef(3));
                return S_OK;
            },
            thermpos::opos::kDispIdErrorEvent),
        DispatchEntry(
            {"OutputCompleteEvent"}, {ArgKind::I4}, ResultKind::Void,
            [](DispatchArgs&, VARIANT*) { return S_OK; },
            thermpos::opos::kDispIdOutputCompleteEvent),
        DispatchEntry(
            {"DirectIOEvent"}, {ArgKind::I4, ArgKind::I4Ref, ArgKind::BstrRef}, ResultKind::Void,
            [](DispatchArgs&, VARIANT*) { return S_OK; }, thermpos::opos::kDispIdDirectIOEvent),
    });
    return table;
}

}  // namespace

CEventSink::CEventSink(CPrinterEvents* handler)
    : DispatchObject(&SinkTable(), this), handler_(handler) {}

CEventSink* CEventSink::Create(CPrinterEvents* handler) {
    return new (std::nothrow) CEventSink(handler);
}

}  // namespace exerciser
