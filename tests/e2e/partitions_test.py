"""The partition pass over MBR disks made with sfdisk, mkfs.fat and mkntfs: the identity lines in
both forms, the BitLocker and missing-boot-signature verdicts, which entries are read, and
partitions far into a drive."""

import json
import os
import struct

from tvxtest import *

ZEROS = b"\0" * 8
# A container's first sector: this seed gives no 0x29 at bytes 38 and 66 and no boot signature,
# which the test checks before relying on it.
CONTAINER_SEED = "partitions-container"


def no_boot_signature(path, start, sectors):
    write_at(path, start * SECTOR + 510, b"\0\0")


def both(*fillers):
    """Filler: each of `fillers` in turn."""
    def fill(path, start, sectors):
        for filler in fillers:
            filler(path, start, sectors)
    return fill


def fat_label_markers(path, start, sectors):
    """Sets bytes 38 and 66, where FAT boot sectors mark their labels, to 0x29."""
    write_at(path, start * SECTOR + 38, b"\x29")
    write_at(path, start * SECTOR + 66, b"\x29")


def four_file_systems(path):
    return partitioned_image(path, 64 * MIB, "dos", [
        Part(2048, 4096, "1", fat_volume(12, "SMALL")),
        Part(6144, 8192, "6", fat_volume(16)),
        Part(14336, 65536, "c", fat_volume(32, "BIGDATA")),
        Part(79872, 16384, "7", ntfs_volume()),
    ])


FOUR_FILE_SYSTEMS_LINES = (
    label_lines(0, 1, b"mkfs.fat", b"SMALL      ") +
    label_lines(0, 2, b"mkfs.fat", b"NO NAME    ") +
    label_lines(0, 3, b"mkfs.fat", b"BIGDATA    ") +
    oem_line(0, 4, b"NTFS    "))


def verdicts(path):
    return partitioned_image(path, 96 * MIB, "dos", [
        Part(2048, 8192, "7", bitlocker_volume()),
        Part(10240, 8192, "7", random_fill(CONTAINER_SEED)),
        Part(18432, 65536, "c", boot_sector_volume(bitlocker_to_go_boot_sector())),
        Part(83968, 65536, "c", fat_volume(32, "WINDATA", oem=b"MSWIN4.1")),
    ])


def entry_three_alone(path):
    partitioned_image(path, 32 * MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "FIRST")),
        Part(10240, 8192, "6", fat_volume(16, "SECOND")),
        Part(18432, 8192, "6", fat_volume(16, "THIRD")),
    ])
    tool("sfdisk", "--no-reread", "--no-tell-kernel", "-q", "--delete", path, "1", "2")


def one_partition(fill, kind="6", sectors=8192, size=8 * MIB):
    return lambda path: partitioned_image(path, size, "dos", [Part(2048, sectors, kind, fill)])


def random_at(offset, seed):
    """Filler: 4 KiB of random bytes `offset` bytes into the partition, zeros before them."""
    return lambda path, start, sectors: write_at(path, start * SECTOR + offset,
                                                 random_bytes(4096, seed))


def text_file(path):
    """Notes an examiner kept, given as a drive: 2 KiB of plain text."""
    with open(path, "w") as notes:
        notes.write(("Case 2026-114, laptop seized at 09:40; imaged with ewfacquire.\r\n\t"
                     "Hash verified.\n" * 40)[:2048])


def cut_short(build, cut):
    """Builder: `build`, then the image's last `cut` bytes gone, as an acquisition that was
    interrupted leaves it."""
    def make(path):
        build(path)
        os.truncate(path, os.path.getsize(path) - cut)
    return make


TWO_FATS_GPT = lambda path: partitioned_image(path, 16 * MIB, "gpt", [
    Part(2048, 8192, GPT_BASIC_DATA, fat_volume(16, "FIRST")),
    Part(10240, 20480, GPT_BASIC_DATA, fat_volume(16, "LAST")),
])
TWO_FATS_LINES = (label_lines(0, 1, b"mkfs.fat", b"FIRST      ") +
                  label_lines(0, 2, b"mkfs.fat", b"LAST       "))


