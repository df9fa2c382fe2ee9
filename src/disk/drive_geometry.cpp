#include "disk/drive_geometry.h"

#include <cstddef>

#include "base/bytes.h"
#include "disk/drive_call.h"

namespace DiskIO {

namespace {

// Room for DISK_GEOMETRY_EX and the partition and detection data Windows puts after it.
constexpr size_t kGeometryBufferSize = 256;

// What IOCTL_DISK_GET_LENGTH_INFO answered: whether it did, and the length.
struct LengthAnswer {
  bool known = false;
  uint64_t bytes = 0;
};

}  // namespace

uint32_t QuerySectorSize(HANDLE handle) {
  return CallDrive<uint32_t>([handle] {
    alignas(8) BYTE buffer[kGeometryBufferSize] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer,
                         sizeof buffer, &returned, nullptr) ||
        returned < sizeof(DISK_GEOMETRY)) {
      return static_cast<uint32_t>(kSectorSize);
    }
    const DWORD size = reinterpret_cast<const DISK_GEOMETRY_EX*>(buffer)->Geometry.BytesPerSector;
    return size == kLargeSectorSize ? kLargeSectorSize : static_cast<uint32_t>(kSectorSize);
  });
}

bool QueryDriveLength(HANDLE handle, uint64_t& bytes) {
  const LengthAnswer answer = CallDrive<LengthAnswer>([handle] {
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    LengthAnswer known;
    known.known = DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                  sizeof length, &returned, nullptr) &&
                  returned >= sizeof length && length.Length.QuadPart >= 0;
    known.bytes = known.known ? static_cast<uint64_t>(length.Length.QuadPart) : 0;
    return known;
  });
  if (answer.known) bytes = answer.bytes;
  return answer.known;
}

}  // namespace DiskIO
