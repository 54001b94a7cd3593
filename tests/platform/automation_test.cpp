// BSTR, VARIANT and GUID behaviour the automation surface relies on, stated as the
// Windows facts they reproduce.
#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/automation.h"

namespace {

// Callers built against the Windows shapes index these fields directly.
static_assert(offsetof(VARIANT, lVal) == 8);
static_assert(offsetof(DISPPARAMS, cArgs) == 16 && sizeof(DISPPARAMS) == 24);
static_assert(sizeof(GUID) == 16 && offsetof(GUID, Data4) == 8);

TEST(Bstr, EmbeddedZerosKeepTheirLengthThroughCopies) {
    const char16_t text[] = {u'a', 0, u'b', 0, 0, u'c'};
    BSTR b = SysAllocStringLen(text, 6);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 6u);
    EXPECT_EQ(SysStringByteLen(b), 12u);
    EXPECT_EQ(b[6], 0);  // terminated after the full length, not at the first zero
    EXPECT_EQ(std::memcmp(b, text, sizeof text), 0);

    VARIANT src, dst;
    VariantInit(&src);
    VariantInit(&dst);
    src.vt = VT_BSTR;
    src.bstrVal = b;
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_NE(dst.bstrVal, b);  // a deep copy: both can be cleared
    EXPECT_EQ(SysStringLen(dst.bstrVal), 6u);
    EXPECT_EQ(std::memcmp(dst.bstrVal, text, sizeof text), 0);
    VariantClear(&src);
    VariantClear(&dst);
    EXPECT_EQ(src.vt, VT_EMPTY);
}

TEST(Bstr, NullAndOddByteLengthsAreSafe) {
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    BSTR odd = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    EXPECT_EQ(std::memcmp(odd, "abc\0\0", 5), 0);
    SysFreeString(odd);
    EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFF0u), nullptr);  // no size wrap-around
}

class ChangeType : public ::testing::Test {
  protected:
    void SetUp() override {
        VariantInit(&in);
        VariantInit(&out);
    }
    void TearDown() override {
        VariantClear(&in);
        VariantClear(&out);
    }
    void SetText(const char16_t* text) {
        VariantClear(&in);
        in.vt = VT_BSTR;
        in.bstrVal = SysAllocString(text);
    }
    VARIANT in, out;
};

TEST_F(ChangeType, TextToNumbersAcceptsOnlyWholeDecimals) {
    SetText(u" -42 ");
    ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_I4), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, -42);
    for (const char16_t* bad : {u"", u"12x", u"x", u"1 2", u"--1"}) {
        SetText(bad);
        VariantClear(&out);
        EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I4), DISP_E_TYPEMISMATCH);
        EXPECT_EQ(out.vt, VT_EMPTY);  // untouched on failure
    }
    SetText(u"2147483648");
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I4), DISP_E_OVERFLOW);
    SetText(u"99999999999999999999999");
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I4), DISP_E_OVERFLOW);
}

TEST_F(ChangeType, NarrowingAndBooleans) {
    in.vt = VT_I4;
    in.lVal = 70000;
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I2), DISP_E_OVERFLOW);
    in.lVal = -5;
    ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    ASSERT_EQ(VariantChangeType(&out, &out, 0, VT_I4), S_OK);  // in place
    EXPECT_EQ(out.lVal, -1);
    SetText(u"FALSE");
    ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BOOL), S_OK);
    EXPECT_EQ(out.boolVal, VARIANT_FALSE);
    VariantClear(&in);
    in.vt = VT_I2;
    in.iVal = -7;
    ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(out.bstrVal), u"-7");
}

TEST_F(ChangeType, ReadsThroughReferencesWithoutTakingOwnership) {
    BSTR shared = SysAllocString(u"15");
    VARIANT ref;
    VariantInit(&ref);
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &shared;
    ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 15);
    ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_BSTR), S_OK);  // replaces, frees nothing
    EXPECT_EQ(std::u16string(ref.bstrVal), u"15");
    VariantClear(&ref);
    EXPECT_EQ(std::u16string(shared), u"15");  // the caller's string is still alive
    SysFreeString(shared);

    in.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_I4), DISP_E_TYPEMISMATCH);
}

TEST(Guid, TextRoundTripAndRejection) {
    GUID g{};
    ASSERT_TRUE(GuidFromString("{5b21c7e4-93AF-4d18-B6E2-1f0c8a47d395}", &g));
    EXPECT_EQ(g.Data1, 0x5B21C7E4u);
    EXPECT_EQ(g.Data2, 0x93AF);
    EXPECT_EQ(g.Data4[0], 0xB6);
    EXPECT_EQ(g.Data4[7], 0x95);
    char text[39];
    GuidToString(g, text);
    EXPECT_STREQ(text, "{5B21C7E4-93AF-4D18-B6E2-1F0C8A47D395}");

    GUID untouched{1, 2, 3, {4}};
    for (const char* bad :
         {"", "5B21C7E4-93AF-4D18-B6E2-1F0C8A47D395", "{5B21C7E4-93AF-4D18-B6E2-1F0C8A47D39}",
          "{5B21C7E4-93AF-4D18-B6E2-1F0C8A47D3G5}", "{5B21C7E4+93AF-4D18-B6E2-1F0C8A47D395}",
          "{5B21C7E4-93AF-4D18-B6E2-1F0C8A47D395}x"}) {
        GUID out = untouched;
        EXPECT_FALSE(GuidFromString(bad, &out)) << bad;
        EXPECT_EQ(out, untouched);
    }
}

}  // namespace
