// A device backend under LinkPort (portlib/DeviceBackend.h) that records every call, each
// write call with its size and first byte so that chunking and error paths can be checked,
// and answers as each test scripts it. Not thread-safe: the port operations run on the
// test's thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "portlib/DeviceBackend.h"

namespace thermpos::testing {

class FakeDeviceBackend final : public linkport::DeviceBackend {
  public:
    struct WriteCall {
        HANDLE handle;
        DWORD size;
        std::uint8_t firstByte;
    };
    struct Result {
        LONG error;
        DWORD moved;
    };

    // Names Open accepts, with the handle each one gets; any other name fails with 2.
    std::map<std::string, HANDLE> devices;
    // Write results by call index (from 0); unscripted calls move everything.
    std::map<std::size_t, Result> writeScript;
    Result readResult{ERROR_SUCCESS, 0};
    LONG timeoutsError = ERROR_SUCCESS;
    LONG closeError = ERROR_SUCCESS;
    DCB state{};
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};

    std::vector<std::string> opened;
    std::vector<WriteCall> writes;
    std::vector<DWORD> reads;
    std::vector<DWORD> pauses;
    std::vector<DWORD> purges;
    std::vector<std::pair<DWORD, DWORD>> setups;
    std::vector<HANDLE> closed;
    int setStateCalls = 0;
    int setTimeoutsCalls = 0;
    int abandons = 0;

    LONG Open(const char* name, HANDLE* handle) override {
        opened.emplace_back(name);
        auto it = devices.find(name);
        *handle = it == devices.end() ? INVALID_HANDLE_VALUE : it->second;
        return it == devices.end() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
    }
    LONG Close(HANDLE handle) override {
        closed.push_back(handle);
        return closeError;
    }
    LONG Write(HANDLE handle, const void* data, DWORD size, DWORD* written) override {
        std::size_t index = writes.size();
        std::uint8_t first = size ? *static_cast<const std::uint8_t*>(data) : std::uint8_t{0};
        writes.push_back({handle, size, first});
        auto it = writeScript.find(index);
        Result r = it == writeScript.end() ? Result{ERROR_SUCCESS, size} : it->second;
        *written = r.moved;
        return r.error;
    }
    LONG Read(HANDLE, void* buffer, DWORD size, DWORD* read) override {
        reads.push_back(size);
        std::memset(buffer, 'r', std::min(size, readResult.moved));
        *read = readResult.moved;
        return readResult.error;
    }
    LONG Setup(HANDLE, DWORD in, DWORD out) override {
        setups.emplace_back(in, out);
        return ERROR_SUCCESS;
    }
    LONG Purge(HANDLE, DWORD flags) override {
        purges.push_back(flags);
        return ERROR_SUCCESS;
    }
    LONG GetState(HANDLE, DCB* dcb) override {
        *dcb = state;
        return ERROR_SUCCESS;
    }
    LONG SetState(HANDLE, const DCB& dcb) override {
        ++setStateCalls;
        state = dcb;
        return ERROR_SUCCESS;
    }
    LONG GetTimeouts(HANDLE, COMMTIMEOUTS* t) override {
        if (timeoutsError)
            return timeoutsError;
        *t = timeouts;
        return ERROR_SUCCESS;
    }
    LONG SetTimeouts(HANDLE, const COMMTIMEOUTS& t) override {
        ++setTimeoutsCalls;
        timeouts = t;
        return ERROR_SUCCESS;
    }
    void Pause(DWORD ms) override { pauses.push_back(ms); }
    LONG Abandon(HANDLE) override {
        ++abandons;
        return ERROR_SUCCESS;
    }
};

}  // namespace thermpos::testing
