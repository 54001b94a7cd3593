// The hive file under the registry store: the tree read from it and the handles open on
// it, reading and saving the file, and the lock that lets processes take turns changing
// it. Private to the store (registry.cpp, registry_hive.cpp).
//
// Locks, in order:
//   1. g_mutex: this process's tree, file identity and handle table (everything in Store).
//   2. flock(LOCK_EX) on "<hive>.lock": held only while a change is re-read, applied and
//      saved, so writers in different processes take turns and none loses another's
//      change. Waited for at most THERMPOS_REGISTRY_WAIT_MS (10 s). The lock file is
//      open to the hive's writers only (mode 0600, 0660 in a folder shared with its group). Readers
//      take no file lock: a save replaces the file by rename, so a reader always opens either the
//      old or the new file, never half of one.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/errno_posix.h"
#include "platform/reg_text.h"
#include "platform/registry.h"
#include "platform/win32.h"

// A handle names its key by path, so a key deleted behind its back (by this process or
// another) is noticed instead of being written into a detached node.
struct RegistryKeyObject {
    std::vector<std::string> path;  // names below HKEY_LOCAL_MACHINE, as stored
    REGSAM sam = 0;
};

namespace thermpos::platform::registry::hive {

using detail::Node;

// What stat tells of a file: enough to notice a replacement (new inode, new times) and
// any write in place (size, times) once the times have had a tick to move on.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};

    static FileStamp Of(const struct stat& st) {
        return FileStamp{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
    }
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// This process's copy of the hive and the handles open on it.
struct Store {
    std::string path;  // hive file the tree was read from
    std::unique_ptr<Node> root = std::make_unique<Node>();
    // When loaded, `text` holds the bytes the tree (or the corrupt state) came from; a
    // missing file counts as empty text.
    bool loaded = false;
    std::string text;
    bool corrupt = false;
    std::string corruptError;
    // The file `text` was read from. While `settled`, an unchanged stamp proves unchanged
    // bytes and the file is not read again (see LoadLocked).
    FileStamp stamp;
    bool settled = false;
    // Child lookups in `root` for opens; dropped whenever the tree changes. Not used
    // while `mutating`: a change in progress may have moved what it points to.
    detail::TreeIndex index;
    bool mutating = false;
    std::unordered_set<RegistryKeyObject*> handles;
};

extern std::mutex g_mutex;
extern Store g_store;  // guarded by g_mutex
// The message of this thread's last failed call (LastError).
extern thread_local std::string t_lastError;

// The result code for a failed system call's errno on the hive or its lock: the access and
// not-found errors by name, anything else as fallback.
inline LONG ErrnoToResult(int err, LONG fallback) {
    return platform::FileErrorFromErrno(err, ERROR_FILE_NOT_FOUND, fallback);
}

// Owns a file descriptor and closes it unless released.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Writes all of text to fd, resuming after interruptions; false on any error.
bool WriteAll(int fd, const std::string& text);

// Reads a whole regular file. A missing file is reported as ERROR_FILE_NOT_FOUND without
// text in *error, because a missing hive is an empty one. Anything else (a pipe, a
// device, a folder) is refused before it is opened, and opened without blocking in case
// it was swapped for one in between: opening a pipe waits for a writer, and opening a
// serial device can wait for its carrier or move its modem lines.
// *opened, when given, receives the fstat of the file read.
LONG ReadWholeFile(const std::string& path, std::string* bytes, std::string* error,
                   FileStamp* stamp = nullptr, struct stat* opened = nullptr);

// The file a save replaces. A hive reached through a symbolic link is saved where the
// link points, so the link survives the rename.
std::string SaveTarget(const std::string& path);

// Whether this process may change the hive: the file (or, before it exists, the nearest
// existing folder on its path) must be writable. A file without any write permission bit
// counts as read-only even for root, so that marking the hive read-only works everywhere.
bool HiveWritable(const std::string& hive);

// The lock a change holds on "<hive>.lock" (lock 2 above), released when it goes out of
// scope.
class HiveFileLock {
  public:
    HiveFileLock() = default;
    HiveFileLock(const HiveFileLock&) = delete;
    HiveFileLock& operator=(const HiveFileLock&) = delete;
    ~HiveFileLock();
    // Creates the lock file (and its folders) when missing and waits for the lock, at
    // most THERMPOS_REGISTRY_WAIT_MS (10 s): ERROR_BUSY once that runs out. A folder or
    // lock file another user may write is refused (ERROR_ACCESS_DENIED). On failure sets
    // t_lastError.
    LONG Acquire(const std::string& hive);

  private:
    int fd_ = -1;
};

// --- every function below expects g_mutex held ------------------------------------

// Brings the tree up to date with the hive file. A settled file whose stamp has not
// changed is not read at all; otherwise the file is read, and parsed only when its bytes
// differ from those the tree came from. So another process's change is seen at the next
// open, and a walk over a large hive costs one stat per open.
LONG LoadLocked();

// Writes the tree to a temporary file beside the hive and renames it over the hive.
LONG SaveLocked();

// Runs one change under the hive's file lock on a freshly read tree and saves it when it
// changed anything. `apply(root, &changed)` returns a result code; on any failure the
// tree is read again so memory never holds a change the file does not.
template <typename Apply>
LONG MutateLocked(Apply&& apply) {
    const std::string path = thermpos::platform::registry::HivePath();
    if (!HiveWritable(path)) {
        t_lastError = path + ": hive is read-only";
        return ERROR_ACCESS_DENIED;
    }
    HiveFileLock lock;
    LONG r = lock.Acquire(SaveTarget(path));
    if (r != ERROR_SUCCESS)
        return r;
    r = LoadLocked();
    if (r != ERROR_SUCCESS)
        return r;
    bool changed = false;
    g_store.mutating = true;
    r = apply(*g_store.root, &changed);
    g_store.mutating = false;
    g_store.index.Forget();
    if (r == ERROR_SUCCESS && changed)
        r = SaveLocked();
    if (r != ERROR_SUCCESS && changed) {
        g_store.loaded = false;  // the tree no longer matches the file: parse again
        LoadLocked();
    }
    return r;
}

}  // namespace thermpos::platform::registry::hive
