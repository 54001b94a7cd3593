// An application's side of the control objects' events in the tests: records every event
// as text ("S5", "O7", "E114:203:1", "D3:9:abc") with the thread it ran on, answers
// ErrorEvents, and pumps the event descriptors of one or more control objects on the
// calling thread, the way an application's poll loop would.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "opos/Control.h"

namespace optest {

class EventRecorder : public thermpos::opos::EventHandler {
  public:
    void StatusUpdateEvent(LONG data) override { Add("S" + std::to_string(data)); }
    void OutputCompleteEvent(LONG id) override { Add("O" + std::to_string(id)); }
    void ErrorEvent(LONG rc, LONG rce, LONG locus, LONG& response) override {
        Add("E" + std::to_string(rc) + ":" + std::to_string(rce) + ":" + std::to_string(locus));
        if (answer != 0)
            response = answer;
        if (onError)
            onError();
    }
    void DirectIOEvent(LONG number, LONG& data, std::string& text) override {
        Add("D" + std::to_string(number) + ":" + std::to_string(data) + ":" + text);
        data += 100;
        text += "!";
    }

    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::thread::id> Threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_.size();
    }

    LONG answer = 0;                // ErrorResponse to leave, 0: keep the proposal
    std::function<void()> onError;  // runs inside the ErrorEvent handler
    std::function<void()> onEvent;  // runs inside every handler, after recording

  private:
    void Add(std::string event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(event));
            threads_.push_back(std::this_thread::get_id());
        }
        if (onEvent)
            onEvent();
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
    std::vector<std::thread::id> threads_;
};

// Polls the controls' descriptors and dispatches on this thread until done() holds or
// the limit passed; returns done().
inline bool PumpUntil(const std::vector<thermpos::opos::Control*>& controls,
                      const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return done();
        std::vector<pollfd> fds;
        for (auto* c : controls)
            fds.push_back({c->EventDescriptor(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents & POLLIN)
                controls[i]->DispatchEvents();
    }
    return true;
}

// Waits (without dispatching) until the control holds `count` undelivered events.
inline bool WaitPending(thermpos::opos::Control& control, int count,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (control.PendingEvents() < count) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        // Readable from the first event on; the short poll only bounds the re-check.
        pollfd fd{control.EventDescriptor(), POLLIN, 0};
        poll(&fd, 1, 10);
    }
    return true;
}

}  // namespace optest