def extended(path):
    """A primary FAT16, then an extended partition whose one logical partition is labelled: the
    extended entry's own first sector (the EBR) is listed, then the logical partition as 5."""
    partitioned_image(path, 32 * MIB, "dos", [
        Part(2048, 8192, "6", fat_volume(16, "PRIMARY")),
        Part(10240, 20480, "5"),
        Part(12288, 8192, "6", fat_volume(16, "LOGICAL")),
    ])


def past_the_end(path):
    """Entry 1 starts at sector 4096 of a 1 MiB image: the read finds the end of the drive, and
    the drive is shorter than its table."""
    write_at(sparse_file(path, MIB), 0, mbr(starts=(4096, 0, 0, 0), types=(6, 0, 0, 0)))


# First sectors far into a 2 TiB sparse drive, where the byte offset needs two seeks (2^31),
# a high part (2^32), or lies beyond a signed 32-bit sector number (2^31 and 2^32 - 1 sectors).
FAR_STARTS = [(4194304, b"FAR-2GIB"), (8388608, b"FAR-4GIB"), (2147483648, b"FAR-1TIB"),
              (4294967295, b"FAR-2TIB")]


def far_partitions(path):
    sparse_file(path, 2 * TIB)
    write_at(path, 0, mbr(starts=[start for start, _ in FAR_STARTS], types=(0x0C,) * 4))
    for start, oem in FAR_STARTS:
        write_at(path, start * SECTOR, boot_sector(oem, fat32_label=b"FAR AWAY"))


def untyped_entry(path):
    """Entry 1 has type 0 (empty) yet a start sector: only the start field counts."""
    write_at(sparse_file(path, 4 * MIB), 0, mbr(starts=(2048, 0, 0, 0)))
    write_at(path, 2048 * SECTOR, boot_sector(b"UNTYPED", fat16_label=b"STILL READ"))


def lying_bitlocker_volume(path, start, sectors):
    """Filler: a BitLocker volume whose three FVE metadata blocks each hold an entry that says
    it is larger than the whole block."""
    bitlocker_volume([])(path, start, sectors)
    for offset in FVE_OFFSETS:
        write_at(path, start * SECTOR + offset,
                 fve_block([], entries=struct.pack("<HHHH", 0x7000, 2, 8, 1) + b"\0" * 40))


# BitLocker volumes of each protector kind and state: filler, the lines after the verdict, and
# the protectors and state of the JSON report.
BITLOCKER_KINDS = [
    (bitlocker_volume([FVE_TPM]), unlocked_with("TPM"), ([("TPM", 1)], "encrypted")),
    (bitlocker_volume([FVE_RECOVERY_PASSWORD, FVE_TPM_AND_PIN]),
     unlocked_with("TPM and PIN", "recovery password"),
     ([("TPM and PIN", 1), ("recovery password", 1)], "encrypted")),
    (bitlocker_volume([FVE_TPM_AND_STARTUP_KEY]), unlocked_with("TPM and startup key"),
     ([("TPM and startup key", 1)], "encrypted")),
    (bitlocker_volume([FVE_TPM_PIN_AND_STARTUP_KEY]), unlocked_with("TPM, PIN and startup key"),
     ([("TPM, PIN and startup key", 1)], "encrypted")),
    (bitlocker_volume([FVE_STARTUP_KEY], FVE_ENCRYPTING),
     unlocked_with("startup key") + ENCRYPTION_IN_PROGRESS, ([("startup key", 1)], "encrypting")),
    (bitlocker_volume([FVE_PASSWORD, FVE_RECOVERY_PASSWORD, FVE_RECOVERY_PASSWORD]),
     unlocked_with("recovery password", "password"),
     ([("recovery password", 2), ("password", 1)], "encrypted")),
    (bitlocker_volume([FVE_SMART_CARD], FVE_PAUSED), unlocked_with("smart card") + PARTLY_ENCRYPTED,
     ([("smart card", 1)], "paused")),
    (bitlocker_volume([FVE_CLEAR_KEY], FVE_DECRYPTING), SUSPENDED + DECRYPTION_IN_PROGRESS,
     ([("clear key", 1)], "decrypting")),
    (bitlocker_volume([FVE_TPM, FVE_CLEAR_KEY]), SUSPENDED + unlocked_with("TPM"),
     ([("clear key", 1), ("TPM", 1)], "encrypted")),
    (lying_bitlocker_volume, b"", (None, None)),
]


