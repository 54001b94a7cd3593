// Code page conversions over iconv, and the ANSI code page setting.
#include <link.h>

#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace {

using namespace thermpos;

TEST(CodePages, WesternAccentMovesBetweenTables) {
    std::string out;
    ASSERT_EQ(platform::ConvertCodePage(1252, 850, "\xE9", &out), ERROR_SUCCESS);
    EXPECT_EQ(out, "\x82");
    ASSERT_EQ(platform::ConvertCodePage(850, 1252, "\x82", &out), ERROR_SUCCESS);
    EXPECT_EQ(out, "\xE9");
    // 858 is 850 with the euro sign at D5.
    ASSERT_EQ(platform::ConvertCodePage(1252, 858, "\x80", &out), ERROR_SUCCESS);
    EXPECT_EQ(out, "\xD5");
}

TEST(CodePages, BoxDrawingRoundTripsThrough437) {
    std::string box;
    for (int c = 0xB0; c <= 0xDF; ++c)
        box += static_cast<char>(c);
    std::u16string wide;
    ASSERT_EQ(platform::MultiByteToWide(437, box, &wide), ERROR_SUCCESS);
    ASSERT_EQ(wide.size(), box.size());
    EXPECT_EQ(wide[0xC4 - 0xB0], u'\u2500');  // light horizontal
    EXPECT_EQ(wide[0xC9 - 0xB0], u'\u2554');  // double down and right
    std::string back;
    bool usedDefault = true;
    ASSERT_EQ(platform::WideToMultiByte(437, wide, &back, '?', &usedDefault), ERROR_SUCCESS);
    EXPECT_EQ(back, box);
    EXPECT_FALSE(usedDefault);
}

TEST(CodePages, UnmappedCharactersBecomeTheDefaultCharacterOnce) {
    std::string out;
    bool usedDefault = false;
    // Cyrillic and an emoji (a surrogate pair: one character, one replacement).
    ASSERT_EQ(platform::WideToMultiByte(1252, u"a\u0416b\U0001F600c", &out, '#', &usedDefault),
              ERROR_SUCCESS);
    EXPECT_EQ(out, "a#b#c");
    EXPECT_TRUE(usedDefault);
    // A lone surrogate is not valid text; it is replaced, not passed through.
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    ASSERT_EQ(platform::WideToMultiByte(437, lone, &out), ERROR_SUCCESS);
    EXPECT_EQ(out, "x?y");
    // Embedded zeros survive both ways.
    ASSERT_EQ(platform::ConvertCodePage(1252, 437, std::string("a\0b", 3), &out), ERROR_SUCCESS);
    EXPECT_EQ(out, std::string("a\0b", 3));
}

