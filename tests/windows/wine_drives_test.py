"""TVX.exe under Wine over disk images that Wine opens as \\\\.\\PhysicalDriveN: the whole report
through the real Win32 CreateFileA, SetFilePointer and ReadFile, with partitions where the
reads need two seeks, the high half of the offset, or a 64-bit sector number. To Windows these
drives are devices, so each BitLocker partition is said to be open now or not: Wine's volumes
answer the disk extents query with no extents, so none lies on a partition and none is open."""

import json
import os

from winetest import *

SECTOR_2_31 = 1 << 22  # byte offset 2^31: the first offset that needs two seeks
SECTOR_2_32 = 1 << 23  # byte offset 2^32: the first offset with a high half
LAST_32_BIT_SECTOR = (1 << 31) - 1
PAST_2_TIB = (1 << 32) + 2048


def mbr_disk(path):
    """An MBR disk whose partitions begin at 1 MiB, 2 GiB, 4 GiB and just after."""
    return partitioned_image(path, (SECTOR_2_32 + 4096) * SECTOR + MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "WINE FAT16")),
        Part(SECTOR_2_31, 16384, "7", ntfs_volume()),
        Part(SECTOR_2_32, 2048, "7",
             bitlocker_volume([FVE_TPM, FVE_RECOVERY_PASSWORD], FVE_ENCRYPTING)),
        Part(SECTOR_2_32 + 2048, 2048, "c", boot_sector_volume(boot_sector(b"NOSIG", signature=False))),
    ])


MBR_DISK_LINES = (
    label_lines(0, 1, b"mkfs.fat", b"WINE FAT16 ") +
    oem_line(0, 2, b"NTFS    ") +
    oem_line(0, 3, b"-FVE-FS-") + bitlocker(0, 3) + NOT_OPEN_NOW +
    unlocked_with("TPM", "recovery password") + ENCRYPTION_IN_PROGRESS +
    oem_line(0, 4, b"NOSIG   ") + damaged(0, 4))


def gpt_disk(path):
    """A GPT disk of 2 TiB and more, with partitions at the last 32-bit sector and past 2 TiB."""
    return partitioned_image(path, 2 * TIB + 64 * MIB, "gpt", [
        Part(2048, 65536, GPT_ESP, fat_volume(32, "EFI")),
        Part(LAST_32_BIT_SECTOR, 2048, GPT_BASIC_DATA,
             boot_sector_volume(bitlocker_to_go_boot_sector())),
        Part(PAST_2_TIB, 65536, GPT_BASIC_DATA,
             boot_sector_volume(boot_sector(b"FAR-GPT", fat32_label=b"PAST 2 TIB"))),
    ])


def gpt_disk_lines(n):
    return (label_lines(n, 1, b"mkfs.fat", b"EFI        ") +
            label_lines(n, 2, b"MSWIN4.1", b"NO NAME    ") + bitlocker(n, 2) + NOT_OPEN_NOW +
            label_lines(n, 3, b"FAR-GPT ", b"PAST 2 TIB "))


