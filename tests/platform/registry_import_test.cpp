// Import and export of regedit files, and the parser's handling of what real and broken
// files contain.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/reg_text.h"
#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

namespace detail = platform::registry::detail;

// Windows regedit writes its exports in UTF-16LE with a byte order mark and CR LF.
std::string Utf16leFile(const std::u16string& text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

using RegistryImport = RegistryTest;

TEST_F(RegistryImport, ReadsAUtf16RegeditExport) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n"
        u"\r\n"
        u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\POSPrinter\\RTK410.TALVERN."
        u"POSPrinter]\r\n"
        u"@=\"QMX.Thermal.POSPrinter\"\r\n"
        u"\"Port\"=\"COM1:\"\r\n"
        u"\"DeviceDescription\"=\"Caf\u00e9 \u20ac \\\"receipt\\\" C:\\\\dir\"\r\n"
        u"\"Count\"=dword:0000ffff\r\n"
        u"\"Logo\"=hex:1b,40,00,\\\r\n"
        u"  ff\r\n"
        u"\"Expand\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n"
        u"\"Multi\"=hex(7):41,00,00,00,e9,00,00,00,00,00\r\n"
        u"\r\n"
        u"[HKEY_CLASSES_ROOT\\QMX.Thermal.POSPrinter\\CLSID]\r\n"
        u"@=\"{5B21C7E4-93AF-4D18-B6E2-1F0C8A47D395}\"\r\n"
        u"\r\n";
    const std::string file = dir_ + "/export.reg";
    WriteFile(file, Utf16leFile(text));
    std::string error;
    ASSERT_EQ(platform::registry::ImportFile(file, &error), ERROR_SUCCESS) << error;

    const char* device =
        "SOFTWARE\\OLEforRetail\\ServiceOPOS\\POSPrinter\\RTK410.TALVERN.POSPrinter";
    EXPECT_EQ(GetString(device, ""), "QMX.Thermal.POSPrinter");
    EXPECT_EQ(GetString(device, "Port"), "COM1:");
    EXPECT_EQ(GetString(device, "DeviceDescription"),
              "Caf\xC3\xA9 \xE2\x82\xAC \"receipt\" C:\\dir");
    EXPECT_EQ(GetString(device, "Expand"), "%PATH%");
    EXPECT_EQ(GetString("SOFTWARE\\Classes\\QMX.Thermal.POSPrinter\\CLSID", ""),
              "{5B21C7E4-93AF-4D18-B6E2-1F0C8A47D395}");

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, device, 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE buf[16];
    DWORD cb = sizeof buf;
    DWORD type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Logo", nullptr, &type, buf, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + cb), std::vector<BYTE>({0x1B, 0x40, 0x00, 0xFF}));
    cb = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Count", nullptr, &type, buf, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + cb), std::vector<BYTE>({0xFF, 0xFF, 0, 0}));
    cb = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(key, "Multi", nullptr, &type, buf, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), cb), std::string("A\0\xC3\xA9\0\0", 6));
    RegCloseKey(key);
}

