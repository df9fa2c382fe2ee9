"""Where a scan once saw nothing and still called the machine clean: logical partitions inside an
extended partition, GPTs of more than 1024 entries, drives past PhysicalDrive15, drives that
cannot be opened or read, a run that read no drive at all, and disks of 4096-byte sectors as
block devices and as image files. Each report is compared whole, byte for byte."""

import json
import os
import re
import shutil
import stat
import subprocess
import tempfile

from tvxtest import *

ZEROS = b"\0" * 8
FVE = b"-FVE-FS-"
MKFS = b"mkfs.fat"
NOBODY = 65534
LARGE = 4096  # the logical sector size of a 4Kn disk


def extended_disk(path):
    """sfdisk's dos label: a primary FAT16, an extended partition (type 0x0F) holding a FAT16, a
    BitLocker volume and an ext4 file system, then a third primary placed after it."""
    partitioned_image(path, 32 * MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "PRIMARY")),
        Part(10240, 40960, "f"),
        Part(51200, 8192, "6", fat_volume(16, "AFTER")),
        Part(12288, 8192, "6", fat_volume(16, "LOGICAL")),
        Part(22528, 8192, "7", bitlocker_volume()),
        Part(32768, 16384, "83", ext4_volume()),
    ])


def extended_disk_lines(n):
    """The four primary entries first (the extended one shows its EBR: no OEM ID, a boot
    signature), then the logical partitions as 5, 6, 7 in chain order."""
    return (label_lines(n, 1, MKFS, b"PRIMARY    ") + oem_line(n, 2, ZEROS) +
            label_lines(n, 3, MKFS, b"AFTER      ") +
            label_lines(n, 5, MKFS, b"LOGICAL    ") +
            oem_line(n, 6, FVE) + bitlocker(n, 6) +
            oem_line(n, 7, ZEROS) + file_system(n, 7, "ext4"))


def large_table_disk(path):
    """sgdisk --resize-table=2048: an entry array of 256 KiB, a FAT16 and a BitLocker volume."""
    sparse_file(path, 16 * MIB)
    tool("sgdisk", "--resize-table=2048", "-n", "1:2048:+4M", "-t", "1:0700",
         "-n", "2:10240:+4M", "-t", "2:0700", path)
    fat_volume(16, "LARGE TABLE")(path, 2048, 8192)
    bitlocker_volume()(path, 10240, 8192)


def large_table_primary_header_wrong(path):
    """The same disk with its primary header's CRC wrong: the backup's 2048 entries are read."""
    large_table_disk(path)
    crc = read_at(path, SECTOR + 16, 4)
    write_at(path, SECTOR + 16, bytes([crc[0] ^ 1]) + crc[1:])


def large_table_lines(n):
    return (label_lines(n, 1, MKFS, b"LARGE TABLE") + oem_line(n, 2, FVE) + bitlocker(n, 2))


class LogicalAndLargeTableTest(ScanFolderTest):
    def test_tool_made_disks(self):
        extended_disk(self.entry("PhysicalDrive0"))
        large_table_disk(self.entry("PhysicalDrive1"))
        large_table_primary_header_wrong(self.entry("PhysicalDrive2"))
        header = read_at(self.entry("PhysicalDrive1"), SECTOR, SECTOR)
        self.assertEqual(int.from_bytes(header[80:84], "little"), 2048, "sgdisk ignored the size")
        expected = extended_disk_lines(0) + large_table_lines(1) + large_table_lines(2)
        self.assertReport(self.scan(), report(expected, found=True))


