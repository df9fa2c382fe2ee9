"""Shared helpers for the tests of the Windows build: running TVX.exe and other Windows programs
under Wine, headless, and giving Wine disk images as physical drives. The report's texts and the
image builders come from tests/e2e/tvxtest.py.

    /usr/bin/python3 winetest.py --run PROGRAM.exe [ARGS...]

runs one Windows program under Wine in the test prefix and exits with its exit status, or with
77 (skipped) when it is a GoogleTest program that skipped tests and failed none (1 under CI=true).
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
# The report's texts name the version of the executable under test: TVX.exe's build.
os.environ.setdefault("TVX_VERSION_OF", os.environ.get("TVX_WINDOWS_BIN") or os.path.join(
    os.path.dirname(os.path.dirname(HERE)), "build-windows", "TVX.exe"))

from tvxtest import *  # the report's texts and the image builders

WINE = os.environ.get("TVX_WINE") or shutil.which("wine") or "wine"
WINESERVER = shutil.which("wineserver") or "wineserver"
BUILD = os.path.join(ROOT, "build-windows")
PREFIX = os.environ.get("WINEPREFIX") or os.path.join(BUILD, "wineprefix")
TVX_EXE = os.environ.get("TVX_WINDOWS_BIN", os.path.join(BUILD, "TVX.exe"))
LAUNCH = os.environ.get("TVX_LAUNCH", os.path.join(BUILD, "tvx_launch.exe"))
SOURCE = os.environ.get("TVX_SOURCE_DIR", ROOT)

# Seconds an idle Wine server stays up, so that the runs of a test file share one server.
SERVER_PERSISTENCE = 60

# What a fresh Wine prefix presents as devices: Wine's own PhysicalDrive0 stands for the folder
# behind C:, opens, but cannot be positioned (its seek fails with ERROR_BAD_DEV_TYPE, so no read
# is made), and C: is the one drive letter that answers the device number query, as partition 1
# of that drive; Z: (the host's root) exists but refuses to open as a volume
# (ERROR_ACCESS_DENIED), which is a gap.
WINE_PHYSICAL_ERROR = 66
WINE_PHYSICAL = read_error_drive0(WINE_PHYSICAL_ERROR)
WINE_LOGICAL = located("C", 0, 1) + letter_open_error("Z", 5)

FATAL_WRITE_FAILED = b"TVX: error 1001: Unable to write to standard output\r\n"
FATAL_INCOMPLETE_WRITE = b"TVX: error 1002: Incomplete write operation\r\n"
FATAL_EXIT_STATUS = 1


def wine_environment(extra=None):
    """Returns the environment for a Wine run: the test prefix, no debug output, and no offer to
    install Mono or Gecko."""
    environment = dict(os.environ)
    environment.update({"WINEPREFIX": PREFIX, "WINEDEBUG": "-all",
                        "WINEDLLOVERRIDES": "mscoree,mshtml="})
    environment.update(extra or {})
    return environment


_started = None  # when start_wine last made sure of the server, by time.monotonic()


def start_wine():
    """Creates the prefix on first use and keeps its server and services running. A Wine run that
    has to start them hands its own standard handles on to the services, which then hold a test's
    pipes open long after the program has ended; started here, they get none."""
    global _started
    if _started is not None and time.monotonic() - _started < SERVER_PERSISTENCE / 2:
        return
    if _started is None:
        remove_drive_links()  # left behind by a run that was killed half-way
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 env=wine_environment())
    if not os.path.exists(os.path.join(PREFIX, "system.reg")):
        os.makedirs(PREFIX, exist_ok=True)
        subprocess.run([WINE, "wineboot", "--init"], timeout=300, **quiet)
    # Exits at once, with status 2, when the prefix's server is already running.
    subprocess.run([WINESERVER, "-p%d" % SERVER_PERSISTENCE], timeout=60, **quiet)
    subprocess.run([WINE, "wineboot"], timeout=300, **quiet)
    _started = time.monotonic()


def run_windows(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                env=None, timeout=60, **kwargs):
    """Runs a Windows program, `command` being its path and arguments, under Wine and returns the
    CompletedProcess, stdout and stderr as bytes."""
    start_wine()
    return subprocess.run([WINE, *command], stdin=stdin, stdout=stdout, stderr=stderr,
                          env=wine_environment(env), timeout=timeout, **kwargs)


def run_tvx_windows(args=(), **kwargs):
    """Runs TVX.exe with `args` under Wine; keywords as for run_windows."""
    return run_windows([TVX_EXE, *args], **kwargs)


def windows_path(path):
    """Returns the Windows path of a host path, through Wine's Z: drive (the host's root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def launch_tvx(command_line, **kwargs):
    """Starts TVX.exe with exactly `command_line` as its command line (through tvx_launch.exe and
    CreateProcessA); keywords as for run_windows."""
    env = {"TVX_LAUNCH_PROGRAM": windows_path(TVX_EXE), "TVX_LAUNCH_COMMAND_LINE": command_line}
    env.update(kwargs.pop("env", None) or {})
    return run_windows([LAUNCH], env=env, **kwargs)


def drive_links_folder():
    """Returns the prefix's dosdevices folder, where Wine looks up device names."""
    return os.path.join(PREFIX, "dosdevices")


def remove_drive_links():
    """Removes every physical drive link that physical_drives made, so that Wine presents its own
    devices again."""
    folder = drive_links_folder()
    if os.path.isdir(folder):
        for name in os.listdir(folder):
            if name.startswith("physicaldrive"):
                os.remove(os.path.join(folder, name))


