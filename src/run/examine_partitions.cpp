#include <string>
#include <utility>
#include <vector>

#include "disk/ebr.h"
#include "disk/gpt.h"
#include "disk/layout.h"
#include "disk/record_value.h"
#include "disk/sector_reader.h"
#include "disk/volume_bytes.h"
#include "run/apple_volumes.h"
#include "run/detection_rules.h"
#include "run/file_system_encryption.h"
#include "run/key_protectors.h"
#include "run/module1.h"
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
};

bool IsAllZeros(const SectorText& sector) {
  return sector.find_first_not_of('\0') == std::string::npos;
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

// Returns the file system a partition without a boot signature holds, known by the table of
// file systems, or an empty text; `verdict` becomes the FileVault verdict of an APFS container
// with an encrypted volume, or the verdict on encryption inside the file system. `sector` is its
// first sector, already read.
std::string ProbeFileSystem(HANDLE handle, const PartitionStart& start, uint32_t sectorSize,
                            const SectorText& sector, const PartitionRule*& verdict) {
  DiskIO::Volume volume =
      DiskIO::VolumeOnDrive(handle, start.firstSector, start.sectorCount * sectorSize, sectorSize);
  if (sectorSize == kSectorSize) DiskIO::KeepVolumeSector(volume, 0, sector);
  const char* name = MatchFileSystem(volume);
  const std::string fileSystem = name != nullptr ? name : "";
  verdict = ApfsVerdict(volume, fileSystem);
  if (verdict == nullptr) verdict = FileSystemEncryptionVerdict(volume, fileSystem);
  return fileSystem;
}

// Names the disk encryption UEFI boot loaders that a FAT partition of a GPT disk holds (an EFI
// system partition), each once for the drive.
void AddUefiLoaderFindings(HANDLE handle, const PartitionStart& start, const DriveRecord& drive,
                           const SectorText& sector, Report& report) {
  const ByteSource read = DiskIO::VolumeByteSource(handle, start.firstSector, drive.sectorSize);
  for (const UefiLoaderRule* rule : MatchUefiBootLoaders(read, sector)) {
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

// Reads one partition's first sector, records what it shows and adds its verdict.
void ExaminePartition(HANDLE handle, const PartitionStart& start, DriveRecord& drive,
                      Report& report) {
  PartitionRecord partition;
  partition.number = start.number;
  partition.table = start.table;
  partition.firstSector = start.firstSector;
  const SectorText sector = DiskIO::ReadDriveSector(handle, static_cast<double>(start.firstSector),
                                                    kSectorSize, drive.sectorSize);
  if (sector == ReadFailedText) {
    partition.error = DiskIO::lastReadError;
    drive.partitions.push_back(partition);
    return;
  }
  if (start.quietWhenBlank && IsAllZeros(sector)) return;
  partition.read = true;
  partition.oemId = FieldText(sector, BootSector::kOemId);
  if (const Field* label = FatLabelField(sector, partition.oemId)) {
    partition.hasLabel = true;
    partition.label = FieldText(sector, *label);
  }

  // BitLocker and LUKS, then FileVault 2, then the boot signature, then the file systems, then
  // GELI and a LUKS2 secondary header.
  const PartitionRule* rule = MatchPartition(sector);
  if (rule == nullptr || rule->kind == nullptr) {
    if (const PartitionRule* fileVault = CoreStorageVerdict(sector, partition.fileSystem)) {
      rule = fileVault;
    } else if (!partition.fileSystem.empty()) {
      rule = nullptr;
    }
  }
  if (rule == nullptr && partition.fileSystem.empty()) {
    partition.fileSystem = ProbeFileSystem(handle, start, drive.sectorSize, sector, rule);
    if (partition.fileSystem.empty()) {
      DiskIO::Volume volume = DiskIO::VolumeOnDrive(
          handle, start.firstSector, start.sectorCount * drive.sectorSize, drive.sectorSize);
      rule = SecondaryHeaderVerdict(volume);
      if (rule == nullptr) rule = &kUnexplainedPartition;
    }
  }
  drive.partitions.push_back(partition);
  if (start.table == PartitionTable::Gpt)
    AddUefiLoaderFindings(handle, start, drive, sector, report);
  if (rule != nullptr && rule->kind != nullptr) {
    Finding finding{rule->kind, drive.number, start.number, 0,
                    "PhysicalDrive" + std::to_string(drive.number) + ", Partition " +
                        std::to_string(start.number) + rule->message};
    AddUnlockFacts(handle, start.firstSector, drive.sectorSize, sector, finding);
    AddFinding(report, std::move(finding));
  }
}

// Replaces `partitions` with those of a GPT, when its header and entry array (or their backup
// copies) check out, and returns true; otherwise the MBR entries stand. A GPT is looked for
// behind a protective entry, and behind a sector 0 that is no partition table at all (a wiped
// MBR must not hide a GPT disk).
bool GptPartitionStarts(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                        std::vector<PartitionStart>& partitions) {
  const bool protective = DiskIO::HasGptProtectiveEntry(sectorBuffer);
  if (!protective && !DiskIO::LacksMbrTable(sectorBuffer)) return false;
  std::vector<DiskIO::GptPartition> gpt;
  if (!DiskIO::ReadGptPartitions(handle, drive.sectorSize, gpt, drive.tableReadErrors,
                                 !protective)) {
    return false;
  }
  partitions.clear();
  for (const DiskIO::GptPartition& entry : gpt) {
    partitions.push_back({entry.number, PartitionTable::Gpt, entry.firstSector, entry.sectorCount,
                          entry.quietWhenBlank});
  }
  return true;
}

// Adds the logical partitions inside the extended entries of an MBR, after its four entries.
void AddLogicalPartitions(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                          std::vector<PartitionStart>& partitions) {
  std::vector<uint64_t> extended;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    if (DiskIO::IsExtendedType(sectorBuffer[MasterBootRecord::kEntryTypeOffsets[entry]]) &&
        partitions[entry].firstSector > 0) {
      extended.push_back(partitions[entry].firstSector);
    }
  }
  if (extended.empty()) return;
  const uint32_t sectorSize = drive.sectorSize;
  const DiskIO::SectorSource readSector = [handle, sectorSize](uint64_t sector) {
    return DiskIO::ReadDriveSector(handle, static_cast<double>(sector), kSectorSize, sectorSize);
  };
  for (const DiskIO::LogicalPartition& logical : DiskIO::ReadLogicalPartitions(
           extended, readSector, drive.tableReadErrors, drive.logicalChainCut)) {
    partitions.push_back(
        {logical.number, PartitionTable::Ebr, logical.firstSector, logical.sectorCount});
  }
}

}  // namespace

void ExaminePartitions(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                       Report& report) {
  // All four start sectors are decoded before any partition is read.
  std::vector<PartitionStart> partitions;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    const Field field = MasterBootRecord::kEntryStartSectors[entry];
    int32_t endrecord = static_cast<int32_t>(field.offset + field.length - 1);
    const double start =
        DiskIO::GetRecordValue(sectorBuffer, static_cast<int32_t>(field.offset), endrecord, true);
    const Field count = MasterBootRecord::kEntrySectorCounts[entry];
    partitions.push_back({static_cast<int32_t>(entry + 1), PartitionTable::Mbr,
                          start > 0 ? static_cast<uint64_t>(start) : 0,
                          LittleEndianValue(std::string(sectorBuffer.begin(), sectorBuffer.end()),
                                            count.offset, count.length)});
  }
  drive.table = PartitionTable::Mbr;
  if (GptPartitionStarts(handle, sectorBuffer, drive, partitions)) {
    drive.table = PartitionTable::Gpt;
  } else {
    AddLogicalPartitions(handle, sectorBuffer, drive, partitions);
  }

  for (const PartitionStart& partition : partitions) {
    if (partition.firstSector > 0) ExaminePartition(handle, partition, drive, report);
  }
}

}  // namespace Module1
