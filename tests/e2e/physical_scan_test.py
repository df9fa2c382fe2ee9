"""The physical drive pass over device folders: the sector-0 rules in their order, drive 0's open
and read failures, missing and unreadable drives, and the pause after every drive."""

import os
import re
import subprocess
import tempfile
import time

from tvxtest import *

# An ordinary disk: an sfdisk table with one FAT16 partition that mkfs.fat labelled "RULE E".
# Its identity lines show that the partition pass ran for a drive.
DISK_SIZE = 8 * MIB
RULE_E_LINES = (b"mkfs.fat", b"RULE E     ")


def ordinary_disk(path):
    return partitioned_image(path, DISK_SIZE, "dos",
                             [Part(2048, 8192, "6", fat_volume(16, "RULE E"))])


def partition_pass(n):
    return label_lines(n, 1, *RULE_E_LINES)


def rewritten_disk(change):
    """Returns a builder of an ordinary disk whose sector 0 is then replaced by change(sector 0)."""
    def build(path):
        ordinary_disk(path)
        write_at(path, 0, change(read_at(path, 0, SECTOR)))
    return build


def put(sector, offset, data):
    """Returns `sector` with `data` written over it at `offset`."""
    return sector[:offset] + data + sector[offset + len(data):]


def patched_disk(*patches):
    """Returns a builder of an ordinary disk whose sector 0 then gets each (offset, bytes)."""
    def change(sector):
        for offset, data in patches:
            sector = put(sector, offset, data)
        return sector
    return rewritten_disk(change)


# Windows' own boot sectors carry code and messages where a partition table would lie; these
# bytes stand in for them (entry 1 would start at sector 1), so that a partition pass run by
# mistake on a volume boot sector prints something.
BOOT_CODE_AT_ENTRIES = (454, b"\x01\x00\x00\x00")


