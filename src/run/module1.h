// One run of the scanner: the banner, the two passes and the closing verdict.
#ifndef TVX_RUN_MODULE1_H_
#define TVX_RUN_MODULE1_H_

#include <cstdint>
#include <string>

#include "disk/sector.h"
#include "platform/platform.h"
#include "report/report.h"
#include "run/probe_chain.h"

namespace Module1 {

/// How opening a raw drive or volume came out.
struct DeviceOpening {
  HANDLE handle = INVALID_HANDLE_VALUE;  // INVALID_HANDLE_VALUE unless it opened
  DWORD error = 0;                       // the system's code when it failed
  std::string imageFormat = {};          // a disk image this build cannot read: its format and why
  std::string imageProblem = {};
};

/// Opens a raw drive or volume ("\\.\PhysicalDrive0", "\\.\C:") for reading only, shared
/// for reading and writing, as it exists: evidence is never opened for writing. The open is made
/// on the device worker and waited for within the device timeout. A failed open gives
/// INVALID_HANDLE_VALUE, with the system's error code in `error`. Throws DiskIO::DriveStalled
/// when the open did not answer in time (its handle, should it ever open, is never closed).
DeviceOpening OpenRawDevice(const std::string& path);

/// Closes a handle that OpenRawDevice gave, on the device worker: a close can wait on a device
/// too (a FUSE or network file system, a failing disk). One that does not answer within the
/// device timeout is left behind, and nothing is said: the device's examination was complete.
void CloseDevice(HANDLE handle);

/// First pass: scans PhysicalDrive0 to PhysicalDrive15, then every higher drive the system lists
/// (ListPhysicalDriveNumbers), in increasing order, each followed by a 10 ms pause. Adds each
/// drive to `report`, marked as listed when the system lists it (so that it exists even when its
/// open says "not found"), and hands it to `progress` once examined.
void ScanPhysicalDrives(SectorBuffer& sectorBuffer, Report& report, const ReportProgress& progress);

/// Records in `report` the device folder's entries that look like evidence and were not read as
/// drives (LooksLikeUnexaminedEvidence); called after the first pass, once every drive has been
/// opened. Looking at the entries is a device call of its own turn: when it does not answer (an
/// entry links into a file system that stopped answering), the names alone are gone by.
void NoteUnexaminedEntries(Report& report);

/// One drive's turn of the first pass, without the pause that follows it: opens
/// "\\.\PhysicalDrive" n, reads its sector 0 into `sectorBuffer` through the drive's one reader,
/// then ExamineDrive; closes the drive. Reads whole sectors of the drive's logical sector size.
/// Adds the drive's record, and its findings, to `report`; a drive that is an image this build
/// cannot read is recorded as such, and one whose entry is a link to nowhere with the link's
/// target. Every call to the drive is a device call of the drive's turn (BeginDeviceTurn): when
/// one does not answer within the device timeout, what was found so far stands, the rest of the
/// drive is not examined, and the record says after how many seconds (TimedOut when its sector 0
/// had not been read).
void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, Report& report);

/// Examines an opened drive whose sector 0 has been read: asks the probe chain what the whole disk
/// is (a finding marked in sector 0, a volume written straight onto the disk, a disk encrypted
/// whole) and, when the chain finds a partition table there or a GPT behind it, examines the
/// partitions. Adds findings to `report`; a read of the disk that failed is kept on its record.
void ExamineDrive(DriveExam& exam, Report& report);

/// Examines the partitions of a drive whose sector 0 holds a table: the four primary entries,
/// replaced by the drive's GPT (TheGpt) when sector 0 has a protective entry or holds no table of
/// its own and the GPT (or its backup copy) checks out; otherwise followed by the logical
/// partitions of extended entries, a chain cut at a cap marked on the drive. Empty Microsoft
/// Reserved and BIOS boot entries are left out. Each partition's first sector is read, its OEM ID
/// and FAT label recorded, and the probe chain gives its verdict; a BitLocker or LUKS volume gets
/// its unlock facts, and on a GPT disk a FAT partition's folders are searched for the UEFI boot
/// loaders of disk encryption (a finding about the drive, once). Fills the drive's partitions and
/// adds findings to `report`.
void ExaminePartitions(DriveExam& exam, Report& report);

/// Between the passes: adds a finding of kind "encryption-driver", placed nowhere, for each
/// disk encryption driver that runs on this machine (RunningEncryptionDrivers).
void ReportRunningDrivers(Report& report);

/// Second pass: asks where each drive letter A: to Z: lives, adds each letter that opens to
/// `report` (and each network drive letter, which is not opened: its volume is on another
/// machine), reports letters that live on no device as possible encrypted volumes, and names
/// the open encrypted volume a letter is, or lies on, where the platform can tell. A letter that
/// exists but does not open is recorded, and handed to `progress`, as a letter failure; so is a
/// letter whose open or query did not answer within the device timeout (each letter is a turn of
/// its own, BeginDeviceTurn), with nothing else of it recorded.
void ScanLogicalVolumes(Report& report, const ReportProgress& progress);

}  // namespace Module1

#endif  // TVX_RUN_MODULE1_H_