class UnreadableRecordTest(DeviceFolderTest):
    def test_chain_ends_at_a_record_that_cannot_be_read(self):
        """A drive whose reads fail from 1 MiB on: the extended partition's first EBR (sector
        128) gives logical partition 5, and points to a second EBR at sector 2048, whose read
        fails. The failure is said before the partitions, and the chain ends there."""
        content = mbr((64, 128, 0, 0), (6, 5, 0, 0)).ljust(64 * SECTOR, b"\0")
        content += boot_sector(b"MSDOS5.0", fat16_label=b"PRIMARY").ljust(64 * SECTOR, b"\0")
        content += mbr((64, 1920, 0, 0), (7, 5, 0, 0)).ljust(64 * SECTOR, b"\0")
        content += boot_sector(b"MSDOS5.0", fat16_label=b"LOGICAL")
        try:
            with failing_files({"drive": (2 * MIB, MIB, bytes(content))}) as folder:
                os.symlink(os.path.join(folder, "drive"), self.entry("PhysicalDrive0"))
                result = run_tvx(["/batch"], devices=self.devices, timeout=30)
        except DeviceUnavailable as reason:
            self.skipTest(str(reason))
        expected = report(sector_read_error(23, "PhysicalDrive0, an extended boot record", 2048) +
                          label_lines(0, 1, b"MSDOS5.0", b"PRIMARY    ") +
                          oem_line(0, 2, ZEROS) + label_lines(0, 5, b"MSDOS5.0", b"LOGICAL    "),
                          incomplete=True)
        self.assertEqual(report_lines(result.stdout), report_lines(expected))
        self.assertEqual(result.stdout, expected)
        self.assertEqual((result.returncode, result.stderr), (2, b""))


class DriveNumbersTest(ScanFolderTest):
    def test_failures_said_aloud_and_every_listed_drive_read(self):
        """Drive 1 is a folder (opens with error 5), drive 2 is 511 bytes long (its read finds
        the end of the file, 38); drive 3 is a link through a file, whose path is not found
        (error 3), said aloud as a link to nowhere: its entry exists. Past drive 15 every drive
        the folder lists is read, gaps and all: 17 after the gap at 16, 20 after drive 19, the
        same link, and 300. Nothing was found, but drives 1, 2, 3 and 19 were not read: the run
        cannot call the machine clean."""
        numbered_disk(0)(self.entry("PhysicalDrive0"))
        os.mkdir(self.entry("PhysicalDrive1"))
        with open(self.entry("PhysicalDrive2"), "wb") as f:
            f.write(mbr((2048, 0, 0, 0), (6, 0, 0, 0))[:511])
        for n in (3, 19):
            self.link("PhysicalDrive%d" % n, os.path.join(self.entry("PhysicalDrive0"), "x"))
        for n in (17, 20, 300):
            numbered_disk(n)(self.entry("PhysicalDrive%d" % n))
        nowhere = os.path.join(self.entry("PhysicalDrive0"), "x")
        expected = (numbered_disk_lines(0) + open_error(5, 1) + read_error_drive0(38, 2) +
                    open_error(3, 3, link=nowhere) + numbered_disk_lines(17) +
                    open_error(3, 19, link=nowhere) + numbered_disk_lines(20) +
                    numbered_disk_lines(300))
        self.assertReport(self.scan(), report(expected, incomplete=True))
        self.assertEqual(self.last_status, 2)

    def test_drives_past_255(self):
        """Drives 0 to 256 all exist (0 to 253 with an empty partition table): 254, 255 and
        256 are read, and the run is complete."""
        for n in range(254):
            with open(self.entry("PhysicalDrive%d" % n), "wb") as f:
                f.write(mbr())
        for n in (254, 255, 256):
            numbered_disk(n)(self.entry("PhysicalDrive%d" % n))
        expected = numbered_disk_lines(254) + numbered_disk_lines(255) + numbered_disk_lines(256)
        self.assertReport(self.scan(), report(expected))
        self.assertEqual(self.last_status, 0)


class PartialFolderTest(ScanFolderTest):
    def test_one_drive_unread_is_no_all_clear(self):
        """A clean drive 0 and a drive 2 that cannot be opened (a folder: error 5): the yellow
        line instead of the all-clear, status 2, and in JSON `complete` false with the gap."""
        numbered_disk(0)(self.entry("PhysicalDrive0"))
        os.mkdir(self.entry("PhysicalDrive2"))
        expected = report(numbered_disk_lines(0) + open_error(5, 2), incomplete=True)
        self.assertReport(self.scan(), expected)
        self.assertEqual(self.last_status, 2)
        self.assertNotIn(NOTHING_FOUND, expected)

        result = run_tvx(["/json"], devices=self.devices)
        document = json.loads(result.stdout)
        self.assertEqual((result.returncode, document["exitStatus"], document["complete"]),
                         (2, 2, False))
        self.assertEqual(document["gaps"], [
            {"kind": "drive-open-failed", "drive": 2, "partition": None, "letter": None,
             "error": 5, "message": "Error opening PhysicalDrive2... Error: 5\n"
                                    "  - access is denied."}])


