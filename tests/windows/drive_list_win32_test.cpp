// ListPhysicalDriveNumbers on Windows: the disks SetupAPI enumerates, each asked its number.
// Whatever the system lists must be in increasing order, once each, and open as the
// PhysicalDriveN it names; under Wine, as far as Wine lists disks.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/drive_list.h"

namespace {

TEST(DriveListWin32, ListedDrivesExistInIncreasingOrder) {
  const std::vector<int32_t> numbers = ListPhysicalDriveNumbers();
  std::string listed;
  for (size_t i = 0; i < numbers.size(); ++i) {
    listed += " " + std::to_string(numbers[i]);
    EXPECT_GE(numbers[i], 0);
    if (i > 0) EXPECT_LT(numbers[i - 1], numbers[i]);
    const std::string path = "\\\\.\\PhysicalDrive" + std::to_string(numbers[i]);
    HANDLE drive = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    const DWORD error = drive == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (drive != INVALID_HANDLE_VALUE) CloseHandle(drive);
    EXPECT_NE(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
  }
  RecordProperty("listed", listed);
  // The same answer twice: the list is the system's, not the state of one call.
  EXPECT_EQ(ListPhysicalDriveNumbers(), numbers);
}

}  // namespace
