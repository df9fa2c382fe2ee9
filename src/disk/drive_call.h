// Calls to a drive made within the device timeout (platform/device_worker.h), and what a drive
// that stopped answering throws.
#ifndef TVX_DISK_DRIVE_CALL_H_
#define TVX_DISK_DRIVE_CALL_H_

#include <memory>
#include <utility>

#include "platform/device_worker.h"

namespace DiskIO {

/// Thrown on the scanning thread when a call to the drive being examined did not answer within
/// the device timeout, or the drive had stopped answering before: nothing more of the drive can
/// be read, and its handle must not be closed. The scan of the drive catches it.
struct DriveStalled {};

/// Returns what `call` returns, made on the device worker; throws DriveStalled when it does not
/// answer in time. `call` must own whatever it touches (see device_worker.h).
template <typename Result, typename Call>
Result CallDrive(Call call) {
  auto answer = std::make_shared<Result>();
  if (!RunDeviceCall([answer, call] { *answer = call(); })) throw DriveStalled();
  return std::move(*answer);
}

}  // namespace DiskIO

#endif  // TVX_DISK_DRIVE_CALL_H_
