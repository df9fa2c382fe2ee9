"""Acquired images in the device folder: a raw case converted with qemu-img (VHD, VHDX, VMDK,
QCOW2) and ewfacquire (E01 in several segments) gives the raw case's report byte for byte; a
single image named by TVX_DEVICES is PhysicalDrive0; containers that cannot be read (an E01
missing a segment, a truncated QCOW2, AFF, VDI, DMG, any image whose library is missing) are
refused, never read as raw disks; each image library is loaded only when an image of its format
is met."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from tvxtest import *

RANDOM_SEED = "images drive 0"
# Each format's library, and the format as the report names it.
LIBRARIES = {"E01": (b"libewf.so.2", b"E01"), "VHD": (b"libvhdi.so.1", b"VHD"),
             "VHDX": (b"libvhdi.so.1", b"VHDX"), "VMDK": (b"libvmdk.so.1", b"VMDK"),
             "QCOW2": (b"libqcow.so.1", b"QCOW")}
SONAMES = sorted(set(soname.decode() for soname, _ in LIBRARIES.values()))


def golden_drives(folder):
    """Builds the raw case in `folder`: PhysicalDrive0, an MBR disk with a labelled FAT16 volume,
    a BitLocker volume and a random-filled container; PhysicalDrive1, a GPT disk with a FAT16
    volume. Returns the drives' lines of a scan of the folder."""
    drive0 = partitioned_image(os.path.join(folder, "PhysicalDrive0"), 16 * MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "EVIDENCE")),
        Part(10240, 8192, "7", bitlocker_volume()),
        Part(18432, 8192, "da", random_fill(RANDOM_SEED, limit=5 * MIB // 2)),
    ])
    partitioned_image(os.path.join(folder, "PhysicalDrive1"), 8 * MIB, "gpt", [
        Part(2048, 6144, GPT_BASIC_DATA, fat_volume(16, "GPTVOL")),
    ])
    random_oem = read_at(drive0, 18432 * SECTOR + 3, 8)
    return (label_lines(0, 1, b"mkfs.fat", b"EVIDENCE   ") +
            oem_line(0, 2, b"-FVE-FS-") + bitlocker(0, 2) +
            oem_line(0, 3, random_oem) + damaged(0, 3) +
            label_lines(1, 1, b"mkfs.fat", b"GPTVOL     "))


def refused(format_name, reason):
    """The line that shows drive 0 refused as an image this build cannot read."""
    return (b"\r\nPhysicalDrive0 is a " + format_name + b" image that TVX cannot read: " +
            reason + b".\r\n")


def library_file(soname):
    """Returns the file the dynamic loader finds for `soname`, from ldconfig's cache, or None."""
    listing = subprocess.run(["/sbin/ldconfig", "-p"], stdout=subprocess.PIPE).stdout
    for line in listing.splitlines():
        name, _, path = line.strip().partition(b" => ")
        if name.split(b" ")[0] == soname:
            return path
    return None


def run_without(soname, devices):
    """Runs `tvx /batch` over `devices` as on a machine without the library `soname`: in a mount
    namespace of its own, /dev/null is bound over the file the loader finds for it, which dlopen
    then refuses. Returns the CompletedProcess, or a reason to skip."""
    path = library_file(soname)
    if not is_root() or not have("unshare") or path is None:
        return "needs root, unshare and %s installed" % soname.decode()
    command = ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
               'mount --bind /dev/null "$0" && exec "$@"', path, TVX, "/batch"]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=tvx_environment(devices), timeout=60)
    if result.returncode not in (0, 2, 3):
        return "cannot hide a library here: %r" % result.stderr
    return result


def libraries_opened(devices):
    """Runs `tvx /batch` over `devices` under strace; returns the image libraries it opened
    (their sonames), or None without strace."""
    if not have("strace"):
        return None
    with tempfile.TemporaryDirectory(prefix="tvx-trace-") as scratch:
        trace = os.path.join(scratch, "trace")
        subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat", "-o", trace, TVX, "/batch"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env=tvx_environment(devices), timeout=60)
        with open(trace) as f:
            text = f.read()
    return {soname for soname in SONAMES if soname in text}


