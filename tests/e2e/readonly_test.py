"""Proof that a run only reads: under strace, no file or device is opened for anything but
reading, the only writes go to standard output and standard error, nothing on disk is created,
removed, renamed, truncated or mapped for writing, and every image's checksum is the same after
the run. A read-only image file, and as root read-only and read-write loop devices, are scanned
like any other drive."""

import os
import re
import subprocess
import tempfile

from tvxtest import *

# Every call through which a process could open something, change a file's contents, its size,
# its name or its attributes, or reach a device.
OPEN_CALLS = ("open", "openat", "openat2", "creat")
WRITE_CALLS = ("write", "writev", "pwrite64", "pwritev", "pwritev2")
FORBIDDEN_CALLS = (
    "sendfile", "splice", "tee", "vmsplice", "copy_file_range", "truncate", "ftruncate",
    "fallocate", "msync", "unlink", "unlinkat", "rename", "renameat", "renameat2", "mkdir",
    "mkdirat", "rmdir", "link", "linkat", "symlink", "symlinkat", "chmod", "fchmod", "fchmodat",
    "chown", "fchown", "fchownat", "lchown", "utime", "utimes", "utimensat", "futimesat", "mknod",
    "mknodat", "io_uring_setup")
OTHER_CALLS = ("mmap", "ioctl", "pipe", "pipe2", "execve", "clone", "clone3", "fork", "vfork")
# ioctl requests that only ask: whether a descriptor is a terminal and what its mode is, and a
# block device's size.
ASKING_IOCTLS = ("TCGETS", "TIOCGWINSZ", "BLKGETSIZE64", "BLKSSZGET")

# "[pid N] " or "N " (with -f), the call, its arguments, " = " and the result, or "<unfinished".
LINE = re.compile(r"^(?:\[pid\s+\d+\]\s+|\d+\s+)?(\w+)\((.*?)(?:\)\s+=\s+(.*)|\s*<unfinished \.\.\.>)$")
DESCRIPTOR = re.compile(r"^(-?\d+)(?:<(.*)>)?$")


class TracedCall:
    """One system call from strace -y: its name, its arguments as text, its result as text."""

    def __init__(self, name, arguments, result):
        self.name, self.arguments, self.result = name, arguments, result or ""

    def argument(self, index):
        """Returns the argument at `index`, split at top-level commas."""
        parts, depth, current = [], 0, ""
        in_string = False
        for i, char in enumerate(self.arguments):
            if char == '"' and (i == 0 or self.arguments[i - 1] != "\\"):
                in_string = not in_string
            if not in_string:
                if char in "{[(":
                    depth += 1
                elif char in "}])":
                    depth -= 1
                elif char == "," and depth == 0:
                    parts.append(current.strip())
                    current = ""
                    continue
            current += char
        parts.append(current.strip())
        return parts[index] if index < len(parts) else ""

    def descriptor(self, index=0):
        """Returns (number, path) of a descriptor argument as strace -y shows it."""
        match = DESCRIPTOR.match(self.argument(index))
        return (int(match.group(1)), match.group(2)) if match else (None, None)

    def opened_path(self):
        """Returns the path an open call names (strace shows it quoted)."""
        index = 0 if self.name in ("open", "creat") else 1
        return self.argument(index).strip('"')

    def open_flags(self):
        """Returns the flag names of an open call."""
        if self.name == "openat2":
            match = re.search(r"flags=([A-Z_0-9|]+)", self.argument(2))
            text = match.group(1) if match else ""
        elif self.name == "creat":
            text = "O_CREAT|O_WRONLY|O_TRUNC"
        else:
            text = self.argument(1 if self.name == "open" else 2)
        return set(text.split("|"))

    def __repr__(self):
        return "%s(%s) = %s" % (self.name, self.arguments, self.result)


