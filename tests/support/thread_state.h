// What the kernel tells of a thread of this process: for tests whose next phase needs
// another thread to be inside a blocking wait (a drain or a read that only a close may
// end), which nothing in the code under test signals.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace thermpos::testing {

// The calling thread's id, as /proc/self/task names it.
inline pid_t CurrentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Waits until thread `tid` of this process sleeps in poll() or ppoll(), up to `limit`.
// False when it did not, or ended first (a call that should have waited returned).
// Where the kernel does not show the system call, a sleeping thread counts.
inline bool WaitUntilBlockedInPoll(pid_t tid,
                                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const std::string task = "/proc/self/task/" + std::to_string(tid);
    const auto blocked = [&](bool* gone) {
        std::ifstream stat(task + "/stat");
        std::string text;
        if (!std::getline(stat, text)) {
            *gone = true;
            return false;
        }
        // "tid (name) S ...": the name may hold spaces and parentheses; the state follows
        // the last ')'.
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'S')
            return false;
        std::ifstream syscall(task + "/syscall");
        std::string first;
        if (!(syscall >> first))
            return true;  // not shown: sleeping is all there is to know
        if (first == "running")
            return false;  // woke up since
        const long number = std::strtol(first.c_str(), nullptr, 10);
#ifdef SYS_poll
        if (number == SYS_poll)
            return true;
#endif
        return number == SYS_ppoll;
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        bool gone = false;
        if (blocked(&gone))
            return true;
        if (gone || std::chrono::steady_clock::now() >= deadline)
            return false;
        // Entering a system call signals nothing: look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace thermpos::testing
