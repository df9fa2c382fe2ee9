#include "platform/errors-posix.h"

#include <cerrno>

namespace {

struct ErrnoMapping {
  int err;
  DWORD code;
};

constexpr ErrnoMapping kErrnoMappings[] = {
    {EBADF, ERROR_INVALID_HANDLE},  {ENOSPC, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},       {EPIPE, ERROR_NO_DATA},
    {EACCES, ERROR_ACCESS_DENIED},  {EPERM, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},   {EIO, ERROR_CRC},
    {ENOENT, ERROR_FILE_NOT_FOUND}, {ENXIO, ERROR_FILE_NOT_FOUND},
    {ENODEV, ERROR_FILE_NOT_FOUND}, {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ENOMEDIUM, ERROR_NOT_READY},   {EINVAL, ERROR_INVALID_PARAMETER},
};

// Per thread, as on Windows: a device call made on a worker thread leaves its code there.
thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

DWORD WindowsErrorFromErrno(int err) {
  for (const ErrnoMapping& mapping : kErrnoMappings) {
    if (mapping.err == err) return mapping.code;
  }
  return ERROR_GEN_FAILURE;
}

void SetLastErrorFromErrno(int err) {
  SetLastError(WindowsErrorFromErrno(err));
}

DWORD GetLastError() {
  return lastError;
}

void SetLastError(DWORD dwErrCode) {
  lastError = dwErrCode;
}
