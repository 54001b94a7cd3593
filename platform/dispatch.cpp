// Dispatch tables and the outgoing dispatch driver.
//
// Threads: none started. A DispatchTable is read-only after construction, so concurrent
// Invoke calls share it without locks; each call's DispatchArgs lives on its stack.
#include "platform/dispatch.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/codepage.h"
#ifdef _WIN32
#include <dispex.h>
#endif
#include "platform/nocase.h"

namespace thermpos::platform::com {

namespace {

#ifdef _WIN32
// {A6EF9860-C720-11D0-9337-00A0C90DCAA9}, which the import libraries lack.
constexpr IID kIidDispatchEx = {
    0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};
#endif

// Member names are ASCII; other characters are kept as UTF-8 so they can only match
// themselves.
std::string LowerKey(std::u16string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char16_t c : name) {
        if (c < 0x80) {
            out += platform::FoldCase(static_cast<char>(c));
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

VARTYPE ValueType(ArgKind kind) {
    switch (kind) {
        case ArgKind::I2:
            return VT_I2;
        case ArgKind::I4:
            return VT_I4;
        case ArgKind::Bool:
            return VT_BOOL;
        case ArgKind::Bstr:
            return VT_BSTR;
        case ArgKind::Dispatch:
            return VT_DISPATCH;
        default:
            return VT_EMPTY;
    }
}

VARTYPE ResultType(ResultKind kind) {
    switch (kind) {
        case ResultKind::I2:
            return VT_I2;
        case ResultKind::I4:
            return VT_I4;
        case ResultKind::Bool:
            return VT_BOOL;
        case ResultKind::Bstr:
            return VT_BSTR;
        case ResultKind::Dispatch:
            return VT_DISPATCH;
        default:
            return VT_EMPTY;
    }
}

ArgKind ArgOfResult(ResultKind kind) {
    switch (kind) {
        case ResultKind::I2:
            return ArgKind::I2;
        case ResultKind::Bool:
            return ArgKind::Bool;
        case ResultKind::Bstr:
            return ArgKind::Bstr;
        case ResultKind::Dispatch:
            return ArgKind::Dispatch;
        default:
            return ArgKind::I4;
    }
}

// The caller's storage behind a by-reference argument of the wanted type, or null.
void* ReferenceTarget(VARIANTARG* arg, VARTYPE wanted) {
    if (arg->vt == (VT_BYREF | wanted))
        return arg->byref;
    if (arg->vt == (VT_BYREF | VT_VARIANT) && arg->pvarVal) {
        VARIANT* inner = arg->pvarVal;
        if (inner->vt == wanted)
            return wanted == VT_I4 ? static_cast<void*>(&inner->lVal)
                                   : static_cast<void*>(&inner->bstrVal);
        if (inner->vt == (VT_BYREF | wanted))
            return inner->byref;
    }
    return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// DispatchArgs

DispatchArgs::~DispatchArgs() {
    for (Slot& s : args_)
        if (s.kind != ArgKind::I4Ref && s.kind != ArgKind::BstrRef)
            VariantClear(&s.value);
}

SHORT DispatchArgs::Short(size_t i) const {
    return i < args_.size() && args_[i].kind == ArgKind::I2 ? args_[i].value.iVal : 0;
}

LONG DispatchArgs::Long(size_t i) const {
    if (i >= args_.size())
        return 0;
    switch (args_[i].kind) {
        case ArgKind::I4:
            return args_[i].value.lVal;
        case ArgKind::I2:
            return args_[i].value.iVal;
        case ArgKind::Bool:
            return args_[i].value.boolVal;
        case ArgKind::I4Ref:
            return *static_cast<LONG*>(args_[i].ref);
        default:
            return 0;
    }
}

bool DispatchArgs::Bool(size_t i) const {
    if (i >= args_.size())
        return false;
    if (args_[i].kind == ArgKind::Bool)
        return args_[i].value.boolVal != VARIANT_FALSE;
    return Long(i) != 0;
}

std::u16string_view DispatchArgs::WString(size_t i) const {
    BSTR b = Bstr(i);
    return BstrView(b);
}

BSTR DispatchArgs::Bstr(size_t i) const {
    // A real zero-length BSTR (length word included), so SysStringLen works on it.
    static struct {
        std::uint32_t length;
        OLECHAR text[2];
    } empty = {0, {0, 0}};
    if (i >= args_.size() || args_[i].kind != ArgKind::Bstr || !args_[i].value.bstrVal)
        return empty.text;
    return args_[i].value.bstrVal;
}

std::string DispatchArgs::String(size_t i) const {
    return WideToAnsi(WString(i));
}

IDispatch* DispatchArgs::Dispatch(size_t i) const {
    return i < args_.size() && args_[i].kind == ArgKind::Dispatch ? args_[i].value.pdispVal
                                                                  : nullptr;
}

LONG& DispatchArgs::LongRef(size_t i) {
    if (i < args_.size() && args_[i].kind == ArgKind::I4Ref)
        return *static_cast<LONG*>(args_[i].ref);
    dummy_ = 0;
    return dummy_;
}

BSTR* DispatchArgs::BstrRef(size_t i) {
    if (i < args_.size() && args_[i].kind == ArgKind::BstrRef)
        return static_cast<BSTR*>(args_[i].ref);
    SysFreeString(std::exchange(dummyBstr_, nullptr));
    return &dummyBstr_;
}

std::u16string DispatchArgs::WStringRef(size_t i) const {
    if (i >= args_.size() || args_[i].kind != ArgKind::BstrRef)
        return {};
    BSTR b = *static_cast<BSTR*>(args_[i].ref);
    return std::u16string(BstrView(b));
}

std::string DispatchArgs::StringRef(size_t i) const {
    return WideToAnsi(WStringRef(i));
}

HRESULT DispatchArgs::SetWStringRef(size_t i, std::u16string_view text) {
    if (i >= args_.size() || args_[i].kind != ArgKind::BstrRef)
        return E_INVALIDARG;
    BSTR fresh = SysAllocStringLen(AsOle(text.data()), static_cast<UINT>(text.size()));
    if (!fresh)
        return E_OUTOFMEMORY;
    BSTR* target = static_cast<BSTR*>(args_[i].ref);
    SysFreeString(*target);
    *target = fresh;
    return S_OK;
}

HRESULT DispatchArgs::SetStringRef(size_t i, std::string_view ansiText) {
    return SetWStringRef(i, AnsiToWide(ansiText));
}

HRESULT DispatchArgs::ReturnLong(VARIANT* result, LONG value) {
    if (!result)
        return S_OK;
    VariantClear(result);
    result->vt = VT_I4;
    result->lVal = value;
    return S_OK;
}

HRESULT DispatchArgs::ReturnShort(VARIANT* result, SHORT value) {
    if (!result)
        return S_OK;
    VariantClear(result);
    result->vt = VT_I2;
    result->iVal = value;
    return S_OK;
}

HRESULT DispatchArgs::ReturnBool(VARIANT* result, bool value) {
    if (!result)
        return S_OK;
    VariantClear(result);
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT DispatchArgs::ReturnWString(VARIANT* result, std::u16string_view value) {
    if (!result)
        return S_OK;
    VariantClear(result);
    BSTR b = SysAllocStringLen(AsOle(value.data()), static_cast<UINT>(value.size()));
    if (!b)
        return E_OUTOFMEMORY;
    result->vt = VT_BSTR;
    result->bstrVal = b;
    return S_OK;
}

HRESULT DispatchArgs::ReturnString(VARIANT* result, std::string_view ansiValue) {
    return ReturnWString(result, AnsiToWide(ansiValue));
}

HRESULT DispatchArgs::ReturnDispatch(VARIANT* result, IDispatch* value) {
    if (!result)
        return S_OK;
    VariantClear(result);
    if (value)
        value->AddRef();
    result->vt = VT_DISPATCH;
    result->pdispVal = value;
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// DispatchTable

struct DispatchTable::Impl {
    struct Member {
        DISPID id;
        DispatchEntry entry;
    };
    std::vector<Member> members;
    std::unordered_map<std::string, size_t> byName;  // lower-case name → member
    std::unordered_map<DISPID, size_t> byId;
    bool valid = true;
};

DispatchTable::DispatchTable(std::initializer_list<DispatchEntry> entries)
    : DispatchTable(std::vector<DispatchEntry>(entries)) {}

DispatchTable::DispatchTable(std::vector<DispatchEntry> entries) : impl_(std::make_unique<Impl>()) {
    DISPID next = 1;
    for (DispatchEntry& e : entries) {
        DISPID id = e.dispId != DISPID_UNKNOWN ? e.dispId : next;
        ++next;
        bool clash = e.names.empty() || impl_->byId.count(id) != 0;
        for (const std::string& n : e.names)
            if (n.empty() || impl_->byName.count(platform::FoldCase(n)))
                clash = true;
        if (clash) {
            impl_->valid = false;
            continue;
        }
        size_t index = impl_->members.size();
        impl_->byId.emplace(id, index);
        for (const std::string& n : e.names)
            impl_->byName.emplace(platform::FoldCase(n), index);
        impl_->members.push_back({id, std::move(e)});
    }
}

DispatchTable::~DispatchTable() = default;

bool DispatchTable::Valid() const {
    return impl_->valid;
}

size_t DispatchTable::Size() const {
    return impl_->members.size();
}

DISPID DispatchTable::Find(std::string_view name) const {
    auto it = impl_->byName.find(platform::FoldCase(name));
    return it == impl_->byName.end() ? DISPID_UNKNOWN : impl_->members[it->second].id;
}

DISPID DispatchTable::Find(std::u16string_view name) const {
    auto it = impl_->byName.find(LowerKey(name));
    return it == impl_->byName.end() ? DISPID_UNKNOWN : impl_->members[it->second].id;
}

std::string DispatchTable::NameOf(DISPID dispId) const {
    auto it = impl_->byId.find(dispId);
    return it == impl_->byId.end() ? std::string() : impl_->members[it->second].entry.names[0];
}

HRESULT DispatchTable::GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* dispIds) const {
    if (!names || !dispIds)
        return E_POINTER;
    if (count == 0)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        DISPID id = DISPID_UNKNOWN;
        if (i == 0 && names[0]) {
            // Names from a caller are zero-terminated; a BSTR with embedded zeros ends at
            // the first one here, as it would on Windows.
            id = Find(std::u16string_view(AsUtf16(names[0])));
        }
        dispIds[i] = id;
        if (id == DISPID_UNKNOWN)
            hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchTable::Invoke(void* self, DISPID dispId, WORD flags, DISPPARAMS* params,
                              VARIANT* result, EXCEPINFO* /*excepInfo*/, UINT* argErr) const {
    auto it = impl_->byId.find(dispId);
    if (it == impl_->byId.end())
        return DISP_E_MEMBERNOTFOUND;
    const DispatchEntry& entry = impl_->members[it->second].entry;

    DISPPARAMS none{nullptr, nullptr, 0, 0};
    if (!params)
        params = &none;
    if (params->cArgs > 0 && !params->rgvarg)
        return E_INVALIDARG;
    if (params->cNamedArgs > params->cArgs)
        return E_INVALIDARG;

    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    const DispatchHandler* handler = nullptr;
    std::vector<ArgKind> kinds = entry.args;
    if (put) {
        if (!entry.put)
            return DISP_E_MEMBERNOTFOUND;
        // The new value comes as the named argument DISPID_PROPERTYPUT; some callers omit
        // the name, which is harmless since it is always rgvarg[0].
        if (params->cNamedArgs > 1)
            return DISP_E_NONAMEDARGS;
        if (params->cNamedArgs == 1 &&
            (!params->rgdispidNamedArgs || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT))
            return DISP_E_PARAMNOTFOUND;
        kinds.push_back(ArgOfResult(entry.result));
        handler = &entry.put;
    } else {
        if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)))
            return DISP_E_MEMBERNOTFOUND;
        if (params->cNamedArgs != 0)
            return DISP_E_NONAMEDARGS;
        handler = &entry.handler;
    }
    if (params->cArgs != kinds.size())
        return DISP_E_BADPARAMCOUNT;
    if (!*handler)
        return E_NOTIMPL;

    DispatchArgs args;
    args.self_ = self;
    args.flags_ = flags;
    args.args_.reserve(kinds.size());
    // Script variables behind VT_BYREF|VT_VARIANT that hold another type (VBScript keeps
    // small numbers as VT_I2, a variable never assigned as VT_EMPTY): their coerced values
    // wait in the slots and replace the variables only once every argument is accepted.
    struct Retyped {
        size_t slot;
        VARIANT* variable;
    };
    std::vector<Retyped> retyped;
    const UINT n = params->cArgs;
    for (UINT i = 0; i < n; ++i) {
        const UINT position = n - 1 - i;  // rgvarg holds the arguments last-first
        VARIANTARG* arg = &params->rgvarg[position];
        DispatchArgs::Slot slot{kinds[i], {}, nullptr};
        VariantInit(&slot.value);
        HRESULT hr = S_OK;
        if (arg->vt == VT_ERROR && arg->scode == DISP_E_PARAMNOTFOUND) {
            hr = DISP_E_PARAMNOTOPTIONAL;  // an argument left out; none of ours is optional
        } else if (kinds[i] == ArgKind::I4Ref || kinds[i] == ArgKind::BstrRef) {
            const VARTYPE wanted = kinds[i] == ArgKind::I4Ref ? VT_I4 : VT_BSTR;
            slot.ref = ReferenceTarget(arg, wanted);
            VARIANT* variable = arg->vt == (VT_BYREF | VT_VARIANT) ? arg->pvarVal : nullptr;
            if (!slot.ref && variable && !(variable->vt & VT_BYREF)) {
                hr = VariantChangeType(&slot.value, variable, 0, wanted);
                if (SUCCEEDED(hr) && wanted == VT_BSTR && !slot.value.bstrVal) {
                    slot.value.bstrVal = SysAllocStringLen(AsOle(u""), 0);
                    if (!slot.value.bstrVal)
                        hr = E_OUTOFMEMORY;
                }
                if (SUCCEEDED(hr))
                    retyped.push_back({args.args_.size(), variable});
                else if (hr == DISP_E_BADVARTYPE || hr == DISP_E_OVERFLOW)
                    hr = DISP_E_TYPEMISMATCH;
            } else if (!slot.ref) {
                hr = DISP_E_TYPEMISMATCH;
            }
        } else if (kinds[i] == ArgKind::Dispatch && (arg->vt == VT_EMPTY || arg->vt == VT_NULL)) {
            slot.value.vt = VT_DISPATCH;  // a null object is a valid argument
        } else {
            hr = VariantChangeType(&slot.value, arg, 0, ValueType(kinds[i]));
            if (SUCCEEDED(hr) && kinds[i] == ArgKind::Bstr && !slot.value.bstrVal) {
                slot.value.bstrVal = SysAllocStringLen(AsOle(u""), 0);
                if (!slot.value.bstrVal)
                    hr = E_OUTOFMEMORY;
            }
            if (hr == DISP_E_BADVARTYPE)
                hr = DISP_E_TYPEMISMATCH;
        }
        if (FAILED(hr)) {
            VariantClear(&slot.value);
            for (const Retyped& r : retyped)
                VariantClear(&args.args_[r.slot].value);
            if (argErr)
                *argErr = position;
            return hr;
        }
        args.args_.push_back(slot);
    }
    for (const Retyped& r : retyped) {
        DispatchArgs::Slot& slot = args.args_[r.slot];
        VariantClear(r.variable);
        *r.variable = slot.value;
        VariantInit(&slot.value);
        slot.ref = slot.kind == ArgKind::I4Ref ? static_cast<void*>(&r.variable->lVal)
                                               : static_cast<void*>(&r.variable->bstrVal);
    }

    VARIANT scratch;
    VARIANT* out = result ? result : &scratch;
    VariantInit(out);
    HRESULT hr;
    try {
        hr = (*handler)(args, out);
    } catch (...) {
        hr = DISP_E_EXCEPTION;
    }
    if (FAILED(hr) || put || entry.result == ResultKind::Void) {
        VariantClear(out);
    } else {
        VARTYPE want = ResultType(entry.result);
        if (out->vt != want && FAILED(VariantChangeType(out, out, 0, want))) {
            // A handler that stored nothing usable still gives the caller a value of the
            // declared kind rather than something it does not expect.
            VariantClear(out);
            VARIANT empty;
            VariantInit(&empty);
            if (FAILED(VariantChangeType(out, &empty, 0, want)))
                out->vt = want;
        }
    }
    if (!result)
        VariantClear(&scratch);
    return hr;
}

// ---------------------------------------------------------------------------------------
// BString, Variant, text helpers

std::string WideToAnsi(std::u16string_view text) {
    std::string out;
    if (WideToMultiByte(CP_ACP, text, &out) != ERROR_SUCCESS) {
        out.clear();
        for (char16_t c : text)
            out += c < 0x100 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::u16string_view BstrView(BSTR text) {
    return text ? std::u16string_view(AsUtf16(text), SysStringLen(text)) : std::u16string_view();
}

std::u16string AnsiToWide(std::string_view text) {
    std::u16string out;
    if (MultiByteToWide(CP_ACP, text, &out) != ERROR_SUCCESS) {
        out.clear();
        for (unsigned char c : text)
            out += static_cast<char16_t>(c);
    }
    return out;
}

BString::BString(std::u16string_view text)
    : bstr_(SysAllocStringLen(AsOle(text.data()), static_cast<UINT>(text.size()))) {}

BString BString::Adopt(BSTR text) {
    BString b;
    b.bstr_ = text;
    return b;
}

BString BString::FromAnsi(std::string_view ansiText) {
    return BString(AnsiToWide(ansiText));
}

BString::~BString() {
    SysFreeString(bstr_);
}

BString::BString(BString&& other) noexcept : bstr_(std::exchange(other.bstr_, nullptr)) {}

BString& BString::operator=(BString&& other) noexcept {
    if (this != &other) {
        SysFreeString(bstr_);
        bstr_ = std::exchange(other.bstr_, nullptr);
    }
    return *this;
}

BSTR* BString::Out() {
    SysFreeString(std::exchange(bstr_, nullptr));
    return &bstr_;
}

BSTR BString::Release() {
    return std::exchange(bstr_, nullptr);
}

std::u16string_view BString::View() const {
    return BstrView(bstr_);
}

std::string BString::Ansi() const {
    return WideToAnsi(View());
}

bool Variant::ToLong(LONG* out) const {
    VARIANT tmp;
    VariantInit(&tmp);
    if (FAILED(VariantChangeType(&tmp, const_cast<VARIANT*>(&v_), 0, VT_I4)))
        return false;
    *out = tmp.lVal;
    return true;
}

bool Variant::ToWString(std::u16string* out) const {
    VARIANT tmp;
    VariantInit(&tmp);
    if (FAILED(VariantChangeType(&tmp, const_cast<VARIANT*>(&v_), 0, VT_BSTR)))
        return false;
    out->assign(BstrView(tmp.bstrVal));
    VariantClear(&tmp);
    return true;
}

bool Variant::ToAnsi(std::string* out) const {
    std::u16string wide;
    if (!ToWString(&wide))
        return false;
    *out = WideToAnsi(wide);
    return true;
}

// ---------------------------------------------------------------------------------------
// OutgoingArgs and DispatchDriver

OutgoingArgs::~OutgoingArgs() {
    // Only the strings are ours; dispatch pointers were lent without a reference.
    for (VARIANT& v : args_)
        if (v.vt == VT_BSTR)
            SysFreeString(v.bstrVal);
}

namespace {
VARIANT Make(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}
}  // namespace

OutgoingArgs& OutgoingArgs::Long(LONG value) {
    VARIANT v = Make(VT_I4);
    v.lVal = value;
    args_.push_back(v);
    return *this;
}

OutgoingArgs& OutgoingArgs::Short(SHORT value) {
    VARIANT v = Make(VT_I2);
    v.iVal = value;
    args_.push_back(v);
    return *this;
}

OutgoingArgs& OutgoingArgs::Bool(bool value) {
    VARIANT v = Make(VT_BOOL);
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    args_.push_back(v);
    return *this;
}

OutgoingArgs& OutgoingArgs::WString(std::u16string_view value) {
    VARIANT v = Make(VT_BSTR);
    // Out of memory leaves a null BSTR, which every callee reads as "".
    v.bstrVal = SysAllocStringLen(AsOle(value.data()), static_cast<UINT>(value.size()));
    args_.push_back(v);
    return *this;
}

OutgoingArgs& OutgoingArgs::String(std::string_view ansiValue) {
    return WString(AnsiToWide(ansiValue));
}

OutgoingArgs& OutgoingArgs::Dispatch(IDispatch* value) {
    VARIANT v = Make(VT_DISPATCH);
    v.pdispVal = value;
    args_.push_back(v);
    return *this;
}

OutgoingArgs& OutgoingArgs::LongRef(LONG* value) {
    VARIANT v = Make(VT_BYREF | VT_I4);
    v.plVal = value;
    args_.push_back(v);
    return *this;
}

OutgoingArgs& OutgoingArgs::BstrRef(BSTR* value) {
    VARIANT v = Make(VT_BYREF | VT_BSTR);
    v.pbstrVal = value;
    args_.push_back(v);
    return *this;
}

DISPPARAMS OutgoingArgs::Params() {
    reversed_.assign(args_.rbegin(), args_.rend());
    return DISPPARAMS{reversed_.empty() ? nullptr : reversed_.data(), nullptr,
                      static_cast<UINT>(reversed_.size()), 0};
}

DISPID DispatchDriver::GetDispId(std::string_view ansiName, HRESULT* hr) const {
    HRESULT rc = E_POINTER;
    DISPID id = DISPID_UNKNOWN;
    if (target_) {
        BString name = BString::FromAnsi(ansiName);
        LPOLESTR names[1] = {name.Get()};
        rc = name.Get() ? target_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id)
                        : E_OUTOFMEMORY;
#ifdef _WIN32
        // Some script objects (classes of a scripting engine) name their members only
        // through IDispatchEx.
        if (FAILED(rc) && name.Get()) {
            IDispatchEx* ex = nullptr;
            if (SUCCEEDED(target_->QueryInterface(kIidDispatchEx, reinterpret_cast<void**>(&ex))) &&
                ex) {
                rc = ex->GetDispID(name.Get(), fdexNameCaseInsensitive, &id);
                ex->Release();
            }
        }
#endif
        if (FAILED(rc))
            id = DISPID_UNKNOWN;
    }
    if (hr)
        *hr = rc;
    return id;
}

HRESULT DispatchDriver::Invoke(DISPID dispId, WORD flags, OutgoingArgs& args,
                               VARIANT* result) const {
    if (!target_)
        return E_POINTER;
    if (dispId == DISPID_UNKNOWN)
        return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS params = args.Params();
    DISPID putName = DISPID_PROPERTYPUT;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &putName;
        params.cNamedArgs = 1;
    }
    if (result)
        VariantClear(result);
    UINT argErr = 0;
    HRESULT hr = target_->Invoke(dispId, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, result,
                                 nullptr, &argErr);
#ifdef _WIN32
    if (hr == E_NOTIMPL) {
        IDispatchEx* ex = nullptr;
        if (SUCCEEDED(target_->QueryInterface(kIidDispatchEx, reinterpret_cast<void**>(&ex))) &&
            ex) {
            hr = ex->InvokeEx(dispId, LOCALE_SYSTEM_DEFAULT, flags, &params, result, nullptr,
                              nullptr);
            ex->Release();
        }
    }
#endif
    return hr;
}

HRESULT DispatchDriver::Call(DISPID dispId, OutgoingArgs& args, VARIANT* result) const {
    return Invoke(dispId, DISPATCH_METHOD, args, result);
}

HRESULT DispatchDriver::Call(std::string_view ansiName, OutgoingArgs& args, VARIANT* result) const {
    HRESULT hr;
    DISPID id = GetDispId(ansiName, &hr);
    if (FAILED(hr))
        return hr;
    return Invoke(id, DISPATCH_METHOD, args, result);
}

HRESULT DispatchDriver::GetProperty(DISPID dispId, VARIANT* result) const {
    OutgoingArgs none;
    return Invoke(dispId, DISPATCH_PROPERTYGET, none, result);
}

HRESULT DispatchDriver::PutProperty(DISPID dispId, OutgoingArgs& value) const {
    return Invoke(dispId, DISPATCH_PROPERTYPUT, value, nullptr);
}

}  // namespace thermpos::platform::com
