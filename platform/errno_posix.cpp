// errno to Win32 error numbers. See errno_posix.h.
#include "platform/errno_posix.h"

#include <cerrno>

namespace thermpos::platform {

LONG FileErrorFromErrno(int err, LONG notFound, LONG otherwise) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
            return notFound;
        default:
            return otherwise;
    }
}

LONG PathErrorFromErrno(int err, LONG notFound) {
    switch (err) {
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return FileErrorFromErrno(err, notFound, ERROR_GEN_FAILURE);
    }
}

}  // namespace thermpos::platform
