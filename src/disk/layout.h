// The on-disk layouts the scans look at: where each field lies, and the values that mark things.
#ifndef TVX_DISK_LAYOUT_H_
#define TVX_DISK_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "disk/sector.h"

/// A field of an on-disk structure: its first byte and its length in bytes.
struct Field {
  size_t offset;
  size_t length;
};

/// Returns the bytes of `field` in `sector` as text; the part that lies past the end of the
/// sector is left out, so a field never reads outside what was read.
std::string FieldText(const SectorText& sector, Field field);

/// Returns the byte at `offset` of `sector`, or 0 when the sector is shorter.
uint8_t ByteAt(const SectorText& sector, size_t offset);

/// Sector 0 of a physical drive: a master boot record, or a volume boot sector without one.
namespace MasterBootRecord {
constexpr Field kOemField{3, 8};         // OEM field, where the sector is a volume boot sector
constexpr Field kBootLoaderName{6, 21};  // TrueCrypt's and VeraCrypt's boot loaders name themselves
constexpr size_t kEntryCount = 4;
constexpr size_t kEntryTypeOffsets[kEntryCount] = {450, 466, 482, 498};  // one byte each
constexpr Field kEntryStartSectors[kEntryCount] = {{454, 4}, {470, 4}, {486, 4}, {502, 4}};
constexpr Field kEntrySectorCounts[kEntryCount] = {{458, 4}, {474, 4}, {490, 4}, {506, 4}};
constexpr uint8_t kGptProtectiveType = 0xEE;
/// Types of an entry that points to a chain of extended boot records: CHS, LBA, Linux.
constexpr uint8_t kExtendedTypes[] = {0x05, 0x0F, 0x85};
}  // namespace MasterBootRecord

/// An extended boot record: its first entry describes one logical partition, relative to the
/// record's own sector; its second points to the next record, relative to the first one.
namespace ExtendedBootRecord {
constexpr size_t kLogicalType = 450;
constexpr Field kLogicalStart{454, 4};
constexpr Field kLogicalSectorCount{458, 4};
constexpr size_t kNextType = 466;
constexpr Field kNextStart{470, 4};
constexpr int32_t kFirstLogicalNumber = 5;  // the numbers Linux and fdisk give logical partitions
constexpr int32_t kMaxLogicalPartitions = 128;
}  // namespace ExtendedBootRecord

/// The first sector of a partition: a volume boot sector.
namespace BootSector {
constexpr Field kOemId{3, 8};
constexpr size_t kFat16ExtendedSignature = 38;  // 0x29 when a FAT12/16 label follows
constexpr Field kFat16Label{43, 11};
constexpr size_t kFat32ExtendedSignature = 66;  // 0x29 when a FAT32 label follows
constexpr Field kFat32Label{71, 11};
constexpr Field kBitLockerToGoGuid{424, 16};
constexpr Field kBootSignature{510, 2};
constexpr uint8_t kExtendedBootSignature = 0x29;
}  // namespace BootSector

/// The GPT header, in sector 1, and the entries of its partition array.
namespace GptHeader {
constexpr Field kSignature{0, 8};
constexpr Field kHeaderSize{12, 4};
constexpr Field kHeaderCrc{16, 4};
constexpr Field kOwnSector{24, 8};     // where this copy of the header lies
constexpr Field kBackupSector{32, 8};  // where the other copy lies
constexpr Field kLastUsableSector{48, 8};
constexpr Field kEntryArrayStart{72, 8};
constexpr Field kEntryCount{80, 4};
constexpr Field kEntrySize{84, 4};
constexpr Field kEntryArrayCrc{88, 4};
constexpr uint64_t kSector = 1;
constexpr uint32_t kMinHeaderSize = 92;
constexpr uint32_t kMaxHeaderSize = 512;
constexpr uint32_t kMinEntrySize = 128;
constexpr uint32_t kMaxEntrySize = 1024;
constexpr uint32_t kEntrySizeMultiple = 8;
constexpr uint64_t kMaxEntryArrayBytes = 4 * 1024 * 1024;
constexpr uint64_t kMinEntryArrayStart = 2;
}  // namespace GptHeader

namespace GptEntry {
constexpr Field kTypeGuid{0, 16};
constexpr Field kFirstSector{32, 8};
constexpr Field kLastSector{40, 8};  // inclusive
}  // namespace GptEntry

/// LUKS1 and LUKS2 headers begin with their magic and their version; every number in them is
/// big-endian.
namespace LuksHeader {
constexpr Field kMagic{0, 6};
constexpr Field kVersion{6, 2};
}  // namespace LuksHeader

