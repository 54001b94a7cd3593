// BSTR, VARIANT and GUID functions of the mini-COM layer.
#include "platform/automation.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef _WIN32  // oleaut32 has BSTR and VARIANT on Windows
namespace {

// VariantChangeType flag: booleans become "True"/"False" rather than "-1"/"0".
constexpr USHORT kAlphaBool = 0x2;

// The u32 byte count that precedes the text.
inline std::uint32_t* Header(BSTR text) {
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(text) - sizeof(std::uint32_t));
}

bool IsSpace(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

// Whole-string signed decimal (spaces around allowed). DISP_E_TYPEMISMATCH for anything
// else, DISP_E_OVERFLOW past 64 bits (callers narrow further).
HRESULT ParseInteger(BSTR text, long long* out) {
    UINT n = SysStringLen(text);
    UINT i = 0;
    while (i < n && IsSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    UINT digitsStart = i;
    unsigned long long value = 0;
    bool overflow = false;
    while (i < n && text[i] >= u'0' && text[i] <= u'9') {
        unsigned digit = text[i] - u'0';
        if (value > (ULLONG_MAX - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
        ++i;
    }
    if (i == digitsStart)
        return DISP_E_TYPEMISMATCH;
    while (i < n && IsSpace(text[i]))
        ++i;
    if (i != n)
        return DISP_E_TYPEMISMATCH;
    if (overflow || value > static_cast<unsigned long long>(LLONG_MAX) + (negative ? 1 : 0))
        return DISP_E_OVERFLOW;
    *out = negative ? static_cast<long long>(0 - value) : static_cast<long long>(value);
    return S_OK;
}

bool EqualsIgnoreCase(BSTR text, const char* ascii) {
    UINT n = SysStringLen(text);
    if (std::strlen(ascii) != n)
        return false;
    for (UINT i = 0; i < n; ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z')
            c = c - u'A' + u'a';
        char a = ascii[i];
        if (a >= 'A' && a <= 'Z')
            a = a - 'A' + 'a';
        if (c != static_cast<char16_t>(a))
            return false;
    }
    return true;
}

BSTR AsciiBstr(const char* text) {
    std::u16string wide(text, text + std::strlen(text));
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// Types whose value sits wholly inside the VARIANT: nothing to free or share on copy.
bool IsPlainType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_ERROR:
        case VT_BOOL:
        case VT_UI1:
            return true;
        default:
            return false;
    }
}

// A by-value view of src: VT_BYREF is read through (one level, and a by-reference
// VARIANT once more). False for shapes that cannot be read.
bool ReadThrough(const VARIANTARG* src, VARIANT* view) {
    VARTYPE vt = src->vt;
    view->vt = VT_EMPTY;
    if (!(vt & VT_BYREF)) {
        *view = *src;
        return true;
    }
    if (!src->byref)
        return false;
    switch (vt & ~VT_BYREF) {
        case VT_I2:
            view->vt = VT_I2;
            view->iVal = *src->piVal;
            return true;
        case VT_I4:
            view->vt = VT_I4;
            view->lVal = *src->plVal;
            return true;
        case VT_BOOL:
            view->vt = VT_BOOL;
            view->boolVal = *src->pboolVal;
            return true;
        case VT_UI1:
            view->vt = VT_UI1;
            view->bVal = *static_cast<BYTE*>(src->byref);
            return true;
        case VT_BSTR:
            view->vt = VT_BSTR;
            view->bstrVal = *src->pbstrVal;
            return true;
        case VT_DISPATCH:
            view->vt = VT_DISPATCH;
            view->pdispVal = *static_cast<IDispatch**>(src->byref);
            return true;
        case VT_UNKNOWN:
            view->vt = VT_UNKNOWN;
            view->punkVal = *static_cast<IUnknown**>(src->byref);
            return true;
        case VT_VARIANT:
            if (src->pvarVal->vt & VT_BYREF)
                return false;  // no chains of references
            *view = *src->pvarVal;
            return true;
        default:
            return false;
    }
}

}  // namespace

BSTR SysAllocStringByteLen(const char* bytes, UINT byteLength) {
    // Room for the length word and a terminating zero OLECHAR (plus an odd byte's pad).
    if (byteLength > UINT_MAX - 8)
        return nullptr;
    size_t total = sizeof(std::uint32_t) + byteLength + sizeof(OLECHAR) + 1;
    char* block = static_cast<char*>(std::malloc(total));
    if (!block)
        return nullptr;
    std::uint32_t length = byteLength;
    std::memcpy(block, &length, sizeof length);
    char* text = block + sizeof(std::uint32_t);
    if (bytes)
        std::memcpy(text, bytes, byteLength);
    else
        std::memset(text, 0, byteLength);
    std::memset(text + byteLength, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(text);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (UINT_MAX - 8) / sizeof(OLECHAR))
        return nullptr;
    return SysAllocStringByteLen(reinterpret_cast<const char*>(text),
                                 length * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocString(const OLECHAR* text) {
    if (!text)
        return nullptr;
    size_t n = 0;
    while (text[n])
        ++n;
    if (n > UINT_MAX / 4)
        return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(n));
}

UINT SysStringByteLen(BSTR text) {
    return text ? *Header(text) : 0;
}

UINT SysStringLen(BSTR text) {
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

void SysFreeString(BSTR text) {
    if (text)
        std::free(Header(text));
}

void VariantInit(VARIANTARG* v) {
    if (!v)
        return;
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* v) {
    if (!v)
        return E_INVALIDARG;
    if (!(v->vt & VT_BYREF)) {
        switch (v->vt) {
            case VT_BSTR:
                SysFreeString(v->bstrVal);
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                if (v->punkVal)
                    v->punkVal->Release();
                break;
            default:
                if (!IsPlainType(v->vt))
                    return DISP_E_BADVARTYPE;
        }
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
    if (!dest || !src)
        return E_INVALIDARG;
    if (dest == src)
        return S_OK;
    VARIANT copy = *src;
    if (!(src->vt & VT_BYREF)) {
        switch (src->vt) {
            case VT_BSTR:
                if (src->bstrVal) {
                    copy.bstrVal =
                        SysAllocStringByteLen(reinterpret_cast<const char*>(src->bstrVal),
                                              SysStringByteLen(src->bstrVal));
                    if (!copy.bstrVal)
                        return E_OUTOFMEMORY;
                }
                break;
            case VT_DISPATCH:
            case VT_UNKNOWN:
                if (src->punkVal)
                    src->punkVal->AddRef();
                break;
            default:
                if (!IsPlainType(src->vt))
                    return DISP_E_BADVARTYPE;
        }
    }
    HRESULT hr = VariantClear(dest);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags, VARTYPE vt) {
    if (!dest || !src)
        return E_INVALIDARG;
    VARIANT in;
    if (!ReadThrough(src, &in))
        return DISP_E_TYPEMISMATCH;

    VARIANT out;
    VariantInit(&out);
    out.vt = vt;
    long long number = 0;
    bool numeric = true;
    switch (in.vt) {
        case VT_EMPTY:
            number = 0;
            break;
        case VT_I2:
            number = in.iVal;
            break;
        case VT_I4:
            number = in.lVal;
            break;
        case VT_UI1:
            number = in.bVal;
            break;
        case VT_BOOL:
            number = in.boolVal ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        default:
            numeric = false;
    }

    switch (vt) {
        case VT_EMPTY:
            break;
        case VT_I2:
        case VT_I4:
        case VT_UI1:
            if (!numeric) {
                if (in.vt != VT_BSTR)
                    return DISP_E_TYPEMISMATCH;
                HRESULT hr = ParseInteger(in.bstrVal, &number);
                if (FAILED(hr))
                    return hr;
            }
            if (vt == VT_I2) {
                if (number < SHRT_MIN || number > SHRT_MAX)
                    return DISP_E_OVERFLOW;
                out.iVal = static_cast<SHORT>(number);
            } else if (vt == VT_I4) {
                if (number < INT32_MIN || number > INT32_MAX)
                    return DISP_E_OVERFLOW;
                out.lVal = static_cast<LONG>(number);
            } else {
                if (number < 0 || number > 255)
                    return DISP_E_OVERFLOW;
                out.bVal = static_cast<BYTE>(number);
            }
            break;
        case VT_BOOL:
            if (!numeric) {
                if (in.vt != VT_BSTR)
                    return DISP_E_TYPEMISMATCH;
                if (EqualsIgnoreCase(in.bstrVal, "true"))
                    number = 1;
                else if (EqualsIgnoreCase(in.bstrVal, "false"))
                    number = 0;
                else if (HRESULT hr = ParseInteger(in.bstrVal, &number); hr == DISP_E_OVERFLOW)
                    number = 1;  // too big for any integer, but certainly not zero
                else if (FAILED(hr))
                    return hr;
            }
            out.boolVal = number ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_BSTR:
            if (in.vt == VT_BSTR) {
                out.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(in.bstrVal),
                                                    SysStringByteLen(in.bstrVal));
            } else if (in.vt == VT_BOOL && (flags & kAlphaBool)) {
                out.bstrVal = AsciiBstr(in.boolVal ? "True" : "False");
            } else if (in.vt == VT_EMPTY) {
                out.bstrVal = SysAllocStringLen(u"", 0);
            } else if (numeric) {
                char digits[24];
                std::snprintf(digits, sizeof digits, "%lld", number);
                out.bstrVal = AsciiBstr(digits);
            } else {
                return DISP_E_TYPEMISMATCH;
            }
            if (!out.bstrVal)
                return E_OUTOFMEMORY;
            break;
        case VT_DISPATCH:
            if (in.vt == VT_DISPATCH) {
                out.pdispVal = in.pdispVal;
                if (out.pdispVal)
                    out.pdispVal->AddRef();
            } else if (in.vt == VT_UNKNOWN) {
                out.pdispVal = nullptr;
                if (in.punkVal) {
                    void* p = nullptr;
                    if (FAILED(in.punkVal->QueryInterface(IID_IDispatch, &p)) || !p)
                        return DISP_E_TYPEMISMATCH;
                    out.pdispVal = static_cast<IDispatch*>(p);
                }
            } else {
                return DISP_E_TYPEMISMATCH;
            }
            break;
        default:
            return DISP_E_BADVARTYPE;
    }
    // Only now is dest touched: a failed coercion leaves it as it was, and dest may be src.
    if (dest == src) {
        VARIANT old = *dest;
        *dest = out;
        if (!(old.vt & VT_BYREF))
            VariantClear(&old);
    } else {
        VariantClear(dest);
        *dest = out;
    }
    return S_OK;
}

#endif  // _WIN32

bool GuidFromString(const char* text, GUID* out) {
    if (!text || !out)
        return false;
    if (std::strlen(text) != 38 || text[0] != '{' || text[37] != '}')
        return false;
    static const int kDashes[] = {9, 14, 19, 24};
    unsigned char bytes[16];
    int byte = 0;
    for (int i = 1; i < 37;) {
        if (i == kDashes[0] || i == kDashes[1] || i == kDashes[2] || i == kDashes[3]) {
            if (text[i] != '-')
                return false;
            ++i;
            continue;
        }
        int value = 0;
        for (int k = 0; k < 2; ++k) {
            char c = text[i + k];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            value = value * 16 + digit;
        }
        bytes[byte++] = static_cast<unsigned char>(value);
        i += 2;
    }
    if (byte != 16)
        return false;
    out->Data1 = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                 (std::uint32_t(bytes[2]) << 8) | bytes[3];
    out->Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    out->Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    std::memcpy(out->Data4, bytes + 8, 8);
    return true;
}

void GuidToString(const GUID& g, char out[39]) {
    std::snprintf(out, 39, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}
