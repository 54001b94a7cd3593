// "Another user" for tests about files nobody else should be trusted with: uid/gid 65534
// (nobody), which owns files the test gives it (Give) or runs a step in a child process
// (OtherUserStep). Both need root, as CI has; tests skip otherwise.
#pragma once

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace thermpos::testing {

inline constexpr uid_t kOtherUid = 65534;
inline constexpr gid_t kOtherGid = 65534;

inline bool CanBeAnotherUser() {
    return ::geteuid() == 0;
}

// Makes path belong to the other user (or to uid:gid) with the given mode.
inline bool Give(const std::string& path, mode_t mode, uid_t uid = kOtherUid,
                 gid_t gid = kOtherGid) {
    return ::lchown(path.c_str(), uid, gid) == 0 && ::chmod(path.c_str(), mode) == 0;
}

// A step run as the other user in a child process: step returns one character, which
// the parent reads once the step ran; with hold the child then stays (keeping whatever it
// opened) until the object is destroyed.
class OtherUserStep {
  public:
    OtherUserStep(const std::function<char()>& step, bool hold) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            char c = 'E';
            if (::setgroups(0, nullptr) == 0 && ::setresgid(kOtherGid, kOtherGid, kOtherGid) == 0 &&
                ::setresuid(kOtherUid, kOtherUid, kOtherUid) == 0)
                c = step();
            if (::write(ready[1], &c, 1) != 1)
                ::_exit(99);
            if (hold)
                ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        if (pid_ > 0 && ::read(ready[0], &result_, 1) != 1)
            result_ = 0;
        ::close(ready[0]);
    }
    ~OtherUserStep() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    OtherUserStep(const OtherUserStep&) = delete;
    OtherUserStep& operator=(const OtherUserStep&) = delete;

    // The step's character; 'E' when the child could not become the other user, 0 when
    // it died first.
    char Result() const { return result_; }

  private:
    pid_t pid_ = -1;
    char result_ = 0;
};

}  // namespace thermpos::testing
