// libFuzzer target: arbitrary bytes become one physical drive, which the real first pass scans.
//
// The input is laid out as a disk image in a scratch device folder (TVX_DEVICES), so the scan
// goes through the same platform calls as a run over a folder of evidence images: the open, the
// seeks, the reads of sector 0, of the GPT and of each partition's first sector. One drive's turn
// of the pass (Module1::ScanPhysicalDrive) runs per input, without the pass's pause.
//
// Input layout:
//   byte 0      flags: bit 0 rewrites the GPT header CRC to match, bit 1 the entry array CRC,
//               bit 2 makes the drive PhysicalDrive5 instead of PhysicalDrive0
//   byte 1      k: up to k x 128 bytes of the GPT entry array come from the input
//   then        sector 0 (512 bytes), sector 1 (the GPT header, 512 bytes), the entry array
//               (as many bytes as the header and k allow), and the first sectors of the
//               partitions, 512 bytes each, in the order of the four primary entries and then
//               the entries of the GPT array, skipping entries that name sector 0 or 1. Each
//               lands at the sector its entry names.
// An input shorter than a sector gives a drive shorter than a sector. Sectors too far out to be
// written (past 2^44 bytes) stay unwritten: the drive reads as zeros there, as a disk that is
// smaller than its partition table claims.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
#include "disk/layout.h"
#include "disk/sector.h"
#include "report_check.h"
#include "run/module1.h"

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kLargestPlacedOffset = uint64_t{1} << 44;
constexpr uint64_t kLargestEntryArray = 1024 * 1024;  // 1024 entries of at most 1024 bytes
constexpr size_t kEntryUnit = 128;
constexpr uint8_t kFixHeaderCrc = 1;
constexpr uint8_t kFixArrayCrc = 2;
constexpr uint8_t kDriveFive = 4;

std::string deviceFolder;

// Returns the little-endian value of `length` bytes at `offset` of `bytes`, zeros past the end.
uint64_t LittleEndian(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
  uint64_t value = 0;
  for (size_t i = length; i-- > 0;) {
    value = (value << 8) | (offset + i < bytes.size() ? bytes[offset + i] : 0);
  }
  return value;
}

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

// Returns `count` bytes at `offset` of the image, zeros past its end.
std::vector<uint8_t> ReadBack(int fd, uint64_t offset, size_t count) {
  std::vector<uint8_t> bytes(count, 0);
  if (offset <= kLargestPlacedOffset) {
    (void)!pread(fd, bytes.data(), count, static_cast<off_t>(offset));
  }
  return bytes;
}

// Writes a 32-bit little-endian value at byte `offset` of sector 1.
void PutHeaderField(int fd, size_t offset, uint32_t value) {
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  Place(fd, kSector + offset, bytes, sizeof bytes);
}

// The GPT header fields the layout needs, read leniently: the scanner decides what is valid.
struct HeaderFields {
  uint64_t headerSize;
  uint64_t arrayStart;
  uint64_t entryCount;
  uint64_t entrySize;
  uint64_t arrayBytes;  // entryCount x entrySize, at most kLargestEntryArray
};

HeaderFields ReadHeaderFields(const std::vector<uint8_t>& header) {
  HeaderFields fields{LittleEndian(header, 12, 4), LittleEndian(header, 72, 8),
                      LittleEndian(header, 80, 4), LittleEndian(header, 84, 4), 0};
  if (fields.entryCount != 0 && fields.entrySize <= kLargestEntryArray / fields.entryCount) {
    fields.arrayBytes = fields.entryCount * fields.entrySize;
  }
  return fields;
}

// Makes the header's two CRCs match what now lies on the image, as the flags ask.
void FixCrcs(int fd, uint8_t flags, const HeaderFields& fields) {
  if ((flags & kFixArrayCrc) && fields.arrayBytes > 0 &&
      fields.arrayStart < kLargestPlacedOffset / kSector) {
    const std::vector<uint8_t> array =
        ReadBack(fd, fields.arrayStart * kSector, static_cast<size_t>(fields.arrayBytes));
    PutHeaderField(fd, 88, BitwiseCrc32(array));
  }
  if ((flags & kFixHeaderCrc) && fields.headerSize >= 20 && fields.headerSize <= kSector) {
    std::vector<uint8_t> header = ReadBack(fd, kSector, static_cast<size_t>(fields.headerSize));
    std::fill(header.begin() + 16, header.begin() + 20, 0);
    PutHeaderField(fd, 16, BitwiseCrc32(header));
  }
}

