// A descriptor that becomes readable while something waits to be handled, so that an
// application's own loop (poll, select, a Qt socket notifier) can wait for it beside its
// other descriptors.
//
// Threads: Signal may be called from any thread; Drain from the thread that handles what
// waits; WaitReadable from any. No locks: the kernel counter is the only state.
#pragma once

#include "platform/win32.h"

namespace thermpos::platform {

class WakeDescriptor {
  public:
    // Non-blocking and close-on-exec. Valid() is false when the system refuses one.
    WakeDescriptor();
    ~WakeDescriptor();
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;

    bool Valid() const { return fd_ >= 0; }
    // Readable (POLLIN) from the first Signal until the next Drain.
    int Fd() const { return fd_; }
    void Signal();
    void Drain();
    // True when readable now (does not wait).
    bool Signalled() const;

  private:
    int fd_ = -1;
};

// Waits up to timeoutMs (0: does not wait) until fd, a WakeDescriptor's or another
// object's event descriptor, is readable. True when it is; false when the time passed, a
// signal interrupted the wait, or fd is not a descriptor. Nothing is read.
[[nodiscard]] bool WaitReadable(int fd, int timeoutMs);

#ifdef _WIN32
// On Windows a wake descriptor is a manual-reset event; Fd() is its handle's value, the
// same in every module of the process, and this is the event behind it (null for -1 or a
// number that is no handle of this process).
HANDLE WakeEventHandle(int fd);
#endif

}  // namespace thermpos::platform
