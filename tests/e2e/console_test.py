"""The run on a terminal, through a pseudo-terminal: colours, the key wait, the terminal's mode
after the run, and sector bytes made safe for the screen."""

import itertools
import os
import re
import signal
import tempfile
import termios

from tvxtest import *

# What an empty device folder gives the physical pass.
DRIVE0_MISSING = [(YELLOW, open_error(2))]


def wait_ended_by_key(run, key=b"Z"):
    """Reads until the prompt has been shown and the key wait has changed the terminal's mode,
    then types `key` and returns the scanner's status."""
    run.read_until(painted(PROMPT_WRITES))
    run.wait_for_mode()
    run.type(key)
    return run.wait()


class ColourTest(DeviceFolderTest):
    maxDiff = None

    def test_each_text_is_written_inside_its_colour(self):
        """Each row: the arguments, what the terminal receives, whether the run waits for a key,
        and its exit status. The version line comes in the terminal's own colours."""
        cases = [
            ([], painted(report_writes(DRIVE0_MISSING, prompt=True, unread=True)), True, 2),
            (["/?"], painted(BANNER_WRITES + USAGE_WRITES), False, 0),
            (["/batch"], painted(report_writes(DRIVE0_MISSING, unread=True)), False, 2),
            (["--batch"], painted(report_writes(DRIVE0_MISSING, unread=True)), False, 2),
            (["--version"], VERSION_LINE, False, 0),
        ]
        for args, shown, waits, expected_status in cases:
            with self.subTest(args=args), PtyRun(args, devices=self.devices) as run:
                status = wait_ended_by_key(run) if waits else run.wait(until=shown[-20:])
                self.assertEqual(run.output, shown)
                self.assertEqual(run.stderr(), b"")
                self.assertEqual(status, expected_status)

    def test_whole_disks_and_filevault_in_their_colours(self):
        """A disk that holds one volume: its name in White, the file system in LightCyan; a
        FileVault volume, a disk with no partition table and DiskCryptor's loader: LightRed."""
        write_at(sparse_file(os.path.join(self.devices, "PhysicalDrive0"), MIB), 0,
                 core_storage_header(False))
        write_at(sparse_file(os.path.join(self.devices, "PhysicalDrive1"), MIB), 0,
                 core_storage_header(True))
        write_at(sparse_file(os.path.join(self.devices, "PhysicalDrive2"), MIB), 0,
                 random_bytes(SECTOR, "no-table"))
        write_at(sparse_file(os.path.join(self.devices, "PhysicalDrive3"), MIB), 0,
                 b"\x33\xC0\x90\x90\xEB\x10" + bytes(504) + b"\x55\xAA")
        writes = report_writes([(WHITE, b"\r\nPhysicalDrive0 --- File system: "),
                                (LIGHT_CYAN, b"CoreStorage\r\n"),
                                (LIGHT_RED, filevault(1)), (LIGHT_RED, no_partition_table(2)),
                                (LIGHT_RED, b"\r\nPhysicalDrive3 contains a DiskCryptor "
                                            b"encrypted volume.\r\n")],
                               found=True)
        with PtyRun(["/batch"], devices=self.devices) as run:
            self.assertEqual(run.wait(until=painted(writes[-1:])), 3)
            self.assertEqual(run.output, painted(writes))

    def test_no_color_or_a_terminal_without_colours_gives_the_plain_bytes(self):
        cases = [
            ([], report(open_error(2), prompt=True, unread=True)),
            (["/?"], BANNER + USAGE),
            (["/batch"], report(open_error(2), unread=True)),
        ]
        environments = [{"NO_COLOR": "1"}, {"NO_COLOR": ""}, {"TERM": "dumb"}, {"TERM": None},
                        {"TERM": ""}]
        for (args, expected), env in itertools.product(cases, environments):
            with self.subTest(args=args, env=env), PtyRun(args, devices=self.devices,
                                                          env=env) as run:
                if expected.endswith(PROMPT):
                    run.read_until(PROMPT)
                    run.wait_for_mode()
                    run.type(b"Z")
                self.assertEqual(run.wait(until=expected[-40:]), 0 if args == ["/?"] else 2)
                self.assertEqual(run.output, expected)
                self.assertEqual(run.stderr(), b"")


