"""The manual page and the release files: the page reads without groff warnings and documents
every option of the usage text; the package, built as `make package` builds it and unpacked
with dpkg -x into a scratch root, holds a working tvx that links no image library and names them
in a .note.dlopen, the manual page and the documents, has the control fields it should
(recommending the image libraries), and lintian finds no error in it; the portable static
scanner is statically linked, listed in SHA256SUMS, and scans a device folder as this build
does, images in container formats excepted."""

import gzip
import hashlib
import json
import os
import re
import struct
import subprocess
import tempfile
import unittest

from tvxtest import *

MAN_PAGE = os.path.join(ROOT, "docs", "tvx.1.in")
# The page as the build fills in its version, next to the program.
BUILT_MAN_PAGE = os.path.join(os.path.dirname(os.path.abspath(TVX)), "tvx.1")
# An option line of the usage text: "        /batch - No prompt ...".
USAGE_OPTION = re.compile(rb"^ +(/\S+) +- ", re.MULTILINE)


def man_section(page, title):
    """Returns the text of one .SH section of a roff manual page."""
    match = re.search(r'^\.SH "?%s"?\n(.*?)(?=^\.SH |\Z)' % re.escape(title), page,
                      re.MULTILINE | re.DOTALL)
    return match.group(1) if match else ""


