#include "disk/gpt.h"

#include <array>

#include "disk/layout.h"

namespace DiskIO {

namespace {

constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;  // reflected 0x04C11DB7

std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < table.size(); ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (kCrc32Polynomial ^ (c >> 1)) : (c >> 1);
    table[n] = c;
  }
  return table;
}

uint64_t FieldValue(const std::string& bytes, Field field) {
  return LittleEndianValue(bytes, field.offset, field.length);
}

// Reads one copy of the GPT, its header at `headerSector` (`region` says which copy), and checks
// it; `mustSayWhere` asks that the header's own-sector field names `headerSector`. See ReadGpt
// for `probed`.
bool ReadGptCopy(DriveSectors& drive, uint64_t headerSector, TableRegion region, bool mustSayWhere,
                 bool probed, GptTable& table) {
  const VolumeRead header = ReadTableSectors(drive, headerSector, kSectorSize);
  if (header.outcome != ReadOutcome::kRead) {
    if (!probed || header.error != ERROR_HANDLE_EOF) {
      table.readErrors.push_back({header.error, region, headerSector});
    }
    return false;
  }
  GptLayout layout{};
  if (!ParseGptHeader(header.bytes, layout)) return false;
  if (mustSayWhere && FieldValue(header.bytes, GptHeader::kOwnSector) != headerSector) return false;
  const size_t arrayBytes = size_t{layout.entryCount} * layout.entrySize;
  const VolumeRead array = ReadTableSectors(drive, layout.entryArrayStart, arrayBytes);
  if (array.outcome != ReadOutcome::kRead) {
    table.readErrors.push_back({array.error, TableRegion::kGptEntries, layout.entryArrayStart});
    return false;
  }
  if (!ParseGptEntries(array.bytes, layout, table.partitions)) return false;
  table.layout = layout;
  return true;
}

}  // namespace

uint32_t Crc32(ByteSpan bytes) {
  static const std::array<uint32_t, 256> table = MakeCrc32Table();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < bytes.size; ++i) crc = table[(crc ^ bytes.data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool HasGptProtectiveEntry(const SectorBuffer& sector0) {
  for (size_t offset : MasterBootRecord::kEntryTypeOffsets) {
    if (sector0[offset] == MasterBootRecord::kGptProtectiveType) return true;
  }
  return false;
}

bool ParseGptHeader(const SectorText& header, GptLayout& layout) {
  using namespace GptHeader;
  if (header.size() < kSectorSize || FieldText(header, kSignature) != Signature::kGptHeader) {
    return false;
  }
  const uint64_t headerSize = FieldValue(header, kHeaderSize);
  if (headerSize < kMinHeaderSize || headerSize > kMaxHeaderSize) return false;
  std::string checked = header.substr(0, headerSize);
  checked.replace(kHeaderCrc.offset, kHeaderCrc.length, kHeaderCrc.length, '\0');
  if (Crc32(checked) != FieldValue(header, kHeaderCrc)) return false;

  const uint64_t entrySize = FieldValue(header, kEntrySize);
  const uint64_t entryCount = FieldValue(header, kEntryCount);
  const uint64_t arrayStart = FieldValue(header, kEntryArrayStart);
  if (entrySize < kMinEntrySize || entrySize > kMaxEntrySize || entrySize % kEntrySizeMultiple) {
    return false;
  }
  if (entryCount < 1 || entryCount * entrySize > kMaxEntryArrayBytes) return false;
  if (arrayStart < kMinEntryArrayStart || arrayStart >= kFirstInexactSector) return false;
  layout = {arrayStart,
            static_cast<uint32_t>(entryCount),
            static_cast<uint32_t>(entrySize),
            static_cast<uint32_t>(FieldValue(header, kEntryArrayCrc)),
            FieldValue(header, kBackupSector),
            FieldValue(header, kLastUsableSector)};
  return true;
}

bool ParseGptEntries(const std::string& entryArray, const GptLayout& layout,
                     std::vector<GptPartition>& partitions) {
  const size_t arraySize = size_t{layout.entryCount} * layout.entrySize;
  if (entryArray.size() < arraySize) return false;
  const std::string array = entryArray.substr(0, arraySize);
  if (Crc32(array) != layout.entryArrayCrc) return false;
  partitions.clear();
  const std::string emptyType(GptEntry::kTypeGuid.length, '\0');
  for (uint32_t i = 0; i < layout.entryCount; ++i) {
    const std::string entry = array.substr(size_t{i} * layout.entrySize, layout.entrySize);
    const std::string type = FieldText(entry, GptEntry::kTypeGuid);
    if (type == emptyType) continue;
    const bool quietWhenBlank =
        type == Signature::kMicrosoftReservedGuid || type == Signature::kBiosBootGuid;
    const uint64_t first = FieldValue(entry, GptEntry::kFirstSector);
    const uint64_t last = FieldValue(entry, GptEntry::kLastSector);
    partitions.push_back({static_cast<int32_t>(i + 1), first, last >= first ? last - first + 1 : 0,
                          quietWhenBlank, last});
  }
  return true;
}

GptTable ReadGpt(DriveSectors& drive, bool probed) {
  GptTable table;
  if (ReadGptCopy(drive, GptHeader::kSector, TableRegion::kGptHeader, false, probed, table)) {
    table.usable = true;
    return table;
  }
  // The backup copy, at the drive's last sector, stands in for a damaged primary.
  const uint64_t sectors = drive.length / drive.sectorSize;
  if (sectors <= GptHeader::kMinEntryArrayStart) return table;
  table.usable =
      ReadGptCopy(drive, sectors - 1, TableRegion::kGptBackupHeader, true, probed, table);
  return table;
}

}  // namespace DiskIO
