#include "report/verdict.h"

#include <utility>

#include "platform/platform.h"
#include "report/error_reason.h"

namespace {

std::string Decimal(int64_t value) {
  return std::to_string(value);
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

// The place a failed table read was for, without its sector.
std::string TablePlace(int32_t drive, TableRegion region) {
  switch (region) {
    case TableRegion::kGptHeader:
      return DriveName(drive) + ", its GPT header";
    case TableRegion::kGptBackupHeader:
      return DriveName(drive) + ", its backup GPT header";
    case TableRegion::kGptEntries:
      return DriveName(drive) + ", its GPT entries";
    case TableRegion::kExtendedBootRecord:
      break;
  }
  return DriveName(drive) + ", an extended boot record";
}

// "20 seconds", "1 second".
std::string Seconds(uint32_t seconds) {
  return Decimal(seconds) + (seconds == 1 ? " second" : " seconds");
}

// Adds the gaps of one drive, in the order the console report says them.
void AddDriveGaps(const DriveRecord& drive, std::vector<Gap>& gaps) {
  if (!DriveIsReported(drive)) return;
  const int32_t n = drive.number;
  if (!drive.imageFormat.empty()) {
    gaps.push_back(
        MakeGap(GapKind::UnreadableImage, n, -1, true, drive.error, UnreadableImageMessage(drive)));
    return;
  }
  const auto timedOut = [&drive, n] {
    return MakeGap(GapKind::TimedOut, n, -1, false, 0,
                   DriveTimedOutMessage(n, drive.timedOutAfter));
  };
  if (drive.status == DriveStatus::TimedOut) {
    gaps.push_back(timedOut());
    return;
  }
  if (drive.status != DriveStatus::Read) {
    const bool open = drive.status == DriveStatus::OpenFailed;
    gaps.push_back(MakeGap(open ? GapKind::DriveOpen : GapKind::DriveRead, n, -1, true, drive.error,
                           std::string("Error ") + (open ? "opening " : "reading ") + DriveName(n) +
                               "... Error: " + Decimal(static_cast<int32_t>(drive.error)) + "\n" +
                               DriveFailureReason(drive)));
    return;
  }
  if (drive.notADisk) {
    gaps.push_back(MakeGap(GapKind::NotADisk, n, -1, false, 0, NotADiskMessage(n)));
  }
  if (const auto& failure = drive.volumeReadFailure) {
    gaps.push_back(MakeGap(GapKind::VolumeRead, n, -1, true, failure->error,
                           SectorReadMessage(failure->error, DriveName(n), failure->sector)));
  }
  for (const TableReadError& failure : drive.tableReadErrors) {
    gaps.push_back(
        MakeGap(GapKind::TableRead, n, -1, true, failure.error, TableReadMessage(n, failure)));
  }
  if (drive.gptDamaged) {
    gaps.push_back(MakeGap(GapKind::TableDamaged, n, -1, false, 0, TableDamagedMessage(n)));
  }
  for (const PartitionRecord& partition : drive.partitions) {
    const std::string place = PartitionPlace(n, partition.number);
    if (!partition.read) {
      gaps.push_back(MakeGap(GapKind::PartitionRead, n, partition.number, true, partition.error,
                             SectorReadMessage(partition.error, place, partition.firstSector)));
    } else if (const auto& failure = partition.volumeReadFailure) {
      gaps.push_back(MakeGap(GapKind::VolumeRead, n, partition.number, true, failure->error,
                             SectorReadMessage(failure->error, place, failure->sector)));
    }
  }
  if (drive.logicalChainCut) {
    gaps.push_back(MakeGap(GapKind::ChainCut, n, -1, false, 0, ChainCutMessage(n)));
  }
  if (DriveSizeIsOdd(drive)) {
    gaps.push_back(MakeGap(GapKind::DriveSizeOdd, n, -1, false, 0, DriveSizeOddMessage(drive)));
  }
  if (DriveShorterThanTable(drive)) {
    gaps.push_back(
        MakeGap(GapKind::ShorterThanTable, n, -1, false, 0, ShorterThanTableMessage(drive)));
  }
  if (drive.timedOutAfter > 0) gaps.push_back(timedOut());
}

// True when a drive failed because access was refused.
bool AnyDriveRefusedAccess(const Report& report) {
  for (const DriveRecord& drive : report.drives) {
    if (drive.status != DriveStatus::Read && drive.error == ERROR_ACCESS_DENIED) return true;
  }
  return false;
}

}  // namespace

std::string DriveName(int32_t drive) {
  return "PhysicalDrive" + Decimal(drive);
}

std::string PartitionPlace(int32_t drive, int32_t partition) {
  return DriveName(drive) + ", Partition " + Decimal(partition);
}

std::string UnreadableImageMessage(const DriveRecord& drive) {
  return DriveName(drive.number) + " is a " + drive.imageFormat +
         " image that TVX cannot read: " + drive.imageProblem + ".";
}

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
    case GapKind::NotADisk:
      return "not-a-disk";
    case GapKind::TableDamaged:
      return "table-damaged";
    case GapKind::DriveSizeOdd:
      return "drive-size-odd";
    case GapKind::ShorterThanTable:
      return "drive-shorter-than-table";
    case GapKind::EntryNotExamined:
      return "entry-not-examined";
    case GapKind::DevicesMissing:
      return "devices-missing";
    case GapKind::TimedOut:
      return "timed-out";
    case GapKind::LetterOpen:
      break;
  }
  return "letter-open-failed";
}

