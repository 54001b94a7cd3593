// The Win32 error numbers the layers above expect, for the errno of a failed system call.
// Only the POSIX side of the platform needs them; a Win32 build has the numbers from the
// system itself.
//
// The same errno means different things on different objects, so each kind of object has
// its mapping, and each builds on the one before:
//   FileErrorFromErrno  a file of the platform's own (the hive, its lock file): access
//                       denied for EACCES, EPERM and EROFS, `notFound` for ENOENT, and
//                       `otherwise` for the rest;
//   PathErrorFromErrno  a path a caller named (a lock folder, a device path): as above with
//                       ERROR_GEN_FAILURE for the rest, and ENOTDIR 3, ENAMETOOLONG 206,
//                       ENOMEM 8;
//   devfile::ErrorFromErrno  a port's device (devfile.h): the device's own errors first.
//
// No state: any thread.
#pragma once

#include "platform/win32.h"

namespace thermpos::platform {

[[nodiscard]] LONG FileErrorFromErrno(int err, LONG notFound, LONG otherwise);
[[nodiscard]] LONG PathErrorFromErrno(int err, LONG notFound);

}  // namespace thermpos::platform
