// Fuzz target for the automation surface: Invoke on the service objects' real dispatch
// tables with any member, any flags and any number of arguments of any variant type, as
// a careless or hostile caller might pass them. Nothing may crash or leak; a refused call
// must leave the caller's arguments as they were; the answer is S_OK or a failure code.
//
// The objects have no device open (the registry is an empty temporary file), so every
// call that passes the argument checks ends in the "closed" answer of its handler.
//
// Input layout: one byte choosing the object (bit 0), the Invoke flags (bits 1-4) and
// whether a result is wanted (bit 5); one byte choosing the member; one byte with the
// argument count (bits 0-2) and the named-argument count (bits 3-4); then per argument a
// type byte followed by what that type reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/automation.h"
#include "platform/comserver.h"
#include "platform/dispatch.h"
#include "so/com/ServiceObject.h"

namespace {

using namespace thermpos::platform::com;
using namespace thermpos::so;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Reads the input front to back; past its end every read gives zeros.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
    BSTR Text() {
        const std::size_t length = Byte() % 24;
        std::u16string s;
        for (std::size_t i = 0; i < length; ++i)
            s.push_back(static_cast<char16_t>(Byte() | (Byte() & 0x80 ? 0xD800 : 0)));
        return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
    }
};

// An object with no members: what an application might hand over as its event sink.
class Sink : public DispatchObject {
  public:
    Sink() : DispatchObject(&Table(), this) {}
    static const DispatchTable& Table() {
        static const DispatchTable table(std::vector<DispatchEntry>{});
        return table;
    }
};

struct Objects {
    Objects() {
        // No device can open: every lookup of a logical device finds nothing.
        setenv("THERMPOS_REGISTRY", "/nonexistent/thermpos-fuzz/registry.reg", 1);
        setenv("THERMPOS_LOCK_DIR", "/tmp", 0);
        printer = new CQMXThermalPrinterSO();
        drawer = new CQMXCashDrawerSO();
        sink = new Sink();
    }
    CServiceObjectBase* printer;
    CServiceObjectBase* drawer;
    Sink* sink;
};

// The storage one argument points at, kept apart so that it can be compared afterwards.
struct Storage {
    LONG number = 0;
    SHORT shortNumber = 0;
    BSTR text = nullptr;
    VARIANT inner{};
};

void MakeArgument(Reader& in, Objects& objects, VARIANT* v, Storage* s) {
    VariantInit(v);
    VariantInit(&s->inner);
    switch (in.Byte() % 20) {
        case 0:
            break;
        case 1:
            v->vt = VT_NULL;
            break;
        case 2:
            v->vt = VT_I2;
            v->iVal = static_cast<SHORT>(in.U32());
            break;
        case 3:
            v->vt = VT_I4;
            v->lVal = static_cast<LONG>(in.U32());
            break;
        case 4:
            v->vt = VT_BOOL;
            v->boolVal = static_cast<VARIANT_BOOL>(in.U32());
            break;
        case 5:
            v->vt = VT_BSTR;
            v->bstrVal = in.Text();
            break;
        case 6:
            v->vt = VT_BSTR;  // a null BSTR means ""
            break;
        case 7:
            v->vt = VT_DISPATCH;
            v->pdispVal = in.Byte() & 1 ? objects.sink : nullptr;
            break;
        case 8:
            v->vt = VT_UNKNOWN;
            v->punkVal = in.Byte() & 1 ? objects.sink : nullptr;
            break;
        case 9:
            v->vt = VT_BYREF | VT_I4;
            s->number = static_cast<LONG>(in.U32());
            v->plVal = &s->number;
            break;
        case 10:
            v->vt = VT_BYREF | VT_BSTR;
            s->text = in.Byte() & 1 ? in.Text() : nullptr;
            v->pbstrVal = &s->text;
            break;
        case 11:
            v->vt = VT_BYREF | VT_VARIANT;
            switch (in.Byte() % 4) {
                case 0:
                    s->inner.vt = VT_I4;
                    s->inner.lVal = static_cast<LONG>(in.U32());
                    break;
                case 1:
                    s->inner.vt = VT_BSTR;
                    s->inner.bstrVal = in.Text();
                    break;
                case 2:
                    s->inner.vt = VT_I2;
                    s->inner.iVal = static_cast<SHORT>(in.U32());
                    break;
                default:
                    break;
            }
            v->pvarVal = &s->inner;
            break;
        case 12:
            v->vt = VT_BYREF | VT_I2;
            s->shortNumber = static_cast<SHORT>(in.U32());
            v->piVal = &s->shortNumber;
            break;
        case 13:
            v->vt = VT_ERROR;
            v->scode = static_cast<HRESULT>(in.U32());
            break;
        case 14:
            v->vt = VT_UI1;
            v->bVal = in.Byte();
            break;
        case 15:
            // By reference, but to nothing.
            v->vt = static_cast<VARTYPE>(VT_BYREF | (in.Byte() & 1 ? VT_I4 : VT_BSTR));
            v->byref = nullptr;
            break;
        case 16:
            // Types this surface has no coercion for; their payload is never a pointer here.
            v->vt = static_cast<VARTYPE>(4 + in.Byte() % 4);  // R4, R8, CY, DATE
            v->lVal = static_cast<LONG>(in.U32());
            break;
        case 17:
            v->vt = static_cast<VARTYPE>(0x2000 | VT_I4);  // an array, with no array behind it
            v->byref = nullptr;
            break;
        case 18:
            v->vt = static_cast<VARTYPE>(in.U32() & 0xBFFF);  // any type without BYREF
            v->byref = nullptr;
            break;
        default:
            v->vt = VT_BSTR;
            v->bstrVal = SysAllocString(u"12345");
            break;
    }
}

