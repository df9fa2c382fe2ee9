#include "fuzz_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <fcntl.h>

namespace {

constexpr uint64_t kSmallSector = 512;
constexpr uint64_t kLargeSector = 4096;
constexpr uint64_t kLargestPlacedOffset = uint64_t{1} << 44;
constexpr uint64_t kLargestEntryArray = 1024 * 1024;  // what the layout places, at most
constexpr size_t kEntryUnit = 128;
constexpr uint64_t kFirstFreeSector = 2;
constexpr int kFollowedRecords = 16;  // extended boot records whose pointers get chunks

// Returns the CRC-32 (reflected polynomial 0xEDB88320) of `bytes`, computed bit by bit so that
// it owes nothing to the scanner's own table-driven one.
uint32_t BitwiseCrc32(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Writes `bytes` at byte `offset` of the image unless the offset is too far out to place.
void Place(int fd, uint64_t offset, const uint8_t* bytes, size_t count) {
  if (count == 0 || offset > kLargestPlacedOffset) return;
  // A failed write only leaves zeros where the bytes would have been; the scan copes with both.
  (void)!pwrite(fd, bytes, count, static_cast<off_t>(offset));
}

// Writes a little-endian value of `length` bytes at byte `offset` of the image.
void PutField(int fd, uint64_t offset, uint64_t value, size_t length) {
  uint8_t bytes[8];
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  Place(fd, offset, bytes, length);
}

// The GPT header fields the layout needs, read leniently: the scanner decides what is valid.
struct HeaderFields {
  uint64_t headerSize;
  uint64_t arrayStart;
  uint64_t entrySize;
  uint64_t arrayBytes;  // entry count x entry size, at most kLargestEntryArray
};

HeaderFields ReadHeaderFields(const std::vector<uint8_t>& header) {
  const uint64_t count = LittleEndian(header, 80, 4);
  HeaderFields fields{LittleEndian(header, 12, 4), LittleEndian(header, 72, 8),
                      LittleEndian(header, 84, 4), 0};
  if (count != 0 && fields.entrySize <= kLargestEntryArray / count) {
    fields.arrayBytes = count * fields.entrySize;
  }
  return fields;
}

// Makes the CRC of the header at byte `at` match its bytes.
void FixHeaderCrc(int fd, uint64_t at, uint64_t headerSize) {
  if (headerSize < 20 || headerSize > kSmallSector) return;
  std::vector<uint8_t> header = ReadBack(fd, at, static_cast<size_t>(headerSize));
  std::fill(header.begin() + 16, header.begin() + 20, 0);
  PutField(fd, at + 16, BitwiseCrc32(header), 4);
}

// Moves the header to the image's new last sector as a backup copy that names that sector as
// its own, and wipes the primary's signature, so that only the backup can be used.
void MoveHeaderToBackup(int fd, uint64_t unit, bool fixCrc, uint64_t headerSize) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return;
  const uint64_t last = (static_cast<uint64_t>(info.st_size) + unit - 1) / unit;
  if (last * unit > kLargestPlacedOffset) return;
  const std::vector<uint8_t> header = ReadBack(fd, unit, kSmallSector);
  Place(fd, last * unit, header.data(), header.size());
  PutField(fd, last * unit + 24, last, 8);
  if (fixCrc) FixHeaderCrc(fd, last * unit, headerSize);
  (void)!ftruncate(fd, static_cast<off_t>((last + 1) * unit));
  PutField(fd, unit, 0, 8);
}

bool IsExtendedType(uint8_t type) {
  return type == 0x05 || type == 0x0F || type == 0x85;
}

// A place a partition chunk goes to; `extendedBase` is nonzero for an extended boot record.
struct Target {
  uint64_t sector;
  uint64_t extendedBase;
};

// The chunks' first places: the four primary entries (an extended entry's start is the first
// record of its chain), then the first sectors of the GPT entries in `array`.
std::vector<Target> FirstTargets(const std::vector<uint8_t>& sector0,
                                 const std::vector<uint8_t>& array, uint64_t entrySize) {
  std::vector<Target> targets;
  for (size_t entry = 0; entry < 4; ++entry) {
    const uint64_t start = LittleEndian(sector0, 454 + 16 * entry, 4);
    const bool extended =
        sector0.size() == kSmallSector && IsExtendedType(sector0[450 + 16 * entry]);
    if (start >= kFirstFreeSector) targets.push_back({start, extended ? start : 0});
  }
  if (entrySize >= 40) {
    for (size_t entry = 0; entry + entrySize <= array.size(); entry += entrySize) {
      const uint64_t first = LittleEndian(array, entry + 32, 8);
      if (first >= kFirstFreeSector) targets.push_back({first, 0});
    }
  }
  return targets;
}

}  // namespace

