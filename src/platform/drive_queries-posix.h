// A drive's size and logical sector size, as the Windows disk queries answer them.
#ifndef TVX_PLATFORM_DRIVE_QUERIES_POSIX_H_
#define TVX_PLATFORM_DRIVE_QUERIES_POSIX_H_

#include <cstdint>

#include "platform/handles-posix.h"
#include "platform/winapi-posix.h"

/// Returns the size in bytes of what a drive handle reads: BLKGETSIZE64 for a block device, the
/// media size of a disk image, the size of any other file. False, with the last error set, when
/// the device cannot tell.
bool DriveLength(const PosixHandle& drive, uint64_t& bytes);

/// Returns the logical sector size of a drive: BLKSSZGET for a block device; the sector size a
/// disk image's format records, where it records one; otherwise (raw image files and formats
/// without one) 4096 when bytes 4096 to 4103 read "EFI PART" and bytes 512 to 519 do not (a GPT
/// of 4096-byte sectors), else 512. The guess reads the image's first 8 KiB once and keeps them
/// in the handle, which serves later reads of them (ReadFile), so that no byte is read twice.
/// False, with the last error set, when the device cannot tell.
bool DriveSectorSize(PosixHandle& drive, uint32_t& bytes);

/// Answers IOCTL_DISK_GET_DRIVE_GEOMETRY_EX (a DISK_GEOMETRY_EX up to DiskSize, with a geometry
/// of 255 heads and 63 sectors per track) or IOCTL_DISK_GET_LENGTH_INFO into `out`, as
/// DeviceIoControl does: FALSE with error 122 for a buffer too small, or the error of the query.
BOOL AnswerDiskQuery(PosixHandle& drive, DWORD code, void* out, DWORD outSize,
                     LPDWORD bytesReturned);

#endif  // TVX_PLATFORM_DRIVE_QUERIES_POSIX_H_
