// Drive and volume calls on POSIX. Every drive is opened read-only, whatever access is asked
// for: the program never writes to a drive, and a read-only open is what lets a write-protected
// evidence drive be read at all. Each handle keeps its own position, moved only by
// SetFilePointer and ReadFile, so a seek never touches the device and reads use pread. A file in
// a disk image container format is read through its format's library (disk_image-posix.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/device_paths-posix.h"
#include "platform/disk_image-posix.h"
#include "platform/drive_queries-posix.h"
#include "platform/errors-posix.h"
#include "platform/handles-posix.h"
#include "platform/winapi-posix.h"

namespace {

// True for what a drive path may lead to: a disk or volume image, or a block device.
bool IsDriveLike(const struct stat& info) {
  return S_ISREG(info.st_mode) || S_ISBLK(info.st_mode);
}

// Returns the drive handle behind `handle`, or nullptr with the last error set.
PosixHandle* DriveHandle(HANDLE handle) {
  PosixHandle* state = HandleState(handle);
  if (state != nullptr && state->standard) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return state;
}

// Reads through a disk image's library at the handle's position, with the semantics of pread on
// a raw image: fewer bytes at the end, none past it. A failing read is a data error (23).
BOOL ReadImage(PosixHandle& state, void* buffer, DWORD count, DWORD& total) {
  const int64_t got = state.image->Read(state.position, buffer, count);
  if (got < 0) {
    SetLastError(ERROR_CRC);
    return FALSE;
  }
  total = static_cast<DWORD>(got);
  state.position += total;
  return TRUE;
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD /*dwDesiredAccess*/, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  RecordOpenOutcome("", "");
  const std::string path = ResolveDevicePath(lpFileName != nullptr ? lpFileName : "");
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Look before opening: opening a FIFO, a terminal or a tape could block or act on the device.
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  if (!IsDriveLike(info)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // Non-blocking, as eject opens it: an optical drive without a disc still opens and answers.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return INVALID_HANDLE_VALUE;
  }
  if (fstat(fd, &info) != 0 || !IsDriveLike(info)) {
    close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<DiskImage> image;
  if (S_ISREG(info.st_mode)) {
    std::string format, reason;
    if (OpenDiskImage(path, fd, static_cast<uint64_t>(info.st_size), image, format, reason) ==
        ImageOpening::kUnreadable) {
      // Never read a container's own bytes as if they were the disk.
      close(fd);
      RecordOpenOutcome(format, reason);
      SetLastError(ERROR_NOT_SUPPORTED);
      return INVALID_HANDLE_VALUE;
    }
  }
  SetLastError(ERROR_SUCCESS);
  auto* state = new PosixHandle{kHandleMagic, fd, false, 0};
  state->image = image.release();
  return state;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
  PosixHandle* state = DriveHandle(hFile);
  if (state == nullptr) return INVALID_SET_FILE_POINTER;
  int64_t distance = lDistanceToMove;
  if (lpDistanceToMoveHigh != nullptr) {
    distance = static_cast<int64_t>(
        (static_cast<uint64_t>(static_cast<uint32_t>(*lpDistanceToMoveHigh)) << 32) |
        static_cast<uint32_t>(lDistanceToMove));
  }
  int64_t base = 0;
  if (dwMoveMethod == FILE_CURRENT) {
    base = static_cast<int64_t>(state->position);
  } else if (dwMoveMethod == FILE_END) {
    uint64_t length = 0;
    if (!DriveLength(*state, length)) return INVALID_SET_FILE_POINTER;
    base = static_cast<int64_t>(length);
  } else if (dwMoveMethod != FILE_BEGIN) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t position = 0;
  if (__builtin_add_overflow(base, distance, &position)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (position < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  state->position = static_cast<uint64_t>(position);
  if (lpDistanceToMoveHigh != nullptr) {
    *lpDistanceToMoveHigh = static_cast<LONG>(static_cast<uint32_t>(state->position >> 32));
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(state->position & 0xFFFFFFFFu);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED /*lpOverlapped*/) {
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  PosixHandle* state = HandleState(hFile);
  if (state == nullptr) return FALSE;
  auto* bytes = static_cast<char*>(lpBuffer);
  DWORD total = 0;
  if (state->image != nullptr) {
    const BOOL read = ReadImage(*state, lpBuffer, nNumberOfBytesToRead, total);
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
    return read;
  }
  while (total < nNumberOfBytesToRead) {
    ssize_t count;
    if (state->standard) {
      count = read(state->fd, bytes + total, nNumberOfBytesToRead - total);
    } else {
      // pread refuses a range that ends beyond the largest offset; whatever lies there is past
      // the end of any drive, so the read ends there as it does at the end of the drive.
      const uint64_t at = state->position + total;
      const uint64_t room = static_cast<uint64_t>(INT64_MAX) - at;
      const DWORD wanted =
          static_cast<DWORD>(std::min<uint64_t>(nNumberOfBytesToRead - total, room));
      if (wanted == 0) break;
      count = pread(state->fd, bytes + total, wanted, static_cast<off_t>(at));
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    if (count == 0) break;  // end of the drive or of the input
    total += static_cast<DWORD>(count);
    if (state->standard) break;
  }
  if (!state->standard) state->position += total;
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
  return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID /*lpInBuffer*/,
                     DWORD /*nInBufferSize*/, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED /*lpOverlapped*/) {
  if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
  PosixHandle* state = DriveHandle(hDevice);
  if (state == nullptr) return FALSE;
  if (dwIoControlCode == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX ||
      dwIoControlCode == IOCTL_DISK_GET_LENGTH_INFO) {
    return AnswerDiskQuery(*state, dwIoControlCode, lpOutBuffer, nOutBufferSize, lpBytesReturned);
  }
  if (dwIoControlCode != IOCTL_STORAGE_GET_DEVICE_NUMBER) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (lpOutBuffer == nullptr || nOutBufferSize < sizeof(STORAGE_DEVICE_NUMBER)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  struct stat info {};
  STORAGE_DEVICE_NUMBER answer{};
  if (fstat(state->fd, &info) != 0 || !S_ISBLK(info.st_mode) ||
      !QueryDeviceNumber(info.st_rdev, answer)) {
    // An image file, a device-mapper volume or anything else on no physical drive.
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  *static_cast<STORAGE_DEVICE_NUMBER*>(lpOutBuffer) = answer;
  if (lpBytesReturned != nullptr) *lpBytesReturned = sizeof(STORAGE_DEVICE_NUMBER);
  return TRUE;
}

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
  const std::string root = lpRootPathName != nullptr ? lpRootPathName : "";
  if (root.size() < 2 || root[1] != ':') return DRIVE_NO_ROOT_DIR;
  const std::string path = ResolveDevicePath("\\\\.\\" + root.substr(0, 2));
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
}

BOOL CloseHandle(HANDLE hObject) {
  PosixHandle* state = HandleState(hObject);
  if (state == nullptr) return FALSE;
  if (state->standard) return TRUE;
  state->magic = 0;
  delete state->image;
  close(state->fd);
  delete state;
  return TRUE;
}
