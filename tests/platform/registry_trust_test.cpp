// The registry store and files another user could have written: hives, lock files and
// folders owned by someone else or writable by others are refused; the lock file is the
// writers' alone and its wait has an end; saves keep modes narrow and clear away what
// killed writers left behind.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

class RegistryTrust : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "files of another user are made with chown, which needs root";
    }

    // A folder below the test's own with a hive holding SOFTWARE\T "Port"="COM1:".
    std::string MakeHive(const std::string& name) {
        const std::string folder = dir_ + "/" + name;
        std::filesystem::create_directory(folder);
        UseHive(folder + "/registry.reg");
        WriteFile(hive_,
                  "Windows Registry Editor Version 5.00\n\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n\"Port\"=\"COM1:\"\n");
        return folder;
    }

    static mode_t ModeOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
};

TEST_F(RegistryTrust, AHiveOthersCouldHaveWrittenIsRefusedNamingFileOwnerAndMode) {
    struct Case {
        const char* what;
        std::function<void(const std::string& folder, const std::string& hive)> plant;
        const char* named;  // in the message, after the path
    };
    const Case cases[] = {
        {"hive of another user",
         [](auto&, auto& hive) { ASSERT_EQ(::chown(hive.c_str(), kNobody, kNogroup), 0); },
         "owner nobody (uid 65534)"},
        {"hive everyone may write",
         [](auto&, auto& hive) { ASSERT_EQ(::chmod(hive.c_str(), 0666), 0); }, "mode 0666"},
        {"hive its group may write",
         [](auto&, auto& hive) { ASSERT_EQ(::chmod(hive.c_str(), 0664), 0); }, "mode 0664"},
        {"folder of another user",
         [](auto& folder, auto&) { ASSERT_EQ(::chown(folder.c_str(), kNobody, kNogroup), 0); },
         "owner nobody (uid 65534)"},
        {"folder everyone may write, not sticky",
         [](auto& folder, auto&) { ASSERT_EQ(::chmod(folder.c_str(), 0777), 0); }, "mode 0777"},
        {"lock file of another user",
         [](auto&, auto& hive) {
             const std::string lock = hive + ".lock";
             const int fd = ::open(lock.c_str(), O_CREAT | O_WRONLY, 0600);
             ASSERT_GE(fd, 0);
             ::close(fd);
             ASSERT_EQ(::chown(lock.c_str(), kNobody, kNogroup), 0);
         },
         "owner nobody (uid 65534)"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = MakeHive("case" + std::to_string(++n));
        c.plant(folder, hive_);
        const std::string before = ReadFile(hive_);

        HKEY key = nullptr;
        const bool lockCase = std::string(c.what).find("lock") != std::string::npos;
        if (!lockCase) {
            // Read first: a planted hive's ProgIDs are what must not be believed.
            EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key),
                      ERROR_ACCESS_DENIED);
            EXPECT_EQ(key, nullptr);
            const std::string why = platform::registry::LastError();
            EXPECT_NE(why.find(c.named), std::string::npos) << why;
            EXPECT_NE(why.find(folder), std::string::npos) << why;
        }
        EXPECT_EQ(SetString(HKEY_LOCAL_MACHINE, "Planted", "x"), ERROR_ACCESS_DENIED);
        EXPECT_NE(platform::registry::LastError().find(c.named), std::string::npos)
            << platform::registry::LastError();
        EXPECT_EQ(ReadFile(hive_), before);
    }
}