// Returns the sectors that the partition chunks go to: the start sectors of the four primary
// entries, then the first sectors of the GPT entries in `array`, leaving out sectors 0 and 1
// (a protective entry starts at 1), which the input has filled already.
std::vector<uint64_t> PartitionTargets(const std::vector<uint8_t>& sector0,
                                       const std::vector<uint8_t>& array, uint64_t entrySize) {
  constexpr uint64_t kFirstFreeSector = 2;
  std::vector<uint64_t> targets;
  for (size_t offset : {454, 470, 486, 502}) {
    const uint64_t start = LittleEndian(sector0, offset, 4);
    if (start >= kFirstFreeSector) targets.push_back(start);
  }
  if (entrySize >= 40) {
    for (size_t entry = 0; entry + entrySize <= array.size(); entry += entrySize) {
      const uint64_t first = LittleEndian(array, entry + 32, 8);
      if (first >= kFirstFreeSector) targets.push_back(first);
    }
  }
  return targets;
}

// Lays the input out as the image at `path`; returns false when the image cannot be made.
bool WriteImage(const std::string& path, const uint8_t* data, size_t size) {
  const uint8_t flags = size > 0 ? data[0] : 0;
  const size_t arrayUnits = size > 1 ? data[1] : 0;
  const size_t skip = std::min<size_t>(size, 2);
  std::vector<uint8_t> rest(data + skip, data + size);

  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t used = 0;
  const auto take = [&rest, &used](size_t wanted) {
    const size_t count = std::min(wanted, rest.size() - used);
    std::vector<uint8_t> chunk(rest.begin() + used, rest.begin() + used + count);
    used += count;
    return chunk;
  };

  const std::vector<uint8_t> sector0 = take(kSector);
  Place(fd, 0, sector0.data(), sector0.size());
  const std::vector<uint8_t> header = take(kSector);
  Place(fd, kSector, header.data(), header.size());

  const HeaderFields fields = ReadHeaderFields(header);
  const std::vector<uint8_t> array =
      take(std::min<uint64_t>(fields.arrayBytes, arrayUnits * kEntryUnit));
  if (fields.arrayStart < kLargestPlacedOffset / kSector) {
    Place(fd, fields.arrayStart * kSector, array.data(), array.size());
  }

  for (uint64_t target : PartitionTargets(sector0, array, fields.entrySize)) {
    if (used >= rest.size()) break;
    const std::vector<uint8_t> chunk = take(kSector);
    if (target < kLargestPlacedOffset / kSector)
      Place(fd, target * kSector, chunk.data(), chunk.size());
  }
  FixCrcs(fd, flags, fields);
  close(fd);
  return true;
}

// True when `sector` holds `mark` anywhere.
bool Contains(const std::vector<uint8_t>& sector, const char* mark) {
  const size_t length = std::strlen(mark);
  return std::search(sector.begin(), sector.end(), mark, mark + length) != sector.end();
}

// True when the OEM field of `sector0` makes it a volume boot sector rather than a partition
// table: it begins with NTFS, MSDOS or MSWIN.
bool IsVolumeBootSector(const std::vector<uint8_t>& sector0) {
  return std::memcmp(sector0.data() + 3, "NTFS", 4) == 0 ||
         std::memcmp(sector0.data() + 3, "MSDOS", 5) == 0 ||
         std::memcmp(sector0.data() + 3, "MSWIN", 5) == 0;
}

// True when one of the four primary entries has the GPT protective type.
bool HasProtectiveEntry(const std::vector<uint8_t>& sector0) {
  constexpr size_t kTypeOffsets[] = {450, 466, 482, 498};
  return std::any_of(std::begin(kTypeOffsets), std::end(kTypeOffsets),
                     [&sector0](size_t offset) { return sector0[offset] == 0xEE; });
}

// True when `bytes` hold the `length` bytes of `mark` at `offset`.
bool HasAt(const std::vector<uint8_t>& bytes, size_t offset, const char* mark, size_t length) {
  return offset + length <= bytes.size() && std::memcmp(bytes.data() + offset, mark, length) == 0;
}

// True when `sector` is the first sector of a BitLocker or BitLocker To Go volume, or of LUKS.
bool IsEncryptedVolume(const std::vector<uint8_t>& sector) {
  static const char kBitLockerGuid[] =
      "\x3B\xD6\x67\x49\x29\x2E\xD8\x4A\x83\x99\xF6\xA3\x39\xE3\xD0\x01";
  return HasAt(sector, 3, "-FVE-FS-", 8) ||
         (HasAt(sector, 3, "MSWIN4.1", 8) && HasAt(sector, 424, kBitLockerGuid, 16)) ||
         HasAt(sector, 0, "LUKS\xBA\xBE", 6);
}

