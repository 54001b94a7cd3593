// Reading, saving and locking the hive file (see registry_hive.h).
#include "platform/registry_hive.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/file_trust.h"
#include "platform/reg_limits.h"

namespace thermpos::platform::registry::hive {

using thermpos::platform::registry::kMaxFileSize;

std::mutex g_mutex;
Store g_store;  // guarded by g_mutex
thread_local std::string t_lastError;

namespace {

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Hive, lock file and folder: a folder shared with its group on purpose may hold files
// its group writes (file_trust.h).
constexpr platform::TrustRules kHiveRules{true, false};

LONG MakeDirs(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
    if (dir != "/" && dir != ".") {
        const LONG r = MakeDirs(DirName(dir));
        if (r != ERROR_SUCCESS)
            return r;
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return ErrnoToResult(errno, ERROR_PATH_NOT_FOUND);
    return ERROR_SUCCESS;
}

// How long after its last change a file's stamp is not yet proof of its bytes. File
// times move in ticks (a few milliseconds on Linux file systems, a second or two on old
// ones), so a write in place within the tick of the change we read leaves the stamp as
// it was. A change older than this is safe: any later write gets a later ctime, which no
// one can set back.
constexpr time_t kSettleSeconds = 3;

// How long a change waits for another process's: THERMPOS_REGISTRY_WAIT_MS, else 10 s.
constexpr long kDefaultLockWaitMs = 10000;
constexpr long kMaxLockWaitMs = 60000;

bool SettledAt(const FileStamp& stamp, const timespec& readStart) {
    if (!stamp.exists)
        return true;
    const time_t settledAt = stamp.ctime.tv_sec + kSettleSeconds;
    return settledAt < readStart.tv_sec ||
           (settledAt == readStart.tv_sec && stamp.ctime.tv_nsec < readStart.tv_nsec);
}

bool StampUnchangedLocked(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISREG(st.st_mode) && FileStamp::Of(st) == g_store.stamp;
    return errno == ENOENT && !g_store.stamp.exists;
}

// Whether `name` is one of the temporaries a save of `hive` makes: the hive's name, a dot
// and mkstemp's six letters and digits. Six lower-case letters ("backup") or six of one
// kind otherwise read as a name someone chose, and are left alone: a killed writer's
// temporary has them only about once in a hundred.
bool IsTemporaryName(const std::string& name, const std::string& hiveBase) {
    if (name.size() != hiveBase.size() + 7 || name.compare(0, hiveBase.size(), hiveBase) != 0 ||
        name[hiveBase.size()] != '.')
        return false;
    int lower = 0, upper = 0, digit = 0;
    for (std::size_t i = hiveBase.size() + 1; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (std::islower(c))
            lower = 1;
        else if (std::isupper(c))
            upper = 1;
        else if (std::isdigit(c))
            digit = 1;
        else
            return false;
    }
    return lower + upper + digit >= 2;
}

// Removes what killed writers left of their saves. Only called under the hive's file lock,
// which every save holds from before its temporary is made until after it is renamed: a
// temporary present now has no writer left. Only the caller's own files go, and none that
// another name links to.
void RemoveStaleTemporaries(const std::string& hive) {
    const std::string dir = DirName(hive);
    const std::string base = BaseName(hive);
    DIR* folder = ::opendir(dir.c_str());
    if (!folder)
        return;
    const int dirFd = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (!IsTemporaryName(name, base))
            continue;
        struct stat st;
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid() && st.st_nlink == 1)
            ::unlinkat(dirFd, name.c_str(), 0);
    }
    ::closedir(folder);
}

}  // namespace

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

LONG ReadWholeFile(const std::string& path, std::string* bytes, std::string* error,
                   FileStamp* stamp, struct stat* opened) {
    bytes->clear();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return ERROR_FILE_NOT_FOUND;
        *error = path + ": " + std::strerror(errno);
        return ErrnoToResult(errno, ERROR_CANTREAD);
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
        return ERROR_CANTREAD;
    }
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return ERROR_FILE_NOT_FOUND;
        *error = path + ": " + std::strerror(errno);
        return ErrnoToResult(errno, ERROR_CANTREAD);
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
        return ERROR_CANTREAD;
    }
    if (stamp)
        *stamp = FileStamp::Of(st);
    if (opened)
        *opened = st;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
        *error = path + ":1: file too large";
        return ERROR_BADDB;
    }
    bytes->resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = ::read(fd.get(), bytes->data() + done, bytes->size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = path + ": " + std::strerror(errno);
            return ERROR_CANTREAD;
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes->resize(done);
    return ERROR_SUCCESS;
}

std::string SaveTarget(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string target(real);
    std::free(real);
    return target;
}

bool HiveWritable(const std::string& hive) {
    const std::string path = SaveTarget(hive);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (!(st.st_mode & 0222) || ::access(path.c_str(), W_OK) != 0)
            return false;
        return ::access(DirName(path).c_str(), W_OK | X_OK) == 0;
    }
    if (errno != ENOENT)
        return false;
    std::string dir = DirName(path);
    while (::stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || dir == "/" || dir == ".")
            return false;
        dir = DirName(dir);
    }
    return S_ISDIR(st.st_mode) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

namespace {

std::chrono::milliseconds LockWait() {
    const char* env = std::getenv("THERMPOS_REGISTRY_WAIT_MS");
    if (env && *env) {
        char* end = nullptr;
        const long ms = std::strtol(env, &end, 10);
        if (*end == '\0' && ms >= 0)
            return std::chrono::milliseconds(std::min(ms, kMaxLockWaitMs));
    }
    return std::chrono::milliseconds(kDefaultLockWaitMs);
}

}  // namespace