TEST_F(RegistryImport, DeletionsMergeAndOldHeaderWorks) {
    HKEY k = Create("SOFTWARE\\Keep\\Gone\\Deep");
    RegCloseKey(k);
    k = Create("SOFTWARE\\Keep");
    ASSERT_EQ(SetString(k, "Old", "1"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(k, "Stays", "2"), ERROR_SUCCESS);
    RegCloseKey(k);

    const std::string file = dir_ + "/change.reg";
    WriteFile(file,
              "REGEDIT4\n"
              "; a comment line\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep\\GONE]\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\NeverExisted]\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
              "\"old\"=-\n"
              "\"New\" = \"3\"\n"
              "\"Ansi\"=hex(2):41,42,00\n");
    std::string error;
    ASSERT_EQ(platform::registry::ImportFile(file, &error), ERROR_SUCCESS) << error;
    EXPECT_EQ(GetString("SOFTWARE\\Keep\\Gone", ""), "<error 2>");
    EXPECT_EQ(GetString("SOFTWARE\\Keep", "Old"), "<error 2>");
    EXPECT_EQ(GetString("SOFTWARE\\Keep", "Stays"), "2");
    EXPECT_EQ(GetString("SOFTWARE\\Keep", "New"), "3");
    // REGEDIT4 files carry strings in the ANSI code page, not UTF-16.
    EXPECT_EQ(GetString("SOFTWARE\\Keep", "Ansi"), "AB");
}

TEST_F(RegistryImport, ABrokenFileChangesNothing) {
    HKEY k = Create("SOFTWARE\\Keep");
    ASSERT_EQ(SetString(k, "Port", "COM1:"), ERROR_SUCCESS);
    RegCloseKey(k);
    const std::string before = ReadFile(hive_);

    const std::string file = dir_ + "/broken.reg";
    WriteFile(file,
              "Windows Registry Editor Version 5.00\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
              "\"Port\"=\"COM2:\"\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n"
              "\"Half\"=\"no end\n");
    std::string error;
    EXPECT_EQ(platform::registry::ImportFile(file, &error), ERROR_BADDB);
    EXPECT_EQ(error, file + ":5: unterminated string");
    EXPECT_EQ(ReadFile(hive_), before);
    EXPECT_EQ(GetString("SOFTWARE\\Keep", "Port"), "COM1:");

    EXPECT_EQ(platform::registry::ImportFile(dir_ + "/missing.reg", &error), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(error.find("missing.reg"), std::string::npos);
}

TEST_F(RegistryImport, ExportedSubtreeImportsBackIdentically) {
    HKEY k = Create("SOFTWARE\\Exp\\Child");
    const std::vector<BYTE> longData(100, 0x5A);  // wraps onto continuation lines
    ASSERT_EQ(RegSetValueExA(k, "Long", 0, REG_BINARY, longData.data(), longData.size()),
              ERROR_SUCCESS);
    ASSERT_EQ(SetString(k, "Odd", std::string("a\nb\xFF", 4)), ERROR_SUCCESS);
    RegCloseKey(k);
    k = Create("SOFTWARE\\Other");
    RegCloseKey(k);

    const std::string file = dir_ + "/exp.reg";
    std::string error;
    ASSERT_EQ(platform::registry::ExportFile("HKEY_LOCAL_MACHINE\\software\\exp", file, &error),
              ERROR_SUCCESS)
        << error;
    const std::string text = ReadFile(file);
    EXPECT_EQ(
        text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Exp]\n",
                   0),
        0u)
        << text;
    EXPECT_EQ(text.find("Other"), std::string::npos);

    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Exp"), ERROR_SUCCESS);
    ASSERT_EQ(platform::registry::ImportFile(file, &error), ERROR_SUCCESS) << error;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Exp\\Child", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    BYTE buf[128];
    DWORD cb = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(k, "Long", nullptr, nullptr, buf, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + cb), longData);
    RegCloseKey(k);
    EXPECT_EQ(GetString("SOFTWARE\\Exp\\Child", "Odd"), std::string("a\nb\xFF", 4));

    EXPECT_EQ(platform::registry::ExportFile("HKLM\\SOFTWARE\\Nope", file, &error),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::registry::ExportFile("HKEY_CURRENT_USER\\SOFTWARE", file, &error),
              ERROR_INVALID_PARAMETER);
}

struct BadFile {
    const char* text;
    const char* where;  // expected ":LINE: what" prefix
};

TEST(RegistryParser, BadFilesNameTheLineAndTheFault) {
    const BadFile cases[] = {
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", ":1: not a registry file"},
        {"REGEDIT4\n\"Orphan\"=\"x\"\n", ":2: value outside any key"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n", ":2: key outside HKEY_LOCAL_MACHINE"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", ":2: key line without closing ']'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", ":2: bad key path"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", ":2: a root key cannot be deleted"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=dword:123456789\n", ":3: bad dword"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=hex:1,2,zz\n", ":3: bad byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=hex:01,\\\n", ":3: hex list breaks off"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\" \"x\"\n", ":3: expected '='"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=\"x\" junk\n", ":3: unexpected text after"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=text\n", ":3: unknown value data"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=hex(1):41\n",
         ":3: odd number of bytes"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nstray\n", ":3: unexpected text"},
    };
    for (const auto& c : cases) {
        std::vector<detail::ParsedSection> sections;
        std::string error;
        EXPECT_FALSE(detail::ParseRegFile(c.text, "f.reg", &sections, &error)) << c.text;
        EXPECT_EQ(error.rfind(std::string("f.reg") + c.where, 0), 0u) << error;
        EXPECT_TRUE(sections.empty());
    }
}

TEST(RegistryParser, ToleratesWhatRealFilesContain) {
    // UTF-8 byte order mark, CR LF, blank lines, comments, spaces around '=', a trailing
    // backslash on a key, a trailing comma in a hex list, upper-case hex.
    const std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
        "; exported\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\A\\]   ; note\r\n"
        "@ = \"d\"\r\n"
        "\"B\"=hex:0A,FF,\r\n"
        "\"C\"=DWORD:0000000A\r\n";
    std::vector<detail::ParsedSection> sections;
    std::string error;
    ASSERT_TRUE(detail::ParseRegFile(text, "f.reg", &sections, &error)) << error;
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].path, std::vector<std::string>({"SOFTWARE", "A"}));
    ASSERT_EQ(sections[0].values.size(), 3u);
    EXPECT_EQ(sections[0].values[0].name, "");
    EXPECT_EQ(sections[0].values[1].data, std::vector<BYTE>({0x0A, 0xFF}));
    EXPECT_EQ(sections[0].values[2].data, std::vector<BYTE>({0x0A, 0, 0, 0}));

    EXPECT_TRUE(detail::ParseRegFile("", "f.reg", &sections, &error));
    EXPECT_TRUE(sections.empty());
}

