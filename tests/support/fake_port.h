// A stand-in for the port library under the service objects' port table and status
// monitors (so::PortLibrary): a scripted port with a printer at its far end. It records
// every call, each write call with its bytes and result, answers as the test scripts it,
// and signals every change, so tests wait on calls, never on time.
//
// The printer at the far end answers each status request (1D 61 0F) with its current
// status block (online, cover closed, paper present until a test changes it), sends a new
// block when a test changes it, and can be told to change its status when a given command
// arrives (a drawer that opens on its pulse). Reads take, in this order: the reads a test
// queued (each delivered once it is due), a sticky read error, then what the printer sent.
// A call on INVALID_HANDLE_VALUE fails with 6, as the library's does, and is not recorded.
// The fake cannot wait for input, so the monitor polls it on its interval.
//
// Thread-safe: the port table's callers and its status monitor call in from their own
// threads while the test scripts and reads from its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "so/core/PortLibrary.h"

namespace thermpos::testing {

class FakePort : public so::PortLibrary {
  public:
    // The fake the printer tests share (their devices reach it through OnFakePort).
    static FakePort& Get();

    FakePort() = default;
    FakePort(const FakePort&) = delete;
    FakePort& operator=(const FakePort&) = delete;

    // The status request every device registers, kept apart in Writes().
    static const std::string kStatusRequest;
    // The printer's status block until a test sets another: online, cover closed, paper.
    static const std::string kReadyBlock;
    // Unlike the device core's own (write constant 2000), so that a test tells which
    // time-outs the monitor restored.
    static constexpr COMMTIMEOUTS kInitialTimeouts{MAXDWORD, 0, 0, MAXDWORD, 3000};

    struct WriteCall {
        HANDLE handle;
        std::string bytes;
        LONG error;  // what the call returned
    };
    // Everything recorded, and what is still scripted.
    struct Record {
        std::vector<WriteCall> writeCalls;  // every write call, in order
        int readCalls = 0;
        int openCalls = 0;
        std::map<std::string, int> opens;   // successful opens per port name as given
        std::vector<std::string> openKeys;  // the model key of every open call, in order
        std::vector<HANDLE> closed;         // in order
        std::vector<COMMTIMEOUTS> timeoutsSet;
        std::vector<std::pair<HANDLE, DCB>> dcbsSet;
        COMMTIMEOUTS timeouts = kInitialTimeouts;  // what GetTimeouts reports: the last set
        std::size_t readsQueued = 0;               // queued reads not yet delivered
        std::size_t writeErrorsQueued = 0;
    };

    // Back to the start: nothing recorded or queued, every call succeeds, status requests
    // answered with kReadyBlock. The port's time-outs start as kInitialTimeouts.
    void Reset();

    // ---- script ----
    // Every open fails (an invalid handle).
    void SetOpenFails(bool fails);
    // The next `count` opens after the first fail: a device that stays away while the
    // monitor tries to reopen it.
    void FailReopens(int count);
    // The system error of every later write (0: writes succeed); queued errors come first.
    void SetWriteError(LONG systemError);
    void QueueWriteError(LONG systemError, int times = 1);
    // The system error of every later drain, after a write succeeded (0: the bytes left).
    void SetDrainError(LONG systemError);
    // The system error of every later read; ERROR_MORE_DATA also fills the buffer.
    void SetReadError(LONG systemError);
    // One read result, delivered by the first read at or after `after` from now; reads
    // before then find nothing (bytes still on their way down a slow line).
    void QueueRead(LONG systemError, const std::string& bytes,
                   std::chrono::milliseconds after = std::chrono::milliseconds(0));
    // Setting time-outs fails.
    void RefuseTimeouts(bool refuse);
    // Whether the printer answers status requests and sends its blocks at all.
    void SetAnswers(bool answers);
    // The printer's status block, without sending it.
    void SetStatus(const std::string& block);
    // The printer's status changes to block and it sends it (unless it does not answer).
    void Send(const std::string& block);
    // A write beginning with `command` changes the printer's status to block and sends it.
    void SetStatusOnWrite(const std::string& command, const std::string& block);
    // While held, writes wait (the output is busy).
    void HoldWrites(bool hold);

    // ---- record ----
    Record Snapshot();
    // Bytes the printer sent that no read has taken yet.
    std::size_t InputPending();
    // Waits until done(record) holds, at most `limit`; false when it did not.
    bool WaitUntil(const std::function<bool(const Record&)>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The successful writes other than status requests, one entry per call: the print data
    // can be checked write by write. Status requests are only counted.
    std::vector<std::string> Writes();
    std::string AllWritten();
    std::size_t WriteCount();
    int StatusRequests();
    std::map<std::string, int> Opens();
    std::vector<HANDLE> Closed();
    // Waits until at least count writes of Writes() completed, or the limit passed.
    bool WaitWrites(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until a write is blocked by HoldWrites.
    bool WaitHeldWriter(std::chrono::milliseconds limit = std::chrono::seconds(10));

    // ---- so::PortLibrary ----
    so::SystemError Open(const std::string& portName, const std::string& modelKey,
                         HANDLE* handle) override;
    so::SystemError Close(HANDLE handle) override;
    so::SystemError Write(HANDLE handle, const void* data, int length, int* written) override;
    so::SystemError Read(HANDLE handle, void* buffer, int size, int* read) override;
    so::SystemError Drain(HANDLE handle) override;
    so::SystemError GetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) override;
    so::SystemError SetTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) override;
    so::SystemError GetProperties(HANDLE handle, DCB* dcb) override;
    so::SystemError SetProperties(HANDLE handle, const DCB& dcb) override;
    bool CanWait() const override { return false; }
    so::PortWait WaitInput(HANDLE, int, DWORD) override { return so::PortWait::CannotWait; }

  private:
    struct QueuedRead {
        LONG error;
        std::string bytes;
        std::chrono::steady_clock::time_point due;
    };
    // The caller holds mutex_.
    void SendLocked(const std::string& block);
    bool IsDataWrite(const WriteCall& call) const;

    std::mutex mutex_;
    std::condition_variable changed_;  // anything recorded or scripted changed
    // All below: mutex_.
    Record record_;
    bool openFails_ = false;
    int reopenFailures_ = 0;
    LONG writeError_ = 0;
    std::deque<LONG> writeErrors_;
    LONG drainError_ = 0;
    LONG readError_ = 0;
    std::deque<QueuedRead> reads_;
    bool refuseTimeouts_ = false;
    bool answers_ = true;
    std::string status_ = kReadyBlock;
    std::string input_;  // sent by the printer, not yet read
    std::vector<std::pair<std::string, std::string>> statusOnWrite_;
    bool hold_ = false;
    int heldWriters_ = 0;
    std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace thermpos::testing