std::string SectorReadMessage(uint32_t error, const std::string& place, uint64_t sector) {
  return "Error reading drive... Error: " + Decimal(static_cast<int32_t>(error)) + "\n" +
         ReasonLine("at " + place + " (sector " + std::to_string(sector) +
                    "): " + ErrorReason(error));
}

std::string TableReadMessage(int32_t drive, const TableReadError& failure) {
  return SectorReadMessage(failure.error, TablePlace(drive, failure.region), failure.sector);
}

std::string NotADiskMessage(int32_t drive) {
  return DriveName(drive) + " holds text, not a disk: its first sector is plain text.";
}

std::string TableDamagedMessage(int32_t drive) {
  return DriveName(drive) +
         " has a GPT protective entry, but neither of its GPT headers checks out: its partitions "
         "were not examined.";
}

std::string DriveSizeOddMessage(const DriveRecord& drive) {
  return DriveName(drive.number) + " is not a whole number of sectors long (" +
         std::to_string(drive.length) + " bytes): it may not be a disk image, or it was cut short.";
}

std::string ShorterThanTableMessage(const DriveRecord& drive) {
  const uint64_t sectors = drive.sectorSize != 0 ? drive.length / drive.sectorSize : 0;
  return DriveName(drive.number) + " holds " + std::to_string(sectors) +
         " sectors, but its partition table reaches sector " +
         std::to_string(drive.tableReach.value_or(0)) +
         ": what lies past the end was not examined.";
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
         ":... Error: " + Decimal(static_cast<int32_t>(failure.error)) + "\n" +
         ReasonLine(ErrorReason(failure.error));
}

std::string DriveFailureReason(const DriveRecord& drive) {
  const bool notFound = drive.error == ERROR_FILE_NOT_FOUND || drive.error == ERROR_PATH_NOT_FOUND;
  if (drive.status == DriveStatus::OpenFailed && notFound && !drive.linkTarget.empty()) {
    return ReasonLine(DanglingLinkReason(drive.linkTarget));
  }
  return ReasonLine(ErrorReason(drive.error));
}

std::string EntryNotExaminedMessage(const std::string& name) {
  return name +
         " was not examined: drives are named PhysicalDrive0, PhysicalDrive1, ... and drive "
         "letters A: to Z:.";
}

std::string DevicesMissingMessage(const std::string& named) {
  return "TVX_DEVICES names " + named + ", which does not exist.";
}

std::string DriveTimedOutMessage(int32_t drive, uint32_t seconds) {
  return DriveName(drive) + " did not answer within " + Seconds(seconds) +
         ": the rest of it was not examined.";
}

std::vector<Gap> ListGaps(const Report& report) {
  std::vector<Gap> gaps;
  if (!report.missingDevices.empty()) {
    gaps.push_back(MakeGap(GapKind::DevicesMissing, -1, -1, false, 0,
                           DevicesMissingMessage(report.missingDevices)));
  }
  for (const DriveRecord& drive : report.drives) AddDriveGaps(drive, gaps);
  for (const std::string& name : report.unexaminedEntries) {
    gaps.push_back(
        MakeGap(GapKind::EntryNotExamined, -1, -1, false, 0, EntryNotExaminedMessage(name)));
  }
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
  if (anyFinding) {
    return {anyGap ? ClosingLine::FoundIncomplete : ClosingLine::None, kFoundExitStatus};
  }
  if (anyGap) return {ClosingLine::Incomplete, kCannotTellExitStatus};
  return {ClosingLine::AllClear, kCleanExitStatus};
}

Verdict ReportVerdict(const Report& report) {
  return DecideVerdict(AnyDriveRead(report), !ListGaps(report).empty(), report.anyFound,
                       !report.elevated && AnyDriveRefusedAccess(report));
}
