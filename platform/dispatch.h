// Dispatch tables: IDispatch::GetIDsOfNames / Invoke built from a table of methods, and
// the outgoing side (calling a method of another object's IDispatch by name or DISPID).
//
// Incoming: a DispatchTable is a list of DispatchEntry {names, argument kinds, result kind,
// handler}. The table checks and coerces the caller's VARIANTs before any handler runs, so
// a handler only ever sees arguments of the declared kinds:
//   - GetIDsOfNames compares names without regard to case; an unknown name gives
//     DISP_E_UNKNOWNNAME and DISPID_UNKNOWN in its slot.
//   - Invoke: unknown DISPID → DISP_E_MEMBERNOTFOUND; wrong number of arguments →
//     DISP_E_BADPARAMCOUNT; a by-reference parameter given a by-value argument (or a
//     reference of another type), or a by-value argument that cannot be coerced →
//     DISP_E_TYPEMISMATCH (DISP_E_OVERFLOW for a number out of the parameter's range)
//     with *argErr = the argument's position in rgvarg; an argument left out (VT_ERROR
//     DISP_E_PARAMNOTFOUND) → DISP_E_PARAMNOTOPTIONAL. Named arguments other than the
//     value of a property put → DISP_E_NONAMEDARGS. In every failure the handler is not
//     called and the caller's arguments are untouched.
//   - By-reference arguments point at the caller's storage: what the handler writes
//     through LongRef / SetStringRef is what the caller sees afterwards. A script's
//     variable (VT_BYREF|VT_VARIANT) of another type that coerces to the parameter's
//     (VBScript's VT_I2 numbers, an unassigned VT_EMPTY) is converted in place first,
//     once every argument is accepted.
//   - The result VARIANT (when the caller gives one) is cleared and then holds the
//     handler's value coerced to the declared result kind (VT_EMPTY for Void).
//
// A table is immutable once built and may be shared by every object of a class and used
// from any number of threads at once. Handlers reach their object through
// DispatchArgs::Self<T>(), the `self` pointer given to Invoke, so one static table serves
// every instance:
//
//   static const DispatchTable kTable({
//       {{"ClaimDevice", "Claim"}, {ArgKind::I4}, ResultKind::I4,
//        [](DispatchArgs& a, VARIANT* r) {
//            return a.ReturnLong(r, a.Self<CMySO>().Claim(a.Long(0)));
//        }},
//       {{"DirectIO"}, {ArgKind::I4, ArgKind::I4Ref, ArgKind::BstrRef}, ResultKind::I4,
//        [](DispatchArgs& a, VARIANT* r) {
//            std::string text = a.StringRef(2);
//            LONG rc = a.Self<CMySO>().DirectIO(a.Long(0), &a.LongRef(1), &text);
//            a.SetStringRef(2, text);
//            return a.ReturnLong(r, rc);
//        }},
//   });
//
// Narrow strings at this surface are in the system ANSI code page (codepage.h GetACP()).
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation.h"

namespace thermpos::platform::com {

// Locale passed with outgoing GetIDsOfNames / Invoke calls.
#ifdef _WIN32
#else
inline constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
#endif  // _WIN32

// Declared kind of one parameter.
enum class ArgKind : unsigned char {
    I2,        // 16-bit integer by value (VT_I2; I4/BOOL/BSTR coerced)
    I4,        // 32-bit integer by value (VT_I4; I2/BOOL/BSTR coerced)
    Bool,      // VARIANT_BOOL by value (VT_BOOL; numbers and "True"/"False"/digits coerced)
    Bstr,      // string by value (VT_BSTR; numbers and booleans coerced to text)
    I4Ref,     // long* : VT_BYREF|VT_I4, or VT_BYREF|VT_VARIANT holding what coerces to VT_I4
    BstrRef,   // BSTR* : VT_BYREF|VT_BSTR, or VT_BYREF|VT_VARIANT holding what coerces to it
    Dispatch,  // IDispatch* by value (VT_DISPATCH, VT_UNKNOWN answering IDispatch, or null)
};

// Declared kind of the result.
enum class ResultKind : unsigned char { Void, I2, I4, Bool, Bstr, Dispatch };

// Checked, coerced arguments of one Invoke, indexed in declared order (0 = first
// parameter, the last element of rgvarg). Accessors assert nothing at run time beyond
// the kind checks the table already made; asking for the wrong kind or an index past the
// declared count is a programming error and returns a neutral value (0, empty, null).
class DispatchArgs {
  public:
    size_t Count() const { return args_.size(); }

