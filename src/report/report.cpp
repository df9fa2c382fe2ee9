#include "report/report.h"

#include <utility>

#include "base/bytes.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t kEvidenceSize = uint64_t{1} << 20;

// The name endings of disk and volume images, in lower case.
constexpr const char* kImageEndings[] = {".dd",   ".raw",  ".img",  ".bin",  ".iso",
                                         ".dmg",  ".e01",  ".ex01", ".001",  ".vhd",
                                         ".vhdx", ".vmdk", ".vdi",  ".qcow", ".qcow2"};

}  // namespace

bool DriveIsReported(const DriveRecord& drive) {
  if (drive.number == 0 || drive.number >= kAlwaysTriedDrives || drive.listed) return true;
  if (drive.status != DriveStatus::OpenFailed) return true;
  return drive.error != ERROR_FILE_NOT_FOUND && drive.error != ERROR_PATH_NOT_FOUND;
}

bool LetterFailureIsReported(uint32_t error) {
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_NOT_READY;
}

bool LivesOnNoDevice(const VolumeRecord& volume) {
  return volume.deviceType == 0 && volume.deviceNumber == 0 && volume.partitionNumber == 0;
}

bool AnyDriveRead(const Report& report) {
  for (const DriveRecord& drive : report.drives) {
    if (drive.status == DriveStatus::Read) return true;
  }
  return false;
}

void AddFinding(Report& report, Finding finding) {
  report.findings.push_back(std::move(finding));
  report.anyFound = true;
}

bool DriveSizeIsOdd(const DriveRecord& drive) {
  return drive.status == DriveStatus::Read && drive.sectorSize != 0 &&
         drive.length % drive.sectorSize != 0;
}

bool DriveShorterThanTable(const DriveRecord& drive) {
  return drive.status == DriveStatus::Read && drive.length != 0 && drive.sectorSize != 0 &&
         drive.tableReach && *drive.tableReach >= drive.length / drive.sectorSize;
}

bool LooksLikeUnexaminedEvidence(const FolderEntry& entry) {
  if (entry.deviceName || entry.coveredByDrive || entry.kind == EntryKind::Folder) return false;
  if (StartsWithIgnoringCase(entry.name, "physicaldrive")) return true;
  for (const char* ending : kImageEndings) {
    if (EndsWithIgnoringCase(entry.name, ending)) return true;
  }
  // An entry that could not be looked at may be anything: it is not taken for a note.
  return entry.kind == EntryKind::BlockDevice || entry.kind == EntryKind::Unknown ||
         (entry.kind == EntryKind::RegularFile && entry.size >= kEvidenceSize);
}
