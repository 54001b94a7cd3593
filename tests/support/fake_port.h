// A stand-in for the port library under the service objects' port table (PortBackend):
// it records every call, answers as the test scripts it, and signals each write, so tests
// wait on calls, never on time. The backend's functions carry no context, so there is one
// fake per process (Get); a test starts from Reset.
//
// Thread-safe: the port table's callers and its status monitor call in from their own
// threads while the test scripts and reads from its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "so/core/PortTable.h"

namespace thermpos::testing {

class FakePort {
  public:
    static FakePort& Get();
    static const so::PortBackend& Backend();

    // Back to the start: nothing recorded, every call succeeds, status requests answered.
    void Reset();

    // ---- script ----
    // Every open fails (the library's 0 result and an invalid handle).
    void SetOpenFails(bool fails);
    // The system error of every later write (0: writes succeed).
    void SetWriteError(int systemError);
    // The system error of every later drain, after a write succeeded (0: the bytes left).
    void SetDrainError(int systemError);
    // The system error of every later read; ERROR_MORE_DATA also fills the buffer.
    void SetReadError(int systemError);
    // The result of setting time-outs (1 succeeds, 0 is refused).
    void SetTimeoutsResult(int result);
    // Whether a status request (1D 61 0F) gets one status block (online, cover closed,
    // paper present) at the next read.
    void SetAnswers(bool answers);
    // While held, writes wait (the output is busy).
    void HoldWrites(bool hold);

    // ---- record ----
    // The writes other than status requests, one entry per call; status requests (from
    // the claim probe and the status monitor) are only counted.
    std::vector<std::string> Writes();
    std::string AllWritten();
    std::size_t WriteCount();
    int StatusRequests();
    // Opens per port name as given, and the handles closed, in order. Every open gets a
    // handle of its own.
    std::map<std::string, int> Opens();
    std::vector<HANDLE> Closed();

    // Waits until at least count writes completed, or the limit passed.
    bool WaitWrites(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until a write is blocked by HoldWrites.
    bool WaitHeldWriter(std::chrono::milliseconds limit = std::chrono::seconds(10));

    // ---- backend calls (the port library's conventions) ----
    int Open(const char* name, HANDLE* handle);
    int Close(HANDLE handle);
    int Write(const void* data, int length, int* written);
    int Read(void* buffer, int size, int* read);
    int SetTimeouts();
    int Drain();

  private:
    FakePort() = default;

    std::mutex mutex_;
    std::condition_variable changed_;  // a write completed or blocked, or hold changed
    // All below: mutex_.
    bool openFails_ = false;
    int writeError_ = 0;
    int drainError_ = 0;
    int readError_ = 0;
    int timeoutsResult_ = 1;
    bool answers_ = true;
    bool hold_ = false;
    int heldWriters_ = 0;
    std::vector<std::string> writes_;
    int statusRequests_ = 0;
    bool replyPending_ = false;  // a status request waits for its block
    std::map<std::string, int> opens_;
    std::vector<HANDLE> closed_;
    std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace thermpos::testing
