// What a run saw, as data: the drives and their partitions, the drive letters, and the findings.
// The scans fill it in; the console report and the JSON report are drawn from it.
#ifndef TVX_REPORT_REPORT_H_
#define TVX_REPORT_REPORT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "disk/sector.h"
#include "platform/device_folder.h"

/// Where a list of partitions came from.
enum class PartitionTable { None, Mbr, Gpt, Ebr };

/// How far a drive got: opened and sector 0 read, or where it stopped (TimedOut: its open, a
/// query before sector 0 or the read of sector 0 did not answer within the device timeout).
enum class DriveStatus { Read, OpenFailed, ReadFailed, TimedOut };

/// A kind of key protector that can unlock a volume ("TPM", "passphrase or key file"), and how
/// many of that kind the volume has.
struct Protector {
  std::string name;
  int32_t count = 0;
};

/// What a BitLocker or LUKS volume's own metadata says about opening it again: its key
/// protectors, in the order the report lists them, and BitLocker's encryption state.
struct UnlockFacts {
  bool read = false;  // false: the metadata could not be read, or did not check out
  std::vector<Protector> protectors = {};
  std::string state = {};  // "encrypted", "encrypting", "decrypting", "paused", "unknown"; or empty
};

/// PhysicalDrive0 to 15 are tried whatever the system lists; a higher number only when the
/// system lists it, so that a drive from here on exists even when it fails to open.
constexpr int32_t kAlwaysTriedDrives = 16;

/// Something the report says may be encrypted. `message` holds its words, lines separated by
/// "\n", with no line break before or after: a renderer frames them. The place fields are -1
/// (or letter 0) where they do not apply.
struct Finding {
  std::string kind;  // stable kebab-case name, e.g. "bitlocker"
  int32_t drive = -1;
  int32_t partition = -1;
  char letter = 0;
  std::string message;
  /// Further lines about the same volume (whether it is open now, how it can be unlocked), each
  /// its own line, said after the message; the JSON report gives the same facts as members.
  std::vector<std::string> notes = {};
  /// On a live drive: true when the volume is seen open now; false when a volume the system
  /// itself opens (BitLocker, LUKS) is not. Unset where that cannot be known: an image file, or
  /// a volume of another kind not seen open.
  std::optional<bool> open = std::nullopt;
  /// Where an open volume's contents can be read: its letters, mount folders or device name.
  std::vector<std::string> readableThrough = {};
  /// For a BitLocker or LUKS volume: what its metadata says about unlocking it again.
  std::optional<UnlockFacts> unlock = std::nullopt;
};

/// A read of a volume past its first sector that failed: the system's code and the drive sector
/// where the read began.
struct ReadFailure {
  uint32_t error = 0;
  uint64_t sector = 0;
};

/// One partition whose first sector the run tried to read.
struct PartitionRecord {
  int32_t number = 0;
  PartitionTable table = PartitionTable::Mbr;
  uint64_t firstSector = 0;
  bool read = false;  // false: the read failed with `error`
  uint32_t error = 0;
  std::string oemId;  // the 8 bytes at offset 3, as read
  bool hasLabel = false;
  std::string label;       // the FAT volume label, when `hasLabel`
  std::string fileSystem;  // a file system known by its superblock, or empty
  /// A later read of the partition (its probes, its metadata, its folders) that failed.
  std::optional<ReadFailure> volumeReadFailure = std::nullopt;
  bool empty = false;  // its first sector and the rest of its first MiB are all zeros
};

/// One physical drive the run opened or tried to open.
struct DriveRecord {
  int32_t number = 0;
  std::string path;
  DriveStatus status = DriveStatus::Read;
  uint32_t error = 0;                           // the system's code when status is not Read
  uint32_t sectorSize = 0;                      // logical sector size in bytes, 0 until known
  PartitionTable table = PartitionTable::None;  // the table its partitions came from
  std::vector<TableReadError> tableReadErrors;  // failed reads of table sectors, in order
  std::vector<PartitionRecord> partitions;
  bool logicalChainCut = false;  // a chain of extended boot records went on past the caps
  std::string fileSystem;    // a volume written on the whole disk, as the table names it, or empty
  std::string imageFormat;   // a container this build cannot read: its format ...
  std::string imageProblem;  // ... and why
  std::string source;        // the block device, image file or system disk device behind `path`
  bool live = false;         // opened, and a device of this machine rather than an image file
  /// A read of the disk as one volume, past its sector 0, that failed (its probes, its metadata).
  std::optional<ReadFailure> volumeReadFailure = std::nullopt;
  uint64_t length = 0;      // bytes, as the drive says; 0 when it does not
  bool notADisk = false;    // its sector 0 is plain text: a text file, not a disk image
  bool gptDamaged = false;  // a protective entry, but no GPT header checks out
  /// The highest sector that the table entries the run examined reach (an entry's last sector,
  /// a GPT header's backup and last usable sectors), when a table was examined.
  std::optional<uint64_t> tableReach = std::nullopt;
  bool listed = false;     // the system lists it, or its device folder entry exists
  std::string linkTarget;  // open failed: the entry is a link to this, which does not exist
  /// The seconds a call to the drive was waited for when it did not answer, after which nothing
  /// more of it was examined; 0 when every call answered.
  uint32_t timedOutAfter = 0;
};

