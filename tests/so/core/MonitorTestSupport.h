// Shared pieces of the monitor tests: a device that records what its interpreters raise,
// and waiting on a condition with a generous limit instead of sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "so/core/ServiceDevice.h"

using namespace thermpos::so;

namespace montest {

using namespace std::chrono_literals;

// Thread-safe list of raised status values with waits on it.
class StatusLog {
  public:
    void Add(LONG v) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            values_.push_back(v);
        }
        changed_.notify_all();
    }
    std::vector<LONG> Values() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return values_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.clear();
    }
    // Waits until the list holds v (limit 10 s).
    bool WaitFor(LONG v, std::chrono::milliseconds limit = 10s) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            for (LONG x : values_)
                if (x == v)
                    return true;
            return false;
        });
    }
    size_t Count(LONG v) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (LONG x : values_)
            n += x == v;
        return n;
    }

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<LONG> values_;
};

// Wraps a device class so that every status value it accepts is logged. Whether it
// accepts is the class's own decision (enabled, PowerNotify) unless forced below.
template <class Base>
class Recording : public Base {
  public:
    // Closed here, before the log goes: the port's monitor may still be reporting.
    ~Recording() override { this->Close(); }

    LONG FireStatusUpdate(LONG status) override {
        if (reject)
            return 0;
        LONG accepted = standalone ? 1 : Base::FireStatusUpdate(status);
        if (accepted == 1)
            log.Add(status);
        return accepted;
    }
    StatusLog log;
    // Refuse everything (a disabled device).
    std::atomic<bool> reject{false};
    // Accept everything without the base (a device that was never opened).
    bool standalone = false;
};

}  // namespace montest
