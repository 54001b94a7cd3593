// The named mutex over POSIX: a write lock (an open-file-description lock, which needs
// the file open for writing) on its file in the lock folder, which is made as needed. The
// names and the folder are sync.cpp's. See sync.h for the contract.
//
// A lock file exists while someone holds it, and is removed by its holder on Close: a
// claimer that opened the file just before it was removed finds, after taking the lock,
// that the name no longer leads to its file, and tries again. A holder killed outright
// leaves its file behind; the next claimer takes it over.
//
// Threads: none started here; no locks of its own (the file lock is the mutex).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/descriptor.h"
#include "platform/errno_posix.h"
#include "platform/folder.h"
#include "platform/sync.h"

namespace thermpos::platform {
namespace {

// Rounds of "opened a file its holder was removing"; more means a name that is taken
// and given back without pause, which is as good as held.
constexpr int kMaxOpenRounds = 16;

// The lock folder and its files are paths: a missing part is a missing folder.
LONG LockError(int err) {
    return platform::PathErrorFromErrno(err, ERROR_PATH_NOT_FOUND);
}

std::string Octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

// mkdir -p. The folder itself, when made here, is shared by every user that claims
// devices, like /run/lock (01777); the folders above it are made 0755. An existing
// folder is used only when platform::FolderRule::Shared trusts it. *folder is its status.
LONG PrepareLockFolder(const std::string& path, struct stat* folder, std::string* problem) {
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    if (::lstat(path.c_str(), folder) != 0) {
        if (errno != ENOENT) {
            *problem = platform::ErrnoMessage(path);
            return LockError(errno);
        }
        std::size_t pos = 0;
        while ((pos = path.find('/', pos + 1)) != std::string::npos) {
            const std::string partial = path.substr(0, pos);
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
                *problem = platform::ErrnoMessage(partial);
                return LockError(errno);
            }
        }
        if (::mkdir(path.c_str(), 0777) == 0) {
            // Every user may add lock files, none may remove another's.
            ::chmod(path.c_str(), 01777);
        } else if (errno != EEXIST) {
            *problem = platform::ErrnoMessage(path);
            return LockError(errno);
        }
    }
    if (::stat(path.c_str(), folder) != 0) {
        *problem = platform::ErrnoMessage(path);
        return LockError(errno);
    }
    if (!S_ISDIR(folder->st_mode)) {
        *problem = path + " is not a folder";
        return ERROR_PATH_NOT_FOUND;
    }
    *problem = platform::FolderProblem(path, platform::FolderRule::Shared);
    if (!problem->empty()) {
        *problem = "lock folder " + *problem;
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

// A lock file may be held by this user when it belongs to the user or root, or to the
// group of a group-shared folder without being writable by everyone.
bool TrustedLockFile(const struct stat& file, const struct stat& folder, bool groupShared) {
    const uid_t me = ::geteuid();
    if (file.st_uid == me || file.st_uid == 0)
        return true;
    return groupShared && file.st_gid == folder.st_gid && (file.st_mode & S_IWOTH) == 0;
}

std::string Describe(const std::string& path, const struct stat& st) {
    return path + " belongs to uid " + std::to_string(st.st_uid) + ", gid " +
           std::to_string(st.st_gid) + " (mode " + Octal(st.st_mode) + ")";
}

}  // namespace

NamedMutex::~NamedMutex() {
    Close();
}

void NamedMutex::Close() {
    if (fd_ < 0)
        return;
    // Removed while still locked, and only while the name still leads to this file, so
    // that nobody's lock on a newer file of the same name is taken away.
    struct stat held {
    }, named{};
    if (::fstat(fd_, &held) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino)
        ::unlink(path_.c_str());     // may be refused in a sticky folder: the file stays
    platform::CloseDescriptor(fd_);  // drops the lock
    path_.clear();
}

LONG NamedMutex::Create(std::string_view name) {
    Close();
    problem_.clear();
    const std::string path = NamedMutexPath(name);
    if (path.empty())
        return ERROR_INVALID_NAME;
    struct stat folder {};
    if (LONG rc = PrepareLockFolder(LockDirectory(), &folder, &problem_); rc != ERROR_SUCCESS)
        return rc;
    // A folder the users of one group share (group-writable, not open to everyone): its
    // members claim with each other's files.
    const bool groupShared = (folder.st_mode & S_IWGRP) != 0 && (folder.st_mode & S_IWOTH) == 0;
    const mode_t mode = groupShared ? 0660 : 0600;

    auto fail = [&](int fd, LONG rc, std::string why) {
        if (fd >= 0)
            ::close(fd);
        problem_ = std::move(why);
        return rc;
    };
    for (int round = 0; round < kMaxOpenRounds; ++round) {
        // O_NOFOLLOW and O_NONBLOCK: a planted symlink or FIFO must neither redirect the
        // lock nor hang the open.
        int fd = ::open(path.c_str(),
                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
        if (fd >= 0) {
            ::fchmod(fd, mode);  // exactly, whatever the umask
            if (groupShared)
                (void)::fchown(fd, static_cast<uid_t>(-1), folder.st_gid);
        } else if (errno == EEXIST) {
            fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                const int err = errno;
                if (err == ENOENT)
                    continue;  // its holder just removed it
                struct stat st {};
                if (err == ELOOP || (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)))
                    return fail(-1, ERROR_ACCESS_DENIED, path + " is a symbolic link");
                if (err == EACCES || err == EPERM) {
                    std::string why = ::lstat(path.c_str(), &st) == 0
                                          ? Describe(path, st)
                                          : platform::ErrnoMessage(path);
                    return fail(-1, ERROR_ACCESS_DENIED,
                                why +
                                    ": claimed, or left behind, by a user this one may not "
                                    "share lock files with");
                }
                return fail(-1, LockError(err), platform::ErrnoMessage(path));
            }
        } else {
            const int err = errno;
            return fail(-1, LockError(err), platform::ErrnoMessage(path));
        }

        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            return fail(fd, ERROR_ACCESS_DENIED, path + " is not a plain file");
        if (!TrustedLockFile(st, folder, groupShared))
            return fail(fd, ERROR_ACCESS_DENIED,
                        Describe(path, st) + ", which is neither this user (uid " +
                            std::to_string(::geteuid()) +
                            "), root, nor the group of a group-shared lock folder: not used");

        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        int rc;
        do {
            rc = ::fcntl(fd, F_OFD_SETLK, &lock);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            const int err = errno;
            if (err == EAGAIN || err == EACCES) {
                ::close(fd);
                return ERROR_ALREADY_EXISTS;
            }
            return fail(fd, LockError(err), platform::ErrnoMessage(path));
        }
        // Still the file of that name? Its holder may have removed it since it was opened.
        struct stat named {};
        if (::lstat(path.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino) {
            ::close(fd);
            continue;
        }
        fd_ = fd;
        path_ = path;
        return ERROR_SUCCESS;
    }
    return ERROR_ALREADY_EXISTS;
}

}  // namespace thermpos::platform
