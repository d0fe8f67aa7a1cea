#!/usr/bin/env bash
# The figures of docs/footprint.md, read from the built files of both presets: file size, the code
# and resource sections, the imported DLLs, the bound pe.hardening holds each to
# (tests/pe/CMakeLists.txt), and the bytes left in each section's last file block.
#
#   scripts/footprint.sh            print them (both presets must be built)
#   scripts/footprint.sh --write    write them into docs/footprint.md, between its figure marks
#   scripts/footprint.sh --check    fail if docs/footprint.md, or the "as built" row of
#                                   docs/build-flags.md, differs from the build (test docs.figures)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mode=${1:-print}
case $mode in print | --write | --check) ;; *) echo "usage: scripts/footprint.sh [--write | --check]" >&2; exit 2 ;; esac
for preset in win32 clang; do
  [ -f "build/$preset/uninstall.exe" ] || { echo "build/$preset/uninstall.exe: not built (cmake --build --preset $preset)" >&2; exit 1; }
done
exec /usr/bin/python3 - "$mode" <<'PY'
import re
import sys
from pathlib import Path

import pefile

mode = sys.argv[1]
BEGIN = "<!-- figures: written by scripts/footprint.sh --write, checked by the test docs.figures -->"
END = "<!-- end of figures -->"
BLOCK = 512

# pe.hardening's bounds, GCC's first: the one CMake file states them.
bounds = [int(n) for n in re.findall(r"set\(pe_max_size (\d+)\)", Path("tests/pe/CMakeLists.txt").read_text())]


def figures(preset):
    data = Path(f"build/{preset}/uninstall.exe").read_bytes()
    pe = pefile.PE(data=data)
    sections = {s.Name.rstrip(b"\0").decode(): s for s in pe.sections}
    left = {name: s.SizeOfRawData - s.Misc_VirtualSize for name, s in sections.items() if s.SizeOfRawData}
    return {
        "size": len(data),
        "text": sections[".text"].Misc_VirtualSize,
        "text_file": sections[".text"].SizeOfRawData,
        "rsrc": sections[".rsrc"].Misc_VirtualSize,
        "imports": [entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT],
        "left": left,
    }


gcc, clang = figures("win32"), figures("clang")


def left_text(f):
    return ", ".join(f"`{name}` {n:,}" for name, n in f["left"].items())


def imports_text(f):
    return ", ".join(f"`{name}`" for name in f["imports"])


rows = [
    "| | `win32` (GCC), the shipped build | `clang` |",
    "|---|---|---|",
    f"| Size | {gcc['size']:,} bytes | {clang['size']:,} bytes |",
    f"| Code (`.text`, bytes used) | {gcc['text']:,} bytes, of {gcc['text_file']:,} in the file | "
    f"{clang['text']:,} bytes, of {clang['text_file']:,} |",
    f"| Resources (`.rsrc`: icon, version record, manifest) | {gcc['rsrc']:,} bytes | {clang['rsrc']:,} bytes |",
    f"| Imports | {imports_text(gcc)} | "
    f"{'the same' if clang['imports'] == gcc['imports'] else imports_text(clang)} |",
    f"| Bound, checked by `pe.hardening` (`tests/pe/CMakeLists.txt`) | {bounds[0] // 1024} KiB, "
    f"{bounds[0] - gcc['size']:,} bytes left | {bounds[1] // 1024} KiB, {bounds[1] - clang['size']:,} bytes left |",
    f"| Bytes left in each section's last {BLOCK}-byte file block, before it grows by one | "
    f"{left_text(gcc)} | {left_text(clang)} |",
]
block = "\n".join([BEGIN] + rows + [END])

if mode == "print":
    print(block)
    sys.exit(0)

doc = Path("docs/footprint.md")
text = doc.read_text()
found = re.search(re.escape(BEGIN) + r".*?" + re.escape(END), text, re.S)
if not found:
    sys.exit(f"{doc}: no figure marks")
if mode == "--write":
    doc.write_text(text[:found.start()] + block + text[found.end():])
    print(f"{doc}: written")
    sys.exit(0)

failed = False
if found.group(0) != block:
    print(f"{doc} differs from the build; scripts/footprint.sh --write makes it agree. The build's:\n{block}")
    failed = True
# docs/build-flags.md gives what each flag is worth against the tool as built: its first row must
# be this build, or every row is out of date.
flags = Path("docs/build-flags.md").read_text()
as_built = re.search(r"^\| \(as built\) \| ([\d,]+) \| ([\d,]+) \|", flags, re.M)
if not as_built or (as_built.group(1), as_built.group(2)) != (f"{gcc['size']:,}", f"{gcc['text']:,}"):
    print(f"docs/build-flags.md measured another build than this one ({gcc['size']:,} bytes, .text "
          f"{gcc['text']:,}); scripts/flag-worth.sh --write measures it again")
    failed = True
sys.exit(1 if failed else 0)
PY