/// True when `drive` was read but its length is not a whole number of its sectors.
bool DriveSizeIsOdd(const DriveRecord& drive);

/// True when `drive` was read and its table reaches sector `tableReach` at or past its end.
bool DriveShorterThanTable(const DriveRecord& drive);

/// A partition of a physical drive of this run, by their numbers.
struct DrivePlace {
  int32_t drive = 0;
  int32_t partition = 0;  // 0: the drive itself, outside any partition it lists
};

/// One drive letter that opened, with the storage stack's answer for it.
struct VolumeRecord {
  char letter = 'A';
  bool answered = false;  // false: the device number query failed, the fields are 0
  int32_t deviceType = 0;
  int32_t deviceNumber = 0;
  int32_t partitionNumber = 0;
  /// Where the data of a volume that lives on no device lies, when every piece of it lies on a
  /// physical drive of this run and no encryption layer is in between: LVM, RAID, spanned.
  std::vector<DrivePlace> liesOn = {};
  /// A network drive: its volume is on another machine, so the letter is not opened.
  bool network = false;
};

/// One drive letter that exists but could not be opened, or that did not answer.
struct LetterFailure {
  char letter = 'A';
  uint32_t error = 0;  // the system's code
  /// The seconds a call about the letter was waited for when it did not answer, after which the
  /// letter was not examined; 0 when it answered with `error`.
  uint32_t timedOutAfter = 0;
};

/// The whole run.
struct Report {
  std::vector<DriveRecord> drives;
  std::vector<VolumeRecord> volumes;
  std::vector<LetterFailure> letterFailures;  // in letter order
  /// The device folder's entries that look like evidence but were not read, in name order.
  std::vector<std::string> unexaminedEntries = {};
  /// The device folder (or image) named to stand in for the drives, when it does not exist:
  /// nothing was scanned.
  std::string missingDevices = {};
  std::vector<Finding> findings;  // in report order
  bool anyFound = false;
  /// Whether the process runs as Administrator or root: a drive that refused access to such a
  /// process will not open by running again.
  bool elevated = true;
};

/// Whether a drive would be mentioned in a report: drive 0 always, a drive the system listed (or
/// whose device folder entry exists, a dangling link included) always, any other drive unless it
/// simply does not exist (its open failed with code 2 or 3).
bool DriveIsReported(const DriveRecord& drive);

/// Whether a letter that failed to open with `error` exists: every code but 2 and 3 (no such
/// letter) and 21 (not ready: an empty card reader or optical drive).
bool LetterFailureIsReported(uint32_t error);

/// True when a device folder entry looks like evidence that the run did not read: neither a
/// drive or letter name nor covered by one (the same file, or an image's other segments or
/// extents), not a folder, and named "physicaldrive..." in any case, or ending in .dd, .raw,
/// .img, .bin, .iso, .dmg, .e01, .ex01, .001, .vhd, .vhdx, .vmdk, .vdi, .qcow or .qcow2 in any
/// case, or a block device, or a regular file of 1 MiB or more.
bool LooksLikeUnexaminedEvidence(const FolderEntry& entry);

/// True when the storage stack placed a letter's volume on no device at all (every field 0).
bool LivesOnNoDevice(const VolumeRecord& volume);

/// True when at least one physical drive was opened and its sector 0 read in full: only then
/// can a report without findings be taken as "nothing there".
bool AnyDriveRead(const Report& report);

/// Adds a finding in report order and sets `anyFound`.
void AddFinding(Report& report, Finding finding);

/// Receives each part of the report as soon as the scans have completed it, so that a console
/// report can be written as the run goes. Any member may be empty.
struct ReportProgress {
  std::function<void(const Report&, const DriveRecord&)> driveDone;
  std::function<void(const Report&, const VolumeRecord&)> volumeDone;
  std::function<void(const Report&, const LetterFailure&)> letterFailed;
};

#endif  // TVX_REPORT_REPORT_H_
