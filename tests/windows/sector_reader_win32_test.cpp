// ReadDriveSector against the Win32 file calls themselves: where the real file pointer stands
// after the one- and two-seek placements and the high half, on a sparse image written and opened
// with CreateFileA, and the system error codes a failing ReadFile prints. The portable sector
// reader tests cover the contents of far reads on every platform.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "disk/sector_reader.h"
#include "render/console.h"
#include "run/module1.h"

namespace {

constexpr uint64_t kSectorBytes = 512;
constexpr DWORD kPipeBytes = 1 << 16;

// Returns 512 bytes that name `sector`, so that a read from any other place shows.
std::string MarkerSector(uint64_t sector) {
  const std::string text = "sector " + std::to_string(sector) + " ";
  std::string marker;
  while (marker.size() < kSectorBytes) marker += text;
  marker.resize(kSectorBytes);
  return marker;
}

// Returns the handle's file position as Win32 reports it, or -1 when it cannot be read.
int64_t FilePosition(HANDLE handle) {
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(handle, zero, &position, FILE_CURRENT)) return -1;
  return position.QuadPart;
}

// Moves the handle's file position to the end of the file; false when the seek fails.
bool SeekToEnd(HANDLE handle) {
  return SetFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_END);
}

// Runs `action` with the console writer's output going into a pipe; returns what it wrote.
std::string CaptureOutput(const std::function<void()>& action) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, nullptr, kPipeBytes)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return "";
  }
  HANDLE previous = ConsoleStuff::hStdOut;
  ConsoleStuff::hStdOut = writeEnd;
  action();
  ConsoleStuff::hStdOut = previous;
  CloseHandle(writeEnd);
  std::string output;
  char chunk[4096];
  DWORD count = 0;
  while (ReadFile(readEnd, chunk, sizeof chunk, &count, nullptr) && count > 0) {
    output.append(chunk, count);
  }
  CloseHandle(readEnd);
  return output;
}

// The sectors whose placement the Win32 file pointer must follow exactly.
constexpr uint64_t kFarSectors[] = {
    63,          // one seek from the beginning
    4194304,     // byte offset 2^31: two seeks, 2147483647 and then 1 forward
    8388608,     // byte offset 2^32: one seek with the high half 1
    2147483647,  // two seeks, the first with the high half 255, the second 2147483137 forward
    4294967296,  // 2 TiB, past the 32-bit sector numbers: the full 64-bit offset, one seek
};

// A sparse image file holding a marker in each of kFarSectors and their neighbours, written with
// the Win32 calls once for the suite and deleted after it.
class Win32SectorReader : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char folder[MAX_PATH + 1];
    char name[MAX_PATH + 1];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "tvx", 0, name) == 0) {
      return;
    }
    path_ = name;
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    // Without this NTFS would allocate every byte up to the last sector written; where the call
    // is not supported the host file system keeps the holes by itself.
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    bool written = true;
    for (uint64_t placed : kFarSectors) {
      for (uint64_t sector = placed - 1; sector <= placed + 1; ++sector) {
        written = written && WriteAt(file, sector * kSectorBytes, MarkerSector(sector));
      }
    }
    ready_ = CloseHandle(file) && written;
  }

  static void TearDownTestSuite() {
    if (!path_.empty()) DeleteFileA(path_.c_str());
  }

  void SetUp() override {
    ASSERT_TRUE(ready_) << "could not write the sparse image " << path_ << ": " << GetLastError();
  }

  // Writes `bytes` at byte `offset` of `file`; false when the seek or the write fails.
  static bool WriteAt(HANDLE file, uint64_t offset, const std::string& bytes) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) &&
           WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }

  static std::string path_;
  static bool ready_;
};

std::string Win32SectorReader::path_;
bool Win32SectorReader::ready_ = false;

TEST_F(Win32SectorReader, LeavesTheFilePointerRightAfterTheSectorRead) {
  HANDLE drive = Module1::OpenRawDevice(path_).handle;
  ASSERT_NE(drive, INVALID_HANDLE_VALUE) << "CreateFileA failed: " << GetLastError();
  for (uint64_t placed : kFarSectors) {
    SCOPED_TRACE("sector " + std::to_string(placed));
    // Every read starts from the end of the file, so none can lean on where the last one ended.
    ASSERT_TRUE(SeekToEnd(drive));
    SectorText sector;
    const std::string output = CaptureOutput(
        [&] { sector = DiskIO::ReadDriveSector(drive, static_cast<double>(placed), 512); });
    EXPECT_EQ(sector, MarkerSector(placed));
    EXPECT_EQ(FilePosition(drive), static_cast<int64_t>((placed + 1) * kSectorBytes));
    EXPECT_EQ(output, "");
  }
  CloseHandle(drive);
}

// A handle that refuses to be read, and the system error code the failed read prints.
struct UnreadableHandle {
  const char* name;
  std::function<HANDLE(const std::string& image)> open;
  DWORD expectedError;
};

TEST_F(Win32SectorReader, PrintsTheSystemErrorOfAFailedRead) {
  const UnreadableHandle cases[] = {
      {"the image opened for writing only",
       [](const std::string& image) {
         return CreateFileA(image.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
       },
       ERROR_ACCESS_DENIED},
      // A pipe cannot be positioned: the seek fails (ERROR_BAD_DEV_TYPE), and the read, which would
      // come from wherever the pipe stands, is never made.
      {"a pipe whose writer is gone",
       [](const std::string&) {
         HANDLE readEnd = INVALID_HANDLE_VALUE;
         HANDLE writeEnd = INVALID_HANDLE_VALUE;
         if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return INVALID_HANDLE_VALUE;
         CloseHandle(writeEnd);
         return readEnd;
       },
       ERROR_BAD_DEV_TYPE},
  };
  for (const UnreadableHandle& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE handle = c.open(path_);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    SectorText sector;
    const std::string output =
        CaptureOutput([&] { sector = DiskIO::ReadDriveSector(handle, 4194304, 512); });
    CloseHandle(handle);
    EXPECT_EQ(sector, ReadFailedText);
    EXPECT_EQ(output, "");  // the report says it, not the reader
    EXPECT_EQ(DiskIO::lastReadError, c.expectedError);
  }
}

}  // namespace
