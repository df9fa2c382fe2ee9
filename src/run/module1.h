// One run of the scanner: the banner, the two passes and the closing verdict.
#ifndef TVX_RUN_MODULE1_H_
#define TVX_RUN_MODULE1_H_

#include <cstdint>
#include <string>

#include "disk/sector.h"
#include "platform/platform.h"
#include "report/report.h"

namespace Module1 {

/// Opens a raw drive or volume ("\\.\PhysicalDrive0", "\\.\C:") for reading only, shared
/// for reading and writing, as it exists: evidence is never opened for writing. Returns
/// INVALID_HANDLE_VALUE on failure, with the system's error code in GetLastError.
HANDLE OpenRawDevice(const std::string& path);

/// First pass: scans PhysicalDrive0 to PhysicalDrive15, then every higher drive the system lists
/// (ListPhysicalDriveNumbers), in increasing order, each followed by a 10 ms pause. Adds each
/// drive to `report`, marked as listed when the system lists it (so that it exists even when its
/// open says "not found"), and hands it to `progress` once examined.
void ScanPhysicalDrives(SectorBuffer& sectorBuffer, Report& report, const ReportProgress& progress);

/// One drive's turn of the first pass, without the pause that follows it: opens
/// "\\.\PhysicalDrive" n, reads its sector 0 into `sectorBuffer`, applies the sector-0 rules,
/// then ExamineWholeDisk and, for a partition table, ExaminePartitions; closes the drive. Reads
/// whole sectors of the drive's logical sector size. Adds the drive's record, and its findings, to
/// `report`; a drive that is an image this build cannot read is recorded as such, and one whose
/// entry is a link to nowhere with the link's target.
void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, Report& report);

/// Examines a drive whose sector 0, in `sectorBuffer`, no sector-0 rule named, and returns true
/// when that sector is no partition table: a volume the file-system table names from the disk's
/// first byte (recorded as the drive's file system); without the boot signature and with no GPT
/// that checks out, a GELI provider or a LUKS volume whose primary header is damaged
/// (SecondaryHeaderVerdict), or, not all zeros, a possibly encrypted disk (a finding). Returns
/// false when the partitions are to be examined: sector 0 has the boot signature and entries
/// with a start and boot indicators of 0x00 or 0x80, or nothing names it.
bool ExamineWholeDisk(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                      Report& report);

/// Examines the partitions of `drive`, whose sector 0 is in `sectorBuffer`: each partition's
/// OEM ID and FAT label, then BitLocker, LUKS and FileVault 2, the boot signature, and for a
/// partition without it the file-system table (its size from its table entry for the marks
/// near its end) with the APFS FileVault check, then GELI and a LUKS2 secondary header
/// (SecondaryHeaderVerdict), and its verdict; on a GPT disk, a FAT partition's directories are
/// searched for the UEFI boot loaders of disk encryption (a finding about the drive, once). A GPT
/// behind a protective entry, or behind a sector 0 that is no partition table (no boot signature,
/// or no entry with a type), replaces the four primary entries when it (or its backup copy) checks
/// out; otherwise the logical partitions of extended entries follow the primary ones, and a chain
/// cut at a cap is marked on the drive. Empty Microsoft Reserved and BIOS boot entries are left
/// out. Fills the drive's partitions and adds findings to `report`.
void ExaminePartitions(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                       Report& report);

/// Between the passes: adds a finding of kind "encryption-driver", placed nowhere, for each
/// disk encryption driver that runs on this machine (RunningEncryptionDrivers).
void ReportRunningDrivers(Report& report);

/// Second pass: asks where each drive letter A: to Z: lives, adds each letter that opens to
/// `report` (and each network drive letter, which is not opened: its volume is on another
/// machine), reports letters that live on no device as possible encrypted volumes, and names
/// the open encrypted volume a letter is, or lies on, where the platform can tell. A letter that
/// exists but does not open is recorded, and handed to `progress`, as a letter failure.
void ScanLogicalVolumes(Report& report, const ReportProgress& progress);

}  // namespace Module1

#endif  // TVX_RUN_MODULE1_H_
