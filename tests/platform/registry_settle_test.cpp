// Once the hive file has been left alone for a while, opens trust its stat stamp instead
// of reading it again; any change after that must still be seen at the next open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

using RegistrySettled = RegistryTest;

TEST_F(RegistrySettled, AWriteInPlaceThatKeepsSizeAndTimesIsStillSeen) {
    HKEY key = Create("SOFTWARE\\Shared");
    ASSERT_EQ(SetString(key, "Port", "COM1:"), ERROR_SUCCESS);
    RegCloseKey(key);
    // The store trusts a stamp only when the file's last change is older than the few
    // seconds a timestamp tick could hide a write in; file times cannot be waited on,
    // only let age.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM1:");  // read: the stamp is now trusted
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM1:");  // from the stamp

    // An editor rewrites the file in place, same size, and sets its times back: only the
    // change time, which cannot be set back, tells.
    struct stat st;
    ASSERT_EQ(stat(hive_.c_str(), &st), 0);
    std::string text = ReadFile(hive_);
    text.replace(text.find("COM1:"), 5, "COM8:");
    WriteFile(hive_, text);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, hive_.c_str(), times, 0), 0);
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM8:");
}

}  // namespace
}  // namespace thermpos::testing
