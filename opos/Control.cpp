// The typed classes over ControlCore.
#include "opos/Control.h"

#include "opos/CashDrawer.h"
#include "opos/ControlCore.h"
#include "opos/PosPrinter.h"
#include "platform/dispatch.h"

namespace thermpos::opos {

EventHandler::~EventHandler() = default;
void EventHandler::StatusUpdateEvent(LONG) {}
void EventHandler::OutputCompleteEvent(LONG) {}
void EventHandler::ErrorEvent(LONG, LONG, LONG, LONG&) {}
void EventHandler::DirectIOEvent(LONG, LONG&, std::string&) {}

Control::Control(const ClassTable& table) : core_(std::make_unique<ControlCore>(table)) {}
Control::~Control() = default;

void Control::SetEventHandler(EventHandler* handler) {
    core_->SetHandler(handler);
}
void Control::SetEventDelivery(EventDelivery delivery) {
    core_->SetDelivery(delivery);
}
int Control::EventDescriptor() const {
    return core_->EventFd();
}
int Control::DispatchEvents() {
    return core_->DispatchEvents();
}
int Control::PendingEvents() const {
    return core_->PendingEvents();
}

LONG Control::Open(const std::string& deviceName) {
    return core_->Open(deviceName);
}
LONG Control::Close() {
    return core_->Close();
}
LONG Control::ClaimDevice(LONG timeout) {
    return CallMethod("ClaimDevice", {timeout});
}
LONG Control::ReleaseDevice() {
    return CallMethod("ReleaseDevice", {});
}
LONG Control::CheckHealth(LONG level) {
    return CallMethod("CheckHealth", {level});
}
LONG Control::DirectIO(LONG command, LONG& data, std::string& text) {
    return CallMethod("DirectIO", {command, &data, &text});
}
LONG Control::ResetStatistics(const std::string& statisticsBuffer) {
    return CallMethod("ResetStatistics", {statisticsBuffer});
}
LONG Control::RetrieveStatistics(std::string& statisticsBuffer) {
    return CallMethod("RetrieveStatistics", {&statisticsBuffer});
}
LONG Control::UpdateStatistics(const std::string& statisticsBuffer) {
    return CallMethod("UpdateStatistics", {statisticsBuffer});
}

LONG Control::OpenResult() const {
    return core_->OpenResult();
}
std::string Control::ControlObjectDescription() const {
    return core_->Table().description;
}
LONG Control::ControlObjectVersion() const {
    return kControlObjectVersion;
}

LONG Control::GetNumberProperty(const std::string& name) {
    const PropertyInfo* p = core_->Table().FindProperty(name);
    return p && p->type != PropType::String ? core_->GetNumber(p->index) : 0;
}
void Control::SetNumberProperty(const std::string& name, LONG value) {
    const PropertyInfo* p = core_->Table().FindProperty(name);
    if (!p || p->type == PropType::String || !p->writable) {
        core_->Refuse(OPOS_E_ILLEGAL);
        return;
    }
    core_->SetNumber(p->index, value);
}
std::string Control::GetStringProperty(const std::string& name) {
    const PropertyInfo* p = core_->Table().FindProperty(name);
    return p && p->type == PropType::String ? core_->GetString(p->index) : std::string();
}
void Control::SetStringProperty(const std::string& name, const std::string& value) {
    const PropertyInfo* p = core_->Table().FindProperty(name);
    if (!p || p->type != PropType::String || !p->writable) {
        core_->Refuse(OPOS_E_ILLEGAL);
        return;
    }
    core_->SetString(p->index, value);
}

LONG Control::GetNumber(LONG index) {
    return core_->GetNumber(index);
}
void Control::SetNumber(LONG index, LONG value) {
    core_->SetNumber(index, value);
}
std::string Control::GetString(LONG index) {
    return core_->GetString(index);
}
void Control::SetString(LONG index, const std::string& value) {
    core_->SetString(index, value);
}

LONG Control::CallMethod(const char* name, std::initializer_list<MethodArg> args) {
    const MethodInfo* method = core_->Table().FindMethod(name);
    if (!method || !method->forwarded || method->params.size() != args.size())
        return core_->Refuse(OPOS_E_ILLEGAL);
    // By-reference strings travel as BSTRs the service object may replace.
    std::vector<BSTR> strings(args.size(), nullptr);
    platform::com::OutgoingArgs out;
    bool matches = true;
    LONG unused = 0;
    size_t i = 0;
    for (const MethodArg& a : args) {
        switch (method->params[i]) {
            case ParamKind::Long:
                out.Long(a.number);
                break;
            case ParamKind::String:
                matches = matches && a.text;
                out.String(a.text ? *a.text : std::string());
                break;
            case ParamKind::LongRef:
                matches = matches && a.numberRef;
                out.LongRef(a.numberRef ? a.numberRef : &unused);
                break;
            case ParamKind::StringRef:
                matches = matches && a.textRef;
                strings[i] =
                    platform::com::BString::FromAnsi(a.textRef ? *a.textRef : "").Release();
                out.BstrRef(&strings[i]);
                break;
        }
        ++i;
    }
    LONG rc = matches ? core_->Call(*method, out) : core_->Refuse(OPOS_E_ILLEGAL);
    i = 0;
    for (const MethodArg& a : args) {
        if (method->params[i] == ParamKind::StringRef && a.textRef && matches)
            *a.textRef = platform::com::BString::Adopt(strings[i]).Ansi();
        else if (strings[i])
            SysFreeString(strings[i]);
        ++i;
    }
    return rc;
}

PosPrinter::PosPrinter() : Control(PosPrinterTable()) {}
CashDrawer::CashDrawer() : Control(CashDrawerTable()) {}

}  // namespace thermpos::opos
