#include "disk/fat_directory.h"

#include "base/bytes.h"

namespace DiskIO {

namespace {

// The boot sector's fields (the BIOS parameter block), and the directory entry's.
namespace Bpb {
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kFatCount = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kFatSectors16 = 22;
constexpr size_t kTotalSectors32 = 32;
constexpr size_t kFatSectors32 = 36;
constexpr size_t kRootCluster32 = 44;
constexpr size_t kBootSignature = 510;
}  // namespace Bpb

namespace Dirent {
constexpr size_t kSize = 32;
constexpr size_t kAttributes = 11;
constexpr size_t kClusterHigh = 20;
constexpr size_t kClusterLow = 26;
constexpr uint8_t kEnd = 0x00;
constexpr uint8_t kDeleted = 0xE5;
constexpr uint8_t kKanjiE5 = 0x05;  // a first byte of 0xE5 that is no deletion
constexpr uint8_t kLongName = 0x0F;
constexpr uint8_t kVolumeLabel = 0x08;
constexpr uint8_t kFolder = 0x10;
constexpr uint8_t kLastLongPart = 0x40;
constexpr size_t kLongPartChars = 13;
constexpr size_t kLongCharOffsets[kLongPartChars] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
}  // namespace Dirent

constexpr uint32_t kMinFat16Clusters = 4085;
constexpr uint32_t kMinFat32Clusters = 65525;

uint32_t Value(const std::string& bytes, size_t offset, size_t length) {
  return static_cast<uint32_t>(LittleEndianValue(bytes, offset, length));
}

bool IsPowerOfTwo(uint32_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// Returns "NAME.EXT" from the 11 bytes of an 8.3 name, padding blanks left out.
std::string ShortName(const std::string& raw) {
  std::string base = raw.substr(0, 8);
  if (static_cast<uint8_t>(base[0]) == Dirent::kKanjiE5) base[0] = static_cast<char>(0xE5);
  std::string extension = raw.substr(8, 3);
  base.erase(base.find_last_not_of(' ') + 1);
  extension.erase(extension.find_last_not_of(' ') + 1);
  return extension.empty() ? base : base + "." + extension;
}

// The checksum of an 8.3 name that each part of its long name carries.
uint8_t ShortNameChecksum(const std::string& raw) {
  uint8_t sum = 0;
  for (char c : raw)
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<uint8_t>(c));
  return sum;
}

// A long name being gathered from its parts, which come last part first.
struct LongName {
  std::u16string chars;
  uint8_t checksum = 0;
  uint32_t partsLeft = 0;  // 0: none being gathered
};

void TakeLongNamePart(const std::string& entry, LongName& name) {
  const uint8_t order = static_cast<uint8_t>(entry[0]);
  const uint32_t part = order & 0x1F;
  if (order & Dirent::kLastLongPart) {
    name.chars.assign(part * Dirent::kLongPartChars, u'\0');
    name.checksum = static_cast<uint8_t>(entry[13]);
    name.partsLeft = part;
  }
  if (part == 0 || name.partsLeft != part || static_cast<uint8_t>(entry[13]) != name.checksum) {
    name.partsLeft = 0;
    return;
  }
  for (size_t i = 0; i < Dirent::kLongPartChars; ++i) {
    name.chars[(part - 1) * Dirent::kLongPartChars + i] =
        static_cast<char16_t>(Value(entry, Dirent::kLongCharOffsets[i], 2));
  }
  --name.partsLeft;
  if (name.partsLeft == 0) name.partsLeft = UINT32_MAX;  // complete: waits for its 8.3 entry
}

// Returns the gathered long name as text when it is complete and belongs to the 8.3 name `raw`;
// characters beyond ASCII become '?', which no name looked for holds.
std::string FinishLongName(LongName& name, const std::string& raw) {
  std::string text;
  if (name.partsLeft == UINT32_MAX && name.checksum == ShortNameChecksum(raw)) {
    for (char16_t c : name.chars) {
      if (c == u'\0' || c == 0xFFFF) break;
      text += c < 0x80 ? static_cast<char>(c) : '?';
    }
  }
  name.partsLeft = 0;
  return text;
}

// Adds the entries of `bytes`, a run of directory entries; false once the end entry is met.
bool TakeEntries(const std::string& bytes, LongName& longName, std::vector<FatEntry>& entries) {
  for (size_t at = 0; at + Dirent::kSize <= bytes.size(); at += Dirent::kSize) {
    const std::string entry = bytes.substr(at, Dirent::kSize);
    const uint8_t first = static_cast<uint8_t>(entry[0]);
    const uint8_t attributes = static_cast<uint8_t>(entry[Dirent::kAttributes]);
    if (first == Dirent::kEnd) return false;
    if (first == Dirent::kDeleted) {
      longName.partsLeft = 0;
    } else if ((attributes & 0x3F) == Dirent::kLongName) {
      TakeLongNamePart(entry, longName);
    } else if (attributes & Dirent::kVolumeLabel) {
      longName.partsLeft = 0;
    } else {
      const std::string raw = entry.substr(0, 11);
      FatEntry found;
      found.shortName = ShortName(raw);
      found.longName = FinishLongName(longName, raw);
      found.folder = (attributes & Dirent::kFolder) != 0;
      found.cluster =
          Value(entry, Dirent::kClusterLow, 2) | (Value(entry, Dirent::kClusterHigh, 2) << 16);
      entries.push_back(found);
    }
  }
  return true;
}

// Returns the FAT's entry for `cluster`, or UINT32_MAX when it cannot be read.
uint32_t NextCluster(const ByteSource& read, const FatVolume& fat, uint32_t cluster) {
  const uint64_t offset =
      fat.bits == 12 ? cluster + cluster / 2 : uint64_t{cluster} * (fat.bits / 8);
  const size_t length = fat.bits == 32 ? 4 : 2;
  const std::string bytes = read(fat.fatStart + offset, length);
  if (bytes.size() < length) return UINT32_MAX;
  const uint32_t value = Value(bytes, 0, length);
  if (fat.bits == 12) return cluster % 2 != 0 ? value >> 4 : value & 0xFFF;
  return fat.bits == 16 ? value : value & 0x0FFFFFFF;
}

bool IsEndOfChain(const FatVolume& fat, uint32_t value) {
  const uint32_t end = fat.bits == 12 ? 0xFF8 : fat.bits == 16 ? 0xFFF8 : 0x0FFFFFF8;
  return value >= end && value != UINT32_MAX;
}

bool IsDataCluster(const FatVolume& fat, uint32_t cluster) {
  return cluster >= 2 && cluster - 2 < fat.clusterCount;
}

}  // namespace

bool ParseFatBootSector(const std::string& sector, FatVolume& fat) {
  if (sector.size() < kSectorSize || Value(sector, Bpb::kBootSignature, 2) != 0xAA55) return false;
  const uint32_t bytesPerSector = Value(sector, Bpb::kBytesPerSector, 2);
  const uint32_t sectorsPerCluster = Value(sector, Bpb::kSectorsPerCluster, 1);
  const uint32_t reserved = Value(sector, Bpb::kReservedSectors, 2);
  const uint32_t fatCount = Value(sector, Bpb::kFatCount, 1);
  const uint32_t rootEntries = Value(sector, Bpb::kRootEntries, 2);
  uint32_t total = Value(sector, Bpb::kTotalSectors16, 2);
  if (total == 0) total = Value(sector, Bpb::kTotalSectors32, 4);
  const uint32_t fatSectors16 = Value(sector, Bpb::kFatSectors16, 2);
  const uint32_t fatSectors =
      fatSectors16 != 0 ? fatSectors16 : Value(sector, Bpb::kFatSectors32, 4);
  if (!IsPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096 ||
      !IsPowerOfTwo(sectorsPerCluster) || sectorsPerCluster > 128 || reserved == 0 ||
      fatCount == 0 || fatCount > 4 || fatSectors == 0) {
    return false;
  }
  const uint64_t rootSectors = (uint64_t{rootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
  const uint64_t dataSector = reserved + uint64_t{fatCount} * fatSectors + rootSectors;
  if (total <= dataSector) return false;
  const uint64_t clusters = (total - dataSector) / sectorsPerCluster;
  if (clusters == 0 || clusters > 0x0FFFFFF5) return false;
  fat.bits = clusters < kMinFat16Clusters ? 12 : clusters < kMinFat32Clusters ? 16 : 32;
  if ((fat.bits == 32) != (fatSectors16 == 0) || (fat.bits == 32 && rootEntries != 0) ||
      (fat.bits != 32 && rootEntries == 0)) {
    return false;
  }
  fat.bytesPerSector = bytesPerSector;
  fat.bytesPerCluster = bytesPerSector * sectorsPerCluster;
  fat.fatStart = uint64_t{reserved} * bytesPerSector;
  fat.rootStart = (reserved + uint64_t{fatCount} * fatSectors) * bytesPerSector;
  fat.rootBytes = rootEntries * 32;
  fat.rootCluster = fat.bits == 32 ? Value(sector, Bpb::kRootCluster32, 4) : 0;
  fat.dataStart = dataSector * bytesPerSector;
  fat.clusterCount = static_cast<uint32_t>(clusters);
  return true;
}

bool ReadFatDirectory(const ByteSource& read, const FatVolume& fat, uint32_t cluster,
                      std::set<uint32_t>& visited, std::vector<FatEntry>& entries) {
  LongName longName;
  if (cluster == 0 && fat.bits != 32) {
    const uint32_t length = fat.rootBytes < kMaxDirectoryBytes ? fat.rootBytes : kMaxDirectoryBytes;
    const std::string bytes = read(fat.rootStart, length);
    if (bytes.size() < length) return false;
    TakeEntries(bytes, longName, entries);
    return true;
  }
  if (cluster == 0) cluster = fat.rootCluster;
  uint64_t bytesRead = 0;
  for (uint32_t count = 0; count < kMaxDirectoryClusters; ++count) {
    if (!IsDataCluster(fat, cluster) || !visited.insert(cluster).second) return false;
    bytesRead += fat.bytesPerCluster;
    if (bytesRead > kMaxDirectoryBytes) return true;
    const std::string bytes =
        read(fat.dataStart + uint64_t{cluster - 2} * fat.bytesPerCluster, fat.bytesPerCluster);
    if (bytes.size() < fat.bytesPerCluster) return false;
    if (!TakeEntries(bytes, longName, entries)) return true;
    const uint32_t next = NextCluster(read, fat, cluster);
    if (IsEndOfChain(fat, next)) return true;
    cluster = next;
  }
  return true;
}

const FatEntry* FindFatEntry(const std::vector<FatEntry>& entries, const std::string& name) {
  for (const FatEntry& entry : entries) {
    if (SameName(entry.longName, name) || SameName(entry.shortName, name)) return &entry;
  }
  return nullptr;
}

}  // namespace DiskIO