    SHORT Short(size_t i) const;
    LONG Long(size_t i) const;
    bool Bool(size_t i) const;
    // By-value string as UTF-16 (embedded zeros kept) or as a BSTR owned by the call
    // (valid until the handler returns; never null: an absent string is "").
    std::u16string_view WString(size_t i) const;
    BSTR Bstr(size_t i) const;
    // By-value string converted to the system ANSI code page.
    std::string String(size_t i) const;
    IDispatch* Dispatch(size_t i) const;  // not AddRef'd; may be null

    // By-reference integer: the caller's storage (a dummy for a wrong index).
    LONG& LongRef(size_t i);
    // By-reference string: the caller's BSTR (may be null, meaning ""). Setting frees the
    // caller's old string and stores a new one; E_OUTOFMEMORY if allocation fails.
    BSTR* BstrRef(size_t i);
    std::u16string WStringRef(size_t i) const;
    std::string StringRef(size_t i) const;  // in the ANSI code page
    HRESULT SetWStringRef(size_t i, std::u16string_view text);
    HRESULT SetStringRef(size_t i, std::string_view ansiText);

    // The `self` pointer given to DispatchTable::Invoke, as the handler's own class.
    template <class T>
    T& Self() const {
        return *static_cast<T*>(self_);
    }
    // The Invoke flags of this call (DISPATCH_METHOD, DISPATCH_PROPERTYGET, ...).
    WORD Flags() const { return flags_; }

    // Result helpers: store the value in *result (never null inside a handler) and return
    // S_OK, so a handler can end with `return a.ReturnLong(r, value);`.
    static HRESULT ReturnLong(VARIANT* result, LONG value);
    static HRESULT ReturnShort(VARIANT* result, SHORT value);
    static HRESULT ReturnBool(VARIANT* result, bool value);
    static HRESULT ReturnWString(VARIANT* result, std::u16string_view value);
    static HRESULT ReturnString(VARIANT* result, std::string_view ansiValue);
    // AddRefs the object it stores (the caller of Invoke releases it with VariantClear).
    static HRESULT ReturnDispatch(VARIANT* result, IDispatch* value);

  private:
    friend class DispatchTable;
    struct Slot {
        ArgKind kind;
        VARIANT value;  // by-value kinds: the coerced copy, owned here
        void* ref;      // by-reference kinds: LONG* or BSTR* in the caller's storage
    };
    DispatchArgs() = default;
    ~DispatchArgs();
    DispatchArgs(const DispatchArgs&) = delete;
    DispatchArgs& operator=(const DispatchArgs&) = delete;

    std::vector<Slot> args_;
    void* self_ = nullptr;
    WORD flags_ = 0;
    LONG dummy_ = 0;
    BSTR dummyBstr_ = nullptr;
};

// A handler: reads its arguments from DispatchArgs, writes by-reference results back
// through them, stores its result in *result (never null; the table provides scratch
// space when the caller wants no result) and returns S_OK or a failure HRESULT, which
// Invoke passes to the caller. Handlers must not throw.
using DispatchHandler = std::function<HRESULT(DispatchArgs& args, VARIANT* result)>;

struct DispatchEntry {
    // Constructors rather than an aggregate, so that tables may leave out the trailing
    // fields without -Wmissing-field-initializers noise.
    DispatchEntry() = default;
    DispatchEntry(std::vector<std::string> names_, std::vector<ArgKind> args_, ResultKind result_,
                  DispatchHandler handler_, DISPID dispId_ = DISPID_UNKNOWN,
                  DispatchHandler put_ = nullptr)
        : names(std::move(names_)),
          args(std::move(args_)),
          result(result_),
          handler(std::move(handler_)),
          dispId(dispId_),
          put(std::move(put_)) {}

