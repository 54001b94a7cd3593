#include "opos/ControlObject.h"

#include "platform/apartment.h"

#include <new>
#include <vector>

#include "platform/activation.h"
#include "platform/apartment.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"

namespace thermpos::opos {

using platform::com::ArgKind;
using platform::com::DispatchArgs;
using platform::com::DispatchEntry;
using platform::com::DispatchTable;
using platform::com::OutgoingArgs;
using platform::com::ResultKind;
using platform::com::Variant;

namespace {

DispatchEntry Callback(const char* name, std::vector<ArgKind> args,
                       platform::com::DispatchHandler handler) {
    DispatchEntry entry;
    entry.names = {name};
    entry.args = std::move(args);
    entry.result = ResultKind::Void;
    entry.handler = std::move(handler);
    return entry;
}

}  // namespace

// The control object's IDispatch as the service object sees it. It holds no reference to
// the control object: the control object owns it and outlives every callback (CloseService
// joins the service object's event thread before it returns).
class COposControl::Sink : public platform::com::DispatchObject {
  public:
    Sink(unsigned callbacks)
        : DispatchObject(&TableFor(callbacks), this), marshaler_(static_cast<IDispatch*>(this)) {}

    ControlEventListener* listener = nullptr;

  protected:
    // The service object's event thread calls straight in, whatever apartment the
    // application's thread is in: the listener queues the events for that thread itself.
    void* QueryExtraInterface(REFIID riid) override { return marshaler_.Query(riid); }

  private:
    platform::com::FreeThreadedMarshaler marshaler_;

    static const DispatchTable& TableFor(unsigned callbacks) {
        // One table per callback set, built on first use.
        static const DispatchTable* tables[kAllCallbacks + 1] = {};
        static std::once_flag once[kAllCallbacks + 1];
        unsigned set = callbacks & kAllCallbacks;
        std::call_once(once[set], [set] { tables[set] = new DispatchTable(Entries(set)); });
        return *tables[set];
    }

    static ControlEventListener* Listener(DispatchArgs& a) { return a.Self<Sink>().listener; }

