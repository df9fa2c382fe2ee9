#include "disk/drive_call.h"
#include "platform/device_worker.h"
#include "platform/unreadable_image.h"
#include "run/module1.h"

namespace Module1 {

DeviceOpening OpenRawDevice(const std::string& path) {
  // Read access only: the program never writes, and a drive behind a write blocker may refuse a
  // read-write open. The device number query and the reads need nothing more. Made on the device
  // worker, where the last error and an unreadable image's reason are asked too.
  return DiskIO::CallDrive<DeviceOpening>([path] {
    DeviceOpening opening;
    opening.handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (opening.handle == INVALID_HANDLE_VALUE) {
      opening.error = GetLastError();
      LastOpenWasUnreadableImage(opening.imageFormat, opening.imageProblem);
    }
    return opening;
  });
}

void CloseDevice(HANDLE handle) {
  // Nothing of the report waits on it: a close that does not answer is simply left behind.
  RunDeviceCall([handle] { CloseHandle(handle); });
}

}  // namespace Module1
