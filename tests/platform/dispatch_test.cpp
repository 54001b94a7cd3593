// Dispatch tables (incoming) and the dispatch driver (outgoing).
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "platform/comserver.h"
#include "platform/dispatch.h"

namespace {

using namespace thermpos::platform::com;

// Records what reached the handlers, so tests can prove a refused call never ran.
struct Recorder {
    int calls = 0;
    LONG lastLong = 0;
    std::u16string lastText;
    std::string lastAnsi;
    LONG property = 5;
    bool neutral = false;
};

const DispatchTable& TestTable() {
    static const DispatchTable table({
        {{"ResetStatistics"},
         {ArgKind::BstrRef},
         ResultKind::I4,
         [](DispatchArgs& a, VARIANT* r) {
             auto& rec = a.Self<Recorder>();
             ++rec.calls;
             rec.lastText = a.WStringRef(0);
             a.SetWStringRef(0, u"reset");
             return a.ReturnLong(r, 0);
         }},
        {{"DirectIO"},
         {ArgKind::I4, ArgKind::I4Ref, ArgKind::BstrRef},
         ResultKind::I4,
         [](DispatchArgs& a, VARIANT* r) {
             auto& rec = a.Self<Recorder>();
             ++rec.calls;
             a.LongRef(1) = a.Long(0) * 2;
             a.SetStringRef(2, a.StringRef(2) + "!");
             return a.ReturnLong(r, 0);
         }},
        {{"CloseService", "Close"},
         {},
         ResultKind::I4,
         [](DispatchArgs& a, VARIANT* r) {
             ++a.Self<Recorder>().calls;
             return a.ReturnLong(r, 101);
         }},
        {{"PrintNormal"},
         {ArgKind::I4, ArgKind::Bstr},
         ResultKind::I4,
         [](DispatchArgs& a, VARIANT* r) {
             auto& rec = a.Self<Recorder>();
             ++rec.calls;
             rec.lastLong = a.Long(0);
             rec.lastAnsi = a.String(1);
             // Asking for a parameter that is not there gives neutral values, safely.
             rec.neutral = a.WString(7).empty() && a.WString(0).empty() && a.Long(9) == 0 &&
                           a.Dispatch(1) == nullptr && a.StringRef(1).empty();
             return a.ReturnLong(r, 0);
         }},
        {{"GetPropertyString"},
         {ArgKind::I4},
         ResultKind::Bstr,
         // Declared BSTR but answers a number: the caller must still get a BSTR.
         [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, a.Long(0)); }},
        {{"Throws"}, {}, ResultKind::Void, [](DispatchArgs&, VARIANT*) -> HRESULT { throw 1; }},
        {{"Level"},
         {},
         ResultKind::I4,
         [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, a.Self<Recorder>().property); },
         DISPID_UNKNOWN,
         [](DispatchArgs& a, VARIANT*) {
             a.Self<Recorder>().property = a.Long(0);
             return S_OK;
         }},
    });
    return table;
}

// Arguments in rgvarg order (last parameter first), as callers lay them out.
HRESULT Call(Recorder& rec, const char16_t* name, std::initializer_list<VARIANT> reversed,
             VARIANT* result, UINT* argErr = nullptr) {
    DISPID id = TestTable().Find(std::u16string_view(name));
    std::vector<VARIANT> args(reversed);
    DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(args.size()),
                      0};
    UINT err = 12345;
    HRESULT hr = TestTable().Invoke(&rec, id, DISPATCH_METHOD, &params, result, nullptr, &err);
    if (argErr)
        *argErr = err;
    return hr;
}

VARIANT I4(LONG v) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_I4;
    x.lVal = v;
    return x;
}
VARIANT Str(BSTR b) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BSTR;
    x.bstrVal = b;
    return x;
}
VARIANT Ref(VARTYPE vt, void* p) {
    VARIANT x;
    VariantInit(&x);
    x.vt = VT_BYREF | vt;
    x.byref = p;
    return x;
}

