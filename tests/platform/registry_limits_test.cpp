// The store never saves a hive it cannot read back. Values and hives within the limits
// of reg_limits.h read back byte for byte in a fresh process, whatever form the writer
// chose for them; a change past a limit fails before anything is saved and leaves the
// hive file exactly as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/reg_limits.h"
#include "platform/reg_text.h"
#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

using platform::registry::kMaxValueSize;

// A hex list as regedit writes it: 25 bytes a line, continued with a backslash.
std::string HexLines(const std::string& prefix, const std::vector<BYTE>& data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out = prefix;
    for (std::size_t i = 0; i < data.size(); ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 15]);
        if (i + 1 < data.size())
            out += (i % 25 == 24) ? ",\\\r\n  " : ",";
    }
    return out + "\r\n";
}

std::vector<BYTE> Utf16le(const std::u16string& text) {
    std::vector<BYTE> out;
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

class RegistryLimits : public RegistryTest {
  protected:
    // The raw bytes of a value as a fresh process reads them, or "<error N>".
    std::string ReadBack(const char* keyPath, const char* name) {
        HKEY key = nullptr;
        LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
        if (r != ERROR_SUCCESS)
            return "<error " + std::to_string(r) + "> " + platform::registry::LastError();
        DWORD cb = 0;
        std::string data;
        r = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &cb);
        if (r == ERROR_SUCCESS) {
            data.resize(cb);
            r = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                                 &cb);
        }
        RegCloseKey(key);
        return r == ERROR_SUCCESS ? data : "<error " + std::to_string(r) + ">";
    }
    LONG Set(HKEY key, const char* name, DWORD type, const std::string& data) {
        return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
    // The hive works and holds what it held before.
    void ExpectUnchanged(const std::string& before) {
        EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
        Reload();
        EXPECT_EQ(GetString("SOFTWARE\\Keep", "Port"), "COM1:") << platform::registry::LastError();
    }
    std::string StartHive() {
        HKEY keep = Create("SOFTWARE\\Keep");
        EXPECT_EQ(SetString(keep, "Port", "COM1:"), ERROR_SUCCESS);
        RegCloseKey(keep);
        return ReadFile(hive_);
    }
};

TEST_F(RegistryLimits, StringsKeptAsLongHexListsReadBack) {
    // Strings that cannot be written between quotes are kept as UTF-16 hex lists, twice
    // their size or more; up to the data limit they must still read back.
    const std::string latin1(512 * 1024 + 1, '\xE9');
    std::string lines(512 * 1024, 'a');
    lines[1000] = '\n';
    const std::string longest(kMaxValueSize - 1, '\xE9');
    struct Case {
        const char* name;
        DWORD type;
        std::string data;  // as set, with its zero
    };
    const Case cases[] = {
        {"Latin1", REG_SZ, latin1 + '\0'},
        {"Newline", REG_SZ, lines + '\0'},
        {"Expand", REG_EXPAND_SZ, std::string(512 * 1024 + 1, 'x') + '\0'},
        {"Multi", REG_MULTI_SZ, latin1 + '\0' + "b" + '\0' + '\0'},
        {"Longest", REG_SZ, longest + '\0'},
    };
    HKEY key = Create("SOFTWARE\\Big");
    for (const auto& c : cases)
        ASSERT_EQ(Set(key, c.name, c.type, c.data), ERROR_SUCCESS) << c.name;
    // Given without its zero, a string one byte short of the limit fits exactly.
    ASSERT_EQ(Set(key, "NoZero", REG_SZ, longest), ERROR_SUCCESS);
    RegCloseKey(key);

    Reload();
    for (const auto& c : cases)
        EXPECT_TRUE(ReadBack("SOFTWARE\\Big", c.name) == c.data) << c.name;
    EXPECT_TRUE(ReadBack("SOFTWARE\\Big", "NoZero") == longest + '\0');
}