class KeyWaitTest(DeviceFolderTest):
    maxDiff = None
    EXPECTED = painted(report_writes(DRIVE0_MISSING, prompt=True, unread=True))

    def test_a_key_typed_during_the_scan_does_not_end_the_wait(self):
        # The scanner is stopped while its physical pass runs, so the key is known to arrive
        # before the prompt; should it have got past the prompt already, the attempt is repeated.
        for attempt in range(5):
            with PtyRun(devices=self.devices) as run:
                run.read_until(PHYSICAL_START)
                os.kill(run.process.pid, signal.SIGSTOP)
                run.still_running_after(0.05)
                if PROMPT_WRITES[0][1] in run.output:
                    os.kill(run.process.pid, signal.SIGCONT)
                    continue
                run.type(b"Q")
                os.kill(run.process.pid, signal.SIGCONT)

                run.read_until(painted(PROMPT_WRITES))
                run.wait_for_mode()
                self.assertTrue(run.still_running_after(0.5),
                                "a key typed during the scan ended the wait")
                run.type(b"Z")
                self.assertEqual(run.wait(), 2)
                # The terminal echoed Q itself, before the wait; Z, typed in the wait, is not.
                self.assertEqual(run.output.count(b"Q"), 1)
                self.assertEqual(run.output.replace(b"Q", b""), self.EXPECTED)
                self.assertEqual(run.stderr(), b"")
                self.assertEqual(run.mode(), run.mode_before)
                return
        self.fail("the scanner passed its physical pass before it could be stopped, 5 times")

    def test_one_key_ends_the_wait_unechoed_and_signal_keys_are_keys(self):
        keys = [b"Z", b"\r", b"\x03", b"\x1c", b"\x1a", b"\x04", b"\x1b"]
        for key in keys:
            with self.subTest(key=key), PtyRun(devices=self.devices) as run:
                self.assertEqual(wait_ended_by_key(run, key), 2)
                self.assertEqual(run.output, self.EXPECTED)
                self.assertEqual(run.stderr(), b"")
                self.assertEqual(run.mode(), run.mode_before)

    def test_the_terminal_mode_is_restored_on_every_exit_path(self):
        # A mode that no default resembles: post-processing off, odd VMIN and VTIME, which a
        # canonical terminal keeps but the key wait changes.
        master, terminal = os.openpty()
        mode = termios.tcgetattr(terminal)
        os.close(master)
        os.close(terminal)
        mode[1] &= ~termios.OPOST
        mode[6][termios.VMIN] = bytes([3])
        mode[6][termios.VTIME] = bytes([7])
        for ending in ["key"] + list(ENDING_SIGNALS):
            name = getattr(ending, "name", ending)
            with self.subTest(ending=name), PtyRun(devices=self.devices, mode=mode) as run:
                self.assertEqual(run.mode_before, mode)
                if ending == "key":
                    self.assertEqual(wait_ended_by_key(run), 2)
                else:
                    run.read_until(painted(PROMPT_WRITES))
                    self.assertTrue(raw_input_mode(run.wait_for_mode()),
                                    "line input, echo or signal keys still on in the wait")
                    run.process.send_signal(ending)
                    self.assertEqual(run.wait(), -ending)
                self.assertEqual(run.output, self.EXPECTED)
                self.assertEqual(run.stderr(), b"")
                self.assertEqual(run.mode(), mode)


