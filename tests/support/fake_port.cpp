#include "tests/support/fake_port.h"

#include <cstring>

namespace thermpos::testing {

namespace {

int FakeOpen(const char* name, HANDLE* handle, const char*) {
    return FakePort::Get().Open(name, handle);
}
int FakeClose(HANDLE handle) {
    return FakePort::Get().Close(handle);
}
int FakeWrite(HANDLE, const void* data, int length, int* written) {
    return FakePort::Get().Write(data, length, written);
}
int FakeRead(HANDLE, void* buffer, int size, int* read) {
    return FakePort::Get().Read(buffer, size, read);
}
int FakeTimeouts(HANDLE, DWORD, DWORD, DWORD, DWORD, DWORD) {
    return FakePort::Get().SetTimeouts();
}
int FakeGetProperties(HANDLE, DCB*) {
    return 1;
}
int FakeSetProperties(HANDLE, const DCB*) {
    return 1;
}
int FakeDrain(HANDLE) {
    return FakePort::Get().Drain();
}

}  // namespace

FakePort& FakePort::Get() {
    static FakePort port;
    return port;
}

const so::PortBackend& FakePort::Backend() {
    static const so::PortBackend backend = {&FakeOpen,          &FakeClose,    &FakeWrite,
                                            &FakeRead,          &FakeTimeouts, &FakeGetProperties,
                                            &FakeSetProperties, nullptr,       &FakeDrain};
    return backend;
}

void FakePort::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    openFails_ = false;
    writeError_ = 0;
    drainError_ = 0;
    readError_ = 0;
    timeoutsResult_ = 1;
    answers_ = true;
    hold_ = false;
    writes_.clear();
    statusRequests_ = 0;
    replyPending_ = false;
    opens_.clear();
    closed_.clear();
    changed_.notify_all();
}

void FakePort::SetOpenFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    openFails_ = fails;
}

void FakePort::SetWriteError(int systemError) {
    std::lock_guard<std::mutex> lock(mutex_);
    writeError_ = systemError;
}

void FakePort::SetReadError(int systemError) {
    std::lock_guard<std::mutex> lock(mutex_);
    readError_ = systemError;
}

void FakePort::SetTimeoutsResult(int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeoutsResult_ = result;
}

void FakePort::SetAnswers(bool answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_ = answers;
}

void FakePort::HoldWrites(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    changed_.notify_all();
}

std::vector<std::string> FakePort::Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::string FakePort::AllWritten() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& w : writes_) {
        all += w;
    }
    return all;
}

std::size_t FakePort::WriteCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_.size();
}

int FakePort::StatusRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusRequests_;
}

std::map<std::string, int> FakePort::Opens() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

std::vector<HANDLE> FakePort::Closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

bool FakePort::WaitWrites(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return writes_.size() >= count; });
}

bool FakePort::WaitHeldWriter(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return heldWriters_ > 0; });
}

int FakePort::Open(const char* name, HANDLE* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (openFails_) {
        *handle = INVALID_HANDLE_VALUE;
        return 0;
    }
    ++opens_[name];
    *handle = reinterpret_cast<HANDLE>(nextHandle_++);
    return 1;
}

int FakePort::Close(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.push_back(handle);
    return 1;
}

int FakePort::Write(const void* data, int length, int* written) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++heldWriters_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hold_; });
    --heldWriters_;
    if (writeError_ != 0) {
        *written = 0;
        return writeError_;
    }
    const std::string bytes(static_cast<const char*>(data), static_cast<size_t>(length));
    if (bytes == std::string("\x1D\x61\x0F", 3)) {
        // Kept apart, so that the print data can be checked write by write.
        ++statusRequests_;
        replyPending_ = true;
    } else {
        writes_.push_back(bytes);
    }
    *written = length;
    changed_.notify_all();
    return 0;
}

void FakePort::SetDrainError(int systemError) {
    std::lock_guard<std::mutex> lock(mutex_);
    drainError_ = systemError;
}

int FakePort::Drain() {
    std::lock_guard<std::mutex> lock(mutex_);
    return drainError_;
}

int FakePort::Read(void* buffer, int size, int* read) {
    std::lock_guard<std::mutex> lock(mutex_);
    *read = 0;
    if (readError_ != 0) {
        if (readError_ == ERROR_MORE_DATA) {
            std::memset(buffer, 0, static_cast<size_t>(size));
            *read = size;
        }
        return readError_;
    }
    if (answers_ && replyPending_ && size >= 4) {
        static const unsigned char kBlock[] = {0x10, 0x00, 0x00, 0x00};
        std::memcpy(buffer, kBlock, sizeof kBlock);
        *read = sizeof kBlock;
        replyPending_ = false;
    }
    return 0;
}

int FakePort::SetTimeouts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeoutsResult_;
}

}  // namespace thermpos::testing
