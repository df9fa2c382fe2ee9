"""The demo device folder that `make demo` builds: its report, byte for byte, as the README
shows it."""

import os

from tvxtest import *

DEMO_PHYSICAL = (
    label_lines(0, 1, b"mkfs.fat", b"BOOT       ") +
    label_lines(0, 2, b"mkfs.fat", b"NO NAME    ") +
    label_lines(0, 3, b"mkfs.fat", b"DATA       ") +
    oem_line(0, 4, b"NTFS    ") +
    label_lines(1, 1, b"mkfs.fat", b"EFI        ") +
    oem_line(1, 3, b"-FVE-FS-") + bitlocker(1, 3) + unlocked_with("TPM", "recovery password") +
    oem_line(1, 4, b"NTFS    ") +
    truecrypt_loader(2) +
    pgp_guard(3) +
    oem_line(4, 1, b"m}6+dL'g") + damaged(4, 1) +
    label_lines(4, 2, b"MSWIN4.1", b"NO NAME    ") + bitlocker(4, 2) +
    veracrypt_loader(5) +
    label_lines(6, 1, b"mkfs.fat", b"ESP        ") +
    oem_line(6, 2, b"\0" * 8) + file_system(6, 2, "ext4") +
    oem_line(6, 3, b"S\xBA\xBE\x00\x02\x00\x00\x00") + luks(6, 3))


class DemoTest(ScanFolderTest):
    def test_demo_report(self):
        folder = self.entry("demo")
        tool(os.path.join(ROOT, "tools", "make-demo"), "--no-run", "--folder", folder)
        self.assertEqual(sorted(os.listdir(folder)),
                         ["PhysicalDrive%d" % n for n in range(7)] + ["T:"])
        self.assertReport(self.scan(devices=folder),
                          report(DEMO_PHYSICAL, virtual_disk("T"), found=True))

    def test_make_demo_succeeds_when_the_demo_finds_its_volumes(self):
        result = run_make(self, "demo")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.endswith(LOGICAL_END), result.stdout[-200:])
        self.assertIn(b"build-tvx: ", result.stderr)


if __name__ == "__main__":
    run_file()
