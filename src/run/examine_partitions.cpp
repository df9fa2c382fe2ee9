#include <string>
#include <vector>

#include "console/console.h"
#include "disk/gpt.h"
#include "disk/layout.h"
#include "disk/record_value.h"
#include "disk/sector_reader.h"
#include "run/module1.h"

namespace Module1 {

namespace {

using ConsoleStuff::SectorBytesForDisplay;
using ConsoleStuff::WriteConsoleText;

// A partition to examine: its number on the drive and its first sector.
struct PartitionStart {
  int32_t number;
  double firstSector;
};

// Returns the FAT label field of a boot sector, or nullptr when it has none: NTFS never has one,
// FAT32 marks it at byte 66 and FAT12/16 at byte 38.
const Field* FatLabelField(const SectorText& sector, const std::string& oemId) {
  if (oemId.compare(0, Signature::kNtfsOemPrefix.size(), Signature::kNtfsOemPrefix) == 0) {
    return nullptr;
  }
  if (ByteAt(sector, BootSector::kFat32ExtendedSignature) == BootSector::kExtendedBootSignature) {
    return &BootSector::kFat32Label;
  }
  if (ByteAt(sector, BootSector::kFat16ExtendedSignature) == BootSector::kExtendedBootSignature) {
    return &BootSector::kFat16Label;
  }
  return nullptr;
}

// True for a BitLocker volume: "-FVE-FS-", or BitLocker To Go's "MSWIN4.1" with its identifier.
bool IsBitLocker(const SectorText& sector, const std::string& oemId) {
  if (oemId == Signature::kBitLockerOemId) return true;
  return oemId == Signature::kBitLockerToGoOemId &&
         FieldText(sector, BootSector::kBitLockerToGoGuid) == Signature::kBitLockerGuid;
}

// Reads one partition's first sector and prints its identity lines and verdict.
void ExaminePartition(HANDLE handle, int32_t n, const PartitionStart& partition,
                      const std::string& bootSignature, bool& anyFound) {
  const SectorText sector = DiskIO::ReadDriveSector(handle, partition.firstSector, kSectorSize);
  if (sector == ReadFailedText) return;  // the reader has said why

  const std::string name =
      "PhysicalDrive" + std::to_string(n) + ", Partition " + std::to_string(partition.number);
  const std::string oemId = FieldText(sector, BootSector::kOemId);
  if (const Field* label = FatLabelField(sector, oemId)) {
    WriteConsoleText("\r\n" + name + " ---       OEM ID: ", White);
    WriteConsoleText(SectorBytesForDisplay(oemId) + "\r\n", LightCyan);
    WriteConsoleText(name + " --- Volume label: ", White);
    WriteConsoleText(SectorBytesForDisplay(FieldText(sector, *label)) + "\r\n", LightCyan);
  } else {
    WriteConsoleText("\r\n" + name + " --- OEM ID: ", White);
    WriteConsoleText(SectorBytesForDisplay(oemId) + "\r\n", LightCyan);
  }

  if (IsBitLocker(sector, oemId)) {
    WriteConsoleText(name + " is a Bitlocker encrypted volume.\r\n", Yellow);
    anyFound = true;
  } else if (FieldText(sector, BootSector::kBootSignature) != bootSignature) {
    WriteConsoleText(
        name + " might be an encrypted volume,\r\nor contains a damaged boot sector.\r\n", Yellow);
    anyFound = true;
  }
}

// Returns the partitions of a GPT behind a protective entry, when its header and entry array
// check out; otherwise returns false and the four primary entries stand.
bool GptPartitionStarts(HANDLE handle, const SectorBuffer& sectorBuffer,
                        std::vector<PartitionStart>& partitions) {
  std::vector<DiskIO::GptPartition> gpt;
  if (!DiskIO::HasGptProtectiveEntry(sectorBuffer) || !DiskIO::ReadGptPartitions(handle, gpt)) {
    return false;
  }
  partitions.clear();
  for (const DiskIO::GptPartition& entry : gpt) {
    partitions.push_back({entry.number, static_cast<double>(entry.firstSector)});
  }
  return true;
}

}  // namespace

void ExaminePartitions(HANDLE handle, int32_t n, const SectorBuffer& sectorBuffer,
                       const std::string& bootSignature, bool& anyFound) {
  // All four start sectors are decoded before any partition is read.
  std::vector<PartitionStart> partitions;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    const Field field = MasterBootRecord::kEntryStartSectors[entry];
    int32_t endrecord = static_cast<int32_t>(field.offset + field.length - 1);
    const double start =
        DiskIO::GetRecordValue(sectorBuffer, static_cast<int32_t>(field.offset), endrecord, true);
    partitions.push_back({static_cast<int32_t>(entry + 1), start});
  }
  GptPartitionStarts(handle, sectorBuffer, partitions);

  for (const PartitionStart& partition : partitions) {
    if (partition.firstSector > 0) {
      ExaminePartition(handle, n, partition, bootSignature, anyFound);
    }
  }
}

}  // namespace Module1
