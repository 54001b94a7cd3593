#include "tests/exerciser/ExerciserTestSupport.h"

#include <cstring>

#include "opos/ControlTables.h"
#include "opos/OposConstants.h"
#include "platform/dispatch.h"

namespace extest {

using thermpos::platform::com::DispatchDriver;
using thermpos::platform::com::OutgoingArgs;
using thermpos::platform::com::Variant;

namespace {

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; text && *text; ++text)
        out.push_back(static_cast<char>(*text));
    return out;
}

std::string Text(const VARIANT& v) {
    Variant copy;
    VariantCopy(copy.Get(), &v);
    std::string text;
    if (v.vt == VT_DISPATCH)
        return v.pdispVal ? "<object>" : "<null>";
    if (v.vt == VT_BOOL)
        return v.boolVal ? "1" : "0";
    copy.ToAnsi(&text);
    return text;
}

}  // namespace

FakeControl::~FakeControl() {
    if (sink)
        sink->Release();
}

HRESULT FakeControl::QueryInterface(REFIID riid, void** object) {
    if (std::memcmp(&riid, &IID_IUnknown, sizeof riid) == 0 ||
        std::memcmp(&riid, &IID_IDispatch, sizeof riid) == 0) {
        AddRef();
        *object = static_cast<IDispatch*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeControl::Release() {
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT FakeControl::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* dispIds) {
    if (count != 1)
        return DISP_E_UNKNOWNNAME;
    const std::string name = Narrow(names[0]);
    if (missing.count(name)) {
        dispIds[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) {
            dispIds[0] = static_cast<DISPID>(i + 1);
            return S_OK;
        }
    }
    names_.push_back(name);
    dispIds[0] = static_cast<DISPID>(names_.size());
    return S_OK;
}

HRESULT FakeControl::Invoke(DISPID dispId, REFIID, LCID, WORD flags, DISPPARAMS* params,
                            VARIANT* result, EXCEPINFO*, UINT*) {
    if (dispId < 1 || static_cast<size_t>(dispId) > names_.size())
        return DISP_E_MEMBERNOTFOUND;
    const std::string name = names_[dispId - 1];
    if (flags & DISPATCH_PROPERTYPUT) {
        const VARIANT& value = params->rgvarg[0];
        calls.push_back(name + "=" + Text(value));
        if (name == "EventSink") {
            if (sink)
                sink->Release();
            sink = value.vt == VT_DISPATCH ? value.pdispVal : nullptr;
            if (sink)
                sink->AddRef();
        } else if (value.vt == VT_BSTR) {
            strings[name] = Text(value);
        } else {
            Variant copy;
            VariantCopy(copy.Get(), &value);
            LONG n = 0;
            copy.ToLong(&n);
            numbers[name] = n;
        }
        return S_OK;
    }
    if (name == "EventDescriptor") {
        result->vt = VT_I4;
        result->lVal = -1;
        return S_OK;
    }
    if (auto it = numbers.find(name); it != numbers.end() && !results.count(name)) {
        if (bools.count(name)) {
            result->vt = VT_BOOL;
            result->boolVal = it->second ? VARIANT_TRUE : VARIANT_FALSE;
        } else {
            result->vt = VT_I4;
            result->lVal = it->second;
        }
        return S_OK;
    }
    if (auto it = strings.find(name); it != strings.end()) {
        result->vt = VT_BSTR;
        result->bstrVal = thermpos::platform::com::BString::FromAnsi(it->second).Release();
        return S_OK;
    }
    std::string call = name + "(";
    for (UINT i = params ? params->cArgs : 0; i > 0; --i)
        call += Text(params->rgvarg[i - 1]) + (i > 1 ? "," : "");
    calls.push_back(call + ")");
    if (onCall)
        onCall(name);
    auto r = results.find(name);
    if (result) {
        result->vt = VT_I4;
        result->lVal = r == results.end() ? OPOS_SUCCESS : r->second;
    }
    return S_OK;
}

std::vector<std::string> FakeControl::CallsOf(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& c : calls)
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c);
    return out;
}