class EveryEntryAccountedForTest(ScanFolderTest):
    def test_evidence_beside_the_drives_is_never_passed_over(self):
        """A clean drive 0 beside what an examiner's folder may hold: a PhysicalDrive1 link
        whose image is not there (a gap, with where it leads), images under names that are no
        drive's, an unnamed image of 1 MiB, a block device, notes and a hash. Each image is
        said not examined, in name order, before the end of the pass, and the run is
        incomplete; notes, hashes, small files and folders are not evidence, and without the
        rest they leave the all-clear standing."""
        numbered_disk(0)(self.entry("PhysicalDrive0"))
        self.link("PhysicalDrive1", "/evidence/disk1.dd")
        evidence = ["PhysicalDrive1.dd", "physicaldrive1", "PhysicalDrive01", "PhysicalDrive 1",
                    "disk1.E01", "image.raw", "unnamed"]
        for name in evidence:
            numbered_disk(1)(self.entry(name))
        with open(self.entry("tiny.E01"), "wb") as f:  # the name alone makes it evidence
            f.write(b"EVF")
        evidence.append("tiny.E01")
        for name, size in (("notes.txt", 300), ("disk1.dd.sha256", 64), ("log", MIB - 1)):
            sparse_file(self.entry(name), size)
        os.mkdir(self.entry("PhysicalDrive2.d"))
        if not is_root():
            self.skipTest("needs root to make a block device node")
        os.mknod(self.entry("sdx"), 0o600 | stat.S_IFBLK, os.makedev(7, 250))
        evidence.append("sdx")
        expected = (numbered_disk_lines(0) + open_error(2, 1, link="/evidence/disk1.dd") +
                    b"".join(not_examined(name) for name in sorted(evidence)))
        self.assertReport(self.scan(), report(expected, incomplete=True))
        self.assertEqual(self.last_status, 2)

        document = json.loads(run_tvx(["/json"], devices=self.devices).stdout)
        self.assertEqual([(gap["kind"], gap["drive"]) for gap in document["gaps"]],
                         [("drive-open-failed", 1)] +
                         [("entry-not-examined", None)] * len(evidence))
        self.assertEqual(document["gaps"][0]["message"],
                         "Error opening PhysicalDrive1... Error: 2\n"
                         "  - it is a link to /evidence/disk1.dd, which does not exist.")
        self.assertEqual(document["gaps"][1]["message"], not_examined(
            sorted(evidence)[0]).strip().decode())

        for name in evidence + ["PhysicalDrive1"]:
            os.unlink(self.entry(name))
        self.assertReport(self.scan(), report(numbered_disk_lines(0)))
        self.assertEqual(self.last_status, 0)


class UnprivilegedTest(DeviceFolderTest):
    def test_nothing_readable_is_never_called_clean(self):
        """As `nobody` over images that only root may read: every open fails with error 5 (drive
        16 too, which does not end the pass: it exists), and the run says it cannot tell, with
        exit status 2, although drive 0 holds a BitLocker volume, and advises running as root:
        access was refused to a process that is not."""
        if not is_root():
            self.skipTest("needs root to run as another user")
        os.chmod(self.devices, 0o755)
        # In a folder of its own: a file of a few MiB beside the drives would be evidence.
        os.mkdir(self.entry("bin"), 0o755)
        tvx = os.path.join(self.entry("bin"), "tvx")
        shutil.copy2(TVX, tvx)
        os.chmod(tvx, 0o755)
        partitioned_image(self.entry("PhysicalDrive0"), 8 * MIB, "dos",
                          [Part(2048, 8192, "7", bitlocker_volume())])
        for n in (1, 16, 17):
            numbered_disk(n)(self.entry("PhysicalDrive%d" % n))
        for n in (0, 1, 16, 17):
            os.chmod(self.entry("PhysicalDrive%d" % n), 0o600)

        def as_nobody():
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)

        result = subprocess.run([tvx, "/batch"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=tvx_environment(self.devices),
                                preexec_fn=as_nobody, cwd="/", timeout=60)
        expected = report(b"".join(open_error(5, n) for n in (0, 1, 16, 17)),
                          unread=UNREAD_ADVICE)
        self.assertEqual(report_lines(result.stdout), report_lines(expected))
        self.assertEqual(result.stdout, expected)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 2)


