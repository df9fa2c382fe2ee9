#include "disk/bitlocker_metadata.h"

#include <utility>

#include "base/bytes.h"
#include "disk/layout.h"

namespace DiskIO {

namespace {

uint64_t Value(const std::string& bytes, Field field) {
  return LittleEndianValue(bytes, field.offset, field.length);
}

// The first block lies past the volume's first sector; one beyond 2^53 bytes cannot be read.
constexpr uint64_t kMaxOffset = uint64_t{1} << 53;

}  // namespace

std::vector<uint64_t> FveMetadataOffsets(const SectorText& bootSector) {
  using namespace BitLockerVolume;
  std::vector<uint64_t> offsets;
  const auto add = [&offsets](uint64_t offset) {
    if (offset > 0 && offset < kMaxOffset) offsets.push_back(offset);
  };
  if (FieldText(bootSector, BootSector::kOemId) == Signature::kBitLockerToGoOemId) {
    for (const Field& field : kToGoMetadataOffsets) add(Value(bootSector, field));
  } else if (FieldText(bootSector, kBootEntryPoint) == kVistaBootEntryPoint) {
    const uint64_t clusterSize =
        Value(bootSector, kBytesPerSector) * Value(bootSector, kSectorsPerCluster);
    const uint64_t cluster = Value(bootSector, kVistaMetadataCluster);
    if (clusterSize > 0 && cluster < kMaxOffset / clusterSize) add(cluster * clusterSize);
  } else {
    for (const Field& field : kMetadataOffsets) add(Value(bootSector, field));
  }
  return offsets;
}

size_t FveBlockSize(const std::string& head) {
  using namespace FveBlock;
  if (FieldText(head, kSignature) != Signature::kBitLockerOemId) return 0;
  const uint64_t version = Value(head, kVersion);
  if (version != 1 && version != 2) return 0;
  const uint64_t metadataSize = Value(head, kMetadataSize);
  if (metadataSize < kEntriesStart - kMetadataStart || metadataSize > kMaxSize - kMetadataStart) {
    return 0;
  }
  return static_cast<size_t>(kMetadataStart + metadataSize);
}

bool ParseFveBlock(const std::string& block, FveMetadata& metadata) {
  const size_t end = FveBlockSize(block);
  if (end == 0 || end > block.size()) return false;
  FveMetadata parsed;
  parsed.currentState = static_cast<uint16_t>(Value(block, FveBlock::kCurrentState));
  parsed.nextState = static_cast<uint16_t>(Value(block, FveBlock::kNextState));
  size_t offset = FveBlock::kEntriesStart;
  while (end - offset >= FveEntry::kHeaderSize) {
    const std::string header = block.substr(offset, FveEntry::kHeaderSize);
    const size_t size = static_cast<size_t>(Value(header, FveEntry::kSize));
    if (size == 0) break;  // the rest is padding
    if (size < FveEntry::kHeaderSize || size > end - offset) return false;
    if (Value(header, FveEntry::kType) == FveEntry::kVolumeMasterKeyType) {
      if (size < FveEntry::kMinVolumeMasterKeySize) return false;
      const Field protection = FveEntry::kProtection;
      parsed.protections.push_back(static_cast<uint16_t>(
          LittleEndianValue(block, offset + protection.offset, protection.length)));
    }
    offset += size;
  }
  metadata = std::move(parsed);
  return true;
}

bool ReadFveMetadata(const SectorText& bootSector, const ByteSource& read, FveMetadata& metadata) {
  for (uint64_t offset : FveMetadataOffsets(bootSector)) {
    const size_t size = FveBlockSize(read(offset, FveBlock::kEntriesStart));
    if (size == 0) continue;
    if (ParseFveBlock(read(offset, size), metadata)) return true;
  }
  return false;
}

}  // namespace DiskIO