def bitlocker_disks(first_drive):
    """Drives of up to four 1 MiB BitLocker partitions, one for each of BITLOCKER_KINDS, with
    their expected lines; the first is PhysicalDrive `first_drive`."""
    drives = []
    for d in range(0, len(BITLOCKER_KINDS), 4):
        kinds = BITLOCKER_KINDS[d:d + 4]
        n = first_drive + d // 4
        parts = [Part(2048 * (p + 1), 2048, "7", fill) for p, (fill, _, _) in enumerate(kinds)]
        drives.append((lambda path, parts=parts: partitioned_image(path, 12 * MIB, "dos", parts),
                       b"".join(oem_line(n, p, b"-FVE-FS-") + bitlocker(n, p) + lines
                                for p, (_, lines, _) in enumerate(kinds, 1))))
    return drives


def long_chain(path, records=130):
    """An extended partition (entry 1, sector 2048) whose chain has `records` extended boot
    records, four sectors apart, each with an NTFS logical partition two sectors past it."""
    sparse_file(path, 4 * MIB)
    write_at(path, 0, mbr(starts=(2048, 0, 0, 0), types=(5, 0, 0, 0)))
    for k in range(records):
        last = k + 1 == records
        write_at(path, (2048 + 4 * k) * SECTOR,
                 mbr(starts=(2, 0 if last else 4 * (k + 1), 0, 0), types=(7, 0 if last else 5, 0, 0)))
        write_at(path, (2048 + 4 * k + 2) * SECTOR, boot_sector(b"NTFS"))


class ChainCapTest(ScanFolderTest):
    def test_a_chain_cut_at_its_cap_is_said_and_is_a_gap(self):
        """130 logical partitions: 128 are read (5 to 132), then the line that says the rest
        were not, after the drive's partition lines; the run cannot call the drive clean. A
        chain of exactly 128 ends at the cap without a cut."""
        for records, cut in ((130, True), (128, False)):
            with self.subTest(records=records):
                long_chain(self.entry("PhysicalDrive0"), records)
                lines = oem_line(0, 1, ZEROS) + b"".join(
                    oem_line(0, p, b"NTFS    ") for p in range(5, 133))
                expected = report(lines + chain_cut(0), incomplete=True) if cut else report(lines)
                self.assertReport(self.scan(), expected)
                self.assertEqual(self.last_status, 2 if cut else 0)