def trace_run(args, devices, env=None):
    """Runs the scanner under strace -f -y over `devices`; returns (CompletedProcess, calls)."""
    environment = tvx_environment(devices, env)
    # LeakSanitizer cannot work under ptrace; the sanitizer build runs without it here.
    environment["ASAN_OPTIONS"] = ":".join(
        filter(None, [environment.get("ASAN_OPTIONS", ""), "detect_leaks=0"]))
    calls = OPEN_CALLS + WRITE_CALLS + FORBIDDEN_CALLS + OTHER_CALLS
    with tempfile.TemporaryDirectory(prefix="tvx-strace-") as scratch:
        trace = os.path.join(scratch, "trace")
        command = ["strace", "-f", "-qq", "-y", "-s", "8", "-e", "signal=none",
                   "-e", "trace=" + ",".join(calls), "-o", trace, "--", TVX, *args]
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=environment, timeout=120)
        with open(trace) as f:
            lines = [line.rstrip("\n") for line in f]
    parsed = []
    for line in lines:
        match = LINE.match(line)
        if match is None:
            if "resumed>" in line or line.startswith("+++") or line.startswith("---"):
                continue
            raise AssertionError("cannot read the strace line %r" % line)
        parsed.append(TracedCall(*match.groups()))
    return result, parsed


