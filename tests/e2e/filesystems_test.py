"""Disks as Linux installs and disk encryption leave them, made with the tools that make them:
LUKS1 and LUKS2 by cryptsetup, on a whole disk and on partitions; the Linux file systems, known
by their superblocks and named rather than called possibly encrypted; the VeraCrypt boot loader
and BitLocker volumes without a partition table, written from their published layouts; and an
Ubuntu and a Fedora disk that end with the all-clear; and one volume of each family Debian's
tools make (UDF, ISO 9660, squashfs, cramfs, EROFS, JFS, ReiserFS, NILFS2, Minix, BFS, OCFS2,
GFS2, bcache, exFAT, NTFS, FAT, md members), as a partition and as a whole disk, named as
`blkid -p` names it. A tool that is missing here skips its own rows only."""

import contextlib
import json
import struct
import re
import subprocess
import tempfile
import time

from tvxtest import *

ZEROS = b"\0" * 8
# Bytes 3 to 10 of each LUKS header: the end of the magic, the version, then LUKS1's cipher name
# ("aes", zero-padded) or the first bytes of LUKS2's header size.
LUKS1_OEM = b"S\xBA\xBE\0\x01aes"
LUKS2_OEM = b"S\xBA\xBE\0\x02\0\0\0"
# Bytes 3 to 10 of a 300 MiB XFS: the end of "XFSB", the block size 4096 and the top bytes of
# the block count, big-endian.
XFS_OEM = b"B\0\0\x10\0\0\0\0"


def luks1_with_two_keys(volume):
    luks_format(volume, "luks1")
    add_key(volume, b"second key")


def luks2_damaged(volume):
    """LUKS2 whose JSON area lost a byte after its checksum was written."""
    luks_format(volume, "luks2")
    write_at(volume, 4096 + 1, b"#")


def luks2_primary_wiped(volume):
    """LUKS2 whose first 4 KiB (the primary binary header) were zeroed: the secondary copy
    cryptsetup keeps at 16 KiB is left."""
    luks_format(volume, "luks2")
    write_at(volume, 0, bytes(4096))


def geli_provider(seed):
    """Filler: a GELI provider as FreeBSD's geli init leaves it: encrypted (random) data, and in
    its last sector the metadata, little-endian: magic padded to 16 bytes, version 7, flags,
    AES-XTS with a 128-bit key, no authentication, provider size, sector size 4096, one key,
    iterations, then salt and encrypted keys."""
    def fill(path, start, sectors):
        size = sectors * SECTOR
        write_at(path, start * SECTOR, random_bytes(64 * 1024, seed))
        metadata = (b"GEOM::ELI".ljust(16, b"\0") + struct.pack("<IIHHHQIBi", 7, 0, 22, 128, 0,
                                                                  size, 4096, 1, 65536) +
                    random_bytes(448, seed + "-keys"))
        write_at(path, (start + sectors - 1) * SECTOR, metadata)
    return fill


def geli(n, p=None):
    place = b"PhysicalDrive" + b(n) + (b", Partition " + b(p) if p else b"")
    return (b"" if p else b"\r\n") + place + b" is a GELI encrypted volume.\r\n"


def luks_damaged(n, p=None):
    place = b"PhysicalDrive" + b(n) + (b", Partition " + b(p) if p else b"")
    return ((b"" if p else b"\r\n") + place +
            b" is a LUKS encrypted volume (its primary header is damaged).\r\n")


def made_apart(make):
    """Filler: `make(volume)` on a scratch file of the partition's size, then copied in place,
    for tools that cannot write at an offset of an image."""
    def fill(path, start, sectors):
        with tempfile.TemporaryDirectory(prefix="tvx-volume-") as scratch:
            volume = sparse_file(os.path.join(scratch, "volume"), sectors * SECTOR)
            make(volume)
            copy_into(volume, path, start * SECTOR)
    return fill


