// The port library behind PortLibrary: LinkPort's exports, their results read here only.
#include "so/core/PortLibrary.h"

#include "platform/sync.h"
#include "portlib/LinkPort.h"

namespace thermpos::so {
namespace {

// The exports that answer 1 (or non-zero) for success and 0 for failure, without a number.
SystemError FromFlag(int result) {
    return result != 0 ? SystemError::Success : SystemError::GenFailure;
}

class LinkPortCalls final : public PortLibrary {
  public:
    SystemError Open(const std::string& portName, const std::string& modelKey,
                     HANDLE* handle) override {
        // PMOpenPort answers 1 for an open; anything else is a failure, whatever the handle.
        return PMOpenPort(portName.c_str(), handle, modelKey.c_str()) == 1
                   ? SystemError::Success
                   : SystemError::GenFailure;
    }
    SystemError Close(HANDLE handle) override { return FromFlag(PMClosePort(handle)); }
    SystemError Write(HANDLE handle, const void* data, int length, int* written) override {
        return ToSystemError(PMWritePort(handle, data, length, written));
    }
    SystemError Read(HANDLE handle, void* buffer, int size, int* read) override {
        return ToSystemError(PMReadPort(handle, buffer, size, read));
    }
    SystemError Drain(HANDLE handle) override { return ToSystemError(PMDrainPort(handle)); }
    SystemError GetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) override {
        return FromFlag(PMGetPortTimeOuts(handle, timeouts));
    }
    SystemError SetTimeouts(HANDLE handle, const COMMTIMEOUTS& t) override {
        return FromFlag(PMSetPortTimeOuts(
            handle, t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
            t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant));
    }
    SystemError GetProperties(HANDLE handle, DCB* dcb) override {
        return FromFlag(PMGetPortProperties(handle, dcb));
    }
    SystemError SetProperties(HANDLE handle, const DCB& dcb) override {
        return FromFlag(PMSetPortProperties(handle, dcb));
    }
    bool CanWait() const override { return true; }
    PortWait WaitInput(HANDLE handle, int wakeFd, DWORD timeoutMs) override {
        switch (PMWaitPort(handle, wakeFd, timeoutMs)) {
            case WAIT_OBJECT_0:
                return PortWait::Input;
            case WAIT_OBJECT_0 + 1:
                return PortWait::Woken;
            case WAIT_TIMEOUT:
                return PortWait::TimedOut;
            default:
                return PortWait::CannotWait;
        }
    }
};

}  // namespace

PortLibrary& LinkPortLibrary() {
    static LinkPortCalls library;
    return library;
}

}  // namespace thermpos::so
