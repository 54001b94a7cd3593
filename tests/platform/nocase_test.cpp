// Names compared without case: registry keys and values, port names, device classes,
// control-object members. A fault here makes a name typed in another case a different one,
// or reorders the configuration utility's port list.
#include "platform/nocase.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <string>

namespace thermpos::platform {
namespace {

int Sign(int v) {
    return (v > 0) - (v < 0);
}

// The order the C library's strcasecmp gives in the "C" locale, which the port list was
// sorted by: letters fold to lower case, so '_' (between the two cases) sorts before them,
// and bytes compare unsigned, so UTF-8 sorts after ASCII.
TEST(NoCaseTest, OrdersAsTheCLibraryDoes) {
    const char* const pairs[][2] = {
        {"COM1", "com1"},  {"COM1", "COM10"}, {"COM2", "COM10"}, {"IP_a", "IPA"},
        {"USB_1", "USBa"}, {"[", "a"},        {"LPT1:", "lpt1"},
#ifndef _WIN32  // the C library of Windows compares bytes as signed chars
        {"\xC3\xA9", "z"},
#endif
        {"", "a"},         {"a", ""},         {"", ""},          {"Zeta", "alpha"},
    };
    // On every system UTF-8 names sort after ASCII ones, so port lists agree.
    EXPECT_GT(CompareNoCase("\xC3\xA9", "z"), 0);
    for (const auto& [a, b] : pairs) {
        SCOPED_TRACE(std::string(a) + " | " + b);
        EXPECT_EQ(Sign(CompareNoCase(a, b)), Sign(::strcasecmp(a, b)));
        EXPECT_EQ(EqualNoCase(a, b), ::strcasecmp(a, b) == 0);
    }
}

TEST(NoCaseTest, OnlyAsciiLettersFold) {
    EXPECT_TRUE(EqualNoCase("HKEY_LOCAL_MACHINE", "hkey_local_machine"));
    // "É" and "é" in UTF-8 differ in a byte that is not a letter of ASCII.
    EXPECT_FALSE(EqualNoCase("\xC3\x89", "\xC3\xA9"));
    EXPECT_FALSE(EqualNoCase("@", "`"));  // 0x40 and 0x60 are one case bit apart too
    EXPECT_EQ(FoldCase("Vid_5D17&Pid_0A41"), "vid_5d17&pid_0a41");
}

TEST(NoCaseTest, PrefixesAndPartsAtTheEdges) {
    EXPECT_TRUE(StartsWithNoCase("usb#vid", "USB#"));
    EXPECT_TRUE(StartsWithNoCase("USB", ""));
    EXPECT_FALSE(StartsWithNoCase("US", "USB"));
    EXPECT_TRUE(ContainsNoCase("\\\\.\\usb#x", "USB"));
    EXPECT_TRUE(ContainsNoCase("xxCOM", "com"));  // at the very end
    EXPECT_TRUE(ContainsNoCase("", ""));
    EXPECT_FALSE(ContainsNoCase("CO", "COM"));
}

}  // namespace
}  // namespace thermpos::platform
