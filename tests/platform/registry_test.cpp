// The registry store behaves like the Win32 registry API for the calls the system makes
// (result codes and untouched outputs on failure, as on Windows) and keeps its hive file
// safe: atomic saves, nothing lost on a corrupt or read-only file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

using RegistryApi = RegistryTest;

TEST_F(RegistryApi, KeyAndValueNamesIgnoreCaseButKeepTheirSpelling) {
    HKEY ports = Create("SOFTWARE\\ThermPOS\\Ports");
    ASSERT_EQ(SetString(ports, "COM1", "/dev/ttyUSB0"), ERROR_SUCCESS);
    // Writing through another spelling replaces the value, it does not add a second one.
    ASSERT_EQ(SetString(ports, "com1", "/dev/ttyUSB1"), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(ports), std::vector<std::string>{"COM1"});
    RegCloseKey(ports);

    EXPECT_EQ(GetString("software\\THERMPOS\\ports", "Com1"), "/dev/ttyUSB1");

    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\thermpos", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(SubkeyNames(again), std::vector<std::string>{"Ports"});
    RegCloseKey(again);

    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &software), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(software), std::vector<std::string>{"ThermPOS"});
    RegCloseKey(software);
}

TEST_F(RegistryApi, ValueLookupsInAWideKeyFollowEveryChange) {
    // Wide enough for queries to go through the index of value names.
    HKEY key = Create("SOFTWARE\\Wide");
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(SetString(key, ("V" + std::to_string(i)).c_str(), "a" + std::to_string(i)),
                  ERROR_SUCCESS);
    EXPECT_EQ(GetString("SOFTWARE\\Wide", "v7"), "a7");
    ASSERT_EQ(RegDeleteValueA(key, "V7"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("SOFTWARE\\Wide", "V7"), "<error 2>");
    EXPECT_EQ(GetString("SOFTWARE\\Wide", "V8"), "a8");  // moved up one place
    ASSERT_EQ(SetString(key, "V7", "b7"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("SOFTWARE\\Wide", "V7"), "b7");
    EXPECT_EQ(GetString("SOFTWARE\\Wide", "V39"), "a39");
    RegCloseKey(key);
    RewriteInPlaceKeepingTimes("a39", "c39");  // another program's edit
    EXPECT_EQ(GetString("SOFTWARE\\Wide", "V39"), "c39");
}

TEST_F(RegistryApi, QueryGivesSizeFirstAndLeavesSmallBuffersUntouched) {
    HKEY key = Create("SOFTWARE\\T");
    ASSERT_EQ(SetString(key, "Port", "COM1:"), ERROR_SUCCESS);

    DWORD type = 0xDEAD;
    DWORD cb = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Port", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(cb, 6u);  // the zero counts

    BYTE small[4];
    std::memset(small, 0xAA, sizeof small);
    cb = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 6u);
    EXPECT_EQ(small[0], 0xAA);

    BYTE exact[6];
    cb = sizeof exact;
    ASSERT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, exact, &cb), ERROR_SUCCESS);
    EXPECT_STREQ(reinterpret_cast<char*>(exact), "COM1:");

    type = 0xDEAD;
    cb = 77;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, 0xDEADu);
    EXPECT_EQ(cb, 77u);
    EXPECT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, exact, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryApi, ValuesRoundTripThroughTheFileExactly) {
    HKEY key = Create("SOFTWARE\\Round");
    const std::string tricky = "C:\\Program Files\\\"quoted\" \\\\share";
    ASSERT_EQ(SetString(key, "Path", tricky), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, nullptr, "default text"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "Empty", ""), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "Two\nLines", "x"), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(SetString(key, "Text", "line 1\r\nline 2"), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, "Latin1", "caf\xE9"), ERROR_SUCCESS);  // not UTF-8
    ASSERT_EQ(SetString(key, "Name with \"quotes\" and \\", "v"), ERROR_SUCCESS);
    const DWORD ten = 10;
    ASSERT_EQ(RegSetValueExA(key, "Num", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ten), 4),
              ERROR_SUCCESS);
    const BYTE bin[] = {0x00, 0xFF, 0x1B, 0x40, 0x0A};
    ASSERT_EQ(RegSetValueExA(key, "Bin", 0, REG_BINARY, bin, sizeof bin), ERROR_SUCCESS);
    const BYTE multi[] = {'a', 0, 'b', 'c', 0, 0};
    ASSERT_EQ(RegSetValueExA(key, "Multi", 0, REG_MULTI_SZ, multi, sizeof multi), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "NoData", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    RegCloseKey(key);

    const std::string text = ReadFile(hive_);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
    EXPECT_NE(text.find("@=\"default text\""), std::string::npos);
    EXPECT_NE(text.find("\"Num\"=dword:0000000a"), std::string::npos);

    Reload();
    EXPECT_EQ(GetString("SOFTWARE\\Round", "Path"), tricky);
    EXPECT_EQ(GetString("SOFTWARE\\Round", ""), "default text");
    EXPECT_EQ(GetString("SOFTWARE\\Round", nullptr), "default text");
    EXPECT_EQ(GetString("SOFTWARE\\Round", "Empty"), "");
    EXPECT_EQ(GetString("SOFTWARE\\Round", "Text"), "line 1\r\nline 2");
    EXPECT_EQ(GetString("SOFTWARE\\Round", "Latin1"), "caf\xE9");
    EXPECT_EQ(GetString("SOFTWARE\\Round", "name with \"QUOTES\" and \\"), "v");

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Round", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    const auto raw = [&](const char* name, DWORD wantType) {
        DWORD type = 0;
        BYTE buf[64];
        DWORD cb = sizeof buf;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, buf, &cb), ERROR_SUCCESS) << name;
        EXPECT_EQ(type, wantType) << name;
        return std::vector<BYTE>(buf, buf + cb);
    };
    EXPECT_EQ(raw("Num", REG_DWORD), std::vector<BYTE>({10, 0, 0, 0}));
    EXPECT_EQ(raw("Bin", REG_BINARY), std::vector<BYTE>(bin, bin + sizeof bin));
    EXPECT_EQ(raw("Multi", REG_MULTI_SZ), std::vector<BYTE>(multi, multi + sizeof multi));
    EXPECT_TRUE(raw("NoData", REG_BINARY).empty());
    RegCloseKey(key);
}

