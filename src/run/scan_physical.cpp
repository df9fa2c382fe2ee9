#include <string>

#include "console/console.h"
#include "disk/layout.h"
#include "run/module1.h"

namespace Module1 {

namespace {

using ConsoleStuff::WriteConsoleText;

constexpr int32_t kPhysicalDriveCount = 16;
constexpr DWORD kPauseAfterDriveMs = 10;

// What follows "\r\nPhysicalDrive" n in each sector-0 finding.
constexpr char kTrueCryptLoaderFinding[] = " contains a TrueCrypt encrypted volume.\r\n";
constexpr char kPgpGuardFinding[] = " contains a PGP encrypted volume.\r\n";
constexpr char kPgpElsewhereFinding[] =
    " contains a PGP signature in its MBR,\r\nbut in an unexpected location. It may contain an "
    "encrypted volume.\r\n";
constexpr char kTrueCryptElsewhereFinding[] =
    " contains a TrueCrypt signature in its MBR,\r\nbut in an unexpected location. It may contain "
    "an encrypted volume.\r\n";

// Returns the finding of the first sector-0 rule that matches, or nullptr when none does.
const char* FindTrace(const SectorText& sector) {
  if (FieldText(sector, MasterBootRecord::kBootLoaderName) == Signature::kTrueCryptBootLoader) {
    return kTrueCryptLoaderFinding;
  }
  if (FieldText(sector, MasterBootRecord::kOemField) == Signature::kPgpGuard) {
    return kPgpGuardFinding;
  }
  if (sector.find(Signature::kPgp) != std::string::npos) return kPgpElsewhereFinding;
  if (sector.find(Signature::kTrueCrypt) != std::string::npos) return kTrueCryptElsewhereFinding;
  return nullptr;
}

// Prints drive 0's open or read failure, "\r\nError <action> PhysicalDrive0... Error: <code>".
void ReportDriveZeroFailure(const char* action, DWORD code) {
  WriteConsoleText(std::string("\r\nError ") + action + " PhysicalDrive0... Error: " +
                       std::to_string(static_cast<int32_t>(code)) + "\r\n",
                   Yellow);
}

// True when sector 0 carries the OEM field of a volume boot sector (a disk with no partition
// table): it starts with NTFS, MSDOS or MSWIN.
bool IsVolumeBootSector(const SectorText& sector) {
  const std::string oem = FieldText(sector, MasterBootRecord::kOemField);
  for (const std::string& prefix : Signature::kVolumeOemPrefixes) {
    if (oem.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

// Reads sector 0 of an open drive into the buffer; false, with the report for drive 0, when the
// read fails or comes up short.
bool ReadSectorZero(HANDLE handle, int32_t n, SectorBuffer& sectorBuffer) {
  LONG high = 0;
  SetFilePointer(handle, 0, &high, FILE_BEGIN);
  DWORD count = 0;
  if (ReadFile(handle, sectorBuffer.data(), kSectorSize, &count, nullptr) && count >= kSectorSize) {
    return true;
  }
  if (n == 0) ReportDriveZeroFailure("reading", GetLastError());
  return false;
}

// Applies the sector-0 rules to one drive.
void ClassifySectorZero(HANDLE handle, int32_t n, SectorBuffer& sectorBuffer,
                        const std::string& bootSignature, bool& anyFound) {
  const SectorText sector(sectorBuffer.begin(), sectorBuffer.end());
  if (const char* finding = FindTrace(sector)) {
    WriteConsoleText("\r\nPhysicalDrive" + std::to_string(n) + finding, Yellow);
    anyFound = true;
  } else if (!IsVolumeBootSector(sector)) {
    ExaminePartitions(handle, n, sectorBuffer, bootSignature, anyFound);
  }
}

}  // namespace

void ScanPhysicalDrive(int32_t n, SectorBuffer& sectorBuffer, const std::string& bootSignature,
                       bool& anyFound) {
  const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(n);
  HANDLE handle = OpenRawDevice(path);
  if (handle == INVALID_HANDLE_VALUE) {
    if (n == 0) ReportDriveZeroFailure("opening", GetLastError());
    return;
  }
  if (ReadSectorZero(handle, n, sectorBuffer)) {
    ClassifySectorZero(handle, n, sectorBuffer, bootSignature, anyFound);
  }
  CloseHandle(handle);
}

void ScanPhysicalDrives(SectorBuffer& sectorBuffer, const std::string& bootSignature,
                        bool& anyFound) {
  WriteConsoleText("\r\n* Checking physical drives on system... *\r\n", LightGray);
  for (int32_t n = 0; n < kPhysicalDriveCount; ++n) {
    ScanPhysicalDrive(n, sectorBuffer, bootSignature, anyFound);
    Sleep(kPauseAfterDriveMs);
  }
  WriteConsoleText("\r\n* Completed checking physical drives on system. *\r\n", LightGray);
}

}  // namespace Module1
