"""GPT disks made by sfdisk: the GPT's partitions replace the four MBR entries when its header
and entry array (or, for a damaged primary, the backup copy's) check out, and the MBR entries
stand when neither does."""

import json
import os
import tempfile

from tvxtest import *

ZEROS = b"\0" * 8
BEYOND_EXACT = 1 << 53  # first sectors from here on are refused with error 87
# What the protective MBR entry (start sector 1) shows when the GPT is not used: the header's
# bytes 3 to 10 ("EFI PART" and the revision 1.0), and no boot signature at its end.
HEADER_OEM = b" PART\0\0\x01"


def fallback(n):
    """A protective entry with no GPT that checks out behind it: said, not examined as a
    partition."""
    return gpt_damaged(n)


def gpt_disk(parts, size=128 * MIB):
    return lambda path: partitioned_image(path, size, "gpt", parts)


WINDOWS_DISK = gpt_disk([
    Part(2048, 65536, GPT_ESP, fat_volume(32, "EFI")),
    # A Microsoft Reserved entry that is not empty: examined like every partition.
    Part(67584, 32768, GPT_MSR, bitlocker_volume()),
    Part(100352, 8192, GPT_BASIC_DATA, bitlocker_volume()),
    Part(108544, 16384, GPT_BASIC_DATA, ntfs_volume()),
    Part(124928, 16384, GPT_LINUX, ext4_volume()),
    Part(141312, 2048, GPT_BASIC_DATA, boot_sector_volume(bitlocker_to_go_boot_sector())),
    Part(143360, 65536, GPT_BASIC_DATA, fat_volume(32, "WINDATA", oem=b"MSWIN4.1")),
])


def windows_disk_lines(n):
    return (label_lines(n, 1, b"mkfs.fat", b"EFI        ") +
            oem_line(n, 2, b"-FVE-FS-") + bitlocker(n, 2) +
            oem_line(n, 3, b"-FVE-FS-") + bitlocker(n, 3) +
            oem_line(n, 4, b"NTFS    ") +
            oem_line(n, 5, ZEROS) + file_system(n, 5, "ext4") +
            label_lines(n, 6, b"MSWIN4.1", b"NO NAME    ") + bitlocker(n, 6) +
            label_lines(n, 7, b"MSWIN4.1", b"WINDATA    "))


def fat16(label):
    return fat_volume(16, label)


def gaps(path):
    """Entry 1 deleted and entry 4's first sector set to 0: numbers follow the array."""
    gpt_disk([Part(2048, 8192, GPT_BASIC_DATA, fat16("GONE")),
              Part(10240, 8192, GPT_BASIC_DATA, fat16("SECOND")),
              Part(18432, 8192, GPT_BASIC_DATA, fat16("THIRD")),
              Part(26624, 8192, GPT_BASIC_DATA, fat16("FOURTH"))], 32 * MIB)(path)
    tool("sfdisk", "--no-reread", "--no-tell-kernel", "-q", "--delete", path, "1")
    patch_gpt(path, entries={4: {"first_lba": 0}})


def past_two_tib(path):
    """A sparse disk of 2 TiB + 64 MiB whose second partition starts above sector 2^32."""
    far = (1 << 32) + 2048
    gpt_disk([Part(2048, 8192, GPT_BASIC_DATA, fat16("NEAR")),
              Part(far, 65536, GPT_BASIC_DATA, boot_sector_volume(
                  boot_sector(b"FAR-GPT", fat32_label=b"PAST 2 TIB")))], 2 * TIB + 64 * MIB)(path)


def inexact_sectors(path):
    """Entry 1 starts at 2^53 (refused), entry 3 at 2^53 - 1 (read, far past the end)."""
    gpt_disk([Part(2048, 8192, GPT_BASIC_DATA, fat16("ONE")),
              Part(10240, 8192, GPT_BASIC_DATA, fat16("TWO")),
              Part(18432, 8192, GPT_BASIC_DATA, fat16("THREE"))], 32 * MIB)(path)
    patch_gpt(path, entries={1: {"first_lba": BEYOND_EXACT}, 3: {"first_lba": BEYOND_EXACT - 1}})