TEST_F(RegistryLimits, ValuesOverTheDataLimitAreRefusedBeforeSaving) {
    const std::string before = StartHive();
    HKEY key = Create("SOFTWARE\\Keep");
    const std::string mib(kMaxValueSize, 'x');
    // The zero the store adds would take these one byte past the limit.
    EXPECT_EQ(Set(key, "Sz", REG_SZ, mib), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Set(key, "Expand", REG_EXPAND_SZ, mib), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Set(key, "Bin", REG_BINARY, mib + 'x'), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
    ExpectUnchanged(before);
}

TEST_F(RegistryLimits, ImportsReadBackOrAreRefusedWhole) {
    const std::string before = StartHive();

    // An old-style file keeps strings in the ANSI code page; a Latin-1 string just over
    // half the data limit is saved as a UTF-16 hex list over the limit in bytes.
    const std::string latin1(512 * 1024 + 1, '\xE9');
    const std::string ansi = dir_ + "/ansi.reg";
    WriteFile(ansi,
              "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ansi]\n\"Text\"=\"" + latin1 + "\"\n");
    std::string error;
    ASSERT_EQ(platform::registry::ImportFile(ansi, &error), ERROR_SUCCESS) << error;
    Reload();
    EXPECT_TRUE(ReadBack("SOFTWARE\\Ansi", "Text") == latin1 + '\0');
    const std::string withAnsi = ReadFile(hive_);

    // 700 KB of CJK text in UTF-16 becomes 1.05 MB as UTF-8: over the limit, refused with
    // the line it starts on, and nothing of the file is taken.
    std::u16string cjk;
    for (int i = 0; i < 350000; ++i)
        cjk.push_back(static_cast<char16_t>(0x4E00 + i % 0x5000));
    cjk.push_back(0);
    const std::string wide = dir_ + "/cjk.reg";
    WriteFile(wide,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Cjk]\r\n\"Small\"=\"ok\"\r\n" +
                  HexLines("\"Text\"=hex(1):", Utf16le(cjk)));
    EXPECT_EQ(platform::registry::ImportFile(wide, &error), ERROR_BADDB);
    EXPECT_NE(error.find("cjk.reg:5: value too large"), std::string::npos) << error;
    EXPECT_TRUE(ReadFile(hive_) == withAnsi) << "the hive file changed";
    EXPECT_EQ(GetString("SOFTWARE\\Cjk", "Small"), "<error 2>");
    EXPECT_EQ(GetString("SOFTWARE\\Keep", "Port"), "COM1:") << platform::registry::LastError();
}

TEST_F(RegistryLimits, ChangesThatWouldOutgrowTheHiveFileAreRefused) {
    constexpr std::size_t kRoom = 150 * 1024;
    WriteNearlyFullHive(kRoom);
    const std::string before = ReadFile(hive_);

    HKEY key = Create("SOFTWARE\\Full");
    const std::string mib(kMaxValueSize, '\x01');
    EXPECT_EQ(Set(key, "More", REG_BINARY, mib), ERROR_FILE_TOO_LARGE);
    EXPECT_NE(platform::registry::LastError().find("would grow past"), std::string::npos)
        << platform::registry::LastError();
    EXPECT_TRUE(ReadFile(hive_) == before) << "the hive file changed";
    // What fits still fits, and the refused value left nothing behind in memory either.
    ASSERT_EQ(SetString(key, "Small", "x"), ERROR_SUCCESS);
    RegCloseKey(key);

    const std::string file = dir_ + "/more.reg";
    WriteFile(file,
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n" +
                  HexLines("\"More\"=hex:", std::vector<BYTE>(kRoom, 0x02)));
    std::string error;
    EXPECT_EQ(platform::registry::ImportFile(file, &error), ERROR_FILE_TOO_LARGE);
    EXPECT_NE(error.find("would grow past"), std::string::npos) << error;

    Reload();
    EXPECT_EQ(GetString("SOFTWARE\\Full", "Port"), "COM1:") << platform::registry::LastError();
    EXPECT_EQ(GetString("SOFTWARE\\Full", "Small"), "x");
    EXPECT_EQ(ReadBack("SOFTWARE\\Full", "More"), "<error 2>");
    EXPECT_EQ(GetString("SOFTWARE\\New", "More"), "<error 2>");
}

}  // namespace
}  // namespace thermpos::testing
