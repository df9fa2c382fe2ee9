#include "run/probe_chain.h"

#include <algorithm>

#include "base/bytes.h"
#include "disk/layout.h"
#include "run/apple_volumes.h"
#include "run/file_system_encryption.h"

namespace Module1 {

namespace {

constexpr uint8_t kInactive = 0x00;
constexpr uint8_t kActive = 0x80;
constexpr uint64_t kEmptyHeadBytes = 1024 * 1024;  // what an empty partition shows of itself

// What a step is asked about, and what the chain has made of it so far.
struct ProbeState {
  VolumeKind kind;
  DriveExam& exam;
  DiskIO::Volume& volume;
  const SectorText& first;
  VolumeVerdict verdict;
  bool zeroHead = false;  // a partition's first MiB (or all of it, when smaller) is all zeros
};

// A step of the chain: whether it decides what the volume is (ending the chain).
using Step = bool (*)(ProbeState& state);

// A row of the chain: the volume kinds it applies to, what it may read (0: only the first
// sector), and the step.
struct ProbeStep {
  uint8_t kinds;
  uint64_t budget;
  Step step;
};

constexpr uint8_t kDisk = static_cast<uint8_t>(VolumeKind::kDisk);
constexpr uint8_t kPartition = static_cast<uint8_t>(VolumeKind::kPartition);
constexpr uint8_t kBoth = kDisk | kPartition;

// True when every byte of `sector` is printable ASCII, a tab, a line feed or a carriage return.
bool IsPlainText(const SectorText& sector) {
  for (char c : sector) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte > 0x7E) && byte != '\t' && byte != '\n' && byte != '\r') {
      return false;
    }
  }
  return !sector.empty();
}

bool IsSigned(const SectorText& sector) {
  return FieldText(sector, BootSector::kBootSignature) == Signature::kBootSignature;
}

// The first row of the first sector's table that matches: the sector-0 table for a disk.
const SectorRule* FirstSectorRule(const ProbeState& state) {
  return state.kind == VolumeKind::kDisk ? MatchSectorZero(state.first)
                                         : MatchPartition(state.first);
}

bool MarkedFinding(ProbeState& state) {
  const SectorRule* rule = FirstSectorRule(state);
  if (rule == nullptr || rule->kind == nullptr) return false;
  state.verdict.finding = rule;
  return true;
}

bool CoreStorageHeader(ProbeState& state) {
  state.verdict.finding = CoreStorageVerdict(state.first, state.verdict.fileSystem);
  return state.verdict.finding != nullptr || !state.verdict.fileSystem.empty();
}

// Rows without a finding mark an ordinary boot sector; they stand after every row with one.
bool OrdinaryBootSector(ProbeState& state) {
  return FirstSectorRule(state) != nullptr;
}

bool TableInSectorZero(ProbeState& state) {
  state.verdict.partitions = HoldsPartitionTable(state.first);
  return state.verdict.partitions;
}

// A partition whose first sector is all zeros may be unformatted: its first MiB, read in one read
// (the later probes find it held), tells. Decides nothing here: a volume can begin after a zeroed
// head, so the probes still run.
bool ZeroHead(ProbeState& state) {
  if (!IsAllZero(state.first)) return false;
  DiskIO::Volume& volume = state.volume;
  const DiskIO::DriveSectors& drive = *volume.drive;
  uint64_t length = volume.size != 0 ? volume.size : UINT64_MAX;
  if (volume.size == 0 && drive.length != 0) {
    const uint64_t end = drive.length / drive.sectorSize;
    length = end > volume.firstSector ? (end - volume.firstSector) * drive.sectorSize : 0;
  }
  length = std::min<uint64_t>(length, kEmptyHeadBytes);
  const DiskIO::VolumeRead head = DiskIO::ReadVolume(volume, 0, static_cast<size_t>(length));
  state.zeroHead = head.outcome == DiskIO::ReadOutcome::kRead && IsAllZero(head.bytes);
  return false;
}

