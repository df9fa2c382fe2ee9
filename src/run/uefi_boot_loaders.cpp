#include "run/uefi_boot_loaders.h"

#include <set>

#include "disk/fat_directory.h"

namespace Module1 {

namespace {

constexpr char kEfiFolder[] = "EFI";

// VeraCrypt's UEFI loader (DCS) under its own folder; DiskCryptor installs the same loader
// under \EFI\DCS.
const UefiLoaderRule kUefiLoaderRules[] = {
    {"veracrypt-uefi-boot-loader", "VeraCrypt", "DcsBoot.efi",
     " holds the VeraCrypt UEFI boot loader: a partition of it is encrypted by VeraCrypt."},
    {"diskcryptor-uefi-boot-loader", "DCS", "DcsBoot.efi",
     " holds the DiskCryptor UEFI boot loader: a partition of it is encrypted by DiskCryptor."},
};

// Returns the folder `name` of the directory `entries`, read into `folder`; false when there is
// none or it cannot be read whole.
bool ReadFolder(const ByteSource& read, const DiskIO::FatVolume& fat,
                const std::vector<DiskIO::FatEntry>& entries, const char* name,
                std::set<uint32_t>& visited, std::vector<DiskIO::FatEntry>& folder) {
  const DiskIO::FatEntry* entry = DiskIO::FindFatEntry(entries, name);
  return entry != nullptr && entry->folder && entry->cluster != 0 &&
         DiskIO::ReadFatDirectory(read, fat, entry->cluster, visited, folder);
}

}  // namespace

std::vector<const UefiLoaderRule*> MatchUefiBootLoaders(const ByteSource& read,
                                                        const SectorText& firstSector) {
  std::vector<const UefiLoaderRule*> found;
  DiskIO::FatVolume fat;
  if (!DiskIO::ParseFatBootSector(firstSector, fat)) return found;
  std::set<uint32_t> visited;
  std::vector<DiskIO::FatEntry> root, efi;
  if (!DiskIO::ReadFatDirectory(read, fat, 0, visited, root) ||
      !ReadFolder(read, fat, root, kEfiFolder, visited, efi)) {
    return found;
  }
  for (const UefiLoaderRule& rule : kUefiLoaderRules) {
    std::vector<DiskIO::FatEntry> folder;
    if (!ReadFolder(read, fat, efi, rule.folder, visited, folder)) continue;
    const DiskIO::FatEntry* file = DiskIO::FindFatEntry(folder, rule.file);
    if (file != nullptr && !file->folder) found.push_back(&rule);
  }
  return found;
}

}  // namespace Module1
