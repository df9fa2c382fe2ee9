#include "render/console_report.h"

#include <string>

#include "base/version.h"
#include "render/console.h"
#include "report/verdict.h"

namespace ConsoleStuff {

namespace {

std::string Decimal(int64_t value) {
  return std::to_string(value);
}

// Returns `text` with each line feed in it made a console line end, "\r\n".
std::string CrLfLines(const std::string& text) {
  std::string lines;
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  return lines;
}

// Writes the words of a gap (a failed read, a drive cut short, one that did not answer, ...):
// after a blank line, in Yellow, each line ending in "\r\n".
void WriteGapText(const std::string& message) {
  WriteConsoleText("\r\n" + CrLfLines(message) + "\r\n", Yellow);
}

// Returns a finding as console lines: each ends in "\r\n", and a finding about a whole drive
// stands after a blank line.
std::string FindingLines(const Finding& finding) {
  std::string text = finding.drive >= 0 && finding.partition < 0 ? "\r\n" : "";
  text += CrLfLines(finding.message) + "\r\n";
  // A note can name paths that came from a disk (a mount folder named after a volume label):
  // control bytes in them must not move a terminal's cursor.
  for (const std::string& note : finding.notes) text += SectorBytesForDisplay(note) + "\r\n";
  return text;
}

// The kinds of finding drawn in LightRed wherever they are: FileVault, the whole-disk encryption
// products named by their boot loaders (in sector 0 or on the EFI system partition) or markers,
// GELI, and LUKS known by its secondary header.
constexpr const char* kLightRedKinds[] = {
    "filevault",          "diskcryptor", "mcafee-safeboot", "sophos-safeguard", "guardianedge",
    "winmagic-securedoc", "geli",        "luks-damaged"};

// Returns the colour of a finding: LightRed for the kinds above and for a disk with no partition
// table (possibly encrypted whole), Yellow for every other finding.
ConsoleColor FindingColour(const Finding& finding) {
  const bool wholeDisk = finding.drive >= 0 && finding.partition < 0;
  for (const char* kind : kLightRedKinds) {
    if (finding.kind == kind) return LightRed;
  }
  return wholeDisk && finding.kind == "possibly-encrypted" ? LightRed : Yellow;
}

// Writes the findings at one place, in report order.
void WriteFindings(const Report& report, int32_t drive, int32_t partition, char letter) {
  for (const Finding& finding : report.findings) {
    if (finding.drive == drive && finding.partition == partition && finding.letter == letter) {
      WriteConsoleText(FindingLines(finding), FindingColour(finding));
    }
  }
}

void WriteDriveFailure(const DriveRecord& drive) {
  if (!drive.imageFormat.empty()) {
    WriteGapText(UnreadableImageMessage(drive));
    return;
  }
  if (drive.status == DriveStatus::TimedOut) {
    WriteGapText(DriveTimedOutMessage(drive.number, drive.timedOutAfter));
    return;
  }
  const char* action = drive.status == DriveStatus::OpenFailed ? "opening" : "reading";
  // The reason can name a link's target, which came from the folder: no control bytes.
  WriteConsoleText(std::string("\r\nError ") + action + " " + DriveName(drive.number) +
                       "... Error: " + Decimal(static_cast<int32_t>(drive.error)) + "\r\n" +
                       SectorBytesForDisplay(DriveFailureReason(drive)) + "\r\n",
                   Yellow);
}

void WritePartition(const Report& report, const DriveRecord& drive,
                    const PartitionRecord& partition) {
  const std::string name = PartitionPlace(drive.number, partition.number);
  if (!partition.read) {
    WriteGapText(SectorReadMessage(partition.error, name, partition.firstSector));
    return;
  }
  if (partition.hasLabel) {
    WriteConsoleText("\r\n" + name + " ---       OEM ID: ", White);
    WriteConsoleText(SectorBytesForDisplay(partition.oemId) + "\r\n", LightCyan);
    WriteConsoleText(name + " --- Volume label: ", White);
    WriteConsoleText(SectorBytesForDisplay(partition.label) + "\r\n", LightCyan);
  } else {
    WriteConsoleText("\r\n" + name + " --- OEM ID: ", White);
    WriteConsoleText(SectorBytesForDisplay(partition.oemId) + "\r\n", LightCyan);
  }
  if (!partition.fileSystem.empty()) {
    WriteConsoleText(name + " --- File system: ", White);
    WriteConsoleText(partition.fileSystem + "\r\n", LightCyan);
  }
  if (partition.empty) WriteConsoleText(name + " --- Empty: no data in its first MiB\r\n", White);
  WriteFindings(report, drive.number, partition.number, 0);
  if (const auto& failure = partition.volumeReadFailure) {
    WriteGapText(SectorReadMessage(failure->error, name, failure->sector));
  }
}

}  // namespace

void WriteBanner() {
  WriteConsoleText("\r\nTharvex v" TVX_VERSION "\r\n", White);
  WriteConsoleText("Written by the Tharvex developers\r\n", White);
  WriteConsoleText("https://tharvex.example.org/\r\n", White);
  WriteConsoleText(
      "// This program comes with no guarantee or warranty.\r\n"
      "   All risk is assumed by the user. //\r\n",
      DarkGray);
}

void WriteUsage() {
  WriteConsoleText("\r\nUsage:\r\n\r\n", LightGray);
  WriteConsoleText("    TVX <options>\r\n\r\n", LightGray);
  WriteConsoleText("Options:\r\n\r\n", White);
  WriteConsoleText("        /?     - What you're reading now.\r\n", LightGray);
  WriteConsoleText(
      "        /batch - No prompt for user input at the end of processing, just exit.\r\n",
      LightGray);
  WriteConsoleText("        /json  - Write the report as one JSON document, with no prompt.\r\n",
                   LightGray);
  WriteConsoleText("        /version - Show the version of TVX and exit.\r\n\r\n", LightGray);
}

void WriteVersion() {
  // One line in the terminal's own colour, so that a script reads it as it is.
  WritePlainText("Tharvex " TVX_VERSION "\r\n");
}

void WritePhysicalPassStart() {
  WriteConsoleText("\r\n* Checking physical drives on system... *\r\n", LightGray);
}

void WriteDrive(const Report& report, const DriveRecord& drive) {
  if (!DriveIsReported(drive)) return;
  if (drive.status != DriveStatus::Read) {
    WriteDriveFailure(drive);
    return;
  }
  if (!drive.fileSystem.empty()) {
    WriteConsoleText("\r\n" + DriveName(drive.number) + " --- File system: ", White);
    WriteConsoleText(drive.fileSystem + "\r\n", LightCyan);
  }
  WriteFindings(report, drive.number, -1, 0);
  if (drive.notADisk) WriteGapText(NotADiskMessage(drive.number));
  if (const auto& failure = drive.volumeReadFailure) {
    WriteGapText(SectorReadMessage(failure->error, DriveName(drive.number), failure->sector));
  }
  for (const TableReadError& failure : drive.tableReadErrors) {
    WriteGapText(TableReadMessage(drive.number, failure));
  }
  if (drive.gptDamaged) WriteGapText(TableDamagedMessage(drive.number));
  for (const PartitionRecord& partition : drive.partitions) {
    WritePartition(report, drive, partition);
  }
  if (drive.logicalChainCut) WriteGapText(ChainCutMessage(drive.number));
  if (DriveSizeIsOdd(drive)) WriteGapText(DriveSizeOddMessage(drive));
  if (DriveShorterThanTable(drive)) WriteGapText(ShorterThanTableMessage(drive));
  if (drive.timedOutAfter > 0) {
    WriteGapText(DriveTimedOutMessage(drive.number, drive.timedOutAfter));
  }
}

void WriteUnexaminedEntries(const Report& report) {
  for (const std::string& name : report.unexaminedEntries) {
    // A name as it stands in the folder may hold any byte but "/".
    WriteConsoleText("\r\n" + SectorBytesForDisplay(EntryNotExaminedMessage(name)) + "\r\n",
                     Yellow);
  }
}

void WritePhysicalPassEnd() {
  WriteConsoleText("\r\n* Completed checking physical drives on system. *\r\n", LightGray);
}

void WriteMachineFindings(const Report& report) {
  WriteFindings(report, -1, -1, 0);
}

void WriteLogicalPassStart() {
  WriteConsoleText("\r\n* Now checking logical volumes on system... *\r\n\r\n", LightGray);
}

void WriteVolume(const Report& report, const VolumeRecord& volume) {
  const std::string drive = std::string("Drive ") + volume.letter + ":";
  if (volume.network) {
    WriteConsoleText(drive + " is a network drive: its volume is on another machine.\r\n", White);
  } else if (LivesOnNoDevice(volume)) {
    // Where its pieces lie, when they all lie on drives of this run; else the virtual-disk
    // finding says it all.
    if (!volume.liesOn.empty()) {
      std::string text = drive + " lies on ";
      for (size_t i = 0; i < volume.liesOn.size(); ++i) {
        text += (i > 0 ? ", PhysicalDrive" : "PhysicalDrive") + Decimal(volume.liesOn[i].drive) +
                ", Partition #" + Decimal(volume.liesOn[i].partition);
      }
      WriteConsoleText(text + ".\r\n", White);
    }
  } else if (volume.deviceType == FILE_DEVICE_CD_ROM) {
    WriteConsoleText(drive + " is a CD-ROM/DVD device (#" + Decimal(volume.deviceNumber) + ").\r\n",
                     White);
  } else {
    WriteConsoleText(drive + " is located on PhysicalDrive" + Decimal(volume.deviceNumber) +
                         ", Partition #" + Decimal(volume.partitionNumber) + ".\r\n",
                     White);
    if (volume.partitionNumber == -1) {
      WriteConsoleText("(-1 indicates that this device can not be partitioned)\r\n", LightGray);
    }
  }
  WriteFindings(report, -1, -1, volume.letter);
}

void WriteLetterFailure(const Report& /*report*/, const LetterFailure& failure) {
  // A letter that did not answer stands apart, as a drive's time-out does.
  if (failure.timedOutAfter > 0) {
    WriteGapText(LetterOpenMessage(failure));
  } else {
    WriteConsoleText(CrLfLines(LetterOpenMessage(failure)) + "\r\n", Yellow);
  }
}

void WriteLogicalPassEnd() {
  WriteConsoleText("\r\n* Completed checking logical volumes on system. *\r\n", LightGray);
}

void WriteVerdict(const Report& report) {
  constexpr char kNothingRead[] =
      "\r\nNo physical drive could be read, so this report cannot tell whether\r\n"
      "encrypted volumes are present.";
  switch (ReportVerdict(report).closingLine) {
    case ClosingLine::NothingRead:
      WriteConsoleText(std::string(kNothingRead) + "\r\n", Yellow);
      break;
    case ClosingLine::NothingReadElevate:
      WriteConsoleText(std::string(kNothingRead) + " Run TVX as Administrator or root.\r\n",
                       Yellow);
      break;
    case ClosingLine::Incomplete:
      WriteConsoleText(
          "\r\nSome drives or volumes could not be read in full (see the errors above), so this "
          "report\r\ncannot tell whether encrypted volumes are present.\r\n",
          Yellow);
      break;
    case ClosingLine::FoundIncomplete:
      WriteConsoleText(
          "\r\nSome drives or volumes could not be read in full (see the errors above), so more "
          "encrypted volumes may be present.\r\n",
          Yellow);
      break;
    case ClosingLine::AllClear:
      WriteConsoleText(
          "\r\nNo TrueCrypt, PGP, or Bitlocker encrypted volumes detectable by TVX were found.\r\n",
          LightRed);
      break;
    case ClosingLine::None:
      break;
  }
}

void WritePrompt() {
  WriteConsoleText("\r\nPress any key to continue...\r\n", LightGray);
  WriteConsoleText("(use 'TVX /batch' to bypass this prompt next time)\r\n", DarkGray);
}

}  // namespace ConsoleStuff