TEST(DispatchTable, NamesAreFoundWithoutRegardToCaseAndSecondNamesShareTheMember) {
    ASSERT_TRUE(TestTable().Valid());
    BString upper(u"DIRECTIO"), mixed(u"directIo"), unknown(u"NoSuchMethod");
    LPOLESTR names[1] = {upper.Get()};
    DISPID a = 77, b = 77;
    ASSERT_EQ(TestTable().GetIDsOfNames(names, 1, &a), S_OK);
    names[0] = mixed.Get();
    ASSERT_EQ(TestTable().GetIDsOfNames(names, 1, &b), S_OK);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, DISPID_UNKNOWN);

    names[0] = unknown.Get();
    DISPID c = 77;
    EXPECT_EQ(TestTable().GetIDsOfNames(names, 1, &c), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(c, DISPID_UNKNOWN);

    EXPECT_EQ(TestTable().Find("close"), TestTable().Find("CLOSESERVICE"));
    EXPECT_EQ(TestTable().NameOf(TestTable().Find("close")), "CloseService");
}

TEST(DispatchTable, DuplicateNamesMakeTheTableInvalid) {
    DispatchTable dup({{{"Open"}, {}, ResultKind::Void, nullptr},
                       {{"Other", "OPEN"}, {}, ResultKind::Void, nullptr}});
    EXPECT_FALSE(dup.Valid());
    EXPECT_EQ(dup.Size(), 1u);
}

