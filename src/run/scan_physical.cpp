#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "disk/drive_geometry.h"
#include "disk/layout.h"
#include "platform/unreadable_image.h"
#include "run/detection_rules.h"
#include "run/module1.h"

namespace Module1 {

namespace {

constexpr int32_t kAlwaysTriedDrives = 16;  // PhysicalDrive0 to 15 are tried whatever happens
constexpr int32_t kLastDrive = 255;
constexpr DWORD kPauseAfterDriveMs = 10;

// Reads sector 0 of an open drive, one whole sector of `sectorSize` bytes, and keeps its first
// 512 bytes in the buffer; false, with the system's code in `error`, when the read fails or comes
// up short.
bool ReadSectorZero(HANDLE handle, uint32_t sectorSize, SectorBuffer& sectorBuffer,
                    uint32_t& error) {
  LONG high = 0;
  SetFilePointer(handle, 0, &high, FILE_BEGIN);
  std::vector<uint8_t> sector(sectorSize);
  DWORD count = 0;
  if (ReadFile(handle, sector.data(), sectorSize, &count, nullptr) && count >= sectorSize) {
    std::copy(sector.begin(), sector.begin() + kSectorSize, sectorBuffer.begin());
    return true;
  }
  error = GetLastError();
  return false;
}

// Applies the sector-0 rules to one drive, and examines its partitions when none matches.
void ClassifySectorZero(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                        Report& report) {
  const SectorText sector(sectorBuffer.begin(), sectorBuffer.end());
  if (const SectorZeroRule* rule = MatchSectorZero(sector)) {
    if (rule->kind != nullptr) {
      AddFinding(report, {rule->kind, drive.number, -1, 0,
                          "PhysicalDrive" + std::to_string(drive.number) + rule->message});
    }
    return;
  }
  if (!ExamineWholeDisk(handle, sectorBuffer, drive, report)) {
    ExaminePartitions(handle, sectorBuffer, drive, report);
  }
}

}  // namespace

void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, Report& report) {
  DriveRecord drive;
  drive.number = n;
  drive.path = "\\\\.\\PhysicalDrive" + std::to_string(n);
  HANDLE handle = OpenRawDevice(drive.path);
  if (handle == INVALID_HANDLE_VALUE) {
    drive.status = DriveStatus::OpenFailed;
    drive.error = GetLastError();
    LastOpenWasUnreadableImage(drive.imageFormat, drive.imageProblem);
  } else {
    drive.sectorSize = DiskIO::QuerySectorSize(handle);
    if (ReadSectorZero(handle, drive.sectorSize, sectorBuffer, drive.error)) {
      ClassifySectorZero(handle, sectorBuffer, drive, report);
    } else {
      drive.status = DriveStatus::ReadFailed;
    }
    CloseHandle(handle);
  }
  report.drives.push_back(std::move(drive));
}

void ScanPhysicalDrives(SectorBuffer& sectorBuffer, Report& report,
                        const ReportProgress& progress) {
  for (int32_t n = 0; n <= kLastDrive; ++n) {
    ScanPhysicalDrive(n, sectorBuffer, report);
    const DriveRecord& drive = report.drives.back();
    // Past the drives that are always tried, the first one that does not exist ends the pass.
    if (n >= kAlwaysTriedDrives && !DriveIsReported(drive)) break;
    if (progress.driveDone) progress.driveDone(report, drive);
    Sleep(kPauseAfterDriveMs);
  }
}

}  // namespace Module1
