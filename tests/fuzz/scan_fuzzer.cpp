// libFuzzer target: arbitrary bytes become one physical drive, which the real first pass scans.
//
// The input is laid out as a disk image in a scratch device folder (TVX_DEVICES), so the scan
// goes through the same platform calls as a run over a folder of evidence images: the open, the
// seeks, the reads of sector 0, of the GPT and of each partition's first sector. One drive's turn
// of the pass (Module1::ScanPhysicalDrive) runs per input, without the pass's pause.
//
// Input layout:
//   byte 0      flags: bit 0 rewrites the GPT header CRC to match, bit 1 the entry array CRC,
//               bit 2 makes the drive PhysicalDrive5 instead of PhysicalDrive0, bit 3 lays the
//               GPT and the partitions out in 4096-byte sectors (a 4Kn disk), bit 4 moves the
//               GPT header to a new last sector as the backup copy, wiping the primary; bit 5
//               gives the rest of the input to the BitLocker and LUKS metadata parsers, the ZFS
//               label, block and pool readers and the parsers of open volumes' answers instead
//               (see CheckMetadataParsers), and nothing is scanned
//   byte 1      k: up to k x 128 bytes of the GPT entry array come from the input
//   then        sector 0 (512 bytes), sector 1 (the GPT header, 512 bytes), the entry array
//               (as many bytes as the header and k allow), and the first sectors of the
//               partitions, 512 bytes each, in the order of the four primary entries and then
//               the entries of the GPT array, skipping entries that name sector 0 or 1. Each
//               lands at the sector its entry names. A chunk that lands where an extended entry
//               (or the chain after it) points is an extended boot record: the sectors its two
//               entries name, its logical partition and the next record, get chunks too.
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

#include "disk/layout.h"
#include "disk/sector.h"
#include "disk/zfs_compression.h"
#include "disk/zfs_label.h"
#include "disk/zfs_pool.h"
#include "fuzz_image.h"
#include "platform/container_format-posix.h"
#include "platform/fuse_volumes-posix.h"
#include "platform/volume_names.h"
#include "render/console.h"
#include "render/console_report.h"
#include "report_check.h"
#include "run/key_protectors.h"
#include "run/module1.h"

