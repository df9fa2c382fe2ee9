"""Shared helpers for the end-to-end tests: running the scanner, building disk images with real
tools, and the exact texts of the report."""

import contextlib
import fcntl
import hashlib
import json
import multiprocessing
import os
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TVX = os.environ.get("TVX_BIN", os.path.join(ROOT, "build", "tvx"))
SECTOR = 512

# ---------------------------------------------------------------------------------------------
# Running a test file: a skip is never a pass

# The kernel features a machine may lack, each with the reason a test that needs it gives when it
# skips. These are the only skips a CI run (CI=true) accepts: every other skip (a tool that is
# not installed, not running as root) fails there, since tools/install-deps installs everything.
MISSING_KERNEL_FEATURES = {
    "device-mapper": "the kernel has no device-mapper driver (dmsetup version finds none)",
    "md": "the kernel has no md driver (no /proc/mdstat)",
}
# The exit status that tells CTest a test could not run (its SKIP_RETURN_CODE).
SKIPPED_STATUS = 77


def ci_run():
    """True when the environment says this is a CI run: CI=true."""
    return os.environ.get("CI") == "true"


def sanitized_build():
    """True when TVX_BIN is the sanitizer build (build-asan)."""
    return os.environ.get("TVX_SANITIZED") == "1"


def native_build_only(why):
    """Class decorator: the tests of the class run in the native build only; the sanitizer
    build's run of the file leaves them out, saying `why`. For tests that do not depend on how
    the scanner was built (they build what they check themselves), or cannot run under the
    sanitizers at all. Leaving them out is no skip: the native suite of the same `make test`
    runs them."""
    def mark(cls):
        cls.tvx_native_build_only = why
        return cls
    return mark


def _tests_of(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from _tests_of(item)
        else:
            yield item


def run_file(module="__main__"):
    """Runs a test file's tests (those named on the command line, as Class or Class.test, or
    all), as unittest.main(verbosity=2) does, and exits: 0 when every test
    ran and passed, 1 on any failure, SKIPPED_STATUS (77) when none failed but some were
    skipped, so that CTest lists the file as skipped, not passed. With CI=true a skip whose
    reason is not one of MISSING_KERNEL_FEATURES fails the file instead. Classes marked
    native_build_only are left out of the sanitizer build's run."""
    names = [name for name in sys.argv[1:] if not name.startswith("-")]
    loader = unittest.defaultTestLoader
    loaded = (loader.loadTestsFromNames(names, sys.modules[module]) if names else
              loader.loadTestsFromModule(sys.modules[module]))
    kept, left_out = unittest.TestSuite(), {}
    for test in _tests_of(loaded):
        why = getattr(type(test), "tvx_native_build_only", None)
        if why is not None and sanitized_build():
            left_out[type(test).__name__] = why
        else:
            kept.addTest(test)
    for name, why in sorted(left_out.items()):
        print("not in this build: %s (%s)" % (name, why), file=sys.stderr)
    result = unittest.TextTestRunner(verbosity=2).run(kept)
    if not result.wasSuccessful():
        sys.exit(1)
    if result.testsRun == 0:
        result.skipped.append(("the whole file", "it has no test to run in this build"))
    allowed = set(MISSING_KERNEL_FEATURES.values())
    refused = [(test, why) for test, why in result.skipped if why not in allowed]
    if refused and ci_run():
        print("\nCI=true: these tests were skipped, which a CI run accepts only for the kernel "
              "features in tvxtest.MISSING_KERNEL_FEATURES:", file=sys.stderr)
        for test, why in refused:
            print("  %s: %s" % (test, why), file=sys.stderr)
        sys.exit(1)
    if result.skipped:
        print("\n%d skipped (the file counts as skipped): %s" % (
            len(result.skipped), "; ".join(sorted({why for _, why in result.skipped}))),
            file=sys.stderr)
        sys.exit(SKIPPED_STATUS)
    sys.exit(0)

# ---------------------------------------------------------------------------------------------
# Running the scanner


def run_tvx(args=(), devices=None, env=None, stdin=subprocess.DEVNULL, timeout=60, **kwargs):
    """Runs the scanner with `args` over the device folder `devices` (None: the live system) and
    returns the CompletedProcess, stdout and stderr as bytes."""
    environment = tvx_environment(devices, env)
    return subprocess.run([TVX, *args], stdin=stdin, stdout=kwargs.pop("stdout", subprocess.PIPE),
                          stderr=kwargs.pop("stderr", subprocess.PIPE), env=environment,
                          timeout=timeout, **kwargs)


def run_make(test, *args, env=None, timeout=300):
    """Runs `make -s ARGS...` in the checkout with BUILD set to this build's folder, as a user
    would, and returns the CompletedProcess. Skips `test` when `make` would configure that folder
    differently from how it is (it would rebuild the executable other suites are running)."""
    build = os.path.relpath(os.path.dirname(os.path.abspath(TVX)), ROOT)
    try:
        with open(os.path.join(ROOT, build, "CMakeCache.txt"), encoding="utf-8") as cache:
            configured = "CMAKE_BUILD_TYPE:STRING=RelWithDebInfo\n" in cache.read()
    except OSError:
        configured = False
    if build.startswith("..") or not configured or not have("make"):
        test.skipTest("make builds a RelWithDebInfo folder inside the checkout; %s is not one"
                      % build)
    return subprocess.run(["make", "-s", "BUILD=" + build, *args], cwd=ROOT,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})),
                          timeout=timeout)


def is_root():
    return os.geteuid() == 0


def have(tool):
    return shutil.which(tool) is not None


# ---------------------------------------------------------------------------------------------
# The report's texts, byte for byte