bool FileSystems(ProbeState& state) {
  const char* name = MatchFileSystem(state.volume);
  if (name == nullptr) return false;
  state.verdict.fileSystem = name;
  state.verdict.finding = ApfsVerdict(state.volume, state.verdict.fileSystem);
  if (state.verdict.finding == nullptr) {
    // What the named file system holds is read from its own metadata, as far as that goes.
    state.volume.budget = DiskIO::kMetadataBudget;
    state.verdict.finding = FileSystemEncryptionVerdict(state.volume, state.verdict.fileSystem);
  }
  return true;
}

bool SignedSectorZero(ProbeState& state) {
  state.verdict.partitions = IsSigned(state.first);
  return state.verdict.partitions;
}

bool GuidPartitionTable(ProbeState& state) {
  state.verdict.partitions = TheGpt(state.exam).usable;
  return state.verdict.partitions;
}

bool MetadataAtTheEnds(ProbeState& state) {
  state.verdict.finding = SecondaryHeaderVerdict(state.volume);
  return state.verdict.finding != nullptr;
}

bool BlankSectorZero(ProbeState& state) {
  state.verdict.partitions = IsAllZero(state.first);
  return state.verdict.partitions;
}

// A failed read of the volume, or of a disk's GPT, leaves the question open: the failure is
// said instead of a guess.
bool Unexplained(ProbeState& state) {
  const bool disk = state.kind == VolumeKind::kDisk;
  const bool gptUnread = state.exam.gpt && !state.exam.gpt->readErrors.empty();
  if (state.volume.failed || (disk && gptUnread)) return true;
  if (!disk && state.zeroHead) {
    state.verdict.empty = true;
  } else if (disk && IsPlainText(state.first)) {
    state.verdict.notADisk = true;
  } else {
    state.verdict.finding = disk ? &kUnpartitionedDisk : &kUnexplainedPartition;
  }
  return true;
}

// The chain, in the order the header describes.
const ProbeStep kProbeChain[] = {
    {kBoth, 0, MarkedFinding},
    {kBoth, 0, CoreStorageHeader},
    {kBoth, 0, OrdinaryBootSector},
    {kDisk, 0, TableInSectorZero},
    {kPartition, DiskIO::kProbeBudget, ZeroHead},
    {kBoth, DiskIO::kProbeBudget, FileSystems},
    {kDisk, 0, SignedSectorZero},
    {kDisk, 0, GuidPartitionTable},
    {kBoth, DiskIO::kProbeBudget, MetadataAtTheEnds},
    {kDisk, 0, BlankSectorZero},
    {kBoth, 0, Unexplained},
};

}  // namespace

const DiskIO::GptTable& TheGpt(DriveExam& exam) {
  if (!exam.gpt) {
    exam.gpt = DiskIO::ReadGpt(exam.sectors, !DiskIO::HasGptProtectiveEntry(exam.sector0));
    for (const TableReadError& failure : exam.gpt->readErrors) {
      exam.record.tableReadErrors.push_back(failure);
    }
  }
  return *exam.gpt;
}

bool HoldsPartitionTable(const SectorText& sector0) {
  if (!IsSigned(sector0)) return false;
  bool anyStart = false;
  for (size_t entry = 0; entry < MasterBootRecord::kEntryCount; ++entry) {
    const uint8_t indicator = ByteAt(sector0, MasterBootRecord::kEntryTypeOffsets[entry] - 4);
    if (indicator != kInactive && indicator != kActive) return false;
    const Field start = MasterBootRecord::kEntryStartSectors[entry];
    anyStart = anyStart || LittleEndianValue(sector0, start.offset, start.length) != 0;
  }
  return anyStart;
}

VolumeVerdict ProbeVolume(VolumeKind kind, DriveExam& exam, DiskIO::Volume& volume,
                          const SectorText& firstSector) {
  ProbeState state{kind, exam, volume, firstSector, {}};
  for (const ProbeStep& row : kProbeChain) {
    if ((row.kinds & static_cast<uint8_t>(kind)) == 0) continue;
    if (row.budget != 0) volume.budget = row.budget;
    if (row.step(state)) break;
  }
  return state.verdict;
}

}  // namespace Module1