// Frees what an argument owns, whatever the call did to it.
void FreeArgument(VARIANT* v, Storage* s) {
    if (v->vt == VT_BSTR)
        SysFreeString(v->bstrVal);
    SysFreeString(s->text);
    VariantClear(&s->inner);
}

bool IsAnswer(HRESULT hr) {
    switch (hr) {
        case S_OK:
        case DISP_E_MEMBERNOTFOUND:
        case DISP_E_BADPARAMCOUNT:
        case DISP_E_TYPEMISMATCH:
        case DISP_E_OVERFLOW:
        case DISP_E_NONAMEDARGS:
        case DISP_E_PARAMNOTFOUND:
        case DISP_E_BADVARTYPE:
        case DISP_E_PARAMNOTOPTIONAL:
        case DISP_E_UNKNOWNINTERFACE:
        case E_INVALIDARG:
        case E_POINTER:
        case E_OUTOFMEMORY:
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Objects objects;
    Reader in{data, size};
    const std::uint8_t options = in.Byte();
    CServiceObjectBase* target = options & 1 ? objects.drawer : objects.printer;
    const DispatchTable& table =
        options & 1 ? CQMXCashDrawerSO::Table() : CQMXThermalPrinterSO::Table();
    const WORD flags = static_cast<WORD>((options >> 1) & 0xF);
    const bool wantResult = (options & 0x20) != 0;

    // Mostly real members, now and then one past the table or a special DISPID.
    const std::uint8_t member = in.Byte();
    DISPID dispId = static_cast<DISPID>(1 + member % (table.Size() + 2));
    if (member >= 250)
        dispId = member == 255 ? DISPID_UNKNOWN : member == 254 ? DISPID_VALUE : -3;

    const std::uint8_t counts = in.Byte();
    const UINT argCount = counts & 7;
    const UINT namedCount = std::min<UINT>((counts >> 3) & 3, argCount);
    std::vector<VARIANT> args(argCount);
    std::vector<Storage> storage(argCount);
    for (UINT i = 0; i < argCount; ++i)
        MakeArgument(in, objects, &args[i], &storage[i]);
    std::vector<VARIANT> before = args;
    std::vector<LONG> numbersBefore(argCount);
    std::vector<BSTR> textsBefore(argCount);
    for (UINT i = 0; i < argCount; ++i) {
        numbersBefore[i] = storage[i].number;
        textsBefore[i] = storage[i].text;
    }
    DISPID named[3] = {DISPID_PROPERTYPUT, static_cast<DISPID>(in.Byte()), DISPID_UNKNOWN};

    DISPPARAMS params{args.empty() ? nullptr : args.data(), namedCount ? named : nullptr, argCount,
                      namedCount};
    VARIANT result;
    VariantInit(&result);
    UINT argErr = 0xFFFFFFFFu;
    const HRESULT hr = target->Invoke(dispId, IID_NULL, 0, flags, &params,
                                      wantResult ? &result : nullptr, nullptr, &argErr);
    Check(IsAnswer(hr));
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW)
        Check(argErr < argCount);
    if (FAILED(hr)) {
        // A refused call touched nothing of the caller's.
        for (UINT i = 0; i < argCount; ++i) {
            Check(std::memcmp(&args[i], &before[i], sizeof(VARIANT)) == 0);
            Check(storage[i].number == numbersBefore[i]);
            Check(storage[i].text == textsBefore[i]);
        }
        Check(result.vt == VT_EMPTY);
    }
    VariantClear(&result);
    for (UINT i = 0; i < argCount; ++i)
        FreeArgument(&args[i], &storage[i]);

    // Names: any text, any count; unknown ones answer DISPID_UNKNOWN.
    if (in.Byte() & 1) {
        BSTR names[3] = {in.Text(), in.Text(), in.Text()};
        DISPID ids[3] = {7, 7, 7};
        const UINT count = 1 + in.Byte() % 3;
        const HRESULT found = target->GetIDsOfNames(IID_NULL, names, count, 0, ids);
        Check(found == S_OK || found == DISP_E_UNKNOWNNAME);
        if (found == S_OK)
            Check(count == 1 && ids[0] != DISPID_UNKNOWN);
        for (BSTR name : names)
            SysFreeString(name);
    }
    return 0;
}