def build_version_defines(binary=None):
    """Returns the #defines of the version.h that the build of `binary` generated next to it
    (default: the executable whose version the tests expect, TVX_VERSION_OF or else TVX), as
    {name: text}: TVX_VERSION "1.1", TVX_FILE_VERSION "1.01", TVX_VERSION_NUMBERS "1, 1, 0, 0".
    The tests take the version from the build, never from a literal. Empty when the header
    cannot be read (the build is missing), so that the texts below name no version."""
    binary = binary or os.environ.get("TVX_VERSION_OF") or TVX
    header = os.path.join(os.path.dirname(os.path.abspath(binary)), "generated", "base",
                          "version.h")
    try:
        with open(header, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return {}
    return {name: value.strip('"') for name, value in
            re.findall(r"^#define (TVX_\w+) (.+)$", text, re.MULTILINE)}


# The version the build gives the program, as its banner, its --version line and its JSON
# report show it: "1.1".
VERSION = build_version_defines().get("TVX_VERSION", "(no version.h next to %s)" % TVX)
VERSION_LINE = b"Tharvex " + VERSION.encode() + b"\r\n"
BANNER = (b"\r\nTharvex v" + VERSION.encode() + b"\r\n"
          b"Written by the Tharvex developers\r\n"
          b"https://tharvex.example.org/\r\n"
          b"// This program comes with no guarantee or warranty.\r\n"
          b"   All risk is assumed by the user. //\r\n")
USAGE = (b"\r\nUsage:\r\n\r\n"
         b"    TVX <options>\r\n\r\n"
         b"Options:\r\n\r\n"
         b"        /?     - What you're reading now.\r\n"
         b"        /batch - No prompt for user input at the end of processing, just exit.\r\n"
         b"        /json  - Write the report as one JSON document, with no prompt.\r\n"
         b"        /version - Show the version of TVX and exit.\r\n\r\n")
PHYSICAL_START = b"\r\n* Checking physical drives on system... *\r\n"
PHYSICAL_END = b"\r\n* Completed checking physical drives on system. *\r\n"
LOGICAL_START = b"\r\n* Now checking logical volumes on system... *\r\n\r\n"
LOGICAL_END = b"\r\n* Completed checking logical volumes on system. *\r\n"
NOTHING_FOUND = (b"\r\nNo TrueCrypt, PGP, or Bitlocker encrypted volumes detectable by TVX "
                 b"were found.\r\n")
UNREAD = (b"\r\nNo physical drive could be read, so this report cannot tell whether\r\n"
          b"encrypted volumes are present.\r\n")
# The same, when a drive refused access and the scanner did not run as root.
UNREAD_ADVICE = UNREAD[:-2] + b" Run TVX as Administrator or root.\r\n"
INCOMPLETE = (b"\r\nSome drives or volumes could not be read in full (see the errors above), so "
              b"this report\r\ncannot tell whether encrypted volumes are present.\r\n")
# The same after a finding: what was not read may hold more.
FOUND_INCOMPLETE = (b"\r\nSome drives or volumes could not be read in full (see the errors above), "
                    b"so more encrypted volumes may be present.\r\n")
PROMPT = (b"\r\nPress any key to continue...\r\n"
          b"(use 'TVX /batch' to bypass this prompt next time)\r\n")


def report(physical=b"", logical=b"", found=False, prompt=False, unread=False, incomplete=False):
    """Returns the whole output of a run whose passes print `physical` and `logical`; `unread`
    when no physical drive could be read (UNREAD_ADVICE to give that text), `incomplete` when
    drives were read but something could not be read (with `found`, that more may be there)."""
    if unread:
        verdict = unread if isinstance(unread, bytes) else UNREAD
    elif found:
        verdict = FOUND_INCOMPLETE if incomplete else b""
    else:
        verdict = INCOMPLETE if incomplete else NOTHING_FOUND
    return (BANNER + PHYSICAL_START + physical + PHYSICAL_END + LOGICAL_START + logical +
            LOGICAL_END + verdict + (PROMPT if prompt else b""))


def expected_status(expected):
    """Returns the exit statuses a run whose whole output is `expected` may end with: 0 for the
    all-clear, 3 when it found something, 2 when not everything could be read, 2 or 3 when no
    drive could be read."""
    if UNREAD[:-2] in expected:
        return (2, 3)
    if FOUND_INCOMPLETE in expected:
        return (3,)
    if INCOMPLETE in expected:
        return (2,)
    return (0,) if expected.endswith(NOTHING_FOUND) or NOTHING_FOUND + PROMPT in expected else (3,)


def b(value):
    return value if isinstance(value, bytes) else str(value).encode()


# What each Windows error code means, as the line after an error line says it.
ERROR_REASONS = {
    2: b"it does not exist", 3: b"its folder does not exist", 5: b"access is denied",
    21: b"the device is not ready", 23: b"the data could not be read: the medium may be failing",
    31: b"the device does not work as a disk", 38: b"the drive ends before it",
    87: b"the sector cannot be addressed", 1117: b"the device reported an input/output error",
}


def reason(code, link=None):
    """The line after an error line: why, in words; for a drive entry that is a link whose
    target does not exist, that target."""
    if link is not None:
        words = b"it is a link to " + b(link) + b", which does not exist"
    else:
        words = ERROR_REASONS.get(code, b"Windows error " + b(code))
    return b"  - " + words + b".\r\n"


def open_error(code, n=0, link=None):
    return (b"\r\nError opening PhysicalDrive" + b(n) + b"... Error: " + b(code) + b"\r\n" +
            reason(code, link))


def read_error_drive0(code, n=0):
    return (b"\r\nError reading PhysicalDrive" + b(n) + b"... Error: " + b(code) + b"\r\n" +
            reason(code))


def sector_read_error(code, place, sector):
    """The lines of a read past a drive's sector 0 that failed with `code` at drive sector
    `sector` of `place` ("PhysicalDrive0, Partition 2", "PhysicalDrive0, its GPT header")."""
    words = ERROR_REASONS.get(code, b"Windows error " + b(code))
    return (b"\r\nError reading drive... Error: " + b(code) + b"\r\n  - at " + b(place) +
            b" (sector " + b(sector) + b"): " + words + b".\r\n")


def letter_open_error(letter, code):
    return (b"Error opening drive " + b(letter) + b":... Error: " + b(code) + b"\r\n" +
            reason(code))


def not_examined(name):
    """The line of a device folder entry that looks like evidence but was not read."""
    return (b"\r\n" + b(name) + b" was not examined: drives are named PhysicalDrive0, "
            b"PhysicalDrive1, ... and drive letters A: to Z:.\r\n")


def timed_out(n, seconds):
    """The line of a drive that did not answer within `seconds`, after what was read of it."""
    return (b"\r\nPhysicalDrive" + b(n) + b" did not answer within " + b(seconds) +
            b" seconds: the rest of it was not examined.\r\n")


def letter_timed_out(letter, seconds):
    return (b"\r\nDrive " + b(letter) + b": did not answer within " + b(seconds) +
            b" seconds: it was not examined.\r\n")


def chain_cut(n):
    return (b"\r\nPhysicalDrive" + b(n) + b" has more logical partitions than TVX reads; the rest "
            b"were not examined.\r\n")


def shorter_than_table(n, sectors, reach):
    """The line of a drive of `sectors` sectors whose table reaches sector `reach`."""
    return (b"\r\nPhysicalDrive" + b(n) + b" holds " + b(sectors) + b" sectors, but its partition "
            b"table reaches sector " + b(reach) + b": what lies past the end was not examined.\r\n")


def size_odd(n, size):
    """The line of a drive of `size` bytes, not a whole number of sectors."""
    return (b"\r\nPhysicalDrive" + b(n) + b" is not a whole number of sectors long (" + b(size) +
            b" bytes): it may not be a disk image, or it was cut short.\r\n")


def not_a_disk(n):
    return (b"\r\nPhysicalDrive" + b(n) + b" holds text, not a disk: its first sector is plain "
            b"text.\r\n")


def gpt_damaged(n):
    return (b"\r\nPhysicalDrive" + b(n) + b" has a GPT protective entry, but neither of its GPT "
            b"headers checks out: its partitions were not examined.\r\n")


def empty_partition(n, p):
    """The line after the OEM ID line of a partition with nothing in its first MiB."""
    return (b"PhysicalDrive" + b(n) + b", Partition " + b(p) +
            b" --- Empty: no data in its first MiB\r\n")


def truecrypt_loader(n):
    return b"\r\nPhysicalDrive" + b(n) + b" contains a TrueCrypt encrypted volume.\r\n"


def veracrypt_loader(n):
    return b"\r\nPhysicalDrive" + b(n) + b" contains a VeraCrypt encrypted volume.\r\n"


def veracrypt_elsewhere(n):
    return (b"\r\nPhysicalDrive" + b(n) + b" contains a VeraCrypt signature in its MBR,\r\n"
            b"but in an unexpected location. It may contain an encrypted volume.\r\n")


def luks_disk(n):
    return b"\r\nPhysicalDrive" + b(n) + b" contains a LUKS encrypted volume.\r\n"


def bitlocker_disk(n):
    return b"\r\nPhysicalDrive" + b(n) + b" is a Bitlocker encrypted volume.\r\n"


def luks(n, p):
    return b"PhysicalDrive" + b(n) + b", Partition " + b(p) + b" is a LUKS encrypted volume.\r\n"


NOT_OPEN_NOW = b"  - it is not open now.\r\n"


def open_now(*paths):
    return (b"  - it is open now: its contents can be read through " +
            b", ".join(b(path) for path in paths) + b".\r\n")


def network_letter(letter):
    return b"Drive " + b(letter) + b": is a network drive: its volume is on another machine.\r\n"


def lies_on(letter, *places):
    """The line of a letter whose volume lies on partitions of the run: places are (drive,
    partition) pairs."""
    return (b"Drive " + b(letter) + b": lies on " +
            b", ".join(b"PhysicalDrive" + b(n) + b", Partition #" + b(p) for n, p in places) +
            b".\r\n")


def pgp_guard(n):
    return b"\r\nPhysicalDrive" + b(n) + b" contains a PGP encrypted volume.\r\n"


def pgp_elsewhere(n):
    return (b"\r\nPhysicalDrive" + b(n) + b" contains a PGP signature in its MBR,\r\n"
            b"but in an unexpected location. It may contain an encrypted volume.\r\n")


def truecrypt_elsewhere(n):
    return (b"\r\nPhysicalDrive" + b(n) + b" contains a TrueCrypt signature in its MBR,\r\n"
            b"but in an unexpected location. It may contain an encrypted volume.\r\n")


def oem_line(n, p, oem):
    return b"\r\nPhysicalDrive" + b(n) + b", Partition " + b(p) + b" --- OEM ID: " + oem + b"\r\n"


def label_lines(n, p, oem, label):
    name = b"PhysicalDrive" + b(n) + b", Partition " + b(p)
    return (b"\r\n" + name + b" ---       OEM ID: " + oem + b"\r\n" +
            name + b" --- Volume label: " + label + b"\r\n")


def file_system(n, p, name):
    return (b"PhysicalDrive" + b(n) + b", Partition " + b(p) + b" --- File system: " + b(name) +
            b"\r\n")


def disk_file_system(n, name):
    """The line of a whole disk that holds one volume, named `name`."""
    return b"\r\nPhysicalDrive" + b(n) + b" --- File system: " + b(name) + b"\r\n"


def no_partition_table(n):
    return (b"\r\nPhysicalDrive" + b(n) +
            b" might be an encrypted volume: it has no partition table.\r\n")


def fscrypt(n, p, name):
    """The finding of an ext or F2FS file system with fscrypt turned on; `p` None: a whole disk."""
    place = b"PhysicalDrive" + b(n) + (b", Partition " + b(p) if p else b"")
    return ((b"" if p else b"\r\n") + place + b" may hold encrypted folders: its " + b(name) +
            b" file system has encryption turned on.\r\n")


def zfs_encrypted(n, p):
    """The finding of a ZFS pool member whose pool holds encrypted datasets."""
    place = b"PhysicalDrive" + b(n) + (b", Partition " + b(p) if p else b"")
    return (b"" if p else b"\r\n") + place + b" holds encrypted ZFS datasets.\r\n"


def bitlocker(n, p):
    return b"PhysicalDrive" + b(n) + b", Partition " + b(p) + b" is a Bitlocker encrypted volume.\r\n"


def unlocked_with(*names):
    """The line that lists what a BitLocker or LUKS volume can be unlocked with."""
    return b"  - it can be unlocked with: " + b", ".join(b(name) for name in names) + b".\r\n"


SUSPENDED = (b"  - its protection is suspended: its key is stored in the clear, so it can be read "
             b"without any secret.\r\n")
ENCRYPTION_IN_PROGRESS = b"  - encryption is in progress.\r\n"
DECRYPTION_IN_PROGRESS = b"  - decryption is in progress.\r\n"
PARTLY_ENCRYPTED = b"  - it is only partly encrypted.\r\n"


def damaged(n, p):
    return (b"PhysicalDrive" + b(n) + b", Partition " + b(p) +
            b" might be an encrypted volume,\r\nor contains a damaged boot sector.\r\n")


def virtual_disk(letter):
    return (b"Drive " + b(letter) + b": appears to be a virtual disk\r\n"
            b"  - possibly a TrueCrypt or PGP encrypted volume\r\n")


def located(letter, drive, partition):
    line = (b"Drive " + b(letter) + b": is located on PhysicalDrive" + b(drive) +
            b", Partition #" + b(partition) + b".\r\n")
    if partition == -1:
        line += b"(-1 indicates that this device can not be partitioned)\r\n"
    return line


# ---------------------------------------------------------------------------------------------
# Disk images, made with real tools


def tool(*command, **kwargs):
    """Runs a tool quietly; raises with its output when it fails."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(command), result.stdout.decode(errors="replace")))
    return result.stdout


def sparse_file(path, size):
    """Creates (or truncates) a sparse file of `size` bytes."""
    with open(path, "wb") as f:
        f.truncate(size)
    return path


def write_at(path, offset, data):
    """Writes `data` at byte `offset` of an existing file, leaving the rest as it is."""
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)


def read_at(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def sfdisk(path, script):
    """Writes a partition table with sfdisk; `script` is sfdisk's input, e.g.
    "label: dos\\nstart=2048, size=4096, type=c\\n"."""
    tool("sfdisk", "--no-reread", "--no-tell-kernel", "-q", path, input=script.encode())


def mkfs_fat(path, start_sector, sectors, fat_bits, label=None, extra=()):
    """Makes a FAT12/16/32 file system of `sectors` sectors at `start_sector` of an image."""
    command = ["mkfs.fat", "-F", str(fat_bits), "--offset", str(start_sector)]
    if label is not None:
        command += ["-n", label]
    command += list(extra) + [path, str(sectors * SECTOR // 1024)]
    tool(*command)


def mkntfs(path, start_sector, sectors):
    """Makes an NTFS file system of `sectors` sectors at `start_sector` of an image."""
    with tempfile.TemporaryDirectory() as scratch:
        volume = sparse_file(os.path.join(scratch, "ntfs"), sectors * SECTOR)
        tool("mkntfs", "-q", "-F", "-f", "-p", str(start_sector), "-H", "255", "-S", "63", volume)
        copy_into(volume, path, start_sector * SECTOR)


def copy_into(source, path, offset):
    """Copies the file `source` into the image `path` from byte `offset` on. Only the parts of
    the source that hold data (SEEK_DATA/SEEK_HOLE), less their all-zero blocks, are written, so
    sparse images stay sparse and a large, mostly empty volume copies in moments."""
    block = 1 << 20
    with open(source, "rb") as data, open(path, "r+b") as target:
        fd = data.fileno()
        position = 0
        while True:
            try:
                position = os.lseek(fd, position, os.SEEK_DATA)
            except OSError:  # no data from `position` on
                break
            end = os.lseek(fd, position, os.SEEK_HOLE)
            data.seek(position)
            while position < end:
                chunk = data.read(min(block, end - position))
                if not chunk:
                    break
                if chunk.count(0) != len(chunk):
                    target.seek(offset + position)
                    target.write(chunk)
                position += len(chunk)


def boot_sector(oem, fat16_label=None, fat32_label=None, signature=True, fill=b"\0"):
    """Returns a 512-byte boot sector with `oem` at byte 3, an optional FAT12/16 or FAT32 label
    (with its 0x29 marker) and, unless told otherwise, the 0x55 0xAA boot signature."""
    sector = bytearray(fill * SECTOR)[:SECTOR]
    sector[0:3] = b"\xEB\x3C\x90"
    sector[3:11] = oem.ljust(8)[:8]
    if fat16_label is not None:
        sector[38] = 0x29
        sector[43:54] = fat16_label.ljust(11)[:11]
    if fat32_label is not None:
        sector[66] = 0x29
        sector[71:82] = fat32_label.ljust(11)[:11]
    sector[510:512] = b"\x55\xAA" if signature else b"\0\0"
    return bytes(sector)


def mbr(starts=(0, 0, 0, 0), types=(0, 0, 0, 0), code=b""):
    """Returns a master boot record with four primary entries of the given start sectors and
    type bytes (length 1 each, for the tests that only need the start fields), boot code
    `code` at byte 0 and the boot signature."""
    sector = bytearray(SECTOR)
    sector[0:len(code)] = code
    for i, (start, kind) in enumerate(zip(starts, types)):
        entry = 446 + 16 * i
        sector[entry + 4] = kind
        sector[entry + 8:entry + 12] = start.to_bytes(4, "little")
        if start:
            sector[entry + 12:entry + 16] = (1).to_bytes(4, "little")
    sector[510:512] = b"\x55\xAA"
    return bytes(sector)


class DeviceFolderTest(unittest.TestCase):
    """A test with a fresh device folder, self.devices, removed afterwards."""

    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="tvx-devices-")
        self.devices = self._scratch.name

    def tearDown(self):
        self._scratch.cleanup()

    def entry(self, name):
        return os.path.join(self.devices, name)

    def drive_image(self, n, size, sector0=None):
        """Creates PhysicalDrive<n> as a sparse image of `size` bytes, with `sector0` if given."""
        path = sparse_file(self.entry("PhysicalDrive%d" % n), size)
        if sector0 is not None:
            write_at(path, 0, sector0)
        return path


# ---------------------------------------------------------------------------------------------
# Scanning device folders: whole reports, unchanged images


def image_checksum(path):
    """Returns a SHA-256 of an image's size and contents that reads only the parts holding data
    (SEEK_DATA/SEEK_HOLE), so a sparse disk of several TiB is checked in milliseconds. All-zero
    blocks are left out wherever they lie, so the value depends on the contents alone."""
    block = 1 << 16
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        fd = f.fileno()
        size = os.fstat(fd).st_size
        digest.update(b"size %d\n" % size)
        offset = 0
        while offset < size:
            try:
                start = os.lseek(fd, offset, os.SEEK_DATA)
            except OSError:  # no data after `offset`
                break
            end = os.lseek(fd, start, os.SEEK_HOLE)
            position = start - start % block
            f.seek(position)
            while position < end:
                chunk = f.read(block)
                if not chunk:
                    break
                if chunk.count(0) != len(chunk):
                    digest.update(b"at %d\n" % position)
                    digest.update(chunk)
                position += len(chunk)
            offset = max(end, position)
    return digest.hexdigest()


def folder_checksums(folder):
    """Returns {entry name: checksum} for every entry of a device folder that is, once links are
    followed, a regular file; block devices are left to their own tests. A single image in the
    folder's place gives its own name and checksum."""
    if os.path.isfile(folder):
        return {os.path.basename(folder): image_checksum(folder)}
    sums = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            sums[name] = image_checksum(path)
    return sums


def report_lines(output):
    """Splits a report into its lines, each shown as a bytes literal, for readable differences."""
    return [repr(line) for line in output.split(b"\r\n")]


class ScanFolderTest(DeviceFolderTest):
    """A device folder test that runs the scanner over its folder and compares whole reports."""

    maxDiff = None

    def scan(self, args=("/batch",), devices=None, **kwargs):
        """Runs the scanner over `devices` (default: this test's folder), checks that it ends
        with nothing on standard error and that no image in the folder changed, and returns its
        standard output. assertReport checks the exit status against the expected report."""
        folder = self.devices if devices is None else devices
        before = folder_checksums(folder)
        result = run_tvx(args, devices=folder, **kwargs)
        self.assertEqual(result.stderr, b"")
        self.last_status = result.returncode
        self.assertEqual(folder_checksums(folder), before, "an image changed during the run")
        return result.stdout

    def assertReport(self, actual, expected):
        """Asserts that two reports are equal byte for byte, showing a line diff when not."""
        if actual != expected:
            self.assertEqual(report_lines(actual), report_lines(expected))
        self.assertEqual(actual, expected)
        status = getattr(self, "last_status", None)
        if status is not None and expected.startswith(BANNER + PHYSICAL_START):
            self.assertIn(status, expected_status(expected))

    def build_drives(self, drives):
        """Builds PhysicalDrive0, 1, ... from `drives`, a list of (builder, expected lines) where
        each builder takes the entry's path; returns the drives' expected lines, in order."""
        expected = b""
        for n, (build, lines) in enumerate(drives):
            build(self.entry("PhysicalDrive%d" % n))
            expected += lines
        return expected

    def link(self, name, target):
        """Makes the folder entry `name` a symbolic link to `target`; returns the entry's path."""
        path = self.entry(name)
        os.symlink(target, path)
        return path

    def image(self, name, size):
        """Creates the folder entry `name` as a sparse image of `size` bytes; returns its path."""
        return sparse_file(self.entry(name), size)


# ---------------------------------------------------------------------------------------------
# The bytes the scanner looks for, written the way the programs that leave them write them

MIB = 1 << 20
TIB = 1 << 40
BITLOCKER_GUID = bytes.fromhex("3BD66749292ED84A8399F6A339E3D001")  # 4967D63B-2E29-4AD8-...


def random_bytes(count, seed):
    """Returns `count` bytes that look random, the same for one `seed` on every run (SHA-256 in
    counter mode), so that reports which print them can be written down."""
    out = bytearray()
    counter = 0
    while len(out) < count:
        out += hashlib.sha256(b"%s/%d" % (b(seed), counter)).digest()
        counter += 1
    return bytes(out[:count])


# Where bitlocker_boot_sector says the FVE metadata blocks lie, unless told otherwise: past the
# end of the small volumes the tests make, so that no block is found there.
FAR_FVE_OFFSETS = (0x02100000, 0x04100000, 0x06100000)


def bitlocker_boot_sector(first_sector=0, sectors=0, fve_offsets=FAR_FVE_OFFSETS):
    """Returns the first sector of a BitLocker volume (Windows 7 and later): "-FVE-FS-" at byte
    3, an NTFS-like parameter block, the BitLocker identifier at 160, the three metadata block
    offsets `fve_offsets` (bytes from the volume's start) at 176 and the boot signature."""
    sector = bytearray(SECTOR)
    sector[0:3] = b"\xEB\x58\x90"
    sector[3:11] = b"-FVE-FS-"
    sector[11:13] = (512).to_bytes(2, "little")  # bytes per sector
    sector[13] = 8  # sectors per cluster
    sector[21] = 0xF8  # fixed disk
    sector[24:26] = (63).to_bytes(2, "little")
    sector[26:28] = (255).to_bytes(2, "little")
    sector[28:32] = (first_sector & 0xFFFFFFFF).to_bytes(4, "little")  # hidden sectors
    sector[36:40] = b"\x80\x00\x80\x00"  # drive 0x80, NTFS-style extended boot signature 0x80
    sector[40:48] = sectors.to_bytes(8, "little")
    sector[160:176] = BITLOCKER_GUID
    for i, offset in enumerate(fve_offsets):
        sector[176 + 8 * i:184 + 8 * i] = offset.to_bytes(8, "little")
    sector[510:512] = b"\x55\xAA"
    return bytes(sector)


def bitlocker_to_go_boot_sector(label=b"NO NAME"):
    """Returns the first sector of a BitLocker To Go volume: a FAT32 boot sector with OEM ID
    "MSWIN4.1", a FAT32 label, the BitLocker identifier at byte 424 and the boot signature."""
    sector = bytearray(boot_sector(b"MSWIN4.1", fat32_label=label))
    sector[0:3] = b"\xEB\x58\x90"
    sector[11:13] = (512).to_bytes(2, "little")
    sector[13] = 8
    sector[21] = 0xF8
    sector[82:90] = b"FAT32   "
    sector[424:440] = BITLOCKER_GUID
    for i, offset in enumerate((0x02100000, 0x04100000, 0x06100000)):
        sector[440 + 8 * i:448 + 8 * i] = offset.to_bytes(8, "little")
    return bytes(sector)


def truecrypt_boot_loader_mbr(table_from=None):
    """Returns sector 0 as TrueCrypt's boot loader leaves it: a jump, "TrueCrypt Boot Loader" at
    byte 6, and the partition table and boot signature of `table_from` (a sector, if given)."""
    sector = bytearray(table_from if table_from is not None else mbr())
    sector[0:6] = b"\xEA\x1E\x7C\x00\x00\xFA"
    sector[6:27] = b"TrueCrypt Boot Loader"
    sector[510:512] = b"\x55\xAA"
    return bytes(sector)


def pgp_guard_mbr(table_from=None):
    """Returns sector 0 as PGP whole-disk encryption leaves it: "PGPGUARD" at byte 3, and the
    partition table and boot signature of `table_from` (a sector, if given)."""
    sector = bytearray(table_from if table_from is not None else mbr())
    sector[0:3] = b"\xEB\x2E\x90"
    sector[3:11] = b"PGPGUARD"
    sector[510:512] = b"\x55\xAA"
    return bytes(sector)


def set_oem_id(path, first_sector, oem):
    """Overwrites the OEM ID (byte 3, 8 bytes) of the boot sector at `first_sector`."""
    write_at(path, first_sector * SECTOR + 3, oem.ljust(8)[:8])


# ---------------------------------------------------------------------------------------------
# Partitioned images: an sfdisk table and one filler per partition

GPT_ESP = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
GPT_MSR = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE"
GPT_BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
GPT_LINUX = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"
# A fixed disk identifier: byte 10 of it lies at byte 66 of the GPT header, and must not be 0x29.
GPT_DISK_ID = "6B1F3A52-0C4D-4E8F-9A1B-2C3D4E5F6071"


class Part:
    """One partition of partitioned_image: first sector, size in sectors, sfdisk type, and a
    filler fill(path, start, sectors) or None to leave it empty."""

    def __init__(self, start, sectors, kind, fill=None):
        self.start, self.sectors, self.kind, self.fill = start, sectors, kind, fill


def partitioned_image(path, size, label, parts):
    """Creates a sparse image of `size` bytes, writes an sfdisk partition table of kind `label`
    ("dos" or "gpt") holding `parts` in order, then fills each partition. Returns the path."""
    sparse_file(path, size)
    script = "label: %s\n" % label
    if label == "gpt":
        script += "label-id: %s\n" % GPT_DISK_ID
    for part in parts:
        script += "start=%d, size=%d, type=%s\n" % (part.start, part.sectors, part.kind)
    sfdisk(path, script)
    for part in parts:
        if part.fill is not None:
            part.fill(path, part.start, part.sectors)
    return path


def fat_volume(bits, label=None, oem=None):
    """Filler: mkfs.fat -F `bits` -s 1 with `label` (None: mkfs.fat's "NO NAME"), then, if given,
    the OEM ID `oem` in place of mkfs.fat's own. One sector per cluster lets small partitions
    hold each FAT size: FAT16 from 3 MiB (6144 sectors), FAT32 from 32 MiB (65536 sectors)."""
    def fill(path, start, sectors):
        mkfs_fat(path, start, sectors, bits, label, extra=("-s", "1"))
        if oem is not None:
            set_oem_id(path, start, oem)
    return fill


def ntfs_volume():
    """Filler: mkntfs."""
    return lambda path, start, sectors: mkntfs(path, start, sectors)


def ext4_volume():
    """Filler: mke2fs -t ext4, whose first sector is left zero."""
    def fill(path, start, sectors):
        tool("mke2fs", "-q", "-F", "-t", "ext4", "-E", "offset=%d" % (start * SECTOR), path,
             "%dk" % (sectors * SECTOR // 1024))
    return fill


def boot_sector_volume(data):
    """Filler: `data` (a boot sector) written at the partition's first sector."""
    return lambda path, start, sectors: write_at(path, start * SECTOR, data)


def _xdr_string(text):
    data = text.encode()
    return struct.pack(">I", len(data)) + data + bytes(-len(data) % 4)


def _xdr_pair(name, kind, count, value=b""):
    """One nvpair in XDR, as OpenZFS packs a label's configuration: its encoded and decoded
    sizes, name, data type, element count and value."""
    body = _xdr_string(name) + struct.pack(">II", kind, count) + value
    return struct.pack(">II", len(body) + 8, len(body) + 8) + body


def _xdr_list(pairs):
    return struct.pack(">II", 0, 1) + b"".join(pairs) + bytes(8)


def _xdr_number(name, value):
    return _xdr_pair(name, 8, 1, struct.pack(">Q", value))


def zfs_pool_volume(encrypted):
    """Filler: a ZFS pool with feature flags on this one disk, laid out as OpenZFS's published
    on-disk format has it, little-endian and uncompressed: label 0's configuration (XDR nvlist at
    16 KiB) and an uberblock (at 128 KiB) pointing at the meta-object set, whose dnodes lie in a
    block from 4 MiB on; object 1, the object directory (a micro ZAP), names object 2,
    features_for_read, whose count for com.datto:encryption is 1 when `encrypted`, else 0 (the
    feature enabled, no dataset encrypted). The partition needs 8 MiB."""
    def fill(path, start, sectors):
        base = start * SECTOR
        blocks = []

        def block(content):
            """Stores `content` in the data area; returns its block pointer (one copy, on vdev 0,
            no compression, little-endian)."""
            content = content + bytes(-len(content) % SECTOR)
            offset = sum(len(data) for data in blocks)
            blocks.append(content)
            size = len(content) // SECTOR - 1
            properties = size | size << 16 | 2 << 32 | 10 << 48 | 1 << 63
            return (struct.pack("<QQ", size + 1, offset // SECTOR) + bytes(32) +
                    struct.pack("<6Q", properties, 0, 0, 1, 1, 1) + bytes(32))

        def micro_zap(entries):
            zap = struct.pack("<Q", (1 << 63) + 3) + bytes(56)
            for name, value in entries:
                zap += struct.pack("<QI", value, 0) + bytes(2) + name.encode().ljust(50, b"\0")
            return zap.ljust(SECTOR, b"\0")

        def dnode(kind, pointer, block_sectors):
            node = bytearray(SECTOR)
            node[0:4] = bytes([kind, 14, 1, 1])
            node[8:10] = struct.pack("<H", block_sectors)
            node[64:192] = pointer
            return bytes(node)

        features = micro_zap([("com.delphix:hole_birth", 1),
                              ("com.datto:encryption", 1 if encrypted else 0)])
        dnodes = bytearray(16 * 1024)
        dnodes[512:1024] = dnode(1, block(micro_zap([("root_dataset", 32),
                                                     ("features_for_read", 2)])), 1)
        dnodes[1024:1536] = dnode(21, block(features), 1)
        root = block(dnode(10, block(bytes(dnodes)), 32).ljust(2048, b"\0"))
        config = b"\x01\x01\0\0" + _xdr_list([
            _xdr_number("version", 5000), _xdr_pair("name", 9, 1, _xdr_string("tank")),
            _xdr_number("txg", 4),
            _xdr_pair("vdev_tree", 19, 1, _xdr_list([
                _xdr_pair("type", 9, 1, _xdr_string("disk")), _xdr_number("id", 0),
                _xdr_number("ashift", 12)])),
            _xdr_pair("features_for_read", 19, 1, _xdr_list([
                _xdr_pair("com.delphix:hole_birth", 1, 0)]))])
        write_at(path, base + 16 * 1024, config)
        write_at(path, base + 128 * 1024, struct.pack("<5Q", 0x00BAB10C, 5000, 4, 1, 0) + root)
        write_at(path, base + 4 * MIB, b"".join(blocks))
    return fill


# BitLocker's FVE metadata, written from its published layout (the libyal project's notes on
# the BitLocker Drive Encryption format): the protection types of volume master keys ...
FVE_CLEAR_KEY, FVE_TPM, FVE_STARTUP_KEY, FVE_TPM_AND_STARTUP_KEY = 0x0000, 0x0100, 0x0200, 0x0300
FVE_TPM_AND_PIN, FVE_TPM_PIN_AND_STARTUP_KEY = 0x0500, 0x0700
FVE_RECOVERY_PASSWORD, FVE_SMART_CARD, FVE_PASSWORD = 0x0800, 0x1000, 0x2000
# ... and the encryption states, current and next.
FVE_ENCRYPTED, FVE_ENCRYPTING, FVE_DECRYPTING, FVE_PAUSED = (4, 4), (2, 4), (2, 1), (5, 1)
# Where bitlocker_volume puts its three copies: inside a volume of 1 MiB.
FVE_OFFSETS = (0x40000, 0x50000, 0x60000)


def fve_entry(kind, value, data):
    """One FVE metadata entry: its size (with the 8-byte header), type, value type, version 1."""
    return struct.pack("<HHHH", 8 + len(data), kind, value, 1) + data


def fve_volume_master_key(protection, n):
    """A volume master key entry protected by `protection`, with the properties BitLocker writes
    for it: the clear key itself, or a stretch key (salt) for the protectors that take one; then
    the AES-CCM encrypted key."""
    head = bytes([n]) * 16 + b"\0" * 8 + b"\0\0" + struct.pack("<H", protection)
    if protection == FVE_CLEAR_KEY:
        head += fve_entry(0, 0x0001, struct.pack("<I", 0x2000) + b"\x5A" * 32)
    elif protection != FVE_TPM:
        head += fve_entry(0, 0x0003, struct.pack("<I", 0x1000) + bytes([n]) * 16)
    encrypted_key = fve_entry(0, 0x0005, b"\0" * 12 + b"\x11" * 16 + b"\x22" * 44)
    return fve_entry(2, 0x0008, head + encrypted_key)


def fve_block(protections, state=FVE_ENCRYPTED, offsets=FVE_OFFSETS, entries=None):
    """An FVE metadata block (version 2): the block header with `state` and the three copies'
    `offsets`, the metadata header (AES-XTS 128), then `entries`, by default a volume master key
    for each of `protections`, the encrypted full volume encryption key and the place of the
    volume header."""
    if entries is None:
        entries = b"".join(fve_volume_master_key(p, n) for n, p in enumerate(protections, 1))
        entries += fve_entry(3, 0x0005, b"\0" * 12 + b"\x33" * 16 + b"\x44" * 44)
        entries += fve_entry(0x000F, 0x000F, struct.pack("<QQ", 0x70000, 8192))
    metadata = struct.pack("<IIII", 48 + len(entries), 1, 48, 48 + len(entries))
    metadata += b"\x77" * 16 + struct.pack("<IHHQ", 1, 0x8004, 0, 132000000000000000)
    header = b"-FVE-FS-" + struct.pack("<HHHHQII", 0, 2, state[0], state[1], MIB, 0, 16)
    header += struct.pack("<QQQQ", *offsets, 0x70000)
    return header + metadata + entries


def bitlocker_volume(protections=None, state=FVE_ENCRYPTED):
    """Filler: a BitLocker volume header; with `protections`, also its three FVE metadata
    blocks, for volume master keys of those protection types, in encryption state `state`."""
    def fill(path, start, sectors):
        if protections is None:
            write_at(path, start * SECTOR, bitlocker_boot_sector(start, sectors))
            return
        write_at(path, start * SECTOR, bitlocker_boot_sector(start, sectors, FVE_OFFSETS))
        for offset in FVE_OFFSETS:
            write_at(path, start * SECTOR + offset, fve_block(protections, state))
    return fill


# LUKS volumes made by cryptsetup: the key of their first key slot.
LUKS_KEY = b"tharvex test key"


def bitlocker_partition_disk(path):
    """An MBR disk whose one partition (sector 2048 on, 1 MiB) is BitLocker with its three FVE
    metadata blocks, protected by a TPM and a recovery password."""
    write_at(sparse_file(path, 4 * MIB), 0, mbr((2048, 0, 0, 0), (7, 0, 0, 0)))
    write_at(path, 446 + 12, (2048).to_bytes(4, "little"))
    bitlocker_volume([FVE_TPM, FVE_RECOVERY_PASSWORD])(path, 2048, 2048)


def numbered_disk(n):
    """A 2 MiB disk whose one partition's boot sector carries the drive's number."""
    def build(path):
        write_at(sparse_file(path, 2 * MIB), 0, mbr((2048, 0, 0, 0), (6, 0, 0, 0)))
        write_at(path, 2048 * SECTOR, boot_sector(b"DRIVE%d" % n, fat16_label=b"NUMBER %d" % n))
    return build


def numbered_disk_lines(n):
    return label_lines(n, 1, (b"DRIVE%d" % n).ljust(8), (b"NUMBER %d" % n).ljust(11))


def luks_format(volume, kind):
    """Formats the file `volume` as LUKS (`kind`: luks1 or luks2), with the fastest key
    derivation cryptsetup accepts."""
    tool("cryptsetup", "luksFormat", "--batch-mode", "--type", kind, "--pbkdf", "pbkdf2",
         "--pbkdf-force-iterations", "1000", "--key-file", "-", volume, input=LUKS_KEY)


def add_key(volume, key):
    """Adds a key slot opened by `key` to the LUKS volume `volume`."""
    with tempfile.NamedTemporaryFile(prefix="tvx-key-") as new_key:
        new_key.write(key)
        new_key.flush()
        tool("cryptsetup", "luksAddKey", "--batch-mode", "--pbkdf", "pbkdf2",
             "--pbkdf-force-iterations", "1000", "--key-file", "-", volume, new_key.name,
             input=LUKS_KEY)


def import_token(volume, token):
    """Adds `token` (a dict) to the LUKS2 volume `volume`: cryptsetup keeps a token of a type
    it does not handle itself as it is, so a TPM or FIDO2 token needs neither device."""
    tool("cryptsetup", "token", "import", volume, input=json.dumps(token).encode())


def luks_with_tokens(volume):
    """LUKS2 with four key slots, as systemd-cryptenroll leaves one: slots 0 and 3 opened by a
    passphrase, 1 bound to a TPM token and 2 to a FIDO2 token."""
    luks_format(volume, "luks2")
    for n in range(1, 4):
        add_key(volume, b"key %d" % n)
    import_token(volume, {"type": "systemd-tpm2", "keyslots": ["1"], "tpm2-blob": "AA==",
                          "tpm2-pcrs": [7], "tpm2-pcr-bank": "sha256", "tpm2-primary-alg": "ecc",
                          "tpm2-policy-hash": "00", "tpm2-pin": False})
    import_token(volume, {"type": "systemd-fido2", "keyslots": ["2"], "fido2-credential": "AA==",
                          "fido2-salt": "AA==", "fido2-rp": "io.systemd.cryptsetup",
                          "fido2-clientPin-required": True, "fido2-up-required": True,
                          "fido2-uv-required": False})


def random_fill(seed, limit=MIB):
    """Filler: random bytes over the partition (at most `limit` bytes), as an encrypted container
    looks from outside."""
    return lambda path, start, sectors: write_at(path, start * SECTOR,
                                                 random_bytes(min(sectors * SECTOR, limit), seed))


# EFI system partitions, as the VeraCrypt and DiskCryptor installers lay them out

def esp_disk(fat_bits, files, folders=(), type_code="EF00"):
    """A disk partitioned by sgdisk whose one partition (from sector 2048, of sgdisk's
    `type_code`; 2, 8 or 34 MiB for FAT12, 16 or 32) is a FAT made by mkfs.fat, with `folders`
    made and `files` copied in by mtools, as the VeraCrypt and DiskCryptor installers lay out an
    EFI system partition."""
    mib = {12: 2, 16: 8, 32: 34}[fat_bits]

    def build(path):
        sparse_file(path, (mib + 2) * MIB)
        tool("sgdisk", "-n", "1:2048:+%dM" % mib, "-t", "1:" + type_code, path)
        mkfs_fat(path, 2048, mib * MIB // SECTOR, fat_bits, "EFI",
                 extra=("-s", "1") if fat_bits != 12 else ())
        volume = "%s@@%d" % (path, 2048 * SECTOR)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        for folder in folders:
            tool("mmd", "-i", volume, "::" + folder, env=env)
        with tempfile.NamedTemporaryFile(prefix="tvx-efi-") as loader:
            loader.write(b"MZ" + bytes(4094))
            loader.flush()
            for name in files:
                tool("mcopy", "-i", volume, loader.name, "::" + name, env=env)
    return build


def uefi_loader(n, product):
    return (b"\r\nPhysicalDrive" + b(n) + b" holds the " + b(product) +
            b" UEFI boot loader: a partition of it is encrypted by " + b(product) + b".\r\n")


VERACRYPT_ESP = esp_disk(32, ["/EFI/VeraCrypt/DcsBoot.efi", "/EFI/Boot/bootx64.efi"],
                         ["/EFI", "/EFI/Boot", "/EFI/VeraCrypt"])


# ---------------------------------------------------------------------------------------------
# GPT headers and entry arrays, changed in place

GPT_HEADER_FIELDS = {
    "signature": (0, 8), "header_size": (12, 4), "header_crc": (16, 4), "own_lba": (24, 8),
    "entry_array_start": (72, 8), "entry_count": (80, 4), "entry_size": (84, 4),
    "entry_array_crc": (88, 4),
}


def _gpt_field(header, name):
    offset, length = GPT_HEADER_FIELDS[name]
    return int.from_bytes(header[offset:offset + length], "little")


def _set_gpt_field(header, name, value):
    offset, length = GPT_HEADER_FIELDS[name]
    header[offset:offset + length] = value if isinstance(value, bytes) else value.to_bytes(
        length, "little")


def patch_gpt(path, header=None, entries=None, fix_array_crc=True, fix_header_crc=True,
              backup=False):
    """Changes the primary GPT of an image, or with `backup` the backup copy in its last sector:
    `entries` maps an entry number (from 1) to {"first_lba": n, "type": 16 bytes}; `header` maps
    names of GPT_HEADER_FIELDS to values. Then recomputes the array CRC over the array the header
    now describes and the header CRC, unless told not to, so that only the change itself can make
    the GPT unusable."""
    at = os.path.getsize(path) - SECTOR if backup else SECTOR
    sector = bytearray(read_at(path, at, SECTOR))
    start, count, size = (_gpt_field(sector, n) for n in
                          ("entry_array_start", "entry_count", "entry_size"))
    for number, fields in (entries or {}).items():
        base = start * SECTOR + (number - 1) * size
        if "type" in fields:
            write_at(path, base, fields["type"])
        if "first_lba" in fields:
            write_at(path, base + 32, fields["first_lba"].to_bytes(8, "little"))
    for name, value in (header or {}).items():
        _set_gpt_field(sector, name, value)
    if fix_array_crc:
        start, count, size = (_gpt_field(sector, n) for n in
                              ("entry_array_start", "entry_count", "entry_size"))
        try:
            array = read_at(path, start * SECTOR, count * size)
        except OSError:  # past the largest offset a seek accepts: reads there find nothing
            array = b""
        array = array.ljust(count * size, b"\0")
        _set_gpt_field(sector, "entry_array_crc", zlib.crc32(array))
    if fix_header_crc:
        length = min(max(_gpt_field(sector, "header_size"), 0), SECTOR)
        checked = bytearray(sector[:length])
        checked[16:20] = b"\0\0\0\0"
        _set_gpt_field(sector, "header_crc", zlib.crc32(bytes(checked)))
    write_at(path, at, bytes(sector))


def gpt_entry_array_offset(path):
    """Returns the byte offset of an image's GPT entry array, as its header says."""
    return _gpt_field(read_at(path, SECTOR, SECTOR), "entry_array_start") * SECTOR


# ---------------------------------------------------------------------------------------------
# Acquired images: a raw disk converted to the container formats examiners hold

# qemu-img's output format for each container the device folder reads through a library.
QEMU_FORMATS = {"VHD": "vpc", "VHDX": "vhdx", "VMDK": "vmdk", "QCOW2": "qcow2"}


def container_tools_missing():
    """Returns None when qemu-img and ewfacquire are installed, else what is missing."""
    missing = [name for name in ("qemu-img", "ewfacquire") if not have(name)]
    return " and ".join(missing) + " not installed" if missing else None


def qemu_image(raw, kind, target, options=None):
    """Converts the raw image `raw` to `target` in qemu-img's format `kind` (vpc, vhdx, vmdk,
    qcow2), with the format's `options` if given ("subformat=monolithicFlat"); returns
    `target`."""
    tool("qemu-img", "convert", "-q", "-f", "raw", "-O", kind,
         *(("-o", options) if options else ()), raw, target)
    return target


def ewf_image(raw, base, segment_size="1MiB"):
    """Acquires the raw image `raw` with ewfacquire into the segments base.E01, base.E02, ...
    of `segment_size` each (all-zero chunks compressed); returns the list of segment paths."""
    tool("ewfacquire", "-u", "-q", "-c", "empty-block", "-S", segment_size, "-t", base, raw)
    folder, stem = os.path.split(base)
    return sorted(os.path.join(folder, name) for name in os.listdir(folder)
                  if re.fullmatch(re.escape(stem) + r"\.E\d\d", name))


# ---------------------------------------------------------------------------------------------
# Colours: the report as a terminal receives it, one (colour, text) pair per write

LIGHT_GRAY, DARK_GRAY, LIGHT_CYAN, LIGHT_RED, YELLOW, WHITE = 7, 8, 11, 12, 14, 15
# The SGR sequence a terminal receives before a text in each colour the report uses; LightGray
# is the terminal's own default, so it is also the reset after every text, and White is the
# terminal's default foreground (39), readable on a light background as on a dark one.
SGR = {LIGHT_GRAY: b"\x1b[0m", DARK_GRAY: b"\x1b[90m", LIGHT_CYAN: b"\x1b[96m",
       LIGHT_RED: b"\x1b[91m", YELLOW: b"\x1b[93m", WHITE: b"\x1b[39m"}
RESET = SGR[LIGHT_GRAY]


def _cut(text, colours, markers):
    """Splits `text` before each of `markers` (in order) and pairs the pieces with `colours`."""
    pieces, rest = [], text
    for marker in markers:
        at = rest.index(marker)
        pieces.append(rest[:at])
        rest = rest[at:]
    return list(zip(colours, pieces + [rest]))


BANNER_WRITES = _cut(BANNER, (WHITE, WHITE, WHITE, DARK_GRAY), (b"Written", b"https:", b"// This"))
USAGE_WRITES = _cut(USAGE, (LIGHT_GRAY, LIGHT_GRAY, WHITE, LIGHT_GRAY, LIGHT_GRAY, LIGHT_GRAY,
                            LIGHT_GRAY),
                    (b"    TVX", b"Options:", b"        /?", b"        /batch", b"        /json",
                     b"        /version"))
PROMPT_WRITES = _cut(PROMPT, (LIGHT_GRAY, DARK_GRAY), (b"(use",))


def report_writes(physical=(), logical=(), found=False, prompt=False, unread=False,
                  incomplete=False):
    """Returns the writes of a whole run whose passes make the writes `physical` and `logical`;
    plain() of it is report() of the same run."""
    if unread:
        verdict = [(YELLOW, UNREAD)]
    elif found:
        verdict = []
    else:
        verdict = [(YELLOW, INCOMPLETE)] if incomplete else [(LIGHT_RED, NOTHING_FOUND)]
    return (BANNER_WRITES + [(LIGHT_GRAY, PHYSICAL_START)] + list(physical) +
            [(LIGHT_GRAY, PHYSICAL_END), (LIGHT_GRAY, LOGICAL_START)] + list(logical) +
            [(LIGHT_GRAY, LOGICAL_END)] + verdict + (PROMPT_WRITES if prompt else []))


def oem_line_writes(n, p, oem):
    """The two writes of oem_line(): the partition's name in White, the OEM ID in LightCyan."""
    return [(WHITE, oem_line(n, p, b"")[:-2]), (LIGHT_CYAN, oem + b"\r\n")]


def label_lines_writes(n, p, oem, label):
    """The four writes of label_lines(): names in White, OEM ID and label in LightCyan."""
    name = b"PhysicalDrive" + b(n) + b", Partition " + b(p)
    return [(WHITE, b"\r\n" + name + b" ---       OEM ID: "), (LIGHT_CYAN, oem + b"\r\n"),
            (WHITE, name + b" --- Volume label: "), (LIGHT_CYAN, label + b"\r\n")]


def painted(writes):
    """Returns what a terminal receives for `writes`: each text after its colour's SGR sequence
    and followed by the reset."""
    return b"".join(SGR[colour] + text + RESET for colour, text in writes)


def plain(writes):
    """Returns what a pipe or a file receives for `writes`: the texts alone."""
    return b"".join(text for _, text in writes)


def render_screen(data):
    """Returns the rows a terminal shows after receiving `data`, trailing blanks removed: a
    minimal emulation that knows CR, LF, BS, TAB, cursor up (ESC[nA) and erase in line (ESC[nK);
    SGR and other CSI sequences change no text, and other control bytes show nothing."""
    rows, row, col, i = [bytearray()], 0, 0, 0
    while i < len(data):
        byte = data[i]
        if byte == 0x1B and data[i + 1:i + 2] == b"[":
            end = i + 2
            while end < len(data) and not 0x40 <= data[end] <= 0x7E:
                end += 1
            params, final = data[i + 2:end], data[end:end + 1]
            count = int(params) if params.isdigit() else 0
            if final == b"A":
                row = max(0, row - max(count, 1))
            elif final == b"K":
                line = rows[row]
                if count == 0:
                    del line[col:]
                elif count == 1:
                    line[:col + 1] = b" " * min(col + 1, len(line))
                else:
                    line[:] = b""
            i = end + 1
            continue
        if byte == 0x0D:
            col = 0
        elif byte == 0x0A:
            row += 1
        elif byte == 0x08:
            col = max(0, col - 1)
        elif byte == 0x09:
            col = (col // 8 + 1) * 8
        elif byte >= 0x20 and byte != 0x7F:
            line = rows[row]
            if len(line) < col:
                line += b" " * (col - len(line))
            line[col:col + 1] = bytes([byte])
            col += 1
        while len(rows) <= row:
            rows.append(bytearray())
        i += 1
    return [bytes(line).rstrip(b" ") for line in rows]


# ---------------------------------------------------------------------------------------------
# The scanner on a pseudo-terminal

ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT)


def tvx_environment(devices=None, env=None):
    """Returns the environment run_tvx gives the scanner: no TVX_DEVICES, TVX_TIMEOUT or NO_COLOR
    from outside, TVX_DEVICES=`devices` when given, then `env`, where a value of None removes the
    variable."""
    environment = dict(os.environ)
    for name in ("TVX_DEVICES", "TVX_TIMEOUT", "NO_COLOR"):
        environment.pop(name, None)
    if devices is not None:
        environment["TVX_DEVICES"] = devices
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    return environment


def _take_terminal():
    """In the child: makes standard input, the new terminal, the controlling terminal of the new
    session, as a shell's foreground job has it; gives the ending signals their default action
    (they may be ignored by whatever started the tests) and turns core dumps off."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    for number in ENDING_SIGNALS:
        signal.signal(number, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


class PtyRun:
    """The scanner with a new pseudo-terminal as standard input, standard output and controlling
    terminal, and a pipe as standard error. The test holds the terminal's other side: it reads
    what the scanner shows (self.output), types keys and reads the terminal's mode. The test
    also keeps the terminal itself open, as a user's shell does, so its mode outlives the run.
    `mode` changes the terminal's mode (a termios.tcgetattr list) before the start; it defaults
    to the new terminal's own with output post-processing off, so the bytes read are the bytes
    written. Use as a context manager; the scanner is killed if it is still running at the end.
    `program`, when given, runs with `args` in the scanner's place (Wine, with the Windows
    executable as its first argument). The scanner itself gets TERM=xterm, a terminal that shows
    colours, unless `env` says otherwise."""

    def __init__(self, args=(), devices=None, env=None, mode=None, program=None):
        if program is None:
            env = {"TERM": "xterm", **(env or {})}
        self.master, self.terminal = os.openpty()
        if mode is None:
            mode = termios.tcgetattr(self.terminal)
            mode[1] &= ~termios.OPOST
        termios.tcsetattr(self.terminal, termios.TCSANOW, mode)
        self.mode_before = termios.tcgetattr(self.terminal)
        self.output = b""
        self.process = subprocess.Popen(
            [program or TVX, *args], stdin=self.terminal, stdout=self.terminal,
            stderr=subprocess.PIPE,
            env=tvx_environment(devices, env), start_new_session=True, preexec_fn=_take_terminal)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stderr.close()
        os.close(self.master)
        os.close(self.terminal)

    def _read(self, timeout):
        """Adds what the terminal shows within `timeout` seconds to self.output; returns whether
        anything came."""
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return False
        self.output += os.read(self.master, 65536)
        return True

    def read_until(self, marker, timeout=30):
        """Reads until `marker` has been shown; returns the output so far. Fails the calling test
        (AssertionError) when it does not show within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while marker not in self.output:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError("%r not shown within %ss; shown: %r" %
                                     (marker, timeout, self.output))
            self._read(min(remaining, 0.5))
        return self.output

    def type(self, keys):
        """Types `keys` on the terminal."""
        os.write(self.master, keys)

    def mode(self):
        """Returns the terminal's mode now, as termios.tcgetattr gives it."""
        return termios.tcgetattr(self.terminal)

    def wait_for_mode(self, accept=None, timeout=30):
        """Waits until `accept(mode)` holds for the terminal's mode (by default: until the mode
        differs from mode_before, as it does once the key wait has set it), reading output
        meanwhile; returns the mode. Fails the calling test when it does not within `timeout`
        seconds."""
        if accept is None:
            accept = lambda mode: mode != self.mode_before
        deadline = time.monotonic() + timeout
        while not accept(self.mode()):
            if time.monotonic() > deadline:
                raise AssertionError("the terminal's mode did not change within %ss" % timeout)
            self._read(0.01)
        return self.mode()

    def still_running_after(self, seconds):
        """Reads output for `seconds`; returns True when the scanner is then still running."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            self._read(max(0.0, min(0.05, deadline - time.monotonic())))
        return self.process.poll() is None

    def wait(self, timeout=30, until=None):
        """Reads until the scanner has ended and its output is all read; returns its status
        (negative: the signal that ended it). `until`, if given, is output known to come last:
        it is waited for first, so that output still on its way when the scanner ends is not
        missed. Fails the calling test after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        if until is not None:
            self.read_until(until, timeout)
        while self.process.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("still running after %ss; shown: %r" % (timeout, self.output))
            self._read(0.05)
        while self._read(0.1):
            pass
        return self.process.returncode

    def stderr(self):
        """Returns standard error; call after wait()."""
        return self.process.stderr.read()


def raw_input_mode(mode):
    """True when a terminal mode has line input, echo and signal keys all off, as the key wait
    sets it."""
    return not mode[3] & (termios.ICANON | termios.ECHO | termios.ISIG)


# ---------------------------------------------------------------------------------------------
# Failing outputs and the system calls of a run

ERROR_1001 = b"TVX: error 1001: Unable to write to standard output\n"
ERROR_1002 = b"TVX: error 1002: Incomplete write operation\n"

# The calls through which a run reads, writes, waits or touches a terminal or a device.
TRACED_CALLS = ("execve", "open", "openat", "stat", "newfstatat", "statx", "read", "pread64",
                "write", "writev", "pwrite64", "ioctl", "nanosleep", "clock_nanosleep", "pipe",
                "pipe2")


class Call:
    """One traced system call: its name, first argument as a number (None when it is not one),
    third argument as a number (the length of a write or read), fourth as a number (the offset of
    a pread64; None when there is none), result (None when unfinished) and error name."""

    _LINE = re.compile(r"^(\w+)\((.*)\)\s+=\s+(-?\d+|\?)(?:\s+(E\w+))?")

    def __init__(self, line):
        match = self._LINE.match(line)
        if match is None:
            raise ValueError("not a system call line: %r" % line)
        self.name, arguments, result, self.error = match.groups()
        parts = [part.strip() for part in arguments.split(",")]
        self.fd = int(parts[0]) if parts[0].isdigit() else None
        self.length = int(parts[2]) if len(parts) > 2 and parts[2].isdigit() else None
        self.offset = int(parts[3]) if len(parts) > 3 and parts[3].isdigit() else None
        self.result = None if result == "?" else int(result)
        self.line = line

    def __repr__(self):
        return self.line


_STRACE_PID = re.compile(r"^(?:\[pid\s+(\d+)\]|(\d+))\s+")


def strace_lines(path):
    """Returns the calls of an `strace -f` trace at `path`, one line each, in the order they
    began: without the thread number in front, and with a call that another thread's call cut
    in two ("<unfinished ...>", then "<... NAME resumed>") joined again. The scanner makes its
    device calls on a worker thread, so a trace without -f would miss them."""
    calls, unfinished = [], {}
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            match = _STRACE_PID.match(line)
            thread = match.group(1) or match.group(2) if match else None
            text = line[match.end():] if match else line
            if text.endswith("<unfinished ...>"):
                unfinished[thread] = len(calls)
                calls.append(text[:-len("<unfinished ...>")].rstrip(" "))
            elif text.startswith("<... ") and thread in unfinished:
                index = unfinished.pop(thread)
                calls[index] += re.sub(r"^<\.\.\. \w+ resumed>\s*", "", text)
            else:
                calls.append(text)
    return calls


def trace_tvx(args=(), devices=None, env=None, stdout=subprocess.PIPE, close_stdout=False,
              file_size_limit=None, while_running=None, timeout=60):
    """Runs the scanner under strace -f, standard input /dev/null and standard error a pipe, and
    returns (status, standard error, calls): the TRACED_CALLS the scanner (any of its threads)
    made from its start on, as Call objects. `close_stdout` starts it with standard output
    closed; `file_size_limit` sets RLIMIT_FSIZE, in bytes, on the scanner alone (not on strace);
    `while_running(process)`, if given, is called once the process has started. LeakSanitizer cannot work under ptrace,
    so the sanitizer build runs without it here. Raises when strace did not start the scanner."""
    environment = tvx_environment(devices, env)
    environment["ASAN_OPTIONS"] = ":".join(
        filter(None, [environment.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
    start = []
    if file_size_limit is not None:
        start += ["prlimit", "--fsize=%d:%d" % (file_size_limit, file_size_limit), "--"]
    if close_stdout:
        start += ["/bin/sh", "-c", 'exec "$0" "$@" >&-']
    with tempfile.TemporaryDirectory(prefix="tvx-trace-") as scratch:
        trace = os.path.join(scratch, "trace")
        command = ["strace", "-f", "-qq", "-s", "0", "-e", "signal=none", "-e",
                   "trace=" + ",".join(TRACED_CALLS), "-o", trace, "--", *start, TVX, *args]
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=subprocess.PIPE, env=environment)
        try:
            if while_running is not None:
                while_running(process)
            _, stderr = process.communicate(timeout=timeout)
        finally:
            if process.poll() is None:
                process.kill()
                process.communicate()
        lines = strace_lines(trace)
    starts = [i for i, line in enumerate(lines)
              if line.startswith('execve("%s"' % TVX) and line.endswith("= 0")]
    if not starts:
        raise RuntimeError("strace did not start the scanner: %r" % lines)
    return process.returncode, stderr, [Call(line) for line in lines[starts[-1]:]]


# FileVault on a Mac, from the published layouts of CoreStorage and APFS

def crc32c(data, crc=0xFFFFFFFF):
    """CRC-32C continued from `crc`, without the final inversion, as CoreStorage stores it."""
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x82F63B78 if crc & 1 else crc >> 1
    return crc


def core_storage_header(encrypted):
    """A CoreStorage physical volume header, with AES-XTS key data when `encrypted`."""
    header = bytearray(SECTOR)
    struct.pack_into("<HH", header, 8, 1, 0x10)
    header[88:90] = b"CS"
    struct.pack_into("<II", header, 90, 1, 0)
    struct.pack_into("<I", header, 96, 4096)
    struct.pack_into("<II", header, 168, 16 if encrypted else 0, 2 if encrypted else 0)
    struct.pack_into("<II", header, 0, crc32c(bytes(header[8:])), 0xFFFFFFFF)
    return bytes(header)


def fletcher64(block):
    """The Fletcher-64 checksum of an APFS object's block, after its checksum field."""
    sum1 = sum2 = 0
    for (word,) in struct.iter_unpack("<I", block[8:]):
        sum1 = (sum1 + word) % 0xFFFFFFFF
        sum2 = (sum2 + sum1) % 0xFFFFFFFF
    check1 = 0xFFFFFFFF - (sum1 + sum2) % 0xFFFFFFFF
    check2 = 0xFFFFFFFF - (sum1 + check1) % 0xFFFFFFFF
    return check2 << 32 | check1


def apfs_container(volume_flags, damaged=False):
    """An APFS container of 16 blocks of 4 KiB: superblock, object map, its B-tree (one leaf)
    and one volume superblock per entry of `volume_flags`; the superblock's checksum wrong when
    `damaged`."""
    blocks = [bytearray(4096) for _ in range(16)]
    sb, omap, node = blocks[0], blocks[1], blocks[2]
    struct.pack_into("<QQI", sb, 8, 1, 7, 0x80000001)
    sb[32:36] = b"NXSB"
    struct.pack_into("<IQ", sb, 36, 4096, len(blocks))
    struct.pack_into("<Q", sb, 160, 1)
    struct.pack_into("<I", sb, 180, 100)
    struct.pack_into("<I", omap, 24, 0x4000000B)
    struct.pack_into("<Q", omap, 48, 2)
    count = len(volume_flags)
    struct.pack_into("<I", node, 24, 0x40000002)
    struct.pack_into("<H", node, 32, 0x7)  # a root and a leaf, of fixed-size entries
    struct.pack_into("<IHH", node, 36, count, 0, 4 * count)
    keys, values_end = 56 + 4 * count, 4096 - 40
    for i, flags in enumerate(volume_flags):
        struct.pack_into("<Q", sb, 184 + 8 * i, 1026 + i)
        struct.pack_into("<HH", node, 56 + 4 * i, 16 * i, 16 * (i + 1))
        struct.pack_into("<QQ", node, keys + 16 * i, 1026 + i, 5)
        struct.pack_into("<IIQ", node, values_end - 16 * (i + 1), 0, 4096, 3 + i)
        struct.pack_into("<I", blocks[3 + i], 24, 0xD)
        blocks[3 + i][32:36] = b"APSB"
        struct.pack_into("<Q", blocks[3 + i], 264, flags)
    for block in blocks[:3 + count]:
        struct.pack_into("<Q", block, 0, fletcher64(bytes(block)))
    if damaged:
        sb[100] ^= 1
    return b"".join(bytes(block) for block in blocks)


def filevault(n, p=None):
    if p is None:
        return b"\r\nPhysicalDrive" + b(n) + b" is a FileVault 2 encrypted volume.\r\n"
    return (b"PhysicalDrive" + b(n) + b", Partition " + b(p) +
            b" is a FileVault 2 encrypted volume.\r\n")


def encrypted_apfs(n, p=None):
    place = b"\r\nPhysicalDrive" + b(n) if p is None else b"PhysicalDrive" + b(n) + b", Partition " + b(p)
    return place + b" holds a FileVault encrypted APFS volume.\r\n"


# ---------------------------------------------------------------------------------------------
# Drives that fail: loop devices, device-mapper error targets, files whose reads fail

class DeviceUnavailable(Exception):
    """The kind of device a test asked for cannot be made on this machine; the message says
    why. Tests turn it into a skip."""


@contextlib.contextmanager
def loop_device(path, read_only=True):
    """Attaches `path` to a free loop device (read-only unless told otherwise, as losetup -r)
    and yields the device's path; detaches it at the end. Raises DeviceUnavailable when not root
    or without losetup."""
    if not is_root() or not have("losetup"):
        raise DeviceUnavailable("loop devices need root and losetup")
    command = ["losetup", "--find", "--show"] + (["--read-only"] if read_only else []) + [path]
    device = tool(*command).decode().strip()
    try:
        yield device
    finally:
        subprocess.run(["losetup", "--detach", device], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def device_mapper_available():
    """Returns None when device-mapper targets can be made here, else the reason why not."""
    if not is_root() or not have("dmsetup"):
        return "device-mapper needs root and dmsetup"
    result = subprocess.run(["dmsetup", "version"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    if result.returncode != 0 or b"Driver version" not in result.stdout:
        return MISSING_KERNEL_FEATURES["device-mapper"]
    return None


@contextlib.contextmanager
def device_mapper(table):
    """Creates a device-mapper device from `table` (dmsetup's table text: "0 2048 error", or
    linear and error segments, one a line) and yields its /dev/mapper path; removes it at the
    end. Raises DeviceUnavailable when device-mapper cannot be used here."""
    reason = device_mapper_available()
    if reason is not None:
        raise DeviceUnavailable(reason)
    name = "tvx-%d-%s" % (os.getpid(), hashlib.sha256(table.encode()).hexdigest()[:8])
    tool("dmsetup", "create", name, "--table", table)
    try:
        yield "/dev/mapper/" + name
    finally:
        subprocess.run(["dmsetup", "remove", "--retry", name], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def _read_fails(failing, start, end):
    """True when a read of bytes `start` to `end` (exclusive) touches a failing byte: `failing` is
    the first failing offset (everything from there on fails), or a list of (first, end) byte
    ranges that fail."""
    if isinstance(failing, int):
        return end > failing
    return any(start < stop and end > first for first, stop in failing)


def _serve_failing_files(mountpoint, files, released):
    """In a child process: serves `files` (see failing_files) read-only through FUSE, with
    direct I/O so that every read reaches the handler at its own offset and size."""
    import errno
    import stat as modes
    import fusepy

    class FailingFiles(fusepy.Operations):
        use_ns = True

        def getattr(self, path, fh=None):
            if path == "/":
                return {"st_mode": modes.S_IFDIR | 0o555, "st_nlink": 2}
            name = path[1:]
            if name not in files:
                raise fusepy.FuseOSError(errno.ENOENT)
            return {"st_mode": modes.S_IFREG | 0o444, "st_nlink": 1, "st_size": files[name][0]}

        def readdir(self, path, fh):
            return [".", ".."] + sorted(files)

        def read(self, path, size, offset, fh):
            total, failing, content, *stalling = files[path[1:]]
            end = min(offset + size, total)
            if stalling and _read_fails(stalling[0], offset, end):
                # One request at a time: the whole file system stalls with this read.
                released.wait()
                raise fusepy.FuseOSError(errno.EIO)
            if _read_fails(failing, offset, end):
                raise fusepy.FuseOSError(errno.EIO)
            if isinstance(content, str):  # an image file, read where it lies
                with open(content, "rb") as image:
                    image.seek(offset)
                    data = image.read(max(end - offset, 0))
            else:
                data = content[offset:end]
            return data.ljust(max(end - offset, 0), b"\0")

    fusepy.FUSE(FailingFiles(), mountpoint, foreground=True, nothreads=True, ro=True,
                direct_io=True)


_stall_releases = {}  # mounted folder -> the event that ends its stalled reads


def main_thread_ended(pid):
    """True when process `pid` has ended, or its main thread has (/proc then shows the process
    as a zombie while the kernel still holds another of its threads)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            return any(line.split()[1:2] == ["Z"] for line in f if line.startswith("State:"))
    except FileNotFoundError:
        return True


def _read_to_end(pipe, seconds):
    """Returns what `pipe` gives up to its end, or None when it has not ended within
    `seconds`."""
    data, deadline = b"", time.monotonic() + seconds
    while select.select([pipe], [], [], max(0.0, deadline - time.monotonic()))[0]:
        chunk = os.read(pipe.fileno(), 1 << 16)
        if not chunk:
            return data
        data += chunk
    return None


def run_while_stalled(command, folder, limit, env=None, output_ends=True):
    """Runs `command` (the scanner and its arguments) while reads of the failing_files folder
    `folder` stall, and waits at most `limit` seconds for it to end; then releases the stalled
    reads and returns (seconds until it ended, exit status, stdout, stderr). Its end is its main
    thread's: a thread held in a stalled read keeps the process until the device gives up, which
    the release stands for. With `output_ends`, its standard output and error must have ended
    too before the release (the scanner closes them). Raises AssertionError when it has not
    ended in time."""
    started = time.monotonic()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=env)
    output = None
    try:
        while not main_thread_ended(process.pid):
            if time.monotonic() - started > limit:
                raise AssertionError("%s is still running after %ss" % (command, limit))
            time.sleep(0.05)
        took = time.monotonic() - started
        if output_ends:
            output = (_read_to_end(process.stdout, 5), _read_to_end(process.stderr, 5))
            if None in output:
                raise AssertionError("%s ended, but its output is still open" % (command,))
    finally:
        release_stalled_reads(folder)
        stdout, stderr = process.communicate(timeout=60)
    if output is not None:
        stdout, stderr = output
    return took, process.returncode, stdout, stderr


def release_stalled_reads(folder):
    """Lets the stalled reads of the failing_files folder `folder` end (with EIO), as a device
    that finally gives up does; every later read of a stalled range fails at once."""
    _stall_releases[folder].set()


@contextlib.contextmanager
def failing_files(files):
    """Mounts a FUSE file system whose files fail reads the way a dying disk does, and yields
    its folder. `files` maps a name to (size, failing, content) or (size, failing, content,
    stalling): a read that touches a failing byte (every byte from `failing` on, or those of a
    list of (first, end) ranges) fails with EIO, which the scanner reports as Windows error 23;
    a read that touches a byte of the `stalling` ranges never returns until
    release_stalled_reads or the unmount, and as the file system serves one request at a time,
    nothing else on it answers meanwhile; any other read returns `content` (bytes, or the path
    of an image file), then zeros. Unmounts at the end. Raises DeviceUnavailable without root,
    /dev/fuse or fusepy (Debian's python3-fusepy)."""
    try:
        import fusepy  # noqa: F401
    except ImportError:
        raise DeviceUnavailable("python3-fusepy is not installed")
    if not is_root() or not os.path.exists("/dev/fuse"):
        raise DeviceUnavailable("a FUSE mount needs root and /dev/fuse")
    scratch = tempfile.mkdtemp(prefix="tvx-failing-")
    context = multiprocessing.get_context("fork")
    released = _stall_releases[scratch] = context.Event()
    server = context.Process(target=_serve_failing_files, args=(scratch, files, released),
                             daemon=True)
    server.start()
    try:
        deadline = time.monotonic() + 10
        while not os.path.ismount(scratch):
            if not server.is_alive() or time.monotonic() > deadline:
                raise DeviceUnavailable("the FUSE file system did not mount")
            time.sleep(0.02)
        yield scratch
    finally:
        released.set()
        del _stall_releases[scratch]
        subprocess.run(["umount", "--lazy", scratch], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        server.join(10)
        if server.is_alive():
            server.kill()
            server.join()
        os.rmdir(scratch)
