#!/usr/bin/python3
"""Builds uninstall.exe twice and requires the two files to be identical.

The sources are snapshotted once, then built from two copies at different absolute
paths, in two build folders, a few seconds apart: a time stamp, an absolute path or
anything else that depends on where or when the build ran shows up as a difference.
On a difference the differing bytes are named by PE structure, and the build paths
are looked for in both files, to point at the flag that needs changing.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pefile

# Editors' and other engineers' scratch folders are not sources.
IGNORED = shutil.ignore_patterns("build", ".git", "__pycache__", "*.pyc")


def build(source, binary, log, toolchain):
    env = dict(os.environ)
    # The test is about the tools' own behaviour: an inherited epoch would hide time stamps.
    env.pop("SOURCE_DATE_EPOCH", None)
    steps = [
        ["cmake", "-S", source, "-B", binary, "-G", "Ninja",
         f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/{toolchain}", "-DCMAKE_BUILD_TYPE=MinSizeRel",
         "-DUNINSTALL_TOOL_ONLY=ON"],
        ["cmake", "--build", binary, "--target", "uninstall"],
    ]
    for step in steps:
        with open(log, "ab") as out:
            if subprocess.run(step, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                              env=env, check=False).returncode != 0:
                print(f"FAIL: {' '.join(step)}")
                print(open(log, encoding="utf-8", errors="replace").read()[-4000:])
                return None
    return os.path.join(binary, "uninstall.exe")


def describe_offset(pe, offset):
    """Names the PE structure a file offset lies in."""
    fields = [
        (pe.FILE_HEADER, "TimeDateStamp", "COFF header TimeDateStamp (linker time stamp)"),
        (pe.OPTIONAL_HEADER, "CheckSum", "optional header CheckSum"),
    ]
    for header, name, label in fields:
        start = header.get_field_absolute_offset(name)
        if start <= offset < start + 4:
            return label
    for section in pe.sections:
        if section.PointerToRawData <= offset < section.PointerToRawData + section.SizeOfRawData:
            name = section.Name.rstrip(b"\0").decode(errors="replace")
            rva = section.VirtualAddress + offset - section.PointerToRawData
            return f"section {name} (RVA 0x{rva:x})"
    return "headers" if offset < pe.OPTIONAL_HEADER.SizeOfHeaders else "after the last section"


def explain(first, second, paths):
    a = open(first, "rb").read()
    b = open(second, "rb").read()
    print(f"sizes: {len(a)} and {len(b)} bytes")
    pe = pefile.PE(data=a)
    diffs = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    regions = {}
    for offset in diffs:
        regions.setdefault(describe_offset(pe, offset), []).append(offset)
    for region, offsets in regions.items():
        print(f"  {len(offsets)} bytes differ in {region}, first at 0x{offsets[0]:x}")
    for label, data in (("first", a), ("second", b)):
        for path in paths:
            for encoding in ("utf-8", "utf-16-le"):
                if path.encode(encoding) in data:
                    print(f"  the {label} file contains the build path {path!r} ({encoding})")
    print("hints: linker time stamp -> -Wl,--no-insert-timestamp; paths from __FILE__ or assertions -> "
          "-ffile-prefix-map=<source>=.; windres stamps -> check its output .res; "
          "set SOURCE_DATE_EPOCH only if a tool honours nothing else")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", required=True)
    parser.add_argument("--toolchain", default="mingw-i686.cmake", help="a file in cmake/ of the sources")
    parser.add_argument("--keep", action="store_true", help="keep the build folders")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="uninstall-repro-")
    try:
        # One snapshot, so edits made in the tree meanwhile cannot differ between the builds.
        first_source = os.path.join(work, "a", "source")
        second_source = os.path.join(work, "second-copy", "elsewhere", "src")
        shutil.copytree(args.source, first_source, ignore=IGNORED)
        shutil.copytree(first_source, second_source)
        first = build(first_source, os.path.join(work, "a", "out"), os.path.join(work, "a.log"), args.toolchain)
        if first is None:
            return 1
        # Later by more than the one-second resolution of PE time stamps.
        time.sleep(2.5)
        second = build(second_source, os.path.join(work, "b-build-folder"), os.path.join(work, "b.log"), args.toolchain)
        if second is None:
            return 1
        same = open(first, "rb").read() == open(second, "rb").read()
        print(f"{first}\n{second}\nidentical: {same}")
        if not same:
            explain(first, second, [work, first_source, second_source])
            return 1
        return 0
    finally:
        if args.keep:
            print(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
