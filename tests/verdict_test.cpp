// The verdict of a run: closing line and exit status over what was read, what was not (the
// gaps), what was found, and whether running elevated may help; and the gaps a report holds.
#include "report/verdict.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(DecideVerdict, StatusZeroOnlyAfterACompleteLookThatFoundNothing) {
  const struct {
    bool anyDriveRead, anyGap, anyFinding, advise;
    ClosingLine line;
    int32_t status;
  } cases[] = {
      {true, false, false, false, ClosingLine::AllClear, 0},
      {true, false, false, true, ClosingLine::AllClear, 0},
      {true, true, false, false, ClosingLine::Incomplete, 2},
      {true, true, false, true, ClosingLine::Incomplete, 2},
      {true, false, true, false, ClosingLine::None, 3},
      {true, true, true, false, ClosingLine::None, 3},
      {false, true, false, false, ClosingLine::NothingRead, 2},
      {false, true, false, true, ClosingLine::NothingReadElevate, 2},
      {false, false, false, false, ClosingLine::NothingRead, 2},
      {false, true, true, false, ClosingLine::NothingRead, 3},
      {false, true, true, true, ClosingLine::NothingReadElevate, 3},
  };
  for (const auto& c : cases) {
    const Verdict verdict = DecideVerdict(c.anyDriveRead, c.anyGap, c.anyFinding, c.advise);
    const std::string row = std::to_string(c.anyDriveRead) + std::to_string(c.anyGap) +
                            std::to_string(c.anyFinding) + std::to_string(c.advise);
    EXPECT_EQ(verdict.closingLine, c.line) << row;
    EXPECT_EQ(verdict.exitStatus, c.status) << row;
  }
}

DriveRecord Drive(int32_t number, DriveStatus status = DriveStatus::Read, uint32_t error = 0) {
  DriveRecord drive;
  drive.number = number;
  drive.status = status;
  drive.error = error;
  return drive;
}

std::vector<std::string> GapNames(const Report& report) {
  std::vector<std::string> names;
  for (const Gap& gap : ListGaps(report)) {
    names.push_back(std::string(GapKindName(gap.kind)) + " " + std::to_string(gap.drive) + " " +
                    std::to_string(gap.partition) + " " + (gap.letter ? gap.letter : '-'));
  }
  return names;
}

// Which failures are gaps: a drive or letter that exists and was not read, never one that
// simply is not there.
TEST(ListGaps, NamesWhatExistsAndWasNotRead) {
  Report report;
  DriveRecord read = Drive(1);
  read.tableReadErrors = {{38, TableRegion::kGptEntries, 2}};
  PartitionRecord unread;
  unread.number = 5;
  unread.error = 38;
  PartitionRecord fine;
  fine.number = 1;
  fine.read = true;
  read.partitions = {fine, unread};
  read.logicalChainCut = true;
  read.timedOutAfter = 20;  // after its sector 0: its gaps so far, then the time-out
  DriveRecord stalled = Drive(7, DriveStatus::TimedOut);
  stalled.timedOutAfter = 3600;
  DriveRecord image = Drive(4, DriveStatus::OpenFailed, 50);
  image.imageFormat = "E01";
  image.imageProblem = "its other segments are missing";
  report.drives = {Drive(0, DriveStatus::OpenFailed, 2),  // drive 0: any code
                   read,
                   Drive(2, DriveStatus::OpenFailed, 2),  // not there
                   Drive(3, DriveStatus::OpenFailed, 3),  // not there
                   image,
                   Drive(5, DriveStatus::ReadFailed, 38),
                   Drive(6, DriveStatus::OpenFailed, 5),
                   stalled,
                   Drive(17, DriveStatus::OpenFailed, 2)};  // listed, so it exists
  report.letterFailures = {{'E', 5}, {'F', 0, 1}};
  EXPECT_EQ(
      GapNames(report),
      (std::vector<std::string>{
          "drive-open-failed 0 -1 -", "table-read-failed 1 -1 -", "partition-read-failed 1 5 -",
          "chain-cut 1 -1 -", "timed-out 1 -1 -", "unreadable-image 4 -1 -",
          "drive-read-failed 5 -1 -", "drive-open-failed 6 -1 -", "timed-out 7 -1 -",
          "drive-open-failed 17 -1 -", "letter-open-failed -1 -1 E", "timed-out -1 -1 F"}));
  const std::vector<Gap> gaps = ListGaps(report);
  EXPECT_EQ(gaps[4].message,
            "PhysicalDrive1 did not answer within 20 seconds: the rest of it was not examined.");
  EXPECT_EQ(gaps[5].message,
            "PhysicalDrive4 is a E01 image that TVX cannot read: its other segments are missing.");
  EXPECT_EQ(gaps[6].message, "Error reading PhysicalDrive5... Error: 38");
  EXPECT_EQ(gaps[8].message,
            "PhysicalDrive7 did not answer within 3600 seconds: the rest of it was not examined.");
  EXPECT_EQ(gaps[11].message, "Drive F: did not answer within 1 second: it was not examined.");
  for (size_t i : {4u, 8u, 11u}) EXPECT_FALSE(gaps[i].hasError) << i;
  EXPECT_FALSE(ReportIsComplete(report));
}

TEST(LetterFailureIsReported, NotThereAndNotReadyAreNoGaps) {
  for (uint32_t code : {2u, 3u, 21u}) EXPECT_FALSE(LetterFailureIsReported(code)) << code;
  for (uint32_t code : {1u, 5u, 31u, 1117u}) EXPECT_TRUE(LetterFailureIsReported(code)) << code;
}

// Running elevated is advised only when a drive refused access to a process that is not.
TEST(ReportVerdict, AdvisesElevationOnlyForRefusedAccessWhenNotElevated) {
  const struct {
    uint32_t error;
    DriveStatus status;
    bool elevated;
    ClosingLine line;
  } cases[] = {
      {5, DriveStatus::OpenFailed, false, ClosingLine::NothingReadElevate},
      {5, DriveStatus::ReadFailed, false, ClosingLine::NothingReadElevate},
      {5, DriveStatus::OpenFailed, true, ClosingLine::NothingRead},
      {2, DriveStatus::OpenFailed, false, ClosingLine::NothingRead},
      {23, DriveStatus::ReadFailed, false, ClosingLine::NothingRead},
  };
  for (const auto& c : cases) {
    Report report;
    report.elevated = c.elevated;
    report.drives = {Drive(0, c.status, c.error)};
    EXPECT_EQ(ReportVerdict(report).closingLine, c.line) << c.error << " " << c.elevated;
    EXPECT_EQ(ReportVerdict(report).exitStatus, 2);
  }
  Report clean;
  clean.drives = {Drive(0), Drive(3, DriveStatus::OpenFailed, 2)};
  EXPECT_EQ(ReportVerdict(clean).exitStatus, 0);
  EXPECT_TRUE(ReportIsComplete(clean));
}

}  // namespace
