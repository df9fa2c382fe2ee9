"""Standard output that fails: closed, a pipe whose reader has gone, a full device, a file-size
limit. The run must stop at the failing write with error 1001 or 1002 and attempt nothing
after it."""

import os
import resource
import select
import subprocess
import tempfile
import unittest

from tvxtest import *

# The whole run over an empty device folder, prompt included.
FULL = report(open_error(2), prompt=True, unread=True)
FIRST_WRITE = BANNER_WRITES[0][1]
# Where the report's lines fall.
AFTER_BANNER = len(BANNER)
INSIDE_FIRST_LINE = 10
INSIDE_DRIVE0_LINE = len(BANNER + PHYSICAL_START) + 20
INSIDE_PROMPT_HINT = len(FULL) - 10

WRITES = ("write", "writev", "pwrite64")


class Case:
    """One failing output. `target` is "closed", "reader gone", "reader gone later" (the reader
    closes once the physical pass has begun), "/dev/full" or "file" (with `limit`, the file-size
    limit in bytes). `error` is the expected message; `received` what the output ends up with
    (None where nothing can be read back); `first` whether the banner's first write fails."""

    def __init__(self, name, target, error, received=None, limit=None, first=False):
        self.name, self.target, self.error = name, target, error
        self.received, self.limit, self.first = received, limit, first


CASES = [
    Case("standard output closed", "closed", ERROR_1001, first=True),
    Case("pipe whose reader has gone", "reader gone", ERROR_1001, b"", first=True),
    Case("pipe whose reader goes during the scan", "reader gone later", ERROR_1001),
    Case("/dev/full", "/dev/full", ERROR_1001, first=True),
    Case("file-size limit inside the banner", "file", ERROR_1002, FULL[:INSIDE_FIRST_LINE],
         INSIDE_FIRST_LINE, first=True),
    Case("file-size limit right after the banner", "file", ERROR_1001, BANNER, AFTER_BANNER),
    Case("file-size limit inside a line of the report", "file", ERROR_1002,
         FULL[:INSIDE_DRIVE0_LINE], INSIDE_DRIVE0_LINE),
    Case("file-size limit inside the key prompt", "file", ERROR_1002,
         FULL[:INSIDE_PROMPT_HINT], INSIDE_PROMPT_HINT),
]


def read_until_then_close(reader, marker, timeout=30):
    """Reads a pipe until `marker` has come, then closes it; returns what was read."""
    data = b""
    while marker not in data:
        ready, _, _ = select.select([reader], [], [], timeout)
        if not ready:
            break
        chunk = os.read(reader, 65536)
        if not chunk:
            break
        data += chunk
    os.close(reader)
    return data


def run_case(case, scratch, traced):
    """Runs the scanner with no option over an empty folder into the output of `case`; returns
    (status, standard error, what the output received or None, calls or None)."""
    devices = os.path.join(scratch, "devices")
    os.makedirs(devices, exist_ok=True)
    received = [None]
    closers = []
    stdout, while_running = None, None
    if case.target == "closed":
        stdout = subprocess.DEVNULL
    elif case.target == "/dev/full":
        stdout = open("/dev/full", "wb")
        closers.append(stdout.close)
    elif case.target == "file":
        stdout = open(os.path.join(scratch, "report"), "w+b")
        closers.append(stdout.close)
    else:
        reader, stdout = os.pipe()
        closers.append(lambda: os.close(stdout))
        if case.target == "reader gone":
            os.close(reader)
            received[0] = b""
        else:
            def while_running(process):
                os.close(stdout)
                closers.clear()
                received[0] = read_until_then_close(reader, PHYSICAL_START)
    try:
        if traced:
            status, stderr, calls = trace_tvx(
                devices=devices, stdout=stdout, close_stdout=case.target == "closed",
                file_size_limit=case.limit, while_running=while_running)
        else:
            calls = None

            def prepare():
                if case.target == "closed":
                    os.close(1)
                if case.limit is not None:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (case.limit, case.limit))

            process = subprocess.Popen([TVX], stdin=subprocess.DEVNULL, stdout=stdout,
                                       stderr=subprocess.PIPE, env=tvx_environment(devices),
                                       preexec_fn=prepare)
            if while_running is not None:
                while_running(process)
            _, stderr = process.communicate(timeout=60)
            status = process.returncode
        if case.target == "file":
            stdout.seek(0)
            received[0] = stdout.read()
    finally:
        for close in closers:
            close()
    return status, stderr, received[0], calls


def without_memory_probes(calls):
    """Returns `calls` without the sanitizer runtime's probes of memory: a pipe it makes, then a
    write into it."""
    kept, probing = [], False
    for call in calls:
        if call.name in ("pipe", "pipe2"):
            probing = True
        elif probing and call.name in WRITES and call.fd not in (1, 2):
            probing = False
        else:
            kept.append(call)
    return kept


class OutputFaultTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory(prefix="tvx-faults-")

    def tearDown(self):
        self._scratch.cleanup()

    def scratch(self):
        """Returns a new empty folder for one case."""
        return tempfile.mkdtemp(dir=self._scratch.name)

    def test_a_failing_output_stops_the_run_with_its_error(self):
        for case in CASES:
            with self.subTest(case.name):
                status, stderr, received, _ = run_case(case, self.scratch(), False)
                # Status 1, not death by SIGPIPE or SIGXFSZ; the message and nothing else.
                self.assertEqual((status, stderr), (1, case.error))
                if case.target == "reader gone later":
                    self.assertIn(PHYSICAL_START, received)
                    self.assertTrue(FULL.startswith(received))
                elif case.received is not None:
                    self.assertEqual(received, case.received)

    @unittest.skipUnless(have("strace") and have("prlimit"), "needs strace and prlimit")
    def test_nothing_is_attempted_after_the_failing_write(self):
        for case in CASES:
            with self.subTest(case.name):
                status, stderr, received, calls = run_case(case, self.scratch(), True)
                self.assertEqual((status, stderr), (1, case.error))
                writes = [i for i, call in enumerate(calls) if call.name in WRITES and call.fd == 1]
                failing = [i for i in writes
                           if calls[i].result is None or calls[i].result < calls[i].length]
                self.assertTrue(failing, "no write to standard output failed: %r" % calls)
                at = failing[0]
                # The failing write is the last thing the run tried: after it, only the message
                # on standard error; no colour reset, no further text, no key wait, no device.
                after = without_memory_probes(calls[at + 1:])
                self.assertEqual([(c.name, c.fd, c.length, c.result) for c in after],
                                 [("write", 2, len(case.error), len(case.error))],
                                 "calls after the failing %r" % calls[at])
                call = calls[at]
                if case.error == ERROR_1001:
                    self.assertEqual(call.result, -1)
                else:
                    self.assertGreater(call.result, 0)
                if case.first:
                    self.assertEqual((writes[0], call.length), (at, len(FIRST_WRITE)))
                done = sum(calls[i].result for i in writes if i < at) + max(call.result, 0)
                if case.target == "reader gone later":
                    # The reader left unread whatever was still in the pipe when it closed.
                    self.assertLessEqual(len(received), done)
                elif received is not None:
                    self.assertEqual(done, len(received))


if __name__ == "__main__":
    run_file()
