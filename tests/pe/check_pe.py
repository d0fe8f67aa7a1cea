#!/usr/bin/python3
"""Hardening checks on the built uninstall.exe, one row per property.

    check_pe.py EXE [--forbid TEXT]...   every row must pass (exit 0), else exit 1
    check_pe.py --self-test EXE          spoils copies of EXE one fault at a time and
                                         requires that exactly the matching row fails

The self-test exists because a check that cannot fail proves nothing: each fault
below is one a careless flag change or toolchain update could bring in.
"""
import argparse
import struct
import sys

import pefile

MAX_SIZE = 27648  # the shipped build; --max-size for another compiler's

# Windows' own DLLs that a small GUI tool may import. Everything else (the MinGW
# runtime DLLs above all) would have to ship beside the tool, and a DLL that is
# not a known system DLL is found through the search path, so it can be planted.
ALLOWED_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shlwapi.dll",
    "shell32.dll", "ole32.dll", "oleaut32.dll", "comctl32.dll", "comdlg32.dll",
}
# Named separately so the failure says what went wrong, not only "not allowed":
# the tool carries no C or C++ runtime, neither MinGW's nor Windows' own.
RUNTIME_PREFIXES = ("libstdc++", "libc++", "libgcc", "libwinpthread", "msvcrt", "msvcp", "vcruntime",
                    "ucrtbase", "api-ms-win-crt-")

# Build-machine paths that must not end up in the shipped bytes.
DEFAULT_FORBIDDEN = ["/work/", "/tmp/", "/root/", "/home/", "build/", "build\\", "Z:\\"]


def dll_flag(name):
    return pefile.DLL_CHARACTERISTICS[name]


def check_machine(pe, data, forbidden):
    if pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        return f"machine 0x{pe.FILE_HEADER.Machine:04x}, not i386 (0x014c)"
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        return "not a PE32 optional header"
    return None


def check_subsystem(pe, data, forbidden):
    gui = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
    if pe.OPTIONAL_HEADER.Subsystem != gui:
        return f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not Windows GUI ({gui})"
    return None


def flag_check(flag):
    def check(pe, data, forbidden):
        if not pe.OPTIONAL_HEADER.DllCharacteristics & dll_flag(flag):
            return f"{flag} is not set (DllCharacteristics 0x{pe.OPTIONAL_HEADER.DllCharacteristics:04x})"
        return None
    return check


def check_relocations(pe, data, forbidden):
    # ASLR needs the relocations: without them the loader maps the image at its
    # preferred base whatever DYNAMIC_BASE says.
    if pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]:
        return "IMAGE_FILE_RELOCS_STRIPPED is set"
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if entry.VirtualAddress == 0 or entry.Size == 0:
        return "the base relocation directory is empty"
    return None


def check_no_writable_code(pe, data, forbidden):
    write = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    execute = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
    bad = [s.Name.rstrip(b"\0").decode(errors="replace") for s in pe.sections
           if s.Characteristics & write and s.Characteristics & execute]
    return f"writable and executable: {', '.join(bad)}" if bad else None


def imported_dlls(pe):
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode(errors="replace"))
    return names


def check_no_c_runtime(pe, data, forbidden):
    bad = [n for n in imported_dlls(pe) if n.lower().startswith(RUNTIME_PREFIXES)]
    return f"imports a C or C++ runtime: {', '.join(bad)}" if bad else None


def check_import_allowlist(pe, data, forbidden):
    names = imported_dlls(pe)
    if not names:
        return "no imports found (the import directory did not parse)"
    bad = [n for n in names if n.lower() not in ALLOWED_DLLS]
    return f"imports from DLLs outside the system allowlist: {', '.join(bad)}" if bad else None


def check_header_timestamp(pe, data, forbidden):
    stamp = pe.FILE_HEADER.TimeDateStamp
    return f"COFF header TimeDateStamp is 0x{stamp:08x}" if stamp else None


def resource_stamps(directory, path="root"):
    found = []
    if directory.struct.TimeDateStamp:
        found.append((path, directory.struct.TimeDateStamp))
    for entry in directory.entries:
        if hasattr(entry, "directory"):
            label = str(entry.name) if entry.name is not None else str(entry.id)
            found.extend(resource_stamps(entry.directory, f"{path}/{label}"))
    return found


def check_resource_timestamps(pe, data, forbidden):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return "no resource directory (icon, version and manifest are expected)"
    found = resource_stamps(pe.DIRECTORY_ENTRY_RESOURCE)
    return "resource directory time stamps: " + ", ".join(f"{p}=0x{s:08x}" for p, s in found) if found else None


def check_debug_timestamps(pe, data, forbidden):
    found = [d.struct.TimeDateStamp for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []) if d.struct.TimeDateStamp]
    export = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    if export is not None and export.struct.TimeDateStamp:
        found.append(export.struct.TimeDateStamp)
    return "debug/export directory time stamps: " + ", ".join(f"0x{s:08x}" for s in found) if found else None


