#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "disk/drive_geometry.h"
#include "disk/layout.h"
#include "platform/drive_list.h"
#include "platform/unreadable_image.h"
#include "platform/volume_location.h"
#include "run/detection_rules.h"
#include "run/key_protectors.h"
#include "run/module1.h"
#include "run/open_volumes.h"

namespace Module1 {

namespace {

constexpr DWORD kPauseAfterDriveMs = 10;

// Reads sector 0 of an open drive, one whole sector of `sectorSize` bytes, and keeps its first
// 512 bytes in the buffer; false, with the system's code in `error`, when the read fails, or
// with 38 (end of file) when it comes up short.
bool ReadSectorZero(HANDLE handle, uint32_t sectorSize, SectorBuffer& sectorBuffer,
                    uint32_t& error) {
  LONG high = 0;
  SetFilePointer(handle, 0, &high, FILE_BEGIN);
  std::vector<uint8_t> sector(sectorSize);
  DWORD count = 0;
  if (!ReadFile(handle, sector.data(), sectorSize, &count, nullptr)) {
    error = GetLastError();
    return false;
  }
  if (count < sectorSize) {
    error = ERROR_HANDLE_EOF;
    return false;
  }
  std::copy(sector.begin(), sector.begin() + kSectorSize, sectorBuffer.begin());
  return true;
}

// Applies the sector-0 rules to one drive, and examines its partitions when none matches.
void ClassifySectorZero(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                        Report& report) {
  const SectorText sector(sectorBuffer.begin(), sectorBuffer.end());
  if (const SectorZeroRule* rule = MatchSectorZero(sector)) {
    if (rule->kind != nullptr) {
      Finding finding{rule->kind, drive.number, -1, 0,
                      "PhysicalDrive" + std::to_string(drive.number) + rule->message};
      AddUnlockFacts(handle, 0, drive.sectorSize, sector, finding);
      AddFinding(report, std::move(finding));
    }
    return;
  }
  if (!ExamineWholeDisk(handle, sectorBuffer, drive, report)) {
    ExaminePartitions(handle, sectorBuffer, drive, report);
  }
}

// Says of each finding on a live drive whether its volume is open now, where that can be known.
// A drive read from an image file has no "now", and the system's volumes are listed only when
// needed.
void SayWhetherOpenNow(const DriveRecord& drive, Report& report) {
  if (!drive.live || std::none_of(report.findings.begin(), report.findings.end(),
                                  [&drive](const Finding& f) { return f.drive == drive.number; })) {
    return;
  }
  AddOpenNowNotes(drive, ListSystemVolumes(), report);
}

}  // namespace

void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, Report& report) {
  DriveRecord drive;
  drive.number = n;
  drive.path = "\\\\.\\PhysicalDrive" + std::to_string(n);
  drive.source = DriveSource(drive.path);
  HANDLE handle = OpenRawDevice(drive.path);
  if (handle == INVALID_HANDLE_VALUE) {
    drive.status = DriveStatus::OpenFailed;
    drive.error = GetLastError();
    LastOpenWasUnreadableImage(drive.imageFormat, drive.imageProblem);
  } else {
    drive.live = IsLiveDrive(handle);
    drive.sectorSize = DiskIO::QuerySectorSize(handle);
    if (ReadSectorZero(handle, drive.sectorSize, sectorBuffer, drive.error)) {
      ClassifySectorZero(handle, sectorBuffer, drive, report);
    } else {
      drive.status = DriveStatus::ReadFailed;
    }
    CloseHandle(handle);
  }
  SayWhetherOpenNow(drive, report);
  report.drives.push_back(std::move(drive));
}

void ScanPhysicalDrives(SectorBuffer& sectorBuffer, Report& report,
                        const ReportProgress& progress) {
  std::vector<int32_t> numbers;
  for (int32_t n = 0; n < kAlwaysTriedDrives; ++n) numbers.push_back(n);
  for (int32_t n : ListPhysicalDriveNumbers()) {
    if (n >= kAlwaysTriedDrives && n > numbers.back()) numbers.push_back(n);
  }
  for (int32_t n : numbers) {
    ScanPhysicalDrive(n, sectorBuffer, report);
    if (progress.driveDone) progress.driveDone(report, report.drives.back());
    Sleep(kPauseAfterDriveMs);
  }
}

}  // namespace Module1