TEST(CodePages, UndecodableBytesBecomeReplacementCharacters) {
    std::u16string wide;
    ASSERT_EQ(platform::MultiByteToWide(65001, "ok\xFF\xC3", &wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, u"ok\uFFFD\uFFFD");
    // Shift-JIS: a complete double-byte character, then a lone lead byte.
    ASSERT_EQ(platform::MultiByteToWide(932, "\x82\xA0\x82", &wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, u"\u3042\uFFFD");
}

TEST(CodePages, NumbersWithoutATableFailInsteadOfGuessing) {
    for (UINT cp : {1u, 18u, 255u, 998u, 999u, 1200u, 70000u}) {
        std::string out = "untouched";
        std::u16string wide = u"untouched";
        EXPECT_FALSE(platform::IsValidCodePage(cp)) << cp;
        EXPECT_EQ(platform::ConvertCodePage(cp, 1252, "a", &out), ERROR_INVALID_PARAMETER) << cp;
        EXPECT_EQ(platform::ConvertCodePage(1252, cp, "a", &out), ERROR_INVALID_PARAMETER) << cp;
        EXPECT_EQ(out, "untouched");
        EXPECT_EQ(platform::MultiByteToWide(cp, "a", &wide), ERROR_INVALID_PARAMETER) << cp;
        EXPECT_EQ(wide, u"untouched");
        EXPECT_TRUE(platform::IconvName(cp).empty());
    }
    for (UINT cp :
         {437u, 850u, 852u, 857u, 858u, 860u, 863u, 864u, 865u, 866u, 932u, 1252u, 65001u})
        EXPECT_TRUE(platform::IsValidCodePage(cp)) << cp;
}

// ASCII text skips iconv where the table maps ASCII to itself; the result must be what
// iconv gives, also for text that is ASCII but for its last character, and for the tables
// that put other characters on ASCII bytes.
TEST(CodePages, AsciiTextConvertsAsTheTablesSay) {
    std::string ascii;
    std::u16string asciiWide;
    for (int c = 0; c < 128; ++c) {
        ascii += static_cast<char>(c);
        asciiWide += static_cast<char16_t>(c);
    }
    for (UINT cp : {437u, 850u, 858u, 932u, 936u, 1252u, 65001u, 28591u}) {
        std::string narrow = "stale";
        std::u16string wide = u"stale";
        ASSERT_EQ(platform::WideToMultiByte(cp, asciiWide, &narrow), ERROR_SUCCESS) << cp;
        EXPECT_EQ(narrow, ascii) << cp;
        ASSERT_EQ(platform::MultiByteToWide(cp, ascii, &wide), ERROR_SUCCESS) << cp;
        EXPECT_EQ(wide, asciiWide) << cp;
        // One character past ASCII at the end: the whole text goes through the table.
        ASSERT_EQ(platform::WideToMultiByte(cp, asciiWide + u"é", &narrow, '#'), ERROR_SUCCESS);
        EXPECT_EQ(narrow.substr(0, 128), ascii) << cp;
        EXPECT_GT(narrow.size(), 128u) << cp;
    }
    std::string out;
    ASSERT_EQ(platform::WideToMultiByte(1252, u"Total 12.70 é", &out), ERROR_SUCCESS);
    EXPECT_EQ(out, "Total 12.70 \xE9");
    std::u16string wide;
    ASSERT_EQ(platform::MultiByteToWide(850, "caf\x82", &wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, u"caf\u00E9");
    // The Arabic table puts its own percent sign on 25.
    ASSERT_EQ(platform::MultiByteToWide(864, "5%", &wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, u"5\u066A");
    // Empty text is no special case.
    ASSERT_EQ(platform::WideToMultiByte(1252, u"", &out), ERROR_SUCCESS);
    EXPECT_EQ(out, "");
}

TEST(CodePages, AnsiCodePageFollowsTheSetting) {
    ::unsetenv("THERMPOS_ACP");
    EXPECT_EQ(platform::GetACP(), 1252u);
    ::setenv("THERMPOS_ACP", "65001", 1);
    EXPECT_EQ(platform::GetACP(), 65001u);
    std::u16string wide;
    ASSERT_EQ(platform::MultiByteToWide(CP_ACP, "\xE2\x82\xAC", &wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, u"\u20AC");
    for (const char* bad : {"998", "abc", "1252x", "", "-1", "99999999999999999999"}) {
        ::setenv("THERMPOS_ACP", bad, 1);
        EXPECT_EQ(platform::GetACP(), 1252u) << bad;
    }
    ::unsetenv("THERMPOS_ACP");
}

TEST(CodePages, ConcurrentConversionsDoNotShareState) {
    // iconv descriptors carry state; threads converting at once must not mix results.
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            const UINT cp = t % 2 ? 932 : 437;
            const std::string text = t % 2 ? "\x82\xA0\x82\xA2" : "\xC9\xCD\xBB";
            for (int i = 0; i < 300; ++i) {
                std::u16string wide;
                std::string back;
                if (platform::MultiByteToWide(cp, text, &wide) != ERROR_SUCCESS ||
                    platform::WideToMultiByte(cp, wide, &back) != ERROR_SUCCESS || back != text)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

// The iconv modules loaded in the process.
std::set<std::string> LoadedIconvModules() {
    std::set<std::string> modules;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            const std::string path = info->dlpi_name ? info->dlpi_name : "";
            if (path.find("/gconv/") != std::string::npos)
                static_cast<std::set<std::string>*>(data)->insert(path);
            return 0;
        },
        &modules);
    return modules;
}

TEST(CodePages, ModulesStayLoadedWhenTheThreadsThatUsedThemEnd) {
    // iconv unloads a module a few closes after its last descriptor closed, in whichever
    // thread closes; threads that come and go must not unload and load them again.
    auto convertInAThread = [](UINT cp, const std::string& text) {
        std::thread([cp, text] {
            std::u16string wide;
            std::string back;
            EXPECT_EQ(platform::MultiByteToWide(cp, text, &wide), ERROR_SUCCESS);
            EXPECT_EQ(platform::WideToMultiByte(cp, wide, &back), ERROR_SUCCESS);
            EXPECT_EQ(back, text);
        }).join();
    };
    convertInAThread(866, "\x80\xAF");  // Cyrillic in the DOS table
    const std::set<std::string> loaded = LoadedIconvModules();
    ASSERT_FALSE(loaded.empty());
    for (int i = 0; i < 8; ++i)
        convertInAThread(1251, "\xC0\xFF");  // other threads, another module, each closing
    const std::set<std::string> after = LoadedIconvModules();
    for (const std::string& module : loaded)
        EXPECT_TRUE(after.count(module)) << module << " was unloaded";
}

}  // namespace
