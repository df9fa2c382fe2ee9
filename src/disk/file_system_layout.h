// Where file systems, volume managers and RAID members keep the marks that name them: offsets
// from the volume's start (or, `fromEnd`, before its end) and the bytes found there, as the
// formats' own descriptions give them. Multi-byte numbers are written in their on-disk order.
#ifndef TVX_DISK_FILE_SYSTEM_LAYOUT_H_
#define TVX_DISK_FILE_SYSTEM_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "disk/layout.h"

namespace Superblock {
using namespace std::string_view_literals;

constexpr size_t kFirstReadBytes = 8192;  // read first, in one read: most marks lie there
constexpr size_t kKiB = 1024;

// ext2/3/4 and their external journal: the superblock at 1024.
constexpr Magic kExt{1080, "\x53\xEF"};
constexpr size_t kExtLogBlockSize = 1048;    // block size is 1024 << this; at most 64 KiB
constexpr size_t kExtRevision = 1100;        // 0 or 1
constexpr size_t kExtCompatFeatures = 1116;  // 32-bit words
constexpr uint32_t kExtHasJournal = 0x4;
constexpr size_t kExtIncompatFeatures = 1120;
constexpr uint32_t kExtExtents = 0x40;
constexpr uint32_t kExtJournalDevice = 0x8;  // an external journal, not a file system
constexpr uint32_t kExtEncrypt = 0x10000;    // fscrypt: folders may be encrypted

// F2FS: the superblock at 1024; its feature word 2180 bytes into it, little-endian.
constexpr size_t kF2fsFeatures = 1024 + 2180;
constexpr uint32_t kF2fsEncrypt = 0x1;  // fscrypt: folders may be encrypted

constexpr Magic kXfs{0, "XFSB"};
// An external XFS log: a log record header (big-endian) in its first sector.
constexpr Magic kXfsLog{0, "\xFE\xED\xBA\xBE"};
constexpr size_t kXfsLogVersion = 8;   // 1 or 2
constexpr size_t kXfsLogLength = 12;   // the record's length: 1 to 2^31 - 1
constexpr size_t kXfsLogFormat = 300;  // 1: written by Linux

constexpr Magic kLvmLabel{512, "LABELONE"};
constexpr Magic kLvmType{536, "LVM2 001"};
constexpr Magic kF2fs{1024, "\x10\x20\xF5\xF2"};  // 0xF2F52010, little-endian
constexpr Magic kBtrfs{65600, "_BHRfS_M"};

// HFS+ and HFSX: the volume header at 1024, with its version and block size (big-endian).
constexpr Magic kHfsPlus{1024, "H+"};
constexpr Magic kHfsx{1024, "HX"};
constexpr size_t kHfsPlusVersion = 1026;    // 4 for H+, 5 for HX
constexpr size_t kHfsPlusBlockSize = 1064;  // a power of two from 512
// HFS: the master directory block at 1024; an HFS+ volume may sit inside an HFS wrapper.
constexpr Magic kHfs{1024, "BD"};
constexpr Magic kHfsEmbeddedPlus{1024 + 124, "H+"};
constexpr size_t kHfsBitmapStart = 1024 + 14;  // always 3
constexpr size_t kHfsBlockCount = 1024 + 18;
constexpr size_t kHfsBlockSize = 1024 + 20;  // a non-zero multiple of 512
constexpr size_t kHfsFreeBlocks = 1024 + 34;
constexpr size_t kHfsNameLength = 1024 + 36;  // 1 to 27

// Linux md: version 1.1 at 0, 1.2 at 4 KiB, both little-endian; 1.0 8 KiB before the end
// (rounded down to 4 KiB) and 0.90 64 KiB before the end (rounded down to 64 KiB), 0.90 in the
// writer's byte order. The major version follows the magic.
constexpr Magic kRaid{0, "\xFC\x4E\x2B\xA9"};         // 0xA92B4EFC, little-endian: md 1.1
constexpr Magic kRaidAt4K{4096, "\xFC\x4E\x2B\xA9"};  // md 1.2
constexpr std::string_view kRaidMagic = "\xFC\x4E\x2B\xA9";
constexpr std::string_view kRaidMagicBigEndian = "\xA9\x2B\x4E\xFC";

// Firmware RAID members: metadata in the last sectors of the disk.
constexpr Magic kIntelRaid{1024, "Intel Raid ISM Cfg Sig. ", true};
constexpr Magic kLsiRaid{512, "$XIDE$", true};
constexpr Magic kNvidiaRaid{1024, "NVIDIA", true};
constexpr Magic kAdaptecRaid{512, "\x37\xFC\x4D\x1E", true};  // 0x37FC4D1E, big-endian
constexpr Magic kAdaptecRaidSignature{512 - 256, "DPTM", true};
constexpr Magic kHighPoint37x{4608 + 32, "\xF0\x16\x78\x5A"};
constexpr Magic kHighPoint37xBad{4608 + 32, "\xFD\x16\x78\x5A"};
constexpr Magic kHighPoint45x{11 * 512, "\xF3\x16\x78\x5A", true};
constexpr Magic kHighPoint45xBad{11 * 512, "\xFD\x16\x78\x5A", true};
constexpr std::string_view kDdfMagic = "\xDE\x11\xDE\x11";  // either byte order reads the same
constexpr std::string_view kDdfMagicSwapped = "\x11\xDE\x11\xDE";
constexpr uint64_t kDdfAnchorsBack[] = {512, 257 * 512};
constexpr std::string_view kPromiseRaid = "Promise Technology, Inc.";
constexpr uint64_t kPromiseSectorsBack[] = {63,  255, 256, 16,  399, 591, 675,
                                            735, 911, 974, 991, 951, 3087};
constexpr size_t kSiliconRaidMagic = 0x60;      // 0x2F000000, little-endian, in the last sector
constexpr size_t kSiliconRaidDisk = 0x116;      // below 8
constexpr size_t kSiliconRaidChecksum = 0x13E;  // makes the 16-bit words before it sum to 0
constexpr size_t kViaRaidVersion = 2;           // at most 2; "\x55\xAA" opens the last sector
constexpr size_t kViaRaidChecksum = 50;         // the byte sum of the 50 bytes before it
constexpr size_t kJmicronRaidBytes = 128;       // "JM", then 16-bit words summing to 0 or 1
constexpr size_t kJmicronRaidMode = 0x30;       // at most 5

// DRBD metadata: a block 4 KiB before the end, its magic (big-endian) at byte 60.
constexpr Magic kDrbd08{4096 - 60, "\x83\x74\x02\x6B", true};
constexpr Magic kDrbd84Unclean{4096 - 60, "\x83\x74\x02\x6C", true};
constexpr Magic kDrbd09{4096 - 60, "\x83\x74\x02\x6D", true};
constexpr Magic kDrbdManage{0, "$DRBDmgr=q"};

constexpr Magic kVmfsVolume{1024 * kKiB, "\x0D\xD0\x01\xC0"};
constexpr Magic kVmfs{2048 * kKiB, "\x5E\xF1\xAB\x2F"};
constexpr Magic kBcache{4096 + 24,
                        "\xC6\x85\x73\xF6\x4E\x1A\x45\xCA\x82\x65\xF5\x7F\x48\xBA\x6D\x81"};
constexpr Magic kBcachefs{4096 + 24,
                          "\xC6\x85\x73\xF6\x66\xCE\x90\xA9\xD9\x6A\x60\xCF\x80\x3D\xF7\xEF"};
constexpr Magic kVdo{0, "dmvdo001"};
constexpr Magic kBluestore{0, "bluestore block device"};
constexpr Magic kUbi{0, "UBI#\x01"};            // the erase counter header, version 1
constexpr Magic kUbifs{0, "\x31\x18\x10\x06"};  // 0x06101831, little-endian
constexpr Magic kUbifsSuperblockNode{20, "\x06"};
constexpr Magic kNss{4096, "SPB5"};
constexpr Magic kMpool{0, "mpoolDev"};
constexpr Magic kScoutfs{64 * kKiB + 4, "\x8B\x42\x3C\x10"};
constexpr Magic kStorageSpaces{0, "SPACEDB "};
constexpr Magic kStorageSpacesAt4K{4096, "SPACEDB "};

// Swap and hibernation images keep their mark 10 bytes before the end of their first page.
constexpr size_t kSwapPageSizes[] = {4096, 8192, 16384, 32768, 65536};
constexpr size_t kSwapMarkBack = 10;
constexpr std::string_view kSwapMarks[] = {"SWAPSPACE2", "SWAP-SPACE"};
constexpr std::string_view kHibernationMarks[] = {"S1SUSPEND", "S2SUSPEND", "ULSUSPEND",
                                                  "LINHIB0001"};
constexpr Magic kTuxOnIce{0, "\xED\xC3\x02\xE9\x98\x56\xE5\x0C"};

// Optical and read-only images.
constexpr size_t kVolumeDescriptors = 32 * kKiB;  // ISO 9660 and UDF descriptors begin here
constexpr size_t kUdfDescriptorArea = 32 * kKiB;  // searched for UDF's sequence
constexpr Magic kIso9660{32 * kKiB + 1, "CD001"};
constexpr Magic kHighSierra{32 * kKiB + 9, "CDROM"};
constexpr std::string_view kUdfBegin = "BEA01";
constexpr std::string_view kUdfNsr[] = {"NSR02", "NSR03"};
constexpr Magic kSquashfs{0, "hsqs"};  // little-endian; its major version at 28
constexpr Magic kSquashfs4{28, "\x04\x00"sv};
constexpr Magic kSquashfs3{28, "\x03\x00"sv};
constexpr Magic kSquashfsBigEndian{0, "sqsh"};
constexpr Magic kSquashfs3BigEndian{28, "\x00\x03"sv};
constexpr Magic kCramfs{0, "\x45\x3D\xCD\x28"};
constexpr Magic kCramfsBigEndian{0, "\x28\xCD\x3D\x45"};
constexpr Magic kCramfsSignature{16, "Compressed ROMFS"};
constexpr Magic kErofs{1024, "\xE2\xE1\xF5\xE0"};
constexpr Magic kRomfs{0, "-rom1fs-"};

// Journalling and cluster file systems.
constexpr Magic kJfs{32 * kKiB, "JFS1"};
constexpr Magic kReiserfs{64 * kKiB + 52, "ReIsErFs"};
constexpr Magic kReiserfs2{64 * kKiB + 52, "ReIsEr2Fs"};
constexpr Magic kReiserfs3{64 * kKiB + 52, "ReIsEr3Fs"};
constexpr Magic kReiserfsOld{8 * kKiB + 52, "ReIsErFs"};
constexpr Magic kReiser4{64 * kKiB, "ReIsEr4"};
constexpr Magic kNilfs{1024 + 6, "\x34\x34"};
constexpr size_t kNilfsSuperblock = 1024;
constexpr Magic kOcfs2At1K{1024, "OCFSV2"};
constexpr Magic kOcfs2At2K{2048, "OCFSV2"};
constexpr Magic kOcfs2At4K{4096, "OCFSV2"};
constexpr Magic kOcfs2At8K{8192, "OCFSV2"};
constexpr Magic kGfs2{64 * kKiB, "\x01\x16\x19\x70"};
// The file-system format (1801, or 1802 since 2021) and the multi-host format (1900).
constexpr Magic kGfs2Formats{64 * kKiB + 24, "\x00\x00\x07\x09\x00\x00\x07\x6C"sv};
constexpr Magic kGfs2Formats1802{64 * kKiB + 24, "\x00\x00\x07\x0A\x00\x00\x07\x6C"sv};
constexpr Magic kZonefs{0, "SFOZ"};
constexpr Magic kVxfs{1024, "\xF5\xFC\x01\xA5"};
constexpr Magic kVxfsBigEndian{8192, "\xA5\x01\xFC\xF5"};
constexpr size_t kZfsUberblocks = 128 * kKiB;  // the uberblock array of the first label
constexpr size_t kZfsUberblockSize = 1024;
constexpr size_t kZfsUberblockCount = 128;
constexpr std::string_view kZfsUberblockMagic = "\x0C\xB1\xBA\x00\x00\x00\x00\x00"sv;
constexpr std::string_view kZfsUberblockMagicBigEndian = "\x00\x00\x00\x00\x00\xBA\xB1\x0C"sv;

// Other systems' file systems.
// Minix: the superblock at 1024; versions 1 and 2 keep a 16-bit magic at 16, version 3 at 24,
// all fields in the byte order of the machine that wrote them.
constexpr size_t kMinixSuperblock = 1024;
constexpr uint16_t kMinixMagics[] = {0x137F, 0x138F, 0x2468, 0x2478};  // v1, v1 long names, v2
constexpr uint16_t kMinix3Magic = 0x4D5A;
constexpr Magic kBfs{0, "\xCE\xFA\xAD\x1B"};  // 0x1BADFACE, little-endian
// BeFS: three magics in the superblock, at 0 or after a 512-byte boot block, either byte order.
constexpr size_t kBefsOffsets[] = {0, 512};
constexpr size_t kBefsMagicOffsets[] = {32, 68, 112};
constexpr uint32_t kBefsMagics[] = {0x42465331, 0xDD121031, 0x15B6830E};
constexpr Magic kHpfs{8192, "\x49\xE8\x95\xF9"};
constexpr Magic kHpfsSpare{8704, "\x49\x18\x91\xF9"};
constexpr size_t kUfsOffsets[] = {0, 8192, 65536, 262144};
constexpr size_t kUfsMagic = 1372;
constexpr uint32_t kUfsMagics[] = {0x00011954, 0x19540119, 0x00195612, 0x00095014, 0x05231994};

// Apple and Windows.
constexpr Magic kApfs{32, "NXSB"};
constexpr Magic kApfsObjectType{24, "\x01\x00\x00\x80"sv};  // a physical container superblock
constexpr Magic kExfat{3, "EXFAT   "};
constexpr Magic kNtfs{3, "NTFS    "};
constexpr Magic kRefs{3, "ReFS\0\0\0\0"sv};
constexpr Magic kRefsSignature{16, "FSRS"};
}  // namespace Superblock

#endif  // TVX_DISK_FILE_SYSTEM_LAYOUT_H_
