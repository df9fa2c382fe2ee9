#include "disk/drive_geometry.h"

#include <cstddef>

namespace DiskIO {

namespace {

constexpr uint32_t kSmallSector = 512;
constexpr uint32_t kLargeSector = 4096;
// Room for DISK_GEOMETRY_EX and the partition and detection data Windows puts after it.
constexpr size_t kGeometryBufferSize = 256;

}  // namespace

uint32_t QuerySectorSize(HANDLE handle) {
  alignas(8) BYTE buffer[kGeometryBufferSize] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer, sizeof buffer,
                       &returned, nullptr) ||
      returned < sizeof(DISK_GEOMETRY)) {
    return kSmallSector;
  }
  const DWORD size = reinterpret_cast<const DISK_GEOMETRY_EX*>(buffer)->Geometry.BytesPerSector;
  return size == kLargeSector ? kLargeSector : kSmallSector;
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
