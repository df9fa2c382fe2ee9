"""The run from start to end through a pipe: banner, options, closing line."""

import json
import os
import subprocess
import tempfile

from tvxtest import *

# Environment that asks for colour: a pipe must still get none.
COLOUR_TERMINAL = {"TERM": "xterm-256color", "COLORTERM": "truecolor"}


class OptionTest(DeviceFolderTest):
    maxDiff = None

    def test_each_argument_gives_its_outcome(self):
        """Each row: the arguments, the outcome, and the words named on standard error as
        unknown options (every word starting with "/" or "-" that is no option)."""
        full = report(open_error(2), prompt=True, unread=True)
        no_prompt = report(open_error(2), unread=True)
        usage = BANNER + USAGE
        version = VERSION_LINE
        document = "one JSON document"
        cases = [
            ([], full, []),
            ([""], full, []),
            (["/?"], usage, []),
            (["/?x"], usage, []),
            (["/?", "/batch"], usage, []),
            (["/BATCH"], no_prompt, []),
            (["/Batch"], no_prompt, []),
            (["/batchmore"], no_prompt, []),
            (["/batch", "/?"], no_prompt, []),
            (["/batc"], full, ["/batc"]),
            (["/", "batch"], full, ["/"]),
            (["batch"], full, []),
            (["/"], full, ["/"]),
            (["?/"], full, []),
            (["/x"], full, ["/x"]),
            (["-h"], usage, []),
            (["--HELP"], usage, []),
            (["/batch", "-?"], usage, []),
            (["/Help"], usage, []),
            (["/json", "-h"], usage, []),
            (["/?", "/json"], usage, []),
            (["--helpme"], full, ["--helpme"]),
            (["x-h"], full, []),
            (["/json"], document, []),
            (["/JSON"], document, []),
            (["/batch", "/jsonx"], document, []),
            (["/batch /json"], document, []),
            (["x/json"], full, []),
            # The double-dash spellings follow the same rules as their slash forms.
            (["--batch"], no_prompt, []),
            (["--BATCHmore"], no_prompt, []),
            (["/x", "--batch"], full, ["/x"]),
            (["-batch"], full, ["-batch"]),
            (["--json"], document, []),
            (["/batch", "--Json"], document, []),
            (["--batch", "--json"], document, []),
            (["-json"], full, ["-json"]),
            (["--jsno", "/Y", "-", "/batch"], full, ["--jsno", "/Y", "-"]),
            (["/json", "--verbose"], document, ["--verbose"]),
            (["/?", "/x"], usage, ["/x"]),
            (["--batch", "--bach"], no_prompt, ["--bach"]),
            # The version alone, as a word of its own anywhere: no banner, no scan, status 0.
            (["--version"], version, []),
            (["/VERSION"], version, []),
            (["/batch", "/Version"], version, []),
            (["/json", "--version"], version, []),
            (["--version", "/x"], version, ["/x"]),
            (["/?", "--version"], usage, []),
            (["--version", "-h"], usage, []),
            (["--versions"], full, ["--versions"]),
            (["-version"], full, ["-version"]),
            (["x/version"], full, []),
        ]
        for args, expected, unknown in cases:
            with self.subTest(args=args):
                result = run_tvx(args, devices=self.devices, env=COLOUR_TERMINAL)
                notes = b"".join(b"TVX: unknown option %s; see /?\n" % word.encode()
                                 for word in unknown)
                self.assertEqual(result.stderr, notes)
                if expected is document:
                    self.assertTrue(result.stdout.endswith(b"}\n"), result.stdout[-20:])
                    self.assertEqual(json.loads(result.stdout)["complete"], False)
                    self.assertEqual(result.returncode, 2)
                else:
                    self.assertEqual(result.stdout, expected)
                    self.assertEqual(result.returncode,
                                     0 if expected is usage or expected is version else 2)

    def test_each_timeout_value_gives_its_outcome(self):
        """TVX_TIMEOUT is a whole number of seconds from 1 to 3600 in decimal digits alone;
        anything else is named on standard error, in a JSON run too, and 20 is used. Unset and
        empty are the default, silently."""
        cases = ["1", "20", "3600", "", None]
        wrong = ["0", "3601", "020", "+20", "-1", " 20", "20 ", "2.5", "20s", "１", "abc",
                 "99999999999999999999", "4294967316", "2\n0"]
        for value in cases + wrong:
            for args in (["/batch"], ["/json"]) if value in ("", "0", "+20") else (["/batch"],):
                with self.subTest(value=value, args=args):
                    result = run_tvx(args, devices=self.devices, env={"TVX_TIMEOUT": value})
                    note = b"" if value not in wrong else (
                        b"TVX: TVX_TIMEOUT=" + value.replace("\n", "?").encode() +
                        b" is not a whole number of seconds from 1 to 3600; 20 is used.\n")
                    self.assertEqual(result.stderr, note)
                    self.assertEqual(result.returncode, 2)
                    if args == ["/batch"]:
                        self.assertEqual(result.stdout, report(open_error(2), unread=True))

    def test_a_file_receives_the_same_bytes_as_a_pipe(self):
        for args, expected in [([], report(open_error(2), prompt=True, unread=True)),
                               (["/?"], BANNER + USAGE)]:
            with self.subTest(args=args), tempfile.TemporaryFile() as saved:
                result = run_tvx(args, devices=self.devices, env=COLOUR_TERMINAL, stdout=saved)
                saved.seek(0)
                self.assertEqual(saved.read(), expected)
                self.assertEqual((result.stderr, result.returncode), (b"", 0 if args else 2))


