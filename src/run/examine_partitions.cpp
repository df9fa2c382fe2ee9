#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "disk/ebr.h"
#include "disk/gpt.h"
#include "disk/layout.h"
#include "disk/record_value.h"
#include "disk/volume_reader.h"
#include "run/detection_rules.h"
#include "run/file_system_encryption.h"
#include "run/key_protectors.h"
#include "run/module1.h"
#include "run/probe_chain.h"
#include "run/uefi_boot_loaders.h"

namespace Module1 {

namespace {

// A partition to examine: its number on the drive, the table it came from, its first sector and
// its length in sectors as the table gives it (0: not known); `quietWhenBlank` leaves it out of
// the report when its first sector is all zeros.
struct PartitionStart {
  int32_t number;
  PartitionTable table;
  uint64_t firstSector;
  uint64_t sectorCount;
  bool quietWhenBlank = false;
  /// The last sector its entry says it reaches (an MBR or EBR entry's start + count - 1, a GPT
  /// entry's last sector); none for an entry of no sectors.
  std::optional<uint64_t> reach = std::nullopt;
};

// The last sector of `count` sectors from `start`, as an MBR or EBR entry gives them.
std::optional<uint64_t> EntryReach(uint64_t start, uint64_t count) {
  if (count == 0) return std::nullopt;
  uint64_t last = 0;
  return __builtin_add_overflow(start, count - 1, &last) ? UINT64_MAX : last;
}

// Returns the FAT label field of a boot sector, or nullptr when it has none: NTFS never has one,
// FAT32 marks it at byte 66 and FAT12/16 at byte 38.
const Field* FatLabelField(const SectorText& sector, const std::string& oemId) {
  if (StartsWith(oemId, Signature::kNtfsOemPrefix)) return nullptr;
  if (ByteAt(sector, BootSector::kFat32ExtendedSignature) == BootSector::kExtendedBootSignature) {
    return &BootSector::kFat32Label;
  }
  if (ByteAt(sector, BootSector::kFat16ExtendedSignature) == BootSector::kExtendedBootSignature) {
    return &BootSector::kFat16Label;
  }
  return nullptr;
}

// Names the disk encryption UEFI boot loaders that a FAT partition of a GPT disk holds (an EFI
// system partition), each once for the drive.
void AddUefiLoaderFindings(DiskIO::Volume& volume, const DriveRecord& drive,
                           const SectorText& sector, Report& report) {
  volume.budget = DiskIO::kMetadataBudget;
  for (const UefiLoaderRule* rule : MatchUefiBootLoaders(DiskIO::VolumeSource(volume), sector)) {
    bool said = false;
    for (const Finding& finding : report.findings) {
      said = said || (finding.drive == drive.number && finding.kind == rule->kind);
    }
    if (!said) {
      AddFinding(report, {rule->kind, drive.number, -1, 0,
                          "PhysicalDrive" + std::to_string(drive.number) + rule->message});
    }
  }
}

// Reads one partition's first sector, records what it shows and adds its verdict. Every later
// read of the partition goes through the same reader, bounded by the partition's size; the first
// that fails is recorded on the partition.
void ExaminePartition(DriveExam& exam, const PartitionStart& start, Report& report) {
  DriveRecord& drive = exam.record;
  PartitionRecord partition;
  partition.number = start.number;
  partition.table = start.table;
  partition.firstSector = start.firstSector;
  DiskIO::Volume volume = DiskIO::DriveVolume(exam.sectors, start.firstSector, start.sectorCount);
  const DiskIO::VolumeRead first =
      DiskIO::ReadTableSectors(exam.sectors, start.firstSector, kSectorSize);
  if (first.outcome != DiskIO::ReadOutcome::kRead) {
    partition.error = first.error;
    drive.partitions.push_back(partition);
    return;
  }
  const SectorText& sector = first.bytes;
  if (start.quietWhenBlank && IsAllZero(sector)) return;
  partition.read = true;
  partition.oemId = FieldText(sector, BootSector::kOemId);
  if (const Field* label = FatLabelField(sector, partition.oemId)) {
    partition.hasLabel = true;
    partition.label = FieldText(sector, *label);
  }
  // Recorded before its probes run, so that its identity lines stand should the drive stop
  // answering during them; the same for a finding before its metadata is read.
  drive.partitions.push_back(partition);
  const VolumeVerdict verdict = ProbeVolume(VolumeKind::kPartition, exam, volume, sector);
  drive.partitions.back().fileSystem = verdict.fileSystem;
  drive.partitions.back().empty = verdict.empty;
  if (start.table == PartitionTable::Gpt) AddUefiLoaderFindings(volume, drive, sector, report);
  if (verdict.finding != nullptr) {
    AddFinding(report, {verdict.finding->kind, drive.number, start.number, 0,
                        "PhysicalDrive" + std::to_string(drive.number) + ", Partition " +
                            std::to_string(start.number) + verdict.finding->message});
    AddUnlockFacts(volume, sector, report.findings.back());
  }
  if (volume.failed) {
    drive.partitions.back().volumeReadFailure = ReadFailure{volume.error, volume.errorSector};
  }
}

// Replaces `partitions` with those of the drive's GPT when it (or its backup copy) checks out,
// and returns true; otherwise the MBR entries stand. A GPT is looked for behind a protective
// entry, and behind a sector 0 that holds no partition table (a wiped MBR must not hide a GPT
// disk).
bool GptPartitionStarts(DriveExam& exam, std::vector<PartitionStart>& partitions) {
  const SectorText sector0(exam.sector0.begin(), exam.sector0.end());
  const bool protective = DiskIO::HasGptProtectiveEntry(exam.sector0);
  if (!protective && HoldsPartitionTable(sector0)) return false;
  const DiskIO::GptTable& gpt = TheGpt(exam);
  if (!gpt.usable) {
    // A protective entry stands for the GPT, not for a partition of its own: with no GPT that
    // checks out behind it, the disk's partitions cannot be known. A failed read says so itself.
    if (protective) {
      exam.record.gptDamaged = gpt.readErrors.empty();
      for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
        if (exam.sector0[MasterBootRecord::kEntryTypeOffsets[entry]] ==
            MasterBootRecord::kGptProtectiveType) {
          partitions[entry].firstSector = 0;
        }
      }
    }
    return false;
  }
  partitions.clear();
  for (const DiskIO::GptPartition& entry : gpt.partitions) {
    partitions.push_back({entry.number, PartitionTable::Gpt, entry.firstSector, entry.sectorCount,
                          entry.quietWhenBlank, entry.lastSector});
  }
  return true;
}

// Returns the highest sector that the entries to examine reach, and for a GPT its header's
// backup and last usable sectors, or nothing when no entry is examined.
std::optional<uint64_t> TableReach(const DriveExam& exam,
                                   const std::vector<PartitionStart>& partitions, bool gpt) {
  std::optional<uint64_t> reach;
  const auto reaches = [&reach](uint64_t sector) { reach = std::max(reach.value_or(0), sector); };
  for (const PartitionStart& partition : partitions) {
    if (partition.firstSector > 0 && partition.reach) reaches(*partition.reach);
  }
  if (gpt) {
    reaches(exam.gpt->layout.backupHeader);
    reaches(exam.gpt->layout.lastUsable);
  }
  return reach;
}

// Adds the logical partitions inside the extended entries of an MBR, after its four entries.
void AddLogicalPartitions(DriveExam& exam, std::vector<PartitionStart>& partitions) {
  std::vector<uint64_t> extended;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    if (DiskIO::IsExtendedType(exam.sector0[MasterBootRecord::kEntryTypeOffsets[entry]]) &&
        partitions[entry].firstSector > 0) {
      extended.push_back(partitions[entry].firstSector);
    }
  }
  if (extended.empty()) return;
  DiskIO::DriveSectors& sectors = exam.sectors;
  const DiskIO::SectorSource readSector = [&sectors](uint64_t sector, SectorText& bytes,
                                                     uint32_t& error) {
    DiskIO::VolumeRead read = DiskIO::ReadTableSectors(sectors, sector, kSectorSize);
    error = read.error;
    bytes = std::move(read.bytes);
    return read.outcome == DiskIO::ReadOutcome::kRead;
  };
  DriveRecord& drive = exam.record;
  for (const DiskIO::LogicalPartition& logical : DiskIO::ReadLogicalPartitions(
           extended, readSector, drive.tableReadErrors, drive.logicalChainCut)) {
    partitions.push_back({logical.number, PartitionTable::Ebr, logical.firstSector,
                          logical.sectorCount, false,
                          EntryReach(logical.firstSector, logical.sectorCount)});
  }
}

}  // namespace