TEST_F(RegistryApi, StringsWithoutTheirZeroAreStoredTerminated) {
    HKEY key = Create("SOFTWARE\\T");
    // A common slip: the length without the zero. Readers that trust the size must still
    // find a terminated string.
    ASSERT_EQ(RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM2:"), 5),
              ERROR_SUCCESS);
    DWORD cb = 0;
    ASSERT_EQ(RegQueryValueExA(key, "Port", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 6u);
    EXPECT_EQ(GetString("SOFTWARE\\T", "Port"), "COM2:");
    RegCloseKey(key);
}

TEST_F(RegistryApi, EnumerationKeepsCreationOrderAcrossSaveAndLoad) {
    for (const char* name : {"Zeta", "alpha", "Mid", "beta"}) {
        HKEY k = Create((std::string("SOFTWARE\\Order\\") + name).c_str());
        RegCloseKey(k);
    }
    HKEY order = Create("SOFTWARE\\Order");
    for (const char* name : {"z", "A", "m"})
        ASSERT_EQ(SetString(order, name, name), ERROR_SUCCESS);
    // Removing and re-adding moves an entry to the end, as a new creation does.
    ASSERT_EQ(RegDeleteKeyA(order, "alpha"), ERROR_SUCCESS);
    HKEY k = Create("SOFTWARE\\Order\\alpha");
    RegCloseKey(k);
    RegCloseKey(order);

    const std::vector<std::string> keys = {"Zeta", "Mid", "beta", "alpha"};
    const std::vector<std::string> values = {"z", "A", "m"};
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Order", 0, KEY_READ, &order),
                  ERROR_SUCCESS);
        EXPECT_EQ(SubkeyNames(order), keys) << "round " << round;
        EXPECT_EQ(ValueNames(order), values) << "round " << round;
        char name[8];
        DWORD cch = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(order, 4, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_NO_MORE_ITEMS);
        RegCloseKey(order);
        Reload();
    }
}