namespace {

constexpr uint64_t kSector = 512;

std::string deviceFolder;

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

// True when the partition at byte `start` carries the superblock of a file system that has no
// boot signature, judged from the file systems' own layouts: ext2/3/4, XFS, swap, LVM2 (both of
// its marks), F2FS, HFS+ or HFSX, md RAID 1.1 or 1.2 in its first 8 KiB; Btrfs at 64 KiB.
bool HoldsFileSystem(int fd, uint64_t start) {
  const std::vector<uint8_t> head = ReadBack(fd, start, 8192);
  const std::vector<uint8_t> far = ReadBack(fd, start + 65536, kSector);
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
// volume there, are always findings; so is a sector 0 that is no partition table (no boot
// signature, not all zeros) unless the disk is shown as one named volume or a GPT behind it was
// read; and, for a partition table, every primary partition that is BitLocker or LUKS, and every
// one whose first sector lacks the boot signature and that holds no file system this check or
// the report names. A volume whose later reads failed (a gap the report says) may go without
// the guess. Aborts when such a finding went unreported.
void CheckNothingHidden(const std::string& path, const Report& report) {
  // A drive the report says it could not read (a container this build cannot read, among
  // others) hides nothing: it counts as unread.
  if (report.drives.back().status != DriveStatus::Read) return;
  const bool anyFound = report.anyFound;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) return;
  if (fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_size) < kSector ||
      DetectFileFormat(fd, static_cast<uint64_t>(info.st_size)) != ImageFormat::kRaw) {
    close(fd);  // nothing to judge from the raw bytes: too short, or a container's own bytes
    return;
  }
  const std::vector<uint8_t> sector0 = ReadBack(fd, 0, kSector);
  const uint64_t unit = ImageSectorSize(fd);
  const DriveRecord& drive = report.drives.back();
  bool mustFind = Contains(sector0, "PGP") || Contains(sector0, "TrueCrypt") ||
                  Contains(sector0, "VeraCrypt") || IsEncryptedVolume(sector0);
  // A disk the report shows as one named volume has no partitions to hide; a GPT found behind a
  // sector 0 without a protective entry stands in for the four entries.
  const bool partitioned = drive.fileSystem.empty() && !IsVolumeBootSector(sector0);
  const bool gpt = drive.table == PartitionTable::Gpt;
  if (!mustFind && partitioned && !HasProtectiveEntry(sector0) && !gpt) {
    // Sector 0 without the boot signature, not all zeros: no partition table, a finding of its
    // own, unless a GPT behind it checked out and the partitions were read.
    const bool signature0 = sector0[510] == 0x55 && sector0[511] == 0xAA;
    const bool allZero = std::all_of(sector0.begin(), sector0.end(), [](uint8_t b) { return !b; });
    // A read of the disk (or of its GPT) that failed stands in the finding's place: the report
    // says it could not tell.
    const bool diskUnread = drive.volumeReadFailure.has_value() || !drive.tableReadErrors.empty();
    // A sector 0 of plain text is said to be no disk: it must be text indeed.
    const bool text = std::all_of(sector0.begin(), sector0.end(), [](uint8_t c) {
      return (c >= 0x20 && c <= 0x7E) || c == '\t' || c == '\n' || c == '\r';
    });
    if (drive.notADisk && !text) {
      std::fprintf(stderr, "scan_fuzzer: a sector 0 that is not text was called text\n");
      std::abort();
    }
    if (!signature0 && !allZero && drive.table == PartitionTable::None && !diskUnread &&
        !drive.notADisk) {
      mustFind = true;
    }
    for (size_t entry = 0; entry < 4; ++entry) {
      const uint64_t start = LittleEndian(sector0, 454 + 16 * entry, 4);
      if (start == 0 || drive.table == PartitionTable::None) continue;
      // A first sector at or past the end of the image, or only partly in it, does not read
      // (the drive reads whole sectors): the report says so.
      if ((start + 1) * unit > static_cast<uint64_t>(info.st_size)) continue;
      const std::vector<uint8_t> first = ReadBack(fd, start * unit, kSector);
      if (IsEncryptedVolume(first)) mustFind = true;
      // A partition the report names (the file-system table knows some sixty formats, beyond
      // this check's own few) shows its name instead.
      // So does one whose later reads failed: that failure is said instead.
      const auto listed = [entry](const PartitionRecord& p) {
        return p.number == static_cast<int32_t>(entry + 1);
      };
      const bool named = std::any_of(
          drive.partitions.begin(), drive.partitions.end(),
          [&listed](const PartitionRecord& p) { return listed(p) && !p.fileSystem.empty(); });
      const bool unread = std::any_of(drive.partitions.begin(), drive.partitions.end(),
                                      [&listed](const PartitionRecord& p) {
                                        return listed(p) && p.volumeReadFailure.has_value();
                                      });
      // And one said to be empty must hold nothing but zeros in its first MiB.
      const bool empty =
          std::any_of(drive.partitions.begin(), drive.partitions.end(),
                      [&listed](const PartitionRecord& p) { return listed(p) && p.empty; });
      if (empty) {
        const std::vector<uint8_t> head = ReadBack(fd, start * unit, 1 << 20);
        const uint64_t count = LittleEndian(sector0, 458 + 16 * entry, 4) * unit;
        const size_t checked = count != 0 && count < head.size() ? count : head.size();
        if (std::any_of(head.begin(), head.begin() + checked, [](uint8_t b) { return b != 0; })) {
          std::fprintf(stderr, "scan_fuzzer: a partition with data was called empty\n");
          std::abort();
        }
      }
      const bool bootSignature = first[510] == 0x55 && first[511] == 0xAA;
      if (!bootSignature && !named && !unread && !empty && !HoldsFileSystem(fd, start * unit)) {
        mustFind = true;
      }
    }
  }
  close(fd);
  if (mustFind && !anyFound) {
    std::fprintf(stderr, "scan_fuzzer: a finding in this input was not reported\n");
    std::abort();
  }
}