class WineDrivesTest(DeviceFolderTest):
    """Images in this test's scratch folder (self.entry), presented to Wine as physical drives."""

    maxDiff = None

    def scan(self, drives):
        """Runs TVX.exe /batch with `drives` ({n: host path}) as its physical drives; checks
        that it ends with nothing on standard error and no image changed, and returns its
        standard output; assertReport checks the exit status against the report."""
        before = {n: image_checksum(path) for n, path in drives.items() if os.path.isfile(path)}
        with physical_drives(drives):
            result = run_tvx_windows(["/batch"], timeout=60)
        self.assertEqual(result.stderr, b"")
        self.last_status = result.returncode
        after = {n: image_checksum(path) for n, path in drives.items() if os.path.isfile(path)}
        self.assertEqual(after, before, "an image changed during the run")
        return result.stdout

    def assertReport(self, actual, expected):
        if actual != expected:
            self.assertEqual(report_lines(actual), report_lines(expected))
        self.assertEqual(actual, expected)
        self.assertIn(self.last_status, expected_status(expected))

    def test_far_partitions_and_sector_zero_findings(self):
        drives = {
            0: mbr_disk(self.entry("mbr")),
            1: gpt_disk(self.entry("gpt")),
            2: sparse_file(self.entry("truecrypt"), MIB),
            3: sparse_file(self.entry("pgp"), MIB),
        }
        write_at(drives[2], 0, truecrypt_boot_loader_mbr())
        write_at(drives[3], 0, pgp_guard_mbr())
        self.assertReport(self.scan(drives), report(
            MBR_DISK_LINES + gpt_disk_lines(1) + truecrypt_loader(2) + pgp_guard(3),
            WINE_LOGICAL, found=True, incomplete=True))

    def test_luks_key_slots_and_tokens(self):
        """LUKS1 with two key slots and LUKS2 bound to a TPM and a FIDO2 key, by cryptsetup: the
        LUKS2 header is checked against its SHA-256 checksum and its JSON area read."""
        if not have("cryptsetup"):
            self.skipTest("cryptsetup is not installed")
        drives = {0: sparse_file(self.entry("luks1"), 32 * MIB),
                  1: sparse_file(self.entry("luks2"), 32 * MIB)}
        luks_format(drives[0], "luks1")
        add_key(drives[0], b"second key")
        luks_with_tokens(drives[1])
        self.assertReport(self.scan(drives), report(
            luks_disk(0) + NOT_OPEN_NOW + unlocked_with("passphrase or key file (2)") +
            luks_disk(1) + NOT_OPEN_NOW +
            unlocked_with("passphrase or key file (2)", "TPM", "FIDO2 key"),
            WINE_LOGICAL, found=True, incomplete=True))

    def test_encryption_inside_file_systems(self):
        """ext4 made with `-O encrypt` as a whole disk, and an F2FS made so and a ZFS pool counting
        an encrypted dataset as partitions: each finding after its file-system line, and no
        open-now line, since no volume of Wine's is seen open and only BitLocker and LUKS are
        ever said not to be."""
        if not have("mkfs.f2fs"):
            self.skipTest("mkfs.f2fs is not installed")
        ext4 = sparse_file(self.entry("ext4"), 16 * MIB)
        tool("mke2fs", "-q", "-F", "-t", "ext4", "-O", "encrypt", ext4)

        def f2fs(path, start, sectors):
            volume = sparse_file(self.entry("f2fs-volume"), sectors * SECTOR)
            tool("mkfs.f2fs", "-q", "-f", "-O", "encrypt", volume)
            copy_into(volume, path, start * SECTOR)

        gpt = partitioned_image(self.entry("gpt"), 90 * MIB, "gpt", [
            Part(2048, 131072, GPT_LINUX, f2fs),
            Part(133120, 16384, GPT_LINUX, zfs_pool_volume(True)),
        ])
        zeros = b"\0" * 8
        self.assertReport(self.scan({0: ext4, 1: gpt}), report(
            disk_file_system(0, "ext4") + fscrypt(0, None, "ext4") +
            oem_line(1, 1, zeros) + file_system(1, 1, "F2FS") + fscrypt(1, 1, "F2FS") +
            oem_line(1, 2, zeros) + file_system(1, 2, "ZFS member") + zfs_encrypted(1, 2),
            WINE_LOGICAL, found=True, incomplete=True))

    def test_drive_zero_that_cannot_be_opened_is_reported(self):
        # A folder is no drive: Windows refuses to open it, with ERROR_ACCESS_DENIED.
        os.mkdir(self.entry("folder"))
        drives = {0: self.entry("folder"), 1: gpt_disk(self.entry("gpt"))}
        self.assertReport(self.scan(drives), report(open_error(5) + gpt_disk_lines(1),
                                                    WINE_LOGICAL, found=True, incomplete=True))


    def test_what_was_not_read_makes_the_run_incomplete(self):
        """Through the real ReadFile: a drive 0 that cannot be opened next to a clean drive 1
        gives the yellow line and status 2, not the all-clear; a partition past the end of its
        image, and a sector 0 cut short, fail with end of file (38)."""
        os.mkdir(self.entry("folder"))
        clean = partitioned_image(self.entry("clean"), 8 * MIB, "dos",
                                  [Part(2048, 8192, "6", fat_volume(16, "CLEAN"))])
        past = self.entry("past")
        write_at(sparse_file(past, MIB), 0, mbr((4096, 0, 0, 0), (6, 0, 0, 0)))
        short = self.entry("short")
        with open(short, "wb") as f:
            f.write(mbr()[:511])
        clean_lines = label_lines(1, 1, b"mkfs.fat", b"CLEAN      ")
        cases = [
            ({0: self.entry("folder"), 1: clean}, open_error(5) + clean_lines),
            ({0: past, 1: clean},
             sector_read_error(38, "PhysicalDrive0, Partition 1", 4096) + clean_lines),
            ({0: short, 1: clean}, read_error_drive0(38) + clean_lines),
        ]
        for drives, physical in cases:
            with self.subTest(drive0=os.path.basename(drives[0])):
                self.assertReport(self.scan(drives),
                                  report(physical, WINE_LOGICAL, incomplete=True))
                self.assertEqual(self.last_status, 2)

    # Wine's own drive letters, changed for the length of a test and put back after it.

    def clean_disk(self):
        return partitioned_image(self.entry("clean"), 8 * MIB, "dos",
                                 [Part(2048, 8192, "6", fat_volume(16, "CLEAN"))])

    def test_a_clean_disk_with_wines_z_drive_moved_out_is_all_clear(self):
        """The README's recipe: with Wine's Z: out of the prefix, a clean image is a complete
        look that found nothing, status 0."""
        with without_host_drive():
            self.assertReport(self.scan({0: self.clean_disk()}), report(
                label_lines(0, 1, b"mkfs.fat", b"CLEAN      "), located("C", 0, 1)))
        self.assertEqual(self.last_status, 0)

    def test_a_network_drive_is_not_opened(self):
        """A letter Wine calls a network drive: said in its place, in White, neither a finding
        nor a gap; in JSON a volume with `network` true and no numbers. (Wine also presents the
        share's folder as a disk of its own, drive 1, which refuses raw reads as its drive 0
        does: that drive is the run's one gap.)"""
        os.mkdir(self.entry("share"))
        clean = self.clean_disk()
        with without_host_drive(), network_drive("n", self.entry("share")):
            self.assertReport(self.scan({0: clean}), report(
                label_lines(0, 1, b"mkfs.fat", b"CLEAN      ") + read_error_drive0(WINE_PHYSICAL_ERROR, 1),
                located("C", 0, 1) + network_letter("N"), incomplete=True))
            with physical_drives({0: clean}):
                document = json.loads(run_tvx_windows(["/json"], timeout=60).stdout)
        self.assertEqual(document["volumes"][1], {
            "letter": "N", "deviceType": None, "deviceNumber": None, "partitionNumber": None,
            "liesOn": [], "network": True})
        self.assertEqual(document["volumes"][0]["network"], False)
        self.assertEqual([(gap["kind"], gap["drive"]) for gap in document["gaps"]],
                         [("drive-read-failed", 1)])

    def test_a_drive_that_stops_answering(self):
        """PhysicalDrive1, served through FUSE, stalls past its partition's first sector, with
        TVX_TIMEOUT=2: its BitLocker finding stands, the drive is named, PhysicalDrive2 is read,
        and TVX.exe ends with its status though Wine's read of the drive stays in the kernel
        (CancelSynchronousIo cannot reach it), and keeps the process and its output open, until
        the device gives up. Wine looks at every
        mount point when a volume is opened, and the stalled file system answers nothing, so C:
        and Z: do not answer either."""
        for n in (0, 2):
            numbered_disk(n)(self.entry("drive%d" % n))
        bitlocker_partition_disk(self.entry("stalls"))
        files = {"stalls": (4 * MIB, [], self.entry("stalls"), [(2049 * SECTOR, 4 * MIB - SECTOR)])}
        try:
            with failing_files(files) as folder, physical_drives(
                    {0: self.entry("drive0"), 1: os.path.join(folder, "stalls"),
                     2: self.entry("drive2")}):
                took, status, stdout, stderr = run_while_stalled(
                    [WINE, TVX_EXE, "/batch"], folder, 3 * 2 + 10,
                    wine_environment({"TVX_TIMEOUT": "2"}), output_ends=False)
        except DeviceUnavailable as reason:
            self.skipTest(str(reason))
        expected = report(numbered_disk_lines(0) + oem_line(1, 1, b"-FVE-FS-") + bitlocker(1, 1) +
                          timed_out(1, 2) + numbered_disk_lines(2),
                          letter_timed_out("C", 2) + letter_timed_out("Z", 2), found=True,
                          incomplete=True)
        self.last_status = status
        self.assertReport(stdout, expected)
        self.assertEqual((stderr, status), (b"", 3))
        self.assertGreaterEqual(took, 3 * 2)


if __name__ == "__main__":
    run_file()