class TerminalSafeOutputTest(DeviceFolderTest):
    """A partition whose OEM ID and label are cursor moves and line erasures, after a drive with
    a TrueCrypt boot loader whose finding they would wipe off the screen."""

    maxDiff = None
    # Up two lines: from the OEM ID line to the TrueCrypt finding.
    OEM = b"\x1b[1A\x1b[1A"
    # Up one line, erase it, then NUL, carriage return and BEL.
    LABEL = b"\x1b[1A\x1b[2K\x00\r\x07"
    # The edges of the control bytes: NUL, 0x1F, blank, 0x7E, DEL, 0x80, 0xFF and a line feed.
    OEM2 = b"\x00\x1f\x20\x7e\x7f\x80\xff\x0a"
    # How a terminal is shown them: each control byte one placeholder, NUL a blank.
    OEM_SHOWN = b".[1A.[1A"
    LABEL_SHOWN = b".[1A.[2K .."
    OEM2_SHOWN = b" . ~.\x80\xff."
    FINDING_ROWS = [
        b"PhysicalDrive0 contains a TrueCrypt encrypted volume.",
        b"PhysicalDrive1, Partition 1 ---       OEM ID: .[1A.[1A",
        b"PhysicalDrive1, Partition 1 --- Volume label: .[1A.[2K ..",
        b"PhysicalDrive1, Partition 2 --- OEM ID:  . ~.\x80\xff.",
    ]

    def setUp(self):
        super().setUp()
        self.drive_image(0, 1 << 20, mbr(code=b"\xEA\x1E\x7C\x00\x00\xFATrueCrypt Boot Loader"))
        drive1 = self.drive_image(1, 8 << 20)
        sfdisk(drive1, "label: dos\nstart=2048, size=4096, type=1\nstart=6144, size=2048, type=7\n")
        mkfs_fat(drive1, 2048, 4096, 12)
        write_at(drive1, 2048 * SECTOR + 3, self.OEM)
        write_at(drive1, 2048 * SECTOR + 43, self.LABEL)
        write_at(drive1, 6144 * SECTOR, boot_sector(self.OEM2))

    def writes(self, oem, label, oem2, prompt=False):
        """The run's writes, with these bytes standing for the OEM IDs and the label."""
        physical = ([(YELLOW, truecrypt_loader(0))] + label_lines_writes(1, 1, oem, label) +
                    oem_line_writes(1, 2, oem2))
        return report_writes(physical, found=True, prompt=prompt)

    def test_a_terminal_is_shown_placeholders_and_keeps_every_finding_line(self):
        with PtyRun(["/batch"], devices=self.devices) as run:
            self.assertEqual(run.wait(until=painted([(LIGHT_GRAY, LOGICAL_END)])), 3)
            self.assertEqual(run.stderr(), b"")
        self.assertEqual(run.output, painted(self.writes(self.OEM_SHOWN, self.LABEL_SHOWN,
                                                         self.OEM2_SHOWN)))
        # No byte of the sector reaches the terminal as a control byte: with the colour sequences
        # taken out, only the report's own line ends are left.
        text = run.output
        for sequence in SGR.values():
            text = text.replace(sequence, b"")
        self.assertEqual([c for c in text.replace(b"\r\n", b"") if c < 0x20 or c == 0x7F], [])
        screen = render_screen(run.output)
        for row in self.FINDING_ROWS:
            self.assertIn(row, screen)

    def test_each_stream_is_asked_once_whether_it_is_a_terminal(self):
        # Dozens of coloured writes, sector bytes for the screen, then the key wait: under strace,
        # at most one TCGETS for each standard stream in the whole run.
        if not have("strace"):
            self.skipTest("strace is not installed")
        with tempfile.TemporaryDirectory(prefix="tvx-trace-") as scratch:
            trace = os.path.join(scratch, "trace")
            command = ["-f", "-qq", "-e", "trace=ioctl", "-o", trace, TVX]
            # LeakSanitizer cannot work under ptrace: the sanitizer build runs without it here.
            env = {"TERM": "xterm", "ASAN_OPTIONS": "detect_leaks=0"}
            with PtyRun(command, devices=self.devices, env=env, program="strace") as run:
                self.assertEqual(wait_ended_by_key(run), 3)
                self.assertEqual(run.stderr(), b"")
            with open(trace) as f:
                asked = re.findall(r"ioctl\((\d+), TCGETS", f.read())
        self.assertEqual(run.output, painted(self.writes(self.OEM_SHOWN, self.LABEL_SHOWN,
                                                         self.OEM2_SHOWN, prompt=True)))
        self.assertEqual(sorted(asked), ["0", "1"])

    def test_a_pipe_and_a_file_receive_the_sector_bytes_unchanged(self):
        raw = report(truecrypt_loader(0) + label_lines(1, 1, self.OEM, self.LABEL) +
                     oem_line(1, 2, self.OEM2), found=True)
        self.assertEqual(plain(self.writes(self.OEM, self.LABEL, self.OEM2)), raw)
        piped = run_tvx(["/batch"], devices=self.devices)
        self.assertEqual((piped.stdout, piped.stderr, piped.returncode), (raw, b"", 3))
        with tempfile.TemporaryFile() as saved:
            result = run_tvx(["/batch"], devices=self.devices, stdout=saved)
            saved.seek(0)
            self.assertEqual((saved.read(), result.stderr, result.returncode), (raw, b"", 3))
        # Shown raw on a terminal, these bytes would wipe the TrueCrypt finding off the screen.
        self.assertNotIn(self.FINDING_ROWS[0], render_screen(raw))


if __name__ == "__main__":
    run_file()
