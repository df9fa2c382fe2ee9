"""Disks shaped to hurt the scanner: sector 0 of all 0xFF bytes, drives shorter than a sector,
partitions past the end of their disk, device folder entries that are no disk at all, and drives
whose reads fail. Each report is compared whole, byte for byte."""

import os
import tempfile

from tvxtest import *

ZEROS = b"\0" * 8
NTFS = b"NTFS    "


# What a partition whose first sector lies past the end of its drive prints: the read finds the
# end of the drive (error 38, end of file) and the partition is left unread, not taken for a
# sector of zeros.
def past_the_end(n, *starts):
    return b"".join(sector_read_error(38, "PhysicalDrive%d, Partition %d" % (n, p), start)
                    for p, start in enumerate(starts, 1))


class HostileSectorZeroTest(ScanFolderTest):
    def test_sector_zero_of_all_ff_bytes(self):
        # No signature and nothing that names it: no partition table, so possibly a disk
        # encrypted whole, and its bytes are not read as four partitions.
        self.drive_image(0, MIB, b"\xFF" * SECTOR)
        self.assertReport(self.scan(), report(no_partition_table(0), found=True))

    def test_entries_at_the_last_32_bit_sector(self):
        # Four entries starting at sector 4294967295: 2 TiB - 512 bytes into the drive, beyond
        # the signed 32-bit sector number, read through the full 64-bit offset.
        far = 4294967295
        cases = [
            # A small image: each far read finds the end of the drive.
            ("1 MiB image", MIB, None,
             report(past_the_end(0, far, far, far, far) + shorter_than_table(0, 2048, far),
                    incomplete=True)),
            # A sparse 2 TiB image with an NTFS boot sector in its last sector: the far read
            # reaches exactly that sector, for each of the four entries.
            ("2 TiB image", (far + 1) * SECTOR, boot_sector(NTFS),
             report(b"".join(oem_line(0, p, NTFS) for p in range(1, 5)))),
        ]
        for name, size, last_sector, expected in cases:
            with self.subTest(name):
                path = self.drive_image(0, size, mbr((far,) * 4, (7,) * 4))
                if last_sector is not None:
                    write_at(path, far * SECTOR, last_sector)
                self.assertReport(self.scan(), expected)
                os.unlink(path)

    def test_drive_of_511_bytes(self):
        # The sector-0 read comes up short: a read failure, end of file (38).
        cases = [
            (0, report(read_error_drive0(38), unread=True)),
            (5, report(open_error(2) + read_error_drive0(38, 5), unread=True)),
        ]
        for n, expected in cases:
            with self.subTest(drive=n):
                path = self.drive_image(n, 511, mbr((2048, 0, 0, 0))[:511])
                self.assertReport(self.scan(), expected)
                os.unlink(path)

    def test_partitions_past_the_end_of_the_image(self):
        # A 1 MiB image (sectors 0 to 2047) whose entries all point past its end, up to the
        # largest start sector an entry can hold.
        self.drive_image(3, MIB, mbr((2048, 1 << 20, 2147483648, 4294967295), (7, 7, 7, 7)))
        expected = report(open_error(2) +
                          past_the_end(3, 2048, 1 << 20, 2147483648, 4294967295) +
                          shorter_than_table(3, 2048, 4294967295), incomplete=True)
        self.assertReport(self.scan(), expected)

    def test_partition_cut_short_by_the_end_of_the_image(self):
        # The image ends 100 bytes into the partition's first sector: the read runs past the end
        # and fails (38) rather than make up the rest of the sector; the image is no whole number
        # of sectors, and its table reaches the sector it lost.
        path = self.drive_image(0, 2048 * SECTOR + 100, mbr((2048, 0, 0, 0), (7, 0, 0, 0)))
        write_at(path, 2048 * SECTOR, boot_sector(NTFS)[:100])
        expected = report(sector_read_error(38, "PhysicalDrive0, Partition 1", 2048) +
                          size_odd(0, 2048 * SECTOR + 100) +
                          shorter_than_table(0, 2048, 2048), incomplete=True)
        self.assertReport(self.scan(), expected)


