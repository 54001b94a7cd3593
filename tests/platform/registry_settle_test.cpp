// Once the hive file has been left alone for a while, opens trust its stat stamp instead
// of reading it again; any change after that must still be seen at the next open.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/registry.h"
#include "tests/support/registry_fixture.h"

namespace thermpos::testing {
namespace {

// Tells whether a file was opened since the last look (inotify). The kernel queues the
// event inside open() itself, so every open of a call that has returned is seen.
class OpenWatch {
  public:
    explicit OpenWatch(const std::string& path)
        : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)),
          watch_(fd_ < 0 ? -1 : inotify_add_watch(fd_, path.c_str(), IN_OPEN)) {}
    ~OpenWatch() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    bool ok() const { return watch_ >= 0; }
    bool OpenedSinceLastLook() {
        bool opened = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return opened;  // EAGAIN: nothing more queued
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                opened |= (event->mask & IN_OPEN) != 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

  private:
    int fd_;
    int watch_;
};

// Blocks until the wall clock, which the store compares file times with, has passed
// `when`.
void WaitForWallClock(timespec when) {
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

using RegistrySettled = RegistryTest;

TEST_F(RegistrySettled, AWriteInPlaceThatKeepsSizeAndTimesIsStillSeen) {
    HKEY key = Create("SOFTWARE\\Shared");
    ASSERT_EQ(SetString(key, "Port", "COM1:"), ERROR_SUCCESS);
    RegCloseKey(key);
    OpenWatch watch(hive_);
    ASSERT_TRUE(watch.ok());

    // The store trusts a stamp only once the file's last change is older than the three
    // seconds a timestamp tick could hide a write in. File times cannot be waited on, so
    // this waits for the clock to pass that change by the store's three seconds (and a
    // tick), and no longer.
    struct stat saved;
    ASSERT_EQ(stat(hive_.c_str(), &saved), 0);
    timespec settled = saved.st_ctim;
    settled.tv_sec += 3;
    settled.tv_nsec += 10'000'000;
    if (settled.tv_nsec >= 1'000'000'000) {
        settled.tv_sec += 1;
        settled.tv_nsec -= 1'000'000'000;
    }
    WaitForWallClock(settled);
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM1:");  // read: the stamp is now trusted
    EXPECT_TRUE(watch.OpenedSinceLastLook());
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM1:");  // from the stamp
    EXPECT_FALSE(watch.OpenedSinceLastLook()) << "the settled file was read again";

    // An editor rewrites the file in place, same size, and sets its times back: only the
    // change time, which cannot be set back, tells.
    RewriteInPlaceKeepingTimes("COM1:", "COM8:");
    (void)watch.OpenedSinceLastLook();  // the editor's own open
    EXPECT_EQ(GetString("SOFTWARE\\Shared", "Port"), "COM8:");
    EXPECT_TRUE(watch.OpenedSinceLastLook());
}

}  // namespace
}  // namespace thermpos::testing
