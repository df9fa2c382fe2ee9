"""The live mode (no device folder) on this machine, as root and as an unprivileged user: the
run completes, every line of the report has one of the report's forms, and drive 0's failure is
reported exactly when drive 0 cannot be opened by that user.

Other processes may attach and detach loop devices while these tests run (other test suites do),
so the tests compare against what they attached themselves, found by marks no other image has,
and against drive 0 only when it is the same device before and after the run."""

import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

from tvxtest import *

NOBODY = 65534

# Whole disks that are never physical drives, by kernel name prefix.
NEVER_PHYSICAL = ("ram", "zram", "dm-", "md", "sr", "fd")

# Every line the physical pass can print (after its first line), as a pattern on bytes.
NAME = rb"PhysicalDrive\d+"
PART = NAME + rb", Partition \d+"
# The line that says why an open or read failed.
REASON = rb"  - [^\r\n]+\.\r\n"
PHYSICAL_ITEM = re.compile(b"|".join([
    rb"\r\nError (?:opening|reading) PhysicalDrive\d+\.\.\. Error: -?\d+\r\n" + REASON,
    rb"\r\nError reading drive\.\.\. Error: -?\d+\r\n",
    rb"\r\n" + NAME + rb" contains a (?:TrueCrypt|PGP) encrypted volume\.\r\n",
    rb"\r\n" + NAME + rb" contains a (?:TrueCrypt|PGP) signature in its MBR,\r\n"
    rb"but in an unexpected location\. It may contain an encrypted volume\.\r\n",
    rb"\r\n" + PART + rb" --- OEM ID: .{8}\r\n",
    rb"\r\n" + PART + rb" ---       OEM ID: .{8}\r\n" + PART + rb" --- Volume label: .{11}\r\n",
    PART + rb" is a Bitlocker encrypted volume\.\r\n",
    PART + rb" might be an encrypted volume,\r\nor contains a damaged boot sector\.\r\n",
]), re.DOTALL)
LOGICAL_ITEM = re.compile(b"|".join([
    rb"Drive [A-Z]: appears to be a virtual disk\r\n"
    rb"  - possibly a TrueCrypt or PGP encrypted volume\r\n",
    rb"Drive [A-Z]: is a CD-ROM/DVD device \(#-?\d+\)\.\r\n",
    rb"Drive [A-Z]: is located on PhysicalDrive-?\d+, Partition #-1\.\r\n"
    rb"\(-1 indicates that this device can not be partitioned\)\r\n",
    rb"Drive [A-Z]: is located on PhysicalDrive-?\d+, Partition #(?!-1\.)-?\d+\.\r\n",
    rb"Error opening drive [A-Z]:\.\.\. Error: -?\d+\r\n" + REASON,
]))
FINDING = re.compile(rb"contains a|is a Bitlocker|might be an encrypted|appears to be a virtual")


def live_physical_drives():
    """Returns the kernel names of the live system's physical drives in drive order: whole disks
    of /sys/block that can be physical drives, in natural name order, attached loop devices
    after the rest."""
    def natural(name):
        return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]

    disks, loops = [], []
    for name in sorted(os.listdir("/sys/block"), key=natural):
        if name.startswith("loop"):
            if os.path.exists("/sys/block/%s/loop/backing_file" % name):
                loops.append(name)
        elif not name.startswith(NEVER_PHYSICAL):
            disks.append(name)
    return disks + loops


def as_user(uid):
    """Returns a preexec_fn that runs the child as `uid` (and the same gid), or None for
    ourselves."""
    if uid is None:
        return None

    def switch():
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
    return switch


def can_open(path, uid):
    """True when `path` opens for reading as user `uid` (None: as ourselves)."""
    check = ("import os, sys\n"
             "try:\n    os.close(os.open(sys.argv[1], os.O_RDONLY | os.O_NONBLOCK))\n"
             "except OSError:\n    sys.exit(1)\n")
    return subprocess.run(["/usr/bin/python3", "-c", check, path],
                          preexec_fn=as_user(uid)).returncode == 0


class LiveTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        # A copy every user can run, whatever the permissions of the build folder.
        scratch = tempfile.TemporaryDirectory(prefix="tvx-live-")
        self.addCleanup(scratch.cleanup)
        os.chmod(scratch.name, 0o755)
        self.tvx = os.path.join(scratch.name, "tvx")
        shutil.copy2(TVX, self.tvx)
        os.chmod(self.tvx, 0o755)

    def run_live(self, uid=None):
        environment = {k: v for k, v in os.environ.items() if k not in ("TVX_DEVICES", "NO_COLOR")}
        return subprocess.run([self.tvx, "/batch"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment,
                              preexec_fn=as_user(uid), cwd="/", timeout=60)

    def check_report(self, uid):
        """Runs the live mode as `uid` and checks the whole report's form; returns its physical
        and logical sections."""
        # A loop device that another suite attaches and detaches while the run goes on changes
        # what the run may say: the run is repeated until the drives it named are the ones
        # there before and after it.
        for _ in range(10):
            drives_before = live_physical_drives()
            readable_before = any(can_open("/dev/" + name, uid) for name in drives_before)
            result = self.run_live(uid)
            named = {int(n) for n in re.findall(rb"PhysicalDrive(\d+)", result.stdout)}
            if (live_physical_drives() == drives_before and
                    all(n < max(len(drives_before), 1) for n in named)):
                break
            time.sleep(0.5)
        self.assertIn(result.returncode, (0, 2, 3), result.stderr)
        self.assertEqual(result.stderr, b"")
        out = result.stdout
        self.assertIn(result.returncode, expected_status(out))
        self.assertTrue(out.startswith(BANNER + PHYSICAL_START), out[:200])
        physical, rest = out[len(BANNER + PHYSICAL_START):].split(PHYSICAL_END, 1)
        self.assertTrue(rest.startswith(LOGICAL_START), rest[:200])
        logical, tail = rest[len(LOGICAL_START):].split(LOGICAL_END, 1)
        for section, item in ((physical, PHYSICAL_ITEM), (logical, LOGICAL_ITEM)):
            leftover = item.sub(b"", section)
            self.assertEqual(leftover, b"", "lines of no known form in %r" % section)
        found = FINDING.search(physical + logical) is not None
        # No drive read: the run says it cannot tell, never that nothing is there. Other runs
        # attach and detach loop devices on this machine: a drive readable before or after the
        # run may have been read.
        readable_after = any(can_open("/dev/" + name, uid) for name in live_physical_drives())
        # Something not read (an error line): never the all-clear. The advice to run as root
        # only when a drive refused access to a process that is not root.
        gap = b"Error " in physical + logical
        refused = re.search(rb"Error (?:opening|reading) PhysicalDrive\d+\.\.\. Error: 5\r\n",
                            physical) is not None
        elevated = (os.geteuid() if uid is None else uid) == 0
        unread = UNREAD_ADVICE if refused and not elevated else UNREAD
        self.assertIn(tail, {unread if not read_any else
                             (FOUND_INCOMPLETE if gap else b"") if found else
                             INCOMPLETE if gap else NOTHING_FOUND
                             for read_any in {readable_before, readable_after}})

        drive0 = live_physical_drives()[:1]
        if drive0 == drives_before[:1]:
            opens = bool(drive0) and can_open("/dev/" + drive0[0], uid)
            open_failure = re.match(rb"\r\nError opening PhysicalDrive0\.\.\. Error: -?\d+\r\n",
                                    physical)
            self.assertEqual(open_failure is None, opens,
                             "drive 0 (%s) %s" % (drive0, "opens" if opens else "does not open"))
        return physical, logical

    def test_as_root_or_the_current_user(self):
        self.check_report(None)

    def test_as_an_unprivileged_user(self):
        if not is_root():
            self.skipTest("already unprivileged: covered by the other test")
        self.check_report(NOBODY)

    def test_attached_loop_device_comes_after_the_disks(self):
        """An image attached to a loop device is a physical drive numbered after every disk
        that is not a loop device, and its partition pass runs over the real block device."""
        if not is_root() or not have("losetup"):
            self.skipTest("needs root and losetup")
        scratch = tempfile.TemporaryDirectory(prefix="tvx-live-image-")
        self.addCleanup(scratch.cleanup)
        # An OEM ID and a label of this run's own, so that no other image on the host has them.
        token = os.urandom(4).hex().upper().encode()
        oem_id, label = token, b"LOOP " + token[:6]
        image = sparse_file(os.path.join(scratch.name, "live.img"), 4 * MIB)
        write_at(image, 0, mbr(starts=(2048, 0, 0, 0), types=(0x0E, 0, 0, 0)))
        write_at(image, 2048 * SECTOR, boot_sector(oem_id, fat16_label=label))
        before = image_checksum(image)
        attached = subprocess.run(["losetup", "-f", "--show", image], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE)
        if attached.returncode != 0:
            self.skipTest("losetup cannot attach here: %r" % attached.stderr)
        device = attached.stdout.decode().strip()
        self.addCleanup(subprocess.run, ["losetup", "-d", device])

        # Disks other than loop devices are the host's own, which no test attaches or detaches.
        disks = [name for name in live_physical_drives() if not name.startswith("loop")]
        physical, _ = self.check_report(None)
        lines = re.findall(rb"\r\nPhysicalDrive(\d+), Partition 1 ---       OEM ID: " + oem_id +
                           rb"\r\nPhysicalDrive\1, Partition 1 --- Volume label: " + label +
                           rb"\r\n", physical)
        self.assertEqual(len(lines), 1, physical)
        self.assertGreaterEqual(int(lines[0]), len(disks))
        self.assertEqual(image_checksum(image), before)


if __name__ == "__main__":
    run_file()
