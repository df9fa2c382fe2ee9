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
                   Drive(17, DriveStatus::OpenFailed, 2)};  // listed, so it exists
  report.letterFailures = {{'E', 5}};
  EXPECT_EQ(
      GapNames(report),
      (std::vector<std::string>{
          "drive-open-failed 0 -1 -", "table-read-failed 1 -1 -", "partition-read-failed 1 5 -",
          "chain-cut 1 -1 -", "unreadable-image 4 -1 -", "drive-read-failed 5 -1 -",
          "drive-open-failed 6 -1 -", "drive-open-failed 17 -1 -", "letter-open-failed -1 -1 E"}));
  EXPECT_EQ(ListGaps(report)[4].message,
            "PhysicalDrive4 is a E01 image that TVX cannot read: its other segments are missing.");
  EXPECT_EQ(ListGaps(report)[5].message, "Error reading PhysicalDrive5... Error: 38");
  EXPECT_FALSE(ReportIsComplete(report));
}

// A drive whose sectors were read can still hide something: text where a disk should be, a GPT
// that does not check out behind its protective entry, a failed later read of the whole disk, a
// size that is no whole number of sectors, an end before the sectors its table reaches.
TEST(ListGaps, WhatADriveThatWasReadCanStillHide) {
  const struct {
    const char* what;
    void (*set)(DriveRecord& drive);
    std::vector<std::string> gaps;
    std::string lastMessage;
  } rows[] = {
      {"nothing", [](DriveRecord&) {}, {}, ""},
      {"text",
       [](DriveRecord& d) { d.notADisk = true; },
       {"not-a-disk 0 -1 -"},
       "PhysicalDrive0 holds text, not a disk: its first sector is plain text."},
      {"a damaged GPT",
       [](DriveRecord& d) { d.gptDamaged = true; },
       {"table-damaged 0 -1 -"},
       "PhysicalDrive0 has a GPT protective entry, but neither of its GPT headers checks out: its "
       "partitions were not examined."},
      {"a later read of the disk",
       [](DriveRecord& d) {
         d.volumeReadFailure = ReadFailure{23, 9};
       },
       {"volume-read-failed 0 -1 -"},
       "Error reading drive... Error: 23"},
      {"a size of whole sectors, a table reaching the last",
       [](DriveRecord& d) {
         d.length = 1048576;
         d.tableReach = 2047;
       },
       {},
       ""},
      {"a table reaching the sector after the last",
       [](DriveRecord& d) {
         d.length = 1048576;
         d.tableReach = 2048;
       },
       {"drive-shorter-than-table 0 -1 -"},
       "PhysicalDrive0 holds 2048 sectors, but its partition table reaches sector 2048: what lies "
       "past the end was not examined."},
      {"an odd size, then an end before the table's",
       [](DriveRecord& d) {
         d.length = 1048676;
         d.tableReach = 2048;
       },
       {"drive-size-odd 0 -1 -", "drive-shorter-than-table 0 -1 -"},
       "PhysicalDrive0 holds 2048 sectors, but its partition table reaches sector 2048: what lies "
       "past the end was not examined."},
      {"4096-byte sectors",
       [](DriveRecord& d) {
         d.sectorSize = 4096;
         d.length = 1048576 + 512;
         d.tableReach = 300;
       },
       {"drive-size-odd 0 -1 -", "drive-shorter-than-table 0 -1 -"},
       "PhysicalDrive0 holds 256 sectors, but its partition table reaches sector 300: what lies "
       "past the end was not examined."},
      {"a length the drive does not tell", [](DriveRecord& d) { d.tableReach = 1u << 30; }, {}, ""},
      {"a drive whose sector 0 did not read",
       [](DriveRecord& d) {
         d.status = DriveStatus::ReadFailed;
         d.error = 38;
         d.length = 511;
         d.tableReach = 4096;
       },
       {"drive-read-failed 0 -1 -"},
       "Error reading PhysicalDrive0... Error: 38"},
  };
  for (const auto& row : rows) {
    Report report;
    DriveRecord drive = Drive(0);
    drive.sectorSize = 512;
    row.set(drive);
    report.drives = {drive};
    EXPECT_EQ(GapNames(report), row.gaps) << row.what;
    const std::vector<Gap> gaps = ListGaps(report);
    if (!gaps.empty()) EXPECT_EQ(gaps.back().message, row.lastMessage) << row.what;
    EXPECT_EQ(ReportVerdict(report).exitStatus, row.gaps.empty() ? 0 : 2) << row.what;
  }
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
