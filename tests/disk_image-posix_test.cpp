// Disk images on POSIX: container formats recognised by content (first and last bytes), the
// reason given for one that cannot be read, the libraries loaded on demand, and reads through a
// library with the semantics of a raw image, on images qemu-img makes from a raw one. A build
// that reads raw images only refuses every container.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/container_format-posix.h"
#include "platform/disk_image-posix.h"
#ifndef TVX_RAW_IMAGES_ONLY
#include "platform/image_libraries-posix.h"
#endif
#include "platform/platform.h"
#include "platform/unreadable_image.h"
#include "test_support-posix.h"
#include "test_support.h"

namespace {

using TestSupport::TemporaryFolder;

#ifdef TVX_RAW_IMAGES_ONLY
constexpr bool kRawImagesOnly = true;
#else
constexpr bool kRawImagesOnly = false;
#endif
const std::string kRawImagesOnlyReason = "this build reads raw images only";

ImageFormat Detect(const std::string& head, const std::string& tail) {
  return DetectImageFormat(reinterpret_cast<const uint8_t*>(head.data()), head.size(),
                           reinterpret_cast<const uint8_t*>(tail.data()), tail.size());
}

// `bytes` followed by zeros up to `size`.
std::string Padded(const std::string& bytes, size_t size = 512) {
  std::string out = bytes;
  out.resize(size, '\0');
  return out;
}

std::string VdiHeader() {
  return Padded(Padded("<<< Oracle VM VirtualBox Disk Image >>>\n", 64) + "\x7F\x10\xDA\xBE");
}

TEST(ImageFormatTest, RecognisesEachContainerByItsSignature) {
  const std::string mbr = Padded(std::string(446, '\x33') + std::string(64, '\0') + "\x55\xAA");
  const struct {
    std::string head, tail;
    ImageFormat expected;
  } cases[] = {
      {Padded(std::string("EVF\x09\x0D\x0A\xFF\x00", 8)), mbr, ImageFormat::kEwf},
      {Padded(std::string("LVF\x09\x0D\x0A\xFF\x00", 8)), mbr, ImageFormat::kEwfLogical},
      {Padded(std::string("EVF2\x0D\x0A\x81\x00", 8)), mbr, ImageFormat::kEwf2},
      {Padded("vhdxfile"), mbr, ImageFormat::kVhdx},
      {Padded("conectix"), mbr, ImageFormat::kVhd},  // a dynamic disk's footer copy
      {mbr, Padded("conectix"), ImageFormat::kVhd},  // a fixed disk's footer
      {Padded("KDMV"), mbr, ImageFormat::kVmdk},
      {Padded("COWD"), mbr, ImageFormat::kVmdk},
      {Padded("# Disk DescriptorFile\nversion=1\n"), "", ImageFormat::kVmdk},
      {Padded("QFI\xFB"), mbr, ImageFormat::kQcow},
      {Padded("AFF10\r\n"), mbr, ImageFormat::kAff},
      {VdiHeader(), mbr, ImageFormat::kVdi},
      {mbr, Padded("koly"), ImageFormat::kDmg},
      // Near misses read as raw: a byte off, a signature out of place, a file too short.
      {mbr, mbr, ImageFormat::kRaw},
      {Padded(std::string("EVF\x09\x0D\x0A\xFF\x01", 8)), mbr, ImageFormat::kRaw},
      {Padded("QFI\xFA"), mbr, ImageFormat::kRaw},
      {Padded("AFF10\n"), mbr, ImageFormat::kRaw},
      {Padded("# Disk Descriptor"), mbr, ImageFormat::kRaw},
      {Padded(" conectix"), mbr, ImageFormat::kRaw},
      {mbr, Padded(" koly"), ImageFormat::kRaw},
      {"koly", "koly", ImageFormat::kRaw},  // a 4-byte file holds no 512-byte trailer
      {Padded("\x7F\x10\xDA\xBE", 64), Padded("\x7F\x10\xDA\xBE", 64), ImageFormat::kRaw},
      {"", "", ImageFormat::kRaw},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Detect(c.head, c.tail), c.expected) << c.head.substr(0, 24);
  }
}

