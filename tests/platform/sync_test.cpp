// Events, multi-event waits and the cross-process named mutex.
//
// Threads: helper threads only Set events; every wait has a generous limit so a broken
// build fails instead of hanging.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "tests/support/temp_env.h"

namespace {

using namespace thermpos;
namespace fs = std::filesystem;

constexpr DWORD kLong = 10000;  // "never" for a correct build

TEST(ManualResetEvent, StaysSetUntilResetAndWakesEveryWaiter) {
    platform::ManualResetEvent e;
    EXPECT_EQ(e.Wait(0), WAIT_TIMEOUT);
    platform::ManualResetEvent started;
    std::thread waiters[3];
    DWORD results[3] = {1, 1, 1};
    for (int i = 0; i < 3; ++i)
        waiters[i] = std::thread([&, i] { results[i] = e.Wait(kLong); });
    e.Set();
    for (auto& t : waiters)
        t.join();
    for (DWORD r : results)
        EXPECT_EQ(r, WAIT_OBJECT_0);
    EXPECT_EQ(e.Wait(0), WAIT_OBJECT_0);  // manual reset: still set
    e.Reset();
    EXPECT_FALSE(e.IsSet());
    EXPECT_TRUE(platform::ManualResetEvent(true).IsSet());
}

TEST(WaitForEvents, AnyReportsTheFirstSetEventAndAllNeedsEveryOne) {
    platform::ManualResetEvent queue, gate;
    EXPECT_EQ(platform::WaitForEvents({&queue, &gate}, false, 0), WAIT_TIMEOUT);
    gate.Set();
    EXPECT_EQ(platform::WaitForEvents({&queue, &gate}, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(platform::WaitForEvents({&queue, &gate}, true, 10), WAIT_TIMEOUT);
    queue.Set();
    EXPECT_EQ(platform::WaitForEvents({&queue, &gate}, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::WaitForEvents({&queue, &gate}, true, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(queue.IsSet() && gate.IsSet());  // waiting does not consume
    EXPECT_EQ(platform::WaitForEvents({}, false, 0), WAIT_FAILED);
}

TEST(WaitForEvents, WakesWhenTheLastNeededEventIsSetFromAnotherThread) {
    // The event thread's wait: queue event and freeze gate together, no time limit.
    platform::ManualResetEvent queue, gate, waiting, done;
    DWORD result = 1;
    std::thread t([&] {
        waiting.Set();
        result = platform::WaitForEvents({&queue, &gate}, true, INFINITE);
        done.Set();
    });
    ASSERT_EQ(waiting.Wait(kLong), WAIT_OBJECT_0);
    queue.Set();
    // One of two is not enough; a short look shows the thread still waits.
    EXPECT_EQ(done.Wait(20), WAIT_TIMEOUT);
    gate.Set();
    EXPECT_EQ(done.Wait(kLong), WAIT_OBJECT_0);
    t.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(WaitForEvents, ManyThreadsSettingAndResettingNeverLoseAWakeUp) {
    platform::ManualResetEvent a, b;
    for (int round = 0; round < 200; ++round) {
        a.Reset();
        b.Reset();
        DWORD result = 1;
        std::thread waiter([&] { result = platform::WaitForEvents({&a, &b}, true, kLong); });
        std::thread setA([&] { a.Set(); });
        std::thread setB([&] { b.Set(); });
        setA.join();
        setB.join();
        waiter.join();
        ASSERT_EQ(result, WAIT_OBJECT_0) << "round " << round;
    }
}

class NamedMutexTest : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace();
        ASSERT_TRUE(env_->ok());
        root_ = env_->Dir();
        locks_ = root_ + "/run/locks";  // created on first use
        env_->Set("THERMPOS_LOCK_DIR", locks_);
    }
    void TearDown() override { env_.reset(); }
    // Every path below root_, so escapes show up.
    std::set<std::string> Tree() const {
        std::set<std::string> out;
        for (auto& e : fs::recursive_directory_iterator(root_))
            out.insert(e.path().string());
        return out;
    }
    std::optional<thermpos::testing::TempEnv> env_;
    std::string root_, locks_;
};

TEST_F(NamedMutexTest, ExclusiveBetweenObjectsOfOneProcess) {
    platform::NamedMutex first, second;
    ASSERT_EQ(first.Create("RTK410.TALVERN.POSPrinter"), ERROR_SUCCESS);
    EXPECT_TRUE(first.Owned());
    // The folder was made on demand, open to every user's claims like /run/lock.
    struct stat st {};
    ASSERT_EQ(stat(locks_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    EXPECT_EQ(second.Create("RTK410.TALVERN.POSPrinter"), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(second.Owned());
    first.Close();
    EXPECT_EQ(second.Create("RTK410.TALVERN.POSPrinter"), ERROR_SUCCESS);
    // Re-creating with the same object releases its old claim first.
    EXPECT_EQ(second.Create("RTK410.TALVERN.POSPrinter"), ERROR_SUCCESS);
}

TEST_F(NamedMutexTest, NamesDifferingOnlyInCaseAreDifferentMutexes) {
    platform::NamedMutex upper, lower;
    ASSERT_EQ(upper.Create("Drawer.CD1"), ERROR_SUCCESS);
    EXPECT_EQ(lower.Create("drawer.cd1"), ERROR_SUCCESS);
    EXPECT_NE(platform::NamedMutexPath("Drawer.CD1"), platform::NamedMutexPath("drawer.cd1"));
}

// The child's exit status reports what Create returned there.
int CreateInChild(const std::string& name, bool keepHoldingUntilKilled, int* childPid) {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        platform::NamedMutex m;
        LONG rc = m.Create(name);
        char c = static_cast<char>(rc == ERROR_SUCCESS ? 'o' : 'x');
        if (write(ready[1], &c, 1) != 1)
            _exit(99);
        if (keepHoldingUntilKilled)
            pause();
        _exit(rc == ERROR_SUCCESS ? 0 : rc == ERROR_ALREADY_EXISTS ? 1 : 2);  // no Close
    }
    close(ready[1]);
    char c = 0;
    ssize_t got = read(ready[0], &c, 1);
    close(ready[0]);
    *childPid = pid;
    return got == 1 ? c : -1;
}

int ExitCode(int pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(NamedMutexTest, ExclusiveBetweenProcessesAndFreedWhenTheHolderDies) {
    platform::NamedMutex mine;
    ASSERT_EQ(mine.Create("QMX5500TYPEII.TALVERN.POSPrinter"), ERROR_SUCCESS);
    int pid = 0;
    EXPECT_EQ(CreateInChild("QMX5500TYPEII.TALVERN.POSPrinter", false, &pid), 'x');
    EXPECT_EQ(ExitCode(pid), 1);
    mine.Close();

    // A holder killed without closing anything.
    ASSERT_EQ(CreateInChild("QMX5500TYPEII.TALVERN.POSPrinter", true, &pid), 'o');
    platform::NamedMutex blocked;
    EXPECT_EQ(blocked.Create("QMX5500TYPEII.TALVERN.POSPrinter"), ERROR_ALREADY_EXISTS);
    kill(pid, SIGKILL);
    ExitCode(pid);
    EXPECT_EQ(blocked.Create("QMX5500TYPEII.TALVERN.POSPrinter"), ERROR_SUCCESS);

    // A holder that exits normally without closing.
    blocked.Close();
    ASSERT_EQ(CreateInChild("RTK6100.TALVERN.CD2", false, &pid), 'o');
    EXPECT_EQ(ExitCode(pid), 0);
    EXPECT_EQ(blocked.Create("RTK6100.TALVERN.CD2"), ERROR_SUCCESS);
}

TEST_F(NamedMutexTest, HostileNamesStayInsideTheLockFolderOrAreRefused) {
    platform::NamedMutex seed;
    ASSERT_EQ(seed.Create("seed"), ERROR_SUCCESS);  // makes the folder
    const std::string longName(300, 'n');
    const std::string longSlashes(255, '/');
    const std::string names[] = {
        "../escape",   "../../escape",
        "/etc/passwd", "a/../../b",
        "..",          ".",
        "a\\..\\b",    "%2E%2E",
        ".hidden",     "x/y",
        longSlashes,   std::string("nul\0tail", 8),
        longName,      "",
    };
    std::set<std::string> seen;
    for (const std::string& name : names) {
        std::string path = platform::NamedMutexPath(name);
        platform::NamedMutex m;
        LONG rc = m.Create(name);
        if (path.empty()) {
            EXPECT_EQ(rc, ERROR_INVALID_NAME) << name;
            continue;
        }
        EXPECT_EQ(rc, ERROR_SUCCESS) << name;
        EXPECT_EQ(fs::path(path).parent_path().string(), locks_) << name;
        EXPECT_LE(fs::path(path).filename().string().size(), 255u);
        EXPECT_TRUE(seen.insert(path).second) << "two names share a lock: " << name;
    }
    EXPECT_TRUE(platform::NamedMutexPath(std::string("nul\0tail", 8)).empty());
    EXPECT_TRUE(platform::NamedMutexPath(longName).empty());
    EXPECT_FALSE(platform::NamedMutexPath(longSlashes).empty());
    for (const std::string& p : Tree())
        EXPECT_TRUE(p.rfind(locks_, 0) == 0 || locks_.rfind(p, 0) == 0) << "escaped: " << p;
    // Two long names that share a long prefix still get different locks.
    EXPECT_NE(platform::NamedMutexPath(std::string(250, 'a') + "1"),
              platform::NamedMutexPath(std::string(250, 'a') + "2"));
}

TEST_F(NamedMutexTest, PlantedSymlinkIsNotFollowed) {
    platform::NamedMutex seed;
    ASSERT_EQ(seed.Create("seed"), ERROR_SUCCESS);
    const std::string target = root_ + "/victim";
    ASSERT_EQ(symlink(target.c_str(), platform::NamedMutexPath("planted").c_str()), 0);
    platform::NamedMutex m;
    EXPECT_EQ(m.Create("planted"), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(NamedMutexTest, UnusableLockFolderIsAnErrorNotAClaim) {
    env_->Set("THERMPOS_LOCK_DIR", root_ + "/file/sub");
    std::FILE* f = std::fopen((root_ + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    platform::NamedMutex m;
    EXPECT_NE(m.Create("device"), ERROR_SUCCESS);
    EXPECT_FALSE(m.Owned());
}

}  // namespace