HRESULT FakeControl::FireStatusUpdate(LONG data) {
    OutgoingArgs args;
    args.Long(data);
    return DispatchDriver(sink).Call(thermpos::opos::kDispIdStatusUpdateEvent, args);
}

HRESULT FakeControl::FireError(LONG resultCode, LONG extended, LONG locus, LONG* response) {
    OutgoingArgs args;
    args.Long(resultCode).Long(extended).Long(locus).LongRef(response);
    return DispatchDriver(sink).Call(thermpos::opos::kDispIdErrorEvent, args);
}

FakeControl* ClosedPrinter() {
    FakeControl* p = FakeControl::Create();
    p->numbers = {{"State", OPOS_S_CLOSED}, {"ResultCode", OPOS_SUCCESS},
                  {"CapJrnPresent", 0},     {"CapRecPresent", 1},
                  {"CapSlpPresent", 0},     {"CapPowerReporting", 2},
                  {"CapCoverSensor", 1},    {"CapJrnEmptySensor", 0},
                  {"CapRecEmptySensor", 1}, {"CapRecNearEndSensor", 1},
                  {"CapSlpEmptySensor", 0}, {"CoverOpen", 0},
                  {"JrnEmpty", 0},          {"JrnNearEnd", 0},
                  {"RecEmpty", 0},          {"RecNearEnd", 0},
                  {"SlpEmpty", 0},          {"SlpNearEnd", 0}};
    for (const auto& [name, value] : p->numbers)
        if (name != "State" && name != "ResultCode" && name != "CapPowerReporting")
            p->bools.insert(name);
    // Open makes it idle, Close closes it again.
    p->onCall = [p](const std::string& method) {
        if (method == "Open")
            p->numbers["State"] = OPOS_S_IDLE;
        else if (method == "Close")
            p->numbers["State"] = OPOS_S_CLOSED;
    };
    return p;
}

exerciser::CMessageBoxes::Reply ScriptedMessages::Show(const std::string& text,
                                                       const std::string& title, Icon icon,
                                                       Buttons buttons) {
    shown.push_back({text, title, icon, buttons});
    if (onShow)
        onShow(text);
    if (!replies.empty()) {
        Reply r = replies.front();
        replies.pop_front();
        return r;
    }
    switch (buttons) {
        case Buttons::YesNo:
            return Reply::No;
        case Buttons::RetryCancel:
            return Reply::Cancel;
        default:
            return Reply::Ok;
    }
}

std::string ScriptedMessages::OpenFile(const std::string& title, const std::string& filter,
                                       const std::string& fileName, const std::string& folder) {
    dialogs.push_back(title + "|" + filter + "|" + fileName + "|" + folder);
    if (files.empty())
        return fileName;
    std::string f = files.front();
    files.pop_front();
    return f;
}

QStringList ResultLines(exerciser::ParentForm& window) {
    return window.Result() ? window.Result()->Lines() : QStringList();
}

bool OpenClaimEnable(exerciser::ParentForm& window, const char* printer) {
    exerciser::PrinterTypeForm& panel = *window.PrinterType();
    const int index = panel.PrinterCombo()->findText(QString::fromLatin1(printer));
    if (index < 0)
        return false;
    panel.PrinterCombo_Click(index);
    panel.OpenPrinterButton_Click();
    panel.ClaimPrinterButton_Click();
    panel.EnablePrinterButton_Click();
    const QStringList expected{"Open : Successful", "Claim : Successful",
                               "DeviceEnable=TRUE : Successful"};
    if (ResultLines(window) != expected) {
        qWarning() << "after Open, Claim, Enable:" << ResultLines(window);
        return false;
    }
    window.Result()->ResultCodeList()->clear();
    return true;
}

bool WaitFor(const std::function<bool()>& condition, int limitMs) {
    return QTest::qWaitFor(condition, limitMs);
}

}  // namespace extest