def check_no_build_paths(pe, data, forbidden):
    hits = []
    for text in forbidden:
        # Narrow strings from the compiler, UTF-16 ones from windres and wide literals.
        for encoding in ("utf-8", "utf-16-le"):
            offset = data.find(text.encode(encoding))
            if offset >= 0:
                hits.append(f"{text!r} ({encoding}) at 0x{offset:x}")
    return "build paths in the file: " + "; ".join(hits) if hits else None


def certificate_table(pe, data):
    """(file offset, size) of the Authenticode certificate table, or None.

    The security directory holds a file offset, not an RVA: the table is never
    mapped. It counts only where a signer puts it, past every section's raw
    data and within the file; a directory claiming code or data is not one.
    """
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if entry.VirtualAddress == 0 or entry.Size == 0:
        return None
    sections_end = max((s.PointerToRawData + s.SizeOfRawData for s in pe.sections), default=0)
    if entry.VirtualAddress < sections_end or entry.VirtualAddress + entry.Size > len(data):
        return None
    return entry.VirtualAddress, entry.Size


def check_size(pe, data, forbidden):
    # A signature is not code: the bound is on the image without its certificate table.
    table = certificate_table(pe, data)
    size = len(data) - (table[1] if table else 0)
    if size <= MAX_SIZE:
        return None
    signed = f" ({len(data)} with the certificate table)" if table else ""
    return f"{size} bytes{signed}, more than {MAX_SIZE}"


CHECKS = [
    ("machine i386, PE32", check_machine),
    ("subsystem Windows GUI", check_subsystem),
    ("DYNAMIC_BASE", flag_check("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE")),
    ("relocations kept", check_relocations),
    ("NX_COMPAT", flag_check("IMAGE_DLLCHARACTERISTICS_NX_COMPAT")),
    ("TERMINAL_SERVER_AWARE", flag_check("IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE")),
    ("NO_SEH", flag_check("IMAGE_DLLCHARACTERISTICS_NO_SEH")),
    ("no writable code section", check_no_writable_code),
    ("no C or C++ runtime DLL", check_no_c_runtime),
    ("imports only system DLLs", check_import_allowlist),
    ("header TimeDateStamp 0", check_header_timestamp),
    ("resource time stamps 0", check_resource_timestamps),
    ("debug/export time stamps 0", check_debug_timestamps),
    ("no build paths", check_no_build_paths),
    ("size within the limit", check_size),
]


def run_checks(data, forbidden):
    pe = pefile.PE(data=data, fast_load=False)
    return [(name, check(pe, data, forbidden)) for name, check in CHECKS]


# ---- faults for the self-test: each returns spoiled bytes --------------------

def with_pe(data, change):
    pe = pefile.PE(data=bytes(data))
    change(pe)
    return bytes(pe.write())


def clear_flag(flag):
    def spoil(data):
        def change(pe):
            pe.OPTIONAL_HEADER.DllCharacteristics &= ~dll_flag(flag)
        return with_pe(data, change)
    return spoil


def set_field(getter, field, value):
    def spoil(data):
        return with_pe(data, lambda pe: setattr(getter(pe), field, value))
    return spoil


def drop_relocations(data):
    def change(pe):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        entry.VirtualAddress = 0
        entry.Size = 0
    return with_pe(data, change)


def writable_text(data):
    def change(pe):
        pe.sections[0].Characteristics |= pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    return with_pe(data, change)


def rename_import(new_name):
    def spoil(data):
        pe = pefile.PE(data=bytes(data))
        entry = pe.DIRECTORY_ENTRY_IMPORT[-1]
        old = entry.dll
        if len(new_name) > len(old):
            raise SystemExit(f"self-test: cannot rename {old!r} to the longer {new_name!r}")
        offset = pe.get_offset_from_rva(entry.struct.Name)
        spoiled = bytearray(data)
        spoiled[offset:offset + len(old)] = new_name.ljust(len(old), b"\0")
        return bytes(spoiled)
    return spoil


def add_debug_directory(data):
    # A CodeView entry with a time stamp, as a linker that emits debug info
    # would add one; written over the DOS stub, where a file offset is also
    # the RVA, so it needs no room in a section.
    pe = pefile.PE(data=bytes(data))
    if 0x40 + 28 > pe.DOS_HEADER.e_lfanew:
        raise SystemExit("self-test: no room for a debug directory")
    spoiled = bytearray(data)
    spoiled[0x40:0x40 + 28] = struct.pack("<IIHHIIII", 0, 0x5F5E1000, 0, 0, 2, 0, 0, 0)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]]
    directory_offset = directory.get_file_offset()
    spoiled[directory_offset:directory_offset + 8] = struct.pack("<II", 0x40, 28)
    return bytes(spoiled)


def append(tail):
    return lambda data: bytes(data) + tail


