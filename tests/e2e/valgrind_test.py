"""Whole runs under valgrind's memcheck over a device folder of several drives and partitions:
no memory error and nothing definitely lost, with the report unchanged. Memcheck cannot run the
sanitizer build, which checks the same things its own way, so that build leaves this test out."""

import os
import subprocess

from tvxtest import *

MEMCHECK = ["valgrind", "--tool=memcheck", "--quiet", "--error-exitcode=99", "--leak-check=full",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
            "--track-origins=yes"]


@native_build_only("memcheck cannot run a build with AddressSanitizer")
class MemcheckTest(ScanFolderTest):
    def setUp(self):
        super().setUp()
        if not have("valgrind"):
            self.skipTest("valgrind is not installed")

    def memcheck(self, args):
        """Runs the scanner under memcheck over the folder; returns the CompletedProcess."""
        return subprocess.run(MEMCHECK + [TVX, *args], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=tvx_environment(self.devices), timeout=120)

    def test_runs_over_many_drives(self):
        drive0 = partitioned_image(self.entry("PhysicalDrive0"), 32 * MIB, "dos", [
            Part(2048, 8192, "6", fat_volume(16, "EVIDENCE")),
            Part(10240, 16384, "7", ntfs_volume()),
            Part(26624, 8192, "7", bitlocker_volume()),
            Part(34816, 2048, "da", random_fill("memcheck drive 0")),
        ])
        partitioned_image(self.entry("PhysicalDrive1"), 16 * MIB, "gpt", [
            Part(2048, 2048, GPT_MSR),
            Part(4096, 8192, GPT_BASIC_DATA, fat_volume(16, "GPTVOL")),
        ])
        self.drive_image(2, MIB, truecrypt_boot_loader_mbr())
        self.drive_image(3, 511, mbr((2048, 0, 0, 0))[:511])
        self.drive_image(4, MIB, b"\xFF" * SECTOR)
        os.mkfifo(self.entry("PhysicalDrive5"))
        self.drive_image(6, MIB, at_offset(mbr(), 300, b"PGP"))
        mkfs_fat(sparse_file(self.entry("E:"), 4 * MIB), 0, 8192, 12, "VOLUME")

        physical = (
            label_lines(0, 1, b"mkfs.fat", b"EVIDENCE   ") +
            oem_line(0, 2, b"NTFS    ") +
            oem_line(0, 3, b"-FVE-FS-") + bitlocker(0, 3) +
            oem_line(0, 4, read_at(drive0, 34816 * SECTOR + 3, 8)) + damaged(0, 4) +
            label_lines(1, 2, b"mkfs.fat", b"GPTVOL     ") +
            truecrypt_loader(2) +
            read_error_drive0(38, 3) +
            no_partition_table(4) +
            open_error(5, 5) +
            pgp_elsewhere(6))
        cases = [
            (["/batch"], report(physical, virtual_disk("E"), found=True, incomplete=True)),
            ([], report(physical, virtual_disk("E"), found=True, incomplete=True, prompt=True)),
            (["/?"], BANNER + USAGE),
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                result = self.memcheck(args)
                self.assertEqual(result.stderr.decode(errors="replace"), "")
                self.assertEqual(result.returncode, 0 if args == ["/?"] else 3)
                self.assertReport(result.stdout, expected)


def at_offset(sector, offset, data):
    """Returns `sector` with `data` written at `offset`."""
    return sector[:offset] + data + sector[offset + len(data):]


if __name__ == "__main__":
    run_file()
