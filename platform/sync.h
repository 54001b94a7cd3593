// Events, multi-event waits and the cross-process named mutex.
//
// ManualResetEvent stands in for a Win32 manual-reset event: Set wakes every waiter and
// stays set until Reset. WaitForEvents waits for any or all of several events with a time
// limit, like WaitForMultipleObjects, without polling. NamedMutex is the system-wide
// named mutex used to claim a logical device: an exclusive flock on a file in
// $THERMPOS_LOCK_DIR (default /run/lock/thermpos).
//
// Lock order inside this file: an event's own mutex only; WaitForEvents registers a
// shared waiter with each event, taking one event mutex at a time, never two.
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win32.h"

namespace thermpos::platform {

class ManualResetEvent {
  public:
    explicit ManualResetEvent(bool initiallySet = false);
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // WAIT_OBJECT_0 when set, WAIT_TIMEOUT when the limit passed first; INFINITE waits for ever.
    DWORD Wait(DWORD timeoutMs = INFINITE) const;

  private:
    friend DWORD WaitForEvents(std::initializer_list<const ManualResetEvent*>, bool, DWORD);
    struct State;
    std::unique_ptr<State> state_;
};

// Waits until one (waitAll false) or all (waitAll true) of the events are set.
// Returns WAIT_OBJECT_0 + index of the first set event (waitAll false), WAIT_OBJECT_0
// (waitAll true), or WAIT_TIMEOUT. Events are not reset by the wait.
DWORD WaitForEvents(std::initializer_list<const ManualResetEvent*> events, bool waitAll,
                    DWORD timeoutMs);

// The folder of the named mutexes ($THERMPOS_LOCK_DIR or /run/lock/thermpos).
std::string LockDirectory();

// A name's lock file inside LockDirectory(); names are case-sensitive and are encoded so
// that no name reaches outside the folder. Empty for a name that cannot be encoded
// (empty, too long, or holding a NUL).
std::string NamedMutexPath(std::string_view name);

// CreateMutex with initial ownership, across processes: Create succeeds and owns the
// name when nobody holds it; when another holder (this process or another) has it, the
// result is ERROR_ALREADY_EXISTS and this object owns nothing. The name is free again
// once every holder has closed or died.
class NamedMutex {
  public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // ERROR_SUCCESS (owned), ERROR_ALREADY_EXISTS (held elsewhere), ERROR_INVALID_NAME,
    // or another Win32 error when the lock folder or file cannot be made.
    [[nodiscard]] LONG Create(std::string_view name);
    bool Owned() const { return fd_ >= 0; }
    void Close();

  private:
    int fd_ = -1;
};

}  // namespace thermpos::platform
