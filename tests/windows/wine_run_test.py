"""TVX.exe under Wine, from start to end: the options, the command line as Windows hands it
over, the run through a pipe that never delivers a key, and the errors that stop a run."""

import json
import os
import resource
import signal
import tempfile
import unittest

from winetest import *

# Wine reads no physical drive: the run says it cannot tell, and exits with 2.
FULL_RUN = report(WINE_PHYSICAL, WINE_LOGICAL, unread=True)
FULL_RUN_WITH_PROMPT = report(WINE_PHYSICAL, WINE_LOGICAL, prompt=True, unread=True)


class OptionTest(unittest.TestCase):
    def test_each_argument_gives_its_outcome(self):
        # Each row: the arguments, the outcome, the words named on standard error as unknown.
        cases = [
            ([], FULL_RUN_WITH_PROMPT, []),
            (["/?"], BANNER + USAGE, []),
            (["/?x"], BANNER + USAGE, []),
            (["/BATCH"], FULL_RUN, []),
            (["/batch"], FULL_RUN, []),
            (["/batchmore"], FULL_RUN, []),
            (["--Batch"], FULL_RUN, []),
            (["/x"], FULL_RUN_WITH_PROMPT, ["/x"]),
            (["--help"], BANNER + USAGE, []),
            (["--batch", "-v", "/q"], FULL_RUN, ["-v", "/q"]),
            (["/version"], VERSION_LINE, []),
            (["/batch", "--VERSION"], VERSION_LINE, []),
        ]
        for args, expected, unknown in cases:
            with self.subTest(args=args), held_open_pipe() as stdin:
                # Standard input is a pipe that stays open: the prompt must not wait on it.
                result = run_tvx_windows(args, stdin=stdin, timeout=30)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.stderr, b"".join(
                    b"TVX: unknown option %s; see /?\r\n" % word.encode() for word in unknown))
                self.assertEqual(result.returncode,
                                 0 if expected in (BANNER + USAGE, VERSION_LINE) else 2)

    def test_json_report(self):
        with held_open_pipe() as stdin:
            result = run_tvx_windows(["--batch", "--JSON"], stdin=stdin, timeout=30)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stdout.endswith(b"}\n"))
        document = json.loads(result.stdout)
        self.assertEqual((document["platform"], document["devices"], document["complete"]),
                         ("windows", "live", False))
        self.assertEqual(document["drives"][0]["status"], "read-failed")
        # What Wine does not let the run read: drive 0's sector 0, and Z:, which exists.
        self.assertEqual([(gap["kind"], gap["drive"], gap["letter"], gap["error"])
                          for gap in document["gaps"]],
                         [("drive-read-failed", 0, None, WINE_PHYSICAL_ERROR),
                          ("letter-open-failed", None, "Z", 5)])
        self.assertEqual(document["volumes"][0], {"letter": "C", "deviceType": 7,
                                                  "deviceNumber": 0, "partitionNumber": 1,
                                                  "liesOn": [], "network": False})
        # Why, in the words both builds share: a code without words, and access refused.
        self.assertEqual([gap["message"] for gap in document["gaps"]],
                         ["Error reading PhysicalDrive0... Error: 1\n  - Windows error 1.",
                          "Error opening drive Z:... Error: 5\n  - access is denied."])
        # The device the object manager names for the disk: Wine gives \Device\Harddisk0.
        self.assertRegex(document["drives"][0]["source"], r"^\\Device\\Harddisk0(\\|$)")
        self.assertRegex(document["startedAt"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")

    def test_argument_text_follows_the_program_name_however_it_is_written(self):
        usage = BANNER + USAGE
        cases = [
            ("TVX.exe /?", usage),
            ("TVX.exe /batch", FULL_RUN),
            ("TVX.exe", FULL_RUN_WITH_PROMPT),
            ("TVX.exe ", FULL_RUN_WITH_PROMPT),
            ("TVX.exe \t \t/?", usage),
            ("C:\\Tools\\TVX.exe\t/BATCH", FULL_RUN),
            ('"C:\\Program Files\\Tharvex\\TVX.exe" /?', usage),
            ('"C:\\Program Files\\Tharvex\\TVX.exe"   /batch /?', FULL_RUN),
            ('C:\\"Program Files"\\Tharvex\\TVX.exe /?', usage),
            ('"TVX.exe"', FULL_RUN_WITH_PROMPT),
            # As the C runtime reads a program name: a quote only switches quoting, so the name
            # runs on to the first blank outside quotes and there is no argument.
            ('"C:\\Program Files\\TVX.exe"/?', FULL_RUN_WITH_PROMPT),
            # Only the blanks after the program name go; the argument is taken as it stands.
            ("TVX.exe /? ", usage),
            ("TVX.exe x/?", FULL_RUN_WITH_PROMPT),
        ]
        for command_line, expected in cases:
            with self.subTest(command_line=command_line):
                result = launch_tvx(command_line, timeout=30)
                self.assertEqual(result.stdout, expected)
                self.assertEqual(result.stderr, b"")
                self.assertEqual(result.returncode, 0 if expected == usage else 2)


class FatalErrorTest(unittest.TestCase):
    """A failed write stops the run: the number and description on standard error, exit 1."""

    def run_with_stdout(self, stdout, preexec_fn=None):
        return run_tvx_windows(["/BATCH"], stdout=stdout, preexec_fn=preexec_fn, timeout=30)

    def test_write_failures_end_the_run_with_error_1001(self):
        read_end, write_end = os.pipe()
        os.close(read_end)  # nobody will ever read: the first write breaks the pipe
        with open(os.devnull, "rb") as read_only, open("/dev/full", "wb") as full:
            cases = [
                # Started with no standard output handle at all, or an invalid one.
                ("none", lambda: launch_tvx("TVX.exe /BATCH", env={"TVX_LAUNCH_STDOUT": "none"},
                                            timeout=30)),
                ("invalid", lambda: launch_tvx("TVX.exe /BATCH",
                                               env={"TVX_LAUNCH_STDOUT": "invalid"}, timeout=30)),
                # Handles that refuse the write.
                ("read-only file", lambda: self.run_with_stdout(read_only)),
                ("full device", lambda: self.run_with_stdout(full)),
                ("pipe without reader", lambda: self.run_with_stdout(write_end)),
            ]
            try:
                for name, run in cases:
                    with self.subTest(stdout=name):
                        result = run()
                        self.assertEqual(result.stderr, FATAL_WRITE_FAILED)
                        self.assertEqual(result.returncode, FATAL_EXIT_STATUS)
            finally:
                os.close(write_end)

    def test_a_short_write_ends_the_run_with_error_1002(self):
        limit = 10  # bytes: the banner's first text is longer

        def limited_file_size():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        with tempfile.TemporaryFile() as output:
            result = self.run_with_stdout(output, limited_file_size)
            output.seek(0)
            self.assertEqual(output.read(), BANNER[:limit])
        self.assertEqual(result.stderr, FATAL_INCOMPLETE_WRITE)
        self.assertEqual(result.returncode, FATAL_EXIT_STATUS)


if __name__ == "__main__":
    run_file()
