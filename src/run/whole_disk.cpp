// A drive as a whole: its sector 0 asked through the probe chain, which finds a volume written
// straight onto the disk, a disk encrypted whole, or a partition table to examine.
#include <string>

#include "run/key_protectors.h"
#include "run/module1.h"
#include "run/probe_chain.h"

namespace Module1 {

void ExamineDrive(DriveExam& exam, Report& report) {
  DriveRecord& drive = exam.record;
  const SectorText sector0(exam.sector0.begin(), exam.sector0.end());
  DiskIO::Volume whole = DiskIO::WholeDrive(exam.sectors);
  const VolumeVerdict verdict = ProbeVolume(VolumeKind::kDisk, exam, whole, sector0);
  drive.fileSystem = verdict.fileSystem;
  drive.notADisk = verdict.notADisk;
  if (verdict.finding != nullptr) {
    // Added before its metadata is read: the finding stands should the drive stop answering.
    AddFinding(report, {verdict.finding->kind, drive.number, -1, 0,
                        "PhysicalDrive" + std::to_string(drive.number) + verdict.finding->message});
    AddUnlockFacts(whole, sector0, report.findings.back());
  }
  if (whole.failed) drive.volumeReadFailure = ReadFailure{whole.error, whole.errorSector};
  if (verdict.partitions) ExaminePartitions(exam, report);
}

}  // namespace Module1
