#include "run/file_system_checks.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "disk/file_system_layout.h"
#include "disk/zfs_label.h"

namespace Module1 {

using namespace Superblock;
using DiskIO::ProbeBytes;
using DiskIO::ProbeEndBytes;

namespace {

constexpr uint64_t kMinRaidVolume = 0x10000;  // firmware RAID metadata needs at least 64 KiB

bool IsPowerOfTwo(uint64_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

// The CRC-32 of `bytes` (reflected 0x04C11DB7) continued from `crc`, without the inversions
// before and after: NILFS2 seeds it with a value of its own.
uint32_t Crc32From(uint32_t crc, std::string_view bytes) {
  for (char c : bytes) {
    crc ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}

// The last 512-byte sector of a volume of at least 64 KiB, or an empty text.
std::string LastSector(Volume& volume) {
  if (volume.size < kMinRaidVolume) return "";
  return ProbeEndBytes(volume, kSectorSize, kSectorSize);
}

}  // namespace

bool ExtLooksSound(Volume& volume) {
  const std::string head = ProbeBytes(volume, 0, kFirstReadBytes);
  return LittleEndianValue(head, kExtRevision, 4) <= 1 &&
         LittleEndianValue(head, kExtLogBlockSize, 4) <= 6;
}

const char* ExtVariant(Volume& volume) {
  const std::string head = ProbeBytes(volume, 0, kFirstReadBytes);
  const uint64_t incompat = LittleEndianValue(head, kExtIncompatFeatures, 4);
  if (incompat & kExtJournalDevice) return "ext journal";
  if (incompat & kExtExtents) return "ext4";
  if (LittleEndianValue(head, kExtCompatFeatures, 4) & kExtHasJournal) return "ext3";
  return "ext2";
}

bool HfsPlusLooksSound(Volume& volume) {
  const std::string head = ProbeBytes(volume, 0, kFirstReadBytes);
  const uint64_t version = BigEndianValue(head, kHfsPlusVersion, 2);
  const uint64_t blockSize = BigEndianValue(head, kHfsPlusBlockSize, 4);
  return (version == 4 || version == 5) && blockSize >= 512 && IsPowerOfTwo(blockSize);
}

bool HfsLooksSound(Volume& volume) {
  const std::string head = ProbeBytes(volume, 0, kFirstReadBytes);
  const uint64_t blockSize = BigEndianValue(head, kHfsBlockSize, 4);
  const uint64_t nameLength =
      static_cast<uint8_t>(head.size() > kHfsNameLength ? head[kHfsNameLength] : 0);
  return BigEndianValue(head, kHfsBitmapStart, 2) == 3 && blockSize != 0 && blockSize % 512 == 0 &&
         nameLength >= 1 && nameLength <= 27 &&
         BigEndianValue(head, kHfsFreeBlocks, 2) <= BigEndianValue(head, kHfsBlockCount, 2);
}

bool HasRaid090Superblock(Volume& volume) {
  constexpr uint64_t kReserved = 0x10000;
  const uint64_t aligned = volume.size & ~(kReserved - 1);
  if (aligned < kReserved) return false;
  const std::string block = ProbeBytes(volume, aligned - kReserved, 8);
  const std::string_view magic = std::string_view(block).substr(0, 4);
  if (magic == kRaidMagic) return LittleEndianValue(block, 4, 4) == 0;
  return magic == kRaidMagicBigEndian && BigEndianValue(block, 4, 4) == 0;
}

bool HasRaid10Superblock(Volume& volume) {
  const uint64_t aligned = volume.size & ~uint64_t{0xFFF};
  if (aligned < 0x2000) return false;
  const std::string block = ProbeBytes(volume, aligned - 0x2000, 8);
  return StartsWith(block, kRaidMagic) && LittleEndianValue(block, 4, 4) == 1;
}

bool HasDdfAnchor(Volume& volume) {
  if (volume.size < 0x30000) return false;
  for (uint64_t back : kDdfAnchorsBack) {
    const std::string anchor = ProbeEndBytes(volume, back, 4);
    if (anchor == kDdfMagic || anchor == kDdfMagicSwapped) return true;
  }
  return false;
}

bool HasPromiseRaidMark(Volume& volume) {
  if (volume.size < 0x40000) return false;
  for (uint64_t sectors : kPromiseSectorsBack) {
    if (ProbeEndBytes(volume, sectors * kSectorSize, kPromiseRaid.size()) == kPromiseRaid) {
      return true;
    }
  }
  return false;
}

bool HasViaRaidMetadata(Volume& volume) {
  const std::string sector = LastSector(volume);
  if (!StartsWith(sector, "\x55\xAA") || static_cast<uint8_t>(sector[kViaRaidVersion]) > 2) {
    return false;
  }
  uint8_t sum = 0;
  for (size_t i = 0; i < kViaRaidChecksum; ++i) sum += static_cast<uint8_t>(sector[i]);
  return sum == static_cast<uint8_t>(sector[kViaRaidChecksum]);
}

bool HasSiliconRaidMetadata(Volume& volume) {
  const std::string sector = LastSector(volume);
  if (sector.empty() || LittleEndianValue(sector, kSiliconRaidMagic, 4) != 0x2F000000 ||
      static_cast<uint8_t>(sector[kSiliconRaidDisk]) >= 8) {
    return false;
  }
  uint32_t sum = 0;
  for (size_t i = 0; i < kSiliconRaidChecksum; i += 2) sum += LittleEndianValue(sector, i, 2);
  return ((0u - sum) & 0xFFFF) == LittleEndianValue(sector, kSiliconRaidChecksum, 2);
}

bool HasJmicronRaidMetadata(Volume& volume) {
  const std::string sector = LastSector(volume);
  if (!StartsWith(sector, "JM") || static_cast<uint8_t>(sector[kJmicronRaidMode]) > 5) {
    return false;
  }
  uint16_t sum = 0;
  for (size_t i = 0; i < kJmicronRaidBytes; i += 2) {
    sum = static_cast<uint16_t>(sum + LittleEndianValue(sector, i, 2));
  }
  return sum == 0 || sum == 1;
}

bool HasXfsLogRecord(Volume& volume) {
  const std::string head = ProbeBytes(volume, 0, kSectorSize);
  const uint64_t version = BigEndianValue(head, kXfsLogVersion, 4);
  const uint64_t length = BigEndianValue(head, kXfsLogLength, 4);
  return (version == 1 || version == 2) && length >= 1 && length <= 0x7FFFFFFF &&
         BigEndianValue(head, kXfsLogFormat, 4) == 1;
}

namespace {

// True when one of `marks` lies 10 bytes before the end of a first page of any size.
template <size_t N>
bool HasPageEndMark(Volume& volume, const std::string_view (&marks)[N]) {
  for (size_t page : kSwapPageSizes) {
    const std::string field = ProbeBytes(volume, page - kSwapMarkBack, kSwapMarkBack);
    for (std::string_view mark : marks) {
      if (StartsWith(field, mark)) return true;
    }
  }
  return false;
}

}  // namespace

bool HasSwapMark(Volume& volume) {
  return HasPageEndMark(volume, kSwapMarks);
}

bool HasHibernationMark(Volume& volume) {
  return HasPageEndMark(volume, kHibernationMarks);
}

bool HasUdfDescriptors(Volume& volume) {
  constexpr size_t kStep = 2048;  // descriptors lie 2048 bytes apart, or a block apart if larger
  constexpr std::string_view kFirstIds[] = {"BEA01", "CD001", "BOOT2", "CDW02"};
  const std::string first = ProbeBytes(volume, kVolumeDescriptors + 1, 5);
  bool opens = false;
  for (std::string_view id : kFirstIds) opens = opens || first == id;
  if (!opens) return false;
  const std::string area = ProbeBytes(volume, kVolumeDescriptors, kUdfDescriptorArea);
  bool begun = false;
  for (size_t at = 0; at + kStep <= area.size(); at += kStep) {
    const std::string_view id = std::string_view(area).substr(at + 1, 5);
    if (id == kUdfBegin) begun = true;
    if (begun && (id == kUdfNsr[0] || id == kUdfNsr[1])) return true;
  }
  return false;
}

bool NilfsChecksumMatches(Volume& volume) {
  constexpr size_t kSumOffset = 16;
  constexpr size_t kSuperblockBytes = 1024;
  const std::string sb = ProbeBytes(volume, kNilfsSuperblock, kSuperblockBytes);
  const uint64_t bytes = LittleEndianValue(sb, 8, 2);
  if (sb.empty() || bytes < kSumOffset + 4 || bytes > kSuperblockBytes) return false;
  std::string summed = sb.substr(0, bytes);
  summed.replace(kSumOffset, 4, 4, '\0');
  const uint32_t seed = static_cast<uint32_t>(LittleEndianValue(sb, 12, 4));
  return Crc32From(seed, summed) == LittleEndianValue(sb, kSumOffset, 4);
}

namespace {

// True when `sb` is a sound Minix superblock with its fields in the byte order `bigEndian`
// names: Minix on m68k and PowerPC machines writes them big-endian.
bool MinixSuperblockIn(std::string_view sb, bool bigEndian) {
  const auto field = [&sb, bigEndian](size_t offset, size_t length) {
    return EndianValue(sb, offset, length, bigEndian);
  };
  const uint64_t magic = field(16, 2);
  uint64_t inodes, imaps, zmaps, firstZone, logZoneSize, zones, blockSize = 1024;
  bool known = false;
  for (uint16_t m : kMinixMagics) known = known || magic == m;
  if (known) {
    inodes = field(0, 2);
    imaps = field(4, 2);
    zmaps = field(6, 2);
    firstZone = field(8, 2);
    logZoneSize = field(10, 2);
    zones = magic >= 0x2468 ? field(20, 4) : field(2, 2);
    const uint64_t state = field(18, 2);
    if (state == 0 || state > 3) return false;
  } else if (field(24, 2) == kMinix3Magic) {
    inodes = field(0, 4);
    imaps = field(6, 2);
    zmaps = field(8, 2);
    firstZone = field(10, 2);
    logZoneSize = field(12, 2);
    zones = field(20, 4);
    blockSize = field(28, 2);
    if (blockSize < 1024 || !IsPowerOfTwo(blockSize)) return false;
  } else {
    return false;
  }
  const uint64_t bitsPerBlock = blockSize * 8;
  return logZoneSize == 0 && inodes != 0 && inodes != 0xFFFFFFFF && firstZone < zones &&
         imaps * bitsPerBlock >= inodes + 1 && zmaps * bitsPerBlock >= zones - firstZone + 1;
}

}  // namespace

bool HasMinixSuperblock(Volume& volume) {
  const std::string sb = ProbeBytes(volume, kMinixSuperblock, 32);
  return !sb.empty() && (MinixSuperblockIn(sb, false) || MinixSuperblockIn(sb, true));
}

bool HasBefsSuperblock(Volume& volume) {
  for (size_t base : kBefsOffsets) {
    const std::string sb = ProbeBytes(volume, base, 128);
    for (bool bigEndian : {false, true}) {
      bool all = !sb.empty();
      for (size_t i = 0; i < 3; ++i) {
        all = all && EndianValue(sb, kBefsMagicOffsets[i], 4, bigEndian) == kBefsMagics[i];
      }
      if (all) return true;
    }
  }
  return false;
}

bool HasUfsSuperblock(Volume& volume) {
  for (size_t base : kUfsOffsets) {
    const std::string field = ProbeBytes(volume, base + kUfsMagic, 4);
    if (field.empty()) continue;
    for (uint32_t magic : kUfsMagics) {
      if (EndianValue(field, 0, 4, false) == magic || EndianValue(field, 0, 4, true) == magic)
        return true;
    }
  }
  return false;
}

bool HasZfsUberblock(Volume& volume) {
  // The first label's packed configuration opens with an XDR header.
  if (!DiskIO::IsZfsXdrHeader(ProbeBytes(volume, DiskIO::kZfsLabelConfigOffset, 4))) return false;
  const std::string array =
      ProbeBytes(volume, kZfsUberblocks, kZfsUberblockSize * kZfsUberblockCount);
  for (size_t at = 0; at < array.size(); at += kZfsUberblockSize) {
    const std::string_view magic = std::string_view(array).substr(at, 8);
    if (magic == kZfsUberblockMagic || magic == kZfsUberblockMagicBigEndian) return true;
  }
  return false;
}

bool HasFatBootSector(Volume& volume) {
  const std::string boot = ProbeBytes(volume, 0, kSectorSize);
  if (boot.empty()) return false;
  const uint8_t jump = static_cast<uint8_t>(boot[0]);
  if (!((jump == 0xEB && static_cast<uint8_t>(boot[2]) == 0x90) || jump == 0xE9)) return false;
  const uint64_t bytesPerSector = LittleEndianValue(boot, 11, 2);
  const uint8_t media = static_cast<uint8_t>(boot[21]);
  if (bytesPerSector < 512 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector) ||
      !IsPowerOfTwo(static_cast<uint8_t>(boot[13])) || LittleEndianValue(boot, 14, 2) == 0 ||
      boot[16] < 1 || boot[16] > 2 || (media != 0xF0 && media < 0xF8)) {
    return false;
  }
  const std::string_view text(boot);
  return text.substr(54, 5) == "FAT12" || text.substr(54, 5) == "FAT16" ||
         text.substr(54, 8) == "FAT     " || text.substr(82, 8) == "FAT32   ";
}

}  // namespace Module1
