// Registry store over one `.reg` file (see registry.h for the contract).
//
// Threads: none started here. Any thread may call in.
// Locks, in order:
//   1. g_mutex: this process's tree, file identity and handle table (everything in Store).
//   2. flock(LOCK_EX) on "<hive>.lock": held only while a change is re-read, applied and
//      saved, so writers in different processes take turns and none loses another's
//      change. Readers take no file lock: a save replaces the file by rename, so a reader
//      always opens either the old or the new file, never half of one.
#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/reg_limits.h"
#include "platform/reg_text.h"

using thermpos::registry::kMaxFileSize;
using thermpos::registry::kMaxKeyDepth;
using thermpos::registry::kMaxValueSize;
using thermpos::registry::detail::Node;
using thermpos::registry::detail::Value;
namespace detail = thermpos::registry::detail;

// A handle names its key by path, so a key deleted behind its back (by this process or
// another) is noticed instead of being written into a detached node.
struct RegistryKeyObject {
    std::vector<std::string> path;  // names below HKEY_LOCAL_MACHINE, as stored
    REGSAM sam = 0;
};

namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | 0x00010000 /*DELETE*/ |
                                0x00040000 /*WRITE_DAC*/ | 0x00080000 /*WRITE_OWNER*/;

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

std::mutex g_mutex;
Store g_store;  // guarded by g_mutex
thread_local std::string t_lastError;

LONG ErrnoToResult(int err, LONG fallback) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        default:
            return fallback;
    }
}

std::string DirName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

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

// Reads a whole regular file. A missing file is reported as ERROR_FILE_NOT_FOUND without
// text in *error, because a missing hive is an empty one. Anything else (a pipe, a
// device, a folder) is refused before it is opened, and opened without blocking in case
// it was swapped for one in between: opening a pipe waits for a writer, and opening a
// serial device can wait for its carrier or move its modem lines.
LONG ReadWholeFile(const std::string& path, std::string* bytes, std::string* error,
                   FileStamp* stamp = nullptr) {
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

// The file a save replaces. A hive reached through a symbolic link is saved where the
// link points, so the link survives the rename.
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

// Whether this process may change the hive: the file (or, before it exists, the nearest
// existing folder on its path) must be writable. A file without any write permission bit
// counts as read-only even for root, so that marking the hive read-only works everywhere.
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

class HiveFileLock {
  public:
    LONG Acquire(const std::string& hive) {
        const std::string lockPath = hive + ".lock";
        LONG r = MakeDirs(DirName(lockPath));
        if (r != ERROR_SUCCESS)
            return r;
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            const int err = errno;
            t_lastError = lockPath + ": " + std::strerror(err);
            return ErrnoToResult(err, ERROR_CANTWRITE);
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                t_lastError = lockPath + ": " + std::strerror(errno);
                return ERROR_CANTWRITE;
            }
        }
        return ERROR_SUCCESS;
    }
    ~HiveFileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }

  private:
    int fd_ = -1;
};

// --- the store; every function below expects g_mutex held ---------------------------

// How long after its last change a file's stamp is not yet proof of its bytes. File
// times move in ticks (a few milliseconds on Linux file systems, a second or two on old
// ones), so a write in place within the tick of the change we read leaves the stamp as
// it was. A change older than this is safe: any later write gets a later ctime, which no
// one can set back.
constexpr time_t kSettleSeconds = 3;

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