TEST_F(RegistryTrust, StickyAndGroupSharedFoldersAreAcceptedWithSafeFiles) {
    // /tmp's kind of folder: anyone may add files, only their owner may replace them.
    const std::string sticky = MakeHive("sticky");
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    EXPECT_EQ(GetString("SOFTWARE\\T", "Port"), "COM1:");
    HKEY key = Create("SOFTWARE\\T");
    EXPECT_EQ(SetString(key, "Port", "COM2:"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ModeOf(hive_), 0644u);
    EXPECT_EQ(ModeOf(hive_ + ".lock"), 0600u);
    // ... but a file planted in it by someone else is not.
    ASSERT_EQ(::chown(hive_.c_str(), kNobody, kNogroup), 0);
    EXPECT_EQ(GetString("SOFTWARE\\T", "Port"), "<error 5>");

    // A folder shared with its group on purpose (set-group-ID, the group may write): a
    // member's hive, writable by the group, is used, and saves keep the group writing.
    const std::string shared = MakeHive("shared");
    ASSERT_EQ(::chown(shared.c_str(), 0, kNogroup), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 02770), 0);
    ASSERT_EQ(::chown(hive_.c_str(), kNobody, kNogroup), 0);
    ASSERT_EQ(::chmod(hive_.c_str(), 0660), 0);
    EXPECT_EQ(GetString("SOFTWARE\\T", "Port"), "COM1:");
    key = Create("SOFTWARE\\T");
    EXPECT_EQ(SetString(key, "Port", "COM2:"), ERROR_SUCCESS);
    RegCloseKey(key);
    struct stat st {};
    ASSERT_EQ(::stat(hive_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, kNogroup);
    EXPECT_EQ(ModeOf(hive_ + ".lock"), 0660u);
    // Everyone writing is still refused there.
    ASSERT_EQ(::chmod(hive_.c_str(), 0666), 0);
    EXPECT_EQ(GetString("SOFTWARE\\T", "Port"), "<error 5>");
}

TEST_F(RegistryTrust, OnlyTheHivesWritersMayOpenTheLockFile) {
    MakeHive("lock");
    ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);  // others may reach the folder
    const std::string lock = hive_ + ".lock";
    // A lock file an earlier version left open to everyone is narrowed at the next change.
    const int old = ::open(lock.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(old, 0);
    ::close(old);
    ASSERT_EQ(::chmod(lock.c_str(), 0644), 0);
    HKEY key = Create("SOFTWARE\\T");
    ASSERT_EQ(SetString(key, "Port", "COM2:"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(ModeOf(lock), 0600u);

    // Another user reads the hive but cannot open its lock, so cannot take it.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNogroup, kNogroup, kNogroup) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(3);
        if (::open(hive_.c_str(), O_RDONLY) < 0)
            ::_exit(4);
        const int fd = ::open(lock.c_str(), O_RDONLY);
        ::_exit(fd < 0 && errno == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the lock opened; 3: no switch to uid 65534";
}

TEST_F(RegistryTrust, AHeldLockEndsTheWaitWithRegistryBusyAndWritesNothing) {
    MakeHive("busy");
    env_->Set("THERMPOS_REGISTRY_WAIT_MS", "200");
    HKEY key = Create("SOFTWARE\\T");
    const std::string before = ReadFile(hive_);
    // Another open of the lock file holds it, as another process would.
    const int holder = ::open((hive_ + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    auto write = std::async(std::launch::async, [&] {
        const LONG r = SetString(key, "Port", "COM2:");
        return std::make_pair(r, platform::registry::LastError());
    });
    if (write.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ::flock(holder, LOCK_UN);  // let the write end so the test can
        write.wait();
        ADD_FAILURE() << "the write still waited for the lock after 60 s";
    } else {
        const auto [r, why] = write.get();
        EXPECT_EQ(r, ERROR_BUSY);
        EXPECT_NE(why.find("registry busy"), std::string::npos) << why;
        EXPECT_EQ(ReadFile(hive_), before);
    }
    ::close(holder);
    EXPECT_EQ(SetString(key, "Port", "COM3:"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(GetString("SOFTWARE\\T", "Port"), "COM3:");
}

TEST_F(RegistryTrust, ASaveRemovesOnlyTheTemporariesKilledWritersLeft) {
    const std::string folder = MakeHive("temps");
    const auto plant = [&](const std::string& name, uid_t owner) {
        const std::string path = folder + "/" + name;
        WriteFile(path, "Windows Registry Editor Version 5.00\n");
        EXPECT_EQ(::chown(path.c_str(), owner, owner == 0 ? 0 : kNogroup), 0);
        return path;
    };
    const std::string stale1 = plant("registry.reg.aB3xYz", 0);
    const std::string stale2 = plant("registry.reg.Q7R2KD", 0);
    const std::string backup = plant("registry.reg.backup", 0);         // a name someone chose
    const std::string foreign = plant("registry.reg.Zq81Pw", kNobody);  // not ours to remove
    const std::string other = plant("other.reg.aB3xYz", 0);             // another hive's
    const std::string linked = plant("registry.reg.Lk42ab", 0);
    ASSERT_EQ(::link(linked.c_str(), (folder + "/kept-copy").c_str()), 0);

    HKEY key = Create("SOFTWARE\\T");
    ASSERT_EQ(SetString(key, "Port", "COM2:"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(std::filesystem::exists(stale1));
    EXPECT_FALSE(std::filesystem::exists(stale2));
    for (const auto& kept : {backup, foreign, other, linked})
        EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
}

}  // namespace
}  // namespace thermpos::testing