    static std::vector<DispatchEntry> Entries(unsigned set) {
        using K = ArgKind;
        std::vector<DispatchEntry> entries;
        if (set & kCallbackStatusUpdate)
            entries.push_back(Callback("SOStatusUpdate", {K::I4}, [](DispatchArgs& a, VARIANT*) {
                if (auto* l = Listener(a))
                    l->OnStatusUpdate(a.Long(0));
                return S_OK;
            }));
        if (set & kCallbackOutputComplete)
            entries.push_back(Callback("SOOutputComplete", {K::I4}, [](DispatchArgs& a, VARIANT*) {
                if (auto* l = Listener(a))
                    l->OnOutputComplete(a.Long(0));
                return S_OK;
            }));
        if (set & kCallbackError)
            entries.push_back(
                Callback("SOError", {K::I4, K::I4, K::I4, K::I4Ref}, [](DispatchArgs& a, VARIANT*) {
                    if (auto* l = Listener(a))
                        l->OnError(a.Long(0), a.Long(1), a.Long(2), &a.LongRef(3));
                    return S_OK;
                }));
        if (set & kCallbackDirectIO)
            entries.push_back(Callback("SODirectIO", {K::I4, K::I4Ref, K::BstrRef},
                                       [](DispatchArgs& a, VARIANT*) {
                                           auto* l = Listener(a);
                                           if (!l)
                                               return S_OK;
                                           std::string text = a.StringRef(2);
                                           const std::string before = text;
                                           l->OnDirectIO(a.Long(0), &a.LongRef(1), &text);
                                           return text == before ? S_OK : a.SetStringRef(2, text);
                                       }));
        return entries;
    }
};

COposControl::COposControl(std::string deviceClass, unsigned callbacks)
    : deviceClass_(std::move(deviceClass)), callbacks_(callbacks) {}

COposControl::~COposControl() {
    if (IsOpen())
        Close();
}

LONG COposControl::ReadProgId(const std::string& deviceClass, const std::string& deviceName,
                              std::string* progId) {
    if (deviceClass.empty() || deviceName.empty())
        return OPOS_OR_REGBADNAME;
    const std::string path = platform::regpath::DeviceKeyPath(deviceClass, deviceName);
    platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return OPOS_OR_REGBADNAME;
    char buffer[256] = {};
    DWORD size = sizeof(buffer) - 1;
    DWORD type = 0;
    const LONG rc = RegQueryValueExA(key.Get(), nullptr, nullptr, &type,
                                     reinterpret_cast<BYTE*>(buffer), &size);
    if (rc != ERROR_SUCCESS || type != REG_SZ || buffer[0] == '\0')
        return OPOS_OR_REGPROGID;
    *progId = buffer;
    return OPOS_SUCCESS;
}

LONG COposControl::Open(const std::string& deviceName) {
    lastError_ = S_OK;
    if (IsOpen())
        return openResult_ = OPOS_OR_ALREADYOPEN;

    std::string progId;
    if (LONG rc = ReadProgId(deviceClass_, deviceName, &progId); rc != OPOS_SUCCESS)
        return openResult_ = rc;

    platform::com::ComPtr<IDispatch> so;
    HRESULT hr = platform::com::CreateObjectByProgID(progId, so.Out());
    if (FAILED(hr)) {
        lastError_ = hr;
        return openResult_ = (hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG)
                                 ? OPOS_OR_REGPROGID
                                 : OPOS_OR_CREATE;
    }
    platform::com::DispatchDriver driver(so.Get());
    if (driver.GetDispId("OpenService", &hr) == DISPID_UNKNOWN) {
        lastError_ = hr;
        return openResult_ = OPOS_OR_BADIF;
    }

    sink_ = platform::com::ComPtr<Sink>::Adopt(new (std::nothrow) Sink(callbacks_));
    if (!sink_)
        return openResult_ = OPOS_OR_CREATE;
    sink_->listener = listener_;

    OutgoingArgs args;
    args.String(deviceClass_).String(deviceName).Dispatch(sink_.Get());
    Variant result;
    hr = driver.Call("OpenService", args, result.Get());
    LONG rc = OPOS_OR_FAILEDOPEN;
    if (FAILED(hr) || !result.ToLong(&rc)) {
        lastError_ = FAILED(hr) ? hr : DISP_E_TYPEMISMATCH;
        rc = OPOS_OR_FAILEDOPEN;
    }
    if (rc != OPOS_SUCCESS) {
        // The service object may say why in an open result of its own; anything that is
        // not one (a plain result code, or no such method) leaves the generic one.
        LONG detail = 0;
        OutgoingArgs none;
        Variant why;
        openResult_ = OPOS_OR_FAILEDOPEN;
        if (SUCCEEDED(driver.Call("GetOpenResult", none, why.Get())) && why.ToLong(&detail) &&
            detail >= OPOS_OR_ALREADYOPEN)
            openResult_ = detail;
        so.Reset();
        sink_.Reset();
        return rc;
    }
    {
        thermpos::platform::MutexLock lock(soMutex_);
        so_ = std::move(so);
    }

    LONG version = GetPropertyNumber(PIDX_ServiceObjectVersion);
    if (version / 1000000 != 1) {
        Close();
        return openResult_ = OPOS_OR_BADVERSION;
    }
    return openResult_ = OPOS_SUCCESS;
}

LONG COposControl::Close() {
    if (!IsOpen())
        return OPOS_E_CLOSED;
    LONG rc = CallLong("CloseService");
    // Refused while the service object stays open (a Close from inside a callback): the
    // objects the callback is running in must stay alive.
    if (rc != OPOS_SUCCESS) {
        LONG state = GetPropertyNumber(PIDX_State);
        if (state != OPOS_E_CLOSED && state != OPOS_S_CLOSED && state != OPOS_E_NOSERVICE)
            return rc;
    }
    platform::com::ComPtr<IDispatch> closed;
    {
        thermpos::platform::MutexLock lock(soMutex_);
        closed = std::move(so_);
    }
    closed.Reset();
    sink_.Reset();
    return rc;
}

bool COposControl::IsOpen() const {
    thermpos::platform::MutexLock lock(soMutex_);
    return static_cast<bool>(so_);
}

IDispatch* COposControl::ServiceObject() const {
    thermpos::platform::MutexLock lock(soMutex_);
    return so_.Get();
}

HRESULT COposControl::Call(std::string_view method, OutgoingArgs& args, VARIANT* result) {
    platform::com::ComPtr<IDispatch> so;
    {
        thermpos::platform::MutexLock lock(soMutex_);
        if (so_) {
            so_->AddRef();
            so = platform::com::ComPtr<IDispatch>::Adopt(so_.Get());
        }
    }
    if (!so)
        return lastError_ = E_POINTER;
    HRESULT hr = platform::com::DispatchDriver(so.Get()).Call(method, args, result);
    lastError_ = hr;
    return hr;
}

LONG COposControl::CallLong(std::string_view method, OutgoingArgs& args) {
    if (!IsOpen())
        return OPOS_E_CLOSED;
    Variant result;
    LONG value = 0;
    if (FAILED(Call(method, args, result.Get())))
        return OPOS_E_NOSERVICE;
    if (!result.ToLong(&value)) {
        lastError_ = DISP_E_TYPEMISMATCH;
        return OPOS_E_NOSERVICE;
    }
    return value;
}

LONG COposControl::CallLong(std::string_view method) {
    OutgoingArgs none;
    return CallLong(method, none);
}

LONG COposControl::GetPropertyNumber(LONG index) {
    OutgoingArgs args;
    args.Long(index);
    return CallLong("GetPropertyNumber", args);
}

void COposControl::SetPropertyNumber(LONG index, LONG value) {
    OutgoingArgs args;
    args.Long(index).Long(value);
    Call("SetPropertyNumber", args);
}

std::string COposControl::GetPropertyString(LONG index) {
    OutgoingArgs args;
    args.Long(index);
    Variant result;
    std::string text;
    if (FAILED(Call("GetPropertyString", args, result.Get())) || !result.ToAnsi(&text))
        return std::string();
    return text;
}

void COposControl::SetPropertyString(LONG index, std::string_view value) {
    OutgoingArgs args;
    args.Long(index).String(value);
    Call("SetPropertyString", args);
}

}  // namespace thermpos::opos
