// Folders on Windows. Who may write in a folder is its access control list there, which a
// new folder inherits from its parent (a user's own folders are private by default); the
// owner and mode checks of the POSIX twin have no counterpart, so here a folder is
// checked for being one. Only MakeFolder and FolderProblem are built: the open Folder is
// used by programs that are not built for Windows.
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/folder.h"

namespace thermpos::platform {

std::string FolderProblem(const std::string& path, FolderRule) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return path + " does not exist";
    if (!std::filesystem::is_directory(path, ec))
        return path + " is not a folder";
    return {};
}

bool MakeFolder(const std::string& path, FolderRule rule, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        *error = path + ": " + ec.message();
        return false;
    }
    *error = FolderProblem(path, rule);
    return error->empty();
}

}  // namespace thermpos::platform