class MakeRunTest(DeviceFolderTest):
    def test_make_run_writes_the_report_alone_to_standard_output(self):
        """`make run ARGS=/json | jq .`: the build's line goes to standard error."""
        result = run_make(self, "run", "ARGS=--json", env={"TVX_DEVICES": self.devices})
        self.assertEqual(json.loads(result.stdout)["complete"], False)
        self.assertIn(b"build-tvx: ", result.stderr)
        self.assertNotEqual(result.returncode, 0)  # status 2: no drive could be read

    def test_make_install_installs_a_stripped_scanner(self):
        """`make install PREFIX=/usr DESTDIR=...`: the program without its symbols (the build's
        has them), which still runs, its manual page and its documents."""
        if not have("readelf"):
            self.skipTest("readelf is not installed (binutils)")
        stage = os.path.join(self.devices, "stage")
        result = run_make(self, "install", "PREFIX=/usr", "DESTDIR=" + stage)
        self.assertEqual(result.returncode, 0, result.stderr)
        installed = os.path.join(stage, "usr", "bin", "tvx")
        sections = lambda path: subprocess.run(  # noqa: E731
            ["readelf", "-S", "-W", path], stdout=subprocess.PIPE, check=True).stdout
        self.assertIn(b".symtab", sections(TVX))
        self.assertNotIn(b".symtab", sections(installed))
        self.assertNotIn(b".debug_info", sections(installed))
        self.assertEqual(subprocess.run([installed, "--version"], stdout=subprocess.PIPE).stdout,
                         VERSION_LINE)
        self.assertTrue(os.path.isfile(os.path.join(stage, "usr/share/man/man1/tvx.1")))
        self.assertEqual(sorted(os.listdir(os.path.join(stage, "usr/share/doc/tharvex"))),
                         ["LICENSE", "README.md", "detection.md", "report-json.md"])


class MissingDeviceSourceTest(DeviceFolderTest):
    def test_a_device_folder_that_does_not_exist_is_said_and_not_scanned(self):
        """A mistyped TVX_DEVICES is no empty machine: the message on standard error, status 2,
        nothing on standard output, whatever the options but the usage and version requests
        and the JSON report, which is written all the same: nothing scanned, and the one gap
        saying why."""
        missing = os.path.join(self.devices, "no-such-case")
        message = b"TVX_DEVICES names " + missing.encode() + b", which does not exist.\r\n"
        for args in ([], ["/batch"]):
            with self.subTest(args=args):
                result = run_tvx(args, devices=missing)
                self.assertEqual((result.stdout, result.stderr, result.returncode),
                                 (b"", message, 2))
        result = run_tvx(["/json"], devices=missing)
        self.assertEqual((result.stderr, result.returncode), (message, 2))
        document = json.loads(result.stdout)
        self.assertEqual(result.stdout[-2:], b"}\n")
        self.assertEqual({key: document[key] for key in (
            "devices", "complete", "anyFound", "exitStatus", "drives", "volumes", "findings",
            "gaps")}, {
            "devices": missing, "complete": False, "anyFound": False, "exitStatus": 2,
            "drives": [], "volumes": [], "findings": [],
            "gaps": [{"kind": "devices-missing", "drive": None, "partition": None,
                      "letter": None, "error": None, "message": message[:-2].decode()}]})
        for args, expected in ((["/?"], BANNER + USAGE), (["--version"], VERSION_LINE)):
            result = run_tvx(args, devices=missing)
            self.assertEqual((result.stdout, result.returncode), (expected, 0))


class KeyWaitWithoutTerminalTest(DeviceFolderTest):
    """Standard input that is not a terminal: the wait ends at once, whatever it is."""

    def test_the_wait_ends_at_once(self):
        full = report(open_error(2), prompt=True, unread=True)
        reader, writer = os.pipe()
        try:
            # A pipe kept open and never written would block any read from it for good.
            for name, stdin in [("/dev/null", subprocess.DEVNULL), ("an open empty pipe", reader)]:
                with self.subTest(stdin=name):
                    result = run_tvx(devices=self.devices, stdin=stdin, timeout=20)
                    self.assertEqual(result.stdout, full)
                    self.assertEqual((result.stderr, result.returncode), (b"", 2))
        finally:
            os.close(reader)
            os.close(writer)

if __name__ == "__main__":
    run_file()