class EntriesThatAreNoDiskTest(ScanFolderTest):
    """Entries a device folder may hold that are neither an image nor a block device: each fails
    to open without being opened (a FIFO would block an open for reading until a writer came)."""

    def make(self, kind, path):
        if kind == "fifo":
            os.mkfifo(path)
        elif kind == "folder":
            os.mkdir(path)
        elif kind == "character device":
            os.symlink("/dev/null", path)
        elif kind == "dangling link":
            os.symlink(os.path.join(self.devices, "nowhere"), path)
        elif kind == "link loop":
            os.symlink(path, path)

    def test_each_kind_fails_to_open_and_nothing_hangs(self):
        # (kind, the code drive 0 reports: 5 for what is no disk, 2 for what is not there;
        # ELOOP maps to 31, the code for any failure without a closer match)
        cases = [("fifo", 5), ("folder", 5), ("character device", 5), ("dangling link", 2),
                 ("link loop", 31)]
        names = ("PhysicalDrive0", "PhysicalDrive7", "E:")
        for kind, code in cases:
            with self.subTest(kind=kind):
                for name in names:
                    self.make(kind, self.entry(name))
                # As drive 0 and as drive 7 it is reported, whatever it is: the entry exists (a
                # dangling link says where it leads); as letter E: only when it is there but is
                # no disk.
                link = self.entry("nowhere") if kind == "dangling link" else None
                drives = open_error(code, link=link) + open_error(code, 7, link=link)
                letter = letter_open_error("E", code) if code != 2 else b""
                self.assertReport(self.scan(timeout=20), report(drives, letter, unread=True))
                for name in names:
                    (os.rmdir if kind == "folder" else os.unlink)(self.entry(name))


def failing_image(sector0, readable, extra=()):
    """A FUSE file of 2 MiB whose bytes below `readable` can be read: `sector0`, then the
    (offset, bytes) pairs of `extra`; every read that touches a byte from `readable` on fails."""
    content = bytearray(sector0)
    for offset, data in extra:
        content = content.ljust(offset + len(data), b"\0")
        content[offset:offset + len(data)] = data
    return (2 * MIB, readable, bytes(content))


# Sector 0 reads; partition 1 (sector 2048, 1 MiB in) lies where every read fails, partition 2
# (sector 64) where reads work.
PARTITION_FAILS = failing_image(mbr((2048, 64, 0, 0), (7, 6, 0, 0)), MIB,
                                [(64 * SECTOR, boot_sector(b"MSDOS5.0", fat16_label=b"EVIDENCE"))])
PARTITION_FAILS_REPORT = report(sector_read_error(23, "PhysicalDrive0, Partition 1", 2048) +
                                label_lines(0, 2, b"MSDOS5.0", b"EVIDENCE   "), incomplete=True)
# "all": a drive of 1 MiB whose every read fails.
FAILING_FILES = {"all": (MIB, 0, b""), "partition": PARTITION_FAILS}


class FailingReadTest(DeviceFolderTest):
    """Drives whose reads fail with an I/O error (Windows error 23): the code and the yellow line
    where a failure is reported, silence where it is not, and the scan goes on."""

    maxDiff = None

    CASES = [
        # (name, {folder entry: drive}, report)
        ("drive 0 fails every read", {"PhysicalDrive0": "all"},
         report(read_error_drive0(23), unread=True)),
        ("drive 1 fails every read", {"PhysicalDrive1": "all"},
         report(open_error(2) + read_error_drive0(23, 1), unread=True)),
        ("partition 1 fails to read", {"PhysicalDrive0": "partition"}, PARTITION_FAILS_REPORT),
    ]

    def check(self, entries):
        """Scans the folder and checks the report of each case, given the entries it links."""
        for name, links, expected in self.CASES:
            with self.subTest(name):
                for entry in os.listdir(self.devices):
                    os.unlink(self.entry(entry))
                for entry, drive in links.items():
                    os.symlink(entries[drive], self.entry(entry))
                result = run_tvx(["/batch"], devices=self.devices, timeout=30)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.stderr, b"")
                self.assertIn(result.returncode, expected_status(expected))

    def test_files_whose_reads_fail(self):
        try:
            with failing_files(FAILING_FILES) as folder:
                self.check({drive: os.path.join(folder, drive) for drive in FAILING_FILES})
        except DeviceUnavailable as reason:
            self.skipTest(str(reason))

    def test_block_devices_whose_reads_fail(self):
        # The same files behind read-only loop devices: real block devices whose reads fail.
        try:
            with failing_files(FAILING_FILES) as folder, \
                    loop_device(os.path.join(folder, "all")) as all_failing, \
                    loop_device(os.path.join(folder, "partition")) as partition:
                self.check({"all": all_failing, "partition": partition})
        except DeviceUnavailable as reason:
            self.skipTest(str(reason))

    def test_device_mapper_error_targets(self):
        # An error target for the whole drive; for the partition case a linear segment over an
        # image for sectors 0 to 2047 and an error segment from sector 2048 on.
        reason = device_mapper_available()
        if reason is not None:
            self.skipTest(reason)
        with tempfile.TemporaryDirectory(prefix="tvx-dm-") as scratch:
            image = sparse_file(os.path.join(scratch, "disk.img"), 2 * MIB)
            write_at(image, 0, PARTITION_FAILS[2])
            with device_mapper("0 2048 error") as all_failing, loop_device(image) as backing, \
                    device_mapper("0 2048 linear %s 0\n2048 2048 error" % backing) as partition:
                self.check({"all": all_failing, "partition": partition})


if __name__ == "__main__":
    run_file()
