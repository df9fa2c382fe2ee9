#!/usr/bin/python3
"""Benchmark of one whole run: the scanner over a device folder of 16 drives with four FAT16
partitions each, run several times, each run paired with a run of a pause-only program that
makes the scanner's 16 pauses of 10 ms (the physical pass pauses after each drive) with the
scanner's timer slack and does nothing else. The two run in turn, and the overhead is the median
of the paired differences, "side by side": what the scanner costs above its pauses on this
machine at this moment, whatever this machine's sleeps themselves take. Prints the median wall
times of both, that overhead and the part of it spent on the drives, and the peak resident
memory; then the same 16 drives as E01 images (when ewfacquire is installed), and what they
cost above the raw ones; then the figures that have a limit (the overhead side by side, 5 ms;
the peak resident memory, 3 MiB; TVX.exe, when built, 1 MiB) each against it, with a plain
line for each one over, and the size of the executable measured. The load average is printed
with the timings.

    tests/bench/scan_bench.py [--runs N]

Exits 0 whatever the timings are (they are figures to read, not a test); exits 1 when the
scanner fails or its report is not the expected one, or the pause-only program cannot be built,
and 77 when there is no executable, no C compiler or no sfdisk/mkfs.fat to build the drives
with. TVX_BIN picks the executable (default build/tvx), TVX_WINDOWS_BIN the Windows one
(default build-windows/TVX.exe).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

from tvxtest import (MIB, TVX, Part, ewf_image, fat_volume, have,  # noqa: E402
                     label_lines, partitioned_image, report)

DRIVES = 16
PARTITIONS = 4
PAUSE_MS = 10
PAUSES_MS = DRIVES * PAUSE_MS
OVERHEAD_BUDGET_MS = 5.0
PEAK_RSS_LIMIT_KIB = 3 * 1024
WINDOWS_SIZE_LIMIT = 1024 * 1024
TVX_EXE = os.environ.get("TVX_WINDOWS_BIN", os.path.join(ROOT, "build-windows", "TVX.exe"))
GNU_TIME = "/usr/bin/time"
LABELS = ["BENCH%d" % p for p in range(1, PARTITIONS + 1)]


# The pause-only program: the scanner's pauses, with the timer slack it sets for itself
# (src/platform/process-posix.cpp), and nothing else.
PAUSES_SOURCE = r"""
#include <errno.h>
#include <sys/prctl.h>
#include <time.h>