/// The LUKS1 header: 592 bytes, ending in eight key slots of 48 bytes, each opening with its state.
namespace Luks1Header {
constexpr size_t kSize = 592;
constexpr size_t kFirstKeySlot = 208;
constexpr size_t kKeySlotSize = 48;
constexpr size_t kKeySlotCount = 8;
constexpr size_t kKeySlotStateLength = 4;
constexpr uint32_t kKeySlotActive = 0x00AC71F3;
constexpr uint32_t kKeySlotDisabled = 0x0000DEAD;
}  // namespace Luks1Header

/// The LUKS2 header: a 4096-byte binary header, then the JSON area (text, padded with zeros). Its
/// size counts both; its checksum covers both, taken with the checksum field zeroed.
namespace Luks2Header {
constexpr Field kHeaderSize{8, 8};
constexpr Field kChecksumAlgorithm{72, 32};  // a name padded with zeros: "sha256"
constexpr Field kHeaderOffset{256, 8};       // where this copy of the header lies, in bytes
constexpr Field kChecksum{448, 64};          // the digest, padded with zeros
constexpr size_t kJsonAreaStart = 4096;
constexpr uint64_t kMinHeaderSize = 16384;            // sizes are powers of two from 16 KiB ...
constexpr uint64_t kMaxHeaderSize = 4 * 1024 * 1024;  // ... to 4 MiB
}  // namespace Luks2Header

/// LUKS2 keeps a secondary copy of its binary header right after the primary header area, whose
/// size is a power of two from 16 KiB to 4 MiB; the copy's magic differs from the primary's.
namespace Luks2SecondaryHeader {
inline const std::string kMagic{"SKUL\xBA\xBE", 6};
inline const std::string kVersion{"\x00\x02", 2};  // big-endian 2
constexpr uint64_t kOffsets[] = {0x4000,  0x8000,   0x10000,  0x20000, 0x40000,
                                 0x80000, 0x100000, 0x200000, 0x400000};
}  // namespace Luks2SecondaryHeader

/// FreeBSD's GELI keeps its metadata at the start of the provider's last sector: the magic
/// "GEOM::ELI" padded with zeros to 16 bytes, then the metadata version, a little-endian
/// 32-bit number from 0 to 7.
namespace GeliMetadata {
constexpr Field kMagic{0, 16};
inline const std::string kMagicBytes{"GEOM::ELI\0\0\0\0\0\0\0", 16};
constexpr Field kVersion{16, 4};
constexpr uint32_t kMaxVersion = 7;
}  // namespace GeliMetadata

/// The first sector of a BitLocker volume names where its FVE metadata blocks lie, as byte
/// offsets from the volume's start; Windows Vista's names only the first, as a cluster number.
namespace BitLockerVolume {
constexpr Field kBootEntryPoint{0, 3};
constexpr std::string_view kVistaBootEntryPoint = "\xEB\x52\x90";
constexpr Field kBytesPerSector{11, 2};
constexpr Field kSectorsPerCluster{13, 1};
constexpr Field kVistaMetadataCluster{56, 8};
constexpr size_t kMetadataCopies = 3;
constexpr Field kMetadataOffsets[kMetadataCopies] = {{176, 8}, {184, 8}, {192, 8}};
constexpr Field kToGoMetadataOffsets[kMetadataCopies] = {{440, 8}, {448, 8}, {456, 8}};
}  // namespace BitLockerVolume

/// An FVE metadata block: a 64-byte block header, a 48-byte metadata header, then entries up to
/// the end of the metadata, whose size counts the metadata header.
namespace FveBlock {
constexpr Field kSignature{0, 8};
constexpr Field kVersion{10, 2};  // 1: Windows Vista; 2: Windows 7 and later
constexpr Field kCurrentState{12, 2};
constexpr Field kNextState{14, 2};
constexpr Field kMetadataSize{64, 4};
constexpr size_t kMetadataStart = 64;
constexpr size_t kEntriesStart = 112;
constexpr size_t kMaxSize = 65536;
/// Encryption states, current and next.
constexpr uint16_t kStateDecrypted = 1;
constexpr uint16_t kStateSwitching = 2;  // being encrypted or decrypted, toward the next state
constexpr uint16_t kStateEncrypted = 4;
constexpr uint16_t kStatePaused = 5;  // encryption or decryption stopped half-way
}  // namespace FveBlock

