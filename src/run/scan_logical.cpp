#include <string>

#include "console/console.h"
#include "run/module1.h"

namespace Module1 {

namespace {

using ConsoleStuff::WriteConsoleText;

constexpr char kFirstLetter = 'A';
constexpr char kLastLetter = 'Z';
constexpr int32_t kCdRomDeviceType = 2;
constexpr int32_t kNotPartitionable = -1;

// The storage stack's answer for one letter, each field taken as a signed 32-bit number.
struct DeviceNumber {
  int32_t deviceType;
  int32_t deviceNumber;
  int32_t partitionNumber;
};

// Asks where an open volume lives. A failed query leaves the record as it was.
void QueryDeviceNumber(HANDLE handle, STORAGE_DEVICE_NUMBER& record) {
  DWORD returned = 0;
  DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &record,
                  sizeof(STORAGE_DEVICE_NUMBER), &returned, nullptr);
}

void ReportLetter(char letter, const DeviceNumber& answer, bool& anyFound) {
  const std::string drive = std::string("Drive ") + letter + ":";
  if (answer.deviceType == 0 && answer.deviceNumber == 0 && answer.partitionNumber == 0) {
    WriteConsoleText(drive +
                         " appears to be a virtual disk\r\n"
                         "  - possibly a TrueCrypt or PGP encrypted volume\r\n",
                     Yellow);
    anyFound = true;
  } else if (answer.deviceType == kCdRomDeviceType) {
    WriteConsoleText(
        drive + " is a CD-ROM/DVD device (#" + std::to_string(answer.deviceNumber) + ").\r\n",
        White);
  } else {
    WriteConsoleText(drive + " is located on PhysicalDrive" + std::to_string(answer.deviceNumber) +
                         ", Partition #" + std::to_string(answer.partitionNumber) + ".\r\n",
                     White);
    if (answer.partitionNumber == kNotPartitionable) {
      WriteConsoleText("(-1 indicates that this device can not be partitioned)\r\n", LightGray);
    }
  }
}

}  // namespace

void ScanLogicalVolumes(bool& anyFound) {
  WriteConsoleText("\r\n* Now checking logical volumes on system... *\r\n\r\n", LightGray);
  STORAGE_DEVICE_NUMBER record{};
  for (char letter = kFirstLetter; letter <= kLastLetter; ++letter) {
    const std::string path = std::string("\\\\.\\") + letter + ":";
    HANDLE handle = OpenRawDevice(path);
    if (handle != INVALID_HANDLE_VALUE) {
      QueryDeviceNumber(handle, record);
      ReportLetter(
          letter,
          {static_cast<int32_t>(record.DeviceType), static_cast<int32_t>(record.DeviceNumber),
           static_cast<int32_t>(record.PartitionNumber)},
          anyFound);
    }
    // Reset after every letter, so one letter's answer never shows up for the next.
    record = STORAGE_DEVICE_NUMBER{};
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  WriteConsoleText("\r\n* Completed checking logical volumes on system. *\r\n", LightGray);
}

}  // namespace Module1