TEST(ImageFormatTest, LibraryMessagesBecomeOneShortLine) {
  const struct {
    std::string text, expected;
  } cases[] = {
      {"libqcow_cluster_table_read: unable to read cluster table at offset: 196608 (0x00030000).\n"
       "libqcow_file_open: unable to open file: x.qcow2.",
       "unable to read cluster table at offset: 196608 (0x00030000)"},
      {"no function name here.", "no function name here"},
      {"libewf_glob: a\x1b[2Jb\tc\xC3\xA9...", "a.[2Jb.c.."},
      {"", "the library refused it"},
      {"lib_x: " + std::string(60, 'a') + " " + std::string(80, 'b'), std::string(60, 'a')},
  };
  for (const auto& c : cases) EXPECT_EQ(ShortLibraryMessage(c.text), c.expected);
}

HANDLE Open(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

TEST(UnreadableImageTest, OpenFailsWithError50AndSaysWhy) {
  TemporaryFolder folder;
  const std::string disk = Padded(std::string(510, '\0') + "\x55\xAA", 1 << 16);
  const struct {
    std::string name, head;
    bool atEnd;
    std::string format, reason;
    size_t size = 1 << 16;
  } cases[] = {
      {"aff", "AFF10\r\n", false, "AFF", "this format is not supported"},
      {"vdi", VdiHeader(), false, "VDI", "this format is not supported"},
      {"dmg", Padded("koly"), true, "DMG", "this format is not supported"},
      // A trailer that the first 8 KiB, read first, hold only part of.
      {"dmg-8k", Padded("koly"), true, "DMG", "this format is not supported", 8192 + 100},
      {"l01", std::string("LVF\x09\x0D\x0A\xFF\x00", 8), false, "L01",
       "it holds files, not a disk"},
      {"ex01", std::string("EVF2\x0D\x0A\x81\x00", 8), false, "Ex01",
       "this format is not supported"},
      // A lone EWF header with nothing after it: libewf refuses it, in its own words.
      {"e01", std::string("EVF\x09\x0D\x0A\xFF\x00\x01\x01\x00", 11), false, "E01", ""},
      {"qcow", std::string("QFI\xFB\x00\x00\x00\x02", 8), false, "QCOW", ""},
  };
  std::string format, reason;
  for (const auto& c : cases) {
    const std::string path = folder.path() + "/" + c.name;
    std::string bytes = Padded(disk.substr(0, 512), c.size);
    bytes.replace(c.atEnd ? bytes.size() - 512 : 0, c.head.size(), c.head);
    ASSERT_TRUE(TestSupport::WriteAt(path, 0, bytes, true));
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << c.name;
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED) << c.name;
    ASSERT_TRUE(LastOpenWasUnreadableImage(format, reason)) << c.name;
    EXPECT_EQ(format, c.format);
    if (kRawImagesOnly) {
      EXPECT_EQ(reason, kRawImagesOnlyReason);
    } else {
      EXPECT_TRUE(c.reason.empty() || reason == c.reason) << reason;
    }
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find_first_of("\r\n"), std::string::npos);
    EXPECT_NE(reason.back(), '.');
  }
  // Any other outcome clears it: a missing file, then a raw image that opens.
  EXPECT_EQ(Open(folder.path() + "/missing"), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(LastOpenWasUnreadableImage(format, reason));
  Open(folder.path() + "/aff");
  ASSERT_TRUE(TestSupport::WriteAt(folder.path() + "/raw", 0, disk, true));
  HANDLE raw = Open(folder.path() + "/raw");
  ASSERT_NE(raw, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(LastOpenWasUnreadableImage(format, reason));
  CloseHandle(raw);
}

#ifndef TVX_RAW_IMAGES_ONLY
TEST(ImageLibraryTest, EachFormatGetsItsLibraryWithEveryCallOnce) {
  const struct {
    ImageFormat format;
    bool segments, sectorSize, parentName;
  } cases[] = {
      {ImageFormat::kEwf, true, true, false},   {ImageFormat::kVhd, false, true, false},
      {ImageFormat::kVhdx, false, true, false}, {ImageFormat::kVmdk, false, false, true},
      {ImageFormat::kQcow, false, false, true},
  };
  std::string reason;
  for (const auto& c : cases) {
    SCOPED_TRACE(ImageFormatName(c.format));
    const ImageLibrary* library = LoadImageLibrary(c.format, reason);
    ASSERT_NE(library, nullptr) << reason;
    EXPECT_EQ(LoadImageLibrary(c.format, reason), library);  // loaded once
    for (const void* call : {reinterpret_cast<const void*>(library->getAccessFlagsRead),
                             reinterpret_cast<const void*>(library->errorBacktraceSprint),
                             reinterpret_cast<const void*>(library->errorFree),
                             reinterpret_cast<const void*>(library->initialize),
                             reinterpret_cast<const void*>(library->release),
                             reinterpret_cast<const void*>(library->close),
                             reinterpret_cast<const void*>(library->readAt),
                             reinterpret_cast<const void*>(library->getMediaSize)}) {
      EXPECT_NE(call, nullptr);
    }
    EXPECT_EQ(library->openSegments != nullptr, c.segments);
    EXPECT_EQ(library->open != nullptr, !c.segments);
    EXPECT_EQ(library->getBytesPerSector != nullptr, c.sectorSize);
    EXPECT_EQ(library->getParentNameSize != nullptr, c.parentName);
  }
  // VHD and VHDX share libvhdi; a format no library reads has none.
  EXPECT_EQ(LoadImageLibrary(ImageFormat::kVhd, reason),
            LoadImageLibrary(ImageFormat::kVhdx, reason));
  EXPECT_EQ(LoadImageLibrary(ImageFormat::kAff, reason), nullptr);
  EXPECT_EQ(reason, "this format is not supported");
}
#endif

// Reads `count` bytes at `offset` through a handle; returns them, or "<failed>".
std::string ReadAt(HANDLE handle, uint64_t offset, DWORD count) {
  LONG high = static_cast<LONG>(offset >> 32);
  SetFilePointer(handle, static_cast<LONG>(offset & 0xFFFFFFFFu), &high, FILE_BEGIN);
  std::string bytes(count, '\0');
  DWORD read = 0;
  if (!ReadFile(handle, bytes.data(), count, &read, nullptr)) return "<failed>";
  bytes.resize(read);
  return bytes;
}

TEST(ImageReadTest, ContainersReadAsTheRawDiskTheyHold) {
  if (std::system("qemu-img --version >/dev/null 2>&1") != 0) TVX_CANNOT_RUN("no qemu-img");
  TemporaryFolder folder;
  constexpr uint64_t kSize = 4 << 20;
  std::string raw(kSize, '\0');
  for (size_t i = 0; i < raw.size(); i += 4096) {
    const std::string label = "sector at " + std::to_string(i);
    raw.replace(i, label.size(), label);
  }
  const std::string rawPath = folder.path() + "/raw";
  ASSERT_TRUE(TestSupport::WriteAt(rawPath, 0, raw, true));
  for (const std::string kind : {"vpc", "vhdx", "vmdk", "qcow2"}) {
    SCOPED_TRACE(kind);
    const std::string path = folder.path() + "/disk." + kind;
    // VHD rounds the disk up to a whole geometry unless told to keep its exact size.
    const std::string options = kind == "vpc" ? " -o force_size=on" : "";
    ASSERT_EQ(
        std::system(("qemu-img convert -q -f raw -O " + kind + options + " " + rawPath + " " + path)
                        .c_str()),
        0);
    HANDLE handle = Open(path);
    if (kRawImagesOnly) {
      std::string format, reason;
      EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(LastOpenWasUnreadableImage(format, reason));
      EXPECT_EQ(reason, kRawImagesOnlyReason);
      continue;
    }
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ReadAt(handle, 0, 4096), raw.substr(0, 4096));
    EXPECT_EQ(ReadAt(handle, 12288 + 100, 600), raw.substr(12288 + 100, 600));
    EXPECT_EQ(ReadAt(handle, kSize - 100, 512), raw.substr(kSize - 100));  // fewer at the end
    EXPECT_EQ(ReadAt(handle, kSize, 512), "");                             // none past it
    EXPECT_EQ(ReadAt(handle, kSize + (1ull << 40), 512), "");
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(handle, 0, &high, FILE_END), kSize);  // the disk's end, not the file's
    EXPECT_EQ(high, 0);
    EXPECT_TRUE(CloseHandle(handle));
  }
}

}  // namespace
