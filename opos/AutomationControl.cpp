#include "opos/AutomationControl.h"

#include <map>
#include <new>

namespace thermpos::opos {

using platform::com::ArgKind;
using platform::com::DispatchArgs;
using platform::com::DispatchEntry;
using platform::com::DispatchTable;
using platform::com::OutgoingArgs;
using platform::com::ResultKind;

namespace {

ControlCore& Core(DispatchArgs& a) {
    return a.Self<CAutomationControl>().Core();
}

ResultKind ResultOf(PropType type) {
    switch (type) {
        case PropType::Bool:
            return ResultKind::Bool;
        case PropType::Long:
            return ResultKind::I4;
        default:
            return ResultKind::Bstr;
    }
}

ArgKind ArgOf(ParamKind kind) {
    switch (kind) {
        case ParamKind::Long:
            return ArgKind::I4;
        case ParamKind::String:
            return ArgKind::Bstr;
        case ParamKind::LongRef:
            return ArgKind::I4Ref;
        default:
            return ArgKind::BstrRef;
    }
}

DispatchEntry PropertyEntry(const PropertyInfo& p) {
    DispatchEntry e;
    e.names = {p.name};
    e.result = ResultOf(p.type);
    e.dispId = p.dispId;
    const LONG index = p.index;
    switch (p.type) {
        case PropType::Bool:
            e.handler = [index](DispatchArgs& a, VARIANT* r) {
                return a.ReturnBool(r, Core(a).GetNumber(index) != 0);
            };
            if (p.writable)
                e.put = [index](DispatchArgs& a, VARIANT*) {
                    Core(a).SetNumber(index, a.Bool(0) ? 1 : 0);
                    return S_OK;
                };
            break;
        case PropType::Long:
            e.handler = [index](DispatchArgs& a, VARIANT* r) {
                return a.ReturnLong(r, Core(a).GetNumber(index));
            };
            if (p.writable)
                e.put = [index](DispatchArgs& a, VARIANT*) {
                    Core(a).SetNumber(index, a.Long(0));
                    return S_OK;
                };
            break;
        case PropType::String:
            e.handler = [index](DispatchArgs& a, VARIANT* r) {
                return a.ReturnString(r, Core(a).GetString(index));
            };
            if (p.writable)
                e.put = [index](DispatchArgs& a, VARIANT*) {
                    Core(a).SetString(index, a.String(0));
                    return S_OK;
                };
            break;
    }
    return e;
}

DispatchEntry MethodEntry(const MethodInfo& m) {
    DispatchEntry e;
    e.names = {m.name};
    e.result = ResultKind::I4;
    e.dispId = m.dispId;
    for (ParamKind k : m.params)
        e.args.push_back(ArgOf(k));
    const std::string name = m.name;
    if (name == "Open") {
        e.handler = [](DispatchArgs& a, VARIANT* r) {
            return a.ReturnLong(r, Core(a).Open(a.String(0)));
        };
    } else if (name == "Close") {
        e.handler = [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, Core(a).Close()); };
    } else {
        const MethodInfo* method = &m;
        e.handler = [method](DispatchArgs& a, VARIANT* r) {
            // The caller's arguments go on as they came; by-reference ones point at the
            // caller's storage, so what the service object writes reaches the caller.
            OutgoingArgs out;
            for (size_t i = 0; i < method->params.size(); ++i) {
                switch (method->params[i]) {
                    case ParamKind::Long:
                        out.Long(a.Long(i));
                        break;
                    case ParamKind::String:
                        out.WString(a.WString(i));
                        break;
                    case ParamKind::LongRef:
                        out.LongRef(&a.LongRef(i));
                        break;
                    case ParamKind::StringRef:
                        out.BstrRef(a.BstrRef(i));
                        break;
                }
            }
            return a.ReturnLong(r, Core(a).Call(*method, out));
        };
    }
    return e;
}

DispatchEntry Plain(const char* name, DISPID id, ResultKind result,
                    platform::com::DispatchHandler get,
                    platform::com::DispatchHandler put = nullptr) {
    DispatchEntry e;
    e.names = {name};
    e.result = result;
    e.dispId = id;
    e.handler = std::move(get);
    e.put = std::move(put);
    return e;
}

std::vector<DispatchEntry> EntriesOf(const ClassTable& table) {
    std::vector<DispatchEntry> entries;
    for (const PropertyInfo& p : table.properties)
        entries.push_back(PropertyEntry(p));
    for (const MethodInfo& m : table.methods)
        entries.push_back(MethodEntry(m));
    entries.push_back(Plain("OpenResult", 49, ResultKind::I4, [](DispatchArgs& a, VARIANT* r) {
        return a.ReturnLong(r, Core(a).OpenResult());
    }));
    entries.push_back(
        Plain("ControlObjectDescription", 25, ResultKind::Bstr, [](DispatchArgs& a, VARIANT* r) {
            return a.ReturnString(r, Core(a).Table().description);
        }));
    entries.push_back(
        Plain("ControlObjectVersion", 26, ResultKind::I4,
              [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, kControlObjectVersion); }));
    entries.push_back(Plain(
        "EventSink", kDispIdEventSink, ResultKind::Dispatch,
        [](DispatchArgs& a, VARIANT* r) {
            platform::com::ComPtr<IDispatch> sink =
                platform::com::ComPtr<IDispatch>::Adopt(a.Self<CAutomationControl>().Sink());
            return a.ReturnDispatch(r, sink.Get());
        },
        [](DispatchArgs& a, VARIANT*) {
            a.Self<CAutomationControl>().SetSink(a.Dispatch(0));
            return S_OK;
        }));
    entries.push_back(
        Plain("EventDescriptor", kDispIdEventDescriptor, ResultKind::I4,
              [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, Core(a).EventFd()); }));
    entries.push_back(Plain(
        "DispatchEvents", kDispIdDispatchEvents, ResultKind::I4,
        [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, Core(a).DispatchEvents()); }));
    entries.push_back(Plain(
        "DirectEvents", kDispIdDirectEvents, ResultKind::Bool,
        [](DispatchArgs& a, VARIANT* r) {
            return a.ReturnBool(r, Core(a).Delivery() == EventDelivery::Direct);
        },
        [](DispatchArgs& a, VARIANT*) {
            Core(a).SetDelivery(a.Bool(0) ? EventDelivery::Direct : EventDelivery::Queued);
            return S_OK;
        }));
    return entries;
}

}  // namespace

