// The claim's named mutex on Windows: a kernel mutex object in the Global namespace.
//
// Whoever creates the object holds the name until its handle is closed (by Close, or by
// the system when the process ends, however it ends); a Create that finds the object
// already there reports ERROR_ALREADY_EXISTS. The object is never waited on: a mutex is
// owned by a thread, a claim by whichever thread of the process releases it.
#include <string>

#include "platform/sync.h"

namespace thermpos::platform {

NamedMutex::~NamedMutex() {
    Close();
}

void NamedMutex::Close() {
    if (!handle_)
        return;
    ::CloseHandle(handle_);
    handle_ = nullptr;
    path_.clear();
}

LONG NamedMutex::Create(std::string_view name) {
    Close();
    problem_.clear();
    // The same one-to-one encoding as the lock files elsewhere: no '\\' reaches the name.
    const std::string path = NamedMutexPath(name);
    if (path.empty())
        return ERROR_INVALID_NAME;
    const std::string objectName = "Global\\ThermPOS-" + path.substr(path.rfind('/') + 1);
    HANDLE handle = ::CreateMutexA(nullptr, FALSE, objectName.c_str());
    const DWORD error = ::GetLastError();
    if (!handle) {
        problem_ = objectName + ": the mutex cannot be made (error " + std::to_string(error) + ")";
        return error == ERROR_ACCESS_DENIED ? ERROR_ALREADY_EXISTS : static_cast<LONG>(error);
    }
    if (error == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(handle);
        return ERROR_ALREADY_EXISTS;
    }
    handle_ = handle;
    path_ = objectName;
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform
