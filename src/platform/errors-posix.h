// Windows error codes for POSIX failures, in one place for every call of the platform layer.
#ifndef TVX_PLATFORM_ERRORS_POSIX_H_
#define TVX_PLATFORM_ERRORS_POSIX_H_

#include "platform/winapi-posix.h"

/// Returns the Windows error code that the same failure gives on Windows: EBADF 6, ENOSPC and
/// EFBIG 112, EPIPE 232, EACCES, EPERM and EROFS 5, EIO 23, ENOENT, ENXIO and ENODEV 2, ENOTDIR 3,
/// ENOMEDIUM 21, EINVAL 87, anything else 31.
DWORD WindowsErrorFromErrno(int err);

/// Sets the last error from an errno value, through WindowsErrorFromErrno.
void SetLastErrorFromErrno(int err);

#endif  // TVX_PLATFORM_ERRORS_POSIX_H_