// Brings the tree up to date with the hive file. A settled file whose stamp has not
// changed is not read at all; otherwise the file is read, and parsed only when its bytes
// differ from those the tree came from. So another process's change is seen at the next
// open, and a walk over a large hive costs one stat per open.
LONG LoadLocked() {
    const std::string path = thermpos::registry::HivePath();
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
        const LONG r = ReadWholeFile(path, &bytes, &error, &stamp);
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

// Writes the tree to a temporary file beside the hive and renames it over the hive.
LONG SaveLocked() {
    const std::string path = SaveTarget(g_store.path);
    std::string text;
    std::string error;
    const LONG checked = detail::WriteHiveText(*g_store.root, &text, &error);
    if (checked != ERROR_SUCCESS) {
        t_lastError = path + ": not saved: " + error;
        return checked;
    }
    mode_t mode = 0644;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
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

// Runs one change under the hive's file lock on a freshly read tree and saves it when it
// changed anything. `apply(root, &changed)` returns a result code; on any failure the
// tree is read again so memory never holds a change the file does not.
template <typename Apply>
LONG MutateLocked(Apply&& apply) {
    const std::string path = thermpos::registry::HivePath();
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

// The path and rights a handle stands for.
LONG ResolveLocked(HKEY key, std::vector<std::string>* path, REGSAM* sam) {
    if (key == HKEY_LOCAL_MACHINE) {
        path->clear();
        *sam = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (key == HKEY_CLASSES_ROOT) {
        *path = {"SOFTWARE", "Classes"};
        *sam = KEY_ALL_ACCESS;
        return ERROR_SUCCESS;
    }
    if (!key || !g_store.handles.count(key))
        return ERROR_INVALID_HANDLE;
    *path = key->path;
    *sam = key->sam;
    return ERROR_SUCCESS;
}

bool IsPredefined(HKEY key) {
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT;
}

// A child of a node of g_store.root (or of the tree a change is being applied to).
Node* ChildLocked(Node* parent, std::string_view name) {
    return g_store.mutating ? parent->FindChild(name) : g_store.index.Child(parent, name);
}

Node* FindLocked(Node* root, const std::vector<std::string>& path) {
    Node* node = root;
    for (const auto& name : path) {
        node = ChildLocked(node, name);
        if (!node)
            return nullptr;
    }
    return node;
}

// The node a handle refers to: ERROR_KEY_DELETED once its key is gone (a predefined
// root's missing subtree reads as "not found" instead).
LONG HandleNodeLocked(HKEY key, Node* root, Node** node, REGSAM* sam) {
    std::vector<std::string> path;
    LONG r = ResolveLocked(key, &path, sam);
    if (r != ERROR_SUCCESS)
        return r;
    *node = FindLocked(root, path);
    if (!*node)
        return IsPredefined(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

LONG SubPath(HKEY key, const char* subKey, std::vector<std::string>* full, REGSAM* sam) {
    LONG r = ResolveLocked(key, full, sam);
    if (r != ERROR_SUCCESS)
        return r;
    std::vector<std::string> names;
    if (subKey && !detail::SplitPath(subKey, &names))
        return ERROR_INVALID_PARAMETER;
    for (const auto& name : names) {
        if (!thermpos::registry::IsValidKeyName(name))
            return ERROR_INVALID_PARAMETER;
    }
    full->insert(full->end(), names.begin(), names.end());
    if (full->size() > kMaxKeyDepth)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

HKEY NewHandleLocked(const std::vector<std::string>& path, REGSAM sam) {
    auto handle = std::make_unique<RegistryKeyObject>();
    // Keep the stored spelling so the handle keeps working whatever case the caller used.
    Node* node = g_store.root.get();
    for (const auto& name : path) {
        node = node ? ChildLocked(node, name) : nullptr;
        handle->path.push_back(node ? node->name : name);
    }
    handle->sam = sam;
    HKEY raw = handle.release();
    g_store.handles.insert(raw);
    return raw;
}

// The full path of `subKey` below `key` on a freshly read tree; the key itself must still
// exist, the subkey need not.
LONG OpenSubPathLocked(HKEY key, const char* subKey, std::vector<std::string>* full) {
    REGSAM parentSam;
    LONG r = SubPath(key, subKey, full, &parentSam);
    if (r != ERROR_SUCCESS)
        return r;
    r = LoadLocked();
    if (r != ERROR_SUCCESS)
        return r;
    if (!IsPredefined(key) && !FindLocked(g_store.root.get(), key->path))
        return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

// The node a reading call works on. An opened handle's tree is already in memory; a
// predefined root may be the first use of the hive, so that reads it.
LONG ReadNodeLocked(HKEY key, Node** node) {
    if (IsPredefined(key)) {
        const LONG r = LoadLocked();
        if (r != ERROR_SUCCESS)
            return r;
    }
    REGSAM sam;
    return HandleNodeLocked(key, g_store.root.get(), node, &sam);
}

LONG CheckSetValueLocked(HKEY key) {
    std::vector<std::string> path;
    REGSAM sam;
    const LONG r = ResolveLocked(key, &path, &sam);
    if (r != ERROR_SUCCESS)
        return r;
    return (sam & KEY_SET_VALUE) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Callers have checked that a `data` buffer holds the whole value.
void CopyValueOut(const Value& v, DWORD* type, BYTE* data, DWORD* cbData) {
    const DWORD size = static_cast<DWORD>(v.data.size());
    if (type)
        *type = v.type;
    if (data && size)
        std::memcpy(data, v.data.data(), size);
    if (cbData)
        *cbData = size;
}

const char* ValueNameOf(const char* name) {
    return name ? name : "";
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

bool ParseRootName(std::string_view root, std::vector<std::string>* path) {
    if (detail::NamesEqual(root, "HKEY_LOCAL_MACHINE") || detail::NamesEqual(root, "HKLM")) {
        path->clear();
        return true;
    }
    if (detail::NamesEqual(root, "HKEY_CLASSES_ROOT") || detail::NamesEqual(root, "HKCR")) {
        *path = {"SOFTWARE", "Classes"};
        return true;
    }
    return false;
}

}  // namespace

namespace thermpos::registry {

std::string HivePath() {
    const char* env = std::getenv("THERMPOS_REGISTRY");
    return (env && *env) ? std::string(env) : std::string("/etc/thermpos/registry.reg");
}

std::size_t OpenHandleCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_store.handles.size();
}

std::string LastError() {
    return t_lastError;
}

LONG ImportFile(const std::string& path, std::string* error) {
    std::string bytes;
    std::string message;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    LONG r = ReadWholeFile(path, &bytes, &message);
    if (r == ERROR_FILE_NOT_FOUND)
        message = path + ": no such file";
    std::vector<detail::ParsedSection> sections;
    if (r == ERROR_SUCCESS && !detail::ParseRegFile(bytes, path, &sections, &message))
        r = ERROR_BADDB;
    if (r == ERROR_SUCCESS && bytes.empty()) {
        message = path + ":1: empty file";
        r = ERROR_BADDB;
    }
    if (r == ERROR_SUCCESS) {
        r = MutateLocked([&](Node& root, bool* changed) {
            *changed = detail::ApplySections(sections, &root);
            return ERROR_SUCCESS;
        });
        if (r != ERROR_SUCCESS)
            message = t_lastError.empty() ? "import failed" : t_lastError;
    }
    if (r != ERROR_SUCCESS) {
        t_lastError = message;
        if (error)
            *error = message;
    }
    return r;
}

LONG ExportFile(const std::string& keyPath, const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    const auto fail = [&](LONG r, const std::string& message) {
        t_lastError = message;
        if (error)
            *error = message;
        return r;
    };
    const std::size_t slash = keyPath.find('\\');
    std::vector<std::string> full;
    if (!ParseRootName(std::string_view(keyPath).substr(0, slash), &full))
        return fail(ERROR_INVALID_PARAMETER, "key must start with HKEY_LOCAL_MACHINE: " + keyPath);
    std::vector<std::string> names;
    if (slash != std::string::npos &&
        !detail::SplitPath(std::string_view(keyPath).substr(slash + 1), &names))
        return fail(ERROR_INVALID_PARAMETER, "bad key path: " + keyPath);
    full.insert(full.end(), names.begin(), names.end());
    LONG r = LoadLocked();
    if (r != ERROR_SUCCESS)
        return fail(r, t_lastError);
    const Node* node = FindLocked(g_store.root.get(), full);
    if (!node)
        return fail(ERROR_FILE_NOT_FOUND, "no such key: " + keyPath);
    std::vector<std::string> stored;
    Node* walk = g_store.root.get();
    for (const auto& name : full) {
        walk = ChildLocked(walk, name);
        stored.push_back(walk->name);
    }
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    detail::WriteKeyText(*node, stored, &text);
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0 || !WriteAll(fd.get(), text) || ::close(fd.release()) != 0) {
        const int err = errno;
        return fail(ErrnoToResult(err, ERROR_CANTWRITE), path + ": " + std::strerror(err));
    }
    return ERROR_SUCCESS;
}

}  // namespace thermpos::registry

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD /*options*/, REGSAM sam, PHKEY result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    std::vector<std::string> full;
    LONG r = OpenSubPathLocked(key, subKey, &full);
    if (r != ERROR_SUCCESS)
        return r;
    if (!FindLocked(g_store.root.get(), full))
        return ERROR_FILE_NOT_FOUND;
    if ((sam & kWriteRights) && !HiveWritable(g_store.path))
        return ERROR_ACCESS_DENIED;
    *result = NewHandleLocked(full, sam);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, const char* subKey, DWORD /*reserved*/, char* /*className*/,
                     DWORD /*options*/, REGSAM sam, void* /*security*/, PHKEY result,
                     DWORD* disposition) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    std::vector<std::string> full;
    LONG r = OpenSubPathLocked(key, subKey, &full);
    if (r != ERROR_SUCCESS)
        return r;
    bool created = false;
    if (!FindLocked(g_store.root.get(), full)) {
        r = MutateLocked([&](Node& root, bool* changed) {
            if (!IsPredefined(key) && !FindLocked(&root, key->path))
                return ERROR_KEY_DELETED;
            Node* node = &root;
            for (const auto& name : full) {
                Node* child = node->FindChild(name);
                if (!child) {
                    node->subkeys.push_back(std::make_unique<Node>());
                    child = node->subkeys.back().get();
                    child->name = name;
                    *changed = true;
                }
                node = child;
            }
            created = *changed;
            return ERROR_SUCCESS;
        });
        if (r != ERROR_SUCCESS)
            return r;
    }
    if ((sam & kWriteRights) && !HiveWritable(g_store.path))
        return ERROR_ACCESS_DENIED;
    *result = NewHandleLocked(full, sam);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (IsPredefined(key))
        return ERROR_SUCCESS;
    if (!key || !g_store.handles.erase(key))
        return ERROR_INVALID_HANDLE;
    delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* /*reserved*/, DWORD* type, BYTE* data,
                      DWORD* cbData) {
    if (data && !cbData)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    Node* node;
    const LONG r = ReadNodeLocked(key, &node);
    if (r != ERROR_SUCCESS)
        return r;
    const Value* v = node->FindValue(ValueNameOf(valueName));
    if (!v)
        return ERROR_FILE_NOT_FOUND;
    const DWORD size = static_cast<DWORD>(v->data.size());
    if (data && *cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    CopyValueOut(*v, type, data, cbData);
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD /*reserved*/, DWORD type,
                    const BYTE* data, DWORD cbData) {
    const std::string name = ValueNameOf(valueName);
    if (!thermpos::registry::IsValidValueName(name) || cbData > kMaxValueSize || (!data && cbData))
        return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes(data, data + cbData);
    // A string stored without its terminating zero would send every reader that trusts
    // the stored size past the end of its text, so the store always terminates it; the
    // zero counts toward the limit.
    if (IsStringType(type) && (bytes.empty() || bytes.back() != 0))
        bytes.push_back(0);
    if (bytes.size() > kMaxValueSize)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    LONG r = CheckSetValueLocked(key);
    if (r != ERROR_SUCCESS)
        return r;
    return MutateLocked([&](Node& root, bool* changed) {
        Node* node;
        REGSAM ignored;
        const LONG found = HandleNodeLocked(key, &root, &node, &ignored);
        if (found != ERROR_SUCCESS)
            return found;
        Value* v = node->FindValue(name);
        if (!v) {
            node->values.push_back(Value{name, type, std::move(bytes)});
            *changed = true;
        } else if (v->type != type || v->data != bytes) {
            v->type = type;
            v->data = std::move(bytes);
            *changed = true;
        }
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueA(HKEY key, const char* valueName) {
    const std::string name = ValueNameOf(valueName);
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    LONG r = CheckSetValueLocked(key);
    if (r != ERROR_SUCCESS)
        return r;
    // Look before taking the file lock: deleting what is not there changes nothing.
    Node* node;
    REGSAM ignored;
    r = HandleNodeLocked(key, g_store.root.get(), &node, &ignored);
    if (r != ERROR_SUCCESS)
        return r;
    return MutateLocked([&](Node& root, bool* changed) {
        const LONG found = HandleNodeLocked(key, &root, &node, &ignored);
        if (found != ERROR_SUCCESS)
            return found;
        for (auto it = node->values.begin(); it != node->values.end(); ++it) {
            if (detail::NamesEqual(it->name, name)) {
                node->values.erase(it);
                *changed = true;
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

namespace {

// Deletes the key at `full`; with `onlyIfLeaf` a key with subkeys stays and the call gives
// ERROR_ACCESS_DENIED, as RegDeleteKey does.
LONG DeleteKeyLocked(HKEY key, const std::vector<std::string>& full, bool onlyIfLeaf) {
    if (full.empty())
        return ERROR_ACCESS_DENIED;  // HKEY_LOCAL_MACHINE itself
    return MutateLocked([&](Node& root, bool* changed) {
        if (!IsPredefined(key) && !FindLocked(&root, key->path))
            return ERROR_KEY_DELETED;
        Node* parent = FindLocked(&root, std::vector<std::string>(full.begin(), full.end() - 1));
        if (!parent)
            return ERROR_FILE_NOT_FOUND;
        auto& kids = parent->subkeys;
        for (auto it = kids.begin(); it != kids.end(); ++it) {
            if (!detail::NamesEqual((*it)->name, full.back()))
                continue;
            if (onlyIfLeaf && !(*it)->subkeys.empty())
                return ERROR_ACCESS_DENIED;
            kids.erase(it);
            *changed = true;
            return ERROR_SUCCESS;
        }
        return ERROR_FILE_NOT_FOUND;
    });
}

}  // namespace

LONG RegDeleteKeyA(HKEY key, const char* subKey) {
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    std::vector<std::string> full;
    REGSAM sam;
    const LONG r = SubPath(key, subKey, &full, &sam);
    if (r != ERROR_SUCCESS)
        return r;
    return DeleteKeyLocked(key, full, true);
}

LONG RegDeleteTreeA(HKEY key, const char* subKey) {
    std::lock_guard<std::mutex> lock(g_mutex);
    t_lastError.clear();
    std::vector<std::string> full;
    REGSAM sam;
    const LONG r = SubPath(key, subKey, &full, &sam);
    if (r != ERROR_SUCCESS)
        return r;
    if (subKey && *subKey)
        return DeleteKeyLocked(key, full, false);
    return MutateLocked([&](Node& root, bool* changed) {
        Node* node;
        REGSAM ignored;
        const LONG found = HandleNodeLocked(key, &root, &node, &ignored);
        if (found != ERROR_SUCCESS)
            return found;
        *changed = !node->values.empty() || !node->subkeys.empty();
        node->values.clear();
        node->subkeys.clear();
        return ERROR_SUCCESS;
    });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cchName, DWORD* /*reserved*/,
                   char* className, DWORD* cchClassName, void* lastWriteTime) {
    if (!name || !cchName)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    Node* node;
    const LONG r = ReadNodeLocked(key, &node);
    if (r != ERROR_SUCCESS)
        return r;
    if (index >= node->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& child = node->subkeys[index]->name;
    if (*cchName < child.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(name, child.c_str(), child.size() + 1);
    *cchName = static_cast<DWORD>(child.size());
    if (className && cchClassName && *cchClassName)
        className[0] = '\0';
    if (cchClassName)
        *cchClassName = 0;
    if (lastWriteTime)
        std::memset(lastWriteTime, 0, 8);  // FILETIME; the text file keeps no times
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY key, DWORD index, char* valueName, DWORD* cchValueName, DWORD* /*reserved*/,
                   DWORD* type, BYTE* data, DWORD* cbData) {
    if (!valueName || !cchValueName || (data && !cbData))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(g_mutex);
    Node* node;
    const LONG r = ReadNodeLocked(key, &node);
    if (r != ERROR_SUCCESS)
        return r;
    if (index >= node->values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& v = node->values[index];
    const DWORD size = static_cast<DWORD>(v.data.size());
    const bool nameFits = *cchValueName >= v.name.size() + 1;
    const bool dataFits = !data || *cbData >= size;
    if (!nameFits || !dataFits) {
        if (cbData && !dataFits)
            *cbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(valueName, v.name.c_str(), v.name.size() + 1);
    *cchValueName = static_cast<DWORD>(v.name.size());
    CopyValueOut(v, type, data, cbData);
    return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> path;
    REGSAM sam;
    // Every change is already on disk when its call returns.
    return ResolveLocked(key, &path, &sam);
}