def dlopen_notes(path):
    """Returns the JSON of each .note.dlopen note (owner "FDO", type 0x407c0c0a) of an ELF file,
    read with readelf -x, as a list of parsed documents."""
    dump = subprocess.run(["readelf", "-x", ".note.dlopen", path], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode()
    # Each line: the address, four words of hex (35 columns, blank-padded), the bytes as text.
    data = bytes.fromhex("".join(
        "".join(words.split()) for words in re.findall(r"^\s+0x[0-9a-f]+ (.{1,35})", dump,
                                                       re.MULTILINE)))
    notes = []
    while len(data) >= 12:
        owner_size, size, kind = struct.unpack_from("<III", data)
        owner_end = 12 + (owner_size + 3) // 4 * 4
        owner = data[12:12 + owner_size].rstrip(b"\0")
        description = data[owner_end:owner_end + size].rstrip(b"\0")
        if owner == b"FDO" and kind == 0x407C0C0A:
            notes.append(json.loads(description))
        data = data[owner_end + (size + 3) // 4 * 4:]
    return notes


class ManPageTest(unittest.TestCase):
    def test_groff_reads_it_without_warnings(self):
        if not have("groff"):
            self.skipTest("groff is not installed (package groff-base)")
        lint = subprocess.run(["groff", "-ww", "-z", "-man", MAN_PAGE], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        self.assertEqual((lint.returncode, lint.stderr, lint.stdout), (0, b"", b""))

    def test_documents_every_option_of_the_usage_text(self):
        usage = run_tvx(["/?"])
        self.assertEqual(usage.returncode, 0)
        options = USAGE_OPTION.findall(usage.stdout)
        self.assertIn(b"/batch", options)
        with open(MAN_PAGE, encoding="utf-8") as f:
            page = f.read()
        documented = re.findall(r"^\.TP\n\.BR? (\S+)", man_section(page, "OPTIONS"), re.MULTILINE)
        self.assertLessEqual({option.decode() for option in options}, set(documented))
        synopsis = man_section(page, "SYNOPSIS")
        for option in options:
            self.assertIn(option.decode(), synopsis)


@native_build_only("the package is built the same way whatever this build is")
class DebianPackageTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        for tool in ("cmake", "cpack", "dpkg-deb", "dpkg-shlibdeps"):
            if not have(tool):
                raise unittest.SkipTest("%s is not installed (tools/install-deps package)" % tool)
        cls.scratch = tempfile.TemporaryDirectory(prefix="tvx-package-")
        output = os.path.join(cls.scratch.name, "out")
        command = [os.path.join(ROOT, "tools", "make-package"), "--deb-only", "--no-lint", output]
        built = subprocess.run(command,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        if built.returncode != 0:
            cls.scratch.cleanup()
            raise AssertionError("make-package failed:\n" + built.stdout.decode(errors="replace"))
        cls.output = output
        debs = [name for name in os.listdir(output) if name.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(output, debs[0])
        cls.root = os.path.join(cls.scratch.name, "root")
        subprocess.run(["dpkg", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def field(self, name):
        return subprocess.run(["dpkg-deb", "-f", self.deb, name], stdout=subprocess.PIPE,
                              check=True).stdout.decode().rstrip("\n")

    def test_control_fields(self):
        architecture = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE,
                                      check=True).stdout.decode().strip()
        self.assertEqual(os.path.basename(self.deb), "tharvex_%s_%s.deb" % (VERSION, architecture))
        expected = {"Package": "tharvex", "Version": VERSION, "Section": "admin",
                    "Architecture": architecture}
        self.assertEqual({name: self.field(name) for name in expected}, expected)
        # Computed by dpkg-shlibdeps from what the binary links: the C library alone, with a
        # version. The image libraries, loaded only for images, are recommended.
        self.assertRegex(self.field("Depends"), r"^libc6 \(>= [0-9.]+\)$")
        recommends = sorted(self.field("Recommends").split(", "))
        self.assertEqual(recommends, ["libewf2", "libqcow1", "libvhdi1", "libvmdk1"])
        summary, *long_description = self.field("Description").split("\n")
        self.assertRegex(summary, r"^\S.{10,79}$")
        self.assertGreaterEqual(len(long_description), 3)
        self.assertTrue(all(line.startswith(" ") for line in long_description), long_description)

    def test_the_installed_program_runs(self):
        tvx = os.path.join(self.root, "usr", "bin", "tvx")
        self.assertTrue(os.access(tvx, os.X_OK), "usr/bin/tvx is missing or not executable")
        result = subprocess.run([tvx, "/?"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=tvx_environment(), timeout=60)
        self.assertEqual((result.stdout, result.stderr, result.returncode), (BANNER + USAGE, b"", 0))

    def test_dlopen_note_names_the_recommended_libraries(self):
        if not have("readelf"):
            self.skipTest("readelf is not installed (binutils)")
        tvx = os.path.join(self.root, "usr", "bin", "tvx")
        notes = dlopen_notes(tvx)
        self.assertEqual(len(notes), 1, notes)
        sonames = [soname for entry in notes[0] for soname in entry["soname"]]
        self.assertEqual(sorted(sonames),
                         ["libewf.so.2", "libqcow.so.1", "libvhdi.so.1", "libvmdk.so.1"])
        self.assertEqual({entry["priority"] for entry in notes[0]}, {"recommended"})
        self.assertTrue(all(entry["feature"] and entry["description"] for entry in notes[0]))
        # Debian names a library's package after its soname: libewf.so.2 is in libewf2.
        packages = sorted(re.sub(r"\.so\.", "", soname) for soname in sonames)
        self.assertEqual(packages, sorted(self.field("Recommends").split(", ")))
        linked = subprocess.run(["readelf", "-d", tvx], stdout=subprocess.PIPE,
                                check=True).stdout.decode()
        needed = re.findall(r"\(NEEDED\).*\[(.*)\]", linked)
        self.assertIn("libc.so.6", needed)
        self.assertFalse(set(needed) & set(sonames), needed)

    def test_manual_page_and_documents_are_installed(self):
        with gzip.open(os.path.join(self.root, "usr/share/man/man1/tvx.1.gz")) as page:
            with open(BUILT_MAN_PAGE, "rb") as source:
                self.assertEqual(page.read(), source.read())
        documents = sorted(os.listdir(os.path.join(self.root, "usr/share/doc/tharvex")))
        expected = ["README.md", "changelog.gz", "copyright", "detection.md"]
        if os.path.exists(os.path.join(ROOT, "docs", "report-json.md")):
            expected.append("report-json.md")
        self.assertEqual(documents, sorted(expected))

    def test_lintian_finds_no_error(self):
        if not have("lintian"):
            self.skipTest("lintian is not installed (tools/install-deps)")
        lint = subprocess.run(["lintian", "--display-level", ">=pedantic", self.deb],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        errors = [line for line in lint.stdout.decode().splitlines() if line.startswith("E: ")]
        self.assertEqual(errors, [], lint.stdout.decode())


@native_build_only("the static scanner is built the same way whatever this build is")
class StaticScannerTest(ScanFolderTest):
    @classmethod
    def setUpClass(cls):
        if not have("cmake"):
            raise unittest.SkipTest("cmake is not installed (tools/install-deps build)")
        cls.scratch = tempfile.TemporaryDirectory(prefix="tvx-static-")
        out = os.path.join(cls.scratch.name, "out")
        built = subprocess.run([os.path.join(ROOT, "tools", "make-package"), "--static-only", out],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
        if built.returncode != 0:
            cls.scratch.cleanup()
            raise AssertionError("make-package failed:\n" + built.stdout.decode(errors="replace"))
        cls.out = out
        cls.static = os.path.join(out, "tharvex-%s-linux-x64-static" % VERSION)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def both(self, args):
        """Runs this build's scanner and the static one over the test's folder; returns both."""
        return [subprocess.run([program, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, env=tvx_environment(self.devices),
                               timeout=60) for program in (TVX, self.static)]

    def test_is_statically_linked_and_in_sha256sums(self):
        ldd = subprocess.run(["ldd", self.static], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertIn(b"not a dynamic executable", ldd.stdout)
        with open(self.static, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(self.out, "SHA256SUMS")) as f:
            self.assertEqual(f.read(), "%s  %s\n" % (digest, os.path.basename(self.static)))

    def test_scans_a_device_folder_as_this_build_does(self):
        tool(os.path.join(ROOT, "tools", "make-demo"), "--no-run", "--folder", self.devices)
        for args in (["/batch"], ["/json"]):
            with self.subTest(args=args):
                dynamic, static = self.both(args)
                blank_time = lambda out: re.sub(rb'"startedAt": *"[^"]*"', b"", out)  # noqa: E731
                self.assertEqual(blank_time(static.stdout), blank_time(dynamic.stdout))
                self.assertEqual((static.stderr, static.returncode), (b"", 3))

    def test_an_image_container_is_unreadable(self):
        if not have("qemu-img"):
            self.skipTest("qemu-img is not installed")
        raw = self.image("raw", MIB)
        write_at(raw, 0, bitlocker_boot_sector(0, MIB // SECTOR))
        qemu_image(raw, "qcow2", self.entry("PhysicalDrive0"))
        os.remove(raw)
        dynamic, static = self.both(["/json"])
        self.assertEqual(json.loads(dynamic.stdout)["findings"][0]["kind"], "bitlocker")
        self.assertEqual(json.loads(static.stdout)["drives"][0]["unreadableImage"],
                         {"format": "QCOW", "problem": "this build reads raw images only"})
        self.assertEqual((dynamic.returncode, static.returncode), (3, 2))


if __name__ == "__main__":
    run_file()
