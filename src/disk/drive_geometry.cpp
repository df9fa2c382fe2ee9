#include "disk/drive_geometry.h"

#include <cstddef>

#include "base/bytes.h"

namespace DiskIO {

namespace {

// Room for DISK_GEOMETRY_EX and the partition and detection data Windows puts after it.
constexpr size_t kGeometryBufferSize = 256;

}  // namespace

uint32_t QuerySectorSize(HANDLE handle) {
  alignas(8) BYTE buffer[kGeometryBufferSize] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer, sizeof buffer,
                       &returned, nullptr) ||
      returned < sizeof(DISK_GEOMETRY)) {
    return static_cast<uint32_t>(kSectorSize);
  }
  const DWORD size = reinterpret_cast<const DISK_GEOMETRY_EX*>(buffer)->Geometry.BytesPerSector;
  return size == kLargeSectorSize ? kLargeSectorSize : static_cast<uint32_t>(kSectorSize);
}

bool QueryDriveLength(HANDLE handle, uint64_t& bytes) {
  GET_LENGTH_INFORMATION answer{};
  DWORD returned = 0;
  if (!DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &answer, sizeof answer,
                       &returned, nullptr) ||
      returned < sizeof answer || answer.Length.QuadPart < 0) {
    return false;
  }
  bytes = static_cast<uint64_t>(answer.Length.QuadPart);
  return true;
}

}  // namespace DiskIO
