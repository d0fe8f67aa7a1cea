#!/usr/bin/env bash
# The figures docs/ gives that the build can tell, written by the build: from the built files of
# both presets, file size, the code and resource sections, the imported DLLs, the bound
# pe.hardening holds each to (tests/pe/CMakeLists.txt), the bytes left in each section's last file
# block and every function bound late (docs/footprint.md); from tests/wine/scenarios.py --list, the
# scenarios and the prefixes they run in (docs/tested-on.md). --check also holds the targets the README
# and docs/what-it-changes.md list to the program's own (src/removal_window/form1.h).
#
#   scripts/footprint.sh            print them (both presets must be built)
#   scripts/footprint.sh --write    write them into the pages, between their marks
#   scripts/footprint.sh --check    fail if a page, or the "as built" row of docs/build-flags.md,
#                                   differs from the build (test docs.figures)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mode=${1:-print}
case $mode in print | --write | --check) ;; *) echo "usage: scripts/footprint.sh [--write | --check]" >&2; exit 2 ;; esac
for preset in win32 clang; do
  [ -f "build/$preset/uninstall.exe" ] || { echo "build/$preset/uninstall.exe: not built (cmake --build --preset $preset)" >&2; exit 1; }
done
exec /usr/bin/python3 - "$mode" <<'PY'
import re
import subprocess
import sys
from pathlib import Path

import pefile

mode = sys.argv[1]
BLOCK = 512
# Wine's builds of the system libraries, whose export tables say which names in the file are
# functions of a library the file names.
WINE_DLLS = next(p for p in (Path("/usr/lib/i386-linux-gnu/wine/i386-windows"),
                             Path("/usr/lib/wine/i386-windows")) if p.is_dir())

# Where each late-bound function comes from and when the tool asks for it: the build says which
# functions there are, this says why. A function the build binds late and this does not name
# fails --write and --check.
LATE = {
    "RegOpenKeyExA": ("advapi32", "every run: each target's key by its ANSI path"),
    "RegCloseKey": ("advapi32", "every run"),
    "RegEnumKeyExW": ("advapi32", "run as administrator: the hives loaded below `HKEY_USERS`, and the profiles the machine lists"),
    "RegOpenKeyExW": ("advapi32", "for a folder with files removed: the places Windows virtualises, from both registry views; run as administrator, the profile list"),
    "RegGetValueW": ("advapi32", "with the above: `ProgramFilesDir`, each profile's `ProfileImagePath`"),
    "RegQueryValueExW": ("advapi32", "for a target directly below a hive's root: the list of loaded hives"),
    "CheckTokenMembership": ("advapi32", "once, at the first class key: whether the tool runs with an administrator's rights"),
    "NtEnumerateKey": ("ntdll", "every run: the key trees, by counted names"),
    "NtOpenKey": ("ntdll", "every run: the key trees"),
    "NtDeleteKey": ("ntdll", "every run: the key trees"),
    "RtlNtStatusToDosError": ("ntdll", "every run: the system's code in a report"),
    "NtCreateFile": ("ntdll", "every run: each file opened relative to the held folder"),
    "NtQueryObject": ("ntdll", "every run: the name of what a file's open reached, and of a mirror folder"),
    "NtQueryInformationFile": ("ntdll", "every run: a file's facts; after a failed deletion, who holds it"),
    "NtClose": ("ntdll", "with the registry keys the seam opens natively"),
    "NtQueryVirtualMemory": ("ntdll", "after a failed deletion only: the images programs have mapped"),
    "NtQueryKey": ("ntdll", "for a key that cannot be removed only: its full name"),
    "wine_get_version": ("ntdll", "every run: whether Wine's rule for deleted names applies (only Wine's ntdll has it)"),
    "SHGetFolderPathW": ("shell32", "not run as administrator, for a folder with a mirror only: the tool's own local application data"),
    "ExpandEnvironmentStringsForUserW": ("userenv", "run as administrator, for a profile stored with variables only: the system's variables"),
    "GetDpiForWindow": ("user32", "where Windows has it: the window's DPI"),
    "AdjustWindowRectExForDpi": ("user32", "where Windows has it"),
    "SystemParametersInfoForDpi": ("user32", "where Windows has it: the font at the window's DPI"),
    "SetDefaultDllDirectories": ("kernel32", "where Windows has it, first of all: DLLs from the system folder only"),
}

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
        "late": late_bound(data, pe),
    }


def late_bound(data, pe):
    """Every function the file asks a system library for by name: a NUL-terminated name in the file
    that a library the file names (in UTF-16, as the loader is given it) exports, and that the import
    table does not already bind. Returns {function: libraries exporting it}."""
    imported = {i.name.decode() for e in pe.DIRECTORY_ENTRY_IMPORT for i in e.imports if i.name}
    named = set(re.findall(rb"(?<=[^A-Za-z0-9_])([A-Za-z_][A-Za-z0-9_]{3,})\0", data))
    lowered = data.lower()
    found = {}
    for dll in sorted(WINE_DLLS.glob("*.dll")):
        if dll.name.lower().encode("utf-16-le") not in lowered:
            continue
        exports = pefile.PE(str(dll), fast_load=True)
        exports.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
        for symbol in exports.DIRECTORY_ENTRY_EXPORT.symbols:
            if symbol.name in named and symbol.name.decode() not in imported:
                found.setdefault(symbol.name.decode(), []).append(dll.stem.lower())
    return found


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