    // The first name is the method's own; further names ("second names") reach the same
    // handler and answer GetIDsOfNames with the same DISPID.
    std::vector<std::string> names;
    std::vector<ArgKind> args;
    ResultKind result = ResultKind::Void;
    DispatchHandler handler;
    // DISPID_UNKNOWN: assigned from the entry's position (first entry 1, then 2, ...).
    // An explicit DISPID must be unique in the table.
    DISPID dispId = DISPID_UNKNOWN;
    // Invoke kinds accepted. Methods accept DISPATCH_METHOD and DISPATCH_PROPERTYGET
    // (callers commonly pass both bits). A property entry accepts DISPATCH_PROPERTYGET
    // (handler, with `args`) and, when `put` is set, DISPATCH_PROPERTYPUT: `put` then
    // receives `args` followed by the new value, of the result kind.
    DispatchHandler put;
};

class DispatchTable {
  public:
    // Duplicate names (case-insensitively) or duplicate DISPIDs are programming errors:
    // the later entry is ignored and Valid() returns false (tests assert on it).
    DispatchTable(std::initializer_list<DispatchEntry> entries);
    explicit DispatchTable(std::vector<DispatchEntry> entries);
    ~DispatchTable();
    DispatchTable(const DispatchTable&) = delete;
    DispatchTable& operator=(const DispatchTable&) = delete;

    bool Valid() const;
    size_t Size() const;

    // Single-name lookup (case-insensitive); DISPID_UNKNOWN when absent.
    DISPID Find(std::string_view name) const;
    DISPID Find(std::u16string_view name) const;
    // The entry's first name, or empty.
    std::string NameOf(DISPID dispId) const;

    // IDispatch::GetIDsOfNames semantics: names[0] is the member; further names (named
    // parameters) are not supported and answer DISPID_UNKNOWN with DISP_E_UNKNOWNNAME.
    HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* dispIds) const;

    // IDispatch::Invoke semantics, see the top of this file. `self` reaches the handler
    // through DispatchArgs::Self<T>().
    HRESULT Invoke(void* self, DISPID dispId, WORD flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* excepInfo, UINT* argErr) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------------------
// Small owners for automation values.

// An owned BSTR (SysFreeString on destruction).
class BString {
  public:
    BString() = default;
    explicit BString(std::u16string_view text);
    // Adopts an existing BSTR (takes ownership).
    static BString Adopt(BSTR text);
    // Text in the system ANSI code page.
    static BString FromAnsi(std::string_view ansiText);
    ~BString();
    BString(BString&& other) noexcept;
    BString& operator=(BString&& other) noexcept;
    BString(const BString&) = delete;
    BString& operator=(const BString&) = delete;

    BSTR Get() const { return bstr_; }
    BSTR* Out();  // frees the current string; for by-reference arguments and out-params
    BSTR Release();
    UINT Length() const { return SysStringLen(bstr_); }
    std::u16string_view View() const;
    std::string Ansi() const;

  private:
    BSTR bstr_ = nullptr;
};

// A VARIANT cleared on destruction.
class Variant {
  public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    VARIANT* operator&() { return &v_; }
    const VARIANT& operator*() const { return v_; }
    VARIANT* Get() { return &v_; }
    VARTYPE Type() const { return v_.vt; }
    // Value coerced to the kind; false (and *out untouched) when it cannot be.
    bool ToLong(LONG* out) const;
    bool ToWString(std::u16string* out) const;
    bool ToAnsi(std::string* out) const;

