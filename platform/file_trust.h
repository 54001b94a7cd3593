// Whether a file another user could have written may be trusted: the rule ssh applies to
// its own files. A file, and every folder above it, must belong to root or to the caller
// (the effective user), and nobody else may be able to write it:
//   - a file is refused when its group or everyone may write it, or when it is owned by
//     someone else (a symbolic link as well as what it points to);
//   - a folder is refused when it is owned by someone else, or when its group or everyone
//     may write it, unless its sticky bit is set (/tmp, /dev/shm): there only the owner of
//     a file may rename or remove it, so a trusted file in it stays trusted;
//   - with `groupShared`, a folder with the set-group-ID bit that its group may write (and
//     everyone may not) is shared with that group on purpose: files in it whose group is
//     the folder's may be owned by any member and be writable by the group.
// The caller's immediate folder can be held to a stricter rule (`strictFolder`): no
// group or world write at all, sticky or not, for the folder of a library to be loaded.
//
// No state; any thread.
#pragma once

#include <sys/stat.h>

#include <string>

namespace thermpos::platform {

struct TrustRules {
    bool groupShared = false;   // accept a set-group-ID folder shared with its group
    bool strictFolder = false;  // the immediate folder must be writable by its owner only
};

// Why `path` (an existing file) may not be trusted, or empty when it may. `opened`, when
// given, is the fstat of the descriptor the caller opened, so that the file judged is the
// one read even when the name was swapped in between. *resolved, when given, receives the
// path with every symbolic link resolved.
[[nodiscard]] std::string UntrustedFile(const std::string& path, const TrustRules& rules,
                                        const struct stat* opened = nullptr,
                                        std::string* resolved = nullptr);

// Why the folder `dir` (or, when it does not exist yet, the nearest folder above it that
// does) may not be trusted to hold files, or empty when it may.
[[nodiscard]] std::string UntrustedFolder(const std::string& dir, const TrustRules& rules);

// The folder part of a path: "." for a bare name, "/" for a name in the root.
[[nodiscard]] std::string DirName(const std::string& path);

// Whether `dir` is a folder shared with its group on purpose (see above).
[[nodiscard]] bool IsGroupSharedFolder(const std::string& dir);

}  // namespace thermpos::platform
