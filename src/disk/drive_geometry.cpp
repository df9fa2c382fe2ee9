#include "disk/drive_geometry.h"

#include <cstddef>
#include <optional>

#include "base/bytes.h"
#include "disk/drive_call.h"

namespace DiskIO {

namespace {

// Room for DISK_GEOMETRY_EX and the partition and detection data Windows puts after it.
constexpr size_t kGeometryBufferSize = 256;

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
  // The length IOCTL_DISK_GET_LENGTH_INFO answered, if it did.
  const std::optional<uint64_t> answer = CallDrive<std::optional<uint64_t>>([handle] {
    GET_LENGTH_INFORMATION length{};
    DWORD returned = 0;
    const bool known = DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                       sizeof length, &returned, nullptr) &&
                       returned >= sizeof length && length.Length.QuadPart >= 0;
    return known ? std::optional<uint64_t>(static_cast<uint64_t>(length.Length.QuadPart))
                 : std::nullopt;
  });
  if (answer) bytes = *answer;
  return answer.has_value();
}

}  // namespace DiskIO
