// Owner and mode checks of files another user could have written (see file_trust.h).
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_trust.h"

namespace thermpos::platform {
namespace {

std::string UserName(uid_t uid) {
    std::vector<char> buffer(4096);
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string name;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        name = std::string(found->pw_name) + " ";
    return name + "(uid " + std::to_string(uid) + ")";
}

std::string Described(const std::string& path, const struct stat& st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + ": owner " + UserName(st.st_uid) + ", mode " + mode;
}

// What every refusal ends with: the rule, and who counts as trusted.
std::string Refused(const std::string& what) {
    std::string you = ::geteuid() == 0 ? std::string("root") : "root or " + UserName(::geteuid());
    return what + "; only files and folders of " + you + " that no one else may write are used";
}

bool TrustedOwner(uid_t uid) {
    return uid == 0 || uid == ::geteuid();
}

bool SharedWithGroup(const struct stat& st) {
    return S_ISDIR(st.st_mode) && (st.st_mode & S_ISGID) && (st.st_mode & S_IWGRP) &&
           !(st.st_mode & S_IWOTH) && TrustedOwner(st.st_uid);
}

// The path with every link and "." or ".." resolved; empty when it cannot be.
std::string Canonical(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return {};
    std::string out(real);
    std::free(real);
    return out;
}

std::string FolderProblem(const std::string& dir, const struct stat& st, const TrustRules& rules,
                          bool immediate) {
    if (!S_ISDIR(st.st_mode))
        return dir + ": not a folder";
    if (!TrustedOwner(st.st_uid))
        return Refused(Described(dir, st) + ": a folder of another user");
    const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!othersWrite)
        return {};
    if (immediate && rules.strictFolder)
        return Refused(Described(dir, st) + ": a folder others may write");
    if ((st.st_mode & S_ISVTX) || (rules.groupShared && SharedWithGroup(st)))
        return {};
    return Refused(Described(dir, st) + ": a folder others may write");
}

// Checks a canonical folder and every folder above it.
std::string ChainProblem(std::string dir, const TrustRules& rules) {
    for (bool immediate = true;; immediate = false) {
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0)
            return dir + ": " + std::strerror(errno);
        std::string problem = FolderProblem(dir, st, rules, immediate);
        if (!problem.empty() || dir == "/")
            return problem;
        dir = DirName(dir);
    }
}

}  // namespace

std::string DirName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}


bool IsGroupSharedFolder(const std::string& dir) {
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 && SharedWithGroup(st);
}

std::string UntrustedFolder(const std::string& dir, const TrustRules& rules) {
    std::string existing = dir.empty() ? std::string(".") : dir;
    struct stat st;
    while (::stat(existing.c_str(), &st) != 0) {
        if (errno != ENOENT || existing == "/" || existing == ".")
            return existing + ": " + std::strerror(errno);
        existing = DirName(existing);
    }
    const std::string canonical = Canonical(existing);
    if (canonical.empty())
        return existing + ": " + std::strerror(errno);
    // A folder still to be made is made by the caller, so only the existing one is judged
    // as the file's own folder.
    return ChainProblem(canonical, rules);
}

std::string UntrustedFile(const std::string& path, const TrustRules& rules,
                          const struct stat* opened, std::string* resolved) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0)
        return path + ": " + std::strerror(errno);
    if (S_ISLNK(link.st_mode)) {
        // Whoever may change the link chooses the file.
        if (!TrustedOwner(link.st_uid))
            return Refused(Described(path, link) + ": a symbolic link of another user");
        const std::string linkDir = Canonical(DirName(path));
        if (linkDir.empty())
            return path + ": " + std::strerror(errno);
        if (std::string problem = ChainProblem(linkDir, TrustRules{rules.groupShared, false});
            !problem.empty())
            return problem;
    }
    const std::string real = Canonical(path);
    if (real.empty())
        return path + ": " + std::strerror(errno);
    if (resolved)
        *resolved = real;
    struct stat st;
    if (opened) {
        st = *opened;
    } else if (::stat(real.c_str(), &st) != 0) {
        return real + ": " + std::strerror(errno);
    }
    const std::string folder = DirName(real);
    struct stat dirSt;
    if (::stat(folder.c_str(), &dirSt) != 0)
        return folder + ": " + std::strerror(errno);
    const bool groupMember =
        rules.groupShared && SharedWithGroup(dirSt) && st.st_gid == dirSt.st_gid;
    if (!S_ISREG(st.st_mode))
        return real + ": not a regular file";
    if (!TrustedOwner(st.st_uid) && !groupMember)
        return Refused(Described(real, st) + ": a file of another user");
    if (st.st_mode & S_IWOTH)
        return Refused(Described(real, st) + ": everyone may write it");
    if ((st.st_mode & S_IWGRP) && !groupMember)
        return Refused(Described(real, st) + ": its group may write it");
    return ChainProblem(folder, rules);
}

}  // namespace thermpos::platform
