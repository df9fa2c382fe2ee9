#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "disk/drive_call.h"
#include "disk/drive_geometry.h"
#include "disk/volume_reader.h"
#include "platform/device_folder.h"
#include "platform/device_worker.h"
#include "platform/drive_list.h"
#include "platform/volume_location.h"
#include "run/module1.h"
#include "run/open_volumes.h"
#include "run/probe_chain.h"

namespace Module1 {

namespace {

constexpr DWORD kPauseAfterDriveMs = 10;

// True once the system's list of volumes has not answered in time in this run: it is not asked
// again, so that one stalled volume does not cost every later drive the whole timeout.
bool systemVolumesStalled = false;

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
// needed. The list is a device call of the drive's turn: when it does not answer, the drive's
// findings say nothing about being open now, and DriveStalled goes on to the drive's scan.
void SayWhetherOpenNow(const DriveRecord& drive, Report& report) {
  if (!drive.live || systemVolumesStalled ||
      std::none_of(report.findings.begin(), report.findings.end(),
                   [&drive](const Finding& f) { return f.drive == drive.number; })) {
    return;
  }
  try {
    AddOpenNowNotes(drive, DiskIO::CallDrive<std::vector<SystemVolume>>(ListSystemVolumes), report);
  } catch (const DiskIO::DriveStalled&) {
    systemVolumesStalled = true;
    throw;
  }
}

// Opens the drive, asks what it is and reads its sector 0, then examines it; returns its handle,
// to be closed, or INVALID_HANDLE_VALUE when it did not open. Throws DriveStalled when a call to
// the drive does not answer in time; `sector0` says by then whether its sector 0 had been read.
HANDLE ExamineDriveInTurn(DriveRecord& drive, SectorBuffer& sectorBuffer, Report& report,
                          bool& sector0) {
  const std::string path = drive.path;
  drive.source = DiskIO::CallDrive<std::string>([path] { return DriveSource(path); });
  const DeviceOpening opening = OpenRawDevice(path);
  if (opening.handle == INVALID_HANDLE_VALUE) {
    drive.status = DriveStatus::OpenFailed;
    drive.error = opening.error;
    drive.imageFormat = opening.imageFormat;
    drive.imageProblem = opening.imageProblem;
    drive.linkTarget = DiskIO::CallDrive<std::string>([path] { return DanglingLinkTarget(path); });
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = opening.handle;
  drive.live = DiskIO::CallDrive<bool>([handle] { return IsLiveDrive(handle); });
  drive.sectorSize = DiskIO::QuerySectorSize(handle);
  if (!DiskIO::QueryDriveLength(handle, drive.length)) drive.length = 0;
  DriveExam exam{drive, DiskIO::SectorsOfDrive(handle, drive.sectorSize, drive.length),
                 sectorBuffer};
  if (ReadSectorZero(exam.sectors, sectorBuffer, drive.error)) {
    sector0 = true;
    ExamineDrive(exam, report);
  } else {
    drive.status = DriveStatus::ReadFailed;
  }
  return handle;
}

}  // namespace

void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, Report& report) {
  DriveRecord drive;
  drive.number = n;
  drive.path = "\\\\.\\PhysicalDrive" + std::to_string(n);
  BeginDeviceTurn();
  bool sector0 = false;
  try {
    const HANDLE handle = ExamineDriveInTurn(drive, sectorBuffer, report, sector0);
    SayWhetherOpenNow(drive, report);
    // Only a drive whose every call answered gets here: a handle with a call left behind on it
    // is never closed.
    if (handle != INVALID_HANDLE_VALUE) CloseDevice(handle);
  } catch (const DiskIO::DriveStalled&) {
    // What was read so far stands, findings included; the rest of the drive is not examined.
    drive.timedOutAfter = DeviceTimeout();
    if (!sector0) drive.status = DriveStatus::TimedOut;
  }
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
  systemVolumesStalled = false;
  for (int32_t n : numbers) {
    ScanPhysicalDrive(n, sectorBuffer, report);
    // A listed drive exists even when its open says "not found": a dangling link, a disk that
    // went away.
    report.drives.back().listed = std::binary_search(listed.begin(), listed.end(), n);
    if (progress.driveDone) progress.driveDone(report, report.drives.back());
    Sleep(kPauseAfterDriveMs);
  }
}

void NoteUnexaminedEntries(Report& report) {
  std::vector<FolderEntry> entries;
  BeginDeviceTurn();
  try {
    entries = DiskIO::CallDrive<std::vector<FolderEntry>>(ListDeviceFolderEntries);
  } catch (const DiskIO::DriveStalled&) {
    entries = ListDeviceFolderNames();
  }
  for (const FolderEntry& entry : entries) {
    if (LooksLikeUnexaminedEvidence(entry)) report.unexaminedEntries.push_back(entry.name);
  }
}

}  // namespace Module1