const DispatchTable& CAutomationControl::TableFor(const ClassTable& table) {
    static const DispatchTable printer(EntriesOf(PosPrinterTable()));
    static const DispatchTable drawer(EntriesOf(CashDrawerTable()));
    return &table == &PosPrinterTable() ? printer : drawer;
}

CAutomationControl::CAutomationControl(const ClassTable& table)
    : DispatchObject(&TableFor(table), this), core_(table) {
    core_.SetHandler(this);
}

IUnknown* CAutomationControl::CreatePosPrinter() {
    return static_cast<IDispatch*>(new (std::nothrow) CAutomationControl(PosPrinterTable()));
}

IUnknown* CAutomationControl::CreateCashDrawer() {
    return static_cast<IDispatch*>(new (std::nothrow) CAutomationControl(CashDrawerTable()));
}

void CAutomationControl::OnFinalRelease() {
    if (core_.IsOpen())
        core_.Close();
    SetSink(nullptr);
}

CAutomationControl::EventIds CAutomationControl::ResolveEvents(IDispatch* sink) {
    static constexpr struct {
        const char* name;
        DISPID standard;
    } kEvents[kEventCount] = {
        {"StatusUpdateEvent", kDispIdStatusUpdateEvent},
        {"OutputCompleteEvent", kDispIdOutputCompleteEvent},
        {"ErrorEvent", kDispIdErrorEvent},
        {"DirectIOEvent", kDispIdDirectIOEvent},
    };
    EventIds ids{};
    platform::com::DispatchDriver driver(sink);
    for (int i = 0; i < kEventCount; ++i) {
        const DISPID named = sink ? driver.GetDispId(kEvents[i].name) : DISPID_UNKNOWN;
        ids.id[i] = named == DISPID_UNKNOWN ? kEvents[i].standard : named;
    }
    return ids;
}

void CAutomationControl::SetSink(IDispatch* sink) {
    // Asked here, on the application's thread, where the sink may be called directly.
    const EventIds events = ResolveEvents(sink);
    if (sink)
        sink->AddRef();
    platform::com::ComPtr<IDispatch> old;
    thermpos::platform::MutexLock lock(sinkMutex_);
    old = std::move(sink_);
    sink_ = platform::com::ComPtr<IDispatch>::Adopt(sink);
    sinkEvents_ = events;
    // Set on the application's thread; events may fire on the service object's.
    if (FAILED(sinkHandoff_.Give(sink)))
        sinkHandoff_.Revoke();
}

IDispatch* CAutomationControl::Sink() {
    thermpos::platform::MutexLock lock(sinkMutex_);
    if (sink_)
        sink_->AddRef();
    return sink_.Get();
}

void CAutomationControl::Fire(Event event, OutgoingArgs& args) {
    // Our reference keeps the sink alive through the call, whatever SetSink does meanwhile;
    // the call itself goes through the handoff, into the application's apartment.
    platform::com::ComPtr<IDispatch> sink;
    DISPID id = DISPID_UNKNOWN;
    auto take = [&] {
        thermpos::platform::MutexLock lock(sinkMutex_);
        id = sinkEvents_.id[event];
        if (sink_) {
            sink_->AddRef();
            sink = platform::com::ComPtr<IDispatch>::Adopt(sink_.Get());
        }
        return sinkHandoff_.Take();
    };
    auto use = take();
    if (sink && use)
        (void)platform::com::DispatchDriver(use.Get()).Call(id, args);
}

void CAutomationControl::StatusUpdateEvent(LONG data) {
    OutgoingArgs args;
    args.Long(data);
    Fire(kStatusUpdate, args);
}

void CAutomationControl::OutputCompleteEvent(LONG outputId) {
    OutgoingArgs args;
    args.Long(outputId);
    Fire(kOutputComplete, args);
}

void CAutomationControl::ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                                    LONG& errorResponse) {
    OutgoingArgs args;
    args.Long(resultCode).Long(resultCodeExtended).Long(errorLocus).LongRef(&errorResponse);
    Fire(kError, args);
}

void CAutomationControl::DirectIOEvent(LONG eventNumber, LONG& data, std::string& text) {
    BSTR raw = platform::com::BString::FromAnsi(text).Release();
    OutgoingArgs args;
    args.Long(eventNumber).LongRef(&data).BstrRef(&raw);
    Fire(kDirectIO, args);
    text = platform::com::BString::Adopt(raw).Ansi();
}

}  // namespace thermpos::opos