VIA_GPT = gpt_disk([Part(2048, 8192, GPT_BASIC_DATA, fat16("VIA GPT"))], 16 * MIB)


def via_gpt_lines(n):
    return label_lines(n, 1, b"mkfs.fat", b"VIA GPT    ")


def changed(both=False, **header):
    """A one-partition GPT disk whose header fields are changed, with both CRCs made to match:
    in the primary header, or with `both` in the backup header too."""
    def build(path):
        VIA_GPT(path)
        patch_gpt(path, header=header)
        if both:
            patch_gpt(path, header=header, backup=True)
    return build


def header_crc_wrong(path, at=SECTOR):
    VIA_GPT(path)
    crc = read_at(path, at + 16, 4)
    write_at(path, at + 16, bytes([crc[0] ^ 1]) + crc[1:])


def both_header_crcs_wrong(path):
    header_crc_wrong(path)
    at = os.path.getsize(path) - SECTOR
    write_at(path, at + 16, bytes([read_at(path, at + 16, 1)[0] ^ 1]))


def backup_elsewhere(path):
    """The primary header damaged, and the backup header naming another sector as its own."""
    header_crc_wrong(path)
    patch_gpt(path, header={"own_lba": 1}, backup=True)


def array_crc_wrong(path):
    VIA_GPT(path)
    write_at(path, gpt_entry_array_offset(path) + 99 * 128 + 56, b"X")  # name of an empty entry


def no_protective_entry(path):
    VIA_GPT(path)
    write_at(path, 450, b"\x83")


def luks2_partition(path, start, sectors):
    """Formats a partition of the image as LUKS2 through a scratch file, as cryptsetup does."""
    with tempfile.TemporaryDirectory(prefix="tvx-volume-") as scratch:
        volume = sparse_file(os.path.join(scratch, "volume"), sectors * SECTOR)
        tool("cryptsetup", "luksFormat", "--batch-mode", "--type", "luks2", "--pbkdf", "pbkdf2",
             "--pbkdf-force-iterations", "1000", "--key-file", "-", volume, input=b"key")
        copy_into(volume, path, start * SECTOR)


def wiped_mbr(keep_signature):
    """A GPT disk with a LUKS2 partition whose sector 0 was zeroed: no protective entry, and
    with `keep_signature` still the 0x55AA at its end."""
    def build(path):
        gpt_disk([Part(2048, 32768, GPT_LINUX, luks2_partition)], 32 * MIB)(path)
        write_at(path, 0, bytes(SECTOR - 2) + (b"\x55\xAA" if keep_signature else b"\0\0"))
    return build


def wiped_mbr_lines(n):
    return (oem_line(n, 1, b"S\xBA\xBE\0\x02\0\0\0") + luks(n, 1) +
            unlocked_with("passphrase or key file"))


def wiped_mbr_and_primary(path):
    """The same disk with its primary header zeroed too: the backup copy is found."""
    wiped_mbr(False)(path)
    write_at(path, SECTOR, bytes(SECTOR))


