// The drive calls on POSIX behave as their Windows namesakes: CreateFileA opens read-only and
// fails with the Windows codes, each handle keeps its own 64-bit position that SetFilePointer
// moves as Windows does, ReadFile reads there with pread, and DeviceIoControl and CloseHandle
// answer as Windows would. On image files, special files, /proc/self/mem, and a loop device as
// root.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/handles-posix.h"
#include "platform/platform.h"
#include "test_support-posix.h"
#include "test_support.h"

namespace {

using TestSupport::RunInChild;
using TestSupport::ScopedEnvironment;
using TestSupport::TemporaryFolder;

constexpr int kOpened = 100;  // a child's exit status for an open that succeeded

HANDLE Open(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// Opens `path` in a child process (so an open that blocks cannot hang the tests) and returns
// kOpened, or the error code of a failed open; -1 when the open did not return within 5 s.
int OpenInChild(const std::string& path, bool asNobody = false) {
  return RunInChild(
      [&path] {
        HANDLE handle = Open(path.c_str());
        return handle == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : kOpened;
      },
      asNobody, 5);
}

// Returns `size` bytes in which no two runs of a few bytes are alike, so that the bytes a read
// returns tell where it read.
std::string DistinctBytes(size_t size) {
  std::mt19937 random(12345);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xFF);
  return bytes;
}

bool WriteFileAt(const std::string& path, const std::string& bytes) {
  return TestSupport::WriteAt(path, 0, bytes, true);
}

// Returns the handle's position, read back as Windows programs do: a move of 0 from the current
// position.
uint64_t Position(HANDLE handle) {
  LONG high = 0;
  const DWORD low = SetFilePointer(handle, 0, &high, FILE_CURRENT);
  return (static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low;
}

// Reads `count` bytes at the handle's position; returns them, or "<failed N>" with the error.
std::string Read(HANDLE handle, DWORD count) {
  std::string bytes(count, '\0');
  DWORD read = 12345;
  if (!ReadFile(handle, bytes.data(), count, &read, nullptr)) {
    return "<failed " + std::to_string(GetLastError()) + ">";
  }
  bytes.resize(read);
  return bytes;
}

class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    content_ = DistinctBytes(kImageSize);
    ASSERT_TRUE(WriteFileAt(folder_.Entry("image"), content_));
  }

  static constexpr size_t kImageSize = 10000;
  TemporaryFolder folder_;
  std::string content_;
};