class IdentityAndVerdictTest(ScanFolderTest):
    def test_sixteen_drives(self):
        container = random_bytes(SECTOR, CONTAINER_SEED)
        self.assertNotIn(0x29, (container[38], container[66]))
        self.assertNotEqual(container[510:512], b"\x55\xAA")
        drives = [
            (four_file_systems, FOUR_FILE_SYSTEMS_LINES),
            (verdicts,
             oem_line(1, 1, b"-FVE-FS-") + bitlocker(1, 1) +
             oem_line(1, 2, container[3:11]) + damaged(1, 2) +
             label_lines(1, 3, b"MSWIN4.1", b"NO NAME    ") + bitlocker(1, 3) +
             label_lines(1, 4, b"MSWIN4.1", b"WINDATA    ")),
            (entry_three_alone, label_lines(2, 3, b"mkfs.fat", b"THIRD      ")),
            (lambda path: partitioned_image(path, MIB, "dos", []), b""),
            (one_partition(both(fat_volume(16, "NOSIG"), no_boot_signature)),
             label_lines(4, 1, b"mkfs.fat", b"NOSIG      ") + file_system(4, 1, "FAT")),
            (one_partition(both(ntfs_volume(), fat_label_markers), "7"),
             oem_line(5, 1, b"NTFS    ")),
            (one_partition(boot_sector_volume(
                boot_sector(b"-FVE-FS-", fat16_label=b"LOCKED", signature=False))),
             label_lines(6, 1, b"-FVE-FS-", b"LOCKED     ") + bitlocker(6, 1)),
            (extended,
             label_lines(7, 1, b"mkfs.fat", b"PRIMARY    ") + oem_line(7, 2, ZEROS) +
             label_lines(7, 5, b"mkfs.fat", b"LOGICAL    ")),
            (past_the_end, sector_read_error(38, "PhysicalDrive8, Partition 1", 4096) +
             shorter_than_table(8, 2048, 4096)),
            (far_partitions, b"".join(label_lines(9, p, oem, b"FAR AWAY   ")
                                      for p, (_, oem) in enumerate(FAR_STARTS, 1))),
            (one_partition(fat_volume(32), "c", 65536, 40 * MIB),
             label_lines(10, 1, b"mkfs.fat", b"NO NAME    ")),
            (untyped_entry, label_lines(11, 1, b"UNTYPED ", b"STILL READ ")),
        ] + bitlocker_disks(12)
        expected = self.build_drives(drives)
        # The partition past the end was not read: the findings may not be all there is.
        self.assertReport(self.scan(), report(expected, found=True, incomplete=True))
        self.assertEqual(self.last_status, 3)

        # The JSON report: protectors and state for BitLocker findings only.
        findings = json.loads(self.scan(("/json",)))["findings"]
        facts = [(f.get("protectors"), f.get("state")) for f in findings if f["drive"] >= 12]
        self.assertEqual([([(p["name"], p["count"]) for p in protectors] if protectors else
                           protectors, state) for protectors, state in facts],
                         [row[2] for row in BITLOCKER_KINDS])
        self.assertEqual([f["kind"] for f in findings if "protectors" in f],
                         ["bitlocker"] * (2 + 1 + len(BITLOCKER_KINDS)))
        self.assertNotIn("state", findings[1])  # the random-filled container

    def test_which_partitions_set_the_finding(self):
        cases = [
            ("ordinary file systems only", four_file_systems, FOUR_FILE_SYSTEMS_LINES, False),
            ("a BitLocker volume", one_partition(bitlocker_volume()),
             oem_line(0, 1, b"-FVE-FS-") + bitlocker(0, 1), True),
            # Its BIOS parameter block still names FAT.
            ("a FAT boot sector without its signature",
             one_partition(both(fat_volume(16, "NOSIG"), no_boot_signature)),
             label_lines(0, 1, b"mkfs.fat", b"NOSIG      ") + file_system(0, 1, "FAT"), False),
            # Never formatted: nothing in its first MiB, so nothing to call encrypted.
            ("a partition sfdisk made and nothing filled", one_partition(None, kind="83"),
             oem_line(0, 1, ZEROS) + empty_partition(0, 1), False),
            # A container may begin after a zeroed head.
            ("zeros, then random bytes 512 KiB in", one_partition(random_at(512 * 1024, "late")),
             oem_line(0, 1, ZEROS) + damaged(0, 1), True),
            ("zeros, then random bytes past the first MiB",
             one_partition(random_at(MIB, "later")), oem_line(0, 1, ZEROS) +
             empty_partition(0, 1), False),
            ("a text file given as a drive", text_file, not_a_disk(0), "incomplete"),
            # An acquisition cut short: the backup GPT and the end of the last partition are gone.
            ("a GPT disk missing its last 2 MiB", cut_short(TWO_FATS_GPT, 2 * MIB),
             TWO_FATS_LINES + shorter_than_table(0, 28672, 32767), "incomplete"),
            ("a GPT disk missing the last 100 bytes", cut_short(TWO_FATS_GPT, 100),
             TWO_FATS_LINES + size_odd(0, 16 * MIB - 100) + shorter_than_table(0, 32767, 32767),
             "incomplete"),
            ("the same disk whole", TWO_FATS_GPT, TWO_FATS_LINES, False),
        ]
        for i, (what, build, lines, found) in enumerate(cases):
            with self.subTest(what):
                folder = self.entry("case-%d" % i)
                os.mkdir(folder)
                build(os.path.join(folder, "PhysicalDrive0"))
                expected = report(lines, found=found is True, incomplete=found == "incomplete")
                self.assertReport(self.scan(devices=folder), expected)
                document = json.loads(self.scan(("/json",), devices=folder))
                self.assertEqual(document["complete"], found != "incomplete", what)


if __name__ == "__main__":
    run_file()
