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

// Reads `count` bytes of a drive at byte `at` into `bytes`, through its image's library or with
// pread, with the semantics of pread on a raw image: fewer bytes at the end, none past it. Adds
// the count read to `got`; FALSE, with the last error set, when a read fails (a library's failure
// is a data error, 23).
BOOL ReadDevice(const PosixHandle& state, char* bytes, uint64_t at, DWORD count, DWORD& got) {
  if (state.image != nullptr) {
    const int64_t read = state.image->Read(at, bytes, count);
    if (read < 0) {
      SetLastError(ERROR_CRC);
      return FALSE;
    }
    got += static_cast<DWORD>(read);
    return TRUE;
  }
  DWORD total = 0;
  while (total < count) {
    // pread refuses a range that ends beyond the largest offset; whatever lies there is past
    // the end of any drive, so the read ends there as it does at the end of the drive.
    const uint64_t from = at + total;
    const uint64_t room = static_cast<uint64_t>(INT64_MAX) - from;
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(count - total, room));
    if (wanted == 0) break;
    const ssize_t read = pread(state.fd, bytes + total, wanted, static_cast<off_t>(from));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) {
      got += total;
      SetLastErrorFromErrno(errno);
      return FALSE;
    }
    if (read == 0) break;  // the end of the drive
    total += static_cast<DWORD>(read);
  }
  got += total;
  return TRUE;
}

// Reads `count` bytes at the handle's position into `bytes`, giving the bytes it keeps from
// memory and reading only the rest; `got` becomes the count read.
BOOL ReadDrive(const PosixHandle& state, char* bytes, DWORD count, DWORD& got) {
  got = 0;
  while (got < count) {
    const uint64_t at = state.position + got;
    const KeptBytes* held = nullptr;
    uint64_t next = UINT64_MAX;
    for (const KeptBytes& kept : state.kept) {
      if (at >= kept.offset && at - kept.offset < kept.bytes.size()) held = &kept;
      if (kept.offset > at && kept.offset < next) next = kept.offset;
    }
    if (held != nullptr) {
      const DWORD piece = static_cast<DWORD>(
          std::min<uint64_t>(count - got, held->bytes.size() - (at - held->offset)));
      std::copy_n(held->bytes.data() + (at - held->offset), piece, bytes + got);
      got += piece;
      continue;
    }
    const DWORD piece = static_cast<DWORD>(std::min<uint64_t>(count - got, next - at));
    const DWORD before = got;
    if (!ReadDevice(state, bytes + got, at, piece, got)) return FALSE;
    if (got - before < piece) break;  // the end of the drive
  }
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
  std::string head, tail;
  ImageOpening opening = ImageOpening::kRaw;
  if (S_ISREG(info.st_mode)) {
    std::string format, reason;
    opening = OpenDiskImage(path, fd, static_cast<uint64_t>(info.st_size), image, format, reason,
                            &head, &tail);
    if (opening == ImageOpening::kUnreadable) {
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
  if (S_ISREG(info.st_mode) && opening == ImageOpening::kRaw) {
    // A raw image's bytes are the disk's: what the format check read is kept for the scan.
    const uint64_t tailStart = static_cast<uint64_t>(info.st_size) - tail.size();
    if (!head.empty()) state->kept.push_back({0, std::move(head)});
    if (!tail.empty() && tailStart >= kFileHeadBytes)
      state->kept.push_back({tailStart, std::move(tail)});
    state->headKept = true;
  }
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
  if (!state->standard) {
    // A read that fails moves nothing and counts nothing, whatever came in before it failed.
    if (!ReadDrive(*state, bytes, nNumberOfBytesToRead, total)) return FALSE;
    state->position += total;
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
    return TRUE;
  }
  // Standard input: one read(2), as much as it gives.
  ssize_t count;
  do {
    count = read(state->fd, bytes, nNumberOfBytesToRead);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    SetLastErrorFromErrno(errno);
    return FALSE;
  }
  total = static_cast<DWORD>(count);
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