class ImagesTest(ScanFolderTest):
    @classmethod
    def setUpClass(cls):
        missing = container_tools_missing()
        if missing:
            raise unittest.SkipTest(missing)
        # The raw case and every conversion of it, made once for all tests.
        cls._store = tempfile.TemporaryDirectory(prefix="tvx-images-")
        cls.store = cls._store.name
        cls.raw = os.path.join(cls.store, "raw")
        os.mkdir(cls.raw)
        cls.raw_lines = golden_drives(cls.raw)
        cls.raw_report = report(cls.raw_lines, found=True)
        cls.images = {}  # format: [drive 0's image, drive 1's image]
        for name, kind in QEMU_FORMATS.items():
            cls.images[name] = [
                qemu_image(os.path.join(cls.raw, "PhysicalDrive%d" % n), kind,
                           os.path.join(cls.store, "disk%d.%s" % (n, kind))) for n in range(2)]
        cls.segments = [ewf_image(os.path.join(cls.raw, "PhysicalDrive%d" % n),
                                  os.path.join(cls.store, "disk%d" % n)) for n in range(2)]
        cls.images["E01"] = [segments[0] for segments in cls.segments]

    @classmethod
    def tearDownClass(cls):
        cls._store.cleanup()

    def folder_of_links(self, name, targets):
        """Makes a device folder `name` whose PhysicalDrive0, 1, ... link to `targets`."""
        folder = self.entry(name)
        os.mkdir(folder)
        for n, target in enumerate(targets):
            os.symlink(target, os.path.join(folder, "PhysicalDrive%d" % n))
        return folder

    def refused_alone(self, name, image, format_name, reason):
        """Scans a folder whose only drive is `image`: drive 0 is refused with its line, none of
        its partitions is examined, and the run, having read nothing, gives no all-clear."""
        folder = self.folder_of_links(name, [image])
        self.assertReport(self.scan(devices=folder),
                          report(refused(format_name, reason), unread=True))
        self.assertEqual(self.last_status, 2)

    def test_every_format_reports_as_the_raw_case(self):
        self.assertReport(self.scan(devices=self.raw), self.raw_report)
        self.assertGreaterEqual(len(self.segments[0]), 3, "drive 0's E01 has too few segments")
        for name, images in self.images.items():
            with self.subTest(format=name):
                folder = self.folder_of_links(name, images)
                self.assertReport(self.scan(devices=folder), self.raw_report)

    def test_the_files_of_an_image_read_are_no_unexamined_entries(self):
        """A case folder as an examiner leaves it: drive 0's E01 segments, drive 1's VMDK (a
        descriptor and its flat extent) and drive 2's E01 of random bytes in segments of 2 MiB
        beside the drive links, with notes and a hash. Every segment and extent was read as
        part of its drive, none is said. A stray segment of another image and an image nothing
        links to are said not examined, in name order, and leave the run incomplete."""
        folder = self.entry("case")
        os.mkdir(folder)
        for segment in self.segments[0]:
            os.link(segment, os.path.join(folder, os.path.basename(segment)))
        qemu_image(os.path.join(self.raw, "PhysicalDrive1"), "vmdk",
                   os.path.join(folder, "disk1.vmdk"), "subformat=monolithicFlat")
        random_raw = self.entry("random.dd")
        with open(random_raw, "wb") as f:
            f.write(random_bytes(6 * MIB, "segments of 2 MiB"))
        segments = ewf_image(random_raw, os.path.join(folder, "disk2"), "2MiB")
        # Files of 1 MiB or more, and a flat extent named .vmdk: each would be said, unread.
        self.assertGreaterEqual(min(os.path.getsize(path) for path in segments[:2]), MIB)
        self.assertTrue(os.path.exists(os.path.join(folder, "disk1-flat.vmdk")))
        for n, image in enumerate(("disk0.E01", "disk1.vmdk", "disk2.E01")):
            os.symlink(image, os.path.join(folder, "PhysicalDrive%d" % n))
        for name, text in (("notes.txt", b"seized 09:12\n"), ("disk0.E01.md5", b"0" * 32)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(text)
        lines = self.raw_lines + no_partition_table(2)
        self.assertReport(self.scan(devices=folder), report(lines, found=True))

        shutil.copy(self.segments[0][1], os.path.join(folder, "other.E01"))
        sparse_file(os.path.join(folder, "laptop.raw"), MIB)
        self.assertReport(self.scan(devices=folder),
                          report(lines + not_examined("laptop.raw") + not_examined("other.E01"),
                                 found=True, incomplete=True))

    def test_a_single_image_is_physical_drive_0_with_no_letters(self):
        drive0 = report_lines(self.raw_report)
        expected = run_tvx(["/batch"], devices=os.path.join(self.raw, "PhysicalDrive0")).stdout
        self.assertNotIn(b"PhysicalDrive1", expected)
        self.assertIn(bitlocker(0, 2), expected)
        self.assertTrue(set(report_lines(expected)) <= set(drive0))
        for name in ("E01", "VMDK", "QCOW2"):
            with self.subTest(format=name):
                self.assertReport(self.scan(devices=self.images[name][0]), expected)

    def test_a_truncated_image_shows_what_it_lost(self):
        """A raw image cut off at 10 MiB, inside its extended partition, and an E01 made from it:
        the second extended boot record, with the BitLocker volume it names, lies past the end.
        Its read fails with end of file (38), is said, and leaves the run incomplete, where
        zeros in its place once ended the chain in silence and gave the all-clear; the drive is
        said to end before the sectors its table reaches."""
        raw = partitioned_image(self.entry("cut.dd"), 16 * MIB, "dos", [
            Part(2048, 8192, "6", fat_volume(16, "PRIMARY")),
            Part(10240, 20480, "5"),
            Part(12288, 8192, "6", fat_volume(16, "LOGICAL")),
            Part(22528, 4096, "7", bitlocker_volume()),
        ])
        os.truncate(raw, 10 * MIB)
        expected = report(sector_read_error(38, "PhysicalDrive0, an extended boot record", 20480) +
                          label_lines(0, 1, b"mkfs.fat", b"PRIMARY    ") +
                          oem_line(0, 2, b"\0" * 8) + label_lines(0, 5, b"mkfs.fat", b"LOGICAL    ") +
                          shorter_than_table(0, 20480, 30719), incomplete=True)
        e01 = ewf_image(raw, self.entry("cut"))[0]
        for name, image in (("raw", raw), ("E01", e01)):
            with self.subTest(format=name):
                self.assertReport(self.scan(devices=self.folder_of_links(name, [image])), expected)
                self.assertEqual(self.last_status, 2)

    def unreadable_cases(self):
        """Returns (name, image, format) for each container that must be refused."""
        cases = []
        # An E01 whose second segment is gone.
        partial = os.path.join(self.entry("partial"))
        os.mkdir(partial)
        for segment in self.segments[0]:
            if not segment.endswith(".E02"):
                shutil.copy(segment, partial)
        cases.append(("e01-gap", os.path.join(partial, "disk0.E01"), b"E01",
                      b"its other segments are missing"))
        # A QCOW2 cut off before the cluster that holds the disk's first sector.
        truncated = shutil.copy(self.images["QCOW2"][0], self.entry("truncated.qcow2"))
        extents = json.loads(tool("qemu-img", "map", "--output=json", truncated))
        os.truncate(truncated, next(e["offset"] for e in extents if e["start"] == 0))
        cases.append(("qcow2-truncated", truncated, b"QCOW",
                      b"invalid entry index value out of bounds"))
        # Formats this build has no library for, over the raw disk's own bytes: read as raw,
        # each would show drive 0's partitions.
        raw0 = os.path.join(self.raw, "PhysicalDrive0")
        for name, offset, data in (
                ("AFF", 0, b"AFF10\r\n\0"),
                ("VDI", 0, b"<<< Oracle VM VirtualBox Disk Image >>>\n".ljust(64, b"\0") +
                 b"\x7F\x10\xDA\xBE"),
                ("DMG", os.path.getsize(raw0) - SECTOR, b"koly\0\0\0\x04")):
            copy = shutil.copy(raw0, self.entry(name + ".img"))
            write_at(copy, offset, data)
            cases.append((name, copy, name.encode(), b"this format is not supported"))
        return cases

    def test_a_missing_library_makes_its_images_unreadable(self):
        # Drive 0 in the format whose library is hidden; drive 1, a raw disk, still reads.
        drive1 = label_lines(1, 1, b"mkfs.fat", b"GPTVOL     ")
        for name, (soname, format_name) in LIBRARIES.items():
            with self.subTest(format=name):
                folder = self.folder_of_links(name + "-alone", [
                    self.images[name][0], os.path.join(self.raw, "PhysicalDrive1")])
                result = run_without(soname, folder)
                if isinstance(result, str):
                    self.skipTest(result)
                self.assertEqual(result.stderr, b"")
                reason = b"the %s library (%s) is not installed" % (format_name, soname)
                self.last_status = result.returncode
                self.assertReport(result.stdout, report(refused(format_name, reason) + drive1,
                                                          incomplete=True))

    def test_libraries_are_loaded_only_for_their_images(self):
        cases = [("raw", self.raw, set())]
        for name in ("E01", "VHDX", "QCOW2"):
            folder = self.folder_of_links(name + "-traced", self.images[name])
            cases.append((name, folder, {LIBRARIES[name][0].decode()}))
        for name, folder, expected in cases:
            with self.subTest(folder=name):
                opened = libraries_opened(folder)
                if opened is None:
                    self.skipTest("strace is not installed")
                self.assertEqual(opened, expected)

    def test_unreadable_containers_are_refused(self):
        for name, image, format_name, reason in self.unreadable_cases():
            with self.subTest(case=name):
                self.refused_alone(name, image, format_name, reason)


if __name__ == "__main__":
    run_file()