/// An entry of an FVE metadata block: an 8-byte header whose size counts the header; a volume
/// master key entry holds the protection that guards the key after 26 bytes of its own.
namespace FveEntry {
constexpr Field kSize{0, 2};
constexpr Field kType{2, 2};
constexpr size_t kHeaderSize = 8;
constexpr uint16_t kVolumeMasterKeyType = 0x0002;
constexpr Field kProtection{34, 2};
constexpr size_t kMinVolumeMasterKeySize = 36;
}  // namespace FveEntry

/// A mark that a file system's superblock carries: bytes at an offset from the volume's start,
/// or, for `fromEnd`, that many bytes before the end of its last whole 512-byte sector.
struct Magic {
  size_t offset;
  std::string_view bytes;
  bool fromEnd = false;
};

/// Sector 0 under whole-disk encryption products: where their boot loaders mark themselves.
/// A mark said to start anywhere from byte A to byte B is looked for in the field that runs
/// from A for B - A plus the mark's length, so that it may start at B itself.
namespace ProductMarks {
/// DiskCryptor's boot loader opens "\x33\xC0" then the little-endian word 0x10EB9090 (two NOPs
/// and a short jump); its older loader has 0x20B60251 there.
constexpr Field kDiskCryptorLoaderWord{2, 4};
constexpr std::string_view kDiskCryptorLoader{"\x90\x90\xEB\x10", 4};
constexpr std::string_view kDiskCryptorOldLoader{"\x51\x02\xB6\x20", 4};
constexpr std::string_view kSafeBoot = "SafeBoot";  // McAfee (Trellix) Drive Encryption
constexpr std::string_view kSafeboot = "Safeboot";
constexpr Field kSafeBootField{0, 32 + 8};          // starting within 0 to 32
constexpr std::string_view kSafeGuardM = "SGM400";  // Sophos SafeGuard
constexpr std::string_view kSafeGuardE = "SGE400";
constexpr Field kSafeGuardField{110, 40 + 6};  // starting within 110 to 150
constexpr std::string_view kGuardianEdge = "PCGM";
constexpr Field kGuardianEdgeField{0, 32 + 4};   // starting within 0 to 32
constexpr std::string_view kSecureDoc = "WMSD";  // WinMagic SecureDoc
constexpr Field kSecureDocField{236, 20 + 4};    // starting within 236 to 256
}  // namespace ProductMarks

/// Sector numbers from here on cannot be held exactly in the reader's double.
constexpr uint64_t kFirstInexactSector = uint64_t{1} << 53;

/// Marks that the scans look for, as the bytes they are on disk.
namespace Signature {
inline const std::string kTrueCryptBootLoader = "TrueCrypt Boot Loader";
inline const std::string kVeraCryptBootLoader = "VeraCrypt Boot Loader";
inline const std::string kVeraCrypt = "VeraCrypt";
inline const std::string kLuks{"LUKS\xBA\xBE", 6};
inline const std::string kPgpGuard = "PGPGUARD";
inline const std::string kPgp = "PGP";
inline const std::string kTrueCrypt = "TrueCrypt";
inline const std::string kNtfsOemPrefix = "NTFS";
inline const std::string kBitLockerOemId = "-FVE-FS-";
inline const std::string kBitLockerToGoOemId = "MSWIN4.1";
/// The BitLocker identifier 4967D63B-2E29-4AD8-8399-F6A339E3D001, in its on-disk byte order.
inline const std::string kBitLockerGuid{
    "\x3B\xD6\x67\x49\x29\x2E\xD8\x4A\x83\x99\xF6\xA3\x39\xE3\xD0\x01", 16};
/// The GPT header's signature.
inline const std::string kGptHeader(kGptHeaderSignature);
/// Microsoft Reserved, E3C9E316-0B5C-4DB8-817D-F92DF00215AE, which never holds a file system.
inline const std::string kMicrosoftReservedGuid{
    "\x16\xE3\xC9\xE3\x5C\x0B\xB8\x4D\x81\x7D\xF9\x2D\xF0\x02\x15\xAE", 16};
/// BIOS boot, 21686148-6449-6E6F-744E-656564454649, which holds boot code, never a file system.
inline const std::string kBiosBootGuid = "Hah!IdontNeedEFI";
/// The boot signature that closes a boot sector.
inline const std::string kBootSignature = "\x55\xAA";
/// The messages GRUB's core image carries in its first sector (diskboot.img), which fills the
/// BIOS boot partition of a GPT disk booted by GRUB from a BIOS: an ordinary sector there.
inline const std::string kGrubCoreImage{"loading\0.\0\r\n\0Geom\0Read\0 Error", 29};
}  // namespace Signature

#endif  // TVX_DISK_LAYOUT_H_
