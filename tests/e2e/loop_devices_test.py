"""Block devices in a device folder, as root: partitioned images attached with losetup, so that
both passes read real block devices and the device number query answers from what each letter
really is."""

import os
import subprocess
import tempfile
import time
import unittest

from tvxtest import *


def loop_devices_unavailable():
    """Returns why loop devices cannot be used here, or None when they can."""
    if not is_root():
        return "needs root to attach loop devices"
    for command in ("losetup", "partx"):
        if not have(command):
            return "%s is not installed" % command
    if subprocess.run(["losetup", "-f"], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode != 0:
        return "losetup -f finds no free loop device"
    return None


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def attach(test, image, partitions):
    """Attaches `image` to a free loop device with its partitions scanned (partx -a when the
    kernel does not add them by itself) and registers its detaching with `test`, so that it is
    detached even when the test fails. Returns the loop device's path."""
    device = tool("losetup", "-f", "--show", "-P", image).decode().strip()
    test.addCleanup(detach, device)
    nodes = ["%sp%d" % (device, p) for p in range(1, partitions + 1)]
    if not wait_for(lambda: all(os.path.exists(node) for node in nodes), 0.1):
        subprocess.run(["partx", "-a", device], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    if not wait_for(lambda: all(os.path.exists(node) for node in nodes), 5):
        test.fail("the partitions of %s did not appear: %s" % (device, nodes))
    return device


def detach(device):
    subprocess.run(["partx", "-d", device], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(50):
        if subprocess.run(["losetup", "-d", device], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return
        time.sleep(0.1)  # still busy: an opener may not have let go yet
    raise RuntimeError("could not detach %s" % device)


def first_disk(path):
    return partitioned_image(path, 24 * MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "LOOP ONE")),
        Part(10240, 16384, "7", ntfs_volume()),
    ])


def second_disk(path):
    return partitioned_image(path, 8 * MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "LOOP TWO"))])


def first_disk_lines(n):
    return label_lines(n, 1, b"mkfs.fat", b"LOOP ONE   ") + oem_line(n, 2, b"NTFS    ")


def second_disk_lines(n):
    return label_lines(n, 1, b"mkfs.fat", b"LOOP TWO   ")


class LoopDeviceTest(ScanFolderTest):
    def setUp(self):
        reason = loop_devices_unavailable()
        if reason is not None:
            self.skipTest(reason)
        super().setUp()
        self.images = tempfile.TemporaryDirectory(prefix="tvx-loop-images-")
        self.addCleanup(self.images.cleanup)  # runs after the loop devices are detached
        first = first_disk(os.path.join(self.images.name, "first.img"))
        second = second_disk(os.path.join(self.images.name, "second.img"))
        self.sums = {path: image_checksum(path) for path in (first, second)}
        self.first = attach(self, first, 2)
        self.second = attach(self, second, 1)

    def tearDown(self):
        super().tearDown()
        for path, checksum in self.sums.items():
            self.assertEqual(image_checksum(path), checksum, "%s changed" % path)

    def test_letters_on_drive_zero(self):
        """C: the second partition, D: the whole disk, F: the first partition; E: an image and
        G:, H: a partition and the whole of a disk that is no physical drive of the folder, all
        three virtual disks. E: follows D:, and F: follows E:, so an answer that leaked into
        the next letter, or a reset that was missed, would show."""
        self.link("PhysicalDrive0", self.first)
        self.link("C:", self.first + "p2")
        self.link("D:", self.first)
        self.image("E:", MIB)
        self.link("F:", self.first + "p1")
        self.link("G:", self.second + "p1")
        self.link("H:", self.second)
        logical = (located("C", 0, 2) + located("D", 0, 0) + virtual_disk("E") +
                   located("F", 0, 1) + virtual_disk("G") + virtual_disk("H"))
        self.assertReport(self.scan(), report(first_disk_lines(0), logical, found=True))
        self.assertIn(b"Drive C: is located on PhysicalDrive0, Partition #2.\r\n", logical)
        self.assertIn(b"Drive D: is located on PhysicalDrive0, Partition #0.\r\n", logical)

    def test_drive_numbers_come_from_the_folder(self):
        """The same devices as PhysicalDrive3 and PhysicalDrive5, behind links to links; drive 0
        is missing. Only letters on drives of the folder get located."""
        self.link("first", self.first)
        self.link("PhysicalDrive3", self.entry("first"))
        self.link("PhysicalDrive5", self.second)
        self.link("A:", self.second + "p1")
        self.link("C:", self.first + "p2")
        self.link("Q:", self.first)
        self.link("R:", self.second)
        logical = (located("A", 5, 1) + located("C", 3, 2) + located("Q", 3, 0) +
                   located("R", 5, 0))
        physical = open_error(2) + first_disk_lines(3) + second_disk_lines(5)
        self.assertReport(self.scan(), report(physical, logical))

    def test_partition_as_a_drive(self):
        """A partition linked as a physical drive: its sector 0 is the FAT16 boot sector, no
        partition table (its entries hold no start), so the drive is one FAT volume; the letter
        on that partition names its real disk, which the folder does not hold."""
        self.link("PhysicalDrive0", self.second)
        self.link("PhysicalDrive1", self.second + "p1")
        self.link("C:", self.second + "p1")
        boot = read_at(os.path.join(self.images.name, "second.img"), 2048 * SECTOR, SECTOR)
        starts = [int.from_bytes(boot[o:o + 4], "little") for o in (454, 470, 486, 502)]
        self.assertEqual(starts, [0, 0, 0, 0], "mkfs.fat's boot code changed; rethink this test")
        self.assertReport(self.scan(), report(second_disk_lines(0) + disk_file_system(1, "FAT"),
                                              located("C", 0, 1)))


if __name__ == "__main__":
    unittest.main(verbosity=2)
