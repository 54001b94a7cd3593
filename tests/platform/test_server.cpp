// A small in-process server for the activation tests: one class with a handful of
// methods covering each argument kind, registered and created the way ThermSO is.
#include <new>

#include "platform/comserver.h"

namespace {

using thermpos::platform::com::ArgKind;
using thermpos::platform::com::DispatchArgs;
using thermpos::platform::com::ResultKind;

// {6F1D2C3B-4A59-4E68-8B7C-9D0E1F2A3B4C}
constexpr CLSID kTestClsid = {
    0x6F1D2C3B, 0x4A59, 0x4E68, {0x8B, 0x7C, 0x9D, 0x0E, 0x1F, 0x2A, 0x3B, 0x4C}};

class CTestObject : public thermpos::platform::com::DispatchObject {
  public:
    CTestObject() : DispatchObject(&Table(), this) {}

    static const thermpos::platform::com::DispatchTable& Table() {
        static const thermpos::platform::com::DispatchTable table({
            {{"Add"},
             {ArgKind::I4, ArgKind::I4},
             ResultKind::I4,
             [](DispatchArgs& a, VARIANT* r) { return a.ReturnLong(r, a.Long(0) + a.Long(1)); }},
            {{"Echo"},
             {ArgKind::Bstr},
             ResultKind::Bstr,
             [](DispatchArgs& a, VARIANT* r) { return a.ReturnWString(r, a.WString(0)); }},
            {{"Fill", "FillToo"},
             {ArgKind::I4Ref, ArgKind::BstrRef},
             ResultKind::I4,
             [](DispatchArgs& a, VARIANT* r) {
                 a.LongRef(0) += 1;
                 HRESULT hr = a.SetWStringRef(1, u"filled:" + a.WStringRef(1));
                 if (FAILED(hr))
                     return hr;
                 return a.ReturnLong(r, 0);
             }},
            {{"Counter"},
             {},
             ResultKind::I4,
             [](DispatchArgs& a, VARIANT* r) {
                 return a.ReturnLong(r, ++a.Self<CTestObject>().counter_);
             }},
        });
        return table;
    }

  private:
    LONG counter_ = 0;
};

const thermpos::platform::com::ServerClass kClasses[] = {
    {kTestClsid, "ThermPOS.Test.Object", "ThermPOS test object",
     [] { return static_cast<IUnknown*>(new (std::nothrow) CTestObject); }, false},
};

}  // namespace

THERMPOS_COM_SERVER_EXPORTS(kClasses)
