"""TVX.exe opens every drive and volume with read access only: the access mask each
\\\\.\\PhysicalDriveN and \\\\.\\L: open passes to NtCreateFile, seen in Wine's +file trace, is
GENERIC_READ with no more than the SYNCHRONIZE and FILE_READ_ATTRIBUTES that CreateFile itself
adds, shared for reading and writing, opening only what exists."""

import re

from winetest import *

GENERIC_READ = 0x80000000
ADDED_BY_CREATEFILE = 0x00100000 | 0x00000080  # SYNCHRONIZE | FILE_READ_ATTRIBUTES
FILE_SHARE_READ_WRITE = 0x3
FILE_OPEN = 1  # OPEN_EXISTING, in NtCreateFile's terms

NT_CREATE_FILE = re.compile(
    rb'trace:file:NtCreateFile .*?access=([0-9a-f]+) name=L"\\\\\?\?\\\\([^"]*)"'
    rb'.*? sharing=([0-9a-f]+) disp=(\d+)')
DEVICE_NAME = re.compile(rb"PhysicalDrive\d+|[A-Z]:")


class WineReadOnlyTest(DeviceFolderTest):
    def test_every_drive_and_volume_is_opened_for_reading_only(self):
        drive = sparse_file(self.entry("disk"), MIB)
        with physical_drives({0: drive}):
            result = run_tvx_windows(["/batch"], env={"WINEDEBUG": "trace+file"}, timeout=120)
        # Wine's Z: exists but refuses to open: a gap, so the run cannot be called clean.
        self.assertEqual(result.returncode, 2)
        opens = {}
        for access, name, sharing, disposition in NT_CREATE_FILE.findall(result.stderr):
            if DEVICE_NAME.fullmatch(name):
                opens.setdefault(name.decode(), set()).add(
                    (int(access, 16) & ~ADDED_BY_CREATEFILE, int(sharing, 16), int(disposition)))
        expected = {"PhysicalDrive%d" % n for n in range(16)} | {"%c:" % c for c in range(65, 91)}
        self.assertLessEqual(expected, set(opens), "opens missing from the trace")
        for name, calls in sorted(opens.items()):
            self.assertEqual(calls, {(GENERIC_READ, FILE_SHARE_READ_WRITE, FILE_OPEN)}, name)


if __name__ == "__main__":
    run_file()
