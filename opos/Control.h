// The POSPrinter and CashDrawer control objects for C++ applications: what they share.
//
// A control object opens a logical device by name (the registry tells which service
// object serves it), forwards the standard methods and properties to that service object
// and raises its events to the application. PosPrinter.h and CashDrawer.h add one member
// per property and method of their class. Results are OPOS result codes; nothing throws.
//
// Events: the service object raises them on its own threads. By default the control
// object queues them and the application delivers them on its own thread: wait until
// EventDescriptor() is readable (poll, select, a Qt QSocketNotifier), then call
// DispatchEvents(), which runs the handler for every waiting event in order. With
// EventDelivery::Direct the handler runs on the service object's event thread instead.
// While an ErrorEvent waits for the application, the printer's output waits with it: the
// ErrorResponse the handler leaves is what the service object acts on. A DirectIOEvent
// waits the same way, so the data and text the handler leaves go back too.
//
// Threads: one application thread calls the members (and DispatchEvents). With direct
// delivery the handler may call members from the service object's thread as well.
// Close may be called from inside a handler.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>

#include "opos/OposConstants.h"
#include "platform/win32.h"

#define THERMPOS_OPOS_API __attribute__((visibility("default")))

namespace thermpos::opos {

class ControlCore;
struct ClassTable;

// The application's side of the events. Defaults ignore the event (and leave an
// ErrorEvent's proposed response, which is OPOS_ER_RETRY for output errors).
class THERMPOS_OPOS_API EventHandler {
  public:
    virtual ~EventHandler();
    virtual void StatusUpdateEvent(LONG data);
    virtual void OutputCompleteEvent(LONG outputId);
    // errorResponse: the service object's proposal; set OPOS_ER_RETRY or OPOS_ER_CLEAR.
    virtual void ErrorEvent(LONG resultCode, LONG resultCodeExtended, LONG errorLocus,
                            LONG& errorResponse);
    // data and text go back to the service object as the handler leaves them.
    virtual void DirectIOEvent(LONG eventNumber, LONG& data, std::string& text);
};

enum class EventDelivery {
    Queued,  // through EventDescriptor() and DispatchEvents() on the application's thread
    Direct,  // on the service object's event thread, as it raises them
};

class THERMPOS_OPOS_API Control {
  public:
    virtual ~Control();  // closes when open
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Events. The handler (may be null) and the delivery may be changed at any time;
    // events queued before a switch to Direct are still dispatched by DispatchEvents.
    void SetEventHandler(EventHandler* handler);
    void SetEventDelivery(EventDelivery delivery);
    // Readable while queued events wait; -1 if the system gave no descriptor.
    int EventDescriptor() const;
    // Delivers the waiting events in the order they were raised and returns how many.
    // Delivers nothing while FreezeEvents is true, or when called from inside a handler.
    int DispatchEvents();
    // Events raised and not yet dispatched.
    int PendingEvents() const;

    // OPOS_E_ILLEGAL when open already, OPOS_E_NOEXIST for an unknown device,
    // OPOS_E_NOSERVICE when its service object cannot be used, or the service object's
    // own result; OpenResult() tells which step failed.
    LONG Open(const std::string& deviceName);
    LONG Close();
    LONG ClaimDevice(LONG timeout);
    LONG ReleaseDevice();
    LONG CheckHealth(LONG level);
    LONG DirectIO(LONG command, LONG& data, std::string& text);
    LONG ResetStatistics(const std::string& statisticsBuffer);
    LONG RetrieveStatistics(std::string& statisticsBuffer);
    LONG UpdateStatistics(const std::string& statisticsBuffer);

    // Held by the control object itself.
    LONG OpenResult() const;
    std::string ControlObjectDescription() const;
    LONG ControlObjectVersion() const;

    // Any property of the class by its OPOS name: numbers and booleans (1/0) through the
    // Number pair, strings through the String pair. An unknown name answers 0 or "" and
    // a set of it leaves ResultCode at OPOS_E_ILLEGAL.
    LONG GetNumberProperty(const std::string& name);
    void SetNumberProperty(const std::string& name, LONG value);
    std::string GetStringProperty(const std::string& name);
    void SetStringProperty(const std::string& name, const std::string& value);

  protected:
    // One argument of a forwarded method: a number or text by value, or the address of
    // one the service object may change.
    struct MethodArg {
        MethodArg(LONG value) : number(value) {}
        MethodArg(const std::string& value) : text(&value) {}
        MethodArg(LONG* value) : numberRef(value) {}
        MethodArg(std::string* value) : textRef(value) {}
        LONG number = 0;
        const std::string* text = nullptr;
        LONG* numberRef = nullptr;
        std::string* textRef = nullptr;
    };

    explicit Control(const ClassTable& table);
    // Forwards a method of the class by its OPOS name; the arguments must match its
    // parameters (OPOS_E_ILLEGAL otherwise, as for a name the class does not have).
    LONG CallMethod(const char* name, std::initializer_list<MethodArg> args);
    LONG GetNumber(LONG index);
    void SetNumber(LONG index, LONG value);
    std::string GetString(LONG index);
    void SetString(LONG index, const std::string& value);
    ControlCore& Core() { return *core_; }

  private:
    std::unique_ptr<ControlCore> core_;
};

}  // namespace thermpos::opos

// Members of the typed classes, one per line of their property lists.
#define THERMPOS_PROPERTY_GET_Bool(Name, Index) \
    bool Name() {                               \
        return GetNumber(Index) != 0;           \
    }
#define THERMPOS_PROPERTY_GET_Long(Name, Index) \
    LONG Name() {                               \
        return GetNumber(Index);                \
    }
#define THERMPOS_PROPERTY_GET_String(Name, Index) \
    std::string Name() {                          \
        return GetString(Index);                  \
    }
#define THERMPOS_PROPERTY_SET_R(Type, Name, Index)
#define THERMPOS_PROPERTY_SET_RW(Type, Name, Index) THERMPOS_PROPERTY_SET_##Type(Name, Index)
#define THERMPOS_PROPERTY_SET_Bool(Name, Index) \
    void Set##Name(bool value) {                \
        SetNumber(Index, value ? 1 : 0);        \
    }
#define THERMPOS_PROPERTY_SET_Long(Name, Index) \
    void Set##Name(LONG value) {                \
        SetNumber(Index, value);                \
    }
#define THERMPOS_PROPERTY_SET_String(Name, Index) \
    void Set##Name(const std::string& value) {    \
        SetString(Index, value);                  \
    }
#define THERMPOS_TYPED_PROPERTY(Name, Type, Access, Index, DispId, Since) \
    THERMPOS_PROPERTY_GET_##Type(Name, Index) THERMPOS_PROPERTY_SET_##Access(Type, Name, Index)
