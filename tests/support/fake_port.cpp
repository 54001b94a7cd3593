#include "tests/support/fake_port.h"

#include <algorithm>
#include <cstring>

namespace thermpos::testing {

using so::SystemError;
using so::ToSystemError;

const std::string FakePort::kStatusRequest("\x1D\x61\x0F", 3);
const std::string FakePort::kReadyBlock("\x10\x00\x00\x00", 4);

FakePort& FakePort::Get() {
    static FakePort port;
    return port;
}

void FakePort::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    record_ = Record{};
    record_.timeouts = kInitialTimeouts;
    openFails_ = false;
    reopenFailures_ = 0;
    writeError_ = 0;
    writeErrors_.clear();
    drainError_ = 0;
    readError_ = 0;
    reads_.clear();
    refuseTimeouts_ = false;
    answers_ = true;
    status_ = kReadyBlock;
    input_.clear();
    statusOnWrite_.clear();
    hold_ = false;
    changed_.notify_all();
}

void FakePort::SetOpenFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    openFails_ = fails;
}

void FakePort::FailReopens(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    reopenFailures_ = count;
}

void FakePort::SetWriteError(LONG systemError) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeError_ = systemError;
}

void FakePort::QueueWriteError(LONG systemError, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < times; ++i)
        writeErrors_.push_back(systemError);
    record_.writeErrorsQueued = writeErrors_.size();
}

void FakePort::SetDrainError(LONG systemError) {
    std::lock_guard<std::mutex> lock(mutex_);
    drainError_ = systemError;
}

void FakePort::SetReadError(LONG systemError) {
    std::lock_guard<std::mutex> lock(mutex_);
    readError_ = systemError;
}

void FakePort::QueueRead(LONG systemError, const std::string& bytes,
                         std::chrono::milliseconds after) {
    std::lock_guard<std::mutex> lock(mutex_);
    reads_.push_back({systemError, bytes, std::chrono::steady_clock::now() + after});
    record_.readsQueued = reads_.size();
}

void FakePort::RefuseTimeouts(bool refuse) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseTimeouts_ = refuse;
}

void FakePort::SetAnswers(bool answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = answers;
}

void FakePort::SetStatus(const std::string& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = block;
}

void FakePort::Send(const std::string& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = block;
    SendLocked(block);
    changed_.notify_all();
}

void FakePort::SetStatusOnWrite(const std::string& command, const std::string& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    statusOnWrite_.emplace_back(command, block);
}

void FakePort::HoldWrites(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    changed_.notify_all();
}

void FakePort::SendLocked(const std::string& block) {
    if (answers_)
        input_ += block;
}

bool FakePort::IsDataWrite(const WriteCall& call) const {
    return call.error == 0 && call.bytes != kStatusRequest;
}

FakePort::Record FakePort::Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
}

std::size_t FakePort::InputPending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
}

bool FakePort::WaitUntil(const std::function<bool(const Record&)>& done,
                         std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(record_); });
}

std::vector<std::string> FakePort::Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> writes;
    for (const WriteCall& call : record_.writeCalls)
        if (IsDataWrite(call))
            writes.push_back(call.bytes);
    return writes;
}

std::string FakePort::AllWritten() {
    std::string all;
    for (const std::string& w : Writes())
        all += w;
    return all;
}

std::size_t FakePort::WriteCount() {
    return Writes().size();
}

int FakePort::StatusRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(
        std::count_if(record_.writeCalls.begin(), record_.writeCalls.end(),
                      [](const auto& c) { return c.error == 0 && c.bytes == kStatusRequest; }));
}

std::map<std::string, int> FakePort::Opens() {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_.opens;
}

std::vector<HANDLE> FakePort::Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_.closed;
}

bool FakePort::WaitWrites(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return static_cast<std::size_t>(
                   std::count_if(record_.writeCalls.begin(), record_.writeCalls.end(),
                                 [&](const WriteCall& c) { return IsDataWrite(c); })) >= count;
    });
}

bool FakePort::WaitHeldWriter(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return heldWriters_ > 0; });
}