std::vector<uint8_t> ReadBack(int fd, uint64_t offset, size_t count) {
  std::vector<uint8_t> bytes(count, 0);
  if (offset <= kLargestPlacedOffset) {
    (void)!pread(fd, bytes.data(), count, static_cast<off_t>(offset));
  }
  return bytes;
}

uint64_t LittleEndian(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
  uint64_t value = 0;
  for (size_t i = length; i-- > 0;) {
    value = (value << 8) | (offset + i < bytes.size() ? bytes[offset + i] : 0);
  }
  return value;
}

uint64_t ImageSectorSize(int fd) {
  const bool large = std::memcmp(ReadBack(fd, kLargeSector, 8).data(), "EFI PART", 8) == 0 &&
                     std::memcmp(ReadBack(fd, kSmallSector, 8).data(), "EFI PART", 8) != 0;
  return large ? kLargeSector : kSmallSector;
}

bool WriteImage(const std::string& path, const uint8_t* data, size_t size) {
  const uint8_t flags = size > 0 ? data[0] : 0;
  const size_t arrayUnits = size > 1 ? data[1] : 0;
  const size_t skip = std::min<size_t>(size, 2);
  std::vector<uint8_t> rest(data + skip, data + size);
  const uint64_t unit = (flags & kLargeSectors) ? kLargeSector : kSmallSector;

  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t used = 0;
  const auto take = [&rest, &used](size_t wanted) {
    const size_t count = std::min(wanted, rest.size() - used);
    std::vector<uint8_t> chunk(rest.begin() + used, rest.begin() + used + count);
    used += count;
    return chunk;
  };

  const std::vector<uint8_t> sector0 = take(kSmallSector);
  Place(fd, 0, sector0.data(), sector0.size());
  const std::vector<uint8_t> header = take(kSmallSector);
  Place(fd, unit, header.data(), header.size());

  const HeaderFields fields = ReadHeaderFields(header);
  const std::vector<uint8_t> array =
      take(std::min<uint64_t>(fields.arrayBytes, arrayUnits * kEntryUnit));
  if (fields.arrayStart < kLargestPlacedOffset / unit) {
    Place(fd, fields.arrayStart * unit, array.data(), array.size());
  }

  // Each chunk lands at its target; a chunk at an extended boot record adds the places its
  // entries point to: its logical partition, and the next record of the chain.
  std::vector<Target> targets = FirstTargets(sector0, array, fields.entrySize);
  int followed = 0;
  for (size_t i = 0; i < targets.size() && used < rest.size(); ++i) {
    const Target target = targets[i];
    const std::vector<uint8_t> chunk = take(kSmallSector);
    if (target.sector < kLargestPlacedOffset / unit) {
      Place(fd, target.sector * unit, chunk.data(), chunk.size());
    }
    if (target.extendedBase == 0 || followed++ >= kFollowedRecords) continue;
    const uint64_t logical = LittleEndian(chunk, 454, 4);
    const uint64_t next = LittleEndian(chunk, 470, 4);
    if (logical > 0) targets.push_back({target.sector + logical, 0});
    if (next > 0 && chunk.size() > 466 && IsExtendedType(chunk[466])) {
      targets.push_back({target.extendedBase + next, target.extendedBase});
    }
  }

  if ((flags & kFixArrayCrc) && fields.arrayBytes > 0 &&
      fields.arrayStart < kLargestPlacedOffset / unit) {
    const std::vector<uint8_t> placed =
        ReadBack(fd, fields.arrayStart * unit, static_cast<size_t>(fields.arrayBytes));
    PutField(fd, unit + 88, BitwiseCrc32(placed), 4);
  }
  if (flags & kFixHeaderCrc) FixHeaderCrc(fd, unit, fields.headerSize);
  if (flags & kBackupHeader) {
    MoveHeaderToBackup(fd, unit, flags & kFixHeaderCrc, fields.headerSize);
  }
  close(fd);
  return true;
}