int main(void) {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (int pause = 0; pause < %d; ++pause) {
    struct timespec remaining = {0, %d * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }
  return 0;
}
""" % (DRIVES, PAUSE_MS)
C_COMPILERS = ("cc", "gcc", "clang")


def build_pauses(folder):
    """Compiles the pause-only program into `folder`; returns its path, or None when no C
    compiler is installed. Raises when the compiler fails."""
    compiler = next((name for name in C_COMPILERS if have(name)), None)
    if compiler is None:
        return None
    source = os.path.join(folder, "pauses.c")
    program = os.path.join(folder, "pauses")
    with open(source, "w") as f:
        f.write(PAUSES_SOURCE)
    subprocess.run([compiler, "-O2", "-o", program, source], check=True)
    return program


def build_folder(folder, e01_folder=None):
    """One image made with sfdisk and mkfs.fat, copied (sparse) to PhysicalDrive0..15; with
    `e01_folder`, also acquired with ewfacquire once per drive, each E01 set linked there as
    PhysicalDrive0..15."""
    image = partitioned_image(os.path.join(folder, "disk.img"), 16 * MIB, "dos", [
        Part(2048 + 6144 * p, 6144, "6", fat_volume(16, LABELS[p])) for p in range(PARTITIONS)])
    for n in range(DRIVES):
        drive = os.path.join(folder, "PhysicalDrive%d" % n)
        subprocess.run(["cp", "--sparse=always", image, drive], check=True)
        if e01_folder is not None:
            first = ewf_image(image, os.path.join(e01_folder, "drive%d" % n), "4MiB")[0]
            os.symlink(first, os.path.join(e01_folder, "PhysicalDrive%d" % n))
    os.unlink(image)


def expected_report():
    physical = b"".join(label_lines(n, p + 1, b"mkfs.fat", LABELS[p].encode().ljust(11))
                        for n in range(DRIVES) for p in range(PARTITIONS))
    return report(physical)


def scanner_environment(folder):
    environment = dict(os.environ, TVX_DEVICES=folder)
    environment.pop("NO_COLOR", None)
    return environment


def run_once(folder, args=("/batch",), program=TVX):
    """Runs the scanner (or `program`) once; returns (wall milliseconds, exit status, stdout)."""
    with tempfile.TemporaryFile() as out:
        started = time.perf_counter()
        status = subprocess.call([program, *args], stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.DEVNULL, env=scanner_environment(folder))
        wall = (time.perf_counter() - started) * 1000
        out.seek(0)
        return wall, status, out.read()


def peak_memory_kib(folder):
    """Returns the scanner's peak resident memory in KiB, measured by GNU time (a child of this
    Python process would count Python's own pages from before its exec), or None without it."""
    if not os.access(GNU_TIME, os.X_OK):
        return None
    result = subprocess.run([GNU_TIME, "-f", "%M", TVX, "/batch"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            env=scanner_environment(folder))
    return int(result.stderr.split()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=9, help="paired runs (default 9)")
    options = parser.parse_args()
    if not os.access(TVX, os.X_OK):
        print("benchmark: %s is missing: build it first" % TVX)
        return 77
    for needed in ("sfdisk", "mkfs.fat", "cp"):
        if not have(needed):
            print("benchmark: %s is not installed" % needed)
            return 77

    # Each round times, in turn, the scanner over the benchmark's folder and the pause-only
    # program (which of the two goes first alternates from round to round), then the scanner
    # over an empty folder, which takes the same pauses and reads nothing. With ewfacquire,
    # each round also times the same drives as E01 images.
    walls = {"drives": [], "pauses": [], "empty": [], "e01": []}
    with tempfile.TemporaryDirectory(prefix="tvx-bench-") as folder:
        try:
            pauses = build_pauses(folder)
        except subprocess.CalledProcessError as failure:
            print("benchmark: the pause-only program did not build: %s" % failure)
            return 1
        if pauses is None:
            print("benchmark: no C compiler (%s) to build the pause-only program" %
                  ", ".join(C_COMPILERS))
            return 77
        e01 = os.path.join(folder, "e01") if have("ewfacquire") else None
        if e01 is not None:
            os.mkdir(e01)
        build_folder(folder, e01)
        empty = os.path.join(folder, "empty")
        os.mkdir(empty)
        expected = expected_report()
        run_once(folder)  # warm the page cache and the loader
        run_once(empty, (), pauses)
        if e01 is not None:
            run_once(e01)
        for round_number in range(options.runs):
            pair = [("drives", folder, ("/batch",), TVX), ("pauses", empty, (), pauses)]
            if round_number % 2:
                pair.reverse()
            for name, drives, args, program in pair + [("e01", e01, ("/batch",), TVX)]:
                if drives is None:
                    continue
                wall, status, out = run_once(drives, args, program)
                if program == TVX and (status != 0 or out != expected):
                    print("benchmark: the scanner failed (status %d) or printed another report"
                          " over the %s" % (status, "E01 images" if name == "e01" else "drives"))
                    return 1
                walls[name].append(wall)
            walls["empty"].append(run_once(empty)[0])
        peak = peak_memory_kib(folder)

    median = {name: statistics.median(values) for name, values in walls.items() if values}
    overhead = side_by_side(walls["drives"], walls["pauses"])
    print("benchmark: %s over %d drives x %d partitions, %d paired runs (load average %.2f)" %
          (shown_path(TVX), DRIVES, PARTITIONS, options.runs,
           os.getloadavg()[0]))
    print("  wall time   median %.1f ms  (min %.1f, max %.1f)" %
          (median["drives"], min(walls["drives"]), max(walls["drives"])))
    print("  pauses      median %.1f ms  for a program that only pauses %d x %d ms (%.1f ms late)"
          % (median["pauses"], DRIVES, PAUSE_MS, median["pauses"] - PAUSES_MS))
    print("  overhead    %.1f ms side by side (the median of the paired differences)" % overhead)
    print("    %.1f ms  of it opening, reading and examining the drives (less a run over an empty"
          " folder)" % (median["drives"] - median["empty"]))
    print("  peak RSS    %s" % ("%.1f MiB" % (peak / 1024) if peak else
                                  "not measured: %s is missing" % GNU_TIME))
    if "e01" in median:
        print("  E01 images  median %.1f ms  (min %.1f, max %.1f): %.1f ms above the raw drives" %
              (median["e01"], min(walls["e01"]), max(walls["e01"]),
               median["e01"] - median["drives"]))
    else:
        print("  E01 images  not measured: ewfacquire is not installed")
    print_limits(overhead, peak)
    return 0


def side_by_side(scanner, pauses):
    """Returns the median of the paired differences, scanner[i] - pauses[i], in milliseconds."""
    return statistics.median(a - b for a, b in zip(scanner, pauses))


def shown_path(path):
    shown = os.path.relpath(path, ROOT)
    return path if shown.startswith("..") else shown


def print_limits(overhead, peak_kib):
    """Prints each figure that has a limit against it, then a plain line for each one over."""
    figures = [("overhead side by side", "%.1f ms" % overhead, "%.0f ms" % OVERHEAD_BUDGET_MS,
                overhead > OVERHEAD_BUDGET_MS,
                "a run takes %.1f ms more than the pause-only program beside it, more than %.0f ms"
                % (overhead, OVERHEAD_BUDGET_MS))]
    if peak_kib:
        figures.append(("peak RSS", "%.1f MiB" % (peak_kib / 1024), "3 MiB",
                        peak_kib > PEAK_RSS_LIMIT_KIB,
                        "a run's peak resident memory is %.1f MiB, more than 3 MiB" %
                        (peak_kib / 1024)))
    if os.path.exists(TVX_EXE):
        size = os.path.getsize(TVX_EXE)
        figures.append((shown_path(TVX_EXE), "{:,} bytes".format(size),
                        "{:,} bytes".format(WINDOWS_SIZE_LIMIT), size >= WINDOWS_SIZE_LIMIT,
                        "%s is {:,} bytes, not under 1 MiB".format(size) % shown_path(TVX_EXE)))
    print("  limits")
    for name, value, limit, over, _ in figures:
        print("    %-22s %-17s limit %-17s %s" % (name, value, limit, "OVER" if over else "within"))
    size = os.path.getsize(TVX)
    print("    %-22s %-17s no limit" %
          (shown_path(TVX), "{:,} bytes".format(size)))
    if not os.path.exists(TVX_EXE):
        print("    %-22s not measured: not built (make windows)" % shown_path(TVX_EXE))
    for _, _, _, over, line in figures:
        if over:
            print("over the limit: " + line)


if __name__ == "__main__":
    sys.exit(main())
