// The core of our control objects: what stands between an application and a service
// object.
//
// For a device class and a logical device name it reads the ProgID from the device's
// registry key, creates the service object, and opens it with OpenService, passing its
// own IDispatch. That IDispatch answers the service object's four callbacks and hands
// each to a C++ listener. Any service-object method can then be called by name with typed
// arguments; Close ends with CloseService.
//
// Threads: methods are called on the application's thread. The listener is called on
// the service object's event thread, one callback at a time; it may call back into the
// control object. Listener and callback set are fixed before Open. Locks: soMutex_
// only, held just to copy or swap the service-object pointer, never during a call.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "opos/OposConstants.h"
#include "platform/automation.h"
#include "platform/comserver.h"
#include "platform/dispatch.h"
#include "platform/thread_safety.h"

namespace thermpos::opos {

// What the application hears from the service object. Default: nothing.
class ControlEventListener {
  public:
    virtual ~ControlEventListener() = default;
    virtual void OnStatusUpdate(LONG /*data*/) {}
    virtual void OnOutputComplete(LONG /*outputId*/) {}
    // *errorResponse holds the service object's proposal; what is left there goes back.
    virtual void OnError(LONG /*resultCode*/, LONG /*resultCodeExtended*/, LONG /*errorLocus*/,
                         LONG* /*errorResponse*/) {}
    virtual void OnDirectIO(LONG /*eventNumber*/, LONG* /*data*/, std::string* /*text*/) {}
};

// The callbacks the control object's IDispatch knows (a service object skips the others).
enum CallbackSet : unsigned {
    kCallbackStatusUpdate = 1,
    kCallbackOutputComplete = 2,
    kCallbackError = 4,
    kCallbackDirectIO = 8,
    kAllCallbacks = 15,
};

class COposControl {
  public:
    // deviceClass: "POSPrinter" or "CashDrawer" (the registry folder and OpenService's
    // first argument).
    explicit COposControl(std::string deviceClass, unsigned callbacks = kAllCallbacks);
    ~COposControl();  // closes when open
    COposControl(const COposControl&) = delete;
    COposControl& operator=(const COposControl&) = delete;

    void SetListener(ControlEventListener* listener) { listener_ = listener; }

    // 0; OPOS_OR_ALREADYOPEN (301) when open; OPOS_OR_REGBADNAME (302) no device key;
    // OPOS_OR_REGPROGID (303) no ProgID or it names no class; OPOS_OR_CREATE (304) the
    // object cannot be created; OPOS_OR_BADIF (305) it has no OpenService; the service
    // object's own code when OpenService fails (OpenResult() then holds its
    // GetOpenResult() or OPOS_OR_FAILEDOPEN); OPOS_OR_BADVERSION (307) when its major
    // version is not 1. The service object is released again on every failure.
    LONG Open(const std::string& deviceName);
    // CloseService's result, then the service object is released; 101 when not open.
    // A Close the service object refuses while staying open (called from inside one of
    // its callbacks) leaves everything open.
    LONG Close();
    bool IsOpen() const;
    LONG OpenResult() const { return openResult_; }
    // The failure HRESULT of the last Open step or call, S_OK after a success.
    HRESULT LastError() const { return lastError_.load(); }
    // Not AddRef'd: valid until Close, on the thread that opens and closes.
    IDispatch* ServiceObject() const;
    const std::string& DeviceClass() const { return deviceClass_; }

    // Calls a service-object method by name. E_POINTER when not open; otherwise the
    // HRESULT of GetIDsOfNames or Invoke (result receives the method's result).
    HRESULT Call(std::string_view method, thermpos::platform::com::OutgoingArgs& args,
                 VARIANT* result = nullptr);
    // For methods with a long result: the result, or OPOS_E_CLOSED when not open,
    // OPOS_E_NOSERVICE when the call fails (LastError() tells why).
    LONG CallLong(std::string_view method, thermpos::platform::com::OutgoingArgs& args);
    LONG CallLong(std::string_view method);

    // The property methods of the service object.
    LONG GetPropertyNumber(LONG index);
    void SetPropertyNumber(LONG index, LONG value);
    std::string GetPropertyString(LONG index);
    void SetPropertyString(LONG index, std::string_view value);

    // Reads the ProgID of a logical device (the default value of its key): 0, 302 no
    // key, 303 no value.
    static LONG ReadProgId(const std::string& deviceClass, const std::string& deviceName,
                           std::string* progId);

  private:
    class Sink;

    std::string deviceClass_;
    unsigned callbacks_;
    ControlEventListener* listener_ = nullptr;
    // A call holds its own reference, so a Close on another thread (or from inside a
    // listener) cannot free the service object under it.
    mutable thermpos::platform::Mutex soMutex_;
    thermpos::platform::com::ComPtr<IDispatch> so_ GUARDED_BY(soMutex_);
    thermpos::platform::com::ComPtr<Sink> sink_;
    LONG openResult_ = 0;
    // Written by calls from the application thread and from listeners on the event thread.
    std::atomic<HRESULT> lastError_{S_OK};
};

}  // namespace thermpos::opos
