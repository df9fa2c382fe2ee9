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
  DriveOpen,        // a drive that exists would not open
  DriveRead,        // a drive opened but its sector 0 would not read
  UnreadableImage,  // a disk image in a container this build cannot read
  TableRead,        // a sector of a partition table (GPT header or array, an EBR)
  PartitionRead,    // a partition's first sector
  VolumeRead,       // a later read of a partition or a whole disk: probes, metadata, folders
  ChainCut,         // a chain of extended boot records cut at a cap
  LetterOpen,       // a drive letter that exists would not open
  TimedOut,         // a drive or letter that did not answer within the device timeout
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

/// Returns the words said when a chain of logical partitions on drive `drive` was cut at a cap.
std::string ChainCutMessage(int32_t drive);

/// Returns the words said for a drive letter that exists but would not open, or did not answer.
std::string LetterOpenMessage(const LetterFailure& failure);

/// Returns the words said when a call to drive `drive` was waited for `seconds` in vain.
std::string DriveTimedOutMessage(int32_t drive, uint32_t seconds);

/// Returns every gap of a run, in report order: each drive's (its open or read, its table
/// reads, its partitions, its cut chain, its time-out), then the letters'.
std::vector<Gap> ListGaps(const Report& report);

/// True when the run read every drive, table, partition and letter it found: no gap at all,
/// and at least one drive read.
bool ReportIsComplete(const Report& report);

/// The line that closes a console report.
enum class ClosingLine {
  None,                // something was found: the findings say it
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