TEST(RegistryParser, HexListsAcrossLinesReadAsOneList) {
    // Spacing, CR LF, a comment that ends the list and an empty trailing item, as hand-made
    // files have them.
    const std::string text =
        "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
        "\"N\"=hex: 01 , 02,\\\r\n"
        "    03,\\\r\n"
        "\t04,05, ; the rest is comment,\\\r\n"
        "  zz\r\n"
        "\"M\"=hex:0a,\\\r\n  0b,\r\n";
    std::vector<detail::ParsedSection> sections;
    std::string error;
    ASSERT_TRUE(detail::ParseRegFile(text, "f.reg", &sections, &error)) << error;
    ASSERT_EQ(sections.size(), 1u);
    ASSERT_EQ(sections[0].values.size(), 2u);
    EXPECT_EQ(sections[0].values[0].data, std::vector<BYTE>({1, 2, 3, 4, 5}));
    EXPECT_EQ(sections[0].values[1].data, std::vector<BYTE>({0x0A, 0x0B}));

    // However long the spaces around a byte, they do not count against it.
    const std::string spaces(100000, ' ');
    const std::string padded = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=hex:01" + spaces + "," +
                               spaces + "02\n\"M\"=hex:03," + spaces + "x3\n";
    EXPECT_FALSE(detail::ParseRegFile(padded, "f.reg", &sections, &error));
    EXPECT_EQ(error, "f.reg:4: bad byte \"x3\" in hex list");
    ASSERT_TRUE(
        detail::ParseRegFile(padded.substr(0, padded.find("\"M\"")), "f.reg", &sections, &error))
        << error;
    EXPECT_EQ(sections[0].values[0].data, std::vector<BYTE>({1, 2}));
}

TEST(RegistryParser, ArbitraryBytesNeverCrashTheParser) {
    std::mt19937 random(12345);
    const std::string seed =
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"N\"=hex(7):41,00,\\\n"
        "  00,00\n\"S\"=\"x\\\\y\"\n@=dword:1\n";
    for (int round = 0; round < 3000; ++round) {
        std::string text = seed;
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % (text.size() + 1);
            switch (random() % 3) {
                case 0:
                    text.insert(at, 1, static_cast<char>(random()));
                    break;
                case 1:
                    if (at < text.size())
                        text.erase(at, 1);
                    break;
                default:
                    if (at < text.size())
                        text[at] = static_cast<char>(random());
            }
        }
        if (round % 2)
            text = Utf16leFile(std::u16string(text.begin(), text.end()));
        std::vector<detail::ParsedSection> sections;
        std::string error;
        if (detail::ParseRegFile(text, "fuzz.reg", &sections, &error)) {
            // Whatever parses must survive a write and a second parse unchanged.
            detail::Node root;
            detail::ApplySections(sections, &root);
            std::string written;
            ASSERT_EQ(detail::WriteHiveText(root, &written, &error), ERROR_SUCCESS) << error;
            std::vector<detail::ParsedSection> again;
            ASSERT_TRUE(detail::ParseRegFile(written, "again.reg", &again, &error)) << error;
            detail::Node reread;
            detail::ApplySections(again, &reread);
            EXPECT_TRUE(detail::TreesEqual(root, reread)) << written;
        } else {
            EXPECT_EQ(error.rfind("fuzz.reg:", 0), 0u);
        }
    }
}

}  // namespace
}  // namespace thermpos::testing