class GptTest(ScanFolderTest):
    def test_uefi_boot_loaders_on_the_efi_system_partition(self):
        """VeraCrypt's and DiskCryptor's UEFI loaders by their paths, long or 8.3 names in any
        case, on FAT12, FAT16 and FAT32; a path that is nearly theirs names nothing."""
        if not (have("sgdisk") and have("mcopy")):
            self.skipTest("sgdisk or mtools is not installed")
        esp = lambda n: label_lines(n, 1, b"mkfs.fat", b"EFI        ")
        drives = [
            (VERACRYPT_ESP, uefi_loader(0, "VeraCrypt") + esp(0)),
            # A FAT of basic data type on a GPT disk, names in lower case (8.3 only).
            (esp_disk(16, ["/efi/dcs/dcsboot.efi"], ["/efi", "/efi/dcs"], "0700"),
             uefi_loader(1, "DiskCryptor") + esp(1)),
            (esp_disk(12, ["/EFI/DCS/DcsBoot.efi", "/EFI/VERACRYPT/DCSBOOT.EFI"],
                      ["/EFI", "/EFI/DCS", "/EFI/VERACRYPT"]),
             uefi_loader(2, "VeraCrypt") + uefi_loader(2, "DiskCryptor") + esp(2)),
            # Nearly: the loader renamed, a folder where the file belongs, a file where the
            # folder belongs, and the loader outside \EFI.
            (esp_disk(32, ["/EFI/VeraCrypt/DcsBoot.efi.old", "/EFI/DCS", "/VeraCrypt/DcsBoot.efi"],
                      ["/EFI", "/EFI/VeraCrypt", "/VeraCrypt", "/EFI/VeraCrypt/DcsBoot"]),
             esp(3)),
        ]
        expected = self.build_drives(drives)
        self.assertReport(self.scan(), report(expected, found=True))
        document = json.loads(self.scan(("/json",)))
        self.assertEqual([(f["kind"], f["drive"], f["partition"]) for f in document["findings"]],
                         [("veracrypt-uefi-boot-loader", 0, None),
                          ("diskcryptor-uefi-boot-loader", 1, None),
                          ("veracrypt-uefi-boot-loader", 2, None),
                          ("diskcryptor-uefi-boot-loader", 2, None)])

    def test_damaged_efi_system_partitions_end_without_a_crash(self):
        """Random bytes written over the FATs and directories of an ESP that holds VeraCrypt's
        loader: every run ends with a report, and any finding it makes is the loader's."""
        if not (have("sgdisk") and have("mcopy")):
            self.skipTest("sgdisk or mtools is not installed")
        path = self.entry("PhysicalDrive0")
        VERACRYPT_ESP(path)
        pristine = read_at(path, 0, 36 * MIB)
        boot = pristine[2048 * SECTOR:2049 * SECTOR]
        fat = 2048 + int.from_bytes(boot[14:16], "little")
        data = fat + boot[16] * int.from_bytes(boot[36:40], "little")
        # The chains of the root, \EFI and \EFI\VeraCrypt (the first entries of the first FAT),
        # and their directories (the first data clusters).
        targets = [(fat * SECTOR, 64), (data * SECTOR, 16 * SECTOR)]
        for round in range(24):
            with self.subTest(round=round):
                write_at(path, 0, pristine)
                damage = random_bytes(64 * 8, "esp-damage-%d" % round)
                for i in range(8):
                    piece = damage[64 * i:64 * i + 64]
                    start, length = targets[i % 2]
                    offset = start + int.from_bytes(piece[:4], "little") % length
                    write_at(path, offset, piece[4:4 + 1 + piece[4] % 24])
                document = json.loads(self.scan(("/json",)))
                self.assertLessEqual({f["kind"] for f in document["findings"]},
                                     {"veracrypt-uefi-boot-loader"})


    def test_usable_and_unusable_tables(self):
        drives = [
            (WINDOWS_DISK, windows_disk_lines(0)),
            (gaps, label_lines(1, 2, b"mkfs.fat", b"SECOND     ") +
             label_lines(1, 3, b"mkfs.fat", b"THIRD      ")),
            (past_two_tib, label_lines(2, 1, b"mkfs.fat", b"NEAR       ") +
             label_lines(2, 2, b"FAR-GPT ", b"PAST 2 TIB ")),
            # Entry 3's first sector lies past the end: read as nothing, not as zeros.
            (inexact_sectors,
             sector_read_error(87, "PhysicalDrive3, Partition 1", BEYOND_EXACT) +
             label_lines(3, 2, b"mkfs.fat", b"TWO        ") +
             sector_read_error(38, "PhysicalDrive3, Partition 3", BEYOND_EXACT - 1)),
            # A damaged primary: the backup copy in the last sector stands in.
            (header_crc_wrong, via_gpt_lines(4)),
            (array_crc_wrong, via_gpt_lines(5)),
            (changed(entry_count=0), via_gpt_lines(6)),
            # Both copies damaged, or the backup not where it says: the MBR entries stand.
            (both_header_crcs_wrong, fallback(7)),
            (changed(True, entry_size=120), fallback(8)),
            (changed(True, entry_size=132), fallback(9)),
            (changed(True, entry_size=1032), fallback(10)),
            (changed(True, header_size=91), fallback(11)),
            (changed(True, header_size=513), fallback(12)),
            (backup_elsewhere, fallback(13)),
            # Without a protective entry the MBR entry is a partition like any other.
            (no_protective_entry, oem_line(14, 1, HEADER_OEM) + damaged(14, 1)),
            (changed(True, signature=b"EFI PARX"), fallback(15)),
            (changed(True, entry_count=0), fallback(16)),
            (changed(True, entry_array_start=1), fallback(17)),
            # A wiped MBR hides no GPT: with or without its signature, or the primary too.
            (wiped_mbr(False), wiped_mbr_lines(18)),
            (wiped_mbr(True), wiped_mbr_lines(19)),
            (wiped_mbr_and_primary, wiped_mbr_lines(20)),
        ]
        if not have("cryptsetup"):
            self.skipTest("cryptsetup is not installed")
        expected = self.build_drives(drives)
        # Some partitions could not be read (87, 38): the findings may not be all there is.
        self.assertReport(self.scan(), report(expected, found=True, incomplete=True))
        self.assertEqual(self.last_status, 3)

    def test_limits_of_the_header_fields(self):
        drives = [
            (VIA_GPT, via_gpt_lines(0)),
            (changed(entry_count=1), via_gpt_lines(1)),
            (changed(entry_count=1024), via_gpt_lines(2)),
            (changed(entry_size=1024, entry_count=4), via_gpt_lines(3)),
            (changed(entry_size=136), via_gpt_lines(4)),
            (changed(header_size=92), via_gpt_lines(5)),
            (changed(header_size=512), via_gpt_lines(6)),
            # The primary's array cannot be placed: the backup copy stands in.
            (changed(entry_array_start=BEYOND_EXACT), via_gpt_lines(7)),
            # Accepted, but its array lies past the end: the read fails (end of file, a gap)
            # and the backup copy stands in.
            (changed(entry_array_start=BEYOND_EXACT - 1),
             sector_read_error(38, "PhysicalDrive8, its GPT entries", BEYOND_EXACT - 1) +
             via_gpt_lines(8)),
            # More than 1024 entries, as sgdisk --resize-table makes them.
            (changed(entry_count=2048), via_gpt_lines(9)),
        ]
        expected = self.build_drives(drives)
        self.assertReport(self.scan(), report(expected, incomplete=True))
        self.assertEqual(self.last_status, 2)

    def test_clean_gpt_disk_ends_with_the_closing_line(self):
        """An empty Microsoft Reserved entry (its first sector all zeros) stays out of the
        report, and the run is complete."""
        gpt_disk([Part(2048, 65536, GPT_ESP, fat_volume(32, "EFI")),
                  Part(67584, 32768, GPT_MSR),
                  Part(100352, 16384, GPT_BASIC_DATA, ntfs_volume())])(self.entry("PhysicalDrive0"))
        self.assertReport(self.scan(), report(label_lines(0, 1, b"mkfs.fat", b"EFI        ") +
                                              oem_line(0, 3, b"NTFS    ")))
        self.assertEqual(self.last_status, 0)


if __name__ == "__main__":
    run_file()