// Gives `bytes` to the parsers of ZFS metadata and of what open volumes answer: as a label's
// configuration, as a block in each compression, as the VeraCrypt drivers' mount list and as a
// "control" file; then as every sector of an 8 MiB volume, the input repeated, whose pool is read
// from its labels on. Aborts when a decoded block is not of the size asked for.
void CheckZfsParsers(const std::string& bytes) {
  DiskIO::ZfsLabel label;
  DiskIO::ParseZfsLabel(bytes, label);
  for (uint8_t compression : {DiskIO::kZfsCompressOff, DiskIO::kZfsCompressLzjb,
                              DiskIO::kZfsCompressLz4, DiskIO::kZfsCompressEmpty}) {
    std::string out;
    if (DiskIO::ZfsDecompress(compression, bytes, 4096, out) && out.size() != 4096) {
      std::fprintf(stderr, "scan_fuzzer: a block decoded to %zu bytes, not 4096\n", out.size());
      std::abort();
    }
  }
  ParseDriverMountList(bytes);
  AuxiliaryVolume auxiliary;
  ParseAuxiliaryControl(bytes, auxiliary);
  if (bytes.empty()) return;
  DiskIO::DriveSectors drive;
  drive.length = 8 << 20;
  drive.read = [&bytes](uint64_t first, uint32_t count, std::string& sectors, uint32_t&) {
    sectors.assign(uint64_t{count} * kSector, '\0');
    for (size_t i = 0; i < sectors.size(); ++i)
      sectors[i] = bytes[(first * kSector + i) % bytes.size()];
    return true;
  };
  DiskIO::Volume volume = DiskIO::WholeDrive(drive, DiskIO::kMetadataBudget);
  DiskIO::ReadZfsEncryption(volume);
}

// Gives `bytes` to the metadata parsers directly: as an FVE metadata block, as a BitLocker
// volume whose first sector names its blocks, as a LUKS1 header and as a LUKS2 JSON area.
// Aborts when a read of BitLocker metadata asks for more than 64 KiB, or a line said about a
// volume holds a control character.
void CheckMetadataParsers(const std::string& bytes) {
  DiskIO::FveMetadata metadata;
  std::vector<std::string> notes;
  if (DiskIO::ParseFveBlock(bytes, metadata)) {
    notes = Module1::UnlockNotes("bitlocker", Module1::BitLockerUnlockFacts(metadata));
  }
  const ByteSource volume = [&bytes](uint64_t offset, size_t count) {
    if (count > 65536) {
      std::fprintf(stderr, "scan_fuzzer: a read of BitLocker metadata past 64 KiB\n");
      std::abort();
    }
    return offset < bytes.size() ? bytes.substr(offset, count) : std::string();
  };
  if (DiskIO::ReadFveMetadata(bytes.substr(0, kSector), volume, metadata)) {
    for (std::string& note :
         Module1::UnlockNotes("bitlocker", Module1::BitLockerUnlockFacts(metadata)))
      notes.push_back(note);
  }
  DiskIO::LuksKeys keys;
  if (DiskIO::ParseLuks1Header(bytes, keys) || DiskIO::ParseLuks2JsonArea(bytes, keys)) {
    for (std::string& note : Module1::UnlockNotes("luks", Module1::LuksUnlockFacts(keys)))
      notes.push_back(note);
  }
  CheckZfsParsers(bytes);
  for (const std::string& note : notes) {
    for (char c : note) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
        std::fprintf(stderr, "scan_fuzzer: a note holds a control character\n");
        std::abort();
      }
    }
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
  if (size > 0 && (data[0] & kMetadataOnly)) {
    CheckMetadataParsers(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
  }
  const bool driveFive = size > 0 && (data[0] & kDriveFive);
  const int32_t n = driveFive ? 5 : 0;
  const std::string path = deviceFolder + "/PhysicalDrive" + std::to_string(n);
  if (!WriteImage(path, data, size)) return 0;

  SectorBuffer sectorBuffer{};
  Report report;
  Module1::ScanPhysicalDrive(n, sectorBuffer, report);

  // Shown first, so that an input the checks stop on shows what the scanner made of it.
  const bool show = std::getenv("TVX_FUZZ_SHOW_REPORT") != nullptr;
  if (show) ConsoleStuff::WriteDrive(report, report.drives.back());
  CheckNothingHidden(path, report);
  if (!show) CheckRenderedReports(report);
  // Removed after each input: only an input that ends the process leaves its image behind.
  unlink(path.c_str());
  return 0;
}
