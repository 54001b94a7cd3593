// Events, multi-event waits, and the named mutex's folder and file names; the named mutex
// itself, a lock on that file, is named_mutex_posix.cpp.
//
// Threads: none started here; any thread may Set/Reset/Wait.
// Locks: each event's State::mutex guards its `set` flag and waiter list; each Waiter's
// own mutex guards its `signaled` flag. Set takes the event mutex, copies the waiter list,
// releases it and only then takes each waiter's mutex, so no thread ever holds two of
// these locks at once: they are leaves, and any lock of the callers may be held around
// Set and Reset (docs/threads.md).
#include "platform/sync.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/thread_safety.h"

namespace thermpos::platform {

namespace {

// A thread blocked in WaitForEvents; every event it waits on signals it on Set.
struct Waiter {
    thermpos::platform::Mutex mutex;
    std::condition_variable cv;
    bool signaled GUARDED_BY(mutex) = false;
};

using Clock = std::chrono::steady_clock;

}  // namespace

struct ManualResetEvent::State {
    explicit State(bool initiallySet) : set(initiallySet) {}
    mutable thermpos::platform::Mutex mutex;
    mutable std::condition_variable cv;
    bool set GUARDED_BY(mutex);
    std::vector<std::shared_ptr<Waiter>> waiters GUARDED_BY(mutex);
};

ManualResetEvent::ManualResetEvent(bool initiallySet)
    : state_(std::make_unique<State>(initiallySet)) {}

ManualResetEvent::~ManualResetEvent() = default;

void ManualResetEvent::Set() {
    State& state = *state_;
    std::vector<std::shared_ptr<Waiter>> waiters;
    {
        thermpos::platform::MutexLock lock(state.mutex);
        state.set = true;
        waiters = state.waiters;
        state.cv.notify_all();
    }
    for (auto& w : waiters) {
        Waiter& waiter = *w;
        thermpos::platform::MutexLock lock(waiter.mutex);
        waiter.signaled = true;
        waiter.cv.notify_all();
    }
}

void ManualResetEvent::Reset() {
    State& state = *state_;
    thermpos::platform::MutexLock lock(state.mutex);
    state.set = false;
}

bool ManualResetEvent::IsSet() const {
    State& state = *state_;
    thermpos::platform::MutexLock lock(state.mutex);
    return state.set;
}

DWORD ManualResetEvent::Wait(DWORD timeoutMs) const {
    State& state = *state_;
    thermpos::platform::UniqueLock lock(state.mutex);
    auto isSet = [&]() REQUIRES(state.mutex) { return state.set; };
    if (timeoutMs == INFINITE) {
        state.cv.wait(lock.Std(), isSet);
        return WAIT_OBJECT_0;
    }
    bool set = state.cv.wait_for(lock.Std(), std::chrono::milliseconds(timeoutMs), isSet);
    return set ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WaitForEvents(std::initializer_list<const ManualResetEvent*> events, bool waitAll,
                    DWORD timeoutMs) {
    if (events.size() == 0)
        return WAIT_FAILED;
    for (const ManualResetEvent* e : events)
        if (!e)
            return WAIT_FAILED;

    auto shared = std::make_shared<Waiter>();
    Waiter& waiter = *shared;
    for (const ManualResetEvent* e : events) {
        ManualResetEvent::State& state = *e->state_;
        thermpos::platform::MutexLock lock(state.mutex);
        state.waiters.push_back(shared);
    }

    const bool forever = timeoutMs == INFINITE;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        // Clear first, then look: a Set after the look marks the waiter again, so no wake-up
        // between the look and the sleep is lost.
        {
            thermpos::platform::MutexLock lock(waiter.mutex);
            waiter.signaled = false;
        }
        size_t setCount = 0;
        size_t firstSet = events.size();
        size_t index = 0;
        for (const ManualResetEvent* e : events) {
            if (e->IsSet()) {
                ++setCount;
                if (firstSet == events.size())
                    firstSet = index;
            }
            ++index;
        }
        if (!waitAll && setCount > 0) {
            result = WAIT_OBJECT_0 + static_cast<DWORD>(firstSet);
            break;
        }
        if (waitAll && setCount == events.size()) {
            result = WAIT_OBJECT_0;
            break;
        }
        thermpos::platform::UniqueLock lock(waiter.mutex);
        auto signaled = [&]() REQUIRES(waiter.mutex) { return waiter.signaled; };
        if (forever) {
            waiter.cv.wait(lock.Std(), signaled);
        } else if (!waiter.cv.wait_until(lock.Std(), deadline, signaled)) {
            result = WAIT_TIMEOUT;
            break;
        }
    }

    for (const ManualResetEvent* e : events) {
        ManualResetEvent::State& state = *e->state_;
        thermpos::platform::MutexLock lock(state.mutex);
        auto& list = state.waiters;
        list.erase(std::remove(list.begin(), list.end(), shared), list.end());
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Named mutex

namespace {

// Longest name accepted, as Windows limits object names to MAX_PATH.
constexpr size_t kMaxNameLength = 260;
// Encoded file names longer than this are shortened with a digest (NAME_MAX is 255).
constexpr size_t kMaxFileName = 200;

std::uint64_t Fnv1a(std::string_view text, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

}  // namespace

std::string LockDirectory() {
    const char* env = std::getenv("THERMPOS_LOCK_DIR");
    std::string dir = (env && *env) ? env : "/run/lock/thermpos";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string NamedMutexPath(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength)
        return {};
    if (name.find('\0') != std::string_view::npos)
        return {};
    // Letters, digits, '-' and '_' stand for themselves; every other byte ('/', '.', '%',
    // '\\' ...) becomes %XX, so the encoding is one-to-one and always a single plain file
    // name: nothing can climb out of the folder.
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded = "mutex-";
    for (unsigned char c : name) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_';
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    if (encoded.size() > kMaxFileName) {
        // Two independent 64-bit digests of the whole name keep distinct names apart.
        char digest[40];
        std::snprintf(digest, sizeof digest, "~%016llx%016llx",
                      static_cast<unsigned long long>(Fnv1a(name, 0xcbf29ce484222325ull)),
                      static_cast<unsigned long long>(Fnv1a(name, 0x84222325cbf29ce4ull)));
        encoded.resize(kMaxFileName - 40);
        while (!encoded.empty() && encoded.back() == '%')
            encoded.pop_back();
        encoded += digest;
    }
    return LockDirectory() + "/" + encoded;
}

}  // namespace thermpos::platform
