// Events, multi-event waits and the cross-process named mutex.
//
// ManualResetEvent stands in for a Win32 manual-reset event: Set wakes every waiter and
// stays set until Reset. WaitForEvents waits for any or all of several events with a time
// limit, like WaitForMultipleObjects, without polling. NamedMutex is the system-wide
// named mutex used to claim a logical device: a write lock on a file in
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
//
// Nobody else's files are trusted: the lock folder must belong to root or the caller and
// be writable by others only with the sticky bit, and a lock file must belong to root,
// the caller, or (in a folder shared by a group) that group. A lock file is made private
// (0600), or 0660 with the folder's group when the folder is group-writable, so that only
// those who may claim can hold it; it is removed again when its holder closes.
class NamedMutex {
  public:
    NamedMutex() = default;
    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // ERROR_SUCCESS (owned), ERROR_ALREADY_EXISTS (held elsewhere), ERROR_INVALID_NAME,
    // ERROR_ACCESS_DENIED for a lock folder or file that is not to be trusted or that
    // belongs to a user this one may not share with, or another Win32 error when the lock
    // folder or file cannot be made. Problem() then says why.
    [[nodiscard]] LONG Create(std::string_view name);
#ifdef _WIN32
    bool Owned() const {
        return handle_ != nullptr;
    }
#else
    bool Owned() const {
        return fd_ >= 0;
    }
#endif
    void Close();
    // Why the last Create failed, naming the folder or file, its owner and mode; empty
    // after a success or ERROR_ALREADY_EXISTS.
    const std::string& Problem() const {
        return problem_;
    }

  private:
#ifdef _WIN32
    HANDLE handle_ = nullptr;  // the mutex object this one created, while owned
#else
    int fd_ = -1;
#endif
    std::string path_;     // the lock file, while owned
    std::string problem_;  // the last Create's failure
};

}  // namespace thermpos::platform
