// The backend LinkPort uses outside tests: the device-file layer and the system clock.
//
// Threads: none started here; Pause blocks the calling thread for the open wait.
#include <chrono>
#include <thread>

#include "platform/devfile.h"
#include "portlib/DeviceBackend.h"

namespace thermpos::linkport {
namespace {

namespace dev = thermpos::platform::devfile;
// GENERIC_* are macros in windows.h, so the namespace is named around them.
using namespace thermpos::platform::devfile;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

class DeviceFiles final : public DeviceBackend {
  public:
    LONG Open(const char* name, HANDLE* handle) override {
        return dev::CreateFile(name, kReadWrite, 0, handle);
    }
    LONG Close(HANDLE handle) override { return dev::CloseHandle(handle); }
    LONG Write(HANDLE handle, const void* data, DWORD size, DWORD* written) override {
        return dev::WriteFile(handle, data, size, written);
    }
    LONG Read(HANDLE handle, void* buffer, DWORD size, DWORD* read) override {
        return dev::ReadFile(handle, buffer, size, read);
    }
    LONG Setup(HANDLE handle, DWORD inQueue, DWORD outQueue) override {
        return dev::SetupComm(handle, inQueue, outQueue);
    }
    LONG Purge(HANDLE handle, DWORD flags) override { return dev::PurgeComm(handle, flags); }
    LONG Flush(HANDLE handle) override { return dev::FlushFileBuffers(handle); }
    LONG Abandon(HANDLE handle) override { return dev::AbandonOutput(handle); }
    LONG GetState(HANDLE handle, DCB* dcb) override { return dev::GetCommState(handle, dcb); }
    LONG SetState(HANDLE handle, const DCB& dcb) override { return dev::SetCommState(handle, dcb); }
    LONG GetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) override {
        return dev::GetCommTimeouts(handle, timeouts);
    }
    LONG SetTimeouts(HANDLE handle, const COMMTIMEOUTS& timeouts) override {
        return dev::SetCommTimeouts(handle, timeouts);
    }
    DWORD WaitInput(HANDLE handle, int wakeFd, DWORD timeoutMs) override {
        return dev::WaitForInput(handle, wakeFd, timeoutMs);
    }
    // A fixed pause by design (the device settles after an open); nothing can signal it.
    void Pause(DWORD milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

}  // namespace

DeviceBackend& SystemBackend() {
    static DeviceFiles backend;
    return backend;
}

}  // namespace thermpos::linkport
