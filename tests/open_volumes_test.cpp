// The rules over what the platform answered: whether an encrypted volume the physical pass names
// is open now (matched by drive and starting offset, the volume's first sector telling the
// decrypted view from the product's header), and which partitions of this run's drives a volume
// that lives on no single device lies on.
#include "run/open_volumes.h"

#include <gtest/gtest.h>

#include "platform/volume_names.h"

#include <string>
#include <vector>

namespace {

using Module1::AddOpenNowNotes;
using Module1::FindOpenView;
using Module1::PlacesOfExtents;

constexpr uint64_t kMiB = 1 << 20;

// A 512-byte sector with `bytes` at `offset`.
std::string Sector(size_t offset = 0, const std::string& bytes = "") {
  std::string sector(512, '\0');
  sector.replace(offset, bytes.size(), bytes);
  return sector;
}

const std::string kNtfs = Sector(3, "NTFS    ");
const std::string kBitLocker = Sector(3, "-FVE-FS-");
const std::string kLuks = Sector(0, std::string("LUKS\xba\xbe", 6));

SystemVolume Volume(const std::string& name, std::vector<DiskExtent> extents, bool read,
                    const std::string& sector, std::vector<std::string> paths = {}) {
  SystemVolume volume;
  volume.name = name;
  volume.extents = extents;
  volume.firstSectorRead = read;
  volume.firstSector = read ? sector : "";
  volume.paths = paths;
  return volume;
}

std::vector<SystemVolume> SampleVolumes() {
  SystemVolume mapper =
      Volume("/dev/mapper/home", {{1, 8 * kMiB, kMiB}}, false, "", {"/dev/mapper/home", "/home"});
  mapper.decrypts = true;
  return {
      Volume("\\\\?\\Volume{c}\\", {{0, kMiB, kMiB}}, true, kNtfs, {"C:\\", "D:\\mnt\\data\\"}),
      Volume("\\\\?\\Volume{locked}\\", {{0, 2 * kMiB, kMiB}}, true, kBitLocker),
      Volume("\\\\?\\Volume{unreadable}\\", {{0, 3 * kMiB, kMiB}}, false, ""),
      Volume("\\\\?\\Volume{luks}\\", {{1, 4 * kMiB, kMiB}}, true, kLuks),
      Volume("\\\\?\\Volume{spanned}\\", {{2, 5 * kMiB, kMiB}, {0, 6 * kMiB, kMiB}}, true, kNtfs),
      Volume("\\\\?\\Volume{noletter}\\", {{0, 7 * kMiB, kMiB}}, true, Sector()),
      Volume("\\\\?\\Volume{cdrom}\\", {}, true, kNtfs),
      mapper,
  };
}

std::string Describe(const Module1::OpenView& view) {
  if (!view.open) return "not open";
  std::string text = "open";
  for (const std::string& path : view.paths) text += " " + path;
  return text;
}

TEST(OpenVolumes, OpenNowByDriveAndStartingOffset) {
  const std::vector<SystemVolume> volumes = SampleVolumes();
  const struct {
    int32_t drive;
    uint64_t offset;
    const char* kind;
    const char* answer;
  } cases[] = {
      {0, kMiB, "bitlocker", "open C:\\ D:\\mnt\\data\\"},    // the decrypted view
      {0, kMiB + 512, "bitlocker", "not open"},               // the offset must be exact
      {1, kMiB, "bitlocker", "not open"},                     // and the drive the same
      {0, 2 * kMiB, "bitlocker", "not open"},                 // still its header: locked
      {0, 2 * kMiB, "luks", "open \\\\?\\Volume{locked}\\"},  // the header is the product's own
      {0, 3 * kMiB, "bitlocker", "not open"},                 // a failed read proves nothing
      {1, 4 * kMiB, "luks", "not open"},
      {2, 5 * kMiB, "bitlocker", "open \\\\?\\Volume{spanned}\\"},
      {0, 6 * kMiB, "bitlocker", "not open"},  // only where the volume begins
      {0, 7 * kMiB, "bitlocker", "open \\\\?\\Volume{noletter}\\"},
      {1, 8 * kMiB, "luks", "open /dev/mapper/home /home"},  // a crypt mapping decrypts
      {5, 0, "luks", "not open"},
      // Of other kinds only a volume known to decrypt is open: a volume of the system that merely
      // begins there may hold the encrypted bytes themselves.
      {1, 8 * kMiB, "possibly-encrypted", "open /dev/mapper/home /home"},
      {0, kMiB, "possibly-encrypted", "not open"},
      {0, 7 * kMiB, "veracrypt-boot-loader", "not open"},
      {1, 4 * kMiB, "luks-damaged", "not open"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Describe(FindOpenView(volumes, c.drive, c.offset, c.kind)), c.answer)
        << c.drive << " " << c.offset << " " << c.kind;
  }
  EXPECT_EQ(Describe(FindOpenView({}, 0, kMiB, "bitlocker")), "not open");
}

TEST(OpenVolumes, NotesComeFirstAndOnlyForVolumesTheSystemOpens) {
  Report report;
  DriveRecord drive;
  drive.number = 0;
  drive.sectorSize = 512;
  for (int32_t p = 1; p <= 3; ++p) {
    PartitionRecord partition;
    partition.number = p;
    partition.firstSector = 2048u * p;
    drive.partitions.push_back(partition);
  }
  DriveRecord big;  // 4 KiB sectors: partition 1 begins at 1 MiB
  big.number = 1;
  big.sectorSize = 4096;
  big.partitions = {drive.partitions[0]};
  big.partitions[0].firstSector = 256;
  Finding earlier{"bitlocker", 0, 1, 0, "PhysicalDrive0, Partition 1 is a Bitlocker ..."};
  earlier.notes = {"  - it can be unlocked with a recovery key."};
  AddFinding(report, earlier);
  AddFinding(report, {"luks", 0, 2, 0, "PhysicalDrive0, Partition 2 is a LUKS ..."});
  AddFinding(report, {"possibly-encrypted", 0, 3, 0, "PhysicalDrive0, Partition 3 might ..."});
  AddFinding(report, {"luks", 0, -1, 0, "PhysicalDrive0 contains a LUKS ..."});
  AddFinding(report, {"bitlocker", 1, 1, 0, "PhysicalDrive1, Partition 1 is a Bitlocker ..."});
  std::vector<SystemVolume> volumes = {
      Volume("\\\\?\\Volume{a}\\", {{0, kMiB, kMiB}}, true, kNtfs, {"E:\\"}),
      Volume("\\\\?\\Volume{b}\\", {{1, kMiB, kMiB}}, true, kNtfs, {"F:\\", "G:\\"}),
      Volume("\\\\?\\Volume{c}\\", {{0, 3 * kMiB, kMiB}}, true, kNtfs, {"H:\\"}),
  };
  AddOpenNowNotes(drive, volumes, report);

  const std::vector<Finding>& f = report.findings;
  EXPECT_EQ(f[0].notes,
            (std::vector<std::string>{"  - it is open now: its contents can be read through E:\\.",
                                      "  - it can be unlocked with a recovery key."}));
  EXPECT_EQ(f[0].open, true);
  EXPECT_EQ(f[0].readableThrough, std::vector<std::string>{"E:\\"});
  EXPECT_EQ(f[1].notes, std::vector<std::string>{"  - it is not open now."});
  EXPECT_EQ(f[1].open, false);
  EXPECT_TRUE(f[1].readableThrough.empty());
  EXPECT_TRUE(f[2].notes.empty());  // not a volume the system opens, nor seen open
  EXPECT_FALSE(f[2].open.has_value());
  EXPECT_TRUE(f[2].readableThrough.empty());
  EXPECT_EQ(f[3].notes, std::vector<std::string>{"  - it is not open now."});  // the whole drive
  EXPECT_FALSE(f[4].open.has_value());  // another drive's finding waits for its own turn

  AddOpenNowNotes(big, volumes, report);
  EXPECT_EQ(f[4].notes, std::vector<std::string>{
                            "  - it is open now: its contents can be read through F:\\, G:\\."});

  // Opened by VeraCrypt's driver from partition 3: now it says so, and nothing before.
  SystemVolume mounted =
      Volume("\\Device\\Harddisk0\\Partition3", {{0, 3 * kMiB, kMiB}}, false, "", {"V:\\"});
  mounted.decrypts = true;
  volumes.push_back(mounted);
  Report again;
  AddFinding(again, {"possibly-encrypted", 0, 3, 0, "PhysicalDrive0, Partition 3 might ..."});
  AddFinding(again, {"fscrypt", 0, 1, 0, "PhysicalDrive0, Partition 1 may hold ..."});
  AddOpenNowNotes(drive, volumes, again);
  EXPECT_EQ(again.findings[0].notes,
            std::vector<std::string>{"  - it is open now: its contents can be read through V:\\."});
  EXPECT_EQ(again.findings[0].open, true);
  EXPECT_EQ(again.findings[0].readableThrough, std::vector<std::string>{"V:\\"});
  EXPECT_TRUE(again.findings[1].notes.empty());  // E: is its file system, not a decrypted view
  EXPECT_FALSE(again.findings[1].open.has_value());
}

// The VeraCrypt and TrueCrypt drivers' answer to TC_IOCTL_GET_MOUNTED_VOLUMES: a field of letters
// and 26 paths of 260 UTF-16 units, then fields that differ between versions.
TEST(OpenVolumes, DriverMountListsByLetter) {
  const auto answer = [](uint32_t letters, std::vector<std::pair<int, std::u16string>> paths,
                         size_t size = kMountListSharedBytes + 3900) {
    std::string bytes(size, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(letters >> (8 * i));
    for (const auto& [slot, path] : paths) {
      for (size_t unit = 0; unit < path.size() && unit < 260; ++unit) {
        const size_t at = 4 + slot * 520 + 2 * unit;
        if (at + 1 >= bytes.size()) break;
        bytes[at] = static_cast<char>(path[unit] & 0xFF);
        bytes[at + 1] = static_cast<char>(path[unit] >> 8);
      }
    }
    return bytes;
  };
  const std::u16string partition = u"\\Device\\Harddisk1\\Partition2";
  const std::u16string file = u"\\??\\C:\\Users\\alice\\x.hc";
  const std::u16string full(300, u'a');  // no NUL within its 260 units
  const struct {
    const char* what;
    std::string answer;
    std::string mounts;
  } cases[] = {
      {"none mounted", answer(0, {{5, partition}}), ""},
      {"V: from a partition", answer(1u << 21, {{21, partition}}),
       "V:\\Device\\Harddisk1\\Partition2"},
      {"A: and Z:", answer(1u | 1u << 25, {{0, partition}, {25, file}}),
       "A:\\Device\\Harddisk1\\Partition2 Z:\\??\\C:\\Users\\alice\\x.hc"},
      {"bits past Z:", answer(0xFC000000u, {}), ""},
      {"a path that fills its room", answer(1u << 3, {{3, full}, {4, u"b"}}),
       "D:" + std::string(260, 'a')},
      {"past ASCII and control characters", answer(1u << 4, {{4, u"\\Device\\Ü\x01x"}}),
       "E:\\Device\\??x"},
      {"TrueCrypt's shorter answer", answer(1u << 7, {{7, partition}}, kMountListSharedBytes + 416),
       "H:\\Device\\Harddisk1\\Partition2"},
      {"cut short", answer(1u << 7, {{7, partition}}, kMountListSharedBytes - 1), ""},
  };
  for (const auto& c : cases) {
    std::string mounts;
    for (const DriverMount& mount : ParseDriverMountList(c.answer)) {
      mounts += (mounts.empty() ? "" : " ") + std::string(1, mount.letter) + ":" + mount.host;
    }
    EXPECT_EQ(mounts, c.mounts) << c.what;
  }
}

TEST(OpenVolumes, ExtentsLieOnPartitionsOfTheRun) {
  Report report;
  const auto add = [&report](int32_t number, DriveStatus status, uint32_t sectorSize,
                             std::vector<std::pair<int32_t, uint64_t>> partitions) {
    DriveRecord drive;
    drive.number = number;
    drive.status = status;
    drive.sectorSize = sectorSize;
    for (const auto& [partitionNumber, firstSector] : partitions) {
      PartitionRecord partition;
      partition.number = partitionNumber;
      partition.firstSector = firstSector;
      drive.partitions.push_back(partition);
    }
    report.drives.push_back(drive);
  };
  add(0, DriveStatus::Read, 512, {{1, 2048}, {2, 10240}, {4, 16384}, {5, 20480}});
  add(1, DriveStatus::Read, 4096, {{1, 256}});
  add(2, DriveStatus::OpenFailed, 0, {});
  add(3, DriveStatus::Read, 512, {});
  add(4, DriveStatus::Read, 512, {{1, uint64_t{1} << 62}, {2, 2048}});  // one past 64 bits

  const struct {
    std::vector<DiskExtent> extents;
    const char* places;
  } cases[] = {
      {{{0, kMiB, kMiB}}, "0:1"},
      {{{0, kMiB + 4096, kMiB}}, "0:1"},  // inside a partition, as on dynamic disks
      {{{0, 10240 * 512, kMiB}, {1, kMiB, kMiB}}, "0:2 1:1"},
      {{{1, kMiB, kMiB}, {0, 10240 * 512, kMiB}}, "1:1 0:2"},  // in the volume's order
      {{{0, 16384 * 512, kMiB}}, "0:4"},
      {{{0, 20480 * 512 + 100 * kMiB, kMiB}}, "0:5"},   // in the last logical partition
      {{{0, 512, kMiB}}, "0:0"},                        // before every partition
      {{{3, 0, kMiB}}, "3:0"},                          // a drive without partitions
      {{{0, kMiB, kMiB}, {0, 2 * kMiB, kMiB}}, "0:1"},  // two pieces of one partition
      {{{4, kMiB, kMiB}}, "4:2"},
      {{{0, kMiB, kMiB}, {2, 0, kMiB}}, ""},   // a drive of the run that was not read
      {{{0, kMiB, kMiB}, {-1, 0, kMiB}}, ""},  // a disk that is no drive of the run
      {{{7, 0, kMiB}}, ""},
      {{}, ""},
  };
  for (const auto& c : cases) {
    std::string places;
    for (const DrivePlace& place : PlacesOfExtents(c.extents, report)) {
      places += (places.empty() ? "" : " ") + std::to_string(place.drive) + ":" +
                std::to_string(place.partition);
    }
    EXPECT_EQ(places, c.places) << c.extents.size() << " extents, first on "
                                << (c.extents.empty() ? -9 : c.extents[0].drive);
  }
}

}  // namespace