# ---------------------------------------------------------------------------------------------
# 4Kn disks, made on loop devices of 4096-byte sectors

def attach_4kn(test, image, read_only=False):
    """Attaches `image` to a free loop device of 4096-byte logical sectors; detaches it when the
    test ends. Returns the device's path."""
    command = ["losetup", "--find", "--show", "--sector-size", str(LARGE)]
    command += ["--read-only"] if read_only else []
    device = tool(*command, image).decode().strip()
    test.addCleanup(subprocess.run, ["losetup", "--detach", device],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return device


def on_4kn_device(image, make):
    """Creates a 64 MiB image, runs make(device) on it as a 4Kn loop device, then detaches."""
    sparse_file(image, 64 * MIB)
    device = tool("losetup", "--find", "--show", "--sector-size", str(LARGE),
                  image).decode().strip()
    try:
        make(device)
    finally:
        subprocess.run(["losetup", "--detach", device], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def fat_4kn(device, start, sectors, label):
    """mkfs.fat with 4096-byte sectors at 4096-byte sector `start` of `device`."""
    tool("mkfs.fat", "-S", str(LARGE), "-s", "1", "-n", label, "--offset", str(start), device,
         str(sectors * LARGE // 1024))


def gpt_4kn(image):
    """sgdisk's GPT in 4096-byte sectors: a FAT at sector 256, BitLocker at sector 5376."""
    def make(device):
        tool("sgdisk", "-n", "1:256:+20M", "-t", "1:0700", "-n", "2:5376:+8M", "-t", "2:0700",
             device)
        fat_4kn(device, 256, 5120, "FAT4K")
    on_4kn_device(image, make)
    write_at(image, 5376 * LARGE, bitlocker_boot_sector(5376, 2048))


def mbr_4kn(image):
    """sfdisk's dos label in 4096-byte sectors: a FAT at sector 256 and an extended partition
    holding BitLocker (5) and a FAT (6)."""
    def make(device):
        sfdisk(device, "label: dos\nstart=256, size=5120, type=6\n"
                       "start=5376, size=4096, type=5\nstart=5632, size=1024, type=7\n"
                       "start=7168, size=2048, type=6\n")
        fat_4kn(device, 256, 5120, "MBR4K")
        fat_4kn(device, 7168, 2048, "LOGICAL4K")
    on_4kn_device(image, make)
    write_at(image, 5632 * LARGE, bitlocker_boot_sector(5632, 1024))


def gpt_lines(n, live=False):
    """`live`: the drive is a block device, where each BitLocker volume is open now or not."""
    return (label_lines(n, 1, MKFS, b"FAT4K      ") + oem_line(n, 2, FVE) + bitlocker(n, 2) +
            (NOT_OPEN_NOW if live else b""))


def mbr_lines(n, live=False):
    return (label_lines(n, 1, MKFS, b"MBR4K      ") + oem_line(n, 2, ZEROS) +
            oem_line(n, 5, FVE) + bitlocker(n, 5) + (NOT_OPEN_NOW if live else b"") +
            label_lines(n, 6, MKFS, b"LOGICAL4K  "))


def mbr_image_lines(n):
    """An image file holds no sector size, and a dos label gives no hint of one: the image rule
    looks for a GPT header only, so a 4Kn MBR image reads as 512-byte sectors. Its entries then
    point 8 times too near the start, where this disk has zeros: both look damaged, and the
    extended partition's EBR, missing its boot signature there, ends its chain at once; there
    the extended entry finds nothing but zeros in its first MiB, so it is said to be empty."""
    return (oem_line(n, 1, ZEROS) + damaged(n, 1) + oem_line(n, 2, ZEROS) +
            empty_partition(n, 2))


class FourKnTest(DeviceFolderTest):
    maxDiff = None

    def setUp(self):
        if not is_root():
            self.skipTest("needs root for loop devices")
        for command in ("losetup", "sgdisk", "sfdisk", "mkfs.fat", "strace"):
            if not have(command):
                self.skipTest("%s is not installed" % command)
        super().setUp()

    def test_block_devices_and_image_files(self):
        """Drives 0 to 2 are 4Kn loop devices (sector size from BLKSSZGET): a GPT, an MBR with
        logical partitions, and the GPT with its primary header damaged, read through the backup
        header in the last 4096-byte sector. Drives 3 to 5 are the same images as files. Under
        strace: every read from the loop devices is whole 4096-byte sectors at a multiple of
        4096."""
        images = tempfile.mkdtemp(prefix="tvx-4kn-")
        self.addCleanup(shutil.rmtree, images)
        gpt, mbr_disk, backup = (os.path.join(images, name) for name in ("gpt", "mbr", "backup"))
        gpt_4kn(gpt)
        mbr_4kn(mbr_disk)
        tool("cp", "--sparse=always", gpt, backup)
        write_at(backup, LARGE + 16, bytes([read_at(backup, LARGE + 16, 1)[0] ^ 1]))
        for n, image in enumerate((gpt, mbr_disk, backup)):
            os.symlink(attach_4kn(self, image, read_only=True), self.entry("PhysicalDrive%d" % n))
            os.symlink(image, self.entry("PhysicalDrive%d" % (n + 3)))
        expected = report(gpt_lines(0, True) + mbr_lines(1, True) + gpt_lines(2, True) +
                          gpt_lines(3) + mbr_image_lines(4) + gpt_lines(5), found=True)

        before = folder_checksums(self.devices)
        trace = os.path.join(images, "trace")
        result = traced_scan(self.devices, trace)
        self.assertEqual(report_lines(result.stdout), report_lines(expected))
        self.assertEqual(result.stdout, expected)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertEqual(folder_checksums(self.devices), before)

        reads = device_reads(trace, [self.entry("PhysicalDrive%d" % n) for n in range(3)])
        self.assertGreater(len(reads), 10)
        self.assertEqual([r for r in reads if r[1] % LARGE or r[2] % LARGE], [])


def traced_scan(devices, trace):
    """Runs `tvx /batch` over `devices` under strace, writing the trace to `trace`; LeakSanitizer
    cannot run under ptrace, so the sanitizer build runs without it."""
    environment = tvx_environment(devices, {"ASAN_OPTIONS": ":".join(filter(None, [
        os.environ.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))})
    return subprocess.run(["strace", "-f", "-qq", "-o", trace, "-e", "trace=openat,close,pread64",
                           "--", TVX, "/batch"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=environment, timeout=60)


def device_reads(trace, paths):
    """Returns (path, length, offset) for each pread64 the trace shows on a descriptor opened on
    one of `paths` (the scanner reads drives with pread only)."""
    reads, open_fds = [], {}
    opened = re.compile(r'openat\(AT_FDCWD, "([^"]+)", [^)]*\) = (\d+)')
    for line in strace_lines(trace):
        match = opened.match(line)
        if match and match.group(1) in paths:
            open_fds[int(match.group(2))] = match.group(1)
            continue
        match = re.match(r"close\((\d+)\)", line)
        if match:
            open_fds.pop(int(match.group(1)), None)
            continue
        match = re.match(r"pread64\((\d+), .*, (\d+), (\d+)\) = ", line)
        if match and int(match.group(1)) in open_fds:
            reads.append((open_fds[int(match.group(1))], int(match.group(2)),
                          int(match.group(3))))
    return reads


def btrfs_disk(path):
    """An MBR disk whose one partition (sector 2048 on, 128 MiB) is a Btrfs made by mkfs.btrfs."""
    sparse_file(path, 130 * MIB)
    sfdisk(path, "label: dos\nstart=2048, size=262144, type=83\n")
    with tempfile.TemporaryDirectory(prefix="tvx-btrfs-") as scratch:
        volume = sparse_file(os.path.join(scratch, "volume"), 128 * MIB)
        tool("mkfs.btrfs", "-q", "-f", volume)
        copy_into(volume, path, 2048 * SECTOR)


def esp_root_folder(path):
    """Returns the bytes of the root folder of the FAT32 ESP at sector 2048 of `path`: its first
    cluster, as the boot sector places it."""
    boot = read_at(path, 2048 * SECTOR, SECTOR)
    per_sector = int.from_bytes(boot[11:13], "little")
    data = int.from_bytes(boot[14:16], "little") + boot[16] * int.from_bytes(boot[36:40], "little")
    cluster = int.from_bytes(boot[44:48], "little")
    start = 2048 * SECTOR + (data + (cluster - 2) * boot[13]) * per_sector
    return (start, start + boot[13] * per_sector)


ESP_ROOT_UNREAD = b"<the root folder's failed read>"


class FailedReadsTest(DeviceFolderTest):
    """Disks served through FUSE whose reads fail at chosen byte ranges past a volume's first
    sector: each failure is said where it happens and is a gap, so the run cannot give the
    all-clear, and no "might be" rests on a read that failed. The same disks, readable, give
    their ordinary reports."""

    def scan_through_fuse(self, image, failing):
        """Runs the console and the JSON report over `image` served as PhysicalDrive0 with reads
        of the `failing` ranges failing; returns (result, document)."""
        size = os.path.getsize(image)
        with failing_files({"drive": (size, failing, image)}) as folder:
            os.symlink(os.path.join(folder, "drive"), self.entry("PhysicalDrive0"))
            try:
                result = run_tvx(["/batch"], devices=self.devices, timeout=60)
                document = json.loads(run_tvx(["/json"], devices=self.devices, timeout=60).stdout)
            finally:
                os.unlink(self.entry("PhysicalDrive0"))
        return result, document

    def test_reads_that_fail_past_the_first_sector(self):
        esp = lambda n: label_lines(n, 1, b"mkfs.fat", b"EFI        ")
        fve = [(2048 * SECTOR + offset, 2048 * SECTOR + offset + 0x10000)
               for offset in FVE_OFFSETS]
        cases = [
            # name, builder, failing ranges (a callable of the image), lines when readable,
            # lines when failing, exit status when failing
            ("a Btrfs superblock, 64 KiB in", btrfs_disk,
             lambda path: [(2048 * SECTOR + 0x10000, 2048 * SECTOR + 0x11000)],
             oem_line(0, 1, ZEROS) + file_system(0, 1, "Btrfs"),
             # The zeroed head's first MiB is read in one read, from the sector after the first.
             oem_line(0, 1, ZEROS) + sector_read_error(23, "PhysicalDrive0, Partition 1", 2049), 2),
            ("the root folder of an EFI system partition", VERACRYPT_ESP,
             lambda path: [esp_root_folder(path)],
             uefi_loader(0, "VeraCrypt") + esp(0), esp(0) + ESP_ROOT_UNREAD, 2),
            ("BitLocker's three FVE metadata blocks", bitlocker_partition_disk, lambda path: fve,
             oem_line(0, 1, FVE) + bitlocker(0, 1) + unlocked_with("TPM", "recovery password"),
             oem_line(0, 1, FVE) + bitlocker(0, 1) +
             sector_read_error(23, "PhysicalDrive0, Partition 1", 2048 + FVE_OFFSETS[0] // SECTOR), 3),
        ]
        for name, build, failing, readable, failed, status in cases:
            with self.subTest(name), tempfile.TemporaryDirectory(prefix="tvx-fuse-") as scratch:
                image = os.path.join(scratch, "disk.img")
                try:
                    build(image)
                    if failed.endswith(ESP_ROOT_UNREAD):  # said at the root folder's first sector
                        failed = failed.replace(ESP_ROOT_UNREAD, sector_read_error(
                            23, "PhysicalDrive0, Partition 1", esp_root_folder(image)[0] // SECTOR))
                    clean, _ = self.scan_through_fuse(image, [])
                    result, document = self.scan_through_fuse(image, failing(image))
                except DeviceUnavailable as reason:
                    self.skipTest(str(reason))
                found = status == 3
                self.assertEqual(report_lines(clean.stdout), report_lines(
                    report(readable, found=found or b"UEFI" in readable)))
                self.assertIn(clean.returncode, (0, 3))
                expected = report(failed, found=found, incomplete=True)
                self.assertEqual(report_lines(result.stdout), report_lines(expected))
                self.assertEqual((result.returncode, result.stderr), (status, b""))
                gaps = [(g["kind"], g["drive"], g["partition"], g["error"])
                        for g in document["gaps"]]
                self.assertEqual(gaps, [("volume-read-failed", 0, 1, 23)])
                self.assertFalse(document["complete"])

    def test_a_disk_without_a_table_whose_sector_1_fails(self):
        """A disk of random bytes whose sector 1 cannot be read: neither the whole-disk probes
        nor the look for a GPT behind sector 0 could finish, so it is not called possibly
        encrypted as a disk without a partition table; both failures are said."""
        with tempfile.TemporaryDirectory(prefix="tvx-fuse-") as scratch:
            image = os.path.join(scratch, "disk.img")
            write_at(sparse_file(image, 4 * MIB), 0, random_bytes(MIB, "sector 1 fails"))
            try:
                result, document = self.scan_through_fuse(image, [(SECTOR, 2 * SECTOR)])
            except DeviceUnavailable as reason:
                self.skipTest(str(reason))
        expected = report(sector_read_error(23, "PhysicalDrive0", 1) +
                          sector_read_error(23, "PhysicalDrive0, its GPT header", 1),
                          incomplete=True)
        self.assertEqual(report_lines(result.stdout), report_lines(expected))
        self.assertEqual(result.returncode, 2)
        self.assertEqual([(g["kind"], g["partition"]) for g in document["gaps"]],
                         [("volume-read-failed", None), ("table-read-failed", None)])
        self.assertEqual(document["findings"], [])

    def test_partition_cut_short_by_the_image(self):
        """A partition of random bytes whose last sector the image only partly holds (an
        acquisition cut short): its end-of-volume marks cannot be read, so it is not called
        possibly encrypted on what was never read; the failed read (38) is said instead."""
        path = sparse_file(self.entry("PhysicalDrive0"), 2048 * SECTOR + 4 * MIB - 100)
        write_at(path, 0, mbr((2048, 0, 0, 0), (0x83, 0, 0, 0)))
        write_at(path, 446 + 12, (8192).to_bytes(4, "little"))
        head = random_bytes(64 * 1024, "cut-short")
        write_at(path, 2048 * SECTOR, head)
        result = run_tvx(["/batch"], devices=self.devices)
        size = 2048 * SECTOR + 4 * MIB - 100
        expected = report(oem_line(0, 1, head[3:11]) +
                          sector_read_error(38, "PhysicalDrive0, Partition 1", size // SECTOR) +
                          size_odd(0, size) +
                          shorter_than_table(0, size // SECTOR, 2048 + 8192 - 1), incomplete=True)
        self.assertEqual(report_lines(result.stdout), report_lines(expected))
        self.assertEqual(result.returncode, 2)


class StalledDriveTest(DeviceFolderTest):
    """Drives and a letter whose reads never return, served through FUSE, with TVX_TIMEOUT=2:
    PhysicalDrive1 stalls past its partition's first sector, after which nothing on its file
    system answers, so PhysicalDrive3 and E: (a disk on the same file system) stall at once.
    Each costs two seconds; each is named after what was read of it, and the rest is examined.
    The same folder without the stall gives the ordinary report."""

    maxDiff = None
    TIMEOUT = 2

    def scan_through_fuse(self, images, stalled, args):
        """Serves `images` ({name: path}) through FUSE, with reads of `stalled` ranges of the
        image "drive" stalling, links drive as PhysicalDrive1, late as PhysicalDrive3 and E:,
        and runs the scanner with `args`; returns (seconds it took, status, stdout, stderr)."""
        files = {name: (os.path.getsize(path), [], path) for name, path in images.items()}
        files["drive"] += (stalled,)
        with failing_files(files) as folder:
            for entry, name in (("PhysicalDrive1", "drive"), ("PhysicalDrive3", "late"),
                                ("E:", "late")):
                if os.path.lexists(self.entry(entry)):
                    os.unlink(self.entry(entry))
                os.symlink(os.path.join(folder, name), self.entry(entry))
            # Three stalls of two seconds each, and a few seconds for the rest.
            return run_while_stalled([TVX, *args], folder, 3 * self.TIMEOUT + 6, tvx_environment(
                self.devices, {"TVX_TIMEOUT": str(self.TIMEOUT)}))

    def test_drives_and_a_letter_that_stop_answering(self):
        with tempfile.TemporaryDirectory(prefix="tvx-stall-") as scratch:
            images = {"drive": os.path.join(scratch, "drive"), "late": os.path.join(scratch, "late")}
            bitlocker_partition_disk(images["drive"])
            numbered_disk(3)(images["late"])
            for n in (0, 2):
                numbered_disk(n)(self.entry("PhysicalDrive%d" % n))
            stalled = [((2048 + 1) * SECTOR, 4 * MIB - SECTOR)]  # not the last sector, read at open
            try:
                _, clean, stdout, _ = self.scan_through_fuse(images, [], ["/batch"])
                self.assertEqual(stdout, report(
                    numbered_disk_lines(0) + oem_line(1, 1, FVE) + bitlocker(1, 1) +
                    unlocked_with("TPM", "recovery password") + numbered_disk_lines(2) +
                    numbered_disk_lines(3), virtual_disk("E"), found=True))
                took, status, stdout, stderr = self.scan_through_fuse(images, stalled, ["/batch"])
                _, _, document, _ = self.scan_through_fuse(images, stalled, ["/json"])
            except DeviceUnavailable as reason:
                self.skipTest(str(reason))
        self.assertEqual(clean, 3)
        # The finding made before the stall stands; its metadata, past the stall, is not read.
        expected = report(numbered_disk_lines(0) + oem_line(1, 1, FVE) + bitlocker(1, 1) +
                          timed_out(1, 2) + numbered_disk_lines(2) + timed_out(3, 2),
                          letter_timed_out("E", 2), found=True, incomplete=True)
        self.assertEqual(report_lines(stdout), report_lines(expected))
        self.assertEqual((stdout, stderr, status), (expected, b"", 3))
        self.assertGreaterEqual(took, 3 * self.TIMEOUT)
        document = json.loads(document)
        self.assertEqual([(d["number"], d["status"], d["error"]) for d in document["drives"]],
                         [(0, "read", None), (1, "read", None), (2, "read", None),
                          (3, "timed-out", None)])
        self.assertEqual([(g["kind"], g["drive"], g["partition"], g["letter"], g["error"],
                           g["message"]) for g in document["gaps"]], [
            ("timed-out", 1, None, None, None,
             "PhysicalDrive1 did not answer within 2 seconds: the rest of it was not examined."),
            ("timed-out", 3, None, None, None,
             "PhysicalDrive3 did not answer within 2 seconds: the rest of it was not examined."),
            ("timed-out", None, None, "E", None,
             "Drive E: did not answer within 2 seconds: it was not examined.")])
        self.assertEqual([(f["kind"], f["drive"], f["partition"]) for f in document["findings"]],
                         [("bitlocker", 1, 1)])
        self.assertEqual((document["complete"], document["exitStatus"]), (False, 3))


class EachSectorOnceTest(DeviceFolderTest):
    def test_no_byte_of_a_drive_is_read_twice(self):
        """strace over a run of four kinds of disk (logical partitions, a GPT of 2048 entries, a
        wiped MBR over a GPT with an ESP and an ext4, a disk encrypted whole): for each opened
        drive, the byte ranges its reads returned never overlap."""
        if not have("strace") or not have("sgdisk") or not have("mcopy"):
            self.skipTest("strace, sgdisk or mtools is not installed")
        extended_disk(self.entry("PhysicalDrive0"))
        large_table_disk(self.entry("PhysicalDrive1"))
        VERACRYPT_ESP(self.entry("PhysicalDrive2"))
        write_at(self.entry("PhysicalDrive2"), 0, bytes(SECTOR))
        write_at(sparse_file(self.entry("PhysicalDrive3"), 8 * MIB), 0,
                 random_bytes(MIB, "encrypted whole"))
        status, _, calls = trace_tvx(["/batch"], devices=self.devices)
        self.assertIn(status, (2, 3))
        opened = {}  # descriptor -> (path, ranges read through it since it was opened)
        reads = 0
        for call in calls:
            if call.name == "openat" and call.result is not None and call.result >= 0:
                path = call.line.split('"')[1] if '"' in call.line else ""
                if path.startswith(self.devices):
                    opened[call.result] = (path, [])
                else:
                    opened.pop(call.result, None)
            elif call.name == "pread64" and call.result and call.fd in opened:
                path, ranges = opened[call.fd]
                start, end = call.offset, call.offset + call.result
                for first, stop in ranges:
                    self.assertFalse(start < stop and first < end,
                                     "%s: bytes %d to %d read again (%d to %d before)" %
                                     (path, start, end, first, stop))
                ranges.append((start, end))
                reads += 1
        self.assertGreater(reads, 20)


if __name__ == "__main__":
    run_file()
