// Boot loaders that disk encryption installs on the EFI system partition of a UEFI machine,
// where sector 0 holds no loader of its own: found by name in the partition's FAT directories.
#ifndef TVX_RUN_UEFI_BOOT_LOADERS_H_
#define TVX_RUN_UEFI_BOOT_LOADERS_H_

#include <vector>

#include "disk/sector.h"

namespace Module1 {

/// A row of the UEFI loader table: the file \EFI\<folder>\<file> and the finding it makes about
/// the whole drive, whose `message` follows "PhysicalDrive" n.
struct UefiLoaderRule {
  const char* kind;
  const char* folder;
  const char* file;
  const char* message;
};

/// Returns the rows, in table order, whose loader the FAT12/16/32 volume read through `read`
/// holds; `firstSector` is its boot sector. Reads the root directory, \EFI and each row's folder,
/// each at most once and bounded as DiskIO::ReadFatDirectory bounds it. Returns none when the
/// boot sector is no FAT's, and makes no claim from a directory that is damaged.
std::vector<const UefiLoaderRule*> MatchUefiBootLoaders(const ByteSource& read,
                                                        const SectorText& firstSector);

}  // namespace Module1

#endif  // TVX_RUN_UEFI_BOOT_LOADERS_H_
