#include <string>
#include <vector>

#include "disk/drive_call.h"
#include "platform/encryption_drivers.h"
#include "platform/volume_encryption.h"
#include "platform/volume_location.h"
#include "run/module1.h"
#include "run/open_volumes.h"

namespace Module1 {

namespace {

constexpr char kFirstLetter = 'A';
constexpr char kLastLetter = 'Z';

// The answers of the device calls about one letter, each made on the device worker into a value
// of its own.
struct NumberAnswer {
  bool answered = false;  // false: the query failed, and the record is all zeros
  STORAGE_DEVICE_NUMBER record{};
};

struct LayerAnswer {
  bool named = false;
  EncryptionLayer layer{};
};

struct ExtentsAnswer {
  bool known = false;
  std::vector<DiskExtent> extents;
};

// Asks where an open volume lives.
NumberAnswer QueryDeviceNumber(HANDLE handle) {
  return DiskIO::CallDrive<NumberAnswer>([handle] {
    NumberAnswer answer;
    DWORD returned = 0;
    answer.answered =
        DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &answer.record,
                        sizeof(STORAGE_DEVICE_NUMBER), &returned, nullptr) != FALSE;
    if (!answer.answered) answer.record = STORAGE_DEVICE_NUMBER{};
    return answer;
  });
}

// Names the open encrypted volume that the letter's volume is, or lies on.
void ReportEncryptionLayer(char letter, const EncryptionLayer& layer, Report& report) {
  std::string text =
      (layer.below ? "  - it lies on an open " : "  - it is an open ") + layer.product + " volume";
  if (layer.drive >= 0) {
    text += " on PhysicalDrive" + std::to_string(layer.drive) + ", Partition #" +
            std::to_string(layer.partition);
  }
  AddFinding(report, {"open-encrypted-volume", -1, -1, letter, text + "."});
}

// Examines one letter that opened: where it lives; for a volume on no single device, where it
// lies when every piece of it lies on a drive of this run and no encryption layer is in between
// (LVM, RAID, spanned volumes); and the open encrypted volume it is or lies on, when the
// platform can name it. Adds its record and findings; throws DriveStalled, having added nothing,
// when a call about it does not answer in time.
void ExamineLetter(HANDLE handle, char letter, Report& report) {
  const NumberAnswer number = QueryDeviceNumber(handle);
  VolumeRecord volume;
  volume.letter = letter;
  volume.answered = number.answered;
  // Each field taken as a signed 32-bit number, so all bits set reads as -1.
  volume.deviceType = static_cast<int32_t>(number.record.DeviceType);
  volume.deviceNumber = static_cast<int32_t>(number.record.DeviceNumber);
  volume.partitionNumber = static_cast<int32_t>(number.record.PartitionNumber);
  const LayerAnswer layer = DiskIO::CallDrive<LayerAnswer>([letter] {
    LayerAnswer answer;
    answer.named = DescribeVolumeEncryption(letter, answer.layer);
    return answer;
  });
  if (LivesOnNoDevice(volume) && !layer.named) {
    const ExtentsAnswer pieces = DiskIO::CallDrive<ExtentsAnswer>([handle] {
      ExtentsAnswer answer;
      answer.known = QueryVolumeExtents(handle, answer.extents);
      return answer;
    });
    if (pieces.known) volume.liesOn = PlacesOfExtents(pieces.extents, report);
  }
  if (LivesOnNoDevice(volume) && volume.liesOn.empty()) {
    AddFinding(report, {"virtual-disk", -1, -1, letter,
                        std::string("Drive ") + letter +
                            ": appears to be a virtual disk\n"
                            "  - possibly a TrueCrypt or PGP encrypted volume"});
  }
  if (layer.named) ReportEncryptionLayer(letter, layer.layer, report);
  report.volumes.push_back(volume);
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
  for (char letter = kFirstLetter; letter <= kLastLetter; ++letter) {
    BeginDeviceTurn();
    bool examined = false;
    try {
      const std::string root = std::string(1, letter) + ":\\";
      if (DiskIO::CallDrive<UINT>([root] { return GetDriveTypeA(root.c_str()); }) == DRIVE_REMOTE) {
        // Its volume is on another machine: opening it would only fail, or wait on the network.
        VolumeRecord volume;
        volume.letter = letter;
        volume.network = true;
        report.volumes.push_back(volume);
        if (progress.volumeDone) progress.volumeDone(report, report.volumes.back());
        continue;
      }
      const DeviceOpening opening = OpenRawDevice(std::string("\\\\.\\") + letter + ":");
      if (opening.handle != INVALID_HANDLE_VALUE) {
        ExamineLetter(opening.handle, letter, report);
        examined = true;
        // Only a letter whose every call answered gets here: a handle with a call left behind
        // on it is never closed.
        CloseDevice(opening.handle);
      } else if (LetterFailureIsReported(opening.error)) {
        report.letterFailures.push_back({letter, opening.error});
      } else {
        continue;
      }
    } catch (const DiskIO::DriveStalled&) {
      report.letterFailures.push_back({letter, 0, DeviceTimeout()});
    }
    if (examined) {
      if (progress.volumeDone) progress.volumeDone(report, report.volumes.back());
    } else if (progress.letterFailed) {
      progress.letterFailed(report, report.letterFailures.back());
    }
  }
}

}  // namespace Module1
