// The claim of one logical device across processes: eight processes take and give back
// the named mutex the claim uses, over and over, and log when they held it; no two may
// ever hold it at once, and a holder killed outright must not keep it from the rest.
//
// Every child arms an alarm, so a claim that is never freed ends the child (and fails the
// test) instead of hanging it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "tests/support/temp_env.h"

namespace {

using namespace thermpos;

constexpr char kDevice[] = "QMX5500TYPEII.TALVERN.POSPrinter";
constexpr int kWorkers = 8;
constexpr int kRounds = 40;
constexpr unsigned kChildLimitSeconds = 30;

std::int64_t Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// One line per event, written with a single append so that lines of different processes
// never interleave: "<pid> <E|X> <nanoseconds>".
void Log(int fd, char kind, std::int64_t when) {
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%d %c %lld\n", static_cast<int>(getpid()), kind,
                                static_cast<long long>(when));
    if (write(fd, line, static_cast<size_t>(n)) != n)
        _exit(4);
}

// Takes the claim, retrying while another process holds it. The mutex can only be tried,
// not waited on (like the claim it stands for), so a refused try pauses briefly.
void Take(platform::NamedMutex& claim) {
    for (;;) {
        const LONG rc = claim.Create(kDevice);
        if (rc == ERROR_SUCCESS)
            return;
        if (rc != ERROR_ALREADY_EXISTS)
            _exit(3);
        const timespec pause{0, 100000};
        nanosleep(&pause, nullptr);
    }
}

void HoldBriefly() {
    const std::int64_t until = Now() + 200000;
    while (Now() < until) {
    }
}

struct Interval {
    int pid;
    std::int64_t enter;
    std::int64_t exit;
};

class ClaimAcrossProcesses : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(env_.ok());
        logPath_ = env_.Dir() + "/claims.log";
        logFd_ = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ASSERT_GE(logFd_, 0);
    }
    void TearDown() override {
        if (logFd_ >= 0)
            close(logFd_);
    }

    // Reads the log back as intervals; an enter without an exit ends at `openEnd`.
    std::vector<Interval> Intervals(std::int64_t openEnd) const {
        std::map<int, std::int64_t> open;
        std::vector<Interval> out;
        FILE* f = std::fopen(logPath_.c_str(), "r");
        if (f == nullptr)
            return out;
        int pid = 0;
        char kind = 0;
        long long when = 0;
        while (std::fscanf(f, "%d %c %lld", &pid, &kind, &when) == 3) {
            if (kind == 'E') {
                EXPECT_EQ(open.count(pid), 0u) << pid << " entered twice";
                open[pid] = when;
            } else {
                EXPECT_EQ(open.count(pid), 1u) << pid << " left without entering";
                out.push_back({pid, open[pid], when});
                open.erase(pid);
            }
        }
        std::fclose(f);
        for (const auto& [p, enter] : open)
            out.push_back({p, enter, openEnd});
        std::sort(out.begin(), out.end(),
                  [](const Interval& a, const Interval& b) { return a.enter < b.enter; });
        return out;
    }

    thermpos::testing::TempEnv env_;
    std::string logPath_;
    int logFd_ = -1;
};

TEST_F(ClaimAcrossProcesses, NoTwoHoldersAndAKilledHolderFreesTheClaim) {
    // The victim takes the claim first, says so, and keeps it until it is killed.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t victim = fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        alarm(kChildLimitSeconds);
        close(ready[0]);
        platform::NamedMutex claim;
        Take(claim);
        Log(logFd_, 'E', Now());
        if (write(ready[1], "h", 1) != 1)
            _exit(5);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    // Eight workers start while the victim holds the claim, and each tells when it has
    // been refused at least once.
    int refused[2];
    ASSERT_EQ(pipe(refused), 0);
    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(kChildLimitSeconds);
            close(refused[0]);
            platform::NamedMutex claim;
            if (claim.Create(kDevice) != ERROR_ALREADY_EXISTS)
                _exit(6);
            if (write(refused[1], "r", 1) != 1)
                _exit(5);
            close(refused[1]);
            for (int round = 0; round < kRounds; ++round) {
                Take(claim);
                Log(logFd_, 'E', Now());
                HoldBriefly();
                Log(logFd_, 'X', Now());
                claim.Close();
            }
            _exit(0);
        }
        workers.push_back(pid);
    }
    close(refused[1]);
    for (int w = 0; w < kWorkers; ++w)
        ASSERT_EQ(read(refused[0], &c, 1), 1) << "a worker got the claim the victim holds";
    close(refused[0]);

    const std::int64_t killedAt = Now();
    ASSERT_EQ(kill(victim, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(victim, &status, 0), victim);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    for (pid_t pid : workers) {
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "worker " << pid << " status " << status << " (SIGALRM: the claim was never freed)";
    }

    const std::vector<Interval> held = Intervals(killedAt);
    ASSERT_EQ(held.size(), static_cast<size_t>(kWorkers * kRounds + 1));
    EXPECT_EQ(held.front().pid, victim);
    for (size_t i = 1; i < held.size(); ++i)
        EXPECT_GT(held[i].enter, held[i - 1].exit)
            << held[i].pid << " entered while " << held[i - 1].pid << " held the claim";
    // The claim outlived nobody: after the kill the workers went on.
    EXPECT_GT(held[1].enter, killedAt);
}

}  // namespace