class ReadOnlyRunTest(ScanFolderTest):
    """Each test builds a device folder, runs the scanner over it under strace, and checks the
    report, the system calls and the images."""

    def setUp(self):
        super().setUp()
        if not have("strace"):
            self.skipTest("strace is not installed")
        self.images = []  # every image a drive or a letter reads, checked before and after

    def add_image(self, path, read_only=False):
        if read_only:
            os.chmod(path, 0o444)
        self.images.append(path)
        return path

    def check_run(self, expected, device_entries):
        """Runs the scanner under strace; checks the report, that every open was read-only and
        that each of `device_entries` (folder entry names) was opened, that writes went only to
        standard output and standard error, that nothing else changed anything, and that every
        image is unchanged."""
        before = {path: image_checksum(path) for path in self.images}
        result, calls = trace_run(["/batch"], self.devices)
        self.assertReport(result.stdout, expected)
        self.assertEqual(result.stderr, b"")
        self.assertIn(result.returncode, expected_status(expected))

        opened = set()
        own_pipes = set()  # pipes the scanner made itself (the sanitizer runtime probes memory
        # by writing it into one); it starts no other process, so they lead nowhere else
        for call in calls:
            if call.name in OPEN_CALLS:
                flags = call.open_flags()
                self.assertIn("O_RDONLY", flags, call)
                self.assertFalse(flags & {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND",
                                          "O_TMPFILE"}, call)
                opened.add(call.opened_path())
            elif call.name in WRITE_CALLS:
                fd, path = call.descriptor()
                if path not in own_pipes:
                    self.assertIn(fd, (1, 2), call)
            elif call.name in ("pipe", "pipe2"):
                own_pipes.update(re.findall(r"<(pipe:\[\d+\])>", call.argument(0)))
            elif call.name == "execve":
                self.assertEqual(call.argument(0).strip('"'), TVX, call)
            elif call.name == "mmap":
                protection, sharing = call.argument(2), call.argument(3)
                fd, _ = call.descriptor(4)
                if "PROT_WRITE" in protection and "MAP_SHARED" in sharing:
                    self.assertEqual(fd, -1, call)  # shared writable memory backed by no file
            elif call.name == "ioctl":
                self.assertTrue(call.argument(1).startswith(ASKING_IOCTLS), call)
            elif call.name in ("clone", "clone3") and "CLONE_THREAD" in call.arguments:
                pass  # the device worker: a thread of the scanner, no other process
            else:
                self.fail("forbidden call: %r" % (call,))

        self.assertEqual(len([call for call in calls if call.name == "execve"]), 1)
        # The trace saw the scanner open each drive and letter: the checks above are not empty.
        for entry in device_entries:
            self.assertIn(self.entry(entry), opened)

        self.assertEqual({path: image_checksum(path) for path in self.images}, before)

    def test_images_one_of_them_read_only(self):
        # Drive 0: a read-only image file with FAT16, NTFS, BitLocker and random partitions.
        drive0 = self.add_image(partitioned_image(self.entry("PhysicalDrive0"), 32 * MIB, "dos", [
            Part(2048, 8192, "6", fat_volume(16, "EVIDENCE")),
            Part(10240, 16384, "7", ntfs_volume()),
            Part(26624, 8192, "7", bitlocker_volume()),
            Part(34816, 2048, "da", random_fill("readonly drive 0")),
        ]), read_only=True)
        # Drive 1: a GPT disk, writable as a file: a reserved partition and a FAT16 volume.
        self.add_image(partitioned_image(self.entry("PhysicalDrive1"), 16 * MIB, "gpt", [
            Part(2048, 2048, GPT_MSR),
            Part(4096, 8192, GPT_BASIC_DATA, fat_volume(16, "GPTVOL")),
        ]))
        # E: a volume image, read-only, which lives on no physical drive.
        volume = self.add_image(sparse_file(self.entry("E:"), 4 * MIB))
        mkfs_fat(volume, 0, 8192, 12, "VOLUME")
        os.chmod(volume, 0o444)

        random_oem = read_at(drive0, 34816 * SECTOR + 3, 8)
        expected = report(
            label_lines(0, 1, b"mkfs.fat", b"EVIDENCE   ") +
            oem_line(0, 2, b"NTFS    ") +
            oem_line(0, 3, b"-FVE-FS-") + bitlocker(0, 3) +
            oem_line(0, 4, random_oem) + damaged(0, 4) +
            label_lines(1, 2, b"mkfs.fat", b"GPTVOL     "),
            virtual_disk("E"), found=True)
        self.check_run(expected, ["PhysicalDrive0", "PhysicalDrive1", "E:"])

    def test_container_images_of_every_format(self):
        missing = container_tools_missing()
        if missing:
            self.skipTest(missing)
        store = tempfile.TemporaryDirectory(prefix="tvx-readonly-images-")
        self.addCleanup(store.cleanup)
        raw = partitioned_image(os.path.join(store.name, "raw"), 8 * MIB, "dos", [
            Part(2048, 6144, "6", fat_volume(16, "EVIDENCE")),
            Part(8192, 4096, "7", bitlocker_volume())])
        # Drive 0: an E01 in segments; drives 1 to 4: VHD, VHDX, VMDK, QCOW2, read-only files.
        segments = ewf_image(raw, os.path.join(store.name, "disk"))
        for segment in segments[1:]:
            self.add_image(segment, read_only=True)
        images = segments[:1]
        images += [qemu_image(raw, kind, os.path.join(store.name, "disk." + kind))
                    for kind in QEMU_FORMATS.values()]
        expected = b""
        for n, image in enumerate(images):
            self.link("PhysicalDrive%d" % n, self.add_image(image, read_only=True))
            expected += (label_lines(n, 1, b"mkfs.fat", b"EVIDENCE   ") +
                         oem_line(n, 2, b"-FVE-FS-") + bitlocker(n, 2))
        self.check_run(report(expected, found=True),
                       ["PhysicalDrive%d" % n for n in range(len(images))])

    def test_loop_devices_read_only_and_writable(self):
        backing = tempfile.TemporaryDirectory(prefix="tvx-loop-images-")
        self.addCleanup(backing.cleanup)
        # Drive 0: a read-only loop device (losetup -r) over a FAT12 disk.
        first = self.add_image(partitioned_image(os.path.join(backing.name, "first.img"), 8 * MIB,
                                                 "dos", [Part(2048, 4096, "1", fat_volume(12))]))
        # Drive 1: a loop device that could be written, over an NTFS disk.
        second = self.add_image(partitioned_image(os.path.join(backing.name, "second.img"),
                                                  16 * MIB, "dos",
                                                  [Part(2048, 16384, "7", ntfs_volume())]))
        try:
            with loop_device(first, read_only=True) as read_only, \
                    loop_device(second, read_only=False) as writable:
                for name, device in (("PhysicalDrive0", read_only), ("PhysicalDrive1", writable),
                                     ("F:", writable), ("G:", read_only)):
                    self.link(name, device)
                expected = report(
                    label_lines(0, 1, b"mkfs.fat", b"NO NAME    ") + oem_line(1, 1, b"NTFS    "),
                    located("F", 1, 0) + located("G", 0, 0))
                self.check_run(expected, ["PhysicalDrive0", "PhysicalDrive1", "F:", "G:"])
        except DeviceUnavailable as reason:
            self.skipTest(str(reason))


if __name__ == "__main__":
    run_file()
