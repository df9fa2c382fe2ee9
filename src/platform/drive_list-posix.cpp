// The physical drives of this run on POSIX: the PhysicalDriveN entries of the device folder,
// drive 0 alone for a single image, or the live system's drives in their order.
#include <sys/stat.h>

#include <cstdlib>

#include "platform/device_paths-posix.h"
#include "platform/drive_list.h"

std::vector<int32_t> ListPhysicalDriveNumbers() {
  const char* folder = std::getenv("TVX_DEVICES");
  if (folder != nullptr && folder[0] != '\0') {
    struct stat info {};
    if (stat(folder, &info) != 0) return {};
    if (!S_ISDIR(info.st_mode)) return {0};
    return ListFolderDrives(folder);
  }
  std::vector<int32_t> numbers;
  const size_t count = LivePhysicalDriveCount();
  for (size_t n = 0; n < count; ++n) numbers.push_back(static_cast<int32_t>(n));
  return numbers;
}
