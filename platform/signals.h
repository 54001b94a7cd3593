// The signals that ask a program to end (SIGINT, SIGTERM, SIGHUP), taken as a readable
// descriptor instead of handlers, so that a program's loop sees them beside its other
// descriptors and shuts down on its own thread.
//
// Threads: TakeOver blocks the signals in the calling thread, and threads started after it
// inherit that, so it must run before the program starts any other thread. No locks.
#pragma once

#include <string>

namespace thermpos::platform {

class ShutdownSignals {
  public:
    ShutdownSignals() = default;
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // From now on the three signals make Fd() readable instead of ending the process, and
    // a peer that went away no longer kills it with SIGPIPE. False with *error.
    [[nodiscard]] bool TakeOver(std::string* error);
    // Readable once one of the signals arrived; -1 before TakeOver.
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
};

}  // namespace thermpos::platform