def grown_under_false_certificate(data):
    # Grown past the limit, with the security directory claiming everything from
    # the first section on: a table that would hide code must not be discounted.
    grown = bytearray(data) + b"\0" * MAX_SIZE
    pe = pefile.PE(data=bytes(data))
    start = pe.sections[0].PointerToRawData
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    offset = directory.get_file_offset()
    grown[offset:offset + 8] = struct.pack("<II", start, len(grown) - start)
    return bytes(grown)


def in_stub(payload):
    # Over the DOS stub, which every PE file has, so the file keeps its size.
    def spoil(data):
        stub_end = pefile.PE(data=bytes(data)).DOS_HEADER.e_lfanew
        if 0x40 + len(payload) > stub_end:
            raise SystemExit("self-test: no room in the DOS stub")
        spoiled = bytearray(data)
        spoiled[0x40:0x40 + len(payload)] = payload
        return bytes(spoiled)
    return spoil


FAULTS = [
    ("machine i386, PE32", "built for x86-64", set_field(lambda pe: pe.FILE_HEADER, "Machine", 0x8664)),
    ("subsystem Windows GUI", "console subsystem", set_field(lambda pe: pe.OPTIONAL_HEADER, "Subsystem", 3)),
    ("DYNAMIC_BASE", "ASLR flag cleared", clear_flag("IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE")),
    ("relocations kept", ".reloc stripped", drop_relocations),
    ("NX_COMPAT", "DEP flag cleared", clear_flag("IMAGE_DLLCHARACTERISTICS_NX_COMPAT")),
    ("TERMINAL_SERVER_AWARE", "TS flag cleared", clear_flag("IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE")),
    ("NO_SEH", "NO_SEH cleared", clear_flag("IMAGE_DLLCHARACTERISTICS_NO_SEH")),
    ("no writable code section", ".text made writable", writable_text),
    ("no C or C++ runtime DLL", "imports libgcc", rename_import(b"libgcc.dll")),
    ("no C or C++ runtime DLL", "imports msvcrt", rename_import(b"msvcrt.dll")),
    ("imports only system DLLs", "imports a private DLL", rename_import(b"helper.dll")),
    ("header TimeDateStamp 0", "linker time stamp", set_field(lambda pe: pe.FILE_HEADER, "TimeDateStamp", 0x5F5E1000)),
    ("resource time stamps 0", "windres time stamp",
     set_field(lambda pe: pe.DIRECTORY_ENTRY_RESOURCE.struct, "TimeDateStamp", 0x5F5E1000)),
    ("debug/export time stamps 0", "debug directory with a time stamp", add_debug_directory),
    ("no build paths", "source path in the data", in_stub(b"/work/main/src/removal_window/entry.cpp\0")),
    ("no build paths", "wide build path", in_stub("C:\\x\\build\\win32\\x.rc".encode("utf-16-le"))),
    ("size within the limit", "grown past the limit", append(b"\0" * MAX_SIZE)),
    ("size within the limit", "code passed off as a certificate", grown_under_false_certificate),
]
# A fault that also trips a second row is fine only where the two go together.
EXPECTED_COMPANIONS = {
    "imports libgcc": {"imports only system DLLs"},
    "imports msvcrt": {"imports only system DLLs"},
    "grown past the limit": set(),
    "code passed off as a certificate": set(),
}


def report(results):
    failed = 0
    width = max(len(name) for name, _ in results)
    for name, problem in results:
        print(f"{'FAIL' if problem else 'ok  '}  {name:<{width}}  {problem or ''}".rstrip())
        failed += problem is not None
    return failed


def self_test(path):
    data = open(path, "rb").read()
    clean = [name for name, problem in run_checks(data, DEFAULT_FORBIDDEN) if problem]
    if clean:
        print(f"self-test needs a clean file; failing rows: {clean}")
        return 1
    wrong = 0
    for row, label, spoil in FAULTS:
        failing = {name for name, problem in run_checks(spoil(data), DEFAULT_FORBIDDEN) if problem}
        allowed = {row} | EXPECTED_COMPANIONS.get(label, set())
        ok = row in failing and failing <= allowed
        print(f"{'ok  ' if ok else 'FAIL'}  {label:<34} -> failing rows: {sorted(failing) or 'none'}")
        wrong += not ok
    covered = {row for row, _, _ in FAULTS}
    missing = [name for name, _ in CHECKS if name not in covered]
    if missing:
        print(f"FAIL  rows no fault exercises: {missing}")
        wrong += 1
    return 1 if wrong else 0


def main():
    global MAX_SIZE
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("exe")
    parser.add_argument("--forbid", action="append", default=[], help="another text that must not appear")
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("--max-size", type=int, default=MAX_SIZE, help="bytes the file may have at most")
    args = parser.parse_args()
    MAX_SIZE = args.max_size
    if args.self_test:
        return self_test(args.exe)
    data = open(args.exe, "rb").read()
    forbidden = DEFAULT_FORBIDDEN + [t for t in args.forbid if t]
    print(f"{args.exe}: {len(data)} bytes")
    return 1 if report(run_checks(data, forbidden)) else 0


if __name__ == "__main__":
    sys.exit(main())