TEST_F(RegistryApi, EnumerationReportsShortBuffers) {
    HKEY key = Create("SOFTWARE\\E\\LongerName");
    ASSERT_EQ(SetString(key, "ValueName", "0123456789"), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\E", 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[10];  // "LongerName" needs 11 with its zero
    DWORD cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    RegCloseKey(key);

    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\E\\LongerName", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    char valueName[32];
    DWORD cchValue = sizeof valueName;
    BYTE data[4];
    DWORD cb = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 0, valueName, &cchValue, nullptr, nullptr, data, &cb),
              ERROR_MORE_DATA);
    EXPECT_EQ(cb, 11u);
    cchValue = 9;  // "ValueName" is 9 characters, needs 10
    EXPECT_EQ(RegEnumValueA(key, 0, valueName, &cchValue, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    cchValue = sizeof valueName;
    EXPECT_EQ(RegEnumValueA(key, 1, valueName, &cchValue, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryApi, HandlesAreCheckedAndCounted) {
    EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
    HKEY key = Create("SOFTWARE\\H");
    EXPECT_EQ(platform::registry::OpenHandleCount(), 1u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);

    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &cb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetString(key, "x", "y"), ERROR_INVALID_HANDLE);
    const HKEY currentUser = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
    HKEY out = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(currentUser, "SOFTWARE", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    out = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nope", 0, KEY_READ, &out),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
}

TEST_F(RegistryApi, HandleToADeletedKeySaysSo) {
    HKEY device = Create("SOFTWARE\\D\\Printer");
    ASSERT_EQ(SetString(device, "Port", "COM1:"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\D"), ERROR_SUCCESS);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExA(device, "Port", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(device, "Port", "COM2:"), ERROR_KEY_DELETED);
    // The write did not bring the key back.
    EXPECT_EQ(GetString("SOFTWARE\\D\\Printer", "Port"), "<error 2>");
    RegCloseKey(device);
}

TEST_F(RegistryApi, DeletingKeysAndValues) {
    HKEY k = Create("SOFTWARE\\Del\\A\\B");
    RegCloseKey(k);
    k = Create("SOFTWARE\\Del");
    ASSERT_EQ(SetString(k, "V", "1"), ERROR_SUCCESS);
    // RegDeleteKey refuses a key that still has subkeys.
    EXPECT_EQ(RegDeleteKeyA(k, "A"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(k, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(k, "a\\b"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "v"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "v"), ERROR_FILE_NOT_FOUND);
    HKEY c = Create("SOFTWARE\\Del\\A\\C");
    ASSERT_EQ(SetString(k, "W", "2"), ERROR_SUCCESS);
    // A null subkey empties the key but keeps it.
    EXPECT_EQ(RegDeleteTreeA(k, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubkeyNames(k).empty());
    EXPECT_TRUE(ValueNames(k).empty());
    EXPECT_EQ(SetString(c, "x", "y"), ERROR_KEY_DELETED);
    RegCloseKey(c);
    RegCloseKey(k);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del\\Nope"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Del"), ERROR_SUCCESS);
    EXPECT_EQ(GetString("SOFTWARE\\Del", "x"), "<error 2>");
}

TEST_F(RegistryApi, HostileNamesAndSizesAreRefused) {
    HKEY k = nullptr;
    for (const char* bad : {"SOFTWARE\\\\X", "\\SOFTWARE", "SOFTWARE\\A\nB", "SOFTWARE\\\x01"}) {
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, bad, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &k, nullptr),
                  ERROR_INVALID_PARAMETER)
            << bad;
    }
    const std::string longName = "SOFTWARE\\" + std::string(256, 'x');
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
    std::string deep = "SOFTWARE";
    for (int i = 0; i < 600; ++i)
        deep += "\\d";
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, deep.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);

    k = Create("SOFTWARE\\Ok");
    std::vector<BYTE> huge((1u << 20) + 1, 'x');
    EXPECT_EQ(RegSetValueExA(k, "Big", 0, REG_BINARY, huge.data(), huge.size()),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(k, "Null", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
    // Nothing of the above reached the file.
    EXPECT_EQ(ReadFile(hive_).find("Big"), std::string::npos);
}

TEST_F(RegistryApi, ClassesRootIsSoftwareClasses) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, "QMX.Thermal.POSPrinter\\CLSID", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(SetString(k, nullptr, "{guid}"), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(GetString("SOFTWARE\\Classes\\QMX.Thermal.POSPrinter\\CLSID", ""), "{guid}");
}

using RegistryFile = RegistryTest;

TEST_F(RegistryFile, ReadOnlyHiveDeniesWritesAndStillReads) {
    HKEY writer = Create("SOFTWARE\\RO");
    ASSERT_EQ(SetString(writer, "Port", "COM1:"), ERROR_SUCCESS);
    const std::string before = ReadFile(hive_);
    ASSERT_EQ(chmod(hive_.c_str(), 0444), 0);

    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\RO", 0, KEY_WRITE, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\RO", 0, KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\RO\\New", 0, nullptr, 0, KEY_READ,
                              nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    // A handle opened for writing before the file became read-only cannot write either.
    EXPECT_EQ(SetString(writer, "Port", "COM2:"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(writer, "Port"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\RO"), ERROR_ACCESS_DENIED);
    RegCloseKey(writer);

    EXPECT_EQ(GetString("SOFTWARE\\RO", "Port"), "COM1:");
    EXPECT_EQ(ReadFile(hive_), before);
}

TEST_F(RegistryFile, ReadHandleCannotWrite) {
    HKEY k = Create("SOFTWARE\\R");
    RegCloseKey(k);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\R", 0, KEY_READ, &k), ERROR_SUCCESS);
    EXPECT_EQ(SetString(k, "x", "y"), ERROR_ACCESS_DENIED);
    RegCloseKey(k);
}

TEST_F(RegistryFile, CorruptFileIsReportedWithLineAndNeverOverwritten) {
    const std::string corrupt =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n"
        "\"Port\"=\"COM1:\"\n"
        "\"Broken\"=dword:xyz\n";
    WriteFile(hive_, corrupt);

    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Good", 0, KEY_READ, &key), ERROR_BADDB);
    EXPECT_EQ(key, nullptr);
    EXPECT_NE(platform::registry::LastError().find(hive_ + ":5:"), std::string::npos)
        << platform::registry::LastError();
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, "x", "y"), ERROR_BADDB);

    const std::string importFile = dir_ + "/ok.reg";
    WriteFile(importFile,
              "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\I]\n");
    std::string error;
    EXPECT_EQ(platform::registry::ImportFile(importFile, &error), ERROR_BADDB);
    EXPECT_NE(error.find(":5:"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(hive_), corrupt);

    // Once mended by hand, the file works again.
    WriteFile(hive_,
              "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Good]\n"
              "\"Port\"=\"COM3:\"\n");
    EXPECT_EQ(GetString("SOFTWARE\\Good", "Port"), "COM3:");
}

TEST_F(RegistryFile, ChangesByAnotherWriterAreSeenAtTheNextOpen) {
    HKEY k = Create("SOFTWARE\\Shared");
    ASSERT_EQ(SetString(k, "Port", "COM1:"), ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM1:");

    // Another process saves the way the store does: a new file renamed over the old one.
    const std::string tmp = dir_ + "/other.tmp";
    WriteFile(tmp,
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Shared]\n\"Port\"=\"COM9:\"\n");
    ASSERT_EQ(rename(tmp.c_str(), hive_.c_str()), 0);
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM9:");

    // An editor that rewrites the file in place, same size, same timestamps: still seen.
    RewriteInPlaceKeepingTimes("COM9:", "COM8:");
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM8:");
}

TEST_F(RegistryFile, UnchangedDataIsNotRewritten) {
    const auto identity = [&] {
        struct stat st;
        EXPECT_EQ(stat(hive_.c_str(), &st), 0);
        return std::make_pair(st.st_ino, st.st_mtim.tv_nsec);
    };
    HKEY k = Create("SOFTWARE\\Same");
    ASSERT_EQ(SetString(k, "Port", "COM1:"), ERROR_SUCCESS);
    const auto first = identity();
    ASSERT_EQ(SetString(k, "PORT", "COM1:"), ERROR_SUCCESS);
    HKEY again = Create("SOFTWARE\\Same");
    EXPECT_EQ(identity(), first);

    ASSERT_EQ(RegDeleteTreeA(again, nullptr), ERROR_SUCCESS);  // a change: saved
    const auto second = identity();
    EXPECT_NE(second, first);
    ASSERT_EQ(RegDeleteTreeA(again, nullptr), ERROR_SUCCESS);  // nothing left to delete
    EXPECT_EQ(identity(), second);
    RegCloseKey(again);
    RegCloseKey(k);
}

TEST_F(RegistryFile, AHiveBehindASymbolicLinkKeepsTheLink) {
    const std::string target = dir_ + "/real.reg";
    WriteFile(target, "Windows Registry Editor Version 5.00\n");
    const std::string link = dir_ + "/link.reg";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    UseHive(link);
    HKEY k = Create("SOFTWARE\\L");
    ASSERT_EQ(SetString(k, "Port", "COM1:"), ERROR_SUCCESS);
    RegCloseKey(k);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(ReadFile(target).find("\"Port\"=\"COM1:\""), std::string::npos);
}

TEST_F(RegistryFile, ReadingAMissingHiveCreatesNothing) {
    EXPECT_EQ(GetString("SOFTWARE\\X", "Y"), "<error 2>");
    EXPECT_FALSE(std::filesystem::exists(hive_));
    // The first write creates the folders on the way.
    UseHive(dir_ + "/etc/thermpos/registry.reg");
    HKEY k = Create("SOFTWARE\\X");
    RegCloseKey(k);
    EXPECT_TRUE(std::filesystem::exists(hive_));
}

}  // namespace
}  // namespace thermpos::testing