def ext_volume(kind):
    return lambda path, start, sectors: tool(
        "mke2fs", "-q", "-F", "-t", kind, "-E", "offset=%d" % (start * SECTOR), path,
        "%dk" % (sectors * SECTOR // 1024))


def physical_volume(volume):
    with loop_device(volume, read_only=False) as device:
        tool("pvcreate", "-y", "-ff", device, env={**os.environ, "LVM_SUPPRESS_FD_WARNINGS": "1"})


def can_make_physical_volumes():
    return is_root() and have("pvcreate") and os.path.exists("/dev/loop-control")


def apart(*command):
    """Filler: `command` with the scratch volume's path last, run by made_apart."""
    return made_apart(lambda volume: tool(*command, volume))


PASSPHRASE = "passphrase or key file"
ONE_PASSPHRASE = ([(PASSPHRASE, 1)], None)


def partition_lines(n, p, oem, name):
    """The lines of partition p of drive n: the file system `name`, or LUKS with one passphrase
    when None."""
    return oem_line(n, p, oem) + (file_system(n, p, name) if name else
                                  luks(n, p) + unlocked_with(PASSPHRASE))


# The partitions of the Linux disk: the tool that makes each, its size in MiB, its filler, its
# bytes 3 to 10 and the file system the report names (None: a LUKS volume).
LINUX_PARTITIONS = [
    ("mke2fs", 16, ext_volume("ext4"), ZEROS, "ext4"),
    ("mke2fs", 16, ext_volume("ext3"), ZEROS, "ext3"),
    ("mke2fs", 16, ext_volume("ext2"), ZEROS, "ext2"),
    ("mkfs.xfs", 300, apart("mkfs.xfs", "-q", "-f"), XFS_OEM, "XFS"),
    ("mkfs.btrfs", 128, apart("mkfs.btrfs", "-q", "-f"), ZEROS, "Btrfs"),
    ("mkswap", 16, apart("mkswap"), ZEROS, "Linux swap"),
    ("mkfs.f2fs", 64, apart("mkfs.f2fs", "-q", "-f"), ZEROS, "F2FS"),
    ("pvcreate", 8, made_apart(physical_volume), ZEROS, "LVM2 physical volume"),
    ("cryptsetup", 32, made_apart(lambda v: luks_format(v, "luks2")), LUKS2_OEM, None),
]


def veracrypt_boot_loader_mbr(table_from):
    """Returns sector 0 as VeraCrypt's system encryption leaves it: a far jump over the loader's
    name, " VeraCrypt Boot Loader" from byte 5, and the partition table and boot signature of
    `table_from`."""
    sector = bytearray(table_from)
    sector[0:5] = b"\xEA\x1E\x7C\x00\x00"
    sector[5:30] = b" VeraCrypt Boot Loader\r\n\0"
    sector[30] = 0xFA  # the loader's code begins with cli
    return bytes(sector)


def windows_mbr_disk(path, sector0=None):
    """A Windows MBR disk whose system partition is encrypted (random bytes), with `sector0`
    (a function of the written sector 0) in place of the MBR when given."""
    partitioned_image(path, 16 * MIB, "dos", [
        Part(2048, 8192, "7", random_fill("filesystems-system"))])
    if sector0 is not None:
        write_at(path, 0, sector0(read_at(path, 0, SECTOR)))


def whole_disk(sector0, size=16 * MIB):
    return lambda path: write_at(sparse_file(path, size), 0, sector0)


def whole_luks_disk(kind, make=None):
    """A disk that is one LUKS volume: luksFormat of `kind`, or `make(path)`."""
    make = make or (lambda path: luks_format(path, kind))
    return lambda path: make(sparse_file(path, 32 * MIB))


def whole_bitlocker_disk(protections):
    """A disk that is one BitLocker volume, with FVE metadata for `protections`."""
    return lambda path: bitlocker_volume(protections)(sparse_file(path, 16 * MIB), 0, 32768)


def unlock_facts(finding):
    """The protectors (name, count) and state of a JSON finding, or "absent"."""
    if "protectors" not in finding:
        return "absent"
    protectors = finding["protectors"]
    return ([(p["name"], p["count"]) for p in protectors] if protectors is not None else None,
            finding["state"])


def luks1_partition_disk(path):
    """An MBR disk: an ordinary ext4, then LUKS1."""
    partitioned_image(path, 64 * MIB, "dos", [
        Part(2048, 32768, "83", ext_volume("ext4")),
        Part(34816, 65536, "83", made_apart(lambda v: luks_format(v, "luks1")))])


class FileSystemsTest(ScanFolderTest):
    def usable(self, rows):
        """Returns the rows whose tool (first field; None for none) can run here; each other
        row is reported as a skipped subtest."""
        kept = []
        for row in rows:
            name = row[0]
            if name is None or (can_make_physical_volumes() if name == "pvcreate" else have(name)):
                kept.append(row)
            else:
                with self.subTest(tool=name):
                    self.skipTest("%s cannot run here" % name)
        return kept

    def test_encrypted_disks_and_linux_file_systems(self):
        rows = self.usable(LINUX_PARTITIONS)
        parts, start = [], 2048
        for _, mib, fill, _, _ in rows:
            parts.append(Part(start, mib * MIB // SECTOR, GPT_LINUX, fill))
            start += mib * MIB // SECTOR
        linux = (None, lambda path: partitioned_image(path, (start + 2048) * SECTOR, "gpt", parts),
                 lambda n: b"".join(partition_lines(n, p, oem, name)
                                    for p, (_, _, _, oem, name) in enumerate(rows, 1)),
                 [("luks", p, ONE_PASSPHRASE) for p, row in enumerate(rows, 1) if row[4] is None])
        one = lambda lines: lambda n: lines(n) + unlocked_with(PASSPHRASE)
        # Each drive: its tool, its builder, its lines as drive n and its findings' kinds,
        # partitions (None: sector 0) and unlock facts in the JSON report.
        drives = self.usable([
            linux,
            ("cryptsetup", whole_luks_disk("luks1"), one(luks_disk),
             [("luks", None, ONE_PASSPHRASE)]),
            ("cryptsetup", whole_luks_disk("luks2"), one(luks_disk),
             [("luks", None, ONE_PASSPHRASE)]),
            ("cryptsetup", luks1_partition_disk,
             lambda n: (partition_lines(n, 1, ZEROS, "ext4") +
                        partition_lines(n, 2, LUKS1_OEM, None)), [("luks", 2, ONE_PASSPHRASE)]),
            ("cryptsetup", whole_luks_disk("luks1", luks1_with_two_keys),
             lambda n: luks_disk(n) + unlocked_with(PASSPHRASE + " (2)"),
             [("luks", None, ([(PASSPHRASE, 2)], None))]),
            ("cryptsetup", whole_luks_disk("luks2", luks_with_tokens),
             lambda n: luks_disk(n) + unlocked_with(PASSPHRASE + " (2)", "TPM", "FIDO2 key"),
             [("luks", None, ([(PASSPHRASE, 2), ("TPM", 1), ("FIDO2 key", 1)], None))]),
            # A header that does not check out: the finding, without the list.
            ("cryptsetup", whole_luks_disk("luks2", luks2_damaged), luks_disk,
             [("luks", None, (None, None))]),
            # The primary header wiped, on a whole disk and on a GPT partition.
            ("cryptsetup", whole_luks_disk("luks2", luks2_primary_wiped), luks_damaged,
             [("luks-damaged", None, "absent")]),
            ("cryptsetup",
             lambda path: partitioned_image(path, 40 * MIB, "gpt", [
                 Part(2048, 32768, GPT_LINUX, made_apart(luks2_primary_wiped))]),
             lambda n: oem_line(n, 1, ZEROS) + luks_damaged(n, 1),
             [("luks-damaged", 1, "absent")]),
            # GELI on a whole disk, and on an MBR partition whose size its entry gives.
            (None, lambda path: geli_provider("geli-disk")(sparse_file(path, 16 * MIB), 0,
                                                           16 * MIB // SECTOR),
             geli, [("geli", None, "absent")]),
            (None, lambda path: partitioned_image(path, 16 * MIB, "dos", [
                Part(2048, 8192, "a5", geli_provider("geli-part"))]),
             lambda n: oem_line(n, 1, random_bytes(64 * 1024, "geli-part")[3:11]) + geli(n, 1),
             [("geli", 1, "absent")]),
            (None, lambda path: windows_mbr_disk(path, veracrypt_boot_loader_mbr),
             veracrypt_loader, [("veracrypt-boot-loader", None, "absent")]),
            # The name moved out of place, as a damaged or edited loader leaves it.
            (None, lambda path: windows_mbr_disk(path, lambda s: s[:200] + b"VeraCrypt" + s[209:]),
             veracrypt_elsewhere, [("veracrypt-signature", None, "absent")]),
            (None, whole_disk(bitlocker_boot_sector(0, 32768)), bitlocker_disk,
             [("bitlocker", None, (None, None))]),
            (None, whole_disk(bitlocker_to_go_boot_sector(b"STICK")), bitlocker_disk,
             [("bitlocker", None, (None, None))]),
            (None, whole_bitlocker_disk([FVE_TPM, FVE_RECOVERY_PASSWORD]),
             lambda n: bitlocker_disk(n) + unlocked_with("TPM", "recovery password"),
             [("bitlocker", None, ([("TPM", 1), ("recovery password", 1)], "encrypted"))]),
        ])
        expected = self.build_drives([(build, lines(n))
                                      for n, (_, build, lines, _) in enumerate(drives)])
        self.assertReport(self.scan(), report(expected, found=True))

        # The JSON report: the same findings with their kinds, and the names of the file systems.
        document = json.loads(self.scan(("/json",)))
        self.assertEqual([(f["kind"], f["drive"], f["partition"], unlock_facts(f))
                          for f in document["findings"]],
                         [(kind, n, p, facts) for n, drive in enumerate(drives)
                          for kind, p, facts in drive[3]])
        self.assertEqual([p["fileSystem"] for p in document["drives"][0]["partitions"]],
                         [row[4] for row in rows])
        # Image files have no "now": no open-now line above, `open` null here; each drive names
        # the file it was read from.
        self.assertEqual({(f["open"], tuple(f["readableThrough"])) for f in document["findings"]},
                         {(None, ())})
        self.assertEqual([d["source"] for d in document["drives"]],
                         [os.path.realpath(self.entry("PhysicalDrive%d" % n))
                          for n in range(len(drives))])

    def test_bitlocker_metadata_as_cryptsetup_reads_it(self):
        """The FVE metadata these tests write, read by cryptsetup's own BitLocker code as well:
        bitlkDump sees the same protectors, in block order, as the report names."""
        if not have("cryptsetup"):
            self.skipTest("cryptsetup is not installed")
        kinds = [(FVE_TPM_AND_PIN, "TPM and PIN"), (FVE_RECOVERY_PASSWORD, "recovery passphrase"),
                 (FVE_PASSWORD, "passphrase"), (FVE_STARTUP_KEY, "startup key"),
                 (FVE_SMART_CARD, "smart card"), (FVE_TPM, "TPM"), (FVE_CLEAR_KEY, "clear key")]
        path = self.entry("PhysicalDrive0")
        whole_bitlocker_disk([kind for kind, _ in kinds])(path)
        dump = tool("cryptsetup", "bitlkDump", path).decode()
        self.assertEqual(re.findall(r"Protection: \tVMK protected with (.*)", dump),
                         [name for _, name in kinds])
        self.assertReport(self.scan(), report(
            bitlocker_disk(0) + SUSPENDED +
            unlocked_with("TPM", "TPM and PIN", "startup key", "recovery password", "password",
                          "smart card"), found=True))

    def test_ubuntu_and_fedora_disks(self):
        """Ubuntu's layout made by sgdisk (BIOS boot with a core image, ESP, ext4), and Fedora's
        by sfdisk (ESP, ext4 /boot, Btrfs). A BIOS boot partition that is not empty is examined
        like any other: a core image of random bytes is what an encrypted volume placed there
        would look like, so it is reported; the rest holds nothing that could hide one."""
        if not have("mkfs.btrfs"):
            self.skipTest("mkfs.btrfs is not installed")

        def ubuntu(path):
            sparse_file(path, 1024 * MIB)
            tool("sgdisk", "-n", "1:2048:+1M", "-t", "1:EF02", "-n", "2:4096:+256M", "-t", "2:EF00",
                 "-n", "3:0:0", "-t", "3:8300", path)
            random_fill("filesystems-core.img", 64 * 1024)(path, 2048, 2048)
            fat_volume(32)(path, 4096, 256 * MIB // SECTOR)
            ext4_volume()(path, 528384, (1024 * MIB - 528384 * SECTOR - 34 * SECTOR) // SECTOR)

        fedora = lambda path: partitioned_image(path, 1024 * MIB, "gpt", [
            Part(2048, 409600, GPT_ESP, fat_volume(32, "EFI-SYSTEM")),
            Part(411648, 262144, GPT_LINUX, ext4_volume()),
            Part(673792, 262144, GPT_LINUX, apart("mkfs.btrfs", "-q", "-f")),
        ])
        ubuntu(self.entry("PhysicalDrive0"))
        core = read_at(self.entry("PhysicalDrive0"), 2048 * SECTOR, SECTOR)
        self.assertNotEqual(core[510:], b"\x55\xAA")
        expected = oem_line(0, 1, core[3:11]) + damaged(0, 1) + self.build_drives([
            (lambda path: None, label_lines(0, 2, b"mkfs.fat", b"NO NAME    ") +
             oem_line(0, 3, ZEROS) + file_system(0, 3, "ext4")),
            (fedora, label_lines(1, 1, b"mkfs.fat", b"EFI-SYSTEM ") +
             oem_line(1, 2, ZEROS) + file_system(1, 2, "ext4") +
             oem_line(1, 3, ZEROS) + file_system(1, 3, "Btrfs")),
        ])
        self.assertReport(self.scan(), report(expected, found=True))
        # The same disk with its BIOS boot partition empty, as sgdisk leaves it: left out.
        rest = expected[len(oem_line(0, 1, core[3:11]) + damaged(0, 1)):]
        write_at(self.entry("PhysicalDrive0"), 2048 * SECTOR, bytes(SECTOR))
        self.assertReport(self.scan(), report(rest))
        # With GRUB's real core image there, as grub-install leaves it: an ordinary sector.
        if os.path.exists(GRUB_DISKBOOT):
            with open(GRUB_DISKBOOT, "rb") as image:
                write_at(self.entry("PhysicalDrive0"), 2048 * SECTOR, image.read())
            diskboot = read_at(self.entry("PhysicalDrive0"), 2048 * SECTOR + 3, 8)
            self.assertReport(self.scan(), report(oem_line(0, 1, diskboot) + rest))


# The first sector of GRUB's core image, from Debian's grub-pc-bin.
GRUB_DISKBOOT = "/usr/lib/grub/i386-pc/diskboot.img"


# Ordinary volumes as Debian's tools make them: (the tool that must be here, the TYPE `blkid -p`
# gives the volume, the size of its scratch file in MiB, and its maker, given the file's path and
# a folder of files to put in images). blkid's TYPE maps to the name TVX gives through
# BLKID_NAMES.
ORDINARY_VOLUMES = [
    ("mkudffs", "udf", 16, lambda v, src: tool("mkudffs", "--media-type=hd", "--blocksize=512", v)),
    ("xorriso", "iso9660", 0,
     lambda v, src: tool("xorriso", "-as", "mkisofs", "-quiet", "-o", v, src)),
    ("mksquashfs", "squashfs", 0,
     lambda v, src: tool("mksquashfs", src, v, "-quiet", "-noappend", "-no-progress")),
    ("mkfs.cramfs", "cramfs", 0, lambda v, src: tool("mkfs.cramfs", src, v)),
    ("mkfs.erofs", "erofs", 0, lambda v, src: tool("mkfs.erofs", v, src)),
    ("mkfs.jfs", "jfs", 32, lambda v, src: tool("mkfs.jfs", "-q", v)),
    ("mkfs.reiserfs", "reiserfs", 64, lambda v, src: tool("mkfs.reiserfs", "-q", "-f", v)),
    ("mkfs.nilfs2", "nilfs2", 160, lambda v, src: tool("mkfs.nilfs2", "-q", "-f", v)),
    ("mkfs.minix", "minix", 8, lambda v, src: tool("mkfs.minix", v)),
    ("mkfs.minix", "minix", 8, lambda v, src: tool("mkfs.minix", "-3", v)),
    ("mkfs.bfs", "bfs", 8, lambda v, src: tool("mkfs.bfs", v)),
    ("mkfs.ocfs2", "ocfs2", 64, lambda v, src: tool("mkfs.ocfs2", "-q", "-F", "-M", "local", v)),
    ("mkfs.gfs2", "gfs2", 64,
     lambda v, src: tool("mkfs.gfs2", "-O", "-p", "lock_nolock", "-j", "1", v)),
    ("make-bcache", "bcache", 32, lambda v, src: tool("make-bcache", "-B", v)),
    ("mkfs.exfat", "exfat", 32, lambda v, src: tool("mkfs.exfat", v)),
    ("mkntfs", "ntfs", 32, lambda v, src: tool("mkntfs", "-q", "-F", "-f", v)),
    ("mkfs.fat", "vfat", 32, lambda v, src: tool("mkfs.fat", "-F", "16", v)),
    ("mke2fs", "jbd", 8, lambda v, src: tool("mke2fs", "-q", "-F", "-O", "journal_dev", v)),
    ("mkswap", "swap", 8, lambda v, src: tool("mkswap", "-p", "65536", v)),
] + [("mdadm", "linux_raid_member", 32, None, metadata) for metadata in ("0.90", "1.0", "1.2")] + [
    ("mdadm", "ddf_raid_member", 64, None, "ddf"),
    ("mdadm", "isw_raid_member", 64, None, "imsm"),
]

BLKID_NAMES = {
    "udf": "UDF", "iso9660": "ISO 9660", "squashfs": "squashfs", "cramfs": "cramfs",
    "erofs": "EROFS", "jfs": "JFS", "reiserfs": "ReiserFS", "nilfs2": "NILFS2", "minix": "Minix",
    "bfs": "BFS", "ocfs2": "OCFS2", "gfs2": "GFS2", "bcache": "bcache", "exfat": "exFAT",
    "ntfs": "NTFS", "vfat": "FAT", "linux_raid_member": "Linux RAID member",
    "ddf_raid_member": "DDF RAID member", "isw_raid_member": "Intel RAID member",
    "jbd": "ext journal", "swap": "Linux swap",
}


def md_member(volume, metadata):
    """Makes `volume` a one-disk (ddf, imsm: two-disk container) md member of `metadata`
    through a loop device, then stops the array; DeviceUnavailable where md cannot run."""
    if not os.path.exists("/proc/mdstat"):
        raise DeviceUnavailable(MISSING_KERNEL_FEATURES["md"])
    name = "/dev/md/tvx-test-%d" % os.getpid()
    with loop_device(volume, read_only=False) as device:
        if metadata in ("ddf", "imsm"):
            command = ["mdadm", "--create", name, "--run", "--force", "--metadata=" + metadata,
                       "--raid-devices=1", device]
        else:
            command = ["mdadm", "--create", name, "--run", "--force", "--level=1",
                       "--raid-devices=1", "--metadata=" + metadata, device]
        result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env={**os.environ, "IMSM_NO_PLATFORM": "1"})
        subprocess.run(["mdadm", "--stop", name], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            raise DeviceUnavailable("mdadm cannot make %s here: %s" %
                                    (metadata, result.stdout.decode(errors="replace").strip()))


class OrdinaryVolumesTest(ScanFolderTest):
    """One volume of each family Debian's tools make, as a partition and as a whole disk: TVX
    names it as `blkid -p` does, and calls nothing possibly encrypted. The volumes are made once
    for the class."""

    volumes = []  # (name TVX gives, path, has the boot signature)
    skipped = []  # (tool, why)

    @classmethod
    def setUpClass(cls):
        cls._made = tempfile.TemporaryDirectory(prefix="tvx-volumes-")
        src = os.path.join(cls._made.name, "src")
        os.mkdir(src)
        with open(os.path.join(src, "notes.txt"), "w") as f:
            f.write("an ordinary file\n")
        for i, row in enumerate(ORDINARY_VOLUMES):
            needed, kind, mib, make = row[:4]
            volume = os.path.join(cls._made.name, "volume-%d" % i)
            if not have(needed):
                cls.skipped.append((needed, "not installed"))
                continue
            try:
                if mib:
                    sparse_file(volume, mib * MIB)
                if make is None:
                    md_member(volume, row[4])
                else:
                    make(volume, src)
            except DeviceUnavailable as problem:
                cls.skipped.append((needed, str(problem)))
                continue
            found = tool("blkid", "-p", "-o", "value", "-s", "TYPE", volume).decode().strip()
            if found != kind:
                raise AssertionError("blkid -p calls the %s volume %r" % (kind, found))
            # An image shorter than a whole sector is padded, as a partition holds it.
            size = os.path.getsize(volume)
            if size % MIB:
                os.truncate(volume, size + MIB - size % MIB)
            cls.volumes.append((BLKID_NAMES[kind], volume,
                                read_at(volume, 510, 2) == b"\x55\xAA"))

    @classmethod
    def tearDownClass(cls):
        cls._made.cleanup()

    def report_skips(self):
        for needed, why in self.skipped:
            with self.subTest(tool=needed):
                self.skipTest(why)

    def test_each_volume_as_a_partition(self):
        """All volumes as partitions of one GPT disk: a volume with the boot signature shows its
        OEM ID as before, every other one is named; nothing is called possibly encrypted."""
        self.report_skips()
        parts, start = [], 2048
        for _, volume, _ in self.volumes:
            sectors = os.path.getsize(volume) // SECTOR
            parts.append(Part(start, sectors, GPT_LINUX,
                              lambda path, first, count, v=volume: copy_into(v, path, first * SECTOR)))
            start += sectors
        partitioned_image(self.entry("PhysicalDrive0"), (start + 2048) * SECTOR, "gpt", parts)
        document = json.loads(self.scan(("/json",)))
        self.assertEqual(document["findings"], [])
        self.assertEqual([p["fileSystem"] for p in document["drives"][0]["partitions"]],
                         [None if signed else name for name, _, signed in self.volumes])

    def test_each_volume_as_a_whole_disk(self):
        """Each volume alone on a disk: "PhysicalDriveN --- File system: NAME", but for NTFS,
        whose OEM ID keeps sector 0 silent; then a disk of random bytes, possibly encrypted whole,
        and an empty one, which says nothing."""
        self.report_skips()
        expected = b""
        for n, (name, volume, _) in enumerate(self.volumes):
            self.link("PhysicalDrive%d" % n, volume)
            expected += b"" if name == "NTFS" else disk_file_system(n, name)
        n = len(self.volumes)
        write_at(self.image("PhysicalDrive%d" % n, 16 * MIB), 0, random_bytes(MIB, "whole-disk"))
        self.image("PhysicalDrive%d" % (n + 1), 16 * MIB)
        self.assertReport(self.scan(), report(expected + no_partition_table(n), found=True))
        document = json.loads(self.scan(("/json",)))
        self.assertEqual([d["fileSystem"] for d in document["drives"][:n]],
                         [None if name == "NTFS" else name for name, _, _ in self.volumes])
        self.assertEqual([(f["kind"], f["drive"], f["partition"]) for f in document["findings"]],
                         [("possibly-encrypted", n, None)])


# ---------------------------------------------------------------------------------------------
# Encryption inside ordinary file systems: fscrypt on ext4 and F2FS, ZFS native encryption


def ext4_fscrypt(encrypt):
    """Filler: mke2fs -t ext4, with `-O encrypt` when `encrypt`."""
    return lambda path, start, sectors: tool(
        "mke2fs", "-q", "-F", "-t", "ext4", *(("-O", "encrypt") if encrypt else ()),
        "-E", "offset=%d" % (start * SECTOR), path, "%dk" % (sectors * SECTOR // 1024))


def f2fs_fscrypt(encrypt):
    """Filler: mkfs.f2fs, with `-O encrypt` when `encrypt`."""
    return apart("mkfs.f2fs", "-q", "-f", *(("-O", "encrypt") if encrypt else ()))


@contextlib.contextmanager
def zfs_fuse_daemon():
    """Yields with Debian's zfs-fuse daemon answering: one already running, or one started here
    and stopped afterwards."""
    answers = lambda: subprocess.run(["zpool", "list"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL).returncode == 0
    if answers():
        yield
        return
    daemon = subprocess.Popen(["zfs-fuse", "--no-daemon"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if answers():
                break
            time.sleep(0.1)
        yield
    finally:
        daemon.terminate()
        try:
            daemon.wait(30)
        except subprocess.TimeoutExpired:
            daemon.kill()
            daemon.wait()


def zfs_fuse_pool(volume):
    """Makes `volume` (64 MiB at least) the one vdev of a real, unencrypted pool of zfs-fuse
    (pool version 23, before feature flags), then exports it."""
    name = "tvx-test-%d" % os.getpid()
    with zfs_fuse_daemon():
        tool("zpool", "create", "-f", "-m", "none", name, volume)
        tool("zpool", "export", name)


class EncryptionInsideFileSystemsTest(ScanFolderTest):
    # Each volume: the tool that makes it, its maker, its size in MiB, the name TVX gives it, and
    # its finding as a function of (drive, partition or None), or None for none.
    ENCRYPTED = [
        ("mke2fs", ext4_fscrypt(True), 16, "ext4", lambda n, p: fscrypt(n, p, "ext4")),
        ("mkfs.f2fs", f2fs_fscrypt(True), 64, "F2FS", lambda n, p: fscrypt(n, p, "F2FS")),
        (None, zfs_pool_volume(True), 16, "ZFS member", zfs_encrypted),
    ]
    PLAIN = [
        ("mke2fs", ext4_fscrypt(False), 16, "ext4", None),
        ("mkfs.f2fs", f2fs_fscrypt(False), 64, "F2FS", None),
        (None, zfs_pool_volume(False), 16, "ZFS member", None),
        ("zfs-fuse", made_apart(zfs_fuse_pool), 64, "ZFS member", None),
    ]

    def usable(self, rows):
        """The rows whose tool can run here; each other is a skipped subtest."""
        kept = []
        for row in rows:
            if row[0] is None or (have(row[0]) and (row[0] != "zfs-fuse" or is_root())):
                kept.append(row)
            else:
                with self.subTest(tool=row[0]):
                    self.skipTest("%s cannot run here" % row[0])
        return kept

    def drives(self, rows):
        """Builds drive 0, a GPT disk holding every volume of `rows`, then each volume alone as a
        whole disk; returns the report's lines and the findings' (kind, drive, partition)."""
        kind = {"ext4": "fscrypt", "F2FS": "fscrypt", "ZFS member": "zfs-encryption"}
        parts, start = [], 2048
        for _, fill, mib, _, _ in rows:
            parts.append(Part(start, mib * MIB // SECTOR, GPT_LINUX, fill))
            start += mib * MIB // SECTOR
        lines = b""
        kinds = []
        for p, (_, _, _, name, finding) in enumerate(rows, 1):
            lines += oem_line(0, p, ZEROS) + file_system(0, p, name)
            if finding:
                lines += finding(0, p)
                kinds.append((kind[name], 0, p))
        build = [(lambda path: partitioned_image(path, (start + 2048) * SECTOR, "gpt", parts),
                  lines)]
        for n, (_, fill, mib, name, finding) in enumerate(rows, 1):
            build.append((lambda path, fill=fill, mib=mib: fill(sparse_file(path, mib * MIB), 0,
                                                                 mib * MIB // SECTOR),
                          disk_file_system(n, name) + (finding(n, None) if finding else b"")))
            if finding:
                kinds.append((kind[name], n, None))
        return self.build_drives(build), kinds

    def test_fscrypt_and_encrypted_zfs_datasets_are_findings(self):
        """ext4 and F2FS made with `-O encrypt` and a pool counting an encrypted dataset, as
        partitions of one GPT disk and as whole disks, among their plain twins and a real pool
        from zfs-fuse: each keeps its file-system line, the encrypted ones add their finding,
        in Yellow, with kinds fscrypt and zfs-encryption; status 3."""
        rows = self.usable(self.ENCRYPTED + self.PLAIN)
        expected, kinds = self.drives(rows)
        self.assertReport(self.scan(), report(expected, found=True))
        document = json.loads(self.scan(("/json",)))
        self.assertEqual([(f["kind"], f["drive"], f["partition"]) for f in document["findings"]],
                         kinds)
        self.assertEqual({(f["open"], tuple(f["readableThrough"])) for f in document["findings"]},
                         {(None, ())})

    def test_the_same_without_encryption_is_the_all_clear(self):
        """The plain twins alone, and the real zfs-fuse pool: named, nothing found, status 0."""
        rows = self.usable(self.PLAIN)
        expected, kinds = self.drives(rows)
        self.assertEqual(kinds, [])
        self.assertReport(self.scan(), report(expected))
        self.assertEqual(self.last_status, 0)


# ---------------------------------------------------------------------------------------------
# FileVault on a Mac: CoreStorage and APFS, written from their published layouts

GPT_CORE_STORAGE = "53746F72-6167-11AA-AA11-00306543ECAC"
GPT_APFS = "7C3457EF-0000-11AA-AA11-00306543ECAC"


def written(data):
    """Filler: `data` at the partition's first sector."""
    return lambda path, start, sectors: write_at(path, start * SECTOR, data)


def at_end(data, back):
    """Filler: `data` written `back` bytes before the end of the partition."""
    return lambda path, start, sectors: write_at(path, (start + sectors) * SECTOR - back, data)


class EndOfVolumeTest(ScanFolderTest):
    def test_marks_before_the_end_of_partitions_and_disks(self):
        """RAID metadata in the last sectors, found from the size each table gives: an MBR
        primary entry, a logical partition's EBR entry, and a whole disk's length."""
        drive0 = lambda path: partitioned_image(path, 16 * MIB, "dos", [
            Part(2048, 4096, "83", at_end(b"$XIDE$", SECTOR)),
            Part(8192, 8192, "5"),
            Part(10240, 4096, "83", at_end(b"NVIDIA  ", 2 * SECTOR)),
        ])
        expected = self.build_drives([
            (drive0, oem_line(0, 1, ZEROS) + file_system(0, 1, "LSI MegaRAID member") +
             oem_line(0, 2, ZEROS) +  # the extended partition: its EBR has the boot signature
             oem_line(0, 5, ZEROS) + file_system(0, 5, "NVIDIA RAID member")),
            (lambda path: write_at(sparse_file(path, 16 * MIB), 16 * MIB - SECTOR,
                                   b"\xDE\x11\xDE\x11"), disk_file_system(1, "DDF RAID member")),
        ])
        self.assertReport(self.scan(), report(expected))


class FileVaultTest(ScanFolderTest):
    def test_core_storage_and_apfs(self):
        """CoreStorage encrypted and not, APFS with and without an encrypted volume and damaged,
        on whole disks and as partitions."""
        unencrypted, encrypted = 0x1, 0x0
        apfs_partitions = [
            (core_storage_header(True), GPT_CORE_STORAGE, None, [filevault]),
            (core_storage_header(False), GPT_CORE_STORAGE, "CoreStorage", []),
            (apfs_container([unencrypted, encrypted]), GPT_APFS, "APFS", [encrypted_apfs]),
            (apfs_container([unencrypted]), GPT_APFS, "APFS", []),
            (apfs_container([encrypted], damaged=True), GPT_APFS, "APFS", []),
        ]
        parts = [Part(2048 + 256 * i, 256, kind, written(data))
                 for i, (data, kind, _, _) in enumerate(apfs_partitions)]
        mac = b"".join(oem_line(2, p, data[3:11]) +
                       (file_system(2, p, name) if name else b"") +
                       b"".join(line(2, p) for line in lines)
                       for p, (data, _, name, lines) in enumerate(apfs_partitions, 1))
        expected = self.build_drives([
            (whole_disk(core_storage_header(True)), filevault(0)),
            (whole_disk(core_storage_header(False)), disk_file_system(1, "CoreStorage")),
            (lambda path: partitioned_image(path, 16 * MIB, "gpt", parts), mac),
            (whole_disk(apfs_container([encrypted])),
             disk_file_system(3, "APFS") + encrypted_apfs(3)),
        ])
        self.assertReport(self.scan(), report(expected, found=True))
        document = json.loads(self.scan(("/json",)))
        self.assertEqual([(f["kind"], f["drive"], f["partition"]) for f in document["findings"]],
                         [("filevault", 0, None), ("filevault", 2, 1), ("filevault", 2, 3),
                          ("filevault", 3, None)])


if __name__ == "__main__":
    run_file()