// True when the partition at sector `start` carries the superblock of a file system that has no
// boot signature, judged from the file systems' own layouts: ext2/3/4, XFS, swap, LVM2 (both of
// its marks), F2FS, HFS+ or HFSX, md RAID 1.1 or 1.2 in its first 8 KiB; Btrfs at 64 KiB.
bool HoldsFileSystem(int fd, uint64_t start) {
  const std::vector<uint8_t> head = ReadBack(fd, start * kSector, 8192);
  const std::vector<uint8_t> far = ReadBack(fd, start * kSector + 65536, kSector);
  const char* raid = "\xFC\x4E\x2B\xA9";
  return HasAt(head, 1080, "\x53\xEF", 2) || HasAt(head, 0, "XFSB", 4) ||
         HasAt(head, 4086, "SWAPSPACE2", 10) || HasAt(head, 4086, "SWAP-SPACE", 10) ||
         (HasAt(head, 512, "LABELONE", 8) && HasAt(head, 536, "LVM2 001", 8)) ||
         HasAt(head, 1024, "\x10\x20\xF5\xF2", 4) || HasAt(head, 1024, "H+", 2) ||
         HasAt(head, 1024, "HX", 2) || HasAt(head, 0, raid, 4) || HasAt(head, 4096, raid, 4) ||
         HasAt(far, 64, "_BHRfS_M", 8);
}

// Checks what the examiner must have been shown for the image at `path`, judged from the image
// itself: a TrueCrypt, VeraCrypt or PGP mark anywhere in sector 0, and a BitLocker or LUKS
// volume there, are always findings; so, for a plain partition table, is every primary
// partition that is BitLocker or LUKS, and every one whose first sector lacks the boot
// signature and that holds no known file system. Aborts when such a finding went unreported.
void CheckNothingHidden(const std::string& path, bool anyFound) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) return;
  if (fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_size) < kSector) {
    close(fd);  // sector 0 cannot be read: nothing to find
    return;
  }
  const std::vector<uint8_t> sector0 = ReadBack(fd, 0, kSector);
  bool mustFind = Contains(sector0, "PGP") || Contains(sector0, "TrueCrypt") ||
                  Contains(sector0, "VeraCrypt") || IsEncryptedVolume(sector0);
  if (!mustFind && !IsVolumeBootSector(sector0) && !HasProtectiveEntry(sector0)) {
    for (size_t offset : {454, 470, 486, 502}) {
      const uint64_t start = LittleEndian(sector0, offset, 4);
      if (start == 0) continue;
      const std::vector<uint8_t> first = ReadBack(fd, start * kSector, kSector);
      if (IsEncryptedVolume(first)) mustFind = true;
      const bool bootSignature = first[510] == 0x55 && first[511] == 0xAA;
      if (!bootSignature && !HoldsFileSystem(fd, start)) mustFind = true;
    }
  }
  close(fd);
  if (mustFind && !anyFound) {
    std::fprintf(stderr, "scan_fuzzer: a finding in this input was not reported\n");
    std::abort();
  }
}

void RemoveDeviceFolder() {
  if (deviceFolder.empty()) return;
  unlink((deviceFolder + "/PhysicalDrive0").c_str());
  unlink((deviceFolder + "/PhysicalDrive5").c_str());
  rmdir(deviceFolder.c_str());
}

}  // namespace

/// Makes the scratch device folder, points TVX_DEVICES at it before the first open, and sends
/// the console report to a memory file where the checks read it back, unless
/// TVX_FUZZ_SHOW_REPORT is set (to see what the scanner makes of one input: run the target with
/// that input as its argument). Returns 0; exits when the folder cannot be made.
extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/tvx-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("scan_fuzzer: mkdtemp");
    std::exit(1);
  }
  deviceFolder = pattern;
  std::atexit(RemoveDeviceFolder);
  setenv("TVX_DEVICES", deviceFolder.c_str(), 1);

  if (std::getenv("TVX_FUZZ_SHOW_REPORT") == nullptr && !CaptureStandardOutput()) {
    std::perror("scan_fuzzer: memfd_create");
    std::exit(1);
  }
  ConsoleStuff::hStdOut = GetStdHandle(STD_OUTPUT_HANDLE);
  ConsoleStuff::hStdIn = GetStdHandle(STD_INPUT_HANDLE);
  return 0;
}

/// Scans one input as a drive. Returns 0; a crash, a sanitizer report, an error that escapes the
/// scan or a hidden finding ends the process.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const bool driveFive = size > 0 && (data[0] & kDriveFive);
  const int32_t n = driveFive ? 5 : 0;
  const std::string path = deviceFolder + "/PhysicalDrive" + std::to_string(n);
  if (!WriteImage(path, data, size)) return 0;

  SectorBuffer sectorBuffer{};
  Report report;
  Module1::ScanPhysicalDrive(n, sectorBuffer, report);

  CheckNothingHidden(path, report.anyFound);
  if (std::getenv("TVX_FUZZ_SHOW_REPORT") == nullptr) CheckRenderedReports(report);
  // Removed after each input: only an input that ends the process leaves its image behind.
  unlink(path.c_str());
  return 0;
}