LONG HiveFileLock::Acquire(const std::string& hive) {
    const std::string lockPath = hive + ".lock";
    const std::string folder = DirName(lockPath);
    if (std::string problem = platform::UntrustedFolder(folder, kHiveRules); !problem.empty()) {
        t_lastError = problem;
        return ERROR_ACCESS_DENIED;
    }
    LONG r = MakeDirs(folder);
    if (r != ERROR_SUCCESS)
        return r;
    // flock needs no write access, so whoever may open the lock file may keep every
    // writer out: only the hive's writers may open it.
    const mode_t mode = platform::IsGroupSharedFolder(folder) ? 0660 : 0600;
    fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, mode);
    if (fd_ < 0) {
        const int err = errno;
        t_lastError = lockPath + ": " + std::strerror(err);
        return ErrnoToResult(err, ERROR_CANTWRITE);
    }
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
        t_lastError = lockPath + ": " + std::strerror(errno);
        return ERROR_CANTWRITE;
    }
    if (std::string problem = platform::UntrustedFile(lockPath, kHiveRules, &st);
        !problem.empty()) {
        t_lastError = problem;
        return ERROR_ACCESS_DENIED;
    }
    // A lock file of an earlier version (0666 less the umask) is narrowed by its owner.
    if ((st.st_mode & 0777) != mode && st.st_uid == ::geteuid())
        ::fchmod(fd_, mode);
    // A lock cannot be waited for with a deadline, so it is tried again after pauses that
    // grow from 1 ms to 20 ms, until the wait runs out.
    const auto wait = LockWait();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            t_lastError = lockPath + ": " + std::strerror(errno);
            return ERROR_CANTWRITE;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            t_lastError = hive + ": registry busy: another process has held " + lockPath + " for " +
                          std::to_string(wait.count()) + " ms; nothing was written";
            return ERROR_BUSY;
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
    return ERROR_SUCCESS;
}

HiveFileLock::~HiveFileLock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}

LONG LoadLocked() {
    const std::string path = thermpos::platform::registry::HivePath();
    if (path != g_store.path) {
        g_store.path = path;
        g_store.root = std::make_unique<Node>();
        g_store.index.Forget();
        g_store.loaded = false;
        g_store.corrupt = false;
        g_store.settled = false;
    }
    if (!g_store.loaded || !g_store.settled || !StampUnchangedLocked(path)) {
        timespec readStart{};
        ::clock_gettime(CLOCK_REALTIME, &readStart);
        std::string bytes;
        std::string error;
        FileStamp stamp;
        struct stat opened {};
        LONG r = ReadWholeFile(path, &bytes, &error, &stamp, &opened);
        if (r == ERROR_SUCCESS) {
            // A hive another user may write could name their library for us to load.
            error = platform::UntrustedFile(path, kHiveRules, &opened);
            if (!error.empty())
                r = ERROR_ACCESS_DENIED;
        }
        if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) {
            g_store.settled = false;
            t_lastError = error;
            return r;
        }
        if (!g_store.loaded || bytes != g_store.text) {
            std::vector<detail::ParsedSection> sections;
            g_store.loaded = true;
            g_store.text = std::move(bytes);
            if (!detail::ParseRegFile(g_store.text, path, &sections, &error)) {
                // Keep the last good tree for handles already open, but refuse opens and
                // saves: writing our tree over a file we could not read would lose
                // whatever it holds.
                g_store.corrupt = true;
                g_store.corruptError = error;
            } else {
                auto root = std::make_unique<Node>();
                detail::ApplySections(sections, root.get());
                g_store.index.Forget();
                g_store.root = std::move(root);
                g_store.corrupt = false;
                g_store.corruptError.clear();
            }
        }
        g_store.stamp = stamp;
        g_store.settled = SettledAt(stamp, readStart);
    }
    if (g_store.corrupt) {
        t_lastError = g_store.corruptError;
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

LONG SaveLocked() {
    const std::string path = SaveTarget(g_store.path);
    std::string text;
    std::string error;
    const LONG checked = detail::WriteHiveText(*g_store.root, &text, &error);
    if (checked != ERROR_SUCCESS) {
        t_lastError = path + ": not saved: " + error;
        return checked;
    }
    // The old file's mode, but only its owner writes, unless the folder is shared with its
    // group on purpose: then the group keeps writing too.
    const bool shared = platform::IsGroupSharedFolder(DirName(path));
    mode_t mode = shared ? 0664 : 0644;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 0777;
    mode &= shared ? ~mode_t(S_IWOTH) : ~mode_t(S_IWGRP | S_IWOTH);
    RemoveStaleTemporaries(path);
    std::string tmp = path + ".XXXXXX";
    Fd fd(::mkstemp(tmp.data()));
    if (fd.get() < 0) {
        const int err = errno;
        t_lastError = path + ": cannot save: " + std::strerror(err);
        return ErrnoToResult(err, ERROR_CANTWRITE);
    }
    const auto fail = [&](int err) {
        t_lastError = path + ": cannot save: " + std::strerror(err);
        ::unlink(tmp.c_str());
        return ErrnoToResult(err, ERROR_CANTWRITE);
    };
    if (::fchmod(fd.get(), mode) != 0 || !WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0)
        return fail(errno);
    if (::close(fd.release()) != 0)
        return fail(errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return fail(errno);
    // The next load reads the file once more to take its stamp; the bytes are ours, so it
    // does not parse them.
    g_store.text = std::move(text);
    g_store.settled = false;
    return ERROR_SUCCESS;
}

}  // namespace thermpos::platform::registry::hive
