// One run of the scanner: the banner, the two passes and the closing verdict.
#ifndef TVX_RUN_MODULE1_H_
#define TVX_RUN_MODULE1_H_

#include <cstdint>
#include <string>

#include "disk/sector.h"
#include "platform/platform.h"

namespace Module1 {

/// Opens a raw drive or volume ("\\.\PhysicalDrive0", "\\.\C:") for reading and writing,
/// shared, as raw device access asks; nothing is ever written to it. Returns
/// INVALID_HANDLE_VALUE on failure, with the system's error code in GetLastError.
HANDLE OpenRawDevice(const std::string& path);

/// Runs the program once: banner, usage text for "/?", or both scans, the closing line when
/// nothing was found, and the key wait unless "/batch" was given. Returns when the run is over;
/// a failed write throws error 1001 or 1002 out of it.
void Main();

/// First pass: reads sector 0 of PhysicalDrive0 to PhysicalDrive15 into `sectorBuffer`, reports
/// TrueCrypt and PGP traces, and hands ordinary partition tables to ExaminePartitions. Sets
/// `anyFound` on every finding.
void ScanPhysicalDrives(SectorBuffer& sectorBuffer, const std::string& bootSignature,
                        bool& anyFound);

/// One drive's turn of the first pass, without the pause that follows it: opens
/// "\\.\PhysicalDrive" n, reads its sector 0 into `sectorBuffer`, applies the sector-0 rules
/// and, for an ordinary partition table, ExaminePartitions; closes the drive. A drive that fails
/// to open or read is skipped, reported only when `n` is 0. Sets `anyFound` on every finding.
void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, const std::string& bootSignature,
                       bool& anyFound);

/// Lists the partitions of drive `n` whose sector 0 is in `sectorBuffer`: each partition's OEM ID
/// and FAT label, BitLocker volumes, and first sectors without the boot signature. A GPT behind a
/// protective entry replaces the four primary entries when its header and array check out.
void ExaminePartitions(HANDLE handle, int32_t n, const SectorBuffer& sectorBuffer,
                       const std::string& bootSignature, bool& anyFound);

/// Second pass: asks where each drive letter A: to Z: lives and reports letters that live on no
/// device as possible encrypted volumes, setting `anyFound`.
void ScanLogicalVolumes(bool& anyFound);

}  // namespace Module1

#endif  // TVX_RUN_MODULE1_H_
