"""The built TVX.exe as a file: its size, its version information, its icon, its application
manifest, and that it imports nothing but system DLLs, read with pefile."""

import os
import struct
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

from winetest import SOURCE, TVX_EXE, build_version_defines, run_file

DESCRIPTION = b"Checks for currently mounted encrypted disks and volumes"
REQUIRED_STRINGS = {
    b"FileDescription": DESCRIPTION,
    b"Comments": DESCRIPTION,
    b"ProductName": b"Tharvex",
    b"InternalName": b"TVX",
    b"OriginalFilename": b"TVX.exe",
}
# The version resource for the build's version, major.minor: the minor number in two digits in
# the strings ("1.01" for 1.1), and major, minor, patch, 0 as numbers.
_DEFINES = build_version_defines(TVX_EXE)
_MAJOR, _MINOR = (int(n) for n in _DEFINES.get("TVX_VERSION", "0.0").split("."))
_PATCH = int(_DEFINES.get("TVX_VERSION_NUMBERS", "0, 0, 0").split(",")[2])
REQUIRED_STRINGS[b"FileVersion"] = REQUIRED_STRINGS[b"ProductVersion"] = b"%d.%02d" % (_MAJOR,
                                                                                       _MINOR)
FIXED_VERSION = (_MAJOR << 16 | _MINOR, _PATCH << 16)  # most and least significant halves
OWN_STRINGS = (b"CompanyName", b"LegalCopyright")  # texts of our own, which must name us
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VFT_APP = 1
US_ENGLISH_UNICODE = b"040904B0"

# What a bare Windows has: the only DLLs the executable may need.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "setupapi.dll", "advapi32.dll"}
# The calls the program makes, each from the system DLL that exports it.
REQUIRED_IMPORTS = {
    "kernel32.dll": {"CreateFileA", "SetFilePointer", "ReadFile", "WriteFile", "DeviceIoControl",
                     "CloseHandle", "Sleep", "GetLastError", "GetStdHandle", "GetCommandLineA",
                     "SetConsoleTextAttribute", "FlushConsoleInputBuffer", "SetConsoleMode",
                     "GetConsoleMode", "ReadConsoleA"},
    "user32.dll": {"MessageBoxA"},
    "setupapi.dll": {"SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailA", "SetupDiDestroyDeviceInfoList"},
    "advapi32.dll": {"CheckTokenMembership"},
}
ICON_SIZES = [16, 24, 32, 48, 256]
# What TVX.exe, with every feature, may weigh: it is copied onto the machine it examines.
SIZE_LIMIT = 1024 * 1024

# The manifest Windows reads at start: RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID.
RT_MANIFEST = 24
CREATEPROCESS_MANIFEST = 1
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY_V1 = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


def ico_images(path):
    """Returns [(width, image bytes)] of a .ico file, in its directory's order."""
    with open(path, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    assert (reserved, kind) == (0, 1), "not an icon file"
    images = []
    for i in range(count):
        width, _, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images.append((width or 256, data[offset:offset + size]))
    return images


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(TVX_EXE)

    def resource(self, kind):
        """Returns {id: data} of the resources of one type."""
        found = {}
        for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if entry.id != kind:
                continue
            for item in entry.directory.entries:
                for language in item.directory.entries:
                    rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                    found[item.id] = self.pe.get_data(rva, size)
        return found

    def test_is_a_64_bit_console_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

    def test_is_under_one_mebibyte(self):
        self.assertLess(os.path.getsize(TVX_EXE), SIZE_LIMIT)

    def test_version_strings(self):
        tables = [table for info in self.pe.FileInfo for entry in info
                  if entry.Key == b"StringFileInfo" for table in entry.StringTable]
        self.assertEqual([table.LangID for table in tables], [US_ENGLISH_UNICODE])
        strings = tables[0].entries
        self.assertEqual(set(strings), set(REQUIRED_STRINGS) | set(OWN_STRINGS))
        for key, value in REQUIRED_STRINGS.items():
            self.assertEqual(strings[key], value, key)
        for key in OWN_STRINGS:
            self.assertIn(b"Tharvex", strings[key], key)
        translations = [var.entry for info in self.pe.FileInfo for entry in info
                        if entry.Key == b"VarFileInfo" for var in entry.Var]
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_numeric_version_is_the_builds(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual(fixed.Signature, VS_FIXEDFILEINFO_SIGNATURE)
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), FIXED_VERSION)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), FIXED_VERSION)
        self.assertEqual(fixed.FileType, VFT_APP)

    def test_icon_is_ours_in_every_size(self):
        expected = ico_images(os.path.join(SOURCE, "src", "platform", "tvx.ico"))
        self.assertEqual([width for width, _ in expected], ICON_SIZES)
        groups = self.resource(pefile.RESOURCE_TYPE["RT_GROUP_ICON"])
        icons = self.resource(pefile.RESOURCE_TYPE["RT_ICON"])
        self.assertEqual(len(groups), 1, "one application icon")
        group = next(iter(groups.values()))
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind, count), (0, 1, len(expected)))
        for i, (width, image) in enumerate(expected):
            entry = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual(entry[0] or 256, width)
            self.assertEqual(icons[entry[7]], image, "icon image %d differs from tvx.ico" % width)

    def test_manifest_runs_as_invoker_on_windows_7_to_11(self):
        manifests = self.resource(RT_MANIFEST)
        self.assertEqual(set(manifests), {CREATEPROCESS_MANIFEST})
        assembly = ElementTree.fromstring(manifests[CREATEPROCESS_MANIFEST])
        self.assertEqual((assembly.tag, assembly.get("manifestVersion")),
                         (ASM_V1 + "assembly", "1.0"))
        levels = assembly.findall("%strustInfo/%ssecurity/%srequestedPrivileges/"
                                  "%srequestedExecutionLevel" % ((ASM_V3,) * 4))
        self.assertEqual([(level.get("level"), level.get("uiAccess")) for level in levels],
                         [("asInvoker", "false")])
        systems = [system.get("Id") for system in assembly.findall(
            "%scompatibility/%sapplication/%ssupportedOS" % ((COMPATIBILITY_V1,) * 3))]
        self.assertEqual(sorted(systems), sorted(SUPPORTED_OS))

    def test_imports_only_system_dlls(self):
        imported = {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
                    for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(set(imported), SYSTEM_DLLS)
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "delay-loaded DLLs")
        for dll, names in REQUIRED_IMPORTS.items():
            self.assertLessEqual(names, imported.get(dll, set()), dll)


if __name__ == "__main__":
    run_file()
