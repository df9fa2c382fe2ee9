#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "disk/drive_geometry.h"
#include "disk/volume_reader.h"
#include "platform/device_folder.h"
#include "platform/drive_list.h"
#include "platform/unreadable_image.h"
#include "platform/volume_location.h"
#include "run/module1.h"
#include "run/open_volumes.h"
#include "run/probe_chain.h"

namespace Module1 {

namespace {

constexpr DWORD kPauseAfterDriveMs = 10;

// Reads sector 0 of a drive, one whole sector, through the drive's reader, and keeps its first
// 512 bytes in the buffer; false, with the system's code in `error` (38 when the drive is shorter
// than a sector), when the read fails.
bool ReadSectorZero(DiskIO::DriveSectors& sectors, SectorBuffer& sectorBuffer, uint32_t& error) {
  const DiskIO::VolumeRead read = DiskIO::ReadTableSectors(sectors, 0, sectors.sectorSize);
  if (read.outcome != DiskIO::ReadOutcome::kRead) {
    error = read.error;
    return false;
  }
  std::copy(read.bytes.begin(), read.bytes.begin() + kSectorSize, sectorBuffer.begin());
  return true;
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
    drive.linkTarget = DanglingLinkTarget(drive.path);
  } else {
    drive.live = IsLiveDrive(handle);
    drive.sectorSize = DiskIO::QuerySectorSize(handle);
    if (!DiskIO::QueryDriveLength(handle, drive.length)) drive.length = 0;
    DriveExam exam{drive, DiskIO::SectorsOfDrive(handle, drive.sectorSize, drive.length),
                   sectorBuffer};
    if (ReadSectorZero(exam.sectors, sectorBuffer, drive.error)) {
      ExamineDrive(exam, report);
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
  const std::vector<int32_t> listed = ListPhysicalDriveNumbers();
  for (int32_t n : listed) {
    if (n >= kAlwaysTriedDrives && n > numbers.back()) numbers.push_back(n);
  }
  for (int32_t n : numbers) {
    ScanPhysicalDrive(n, sectorBuffer, report);
    // A listed drive exists even when its open says "not found": a dangling link, a disk that
    // went away.
    report.drives.back().listed = std::binary_search(listed.begin(), listed.end(), n);
    if (progress.driveDone) progress.driveDone(report, report.drives.back());
    Sleep(kPauseAfterDriveMs);
  }
}

}  // namespace Module1
