#!/usr/bin/env python3
"""Reads the resources of a built uninstall.exe and checks them.

  check_resources.py path/to/uninstall.exe

Needs pefile (Debian: python3-pefile). Prints one line per check and exits 1
if any fails. The free-text version strings are taken from version.h, so what
is checked for them is that they reach the file intact as UTF-16.
"""

import pathlib
import re
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

RESOURCES = pathlib.Path(__file__).resolve().parents[2] / "src" / "resources"

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
GROUP_ID, ICON_ID = 1, 30001

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
TRUST_NAMESPACES = (ASM_V3, "urn:schemas-microsoft-com:asm.v2")
COMPAT = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"

SUPPORTED_OS = {
    "Windows 7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "Windows 8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "Windows 8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "Windows 10/11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


def header_strings():
    """The string macros of version.h, decoded as UTF-8."""
    text = (RESOURCES / "version.h").read_text(encoding="utf-8")
    return dict(re.findall(r'^#define\s+(UNINSTALL_\w+)\s+"([^"]*)"', text, re.M))


class Resources:
    def __init__(self, exe):
        self.pe = pefile.PE(str(exe))
        self.by_type = {}
        directory = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for rtype in directory.entries if directory else []:
            items = self.by_type.setdefault(rtype.id, [])
            for item in rtype.directory.entries:
                for lang in item.directory.entries:
                    items.append((item.id if item.name is None else str(item.name), lang.data.struct))

    def ids(self, rtype):
        return [rid for rid, _ in self.by_type.get(rtype, [])]

    def data(self, rtype, rid):
        found = [s for i, s in self.by_type.get(rtype, []) if i == rid]
        if len(found) != 1:
            raise AssertionError(f"{len(found)} resources of type {rtype} id {rid}, want 1")
        return self.pe.get_data(found[0].OffsetToData, found[0].Size)

    def group_entries(self):
        data = self.data(RT_GROUP_ICON, GROUP_ID)
        reserved, kind, count = struct.unpack_from("<HHH", data)
        expect(reserved == 0 and kind == 1, f"GRPICONDIR reserved/type {reserved}/{kind}")
        expect(len(data) == 6 + 14 * count, f"group is {len(data)} bytes for {count} entries")
        names = ("width", "height", "colours", "reserved", "planes", "bits", "bytes", "id")
        return [dict(zip(names, struct.unpack_from("<BBBBHHIH", data, 6 + 14 * n))) for n in range(count)]

    def image_header(self):
        data = self.data(RT_ICON, ICON_ID)
        names = ("size", "width", "height", "planes", "bits", "compression")
        return data, dict(zip(names, struct.unpack_from("<IiiHHI", data)))

    def manifest(self):
        return ET.fromstring(self.data(RT_MANIFEST, 1))

    def strings(self):
        tables = {}
        for info in getattr(self.pe, "FileInfo", []):
            for block in info:
                for table in getattr(block, "StringTable", []):
                    tables[table.LangID.decode("ascii").upper()] = {
                        k.decode("utf-8"): v.decode("utf-8") for k, v in table.entries.items()}
        return tables

    def translations(self):
        return [var.entry.get(b"Translation") for info in getattr(self.pe, "FileInfo", [])
                for block in info for var in getattr(block, "Var", [])]


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def equal(actual, wanted, what):
    expect(actual == wanted, f"{what}: {actual!r}, want {wanted!r}")


# --- icon -------------------------------------------------------------------

def icon_group_is_first(r):
    # Explorer shows the first icon group of the file.
    groups = r.ids(RT_GROUP_ICON)
    expect(groups[:1] == [GROUP_ID], f"icon groups {groups}, want {GROUP_ID} first")


def icon_group_names_one_image(r):
    entries = r.group_entries()
    equal([e["id"] for e in entries], [ICON_ID], "images in group 1")


def icon_images_are_only_30001(r):
    # An ICON statement would add images numbered by windres.
    equal(r.ids(RT_ICON), [ICON_ID], "icon image ids")


def icon_image_is_32x32_4bpp(r):
    data, h = r.image_header()
    equal((h["size"], h["width"], h["height"], h["planes"], h["bits"], h["compression"]),
          (40, 32, 64, 1, 4, 0), "BITMAPINFOHEADER size/width/height(x2)/planes/bits/compression")
    equal(len(data), 40 + 16 * 4 + 32 * 16 + 32 * 4, "image bytes (header, palette, colour, mask)")


def icon_group_agrees_with_image(r):
    (entry,) = r.group_entries()
    data, h = r.image_header()
    for field, wanted in (("width", h["width"]), ("height", h["height"] // 2),
                          ("colours", 1 << h["bits"]), ("reserved", 0),
                          ("planes", h["planes"]), ("bits", h["bits"]), ("bytes", len(data))):
        equal(entry[field], wanted, f"group entry {field}")


def icon_image_is_the_pixel_map(r):
    data, _ = r.image_header()
    expect(data == (RESOURCES / "icon_30001.bin").read_bytes(),
           "embedded image differs from src/resources/icon_30001.bin")


# --- version record ---------------------------------------------------------

def fixed_version_numbers(r):
    f = r.pe.VS_FIXEDFILEINFO[0]
    equal(hex(f.Signature), hex(0xFEEF04BD), "VS_FIXEDFILEINFO signature")
    for name in ("FileVersion", "ProductVersion"):
        ms, ls = getattr(f, name + "MS"), getattr(f, name + "LS")
        equal((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), (1, 0, 0, 0), name)
    equal((f.FileOS, f.FileType), (0x40004, 1), "FILEOS/FILETYPE (NT Win32, application)")


def one_string_block_080404b0(r):
    equal(sorted(r.strings()), ["080404B0"], "StringFileInfo blocks")


def version_strings(r):
    h = header_strings()
    wanted = {
        "FileVersion": "1.00",
        "ProductVersion": "1.00",
        "InternalName": "uninstall",
        "OriginalFilename": "uninstall.exe",
        "CompanyName": h["UNINSTALL_COMPANY_NAME"],
        "ProductName": h["UNINSTALL_PRODUCT_NAME"],
        "FileDescription": h["UNINSTALL_FILE_DESCRIPTION"],
    }
    table = r.strings().get("080404B0", {})
    wrong = [f"{key}: {table.get(key)!r}, want {value!r}"
             for key, value in wanted.items() if not value or table.get(key) != value]
    expect(not wrong, "; ".join(wrong))


def translation_0804_1200(r):
    equal(r.translations(), ["0x0804 0x04b0"], "VarFileInfo Translation")


# --- manifest ---------------------------------------------------------------

def manifest_root(r):
    root = r.manifest()
    equal(root.tag, f"{{{ASM_V1}}}assembly", "manifest root")
    equal(root.get("manifestVersion"), "1.0", "manifestVersion")


def manifest_dpi_awareness(r):
    settings = r.manifest().findall(f"{{{ASM_V3}}}application/{{{ASM_V3}}}windowsSettings")
    equal(len(settings), 1, "windowsSettings elements")
    for ns, name, wanted in ((SETTINGS_2016, "dpiAwareness", "PerMonitorV2, PerMonitor"),
                             (SETTINGS_2005, "dpiAware", "true/pm")):
        found = settings[0].findall(f"{{{ns}}}{name}")
        equal([(e.text or "").strip() for e in found], [wanted], name)


def manifest_common_controls_6(r):
    identities = r.manifest().findall(
        f"{{{ASM_V1}}}dependency/{{{ASM_V1}}}dependentAssembly/{{{ASM_V1}}}assemblyIdentity")
    cc = [i for i in identities if i.get("name") == "Microsoft.Windows.Common-Controls"]
    equal(len(cc), 1, "Common Controls dependencies")
    got = {k: cc[0].get(k) for k in ("type", "version", "publicKeyToken", "language")}
    equal(got, {"type": "win32", "version": "6.0.0.0", "publicKeyToken": "6595b64144ccf1df",
                "language": "*"}, "Common Controls identity")
    expect(cc[0].get("processorArchitecture") in ("*", "x86"),
           f"Common Controls processorArchitecture {cc[0].get('processorArchitecture')!r}")


def manifest_supported_os(r):
    found = {(e.get("Id") or "").lower() for e in r.manifest().iter(f"{{{COMPAT}}}supportedOS")}
    missing = [name for name, guid in SUPPORTED_OS.items() if guid not in found]
    equal(missing, [], "supportedOS missing")


def manifest_execution_level(r):
    levels = [e for ns in TRUST_NAMESPACES
              for e in r.manifest().iter(f"{{{ns}}}requestedExecutionLevel")]
    equal([(e.get("level"), e.get("uiAccess")) for e in levels],
          [("highestAvailable", "false")], "requestedExecutionLevel level/uiAccess")


CHECKS = [
    icon_group_is_first,
    icon_group_names_one_image,
    icon_images_are_only_30001,
    icon_image_is_32x32_4bpp,
    icon_group_agrees_with_image,
    icon_image_is_the_pixel_map,
    fixed_version_numbers,
    one_string_block_080404b0,
    version_strings,
    translation_0804_1200,
    manifest_root,
    manifest_dpi_awareness,
    manifest_common_controls_6,
    manifest_supported_os,
    manifest_execution_level,
]


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    resources = Resources(argv[0])
    failures = 0
    for check in CHECKS:
        try:
            check(resources)
            print(f"ok   {check.__name__}")
        except Exception as error:  # a malformed resource fails its row, not the run
            failures += 1
            print(f"FAIL {check.__name__}: {type(error).__name__}: {error}")
    print(f"{len(CHECKS) - failures} of {len(CHECKS)} checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
