// The named mutex over POSIX: an exclusive flock on its file in the lock folder, which is
// made as needed. The names and the folder are sync.cpp's. See sync.h for the contract.
//
// Threads: none started here; no locks of its own (the flock is the mutex).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/errno_posix.h"
#include "platform/sync.h"

namespace thermpos::platform {
namespace {

// The lock folder and its files are paths: a missing part is a missing folder.
LONG LockError(int err) {
    return platform::PathErrorFromErrno(err, ERROR_PATH_NOT_FOUND);
}

// mkdir -p; the folder is shared by every user that claims devices, like /run/lock.
LONG MakeDirectories(const std::string& path) {
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0777) == 0) {
            // Like /run/lock: every user may add lock files, none may remove another's.
            if (pos == std::string::npos)
                ::chmod(partial.c_str(), 01777);
        } else if (errno != EEXIST) {
            return LockError(errno);
        }
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return LockError(errno);
    if (!S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

}  // namespace

NamedMutex::~NamedMutex() {
    Close();
}

void NamedMutex::Close() {
    if (fd_ >= 0) {
        ::close(fd_);  // drops the flock
        fd_ = -1;
    }
}

LONG NamedMutex::Create(std::string_view name) {
    Close();
    std::string path = NamedMutexPath(name);
    if (path.empty())
        return ERROR_INVALID_NAME;
    if (LONG rc = MakeDirectories(LockDirectory()); rc != ERROR_SUCCESS)
        return rc;

    // O_NOFOLLOW and O_NONBLOCK: the folder may be shared, and a planted symlink or FIFO
    // must neither redirect the lock nor hang the open.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS))
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno == ELOOP ? ERROR_ACCESS_DENIED : LockError(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ERROR_ACCESS_DENIED;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? ERROR_ALREADY_EXISTS : LockError(err);
    }
    fd_ = fd;
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform
