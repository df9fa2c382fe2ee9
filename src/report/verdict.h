// What a run did not read, and the verdict a report gives: its closing line and exit status.
// A report may call a machine clean only after a complete look.
#ifndef TVX_REPORT_VERDICT_H_
#define TVX_REPORT_VERDICT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "report/report.h"

/// The exit statuses of a run: a complete look that found nothing, a run that cannot tell, and
/// a run that found something.
constexpr int32_t kCleanExitStatus = 0;
constexpr int32_t kCannotTellExitStatus = 2;
constexpr int32_t kFoundExitStatus = 3;

/// What kind of thing the run could not read.
enum class GapKind {
  DriveOpen,         // a drive that exists would not open
  DriveRead,         // a drive opened but its sector 0 would not read
  UnreadableImage,   // a disk image in a container this build cannot read
  TableRead,         // a sector of a partition table (GPT header or array, an EBR)
  PartitionRead,     // a partition's first sector
  VolumeRead,        // a later read of a partition or a whole disk: probes, metadata, folders
  ChainCut,          // a chain of extended boot records cut at a cap
  LetterOpen,        // a drive letter that exists would not open
  NotADisk,          // a drive whose sector 0 is plain text
  TableDamaged,      // a GPT protective entry, but no GPT header checks out
  DriveSizeOdd,      // a drive that is not a whole number of sectors long
  ShorterThanTable,  // a drive that ends before the sectors its partition table reaches
  EntryNotExamined,  // a device folder entry that looks like evidence, not read
  DevicesMissing,    // the device folder (or image) named for the drives does not exist
  TimedOut,          // a drive or letter that did not answer within the device timeout
};

/// One place the run did not read in full. The place fields are -1 (or letter 0) where they do
/// not apply; `error` is the system's code when `hasError`. `message` holds the words the
/// console report says for it, with no line breaks around them.
struct Gap {
  GapKind kind = GapKind::DriveOpen;
  int32_t drive = -1;
  int32_t partition = -1;
  char letter = 0;
  bool hasError = false;
  uint32_t error = 0;
  std::string message;
};

/// Returns the stable kebab-case name of a gap kind, e.g. "drive-open-failed".
const char* GapKindName(GapKind kind);

/// Returns the name of physical drive `drive`: "PhysicalDrive3".
std::string DriveName(int32_t drive);

/// Returns the name of partition `partition` of drive `drive`: "PhysicalDrive3, Partition 2".
std::string PartitionPlace(int32_t drive, int32_t partition);

/// Returns the words said for a drive that is a disk image this build cannot read.
std::string UnreadableImageMessage(const DriveRecord& drive);

/// Returns the words said when a chain of logical partitions on drive `drive` was cut at a cap.
std::string ChainCutMessage(int32_t drive);

/// Returns the words said for a read of a drive, past its sector 0, that failed with `error`:
/// the error line "Error reading drive... Error: C", "\n", and the line that says where and why,
/// "  - at PLACE (sector S): REASON." (PLACE: "PhysicalDriveN, Partition P", "PhysicalDriveN,
/// its GPT header", ..., or "PhysicalDriveN" for the disk as a whole).
std::string SectorReadMessage(uint32_t error, const std::string& place, uint64_t sector);

/// Returns SectorReadMessage for a failed read of a partition table of drive `drive`.
std::string TableReadMessage(int32_t drive, const TableReadError& failure);

/// Returns the words said for drive `drive` whose sector 0 is plain text.
std::string NotADiskMessage(int32_t drive);

/// Returns the words said for drive `drive` whose GPT protective entry has no GPT that checks
/// out behind it.
std::string TableDamagedMessage(int32_t drive);

/// Returns the words said for a drive that is not a whole number of sectors long.
std::string DriveSizeOddMessage(const DriveRecord& drive);

/// Returns the words said for a drive whose partition table reaches past its end.
std::string ShorterThanTableMessage(const DriveRecord& drive);

/// Returns the words said for a drive letter that exists but would not open: its error line,
/// "\n", and the line that says why (ReasonLine); or for one that did not answer in time.
std::string LetterOpenMessage(const LetterFailure& failure);

/// Returns the line said after a drive's open or sector-0 read failure: why, in words
/// (ReasonLine), the target of a dangling link for code 2 or 3.
std::string DriveFailureReason(const DriveRecord& drive);

/// Returns the words said for a device folder entry `name` that looks like evidence but was not
/// read.
std::string EntryNotExaminedMessage(const std::string& name);

/// Returns the words said when a call to drive `drive` was waited for `seconds` in vain.
std::string DriveTimedOutMessage(int32_t drive, uint32_t seconds);

/// Returns the words said when the device folder `named` does not exist.
std::string DevicesMissingMessage(const std::string& named);

/// Returns every gap of a run, in report order: a missing device folder, each drive's (its open
/// or read, its sector 0 of text, a later read of the whole disk, its table reads, its damaged
/// GPT, its partitions and their later reads, its cut chain, its odd size, its end before its
/// table's, its time-out), the folder entries not examined, then the letters'.
std::vector<Gap> ListGaps(const Report& report);

/// True when the run read every drive, table, partition and letter it found: no gap at all,
/// and at least one drive read.
bool ReportIsComplete(const Report& report);

/// The line that closes a console report.
enum class ClosingLine {
  None,                // something was found, and everything was read: the findings say it
  FoundIncomplete,     // something was found, but not everything was read: there may be more
  AllClear,            // a complete look found nothing
  NothingRead,         // no drive could be read
  NothingReadElevate,  // no drive could be read, and running elevated may help
  Incomplete,          // something was read and nothing found, but not everything was read
};

/// A report's closing line and the exit status it gives.
struct Verdict {
  ClosingLine closingLine;
  int32_t exitStatus;  // 0 clean after a complete look, 2 cannot tell, 3 found something
};

/// Returns the verdict of a run from what it saw: whether any drive was read, whether anything
/// was left unread, whether anything was found, and whether to advise running elevated when
/// nothing was read. Status 0 only with a drive read, no gap and no finding.
Verdict DecideVerdict(bool anyDriveRead, bool anyGap, bool anyFinding, bool adviseElevation);

/// Returns the verdict of a whole report. Running elevated is advised only when a drive refused
/// access (code 5) and the process is not elevated.
Verdict ReportVerdict(const Report& report);

#endif  // TVX_REPORT_VERDICT_H_