void ExaminePartitions(DriveExam& exam, Report& report) {
  // All four start sectors are decoded before any partition is read.
  const SectorBuffer& sectorBuffer = exam.sector0;
  std::vector<PartitionStart> partitions;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    const Field field = MasterBootRecord::kEntryStartSectors[entry];
    int32_t endrecord = static_cast<int32_t>(field.offset + field.length - 1);
    const double start =
        DiskIO::GetRecordValue(sectorBuffer, static_cast<int32_t>(field.offset), endrecord, true);
    const Field count = MasterBootRecord::kEntrySectorCounts[entry];
    const uint64_t first = start > 0 ? static_cast<uint64_t>(start) : 0;
    const uint64_t sectors = LittleEndianValue(
        std::string(sectorBuffer.begin(), sectorBuffer.end()), count.offset, count.length);
    partitions.push_back({static_cast<int32_t>(entry + 1), PartitionTable::Mbr, first, sectors,
                          false, EntryReach(first, sectors)});
  }
  DriveRecord& drive = exam.record;
  drive.table = PartitionTable::Mbr;
  if (GptPartitionStarts(exam, partitions)) {
    drive.table = PartitionTable::Gpt;
  } else {
    AddLogicalPartitions(exam, partitions);
  }
  drive.tableReach = TableReach(exam, partitions, drive.table == PartitionTable::Gpt);

  for (const PartitionStart& partition : partitions) {
    if (partition.firstSector > 0) ExaminePartition(exam, partition, report);
  }
}

}  // namespace Module1
