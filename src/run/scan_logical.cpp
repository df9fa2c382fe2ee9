#include <string>
#include <vector>

#include "platform/encryption_drivers.h"
#include "platform/volume_encryption.h"
#include "platform/volume_location.h"
#include "run/module1.h"
#include "run/open_volumes.h"

namespace Module1 {

namespace {

constexpr char kFirstLetter = 'A';
constexpr char kLastLetter = 'Z';

// Asks where an open volume lives. A failed query leaves the record as it was.
bool QueryDeviceNumber(HANDLE handle, STORAGE_DEVICE_NUMBER& record) {
  DWORD returned = 0;
  return DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &record,
                         sizeof(STORAGE_DEVICE_NUMBER), &returned, nullptr) != FALSE;
}

// Names the open encrypted volume that the letter's volume is, or lies on, when the platform can.
void ReportEncryptionLayer(char letter, Report& report) {
  EncryptionLayer layer{};
  if (!DescribeVolumeEncryption(letter, layer)) return;
  std::string text =
      (layer.below ? "  - it lies on an open " : "  - it is an open ") + layer.product + " volume";
  if (layer.drive >= 0) {
    text += " on PhysicalDrive" + std::to_string(layer.drive) + ", Partition #" +
            std::to_string(layer.partition);
  }
  AddFinding(report, {"open-encrypted-volume", -1, -1, letter, text + "."});
}

// Returns where a volume that lives on no single device lies, when every piece of it lies on a
// drive of this run and no encryption layer is in between (LVM, RAID, spanned volumes); none
// otherwise.
std::vector<DrivePlace> PlacesOnDrives(HANDLE handle, char letter, const Report& report) {
  EncryptionLayer layer{};
  std::vector<DiskExtent> extents;
  if (DescribeVolumeEncryption(letter, layer) || !QueryVolumeExtents(handle, extents)) return {};
  return PlacesOfExtents(extents, report);
}

}  // namespace

void ReportRunningDrivers(Report& report) {
  for (const std::string& product : RunningEncryptionDrivers()) {
    AddFinding(report, {"encryption-driver", -1, -1, 0,
                        "The " + product +
                            " driver is running on this machine: its volumes may be open now."});
  }
}

void ScanLogicalVolumes(Report& report, const ReportProgress& progress) {
  STORAGE_DEVICE_NUMBER record{};
  for (char letter = kFirstLetter; letter <= kLastLetter; ++letter) {
    if (GetDriveTypeA((std::string(1, letter) + ":\\").c_str()) == DRIVE_REMOTE) {
      // Its volume is on another machine: opening it would only fail, or wait on the network.
      VolumeRecord volume;
      volume.letter = letter;
      volume.network = true;
      report.volumes.push_back(volume);
      if (progress.volumeDone) progress.volumeDone(report, report.volumes.back());
      continue;
    }
    const std::string path = std::string("\\\\.\\") + letter + ":";
    HANDLE handle = OpenRawDevice(path);
    if (handle != INVALID_HANDLE_VALUE) {
      VolumeRecord volume;
      volume.letter = letter;
      volume.answered = QueryDeviceNumber(handle, record);
      // Each field taken as a signed 32-bit number, so all bits set reads as -1.
      volume.deviceType = static_cast<int32_t>(record.DeviceType);
      volume.deviceNumber = static_cast<int32_t>(record.DeviceNumber);
      volume.partitionNumber = static_cast<int32_t>(record.PartitionNumber);
      if (LivesOnNoDevice(volume)) volume.liesOn = PlacesOnDrives(handle, letter, report);
      if (LivesOnNoDevice(volume) && volume.liesOn.empty()) {
        AddFinding(report, {"virtual-disk", -1, -1, letter,
                            std::string("Drive ") + letter +
                                ": appears to be a virtual disk\n"
                                "  - possibly a TrueCrypt or PGP encrypted volume"});
      }
      ReportEncryptionLayer(letter, report);
      report.volumes.push_back(volume);
      if (progress.volumeDone) progress.volumeDone(report, report.volumes.back());
    } else if (const DWORD error = GetLastError(); LetterFailureIsReported(error)) {
      report.letterFailures.push_back({letter, error});
      if (progress.letterFailed) progress.letterFailed(report, report.letterFailures.back());
    }
    // Reset after every letter, so one letter's answer never shows up for the next.
    record = STORAGE_DEVICE_NUMBER{};
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
}

}  // namespace Module1
