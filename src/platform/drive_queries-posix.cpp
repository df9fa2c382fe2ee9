#include "platform/drive_queries-posix.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "base/bytes.h"
#include "platform/container_format-posix.h"
#include "platform/disk_image-posix.h"
#include "platform/errors-posix.h"

namespace {

constexpr DWORD kTracksPerCylinder = 255;
constexpr DWORD kSectorsPerTrack = 63;

// Returns the drive's first kFileHeadBytes (fewer on a shorter drive; none when they cannot be
// read), reading them once and keeping them in the handle.
std::string DriveHead(PosixHandle& drive) {
  if (!drive.headKept) {
    drive.headKept = true;
    std::string head(kFileHeadBytes, '\0');
    int64_t got;
    if (drive.image != nullptr) {
      got = drive.image->Read(0, head.data(), head.size());
    } else {
      do {
        got = pread(drive.fd, head.data(), head.size(), 0);
      } while (got < 0 && errno == EINTR);
    }
    if (got > 0) drive.kept.push_back({0, head.substr(0, static_cast<size_t>(got))});
  }
  for (const KeptBytes& kept : drive.kept) {
    if (kept.offset == 0) return kept.bytes;
  }
  return "";
}

// True when a GPT header signature lies at `offset` of the drive's first bytes.
bool GptSignatureAt(const std::string& head, size_t offset) {
  return head.size() >= offset + kGptHeaderSignature.size() &&
         std::string_view(head).substr(offset, kGptHeaderSignature.size()) == kGptHeaderSignature;
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

bool DriveSectorSize(PosixHandle& drive, uint32_t& bytes) {
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
  const std::string head = DriveHead(drive);
  bytes = GptSignatureAt(head, kLargeSectorSize) && !GptSignatureAt(head, kSectorSize)
              ? kLargeSectorSize
              : static_cast<uint32_t>(kSectorSize);
  return true;
}

BOOL AnswerDiskQuery(PosixHandle& drive, DWORD code, void* out, DWORD outSize,
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
