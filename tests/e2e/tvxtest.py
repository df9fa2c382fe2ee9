"""Shared helpers for the end-to-end tests: running the scanner, building disk images with real
tools, and the exact texts of the report."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TVX = os.environ.get("TVX_BIN", os.path.join(ROOT, "build", "tvx"))
SECTOR = 512

# ---------------------------------------------------------------------------------------------
# Running the scanner


def run_tvx(args=(), devices=None, env=None, stdin=subprocess.DEVNULL, timeout=60, **kwargs):
    """Runs the scanner with `args` over the device folder `devices` (None: the live system) and
    returns the CompletedProcess, stdout and stderr as bytes."""
    environment = dict(os.environ)
    environment.pop("TVX_DEVICES", None)
    environment.pop("NO_COLOR", None)
    if devices is not None:
        environment["TVX_DEVICES"] = devices
    environment.update(env or {})
    return subprocess.run([TVX, *args], stdin=stdin, stdout=kwargs.pop("stdout", subprocess.PIPE),
                          stderr=kwargs.pop("stderr", subprocess.PIPE), env=environment,
                          timeout=timeout, **kwargs)


def is_root():
    return os.geteuid() == 0


def have(tool):
    return shutil.which(tool) is not None


# ---------------------------------------------------------------------------------------------
# The report's texts, byte for byte

BANNER = (b"\r\nTharvex v1.1\r\n"
          b"Written by the Tharvex developers\r\n"
          b"https://tharvex.example.org/\r\n"
          b"// This program comes with no guarantee or warranty.\r\n"
          b"   All risk is assumed by the user. //\r\n")
USAGE = (b"\r\nUsage:\r\n\r\n"
         b"    TVX <options>\r\n\r\n"
         b"Options:\r\n\r\n"
         b"        /?     - What you're reading now.\r\n"
         b"        /batch - No prompt for user input at the end of processing, just exit.\r\n\r\n")
PHYSICAL_START = b"\r\n* Checking physical drives on system... *\r\n"
PHYSICAL_END = b"\r\n* Completed checking physical drives on system. *\r\n"
LOGICAL_START = b"\r\n* Now checking logical volumes on system... *\r\n\r\n"
LOGICAL_END = b"\r\n* Completed checking logical volumes on system. *\r\n"
NOTHING_FOUND = (b"\r\nNo TrueCrypt, PGP, or Bitlocker encrypted volumes detectable by TVX "
                 b"were found.\r\n")
PROMPT = (b"\r\nPress any key to continue...\r\n"
          b"(use 'TVX /batch' to bypass this prompt next time)\r\n")


def report(physical=b"", logical=b"", found=False, prompt=False):
    """Returns the whole output of a run whose passes print `physical` and `logical`."""
    return (BANNER + PHYSICAL_START + physical + PHYSICAL_END + LOGICAL_START + logical +
            LOGICAL_END + (b"" if found else NOTHING_FOUND) + (PROMPT if prompt else b""))


def b(value):
    return value if isinstance(value, bytes) else str(value).encode()


def open_error(code):
    return b"\r\nError opening PhysicalDrive0... Error: " + b(code) + b"\r\n"


def read_error_drive0(code):
    return b"\r\nError reading PhysicalDrive0... Error: " + b(code) + b"\r\n"


def sector_read_error(code):
    return b"\r\nError reading drive... Error: " + b(code) + b"\r\n"


def truecrypt_loader(n):
    return b"\r\nPhysicalDrive" + b(n) + b" contains a TrueCrypt encrypted volume.\r\n"


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


def bitlocker(n, p):
    return b"PhysicalDrive" + b(n) + b", Partition " + b(p) + b" is a Bitlocker encrypted volume.\r\n"


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


def cdrom(letter, number):
    return b"Drive " + b(letter) + b": is a CD-ROM/DVD device (#" + b(number) + b").\r\n"


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
        with open(volume, "rb") as source, open(path, "r+b") as target:
            target.seek(start_sector * SECTOR)
            while True:
                chunk = source.read(1 << 20)
                if not chunk:
                    break
                if chunk.count(0) == len(chunk):
                    target.seek(len(chunk), os.SEEK_CUR)
                else:
                    target.write(chunk)


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


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
