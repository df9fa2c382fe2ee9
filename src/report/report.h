// What a run saw, as data: the drives and their partitions, the drive letters, and the findings.
// The scans fill it in; the console report and the JSON report are drawn from it.
#ifndef TVX_REPORT_REPORT_H_
#define TVX_REPORT_REPORT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Where a list of partitions came from.
enum class PartitionTable { None, Mbr, Gpt, Ebr };

/// How far a drive got: opened and sector 0 read, or where it stopped.
enum class DriveStatus { Read, OpenFailed, ReadFailed };

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
};

/// One physical drive the run opened or tried to open.
struct DriveRecord {
  int32_t number = 0;
  std::string path;
  DriveStatus status = DriveStatus::Read;
  uint32_t error = 0;                           // the system's code when status is not Read
  uint32_t sectorSize = 0;                      // logical sector size in bytes, 0 until known
  PartitionTable table = PartitionTable::None;  // the table its partitions came from
  std::vector<uint32_t> tableReadErrors;        // failed reads of table sectors, in order
  std::vector<PartitionRecord> partitions;
  std::string fileSystem;    // a volume written on the whole disk, as the table names it, or empty
  std::string imageFormat;   // a container this build cannot read: its format ...
  std::string imageProblem;  // ... and why
};

/// One drive letter that opened, with the storage stack's answer for it.
struct VolumeRecord {
  char letter = 'A';
  bool answered = false;  // false: the device number query failed, the fields are 0
  int32_t deviceType = 0;
  int32_t deviceNumber = 0;
  int32_t partitionNumber = 0;
};

/// The whole run.
struct Report {
  std::vector<DriveRecord> drives;
  std::vector<VolumeRecord> volumes;
  std::vector<Finding> findings;  // in report order
  bool anyFound = false;
};

/// Whether a drive would be mentioned in a report: drive 0 always, any other drive unless it
/// simply does not exist (its open failed with code 2 or 3).
bool DriveIsReported(const DriveRecord& drive);

/// True when the storage stack placed a letter's volume on no device at all (every field 0).
bool LivesOnNoDevice(const VolumeRecord& volume);

/// True when at least one physical drive was opened and its sector 0 read in full: only then
/// can a report without findings be taken as "nothing there".
bool AnyDriveRead(const Report& report);

/// Adds a finding in report order and sets `anyFound`.
void AddFinding(Report& report, Finding finding);

/// The exit status a report gives: 3 when anything was found, 2 when nothing was found and no
/// drive could be read, 0 otherwise.
int32_t ReportExitStatus(const Report& report);

/// Receives each part of the report as soon as the scans have completed it, so that a console
/// report can be written as the run goes. Either member may be empty.
struct ReportProgress {
  std::function<void(const Report&, const DriveRecord&)> driveDone;
  std::function<void(const Report&, const VolumeRecord&)> volumeDone;
};

#endif  // TVX_REPORT_REPORT_H_
