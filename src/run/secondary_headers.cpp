// Encrypted volumes known by metadata away from their first sector: GELI's in the last sector,
// and the secondary copy of a LUKS2 header whose primary copy was wiped or damaged.
#include <string>

#include "base/bytes.h"
#include "disk/layout.h"
#include "disk/volume_reader.h"
#include "run/detection_rules.h"

namespace Module1 {

namespace {

constexpr MarkTest kIs = MarkTest::kIs;

// The marks of a LUKS2 secondary header, in the bytes read at one of its offsets.
const SectorMark kLuks2SecondaryMarks[2] = {
    {LuksHeader::kMagic, kIs, Luks2SecondaryHeader::kMagic},
    {LuksHeader::kVersion, kIs, Luks2SecondaryHeader::kVersion}};

// True when the start of a volume's last sector holds GELI's metadata with a version it knows.
bool HoldsGeliMetadata(DiskIO::Volume& volume) {
  const uint64_t sectorSize = volume.drive->sectorSize;
  if (volume.size < sectorSize) return false;
  const uint64_t lastSector = (volume.size / sectorSize - 1) * sectorSize;
  const Field version = GeliMetadata::kVersion;
  const std::string head = DiskIO::ProbeBytes(volume, lastSector, version.offset + version.length);
  return FieldText(head, GeliMetadata::kMagic) == GeliMetadata::kMagicBytes &&
         head.size() == version.offset + version.length &&
         LittleEndianValue(head, version.offset, version.length) <= GeliMetadata::kMaxVersion;
}

// True when one of the places cryptsetup puts a LUKS2 secondary header holds one that says it
// lies there: a header copied elsewhere (inside a file, an image within the volume) is not the
// volume's own.
bool HoldsLuks2SecondaryHeader(DiskIO::Volume& volume) {
  const Field where = Luks2Header::kHeaderOffset;
  for (uint64_t offset : Luks2SecondaryHeader::kOffsets) {
    const std::string head = DiskIO::ProbeBytes(volume, offset, where.offset + where.length);
    if (MarkMatches(head, kLuks2SecondaryMarks[0]) && MarkMatches(head, kLuks2SecondaryMarks[1]) &&
        BigEndianValue(head, where.offset, where.length) == offset) {
      return true;
    }
  }
  return false;
}

}  // namespace

const SectorRule* SecondaryHeaderVerdict(DiskIO::Volume& volume) {
  if (HoldsGeliMetadata(volume)) return &kGeliVolume;
  if (HoldsLuks2SecondaryHeader(volume)) return &kDamagedLuksVolume;
  return nullptr;
}

}  // namespace Module1