def unpartitioned(bits, oem=None, size=DISK_SIZE):
    """Returns a builder of a disk formatted by mkfs.fat without a partition table."""
    def build(path):
        sparse_file(path, size)
        mkfs_fat(path, 0, size // SECTOR, bits, "WHOLE", extra=("-s", "1"))
        if oem is not None:
            set_oem_id(path, 0, oem)
        write_at(path, *BOOT_CODE_AT_ENTRIES)
    return build


def unpartitioned_ntfs(path):
    sparse_file(path, 8 * MIB)
    mkntfs(path, 0, 8 * MIB // SECTOR)
    write_at(path, *BOOT_CODE_AT_ENTRIES)


def short_image(length):
    def build(path):
        with open(path, "wb") as f:
            f.write(ordinary_sector0()[:length])
    return build


def ordinary_sector0():
    with tempfile.TemporaryDirectory() as scratch:
        path = ordinary_disk(os.path.join(scratch, "disk"))
        return read_at(path, 0, SECTOR)


# Sixteen drives, one run: (what sector 0 holds, builder or None for no entry, expected lines).
SECTOR_ZERO_CASES = [
    ("a: the boot loader's name, with PGP and TrueCrypt elsewhere too",
     rewritten_disk(lambda s: truecrypt_boot_loader_mbr(put(s, 300, b"PGP TrueCrypt"))),
     truecrypt_loader(0)),
    ("b: PGPGUARD at byte 3, TrueCrypt elsewhere too",
     rewritten_disk(lambda s: pgp_guard_mbr(put(s, 200, b"TrueCrypt"))),
     pgp_guard(1)),
    ("c: PGP inside the start field of entry 2", patched_disk((470, b"PGP")), pgp_elsewhere(2)),
    ("c before d: TrueCrypt at 100, PGP at 300",
     patched_disk((100, b"TrueCrypt"), (300, b"PGP")), pgp_elsewhere(3)),
    ("d: TrueCrypt ending at byte 509", patched_disk((501, b"TrueCrypt")), truecrypt_elsewhere(4)),
    ("c: PGP in the last three bytes", patched_disk((509, b"PGP")), pgp_elsewhere(5)),
    ("e: the marks in lower case",
     patched_disk((3, b"pgpguard"), (100, b"truecrypt boot loader"), (300, b"Pgp pgP")),
     partition_pass(6)),
    ("d: the boot loader's name one byte late",
     patched_disk((7, b"TrueCrypt Boot Loader")), truecrypt_elsewhere(7)),
    ("c: PGPGUARD one byte late", patched_disk((4, b"PGPGUARD")), pgp_elsewhere(8)),
    ("f: NTFS without a partition table (mkntfs)", unpartitioned_ntfs, b""),
    ("f: OEM field MSDOS5.0 (mkfs.fat -F 16)", unpartitioned(16, b"MSDOS5.0"), b""),
    ("f: OEM field MSWIN4.1 (mkfs.fat -F 32)", unpartitioned(32, b"MSWIN4.1", 40 * MIB), b""),
    ("no entry between present drives", None, b""),
    ("e: OEM field NTFX", patched_disk((3, b"NTFX")), partition_pass(13)),
    ("e: OEM field msdos5.0 in lower case", patched_disk((3, b"msdos5.0")), partition_pass(14)),
    ("511 bytes: a short read, end of file", short_image(511), read_error_drive0(38, 15)),
]


class SectorZeroRulesTest(ScanFolderTest):
    def test_each_rule_on_its_own_drive(self):
        expected = b""
        for n, (what, build, lines) in enumerate(SECTOR_ZERO_CASES):
            if build is not None:
                build(self.entry("PhysicalDrive%d" % n))
            expected += lines
        # Drive 15 was not read: the findings may not be all there is.
        self.assertReport(self.scan(), report(expected, found=True, incomplete=True))

    def test_every_finding_alone_suppresses_the_closing_line(self):
        for n, (what, build, lines) in enumerate(SECTOR_ZERO_CASES):
            if not lines.startswith(b"\r\nPhysicalDrive%d contains" % n):
                continue
            with self.subTest(what):
                folder = self.case_folder(n)
                build(os.path.join(folder, "PhysicalDrive0"))
                finding = lines.replace(b"PhysicalDrive%d" % n, b"PhysicalDrive0")
                self.assertReport(self.scan(devices=folder), report(finding, found=True))

    def case_folder(self, name):
        """Returns a new, empty device folder inside this test's folder."""
        folder = self.entry("case-%s" % name)
        os.mkdir(folder)
        return folder


class DriveZeroTest(ScanFolderTest):
    """Drive 0's failures are reported, with the system's code, and drives 1 to 15 still run;
    whatever the failure, drive 0 was not read, so the run cannot call the machine clean."""

    def test_failures_of_drive_zero(self):
        def fifo(path):
            os.mkfifo(path)

        cases = [
            ("missing", None, open_error(2)),
            ("a dangling link", lambda p: os.symlink("PhysicalDrive0.gone", p),
             open_error(2, link="PhysicalDrive0.gone")),
            ("a folder", os.mkdir, open_error(5)),
            ("a FIFO, which is never opened", fifo, open_error(5)),
            ("a link to a character device", lambda p: os.symlink("/dev/null", p), open_error(5)),
            ("an empty image", short_image(0), read_error_drive0(38)),
            ("511 bytes", short_image(511), read_error_drive0(38)),
            ("a link to an ordinary disk", lambda p: os.symlink(
                ordinary_disk(self.entry("disk.img")), p), partition_pass(0)),
        ]
        for i, (what, build, lines) in enumerate(cases):
            with self.subTest(what):
                folder = self.entry("case-%d" % i)
                os.mkdir(folder)
                if build is not None:
                    build(os.path.join(folder, "PhysicalDrive0"))
                ordinary_disk(os.path.join(folder, "PhysicalDrive1"))
                ordinary_disk(os.path.join(folder, "PhysicalDrive15"))
                self.assertReport(self.scan(devices=folder, timeout=20),
                                  report(lines + partition_pass(1) + partition_pass(15),
                                         incomplete="ordinary disk" not in what))
                self.assertEqual(self.last_status, 0 if "ordinary disk" in what else 2)

    def test_no_drive_at_all(self):
        self.assertReport(self.scan(), report(open_error(2), unread=True))


class PauseTest(ScanFolderTest):
    def test_ten_milliseconds_after_every_drive(self):
        """Under strace: for every drive, its lookup, then (when it opened) its close, then one
        10 ms sleep, before the next drive is looked at; the last sleep before the folder's
        entries are looked at, and those before the letters."""
        if not have("strace"):
            self.skipTest("strace is not installed")
        ordinary_disk(self.entry("PhysicalDrive0"))
        ordinary_disk(self.entry("PhysicalDrive7"))
        write_at(sparse_file(self.entry("PhysicalDrive9"), DISK_SIZE), 0,
                 truecrypt_boot_loader_mbr())
        trace = self.entry("strace.txt")
        started = time.monotonic()
        result = subprocess.run(
            ["strace", "-f", "-qq", "-o", trace, "-e",
             "trace=%%stat,open,openat,close,nanosleep,clock_nanosleep", TVX, "/batch"],
            # LeakSanitizer cannot run under ptrace; the other tests look for leaks.
            env=dict(os.environ, TVX_DEVICES=self.devices,
                     ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if not os.path.exists(trace) or os.path.getsize(trace) == 0:
            self.skipTest("strace cannot trace here: %r" % result.stderr)
        self.assertEqual(result.returncode, 3, result.stderr)
        self.assertGreaterEqual(time.monotonic() - started, 0.16)

        events = []  # ("drive", n), ("letter", L), ("open", fd), ("close", fd), ("sleep",)
        drive_fd = None
        folder = re.escape(self.devices)
        looks = re.compile(r"(newfstatat|fstatat64|statx|stat64|stat)\(")
        for line in strace_lines(trace):
            drive = re.search(folder + r'/PhysicalDrive(\d+)"', line)
            letter = re.search(folder + r'/([A-Z]):"', line)
            if drive and looks.match(line):
                # A drive may be looked at more than once (whether a missing one is a dangling
                # link): one lookup in a row is what counts.
                if events[-1:] != [("drive", int(drive.group(1)))]:
                    events.append(("drive", int(drive.group(1))))
            elif drive and re.match(r"open(at)?\(", line):
                drive_fd = int(line.rsplit("=", 1)[1])
                events.append(("open", drive_fd))
            elif letter and looks.match(line):
                events.append(("letter", letter.group(1)))
            elif line.startswith("close(%s)" % drive_fd):
                events.append(("close", drive_fd))
                drive_fd = None
            elif "nanosleep" in line and "tv_sec=0, tv_nsec=10000000" in line:
                events.append(("sleep",))
        expected = []
        for n in range(16):
            expected.append(("drive", n))
            if n in (0, 7, 9):
                expected += [("open", None), ("close", None)]
            expected.append(("sleep",))
        # Past drive 15 only the drives the folder lists: none here. Then the folder's entries
        # are looked at, each once, for evidence that no drive read; then the letters.
        events = [(e[0], None) if e[0] in ("open", "close") else e for e in events]
        self.assertEqual(events[:len(expected)], expected)
        entries = events[len(expected):len(expected) + 3]
        self.assertEqual(sorted(entries), [("drive", 0), ("drive", 7), ("drive", 9)])
        self.assertEqual(events[len(expected) + 3], ("letter", "A"))
        self.assertEqual(events.count(("sleep",)), 16)

    def test_run_takes_the_sixteen_pauses(self):
        started = time.monotonic()
        self.scan()
        self.assertGreaterEqual(time.monotonic() - started, 16 * 0.010)


if __name__ == "__main__":
    run_file()