  private:
    VARIANT v_;
};

// UTF-16 <-> system ANSI code page helpers used at the automation surface. Unconvertible
// characters become '?' (narrow) or U+FFFD (wide) rather than failing the call.
std::string WideToAnsi(std::u16string_view text);
// The text of a BSTR (embedded zeros kept; empty for null). OLECHAR is char16_t here and
// wchar_t, of the same width, on Windows.
std::u16string_view BstrView(BSTR text);
// The same text as OLECHARs, for the system's string functions.
inline const OLECHAR* AsOle(const char16_t* text) {
    return reinterpret_cast<const OLECHAR*>(text);
}
inline const char16_t* AsUtf16(const OLECHAR* text) {
    return reinterpret_cast<const char16_t*>(text);
}
std::u16string AnsiToWide(std::string_view text);

// ---------------------------------------------------------------------------------------
// Outgoing calls: the dispatch driver.

// Arguments of one outgoing call in declared order (the first Add is the first
// parameter); the driver reverses them into DISPPARAMS. By-value strings are copied into
// BSTRs owned by this object; by-reference arguments point at the caller's storage and
// receive what the callee writes.
class OutgoingArgs {
  public:
    OutgoingArgs() = default;
    ~OutgoingArgs();
    OutgoingArgs(const OutgoingArgs&) = delete;
    OutgoingArgs& operator=(const OutgoingArgs&) = delete;

    OutgoingArgs& Long(LONG value);
    OutgoingArgs& Short(SHORT value);
    OutgoingArgs& Bool(bool value);
    OutgoingArgs& WString(std::u16string_view value);
    OutgoingArgs& String(std::string_view ansiValue);
    OutgoingArgs& Dispatch(IDispatch* value);  // not AddRef'd; must outlive the call
    OutgoingArgs& LongRef(LONG* value);
    OutgoingArgs& BstrRef(BSTR* value);  // the callee may free and replace *value

    size_t Count() const { return args_.size(); }
    // DISPPARAMS over these arguments (valid while this object lives and is unchanged).
    DISPPARAMS Params();

  private:
    std::vector<VARIANT> args_;      // declared order
    std::vector<VARIANT> reversed_;  // rgvarg order, rebuilt by Params()
};

// Calls through an IDispatch the caller keeps alive (it is not AddRef'd: the service
// objects hold the control object's interface without a reference).
class DispatchDriver {
  public:
    DispatchDriver() = default;
    explicit DispatchDriver(IDispatch* target) : target_(target) {}
    void Attach(IDispatch* target) { target_ = target; }
    IDispatch* Target() const { return target_; }

    // One name through the target's GetIDsOfNames with LOCALE_SYSTEM_DEFAULT.
    // DISPID_UNKNOWN (and the target's failure code in *hr, when given) if unknown.
    DISPID GetDispId(std::string_view ansiName, HRESULT* hr = nullptr) const;

    // Invoke with DISPATCH_METHOD; *result (optional) receives the callee's result. A
    // result must be an initialised VARIANT (a Variant, or after VariantInit): what it
    // held is cleared first, so one Variant can be reused across calls without leaking.
    // E_POINTER without a target; DISP_E_MEMBERNOTFOUND for DISPID_UNKNOWN.
    HRESULT Call(DISPID dispId, OutgoingArgs& args, VARIANT* result = nullptr) const;
    HRESULT Call(std::string_view ansiName, OutgoingArgs& args, VARIANT* result = nullptr) const;
    HRESULT GetProperty(DISPID dispId, VARIANT* result) const;
    HRESULT PutProperty(DISPID dispId, OutgoingArgs& value) const;  // value: one argument
    // Invoke with any flags (a property put passes DISPID_PROPERTYPUT as named argument).
    HRESULT Invoke(DISPID dispId, WORD flags, OutgoingArgs& args, VARIANT* result) const;

  private:
    IDispatch* target_ = nullptr;
};

}  // namespace thermpos::platform::com
