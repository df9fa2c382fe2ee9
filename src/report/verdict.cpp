#include "report/verdict.h"

#include <utility>

#include "platform/platform.h"

namespace {

std::string Decimal(int64_t value) {
  return std::to_string(value);
}

std::string DriveName(int32_t drive) {
  return "PhysicalDrive" + Decimal(drive);
}

Gap MakeGap(GapKind kind, int32_t drive, int32_t partition, bool hasError, uint32_t error,
            std::string message) {
  Gap gap;
  gap.kind = kind;
  gap.drive = drive;
  gap.partition = partition;
  gap.hasError = hasError;
  gap.error = error;
  gap.message = std::move(message);
  return gap;
}

// "20 seconds", "1 second".
std::string Seconds(uint32_t seconds) {
  return Decimal(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string SectorReadMessage(uint32_t error) {
  return "Error reading drive... Error: " + Decimal(static_cast<int32_t>(error));
}

// Adds the gaps of one drive, in the order the console report says them.
void AddDriveGaps(const DriveRecord& drive, std::vector<Gap>& gaps) {
  if (!DriveIsReported(drive)) return;
  const int32_t n = drive.number;
  if (!drive.imageFormat.empty()) {
    gaps.push_back(MakeGap(GapKind::UnreadableImage, n, -1, true, drive.error,
                           DriveName(n) + " is a " + drive.imageFormat +
                               " image that TVX cannot read: " + drive.imageProblem + "."));
    return;
  }
  const Gap timedOut =
      MakeGap(GapKind::TimedOut, n, -1, false, 0, DriveTimedOutMessage(n, drive.timedOutAfter));
  if (drive.status == DriveStatus::TimedOut) {
    gaps.push_back(timedOut);
    return;
  }
  if (drive.status != DriveStatus::Read) {
    const bool open = drive.status == DriveStatus::OpenFailed;
    gaps.push_back(MakeGap(open ? GapKind::DriveOpen : GapKind::DriveRead, n, -1, true, drive.error,
                           std::string("Error ") + (open ? "opening " : "reading ") + DriveName(n) +
                               "... Error: " + Decimal(static_cast<int32_t>(drive.error))));
    return;
  }
  if (const auto& failure = drive.volumeReadFailure) {
    gaps.push_back(MakeGap(GapKind::VolumeRead, n, -1, true, failure->error,
                           SectorReadMessage(failure->error)));
  }
  for (const TableReadError& failure : drive.tableReadErrors) {
    gaps.push_back(
        MakeGap(GapKind::TableRead, n, -1, true, failure.error, SectorReadMessage(failure.error)));
  }
  for (const PartitionRecord& partition : drive.partitions) {
    if (!partition.read) {
      gaps.push_back(MakeGap(GapKind::PartitionRead, n, partition.number, true, partition.error,
                             SectorReadMessage(partition.error)));
    } else if (const auto& failure = partition.volumeReadFailure) {
      gaps.push_back(MakeGap(GapKind::VolumeRead, n, partition.number, true, failure->error,
                             SectorReadMessage(failure->error)));
    }
  }
  if (drive.logicalChainCut) {
    gaps.push_back(MakeGap(GapKind::ChainCut, n, -1, false, 0, ChainCutMessage(n)));
  }
  if (drive.timedOutAfter > 0) gaps.push_back(timedOut);
}

// True when a drive failed because access was refused.
bool AnyDriveRefusedAccess(const Report& report) {
  for (const DriveRecord& drive : report.drives) {
    if (drive.status != DriveStatus::Read && drive.error == ERROR_ACCESS_DENIED) return true;
  }
  return false;
}

}  // namespace

const char* GapKindName(GapKind kind) {
  switch (kind) {
    case GapKind::DriveOpen:
      return "drive-open-failed";
    case GapKind::DriveRead:
      return "drive-read-failed";
    case GapKind::UnreadableImage:
      return "unreadable-image";
    case GapKind::TableRead:
      return "table-read-failed";
    case GapKind::PartitionRead:
      return "partition-read-failed";
    case GapKind::VolumeRead:
      return "volume-read-failed";
    case GapKind::ChainCut:
      return "chain-cut";
    case GapKind::TimedOut:
      return "timed-out";
    case GapKind::LetterOpen:
      break;
  }
  return "letter-open-failed";
}

std::string ChainCutMessage(int32_t drive) {
  return DriveName(drive) +
         " has more logical partitions than TVX reads; the rest were not examined.";
}

std::string LetterOpenMessage(const LetterFailure& failure) {
  if (failure.timedOutAfter > 0) {
    return std::string("Drive ") + failure.letter + ": did not answer within " +
           Seconds(failure.timedOutAfter) + ": it was not examined.";
  }
  return std::string("Error opening drive ") + failure.letter +
         ":... Error: " + Decimal(static_cast<int32_t>(failure.error));
}

std::string DriveTimedOutMessage(int32_t drive, uint32_t seconds) {
  return DriveName(drive) + " did not answer within " + Seconds(seconds) +
         ": the rest of it was not examined.";
}

std::vector<Gap> ListGaps(const Report& report) {
  std::vector<Gap> gaps;
  for (const DriveRecord& drive : report.drives) AddDriveGaps(drive, gaps);
  for (const LetterFailure& failure : report.letterFailures) {
    const bool timedOut = failure.timedOutAfter > 0;
    Gap gap = MakeGap(timedOut ? GapKind::TimedOut : GapKind::LetterOpen, -1, -1, !timedOut,
                      failure.error, LetterOpenMessage(failure));
    gap.letter = failure.letter;
    gaps.push_back(gap);
  }
  return gaps;
}

bool ReportIsComplete(const Report& report) {
  return AnyDriveRead(report) && ListGaps(report).empty();
}

Verdict DecideVerdict(bool anyDriveRead, bool anyGap, bool anyFinding, bool adviseElevation) {
  if (!anyDriveRead) {
    return {adviseElevation ? ClosingLine::NothingReadElevate : ClosingLine::NothingRead,
            anyFinding ? kFoundExitStatus : kCannotTellExitStatus};
  }
  if (anyFinding) return {ClosingLine::None, kFoundExitStatus};
  if (anyGap) return {ClosingLine::Incomplete, kCannotTellExitStatus};
  return {ClosingLine::AllClear, kCleanExitStatus};
}

Verdict ReportVerdict(const Report& report) {
  return DecideVerdict(AnyDriveRead(report), !ListGaps(report).empty(), report.anyFound,
                       !report.elevated && AnyDriveRefusedAccess(report));
}