SystemError FakePort::Open(const std::string& portName, const std::string& modelKey,
                           HANDLE* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool reopen = record_.openCalls++ > 0;
    record_.openKeys.push_back(modelKey);
    changed_.notify_all();
    if (openFails_ || (reopen && reopenFailures_ > 0)) {
        if (!openFails_)
            --reopenFailures_;
        *handle = INVALID_HANDLE_VALUE;
        return SystemError::GenFailure;
    }
    ++record_.opens[portName];
    *handle = reinterpret_cast<HANDLE>(nextHandle_++);
    return SystemError::Success;
}

SystemError FakePort::Close(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.closed.push_back(handle);
    changed_.notify_all();
    return SystemError::Success;
}

SystemError FakePort::Write(HANDLE handle, const void* data, int length, int* written) {
    *written = 0;
    if (handle == INVALID_HANDLE_VALUE)
        return SystemError::InvalidHandle;
    std::unique_lock<std::mutex> lock(mutex_);
    ++heldWriters_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hold_; });
    --heldWriters_;
    WriteCall call{handle, std::string(static_cast<const char*>(data), static_cast<size_t>(length)),
                   writeError_};
    if (!writeErrors_.empty()) {
        call.error = writeErrors_.front();
        writeErrors_.pop_front();
        record_.writeErrorsQueued = writeErrors_.size();
    }
    record_.writeCalls.push_back(call);
    changed_.notify_all();
    if (call.error != 0)
        return ToSystemError(call.error);
    *written = length;
    if (call.bytes == kStatusRequest)
        SendLocked(status_);
    for (const auto& [command, block] : statusOnWrite_) {
        if (call.bytes.compare(0, command.size(), command) == 0) {
            status_ = block;
            SendLocked(block);
        }
    }
    return SystemError::Success;
}

SystemError FakePort::Drain(HANDLE) {
    std::lock_guard<std::mutex> lock(mutex_);
    return ToSystemError(drainError_);
}

SystemError FakePort::Read(HANDLE handle, void* buffer, int size, int* read) {
    *read = 0;
    if (handle == INVALID_HANDLE_VALUE)
        return SystemError::InvalidHandle;
    std::lock_guard<std::mutex> lock(mutex_);
    ++record_.readCalls;
    changed_.notify_all();
    if (!reads_.empty()) {
        if (reads_.front().due > std::chrono::steady_clock::now())
            return SystemError::Success;
        const QueuedRead r = reads_.front();
        reads_.pop_front();
        record_.readsQueued = reads_.size();
        const int n = std::min<int>(size, static_cast<int>(r.bytes.size()));
        std::memcpy(buffer, r.bytes.data(), static_cast<size_t>(n));
        *read = n;
        return ToSystemError(r.error);
    }
    if (readError_ != 0) {
        if (readError_ == ERROR_MORE_DATA) {
            std::memset(buffer, 0, static_cast<size_t>(size));
            *read = size;
        }
        return ToSystemError(readError_);
    }
    const int n = std::min<int>(size, static_cast<int>(input_.size()));
    std::memcpy(buffer, input_.data(), static_cast<size_t>(n));
    input_.erase(0, static_cast<size_t>(n));
    *read = n;
    return SystemError::Success;
}

SystemError FakePort::GetTimeouts(HANDLE, COMMTIMEOUTS* timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    *timeouts = record_.timeouts;
    return SystemError::Success;
}

SystemError FakePort::SetTimeouts(HANDLE, const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refuseTimeouts_)
        return SystemError::GenFailure;
    record_.timeouts = timeouts;
    record_.timeoutsSet.push_back(timeouts);
    changed_.notify_all();
    return SystemError::Success;
}

SystemError FakePort::GetProperties(HANDLE, DCB*) {
    return SystemError::Success;
}

SystemError FakePort::SetProperties(HANDLE handle, const DCB& dcb) {
    std::lock_guard<std::mutex> lock(mutex_);
    record_.dcbsSet.emplace_back(handle, dcb);
    changed_.notify_all();
    return SystemError::Success;
}

}  // namespace thermpos::testing
