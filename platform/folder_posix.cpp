// Trusted folders and files made inside them over POSIX. See folder.h.
//
// Threads: none started here; no locks (an open Folder is a descriptor, and openat,
// renameat and unlinkat on it may run on any thread).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/descriptor.h"
#include "platform/folder.h"

namespace thermpos::platform {

namespace {

std::string Octal(unsigned mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

std::string Owner(const struct stat& st) {
    return "uid " + std::to_string(st.st_uid) + " (mode " + Octal(st.st_mode) + ")";
}

// Whether gid is the caller's own group of one: the primary group named like the user,
// with no other members (where a umask of 002 makes every folder group-writable).
bool PersonalGroup(gid_t gid) {
    std::vector<char> buffer(16384);
    struct passwd pw {};
    struct passwd* user = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &user) != 0 || !user ||
        user->pw_gid != gid)
        return false;
    const std::string name = user->pw_name;
    std::vector<char> groupBuffer(65536);
    struct group gr {};
    struct group* group = nullptr;
    if (::getgrgid_r(gid, &gr, groupBuffer.data(), groupBuffer.size(), &group) != 0 || !group ||
        name != group->gr_name)
        return false;
    for (char** member = group->gr_mem; member && *member; ++member)
        if (name != *member)
            return false;
    return true;
}

// Empty when st (a folder's) satisfies rule.
std::string CheckFolder(const std::string& path, const struct stat& st, FolderRule rule) {
    if (!S_ISDIR(st.st_mode))
        return path + " is not a folder";
    if (rule == FolderRule::Any)
        return {};
    const uid_t me = ::geteuid();
    const bool othersWrite =
        (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && !PersonalGroup(st.st_gid));
    if (rule == FolderRule::Own) {
        if (st.st_uid != me)
            return path + " belongs to " + Owner(st) + ", not to this user (uid " +
                   std::to_string(me) + "); use a folder of your own";
        if (othersWrite)
            return path + " may be written by others (" + Owner(st) +
                   "); make it private (chmod go-w) or use another folder";
        return {};
    }
    if (st.st_uid != me && st.st_uid != 0)
        return path + " belongs to " + Owner(st) + ", neither this user (uid " +
               std::to_string(me) + ") nor root; remove it or use another folder";
    if (othersWrite && (st.st_mode & S_ISVTX) == 0)
        return path + " may be written by others without the sticky bit (" + Owner(st) +
               "); chmod +t or go-w, or use another folder";
    return {};
}

// The folder's own status, following a last-name link only when the caller or root made
// it. Empty with *st filled, or the problem.
std::string StatFolder(const std::string& path, FolderRule rule, struct stat* st) {
    if (::lstat(path.c_str(), st) != 0)
        return ErrnoMessage(path);
    if (S_ISLNK(st->st_mode)) {
        if (rule != FolderRule::Any && st->st_uid != ::geteuid() && st->st_uid != 0)
            return path + " is a symbolic link made by " + Owner(*st) + "; it is not followed";
        if (::stat(path.c_str(), st) != 0)
            return ErrnoMessage(path);
    }
    return {};
}

std::string RandomSuffix() {
    static std::atomic<unsigned> counter{0};
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uint64_t x =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(::getpid()) << 32) ^
        (static_cast<std::uint64_t>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull);
    std::string out;
    for (int i = 0; i < 6; ++i) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdull;
        x ^= x >> 29;
        out += kLetters[x % (sizeof kLetters - 1)];
    }
    return out;
}

}  // namespace

unsigned CallerUid() {
    return static_cast<unsigned>(::geteuid());
}

std::string FolderProblem(const std::string& path, FolderRule rule) {
    struct stat st {};
    std::string problem = StatFolder(path, rule, &st);
    return problem.empty() ? CheckFolder(path, st, rule) : problem;
}

bool MakeFolder(const std::string& given, FolderRule rule, std::string* error) {
    std::string path = given;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path.empty()) {
        *error = "no folder given";
        return false;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = ErrnoMessage(path);
            return false;
        }
        // mkdir -p: the folders above as a user's umask would make them (never writable by
        // others), the folder itself private.
        std::size_t pos = 0;
        while ((pos = path.find('/', pos + 1)) != std::string::npos) {
            const std::string partial = path.substr(0, pos);
            if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
                *error = ErrnoMessage(partial);
                return false;
            }
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = ErrnoMessage(path);
            return false;
        }
    }
    const std::string problem = FolderProblem(path, rule);
    if (!problem.empty()) {
        *error = problem;
        return false;
    }
    return true;
}

Folder::~Folder() {
    Close();
}

void Folder::Close() {
    CloseDescriptor(fd_);
    path_.clear();
}

bool Folder::Open(const std::string& path, FolderRule rule, bool create, std::string* error) {
    Close();
    if (create && !MakeFolder(path, rule, error))
        return false;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        *error = ErrnoMessage(path);
        return false;
    }
    // What was opened is checked, not the name: a folder swapped in after MakeFolder is
    // caught here.
    struct stat named {
    }, opened{};
    std::string problem = StatFolder(path, rule, &named);
    if (problem.empty() && ::fstat(fd, &opened) != 0)
        problem = ErrnoMessage(path);
    if (problem.empty() && (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino))
        problem = path + " changed while it was opened";
    if (problem.empty())
        problem = CheckFolder(path, opened, rule);
    if (!problem.empty()) {
        CloseDescriptor(fd);
        *error = problem;
        return false;
    }
    fd_ = fd;
    path_ = path;
    while (path_.size() > 1 && path_.back() == '/')
        path_.pop_back();
    return true;
}

std::FILE* Folder::CreateTemporary(const std::string& name, int mode, std::string* temporary,
                                   std::string* error) const {
    if (fd_ < 0) {
        *error = name + ": no folder open";
        return nullptr;
    }
    if (name.empty() || name.find('/') != std::string::npos) {
        *error = path_ + "/" + name + ": not a plain file name";
        return nullptr;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string candidate = name + ".tmp-" + RandomSuffix();
        const int fd =
            ::openat(fd_, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     static_cast<mode_t>(mode));
        if (fd < 0) {
            if (errno == EEXIST)
                continue;  // planted or left behind: another name
            *error = ErrnoMessage(path_ + "/" + candidate);
            return nullptr;
        }
        std::FILE* stream = ::fdopen(fd, "wb");
        if (!stream) {
            *error = ErrnoMessage(path_ + "/" + candidate);
            ::close(fd);
            ::unlinkat(fd_, candidate.c_str(), 0);
            return nullptr;
        }
        *temporary = candidate;
        return stream;
    }
    *error = path_ + "/" + name + ": no free temporary name";
    return nullptr;
}

bool Folder::Rename(const std::string& from, const std::string& to, std::string* error) const {
    if (fd_ < 0 || ::renameat(fd_, from.c_str(), fd_, to.c_str()) != 0) {
        *error = fd_ < 0 ? std::string("no folder open") : std::string(std::strerror(errno));
        return false;
    }
    return true;
}

void Folder::Remove(const std::string& name) const {
    if (fd_ >= 0)
        ::unlinkat(fd_, name.c_str(), 0);
}

bool CloseStream(std::FILE* stream, std::string* error) {
    bool ok = std::fflush(stream) == 0;
    if (!ok)
        *error = std::strerror(errno);
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        *error = std::strerror(errno);
    }
    return ok;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace thermpos::platform
