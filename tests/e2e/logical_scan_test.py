"""The logical volume pass over device folders: which letters open, in which order they are
reported, and the virtual-disk verdict for volumes that live on no physical drive."""

import json
import os

from tvxtest import *


def fat_volume_image(path, label="VOLUME"):
    """A FAT16 volume without a partition table, as a mounted container's volume looks."""
    sparse_file(path, 8 * MIB)
    mkfs_fat(path, 0, 8 * MIB // SECTOR, 16, label, extra=("-s", "1"))
    return path


class LetterTest(ScanFolderTest):
    def test_letters_that_open_and_letters_that_do_not(self):
        """Every letter whose entry is an image (directly or through a link) opens, and, being no
        device, is a virtual disk; missing entries and dangling links are passed over in
        silence; folders, FIFOs and character devices exist but do not open (error 5), and each
        says so in its place, so more may be there. The image a letter links to is no
        unexamined entry: the letter stands for it."""
        disk = partitioned_image(self.entry("PhysicalDrive0"), 8 * MIB, "dos",
                                 [Part(2048, 8192, "6", fat_volume(16, "DISK"))])
        self.image("A:", 0)
        fat_volume_image(self.entry("C:"))
        os.mkdir(self.entry("D:"))
        self.link("E:", fat_volume_image(self.entry("volume.img"), "LINKED"))
        self.link("F:", self.entry("gone.img"))
        os.mkfifo(self.entry("G:"))
        self.link("H:", self.entry("D:"))
        self.link("K:", disk)
        self.link("M:", "/dev/null")
        self.link("N:", self.entry("E:"))  # a link to a link to an image
        self.image("Z:", MIB)
        logical = b"".join(virtual_disk(letter) if letter in "ACEKNZ" else
                           letter_open_error(letter, 5) for letter in "ACDEGHKMNZ")
        expected = report(label_lines(0, 1, b"mkfs.fat", b"DISK       "), logical, found=True,
                          incomplete=True)
        self.assertReport(self.scan(timeout=20), expected)

    def test_letters_that_do_not_open_set_no_finding(self):
        os.mkdir(self.entry("C:"))
        self.link("D:", self.entry("gone.img"))
        self.link("E:", "/dev/null")
        self.assertReport(self.scan(timeout=20), report(
            open_error(2), letter_open_error("C", 5) + letter_open_error("E", 5), unread=True))

    def test_a_letter_that_does_not_open_is_a_gap(self):
        """A clean drive 0 and a letter that exists but does not open: the letter's error line
        in Yellow, no all-clear, status 2, and the gap in JSON."""
        partitioned_image(self.entry("PhysicalDrive0"), 8 * MIB, "dos",
                          [Part(2048, 8192, "6", fat_volume(16, "DISK"))])
        os.mkdir(self.entry("F:"))
        physical = label_lines(0, 1, b"mkfs.fat", b"DISK       ")
        self.assertReport(self.scan(), report(physical, letter_open_error("F", 5),
                                              incomplete=True))
        self.assertEqual(self.last_status, 2)
        with PtyRun(["/batch"], devices=self.devices) as run:
            self.assertEqual(run.wait(until=INCOMPLETE[-40:]), 2)
        for line in (letter_open_error("F", 5), INCOMPLETE):
            self.assertIn(painted([(YELLOW, line)]), run.output)
        document = json.loads(run_tvx(["/json"], devices=self.devices).stdout)
        self.assertEqual(document["gaps"], [
            {"kind": "letter-open-failed", "drive": None, "partition": None, "letter": "F",
             "error": 5, "message": "Error opening drive F:... Error: 5\n  - access is denied."}])

    def test_one_virtual_disk_is_a_finding(self):
        fat_volume_image(self.entry("T:"))
        self.assertReport(self.scan(), report(open_error(2), virtual_disk("T"), unread=True))

    def test_entries_that_are_not_drive_letters_are_never_opened(self):
        """Only "A:" to "Z:" are letters: lower case, two letters, digits and a bare letter are
        other names, and must not show up as drives; each, an image of 8 MiB, is said not to
        have been examined, in name order."""
        names = ("c:", "AA:", "1:", "C", "[:", "@:")
        for name in names:
            fat_volume_image(self.entry(name))
        unexamined = b"".join(not_examined(name) for name in sorted(names))
        self.assertReport(self.scan(), report(open_error(2) + unexamined, unread=True))


if __name__ == "__main__":
    run_file()
