#!/usr/bin/env bash
# The figures of docs/footprint.md for a built preset: file size, the code and resource
# sections, the imported DLLs, and the size the bound of pe.hardening counts.
#
#   scripts/footprint.sh [PRESET...]     default: win32 clang (each must be built)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
presets=("$@")
[ $# -gt 0 ] || presets=(win32 clang)
for preset in "${presets[@]}"; do
  exe=build/$preset/uninstall.exe
  [ -f "$exe" ] || { echo "$exe: not built (cmake --build --preset $preset)" >&2; exit 1; }
  echo "== $exe"
  /usr/bin/python3 - "$exe" <<'PY'
import sys
import pefile
path = sys.argv[1]
data = open(path, "rb").read()
pe = pefile.PE(data=data)
security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
print(f"file              {len(data):,} bytes")
print(f"certificate table {security.Size:,} bytes")
for section in pe.sections:
    name = section.Name.rstrip(b"\0").decode()
    if name in (".text", ".rsrc"):
        print(f"{name:<17} {section.Misc_VirtualSize:,} bytes used of {section.SizeOfRawData:,} in the file")
print("imports          ", ", ".join(entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT))
PY
done
