// A whole disk whose sector 0 is no partition table: a volume written straight onto the disk, or
// a disk encrypted whole, whose random first sector would otherwise be read as four partitions.
#include <string>
#include <vector>

#include "disk/drive_geometry.h"
#include "disk/gpt.h"
#include "disk/layout.h"
#include "disk/volume_bytes.h"
#include "run/apple_volumes.h"
#include "run/detection_rules.h"
#include "run/file_system_encryption.h"
#include "run/module1.h"

namespace Module1 {

namespace {

constexpr uint8_t kInactive = 0x00;
constexpr uint8_t kActive = 0x80;

// True when sector 0 holds a partition table worth believing: the boot signature, every entry's
// boot indicator 0x00 or 0x80, and at least one entry with a start sector.
bool HoldsPartitionTable(const SectorText& sector) {
  if (FieldText(sector, BootSector::kBootSignature) != Signature::kBootSignature) return false;
  bool anyStart = false;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    const uint8_t indicator = ByteAt(sector, MasterBootRecord::kEntryTypeOffsets[entry] - 4);
    if (indicator != kInactive && indicator != kActive) return false;
    const Field start = MasterBootRecord::kEntryStartSectors[entry];
    anyStart = anyStart || LittleEndianValue(sector, start.offset, start.length) != 0;
  }
  return anyStart;
}

bool IsAllZero(const SectorText& sector) {
  return sector.find_first_not_of('\0') == std::string::npos;
}

// True when a GPT header in sector 1 (or its backup) checks out.
bool HasGpt(HANDLE handle, uint32_t sectorSize) {
  std::vector<DiskIO::GptPartition> partitions;
  std::vector<uint32_t> readErrors;
  return DiskIO::ReadGptPartitions(handle, sectorSize, partitions, readErrors);
}

const char kNoPartitionTable[] = " might be an encrypted volume: it has no partition table.";

}  // namespace

bool ExamineWholeDisk(HANDLE handle, const SectorBuffer& sectorBuffer, DriveRecord& drive,
                      Report& report) {
  const SectorText sector(sectorBuffer.begin(), sectorBuffer.end());
  const std::string place = "PhysicalDrive" + std::to_string(drive.number);
  if (const SectorRule* fileVault = CoreStorageVerdict(sector, drive.fileSystem)) {
    AddFinding(report, {fileVault->kind, drive.number, -1, 0, place + fileVault->message});
    return true;
  }
  if (!drive.fileSystem.empty()) return true;
  if (HoldsPartitionTable(sector)) return false;
  uint64_t length = 0;
  if (!DiskIO::QueryDriveLength(handle, length)) length = 0;
  DiskIO::Volume volume = DiskIO::VolumeOnDrive(handle, 0, length, drive.sectorSize);
  if (drive.sectorSize == kSectorSize) DiskIO::KeepVolumeSector(volume, 0, sector);
  if (const char* name = MatchFileSystem(volume)) {
    drive.fileSystem = name;
    const SectorRule* verdict = ApfsVerdict(volume, drive.fileSystem);
    if (verdict == nullptr) verdict = FileSystemEncryptionVerdict(volume, drive.fileSystem);
    if (verdict != nullptr) {
      AddFinding(report, {verdict->kind, drive.number, -1, 0, place + verdict->message});
    }
    return true;
  }
  const bool signed0 = FieldText(sector, BootSector::kBootSignature) == Signature::kBootSignature;
  if (signed0) return false;
  const bool gpt = HasGpt(handle, drive.sectorSize);
  if (!gpt) {
    // A wiped primary LUKS2 header leaves sector 0 all zeros: its secondary header still names it.
    DiskIO::Volume whole = DiskIO::VolumeOnDrive(handle, 0, length, drive.sectorSize);
    if (const SectorRule* verdict = SecondaryHeaderVerdict(whole)) {
      AddFinding(report, {verdict->kind, drive.number, -1, 0, place + verdict->message});
      return true;
    }
  }
  if (IsAllZero(sector) || gpt) return false;
  AddFinding(report, {"possibly-encrypted", drive.number, -1, 0, place + kNoPartitionTable});
  return true;
}

}  // namespace Module1
