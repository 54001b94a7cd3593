// Folders another user could have made or changed: checking that a folder may be trusted
// before files are made in it, making a private one, and making files in an open folder
// without following a link or reusing a file someone planted there.
//
// The rule is the one ssh applies to its own files: a folder is the caller's when the
// caller owns it and nobody else may write in it (a group with the caller alone in it, as
// a umask of 002 gives every folder, counts as the caller). A folder several users share
// (a lock folder, the folder of a socket) may also belong to root, and may be writable by
// others when its sticky bit keeps them from removing or renaming what is not theirs. A
// symbolic link as the folder's last name is followed only when the caller or root made
// it. The folders above the last name are not checked: a Folder keeps the folder open and
// makes every file relative to it, so renaming a parent afterwards changes nothing.
//
// Thread safety: the functions touch only their arguments. A Folder is opened and closed
// by one thread; while it is open any thread may make, rename and remove files in it.
#pragma once

#include <cstdio>
#include <string>

namespace thermpos::platform {

enum class FolderRule {
    Any,     // no ownership check (a folder named by a trusted caller, for one file)
    Own,     // owned by the caller, writable by nobody else
    Shared,  // owned by the caller or root; writable by others only with the sticky bit
};

// Empty when the folder at path exists and satisfies rule; otherwise one sentence saying
// what is wrong, naming the folder, its owner and its mode ("/tmp/wb belongs to uid 65534
// (mode 0755), not to this user (uid 0)").
[[nodiscard]] std::string FolderProblem(const std::string& path, FolderRule rule);

// Makes path with mode 0700 (missing folders above it 0755, less the umask), or accepts
// an existing folder that satisfies rule. False with *error (FolderProblem's sentence).
[[nodiscard]] bool MakeFolder(const std::string& path, FolderRule rule, std::string* error);

// The uid of the calling process (its effective user), for messages and checks.
unsigned CallerUid();

// An open folder: every file is made relative to it, so a folder checked once stays the
// folder written to.
class Folder {
  public:
    Folder() = default;
    ~Folder();  // Close()
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // MakeFolder when create is true (else the folder must exist), then opens it. False
    // with *error; the object is closed then.
    [[nodiscard]] bool Open(const std::string& path, FolderRule rule, bool create,
                            std::string* error);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }
    void Close();

    // Makes a new file for writing under a temporary name beside `name`
    // ("name.tmp-XXXXXX"), never following a link and never opening a file that exists
    // (O_CREAT | O_EXCL | O_NOFOLLOW), with the given mode less the umask. Returns the
    // stream (close it with fclose) and sets *temporary; null with *error.
    std::FILE* CreateTemporary(const std::string& name, int mode, std::string* temporary,
                               std::string* error) const;
    // Renames a file of this folder over `to` in it (a link at `to` is replaced, not
    // followed). False with *error.
    [[nodiscard]] bool Rename(const std::string& from, const std::string& to,
                              std::string* error) const;
    // Removes a file of this folder, if it is there.
    void Remove(const std::string& name) const;

  private:
    int fd_ = -1;
    std::string path_;
};

// Writes a whole file through write(stream), under a temporary name in folder that is
// renamed to `name` only when everything was written: a reader never sees half a file,
// and a link or file planted under either name is never written through. False with
// *error ("FOLDER/NAME: reason"); nothing is left behind then.
template <typename WriteFn>
[[nodiscard]] bool ReplaceFile(const Folder& folder, const std::string& name, int mode,
                               WriteFn&& write, std::string* error);

// The last name of a path and the folder it is in ("." for a bare name).
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// ---------------------------------------------------------------------------------------

// Finishes a stream made by CreateTemporary: flush and close; false with *error.
[[nodiscard]] bool CloseStream(std::FILE* stream, std::string* error);

template <typename WriteFn>
bool ReplaceFile(const Folder& folder, const std::string& name, int mode, WriteFn&& write,
                 std::string* error) {
    std::string temporary;
    std::FILE* stream = folder.CreateTemporary(name, mode, &temporary, error);
    if (!stream)
        return false;
    std::string why;
    bool ok = write(stream, &why);
    std::string closing;
    if (!CloseStream(stream, &closing) && ok) {
        ok = false;
        why = closing;
    }
    if (ok && !folder.Rename(temporary, name, &why))
        ok = false;
    if (!ok) {
        folder.Remove(temporary);
        *error = folder.Path() + "/" + name + ": " + why;
    }
    return ok;
}

}  // namespace thermpos::platform
