// Lock annotations the compiler checks, and the mutex types that carry them.
//
// Clang's -Wthread-safety reads the attributes below: a member marked GUARDED_BY(m) may be
// touched only with m held, a function marked REQUIRES(m) only called with it held, and a
// function marked EXCLUDES(m) not called with it held (the lock order, where a function
// takes m itself). GCC ignores them; the `tsa` preset builds the core libraries with clang
// and turns every finding into an error.
//
// libstdc++'s std::mutex carries no annotations, so the code whose locks are checked uses
// thermpos::platform::Mutex and its guards instead. They are std::mutex and std::unique_lock
// underneath: a condition variable waits on UniqueLock::Std().
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define THERMPOS_TSA(x) __attribute__((x))
#else
#define THERMPOS_TSA(x)
#endif

#define CAPABILITY(x) THERMPOS_TSA(capability(x))
#define SCOPED_CAPABILITY THERMPOS_TSA(scoped_lockable)
#define GUARDED_BY(x) THERMPOS_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) THERMPOS_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THERMPOS_TSA(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THERMPOS_TSA(acquired_after(__VA_ARGS__))
#define REQUIRES(...) THERMPOS_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THERMPOS_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THERMPOS_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THERMPOS_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) THERMPOS_TSA(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) THERMPOS_TSA(assert_capability(x))
#define RETURN_CAPABILITY(x) THERMPOS_TSA(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THERMPOS_TSA(no_thread_safety_analysis)

namespace thermpos::platform {

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

    // For a condition variable's wait; the analysis cannot follow the lock through it.
    std::mutex& Native() { return m_; }

  private:
    std::mutex m_;
};

// std::lock_guard over a Mutex.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~MutexLock() RELEASE() { m_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& m_;
};

// std::unique_lock over a Mutex, for the places that wait on a condition variable or
// hand the lock on. Held from construction; Unlock and Lock move it as unique_lock does.
class SCOPED_CAPABILITY UniqueLock {
  public:
    explicit UniqueLock(Mutex& m) ACQUIRE(m) : lock_(m.Native()) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void Lock() ACQUIRE() { lock_.lock(); }
    void Unlock() RELEASE() { lock_.unlock(); }
    bool OwnsLock() const { return lock_.owns_lock(); }

    // What std::condition_variable::wait takes. The wait gives the mutex up and takes it
    // back before it returns, so the capability is held again when it does.
    std::unique_lock<std::mutex>& Std() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace thermpos::platform
