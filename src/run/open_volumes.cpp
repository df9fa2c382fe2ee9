#include "run/open_volumes.h"

#include <algorithm>

#include "run/detection_rules.h"

namespace Module1 {

namespace {

// The finding kinds whose volumes the system opens itself, and so can be open now.
constexpr const char* kOpenableKinds[] = {"bitlocker", "luks"};

// True when `sector` is the on-disk header of a `kind` volume: the volume still shows its
// encrypted form, not its contents.
bool IsHeaderOf(const std::string& sector, const std::string& kind) {
  const PartitionRule* rule = MatchPartition(sector);
  return rule != nullptr && rule->kind != nullptr && kind == rule->kind;
}

// Returns the byte offset where `partition` begins on `drive`; false when it lies beyond what
// 64 bits can count, where no volume can begin.
bool PartitionOffset(const DriveRecord& drive, const PartitionRecord& partition, uint64_t& offset) {
  return !__builtin_mul_overflow(partition.firstSector, uint64_t{drive.sectorSize}, &offset);
}

// Returns the byte offset where the volume of `finding` begins on `drive`: 0 for the whole
// drive; false when the finding names a partition the drive does not list.
bool FindingOffset(const Finding& finding, const DriveRecord& drive, uint64_t& offset) {
  if (finding.partition < 0) {
    offset = 0;
    return true;
  }
  for (const PartitionRecord& partition : drive.partitions) {
    if (partition.number == finding.partition) return PartitionOffset(drive, partition, offset);
  }
  return false;
}

std::string OpenNowNote(const OpenView& view) {
  if (!view.open) return "  - it is not open now.";
  std::string text = "  - it is open now: its contents can be read through ";
  for (size_t i = 0; i < view.paths.size(); ++i) text += (i > 0 ? ", " : "") + view.paths[i];
  return text + ".";
}

// Returns the drive of this run numbered `number` whose sector 0 was read, or nullptr.
const DriveRecord* ReadDrive(const Report& report, int32_t number) {
  for (const DriveRecord& drive : report.drives) {
    if (drive.number == number && drive.status == DriveStatus::Read) return &drive;
  }
  return nullptr;
}

// Returns the number of the partition of `drive` that begins at or last before byte `offset`,
// the first listed among equals, or 0 when none does.
int32_t PartitionAt(const DriveRecord& drive, uint64_t offset) {
  int32_t number = 0;
  uint64_t best = 0;
  for (const PartitionRecord& partition : drive.partitions) {
    uint64_t start = 0;
    if (PartitionOffset(drive, partition, start) && start <= offset &&
        (number == 0 || start > best)) {
      number = partition.number;
      best = start;
    }
  }
  return number;
}

}  // namespace

bool CanBeOpenNow(const std::string& kind) {
  return std::find(std::begin(kOpenableKinds), std::end(kOpenableKinds), kind) !=
         std::end(kOpenableKinds);
}

OpenView FindOpenView(const std::vector<SystemVolume>& volumes, int32_t drive, uint64_t offset,
                      const std::string& kind) {
  for (const SystemVolume& volume : volumes) {
    if (volume.extents.empty() || volume.extents[0].drive != drive ||
        volume.extents[0].offset != offset) {
      continue;
    }
    // A volume that merely begins there may be the encrypted bytes themselves: only the kinds
    // the system decrypts in place show their contents in a volume of their own.
    if (volume.decrypts ||
        (CanBeOpenNow(kind) && volume.firstSectorRead && !IsHeaderOf(volume.firstSector, kind))) {
      OpenView view{true, volume.paths};
      if (view.paths.empty()) view.paths.push_back(volume.name);
      return view;
    }
  }
  return {};
}

void AddOpenNowNotes(const DriveRecord& drive, const std::vector<SystemVolume>& volumes,
                     Report& report) {
  for (Finding& finding : report.findings) {
    uint64_t offset = 0;
    if (finding.drive != drive.number || !FindingOffset(finding, drive, offset)) continue;
    const OpenView view = FindOpenView(volumes, drive.number, offset, finding.kind);
    if (!view.open && !CanBeOpenNow(finding.kind)) continue;  // not known to be closed
    finding.open = view.open;
    finding.readableThrough = view.paths;
    // First, whatever other notes the finding has or gets: it is what a responder acts on.
    finding.notes.insert(finding.notes.begin(), OpenNowNote(view));
  }
}

std::vector<DrivePlace> PlacesOfExtents(const std::vector<DiskExtent>& extents,
                                        const Report& report) {
  std::vector<DrivePlace> places;
  for (const DiskExtent& extent : extents) {
    const DriveRecord* drive = ReadDrive(report, extent.drive);
    if (drive == nullptr) return {};
    const DrivePlace place{drive->number, PartitionAt(*drive, extent.offset)};
    if (std::none_of(places.begin(), places.end(), [&place](const DrivePlace& known) {
          return known.drive == place.drive && known.partition == place.partition;
        })) {
      places.push_back(place);
    }
  }
  return places;
}

}  // namespace Module1