def late_mismatch(late, bound):
    """Why `late`, the functions explained, does not fit `bound`, those either build binds late."""
    unexplained = sorted(set(bound) - set(late))
    if unexplained:
        return f"bound late but not in footprint.sh's LATE (say where from and when): {', '.join(unexplained)}"
    stale = sorted(set(late) - set(bound))
    if stale:
        return f"in footprint.sh's LATE but bound by neither build: {', '.join(stale)}"
    return None


# Each way the two can differ fails, and only those.
for late, bound, says in (({"A"}, {"A", "B"}, "bound late but not"), ({"A", "B"}, {"A"}, "in footprint.sh's LATE"),
                          ({"A"}, {"A"}, None)):
    found = late_mismatch(late, bound)
    if (found is None) != (says is None) or found is not None and not found.startswith(says):
        sys.exit(f"footprint.sh's own late-bound check is wrong for {sorted(late)} against {sorted(bound)}")
mismatch = late_mismatch(LATE, set(gcc["late"]) | set(clang["late"]))
if mismatch:
    sys.exit(mismatch)
late_rows = ["| Function | From | Asked for |", "|---|---|---|"]
for function in sorted(set(gcc["late"]) | set(clang["late"]), key=lambda f: (LATE[f][0], f)):
    library, when = LATE[function]
    if library not in gcc["late"].get(function, clang["late"].get(function)):
        sys.exit(f"footprint.sh's LATE says {function} comes from {library}, which does not export it")
    builds = "" if function in gcc["late"] and function in clang["late"] else \
        " (the GCC build only)" if function in gcc["late"] else " (the clang build only)"
    late_rows.append(f"| `{function}` | `{library}` | {when}{builds} |")

# The scenarios, as CTest gets them: each row runs in the 32-bit prefix unless marked win64, and in
# the 64-bit one too when marked both.
listed = subprocess.run([sys.executable, "tests/wine/scenarios.py", "--list"], check=True, capture_output=True,
                        text=True).stdout.split("\n")
scenarios = [line.split() for line in listed if line.strip()]
both = [s[0] for s in scenarios if "both" in s[1:]]
only64 = [s[0] for s in scenarios if "win64" in s[1:]]
only32 = [s[0] for s in scenarios if "both" not in s[1:] and "win64" not in s[1:]]
names = lambda rows: ", ".join(f"`{name}`" for name in rows)
scenario_rows = [
    "| Runs in | Rows | Which |",
    "|---|---:|---|",
    f"| both prefixes | {len(both)} | {names(both)} |",
    f"| the 32-bit prefix only | {len(only32)} | {names(only32)} |",
    f"| the 64-bit prefix only | {len(only64)} | {names(only64)} |",
    f"| in all | {len(scenarios)}: {len(both) + len(only32)} in the 32-bit prefix, {len(both) + len(only64)} in the 64-bit one | |",
]

# (page, name of its marks, what goes between them)
blocks = [("docs/footprint.md", "figures", rows), ("docs/footprint.md", "late-bound functions", late_rows),
          ("docs/tested-on.md", "scenarios", scenario_rows)]


def marks(name):
    return (f"<!-- {name}: written by scripts/footprint.sh --write, checked by the test docs.figures -->",
            f"<!-- end of {name} -->")


if mode == "print":
    for _, name, lines in blocks:
        print("\n".join([marks(name)[0]] + lines + [marks(name)[1]]))
    sys.exit(0)

failed = False
for page, name, lines in blocks:
    doc = Path(page)
    text = doc.read_text()
    begin, end = marks(name)
    block = "\n".join([begin] + lines + [end])
    found = re.search(re.escape(begin) + r".*?" + re.escape(end), text, re.S)
    if not found:
        sys.exit(f"{doc}: no marks for the {name}")
    if mode == "--write":
        doc.write_text(text[:found.start()] + block + text[found.end():])
        print(f"{doc}: {name} written")
    elif found.group(0) != block:
        print(f"{doc}: the {name} differ from the build; scripts/footprint.sh --write makes them agree. "
              f"The build's:\n{block}")
        failed = True
if mode == "--write":
    sys.exit(0)
# The README and docs/what-it-changes.md list the targets by hand: each key as HKEY_CLASSES_ROOT shows
# it (or its root), then each file name, as form1.h writes them and in its order.
ROOTS = {"UserClasses": "HKEY_CLASSES_ROOT", "MachineClasses": "HKEY_CLASSES_ROOT",
         "CurrentUser": "HKEY_CURRENT_USER", "LocalMachine": "HKEY_LOCAL_MACHINE"}
form1 = Path("src/removal_window/form1.h").read_text().replace("\\\\", "\\")
keys = dict.fromkeys(f"{ROOTS[root]}\\{path}" for root, path in re.findall(r'RootKey::(\w+), L"([^"]+)"', form1))
targets = list(keys) + re.findall(r'L"\\([^"]+)"', form1[form1.index("kFileTargets"):])
for page, begin, end in (("README.md", "**What it removes**", "It never touches"),
                         ("docs/what-it-changes.md", "## The targets, in order", "## VirtualStore")):
    text = Path(page).read_text()
    section, at = text[text.index(begin):text.index(end)], 0
    for target in targets:
        at = section.find(f"`{target}`", at)
        if at < 0:
            print(f"{page}: `{target}` of src/removal_window/form1.h is not in its targets' list, or not in order")
            failed = True
            break
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
