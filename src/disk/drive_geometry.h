// A drive's logical sector size and its size, asked of the storage stack.
#ifndef TVX_DISK_DRIVE_GEOMETRY_H_
#define TVX_DISK_DRIVE_GEOMETRY_H_

#include <cstdint>

#include "platform/platform.h"

namespace DiskIO {

/// Returns the logical sector size of an open drive: 512 or 4096; any other answer, or a failed
/// query, gives 512. Both queries are made on the device worker and throw DriveStalled
/// (disk/drive_call.h) when they do not answer within the device timeout.
uint32_t QuerySectorSize(HANDLE handle);

/// Returns true and the drive's size in bytes, or false when the platform cannot tell.
bool QueryDriveLength(HANDLE handle, uint64_t& bytes);

}  // namespace DiskIO

#endif  // TVX_DISK_DRIVE_GEOMETRY_H_
