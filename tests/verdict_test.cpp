// The verdict of a run: closing line and exit status over what was read, what was not (the
// gaps), what was found, and whether running elevated may help; and the gaps a report holds.
#include "report/verdict.h"

#include <gtest/gtest.h>

#include "report/error_reason.h"

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
      {true, true, true, false, ClosingLine::FoundIncomplete, 3},
      {true, true, true, true, ClosingLine::FoundIncomplete, 3},
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
  DriveRecord stalled = Drive(8, DriveStatus::TimedOut);
  stalled.timedOutAfter = 3600;
  DriveRecord image = Drive(4, DriveStatus::OpenFailed, 50);
  image.imageFormat = "E01";
  image.imageProblem = "its other segments are missing";
  DriveRecord dangling = Drive(7, DriveStatus::OpenFailed, 2);  // its entry exists
  dangling.listed = true;
  dangling.linkTarget = "/evidence/disk7.dd";
  report.drives = {Drive(0, DriveStatus::OpenFailed, 2),  // drive 0: any code
                   read,
                   Drive(2, DriveStatus::OpenFailed, 2),  // not there
                   Drive(3, DriveStatus::OpenFailed, 3),  // not there
                   image,
                   Drive(5, DriveStatus::ReadFailed, 38),
                   Drive(6, DriveStatus::OpenFailed, 5),
                   dangling,
                   stalled,
                   Drive(17, DriveStatus::OpenFailed, 2)};  // listed, so it exists
  report.unexaminedEntries = {"disk1.E01"};
  report.letterFailures = {{'E', 5}, {'F', 0, 1}};
  EXPECT_EQ(GapNames(report),
            (std::vector<std::string>{
                "drive-open-failed 0 -1 -", "table-read-failed 1 -1 -",
                "partition-read-failed 1 5 -", "chain-cut 1 -1 -", "timed-out 1 -1 -",
                "unreadable-image 4 -1 -", "drive-read-failed 5 -1 -", "drive-open-failed 6 -1 -",
                "drive-open-failed 7 -1 -", "timed-out 8 -1 -", "drive-open-failed 17 -1 -",
                "entry-not-examined -1 -1 -", "letter-open-failed -1 -1 E", "timed-out -1 -1 F"}));
  const std::vector<Gap> gaps = ListGaps(report);
  EXPECT_EQ(gaps[0].message, "Error opening PhysicalDrive0... Error: 2\n  - it does not exist.");
  EXPECT_EQ(gaps[4].message,
            "PhysicalDrive1 did not answer within 20 seconds: the rest of it was not examined.");
  EXPECT_EQ(gaps[5].message,
            "PhysicalDrive4 is a E01 image that TVX cannot read: its other segments are missing.");
  EXPECT_EQ(gaps[6].message,
            "Error reading PhysicalDrive5... Error: 38\n  - the drive ends before it.");
  EXPECT_EQ(gaps[8].message,
            "Error opening PhysicalDrive7... Error: 2\n"
            "  - it is a link to /evidence/disk7.dd, which does not exist.");
  EXPECT_EQ(gaps[9].message,
            "PhysicalDrive8 did not answer within 3600 seconds: the rest of it was not examined.");
  EXPECT_EQ(gaps[11].message,
            "disk1.E01 was not examined: drives are named PhysicalDrive0, PhysicalDrive1, ... and "
            "drive letters A: to Z:.");
  EXPECT_EQ(gaps[12].message, "Error opening drive E:... Error: 5\n  - access is denied.");
  EXPECT_EQ(gaps[13].message, "Drive F: did not answer within 1 second: it was not examined.");
  for (size_t i : {4u, 9u, 11u, 13u}) EXPECT_FALSE(gaps[i].hasError) << i;
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
       "Error reading drive... Error: 23\n  - at PhysicalDrive0 (sector 9): the data could not be "
       "read: "
       "the medium may be failing."},
      {"its backup GPT header",
       [](DriveRecord& d) {
         d.tableReadErrors = {{38, TableRegion::kGptBackupHeader, 2047}};
       },
       {"table-read-failed 0 -1 -"},
       "Error reading drive... Error: 38\n  - at PhysicalDrive0, its backup GPT header (sector "
       "2047): the drive ends before it."},
      {"its GPT entries, then an extended boot record",
       [](DriveRecord& d) {
         d.tableReadErrors = {{87, TableRegion::kGptEntries, 2},
                              {1117, TableRegion::kExtendedBootRecord, 4096}};
       },
       {"table-read-failed 0 -1 -", "table-read-failed 0 -1 -"},
       "Error reading drive... Error: 1117\n  - at PhysicalDrive0, an extended boot record (sector "
       "4096): the device reported an input/output error."},
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
       "Error reading PhysicalDrive0... Error: 38\n  - the drive ends before it."},
  };
  for (const auto& row : rows) {
    Report report;
    DriveRecord drive = Drive(0);
    drive.sectorSize = 512;
    row.set(drive);
    report.drives = {drive};
    EXPECT_EQ(GapNames(report), row.gaps) << row.what;
    const std::vector<Gap> gaps = ListGaps(report);
    if (!gaps.empty()) {
      EXPECT_EQ(gaps.back().message, row.lastMessage) << row.what;
    }
    EXPECT_EQ(ReportVerdict(report).exitStatus, row.gaps.empty() ? 0 : 2) << row.what;
  }
}