TEST_F(DeviceTest, CreateFileAFailsWithTheWindowsCodes) {
  const std::string file = folder_.Entry("image");
  ASSERT_EQ(mkfifo(folder_.Entry("fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("loop-b", folder_.Entry("loop-a").c_str()), 0);
  ASSERT_EQ(symlink("loop-a", folder_.Entry("loop-b").c_str()), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = folder_.Entry("socket");
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  const struct {
    const char* what;
    std::string path;
    int result;
  } cases[] = {
      {"image file", file, kOpened},
      {"missing file", folder_.Entry("missing"), 2},
      {"missing folder on the way", folder_.Entry("missing/image"), 2},
      {"file used as a folder", file + "/image", 3},
      {"folder", folder_.path(), 5},
      {"character device", "/dev/null", 5},
      {"FIFO, without blocking", folder_.Entry("fifo"), 5},
      {"socket", socketPath, 5},
      {"symbolic link loop", folder_.Entry("loop-a"), 31},
      {"empty path", "", 2},
      {"unknown device name", "\\\\.\\Tape0", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(OpenInChild(c.path), c.result) << c.what;
  close(sock);

  EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
}

TEST_F(DeviceTest, CreateFileAFindsDrivesAndLettersInTheDeviceFolder) {
  ASSERT_EQ(symlink(folder_.Entry("image").c_str(), folder_.Entry("PhysicalDrive4").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", folder_.Entry("PhysicalDrive2").c_str()), 0);
  ASSERT_EQ(mkdir(folder_.Entry("PhysicalDrive3").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(folder_.Entry("E:").c_str(), 0644), 0);
  ASSERT_TRUE(WriteFileAt(folder_.Entry("PhysicalDrive0"), "drive zero"));
  ASSERT_TRUE(WriteFileAt(folder_.Entry("C:"), "volume C"));
  for (int n : {16, 17, 18, 255, 256, 300}) {
    ASSERT_TRUE(WriteFileAt(folder_.Entry("PhysicalDrive" + std::to_string(n)), "far drive"));
  }
  const ScopedEnvironment devices("TVX_DEVICES", folder_.path().c_str());

  const struct {
    const char* path;
    int result;
  } cases[] = {
      {"\\\\.\\PhysicalDrive0", kOpened},
      {"\\\\.\\PhysicalDrive1", 2},
      {"\\\\.\\PhysicalDrive2", 2},
      {"\\\\.\\PhysicalDrive3", 5},
      {"\\\\.\\PhysicalDrive4", kOpened},
      {"\\\\.\\PhysicalDrive15", 2},
      {"\\\\.\\PhysicalDrive16", kOpened},
      {"\\\\.\\PhysicalDrive17", kOpened},
      {"\\\\.\\PhysicalDrive18", kOpened},
      {"\\\\.\\PhysicalDrive19", 2},
      {"\\\\.\\PhysicalDrive255", kOpened},
      {"\\\\.\\PhysicalDrive256", kOpened},  // no upper bound
      {"\\\\.\\PhysicalDrive300", kOpened},
      {"\\\\.\\PhysicalDrive301", 2},
      {"\\\\.\\C:", kOpened},
      {"\\\\.\\c:", kOpened},
      {"\\\\.\\D:", 2},
      {"\\\\.\\E:", 5},
  };
  for (const auto& c : cases) EXPECT_EQ(OpenInChild(c.path), c.result) << c.path;

  HANDLE drive = Open("\\\\.\\PhysicalDrive0");
  ASSERT_NE(drive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Read(drive, 100), "drive zero");
  CloseHandle(drive);
  HANDLE letter = Open("\\\\.\\C:");
  ASSERT_NE(letter, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Read(letter, 100), "volume C");
  CloseHandle(letter);
}

// Whatever access is asked for, the open is read-only: a file only readable by the caller opens,
// and one it may not read fails with 5. Run as user 65534 when the tests run as root.
TEST_F(DeviceTest, CreateFileAOpensReadOnlyWhateverAccessIsAsked) {
  const std::string readOnly = folder_.Entry("read-only");
  const std::string unreadable = folder_.Entry("unreadable");
  ASSERT_TRUE(WriteFileAt(readOnly, "evidence"));
  ASSERT_TRUE(WriteFileAt(unreadable, "secret"));
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  ASSERT_EQ(chmod(unreadable.c_str(), 0000), 0);
  const bool root = geteuid() == 0;

  const int readOnlyResult = RunInChild(
      [&readOnly] {
        HANDLE handle = Open(readOnly.c_str());
        if (handle == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
        return Read(handle, 100) == "evidence" ? kOpened : 99;
      },
      root, 5);
  if (readOnlyResult == -2) TVX_CANNOT_RUN("cannot run a child process as user 65534");
  EXPECT_EQ(readOnlyResult, kOpened);
  EXPECT_EQ(OpenInChild(unreadable, root), 5);

  HANDLE handle = Open(readOnly.c_str());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fcntl(HandleState(handle)->fd, F_GETFL) & O_ACCMODE, O_RDONLY);
  DWORD written = 12345;
  EXPECT_FALSE(WriteFile(handle, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(written, 0u);
  CloseHandle(handle);
}

// One step of a sequence of moves on one handle: the call, and what it returns, writes back
// through the high half, leaves in the last error, and where the position is afterwards.
struct Move {
  const char* what;
  LONG low;
  bool withHigh;
  LONG high;
  DWORD method;
  DWORD result;
  LONG highAfter;
  DWORD error;
  uint64_t position;
};

TEST_F(DeviceTest, SetFilePointerMovesAsWindowsDoes) {
  constexpr DWORD kFailed = INVALID_SET_FILE_POINTER;
  constexpr uint64_t kTwoTo40 = uint64_t{1} << 40;
  const Move moves[] = {
      {"begin, 100", 100, true, 0, FILE_BEGIN, 100, 0, 0, 100},
      {"current, +50, no high half", 50, false, 0, FILE_CURRENT, 150, 0, 0, 150},
      {"current, -150", -150, true, -1, FILE_CURRENT, 0, 0, 0, 0},
      {"current, -1 sign-extended", -1, false, 0, FILE_CURRENT, kFailed, 0, 131, 0},
      {"begin, -512", -512, true, -1, FILE_BEGIN, kFailed, -1, 131, 0},
      {"end, 0", 0, true, 0, FILE_END, 10000, 0, 0, 10000},
      {"end, -16", -16, true, -1, FILE_END, 9984, 0, 0, 9984},
      {"end, +5000: past the end", 5000, true, 0, FILE_END, 15000, 0, 0, 15000},
      {"end, -10001", -10001, true, -1, FILE_END, kFailed, -1, 131, 15000},
      {"begin, 2^32", 0, true, 1, FILE_BEGIN, 0, 1, 0, uint64_t{1} << 32},
      // A low half of 0xFFFFFFFF is a position, told from a failure by the last error 0.
      {"begin, 2^32 - 1", -1, true, 0, FILE_BEGIN, 0xFFFFFFFFu, 0, 0, 0xFFFFFFFFu},
      // The reader's two moves for sector 2147483647.
      {"begin, 255:2147483647", 2147483647, true, 255, FILE_BEGIN, 2147483647, 255, 0,
       (uint64_t{255} << 32) + 2147483647},
      {"current, +2147483137", 2147483137, true, 0, FILE_CURRENT, 4294966784u, 255, 0,
       kTwoTo40 - 512},
      {"unknown method", 0, true, 0, 3, kFailed, 0, 87, kTwoTo40 - 512},
      {"current, past 2^63", 0, true, 0x7FFFFFFF, FILE_CURRENT, kFailed, 0x7FFFFFFF, 87,
       kTwoTo40 - 512},
      {"begin, 2^63 - 1", -1, true, 0x7FFFFFFF, FILE_BEGIN, 0xFFFFFFFFu, 0x7FFFFFFF, 0,
       (uint64_t{1} << 63) - 1},
  };
  HANDLE handle = Open(folder_.Entry("image").c_str());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  for (const Move& m : moves) {
    LONG high = m.high;
    SetLastError(777);
    const DWORD result = SetFilePointer(handle, m.low, m.withHigh ? &high : nullptr, m.method);
    const DWORD error = GetLastError();
    EXPECT_EQ(result, m.result) << m.what;
    EXPECT_EQ(error, m.error) << m.what;
    if (m.withHigh) {
      EXPECT_EQ(high, m.highAfter) << m.what;
    }
    EXPECT_EQ(Position(handle), m.position) << m.what;
  }
  CloseHandle(handle);
}

TEST_F(DeviceTest, ReadFileReadsAtThePositionAndAdvancesIt) {
  HANDLE handle = Open(folder_.Entry("image").c_str());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const struct {
    const char* what;
    LONG low;
    LONG high;
    DWORD method;
    DWORD count;
    std::string bytes;
    uint64_t positionAfter;
  } reads[] = {
      {"from 100", 100, 0, FILE_BEGIN, 16, content_.substr(100, 16), 116},
      {"on from there", 0, 0, FILE_CURRENT, 16, content_.substr(116, 16), 132},
      {"nothing", 0, 0, FILE_CURRENT, 0, "", 132},
      {"short read at the end", -100, -1, FILE_END, 512, content_.substr(9900), 10000},
      {"at the end", 0, 0, FILE_CURRENT, 512, "", 10000},
      {"past the end", 5000, 0, FILE_END, 512, "", 15000},
      {"far past the end", 0, 1 << 20, FILE_BEGIN, 512, "", uint64_t{1} << 52},
      {"2^62 - 512, the reader's last sector", -512, 0x3FFFFFFF, FILE_BEGIN, 512, "",
       (uint64_t{1} << 62) - 512},
      {"the largest position", -1, 0x7FFFFFFF, FILE_BEGIN, 512, "", (uint64_t{1} << 63) - 1},
      {"512 bytes below the largest position", -512, 0x7FFFFFFF, FILE_BEGIN, 512, "",
       (uint64_t{1} << 63) - 512},
      {"the whole image", 0, 0, FILE_BEGIN, 20000, content_, 10000},
  };
  for (const auto& r : reads) {
    LONG high = r.high;
    SetFilePointer(handle, r.low, &high, r.method);
    EXPECT_EQ(Read(handle, r.count), r.bytes) << r.what;
    EXPECT_EQ(Position(handle), r.positionAfter) << r.what;
  }
  CloseHandle(handle);
}

TEST_F(DeviceTest, AFailedMoveNeverChangesWhereTheNextReadReads) {
  HANDLE handle = Open(folder_.Entry("image").c_str());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  LONG high = 0;
  ASSERT_EQ(SetFilePointer(handle, 1024, &high, FILE_BEGIN), 1024u);
  high = -1;
  EXPECT_EQ(SetFilePointer(handle, -5000, &high, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  high = 0;
  EXPECT_EQ(SetFilePointer(handle, 0, &high, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(Read(handle, 32), content_.substr(1024, 32));
  CloseHandle(handle);
}

TEST_F(DeviceTest, EachHandleKeepsItsOwnPosition) {
  HANDLE first = Open(folder_.Entry("image").c_str());
  HANDLE second = Open(folder_.Entry("image").c_str());
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  LONG high = 0;
  SetFilePointer(first, 200, &high, FILE_BEGIN);
  SetFilePointer(second, 3000, &high, FILE_BEGIN);
  EXPECT_EQ(Read(first, 8), content_.substr(200, 8));
  EXPECT_EQ(Read(second, 8), content_.substr(3000, 8));
  EXPECT_EQ(Read(first, 8), content_.substr(208, 8));
  // Reads go through pread: the descriptors' own offsets never move.
  EXPECT_EQ(lseek(HandleState(first)->fd, 0, SEEK_CUR), 0);
  EXPECT_EQ(lseek(HandleState(second)->fd, 0, SEEK_CUR), 0);
  CloseHandle(first);
  CloseHandle(second);
}

TEST(DeviceCalls, AReadThatFailsReportsTheMappedCodeAndKeepsThePosition) {
  // In /proc/self/mem a read of memory that is not mapped fails with EIO. Bytes 0 to 4095 never
  // are; a page unmapped after a mapped one gives a read that fails after part of it came in.
  const long page = sysconf(_SC_PAGESIZE);
  void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(munmap(static_cast<char*>(pages) + page, page), 0);
  const uint64_t partlyMapped = reinterpret_cast<uintptr_t>(pages) + page - 100;

  HANDLE memory = Open("/proc/self/mem");
  ASSERT_NE(memory, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  for (uint64_t address : {uint64_t{512}, partlyMapped}) {
    LONG high = static_cast<LONG>(address >> 32);
    SetFilePointer(memory, static_cast<LONG>(address & 0xFFFFFFFFu), &high, FILE_BEGIN);
    char buffer[512];
    DWORD count = 12345;
    EXPECT_FALSE(ReadFile(memory, buffer, sizeof buffer, &count, nullptr)) << address;
    EXPECT_EQ(GetLastError(), 23u) << address;
    EXPECT_EQ(count, 0u) << address;
    EXPECT_EQ(Position(memory), address);
  }
  CloseHandle(memory);
  munmap(pages, page);
}

TEST(DeviceCalls, CallsOnHandlesThatAreNoDriveFailWithSix) {
  PosixHandle closed{0, 0, false, 0};  // what a handle looks like once closed
  HANDLE standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  char buffer[16];
  for (HANDLE handle :
       {INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr), static_cast<HANDLE>(&closed)}) {
    DWORD count = 12345;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(count, 0u);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), 6u);
  }
  for (HANDLE handle : {INVALID_HANDLE_VALUE, standardOutput}) {
    LONG high = 0;
    SetLastError(0);
    EXPECT_EQ(SetFilePointer(handle, 0, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 6u);
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 12345;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                 sizeof number, &returned, nullptr));
    EXPECT_EQ(GetLastError(), 6u);
    EXPECT_EQ(returned, 0u);
  }
  // A standard handle stays open when closed.
  EXPECT_TRUE(CloseHandle(standardOutput));
  EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
}

TEST(DeviceCalls, ReadFileOnStandardInputTakesWhatOneReadBrings) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  ASSERT_EQ(write(ends[1], "abc", 3), 3);
  const int savedInput = dup(STDIN_FILENO);
  dup2(ends[0], STDIN_FILENO);
  const std::string bytes = Read(GetStdHandle(STD_INPUT_HANDLE), 512);
  close(ends[1]);
  const std::string atEnd = Read(GetStdHandle(STD_INPUT_HANDLE), 512);
  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  close(ends[0]);
  EXPECT_EQ(bytes, "abc");
  EXPECT_EQ(atEnd, "");
}

TEST_F(DeviceTest, CloseHandleClosesTheDescriptor) {
  HANDLE handle = Open(folder_.Entry("image").c_str());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const int fd = HandleState(handle)->fd;
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST_F(DeviceTest, DeviceIoControlFailsForImagesAndLeavesTheRecord) {
  HANDLE handle = Open(folder_.Entry("image").c_str());
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  const struct {
    const char* what;
    DWORD code;
    DWORD size;
    DWORD error;
  } cases[] = {
      {"an image lives on no drive", IOCTL_STORAGE_GET_DEVICE_NUMBER, 12, 1},
      {"other control code", 0x00070000u, 12, 1},
      {"record too small", IOCTL_STORAGE_GET_DEVICE_NUMBER, 11, 122},
  };
  for (const auto& c : cases) {
    STORAGE_DEVICE_NUMBER number{5, 6, 7};
    DWORD returned = 12345;
    EXPECT_FALSE(DeviceIoControl(handle, c.code, nullptr, 0, &number, c.size, &returned, nullptr))
        << c.what;
    EXPECT_EQ(GetLastError(), c.error) << c.what;
    EXPECT_EQ(returned, 0u) << c.what;
    EXPECT_EQ(number.DeviceType, 5u) << c.what;
    EXPECT_EQ(number.DeviceNumber, 6u) << c.what;
    EXPECT_EQ(number.PartitionNumber, 7u) << c.what;
  }
  CloseHandle(handle);
}

// A real block device: its size from the kernel, far positions, and its place among the drives.
TEST(DeviceCalls, ALoopDeviceBehavesAsAPhysicalDrive) {
  TemporaryFolder folder;
  const std::string image = folder.Entry("disk.img");
  const uint64_t kSize = uint64_t{5} << 30;
  ASSERT_TRUE(TestSupport::WriteAt(image, 0, "first", true));
  ASSERT_TRUE(TestSupport::WriteAt(image, uint64_t{1} << 31, "at 2 GiB"));
  ASSERT_TRUE(TestSupport::WriteAt(image, uint64_t{1} << 32, "at 4 GiB"));
  ASSERT_TRUE(TestSupport::WriteAt(image, kSize - 8, "the last"));
  const TestSupport::LoopDevice loop(image);
  if (loop.path().empty()) TVX_CANNOT_RUN("no loop device (needs root and losetup)");
  ASSERT_EQ(symlink(loop.path().c_str(), folder.Entry("PhysicalDrive0").c_str()), 0);
  const ScopedEnvironment devices("TVX_DEVICES", folder.path().c_str());

  HANDLE drive = Open("\\\\.\\PhysicalDrive0");
  ASSERT_NE(drive, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  LONG high = 0;
  EXPECT_EQ(SetFilePointer(drive, 0, &high, FILE_END), 1u << 30);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(Read(drive, 8), "");  // at the end
  high = -1;
  SetFilePointer(drive, -8, &high, FILE_END);
  EXPECT_EQ(Read(drive, 512), "the last");
  high = 0;
  SetFilePointer(drive, 2147483647, &high, FILE_BEGIN);
  high = 0;
  SetFilePointer(drive, 1, &high, FILE_CURRENT);
  EXPECT_EQ(Read(drive, 8), "at 2 GiB");
  high = 1;
  SetFilePointer(drive, 0, &high, FILE_BEGIN);
  EXPECT_EQ(Read(drive, 8), "at 4 GiB");
  SetFilePointer(drive, 0, nullptr, FILE_BEGIN);
  EXPECT_EQ(Read(drive, 5), "first");

  STORAGE_DEVICE_NUMBER number{9, 9, 9};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                              sizeof number, &returned, nullptr))
      << "error " << GetLastError();
  EXPECT_EQ(returned, 12u);
  EXPECT_EQ(number.DeviceType, FILE_DEVICE_DISK);
  EXPECT_EQ(number.DeviceNumber, 0u);
  EXPECT_EQ(number.PartitionNumber, 0u);
  CloseHandle(drive);
}

}  // namespace
