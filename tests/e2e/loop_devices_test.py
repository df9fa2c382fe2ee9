"""Block devices in a device folder, as root: partitioned images attached with losetup, so that
both passes read real block devices and the device number query answers from what each letter
really is; encrypted partitions on them are said to be open now or not, where the same disk read
from its image file has no "now"."""

import json
import os
import subprocess
import tempfile
import time

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


KEY = b"tharvex test key"
# LVM and cryptsetup make their own device nodes, rather than waiting on a udev that may not run.
NO_UDEV = dict(os.environ, DM_DISABLE_UDEV="1")


def luks_format(device):
    """Formats `device` as LUKS2 with the fastest key derivation cryptsetup accepts."""
    tool("cryptsetup", "luksFormat", "--batch-mode", "--type", "luks2", "--pbkdf", "pbkdf2",
         "--pbkdf-force-iterations", "1000", "--key-file", "-", device, input=KEY, env=NO_UDEV)


def encrypted_disk(path):
    """An MBR disk whose first partition is to be made LUKS and whose second is BitLocker."""
    return partitioned_image(path, 48 * MIB, "dos", [
        Part(2048, 32768, "83"),
        Part(34816, 8192, "7", bitlocker_volume()),
    ])


def lvm_disk(path):
    return partitioned_image(path, 24 * MIB, "dos", [Part(2048, 40960, "8e")])


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

    def attach_disk(self, name, build, partitions, prepare=lambda device: None):
        """Builds an image with `build`, attaches it, lets `prepare(device)` write to it, and
        watches it from then on for changes made by the scanner. Returns (device, image)."""
        image = build(os.path.join(self.images.name, name))
        device = attach(self, image, partitions)
        prepare(device)
        self.sums[image] = image_checksum(image)
        return device, image

    def encrypted_drive_lines(self, image, n, live, first_note=NOT_OPEN_NOW):
        luks_oem = read_at(image, 2048 * SECTOR + 3, 8)
        # The LUKS header says how it opens again whether or not the drive is live.
        return (oem_line(n, 1, luks_oem) + luks(n, 1) + (first_note if live else b"") +
                unlocked_with("passphrase or key file") + oem_line(n, 2, b"-FVE-FS-") + bitlocker(n, 2) + (NOT_OPEN_NOW if live else b""))

    def need(self, *tools):
        for command in tools:
            if not have(command):
                self.skipTest("%s is not installed" % command)

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
        is missing, so the run is not complete. Only letters on drives of the folder get
        located."""
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
        self.assertReport(self.scan(), report(physical, logical, incomplete=True))

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

    def test_encrypted_partitions_say_whether_they_are_open_now(self):
        """A LUKS partition made by cryptsetup and a BitLocker partition, on a block device: each
        is not open now. The same disk read from its image file has no "now": no line, and
        `open` null in the JSON report, where each drive names its device or file."""
        self.need("cryptsetup")
        device, image = self.attach_disk("encrypted.img", encrypted_disk, 2,
                                         lambda device: luks_format(device + "p1"))
        self.link("PhysicalDrive0", device)
        self.link("PhysicalDrive1", image)
        physical = (self.encrypted_drive_lines(image, 0, live=True) +
                    self.encrypted_drive_lines(image, 1, live=False))
        self.assertReport(self.scan(), report(physical, found=True))

        document = json.loads(self.scan(("/json",)))
        self.assertEqual([(f["kind"], f["drive"], f["open"], f["readableThrough"])
                          for f in document["findings"]],
                         [("luks", 0, False, []), ("bitlocker", 0, False, []),
                          ("luks", 1, None, []), ("bitlocker", 1, None, [])])
        self.assertEqual([d["source"] for d in document["drives"]],
                         [os.path.realpath(device), os.path.realpath(image)])

    def test_an_open_luks_partition_is_open_now(self):
        """Opened with cryptsetup, the LUKS partition is open now, its contents readable through
        its mapping; a letter on the mapping is the open LUKS volume on that partition."""
        self.need("cryptsetup")
        reason = device_mapper_available()
        if reason is not None:
            self.skipTest(reason)
        name = "tvx-open-%d" % os.getpid()
        device, image = self.attach_disk("encrypted.img", encrypted_disk, 2,
                                         lambda device: luks_format(device + "p1"))
        tool("cryptsetup", "open", "--key-file", "-", device + "p1", name, input=KEY,
             env=NO_UDEV)
        self.addCleanup(subprocess.run, ["cryptsetup", "close", name], env=NO_UDEV,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.link("PhysicalDrive0", device)
        self.link("C:", "/dev/mapper/" + name)
        physical = self.encrypted_drive_lines(image, 0, live=True,
                                              first_note=open_now("/dev/mapper/" + name))
        logical = (virtual_disk("C") +
                   b"  - it is an open LUKS volume on PhysicalDrive0, Partition #1.\r\n")
        self.assertReport(self.scan(), report(physical, logical, found=True))
        document = json.loads(self.scan(("/json",)))
        self.assertEqual((document["findings"][0]["open"], document["findings"][0]["readableThrough"]),
                         (True, ["/dev/mapper/" + name]))
        # The device named alone by TVX_DEVICES is PhysicalDrive0, and there are no letters.
        self.assertReport(run_tvx(["/batch"], devices=device).stdout, report(physical, found=True))

    def test_a_letter_on_plain_lvm_is_located(self):
        """A logical volume of plain LVM (no encryption) on a partition of a drive of the run
        lives on no device of its own, yet is no virtual disk: it lies on that partition."""
        self.need("lvm")
        reason = device_mapper_available()
        if reason is not None:
            self.skipTest(reason)
        group = "tvx%d" % os.getpid()

        def make_volume(device):
            for command in (["pvcreate", "-ff", "-y", device + "p1"],
                            ["vgcreate", group, device + "p1"],
                            ["lvcreate", "-y", "-Zn", "-L", "4M", "-n", "data", group]):
                tool("lvm", *command, env=NO_UDEV)
            self.addCleanup(subprocess.run, ["lvm", "vgremove", "-f", group], env=NO_UDEV,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        device, image = self.attach_disk("lvm.img", lvm_disk, 1, make_volume)
        self.link("PhysicalDrive0", device)
        self.link("C:", "/dev/mapper/%s-data" % group)
        physical = oem_line(0, 1, b"\0" * 8) + file_system(0, 1, "LVM2 physical volume")
        self.assertReport(self.scan(), report(physical, lies_on("C", (0, 1))))
        document = json.loads(self.scan(("/json",)))
        self.assertEqual(document["volumes"][0]["liesOn"], [{"drive": 0, "partition": 1}])


if __name__ == "__main__":
    run_file()
