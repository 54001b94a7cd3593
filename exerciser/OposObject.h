// One control object reached by name through its automation surface, the way the program
// holds POSPrinter1 and CashDrawer1: properties got and set by name, methods called by name
// with VARIANT arguments, events through an event sink.
//
// A failure of the automation call itself (no control object, an unknown member, a type
// the member refuses) is not an OPOS result: it is reported once per call through the
// failure sink as a line of its own, and the call answers OPOS_E_NOSERVICE (methods) or
// 0 / "" (property gets), which is what a control object answers for a member its
// service object cannot serve. Nothing here throws or ends the program.
//
// Threads: the GUI thread makes every call, except that CashDrawerForm's waiter thread
// calls one method (WaitForDrawerClose) while the GUI thread may call others; the control
// object allows that, and this class keeps no state that a call changes.
#pragma once

#include <functional>
#include <string>

#include "platform/comserver.h"
#include "platform/dispatch.h"

namespace exerciser {

class COposObject {
  public:
    using FailureSink = std::function<void(const std::string& line)>;

    // name: what the program calls it ("POSPrinter1"); progId: the class to create.
    COposObject(std::string name, std::string progId);
    ~COposObject();
    COposObject(const COposObject&) = delete;
    COposObject& operator=(const COposObject&) = delete;

    // Creates the control object by its ProgID; false (and a failure line) when it cannot.
    bool Create();
    // Uses an object made elsewhere (tests); AddRefs it.
    void Attach(IDispatch* object);
    bool Exists() const { return static_cast<bool>(object_); }
    IDispatch* Object() const { return object_.Get(); }
    const std::string& Name() const { return name_; }

    void SetFailureSink(FailureSink sink) { failure_ = std::move(sink); }

    [[nodiscard]] LONG GetLong(const char* property);
    // A Boolean property compared with True (-1).
    [[nodiscard]] bool GetBool(const char* property);
    [[nodiscard]] std::string GetString(const char* property);
    // The property as the control object answers it, of whatever type; false (value left
    // empty) when the get fails.
    [[nodiscard]] bool GetValue(const char* property, VARIANT* value) {
        return Get(property, value);
    }
    void SetLong(const char* property, LONG value);
    void SetShort(const char* property, SHORT value);
    void SetBool(const char* property, bool value);
    void SetDispatch(const char* property, IDispatch* value);

    // A method returning an OPOS result code.
    [[nodiscard]] LONG Call(const char* method, thermpos::platform::com::OutgoingArgs& args);
    [[nodiscard]] LONG Call(const char* method);

  private:
    bool Get(const char* property, VARIANT* value);
    void Put(const char* property, thermpos::platform::com::OutgoingArgs& value);
    void Fail(const std::string& member, const std::string& why);

    std::string name_;
    std::string progId_;
    thermpos::platform::com::ComPtr<IDispatch> object_;
    FailureSink failure_;
};

// The program's side of the printer control object's events, as the sink delivers them.
class CPrinterEvents {
  public:
    virtual ~CPrinterEvents() = default;
    virtual void StatusUpdateEvent(LONG data) = 0;
    virtual void ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                            LONG& errorResponse) = 0;
};

// The IDispatch a control object fires its events at (its EventSink property). Output
// complete and direct I/O events are accepted and ignored. Detach() before the handler
// goes away; the control object may hold the sink longer.
class CEventSink final : public thermpos::platform::com::DispatchObject {
  public:
    // Reference count 1.
    static CEventSink* Create(CPrinterEvents* handler);
    void Detach() { handler_ = nullptr; }
    CPrinterEvents* Handler() const { return handler_; }

  private:
    explicit CEventSink(CPrinterEvents* handler);
    CPrinterEvents* handler_;
};

}  // namespace exerciser
