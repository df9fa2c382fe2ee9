#include "platform/drive_queries-posix.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/bytes.h"
#include "platform/disk_image-posix.h"
#include "platform/errors-posix.h"

namespace {

constexpr DWORD kTracksPerCylinder = 255;
constexpr DWORD kSectorsPerTrack = 63;

// Reads `count` bytes at `offset` of what the drive reads; false when they cannot all be read.
bool ReadExactly(const PosixHandle& drive, uint64_t offset, char* buffer, size_t count) {
  if (drive.image != nullptr) {
    return drive.image->Read(offset, buffer, count) == static_cast<int64_t>(count);
  }
  ssize_t got;
  do {
    got = pread(drive.fd, buffer, count, static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(count);
}

// True when a GPT header signature lies at `offset`.
bool GptSignatureAt(const PosixHandle& drive, uint64_t offset) {
  char bytes[kGptHeaderSignature.size()];
  return ReadExactly(drive, offset, bytes, sizeof bytes) &&
         std::string_view(bytes, sizeof bytes) == kGptHeaderSignature;
}

bool OpensBlockDevice(const PosixHandle& drive) {
  struct stat info {};
  return fstat(drive.fd, &info) == 0 && S_ISBLK(info.st_mode);
}

}  // namespace

bool DriveLength(const PosixHandle& drive, uint64_t& bytes) {
  if (drive.image != nullptr) {
    bytes = drive.image->mediaSize();
    return true;
  }
  struct stat info {};
  if (fstat(drive.fd, &info) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  if (S_ISBLK(info.st_mode)) {
    if (ioctl(drive.fd, BLKGETSIZE64, &bytes) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    return true;
  }
  bytes = static_cast<uint64_t>(info.st_size);
  return true;
}

bool DriveSectorSize(const PosixHandle& drive, uint32_t& bytes) {
  if (drive.image == nullptr && OpensBlockDevice(drive)) {
    int size = 0;
    if (ioctl(drive.fd, BLKSSZGET, &size) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    bytes = static_cast<uint32_t>(size);
    return true;
  }
  if (drive.image != nullptr && drive.image->bytesPerSector() != 0) {
    bytes = drive.image->bytesPerSector();
    return true;
  }
  // An image file records no sector size: a GPT header at byte 4096 and none at byte 512 says
  // the disk it was taken from had 4096-byte sectors.
  bytes = GptSignatureAt(drive, kLargeSectorSize) && !GptSignatureAt(drive, kSectorSize)
              ? kLargeSectorSize
              : static_cast<uint32_t>(kSectorSize);
  return true;
}

BOOL AnswerDiskQuery(const PosixHandle& drive, DWORD code, void* out, DWORD outSize,
                     LPDWORD bytesReturned) {
  const size_t needed = code == IOCTL_DISK_GET_LENGTH_INFO ? sizeof(GET_LENGTH_INFORMATION)
                                                           : offsetof(DISK_GEOMETRY_EX, Data);
  if (out == nullptr || outSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  uint64_t length = 0;
  if (!DriveLength(drive, length)) return FALSE;
  if (code == IOCTL_DISK_GET_LENGTH_INFO) {
    GET_LENGTH_INFORMATION answer{};
    answer.Length.QuadPart = static_cast<LONGLONG>(length);
    std::memcpy(out, &answer, sizeof answer);
  } else {
    uint32_t sectorSize = 0;
    if (!DriveSectorSize(drive, sectorSize)) return FALSE;
    DISK_GEOMETRY_EX answer{};
    answer.Geometry.Cylinders.QuadPart = static_cast<LONGLONG>(
        length / (uint64_t{kTracksPerCylinder} * kSectorsPerTrack * sectorSize));
    answer.Geometry.MediaType = FixedMedia;
    answer.Geometry.TracksPerCylinder = kTracksPerCylinder;
    answer.Geometry.SectorsPerTrack = kSectorsPerTrack;
    answer.Geometry.BytesPerSector = sectorSize;
    answer.DiskSize.QuadPart = static_cast<LONGLONG>(length);
    std::memcpy(out, &answer, needed);
  }
  if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(needed);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