TEST(DispatchTable, RefusedCallsNeverReachTheHandler) {
    Recorder rec;
    Variant result;
    UINT argErr = 0;
    // Too few and too many arguments.
    EXPECT_EQ(Call(rec, u"DirectIO", {I4(1)}, &result), DISP_E_BADPARAMCOUNT);
    EXPECT_EQ(Call(rec, u"CloseService", {I4(1)}, &result), DISP_E_BADPARAMCOUNT);
    // A by-value string where a by-reference string is declared.
    BString text(u"stats");
    EXPECT_EQ(Call(rec, u"ResetStatistics", {Str(text.Get())}, &result, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
    // A reference of the wrong type (long* for BSTR*), reported at its rgvarg position.
    LONG data = 3;
    BString s2(u"x");
    EXPECT_EQ(
        Call(rec, u"DirectIO", {Ref(VT_I4, &data), Ref(VT_I4, &data), I4(1)}, &result, &argErr),
        DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
    // A by-value long offered for the long*.
    EXPECT_EQ(Call(rec, u"DirectIO", {Ref(VT_BSTR, s2.Out()), I4(4), I4(1)}, &result, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);
    // Text that is not a number for a long.
    BString notNumber(u"twelve");
    EXPECT_EQ(Call(rec, u"PrintNormal", {Str(nullptr), Str(notNumber.Get())}, &result, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);
    // An argument left out, as a host passes it.
    VARIANT missing;
    VariantInit(&missing);
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(Call(rec, u"PrintNormal", {Str(notNumber.Get()), missing}, &result, &argErr),
              DISP_E_PARAMNOTOPTIONAL);
    EXPECT_EQ(argErr, 1u);
    // A script variable that cannot become a long stays as it was, and so does one that
    // could, when a later argument is refused.
    VARIANT word = Str(SysAllocString(u"many"));
    VARIANT small;
    VariantInit(&small);
    small.vt = VT_I2;
    small.iVal = 7;
    EXPECT_EQ(Call(rec, u"DirectIO", {Ref(VT_VARIANT, &word), Ref(VT_VARIANT, &word), I4(1)},
                   &result, &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 1u);
    EXPECT_EQ(Call(rec, u"DirectIO", {Ref(VT_I4, &data), Ref(VT_VARIANT, &small), I4(1)}, &result,
                   &argErr),
              DISP_E_TYPEMISMATCH);
    EXPECT_EQ(argErr, 0u);
    EXPECT_EQ(small.vt, VT_I2);
    EXPECT_EQ(word.vt, VT_BSTR);
    VariantClear(&word);
    EXPECT_EQ(rec.calls, 0);
    EXPECT_EQ(data, 3);
    EXPECT_EQ(text.View(), u"stats");

    // Unknown member, named arguments, null rgvarg with a count.
    DISPPARAMS bad{nullptr, nullptr, 1, 0};
    EXPECT_EQ(TestTable().Invoke(&rec, 999, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(TestTable().Invoke(&rec, TestTable().Find("DirectIO"), DISPATCH_METHOD, &bad, nullptr,
                                 nullptr, nullptr),
              E_INVALIDARG);
    VARIANT one = I4(1);
    DISPID named = 1;
    DISPPARAMS withName{&one, &named, 1, 1};
    EXPECT_EQ(TestTable().Invoke(&rec, TestTable().Find("CloseService"), DISPATCH_METHOD, &withName,
                                 nullptr, nullptr, nullptr),
              DISP_E_NONAMEDARGS);
    EXPECT_EQ(rec.calls, 0);
}

TEST(DispatchTable, ByReferenceResultsAreWrittenBack) {
    Recorder rec;
    Variant result;
    BSTR stats = SysAllocString(u"old");
    ASSERT_EQ(Call(rec, u"ResetStatistics", {Ref(VT_BSTR, &stats)}, &result), S_OK);
    EXPECT_EQ(rec.lastText, u"old");
    EXPECT_EQ(std::u16string(stats), u"reset");
    SysFreeString(stats);

    // A null BSTR* target reads as "" and receives a fresh string.
    BSTR empty = nullptr;
    ASSERT_EQ(Call(rec, u"ResetStatistics", {Ref(VT_BSTR, &empty)}, &result), S_OK);
    EXPECT_EQ(rec.lastText, u"");
    EXPECT_EQ(std::u16string(empty), u"reset");
    SysFreeString(empty);

    // Through VT_BYREF|VT_VARIANT, as script hosts pass them.
    VARIANT data = I4(0);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(u"hi");
    ASSERT_EQ(
        Call(rec, u"DirectIO", {Ref(VT_VARIANT, &text), Ref(VT_VARIANT, &data), I4(21)}, &result),
        S_OK);
    EXPECT_EQ(data.lVal, 42);
    EXPECT_EQ(std::u16string(text.bstrVal), u"hi!");
    VariantClear(&text);
    EXPECT_EQ(result.Type(), VT_I4);

    // VBScript's variables: a small number is VT_I2, a fresh variable VT_EMPTY; both take
    // the parameter's type and the callee's answer.
    VARIANT smallNumber;
    VariantInit(&smallNumber);
    smallNumber.vt = VT_I2;
    smallNumber.iVal = 5;
    VARIANT unassigned;
    VariantInit(&unassigned);
    ASSERT_EQ(Call(rec, u"DirectIO",
                   {Ref(VT_VARIANT, &unassigned), Ref(VT_VARIANT, &smallNumber), I4(4)}, &result),
              S_OK);
    EXPECT_EQ(smallNumber.vt, VT_I4);
    EXPECT_EQ(smallNumber.lVal, 8);
    ASSERT_EQ(unassigned.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(unassigned.bstrVal), u"!");
    VariantClear(&unassigned);
}

TEST(DispatchTable, ValuesAreCoercedAndResultsHaveTheDeclaredKind) {
    Recorder rec;
    Variant result;
    BString station(u"2");
    BString data(u"caf\u00E9");
    ASSERT_EQ(Call(rec, u"PrintNormal", {Str(data.Get()), Str(station.Get())}, &result), S_OK);
    EXPECT_EQ(rec.lastLong, 2);
    EXPECT_EQ(rec.lastAnsi, "caf\xE9");  // the default ANSI code page is 1252
    EXPECT_TRUE(rec.neutral);

    Variant text;
    ASSERT_EQ(Call(rec, u"GetPropertyString", {I4(17)}, &text), S_OK);
    ASSERT_EQ(text.Type(), VT_BSTR);
    std::u16string value;
    ASSERT_TRUE(text.ToWString(&value));
    EXPECT_EQ(value, u"17");

    // No result wanted: the handler still runs, nothing leaks.
    EXPECT_EQ(Call(rec, u"CloseService", {}, nullptr), S_OK);
    // A throwing handler becomes an error code, not an exception through Invoke.
    EXPECT_EQ(Call(rec, u"Throws", {}, &result), DISP_E_EXCEPTION);
}

TEST(DispatchTable, PropertiesGetAndPut) {
    Recorder rec;
    DISPID level = TestTable().Find("level");
    Variant result;
    ASSERT_EQ(
        TestTable().Invoke(&rec, level, DISPATCH_PROPERTYGET, nullptr, &result, nullptr, nullptr),
        S_OK);
    EXPECT_EQ((*result).lVal, 5);
    VARIANT value = I4(9);
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS put{&value, &putId, 1, 1};
    ASSERT_EQ(
        TestTable().Invoke(&rec, level, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(rec.property, 9);
    // Methods have no put side.
    EXPECT_EQ(TestTable().Invoke(&rec, TestTable().Find("Close"), DISPATCH_PROPERTYPUT, &put,
                                 nullptr, nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
}

// An object answering the four callbacks a control object offers, for the driver.
class CallbackSink : public DispatchObject {
  public:
    CallbackSink() : DispatchObject(&Table(), this) {}
    LONG lastStatus = 0;
    LONG outputs = 0;

    static const DispatchTable& Table() {
        static const DispatchTable table({
            {{"SOStatusUpdate"},
             {ArgKind::I4},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 a.Self<CallbackSink>().lastStatus = a.Long(0);
                 return S_OK;
             }},
            {{"SOError"},
             {ArgKind::I4, ArgKind::I4, ArgKind::I4, ArgKind::I4Ref},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 a.LongRef(3) = 12;
                 return S_OK;
             }},
            {{"SODirectIO"},
             {ArgKind::I4, ArgKind::I4Ref, ArgKind::BstrRef},
             ResultKind::Void,
             [](DispatchArgs& a, VARIANT*) {
                 a.LongRef(1) += a.Long(0);
                 return a.SetWStringRef(2, u"answer");
             }},
        });
        return table;
    }
};

TEST(DispatchDriver, CallsByNameAndDispidWithByReferenceArguments) {
    auto sink = ComPtr<CallbackSink>::Adopt(new CallbackSink);
    DispatchDriver driver(sink.Get());
    DISPID status = driver.GetDispId("sostatusupdate");
    ASSERT_NE(status, DISPID_UNKNOWN);
    HRESULT why = S_OK;
    EXPECT_EQ(driver.GetDispId("SOOutputComplete", &why), DISPID_UNKNOWN);
    EXPECT_EQ(why, DISP_E_UNKNOWNNAME);

    OutgoingArgs statusArgs;
    statusArgs.Long(2001);
    EXPECT_EQ(driver.Call(status, statusArgs), S_OK);
    EXPECT_EQ(sink->lastStatus, 2001);

    LONG response = 11;
    OutgoingArgs error;
    error.Long(114).Long(201).Long(2).LongRef(&response);
    EXPECT_EQ(driver.Call("SOError", error), S_OK);
    EXPECT_EQ(response, 12);

    LONG data = 1;
    BSTR text = SysAllocString(u"question");
    OutgoingArgs direct;
    direct.Long(5).LongRef(&data).BstrRef(&text);
    EXPECT_EQ(driver.Call("SODirectIO", direct), S_OK);
    EXPECT_EQ(data, 6);
    EXPECT_EQ(std::u16string(text), u"answer");
    SysFreeString(text);

    // Unknown callbacks and missing targets fail cleanly.
    OutgoingArgs none;
    EXPECT_EQ(driver.Call(DISPID_UNKNOWN, none), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(DispatchDriver().Call("SOStatusUpdate", none), E_POINTER);
    EXPECT_EQ(driver.Call(status, none), DISP_E_BADPARAMCOUNT);
}

TEST(AnsiStrings, FollowTheConfiguredCodePage) {
    ::setenv("THERMPOS_ACP", "65001", 1);
    EXPECT_EQ(WideToAnsi(u"\u00E9\u20AC"), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(AnsiToWide("\xE2\x82\xAC"), u"\u20AC");
    ::setenv("THERMPOS_ACP", "1252", 1);
    EXPECT_EQ(WideToAnsi(u"\u00E9\u20AC\u0416"), "\xE9\x80?");
    ::unsetenv("THERMPOS_ACP");
}

}  // namespace
