#!/usr/bin/python3
"""Benchmark of one whole run: the scanner over a device folder of 16 drives with four FAT16
partitions each, run several times. Prints the median wall time, the time above the 160 ms of
pauses the physical pass must take (16 drives x 10 ms) split into where it goes, and the peak
resident memory; then the same 16 drives as E01 images (when ewfacquire is installed), and
what they cost above the raw ones; then the figures that have a limit (the time above the
pauses, 5 ms; the peak resident memory, 3 MiB; TVX.exe, when built, 1 MiB) each against it,
with a plain line for each one over, and the size of the executable measured. Timings on a busy
machine say more about the machine: the load average is printed with them.

    tests/bench/scan_bench.py [--runs N]

Exits 0 whatever the timings are (they are figures to read, not a test); exits 1 when the
scanner fails or its report is not the expected one, and 77 when there is no executable or
no sfdisk/mkfs.fat to build the drives with. TVX_BIN picks the executable (default build/tvx),
TVX_WINDOWS_BIN the Windows one (default build-windows/TVX.exe).
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
PAUSES_MS = DRIVES * 10
OVERHEAD_BUDGET_MS = 5.0
PEAK_RSS_LIMIT_KIB = 3 * 1024
WINDOWS_SIZE_LIMIT = 1024 * 1024
TVX_EXE = os.environ.get("TVX_WINDOWS_BIN", os.path.join(ROOT, "build-windows", "TVX.exe"))
GNU_TIME = "/usr/bin/time"
LABELS = ["BENCH%d" % p for p in range(1, PARTITIONS + 1)]


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


def run_once(folder, args=("/batch",)):
    """Runs the scanner once; returns (wall milliseconds, exit status, stdout)."""
    with tempfile.TemporaryFile() as out:
        started = time.perf_counter()
        status = subprocess.call([TVX, *args], stdin=subprocess.DEVNULL, stdout=out,
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
    parser.add_argument("--runs", type=int, default=9, help="timed runs (default 9)")
    options = parser.parse_args()
    if not os.access(TVX, os.X_OK):
        print("benchmark: %s is missing: build it first" % TVX)
        return 77
    for needed in ("sfdisk", "mkfs.fat", "cp"):
        if not have(needed):
            print("benchmark: %s is not installed" % needed)
            return 77

    # Each round times three runs: the benchmark's folder; an empty folder, which takes the same
    # pauses and reads nothing; and "/?", which only starts, prints the banner and ends.
    # With ewfacquire, each round also times the same drives as E01 images.
    walls = {"drives": [], "empty": [], "start": [], "e01": []}
    with tempfile.TemporaryDirectory(prefix="tvx-bench-") as folder:
        e01 = os.path.join(folder, "e01") if have("ewfacquire") else None
        if e01 is not None:
            os.mkdir(e01)
        build_folder(folder, e01)
        empty = os.path.join(folder, "empty")
        os.mkdir(empty)
        expected = expected_report()
        run_once(folder)  # warm the page cache and the loader
        if e01 is not None:
            run_once(e01)
        for _ in range(options.runs):
            for name, drives in (("drives", folder), ("e01", e01)):
                if drives is None:
                    continue
                wall, status, out = run_once(drives)
                if status != 0 or out != expected:
                    print("benchmark: the scanner failed (status %d) or printed another report"
                          " over the %s" % (status, "E01 images" if name == "e01" else "drives"))
                    return 1
                walls[name].append(wall)
            walls["empty"].append(run_once(empty)[0])
            walls["start"].append(run_once(empty, ("/?",))[0])
        peak = peak_memory_kib(folder)

    median = {name: statistics.median(values) for name, values in walls.items() if values}
    overhead = median["drives"] - PAUSES_MS
    print("benchmark: %s over %d drives x %d partitions, %d runs (load average %.2f)" %
          (shown_path(TVX), DRIVES, PARTITIONS, options.runs,
           os.getloadavg()[0]))
    print("  wall time   median %.1f ms  (min %.1f, max %.1f)" %
          (median["drives"], min(walls["drives"]), max(walls["drives"])))
    print("  overhead    %.1f ms above the %d ms of pauses, of which" % (overhead, PAUSES_MS))
    print("    %.1f ms  starting and ending the process (a run with /?)" % median["start"])
    print("    %.1f ms  pauses running past 10 ms (a run over an empty folder, less the above)" %
          (median["empty"] - PAUSES_MS - median["start"]))
    print("    %.1f ms  opening, reading and examining the drives" %
          (median["drives"] - median["empty"]))
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


def shown_path(path):
    shown = os.path.relpath(path, ROOT)
    return path if shown.startswith("..") else shown


def print_limits(overhead, peak_kib):
    """Prints each figure that has a limit against it, then a plain line for each one over."""
    figures = [("overhead", "%.1f ms" % overhead, "%.0f ms" % OVERHEAD_BUDGET_MS,
                overhead > OVERHEAD_BUDGET_MS,
                "a run takes %.1f ms above its pauses, more than %.0f ms" %
                (overhead, OVERHEAD_BUDGET_MS))]
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
