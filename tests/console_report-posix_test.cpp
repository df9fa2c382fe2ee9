// The console renderer's lines for a drive letter, drawn from a report held in memory and caught
// on a terminal with their colours: a letter whose pieces lie on partitions of the run is
// located in White, each place once and in order, with no finding; one that lies nowhere known
// keeps the virtual-disk finding in Yellow, its notes shown without control bytes; a network
// letter is said in White. (End to end these need device-mapper or md RAID, which not every
// kernel offers, or a network drive.) And names from the device folder, shown terminal-safe.
#include <gtest/gtest.h>

#include <string>

#include "render/console_report.h"
#include "test_support-posix.h"

namespace {

using TestSupport::CaptureStandardOutput;

constexpr char kWhite[] = "\x1b[39m";  // the terminal's default foreground
constexpr char kYellow[] = "\x1b[93m";
constexpr char kReset[] = "\x1b[0m";

TEST(ConsoleReport, LettersOnDrivesOfTheRunAreLocated) {
  Report report;
  VolumeRecord spanned{'S', false, 0, 0, 0};
  spanned.liesOn = {{0, 1}, {2, 4}};
  VolumeRecord lvm{'L', false, 0, 0, 0};
  lvm.liesOn = {{1, 0}};
  VolumeRecord container{'T', false, 0, 0, 0};
  VolumeRecord network{'N', false, 0, 0, 0};
  network.network = true;
  Finding finding{"virtual-disk", -1, -1, 'T', "Drive T: appears to be a virtual disk"};
  // A path in a note, named after a crafted volume label, cannot clear the screen.
  finding.notes = {std::string("  - read through /media/x\x1b[2J\0", 30)};
  AddFinding(report, finding);
  const struct {
    VolumeRecord volume;
    std::string shown;
  } cases[] = {
      {spanned, std::string(kWhite) +
                    "Drive S: lies on PhysicalDrive0, Partition #1, PhysicalDrive2, Partition #4."
                    "\r\n" +
                    kReset},
      {lvm, std::string(kWhite) + "Drive L: lies on PhysicalDrive1, Partition #0.\r\n" + kReset},
      {network, std::string(kWhite) +
                    "Drive N: is a network drive: its volume is on another machine.\r\n" + kReset},
      {container,
       std::string(kYellow) +
           "Drive T: appears to be a virtual disk\r\n  - read through /media/x.[2J \r\n" + kReset},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CaptureStandardOutput([&] { ConsoleStuff::WriteVolume(report, c.volume); }, true),
              c.shown)
        << c.volume.letter;
  }
}

// A running encryption driver: its own Yellow line, between the passes; findings placed on a
// drive or letter are not said there, and without a driver nothing is written at all.
TEST(ConsoleReport, MachineFindingsStandBetweenThePasses) {
  Report report;
  EXPECT_EQ(CaptureStandardOutput([&] { ConsoleStuff::WriteMachineFindings(report); }, true), "");
  AddFinding(report, {"luks", 0, -1, 0, "PhysicalDrive0 contains a LUKS encrypted volume."});
  AddFinding(report, {"virtual-disk", -1, -1, 'T', "Drive T: appears to be a virtual disk"});
  EXPECT_EQ(CaptureStandardOutput([&] { ConsoleStuff::WriteMachineFindings(report); }, true), "");
  AddFinding(report, {"encryption-driver", -1, -1, 0,
                      "The VeraCrypt driver is running on this machine: its volumes may be open "
                      "now."});
  EXPECT_EQ(CaptureStandardOutput([&] { ConsoleStuff::WriteMachineFindings(report); }, true),
            std::string(kYellow) +
                "The VeraCrypt driver is running on this machine: its volumes may be open now."
                "\r\n" +
                kReset);
}

// Names that came from the device folder, an entry's or a link's target, cannot move the cursor
// of the terminal that shows them.
TEST(ConsoleReport, FolderNamesAreShownWithoutControlBytes) {
  Report report;
  report.unexaminedEntries = {"evil\x1b[2J.dd"};
  EXPECT_EQ(
      CaptureStandardOutput([&] { ConsoleStuff::WriteUnexaminedEntries(report); }, true),
      std::string(kYellow) +
          "\r\nevil.[2J.dd was not examined: drives are named PhysicalDrive0, PhysicalDrive1, ... "
          "and drive letters A: to Z:.\r\n" +
          kReset);
  DriveRecord drive;
  drive.number = 1;
  drive.status = DriveStatus::OpenFailed;
  drive.error = 2;
  drive.listed = true;
  drive.linkTarget = "/mnt/\x1b[2Jdisk";
  EXPECT_EQ(CaptureStandardOutput([&] { ConsoleStuff::WriteDrive(report, drive); }, true),
            std::string(kYellow) +
                "\r\nError opening PhysicalDrive1... Error: 2\r\n"
                "  - it is a link to /mnt/.[2Jdisk, which does not exist.\r\n" +
                kReset);
}

}  // namespace