// A device folder that does not exist is the one gap of a run that scanned nothing.
TEST(ListGaps, AMissingDeviceFolderIsTheOnlyGap) {
  Report report;
  report.missingDevices = "/case/42";
  ASSERT_EQ(GapNames(report), (std::vector<std::string>{"devices-missing -1 -1 -"}));
  EXPECT_EQ(ListGaps(report)[0].message, "TVX_DEVICES names /case/42, which does not exist.");
  EXPECT_EQ(ReportVerdict(report).exitStatus, 2);
}

TEST(ErrorReason, EveryCodeInWords) {
  const struct {
    uint32_t code;
    const char* words;
  } cases[] = {
      {2, "it does not exist"},
      {3, "its folder does not exist"},
      {5, "access is denied"},
      {21, "the device is not ready"},
      {23, "the data could not be read: the medium may be failing"},
      {31, "the device does not work as a disk"},
      {38, "the drive ends before it"},
      {87, "the sector cannot be addressed"},
      {1117, "the device reported an input/output error"},
      {1, "Windows error 1"},
      {50, "Windows error 50"},
      {0xFFFFFFFFu, "Windows error -1"},  // as the error line shows the code
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorReason(c.code), c.words) << c.code;
  // A dangling link names its target for "not found" alone; any other code says its own words.
  DriveRecord drive = Drive(1, DriveStatus::OpenFailed, 3);
  drive.linkTarget = "../x";
  EXPECT_EQ(DriveFailureReason(drive), "  - it is a link to ../x, which does not exist.");
  drive.error = 5;
  EXPECT_EQ(DriveFailureReason(drive), "  - access is denied.");
}

// Which folder entries are evidence that was not read: by name, by kind, by size; never a drive
// or letter name, a file a drive was read from, or a folder.
TEST(LooksLikeUnexaminedEvidence, ByNameKindAndSize) {
  constexpr uint64_t kMiB = 1 << 20;
  const struct {
    const char* name;
    EntryKind kind;
    uint64_t size;
    bool deviceName, used, evidence;
  } cases[] = {
      {"PhysicalDrive1.dd", EntryKind::RegularFile, 512, false, false, true},
      {"physicaldrive1", EntryKind::RegularFile, 0, false, false, true},
      {"PhysicalDrive01", EntryKind::Missing, 0, false, false, true},
      {"PhysicalDrive 1", EntryKind::BlockDevice, 0, false, false, true},
      {"PHYSICALDRIVEX", EntryKind::Other, 0, false, false, true},
      {"disk1.E01", EntryKind::RegularFile, 4096, false, false, true},
      {"image.RAW", EntryKind::RegularFile, 10, false, false, true},
      {"a.Ex01", EntryKind::RegularFile, 10, false, false, true},
      {"split.001", EntryKind::RegularFile, 10, false, false, true},
      {"vm.QCOW2", EntryKind::Missing, 0, false, false, true},
      {"vm.vhdx", EntryKind::RegularFile, 10, false, false, true},
      {"sdb", EntryKind::BlockDevice, 0, false, false, true},
      {"capture", EntryKind::RegularFile, kMiB, false, false, true},
      {"capture", EntryKind::RegularFile, kMiB - 1, false, false, false},
      {"notes.txt", EntryKind::RegularFile, 900, false, false, false},
      {"hashes.md5", EntryKind::RegularFile, 100, false, false, false},
      {"disk.dd.md5", EntryKind::RegularFile, 100, false, false, false},
      {"image.img", EntryKind::Folder, 0, false, false, false},
      {"PhysicalDrive2 copy", EntryKind::Folder, 0, false, false, false},
      {"fifo", EntryKind::Other, 0, false, false, false},
      {"PhysicalDrive1", EntryKind::Missing, 0, true, false, false},
      {"E:", EntryKind::RegularFile, 8 * kMiB, true, false, false},
      {"disk.E02", EntryKind::RegularFile, 8 * kMiB, false, true, false},
      {"sdc", EntryKind::BlockDevice, 0, false, true, false},
  };
  for (const auto& c : cases) {
    FolderEntry entry;
    entry.name = c.name;
    entry.kind = c.kind;
    entry.size = c.size;
    entry.deviceName = c.deviceName;
    entry.coveredByDrive = c.used;
    EXPECT_EQ(LooksLikeUnexaminedEvidence(entry), c.evidence) << c.name << " " << c.size;
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
  // The same drive 3, when its entry exists (a dangling link), is a drive that was not read.
  clean.drives[1].listed = true;
  EXPECT_EQ(ReportVerdict(clean).closingLine, ClosingLine::Incomplete);
}

}  // namespace
