// Outgoing calls to an object that names its members only through IDispatchEx, as the
// class instances of a script engine do: GetIDsOfNames and Invoke answer E_NOTIMPL there,
// GetDispID and InvokeEx work.
#include <string>

#include <dispex.h>
#include <gtest/gtest.h>

#include "platform/dispatch.h"

namespace {

using namespace thermpos::platform::com;

// {A6EF9860-C720-11D0-9337-00A0C90DCAA9}
constexpr IID kIidDispatchEx = {
    0xA6EF9860, 0xC720, 0x11D0, {0x93, 0x37, 0x00, 0xA0, 0xC9, 0x0D, 0xCA, 0xA9}};

class ScriptClassInstance : public IDispatchEx {
  public:
    LONG received = 0;
    int invokeExCalls = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) ||
            IsEqualGUID(riid, kIidDispatchEx)) {
            *out = static_cast<IDispatchEx*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD flags, DISPID* id) override {
        // Script engines match names without regard to case when asked to.
        if ((flags & fdexNameCaseInsensitive) && _wcsicmp(name, L"SOStatusUpdate") == 0) {
            *id = 7;
            return S_OK;
        }
        *id = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                                       EXCEPINFO*, IServiceProvider*) override {
        ++invokeExCalls;
        if (id != 7 || !(flags & DISPATCH_METHOD) || params->cArgs != 1 ||
            params->rgvarg[0].vt != VT_I4)
            return DISP_E_MEMBERNOTFOUND;
        received = params->rgvarg[0].lVal;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID, DWORD, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMemberName(DISPID, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD, DISPID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown**) override { return E_NOTIMPL; }
};

TEST(DispatchEx, MembersKnownOnlyThroughIDispatchExAreFoundAndCalled) {
    ScriptClassInstance object;
    DispatchDriver driver(&object);
    HRESULT hr = E_FAIL;
    const DISPID id = driver.GetDispId("sostatusupdate", &hr);
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(id, 7);
    OutgoingArgs args;
    args.Long(11);
    EXPECT_EQ(driver.Call(id, args), S_OK);
    EXPECT_EQ(object.received, 11);
    EXPECT_EQ(object.invokeExCalls, 1);
    // A name the object does not have stays unknown.
    EXPECT_EQ(driver.GetDispId("SOError", &hr), DISPID_UNKNOWN);
    EXPECT_TRUE(FAILED(hr));
}

}  // namespace