@contextlib.contextmanager
def physical_drives(drives):
    """Makes Wine open the host path drives[n] as \\\\.\\PhysicalDrive<n>, through a link of the
    prefix's dosdevices folder, for the length of the block. A drive linked this way takes the
    place of the one Wine presents itself."""
    start_wine()  # before the links: its first call clears stale ones
    folder = drive_links_folder()
    os.makedirs(folder, exist_ok=True)
    links = []
    try:
        for n, path in sorted(drives.items()):
            link = os.path.join(folder, "physicaldrive%d" % n)
            if os.path.lexists(link):
                os.remove(link)
            os.symlink(os.path.abspath(path), link)
            links.append(link)
        yield
    finally:
        for link in links:
            if os.path.lexists(link):
                os.remove(link)


def restart_wine():
    """Stops Wine's server and starts it again, as start_wine does, so that it reads the
    prefix's drives and their types afresh."""
    global _started
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 env=wine_environment())
    subprocess.run([WINESERVER, "-k"], timeout=60, **quiet)
    subprocess.run([WINESERVER, "-w"], timeout=60, **quiet)
    _started = None
    start_wine()


@contextlib.contextmanager
def without_host_drive():
    """Moves Wine's own Z: (the host's root, which refuses to open as a volume) out of the
    prefix for the length of the block, as the README's recipe does."""
    link = os.path.join(drive_links_folder(), "z:")
    aside = os.path.join(PREFIX, "z-drive")
    start_wine()
    os.rename(link, aside)
    try:
        restart_wine()
        yield
    finally:
        os.rename(aside, link)
        restart_wine()


@contextlib.contextmanager
def network_drive(letter, folder):
    """Makes the drive letter `letter` (lower case) lead to the host folder `folder` as a
    network drive, through the prefix's dosdevices folder and Wine's drive types, for the length
    of the block."""
    key = "HKLM\\Software\\Wine\\Drives"
    link = os.path.join(drive_links_folder(), letter + ":")
    start_wine()
    run_windows(["reg", "add", key, "/v", letter + ":", "/d", "network", "/f"])
    os.symlink(os.path.abspath(folder), link)
    try:
        restart_wine()
        yield
    finally:
        os.remove(link)
        run_windows(["reg", "delete", key, "/v", letter + ":", "/f"])
        restart_wine()


@contextlib.contextmanager
def held_open_pipe():
    """Yields the read end of a pipe whose write end stays open, with nothing written, for the
    length of the block: standard input that neither ends nor delivers a key."""
    read_end, write_end = os.pipe()
    try:
        yield read_end
    finally:
        os.close(read_end)
        os.close(write_end)


def pty_run_windows(args=()):
    """Returns a PtyRun of TVX.exe under Wine with a new pseudo-terminal as its console: Wine's
    console host then draws the console, colours included, on that terminal."""
    start_wine()
    environment = {key: value for key, value in wine_environment().items()
                   if key.startswith("WINE")}
    return PtyRun([TVX_EXE, *args], env=environment, program=WINE)


# SGR colour numbers (red 1, green 2, blue 4) as console colour bits (red 4, green 2, blue 1).
_CONSOLE_BITS = [0, 4, 2, 6, 1, 5, 3, 7]


def console_colours(data):
    """Returns [(console colour, byte)] for each visible byte (0x21 to 0x7E) that a terminal
    shows for `data`, following the SGR foreground colours; a reset is LightGray, the console's
    default. Other escape sequences and control bytes show nothing."""
    shown, colour, i = [], LIGHT_GRAY, 0
    while i < len(data):
        if data[i] == 0x1B and data[i + 1:i + 2] == b"[":
            end = i + 2
            while end < len(data) and not 0x40 <= data[end] <= 0x7E:
                end += 1
            if data[end:end + 1] == b"m":
                for field in (data[i + 2:end].split(b";") or [b""]):
                    number = int(field) if field.isdigit() else 0
                    if number == 0 or number == 39:
                        colour = LIGHT_GRAY
                    elif 30 <= number <= 37:
                        colour = _CONSOLE_BITS[number - 30]
                    elif 90 <= number <= 97:
                        colour = 8 | _CONSOLE_BITS[number - 90]
            i = end + 1
            continue
        if 0x21 <= data[i] <= 0x7E:
            shown.append((colour, data[i:i + 1]))
        i += 1
    return shown


def writes_colours(writes):
    """Returns [(colour, byte)] for each visible byte of `writes` ([(colour, text)])."""
    return [(colour, text[k:k + 1]) for colour, text in writes for k in range(len(text))
            if 0x21 <= text[k] <= 0x7E]


def main(argv):
    if len(argv) < 3 or argv[1] != "--run":
        sys.stderr.write("usage: winetest.py --run PROGRAM.exe [ARGS...]\n")
        return 2
    start_wine()
    result = subprocess.run([WINE, *argv[2:]], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            env=wine_environment())
    sys.stdout.buffer.write(result.stdout)
    # A GoogleTest program that skipped tests and failed none: skipped, not passed, and under
    # CI=true, where nothing may skip, failed.
    if result.returncode == 0 and re.search(rb"^\[  SKIPPED \] \d+ tests?", result.stdout,
                                            re.MULTILINE):
        if ci_run():
            print("CI=true: tests were skipped, which a CI run does not accept", file=sys.stderr)
            return 1
        return SKIPPED_STATUS
    return result.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
