#!/usr/bin/env bash
# The file to ship and its SHA-256: builds uninstall.exe (the win32 preset's toolchain and
# flags) twice from the committed sources, in two fresh folders at different paths, requires
# the two to be identical, keeps one as build/release/uninstall.exe and prints its version,
# size, the Debian packages (and their versions) that built it, and its SHA-256. Anyone with the
# same commit and the same packages gets the same hash. Unsigned: sign the kept file afterwards
# (docs/release.md).
#
#   scripts/release.sh [COMMIT]     default HEAD; uncommitted changes are not in the build
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")
"$root/scripts/setup.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/uninstall-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

build() { # FOLDER: sources from the commit, configured and built there
  mkdir -p "$1/src"
  git archive "$commit" | tar -x -C "$1/src"
  # The tool only, with the preset's build type; no tests, no signing.
  cmake -S "$1/src" -B "$1/out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$1/src/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DUNINSTALL_TOOL_ONLY=ON >"$1.log" 2>&1 &&
    cmake --build "$1/out" --target uninstall >>"$1.log" 2>&1 || { tail -30 "$1.log" >&2; exit 1; }
}
build "$work/first"
build "$work/second/elsewhere"
if ! cmp -s "$work/first/out/uninstall.exe" "$work/second/elsewhere/out/uninstall.exe"; then
  echo "release: the two builds differ; run ctest --preset win32 -R pe.reproducible to see where" >&2
  exit 1
fi

mkdir -p build/release
cp "$work/first/out/uninstall.exe" build/release/uninstall.exe
version=$(/usr/bin/python3 -c '
import sys, pefile
pe = pefile.PE(sys.argv[1])
for info in pe.FileInfo[0]:
    for table in getattr(info, "StringTable", []):
        print(table.entries[b"FileVersion"].decode())
' build/release/uninstall.exe)
echo "commit   $commit$(git diff --quiet HEAD -- . 2>/dev/null || echo ' (the work tree has uncommitted changes, not built)')"
echo "compiler $(i686-w64-mingw32-g++-posix --version | head -1); $(i686-w64-mingw32-ld --version | head -1)"
# The Debian packages whose files made the bytes, found from those files rather than listed by
# hand: the compiler driver and its passes, the assembler, linker and resource compiler, the
# Windows headers and import libraries; then the signing tool, which a signed copy adds.
# Installing these versions (apt-get install PACKAGE=VERSION, or snapshot.debian.org for older
# ones) rebuilds the same bytes.
made_by=(
  "$(command -v i686-w64-mingw32-g++-posix)"
  "$(i686-w64-mingw32-g++-posix -print-prog-name=cc1plus)"
  "$(i686-w64-mingw32-g++-posix -print-prog-name=lto1)"
  "$(command -v i686-w64-mingw32-as)" "$(command -v i686-w64-mingw32-ld)" "$(command -v i686-w64-mingw32-windres)"
  /usr/i686-w64-mingw32/include/windows.h /usr/i686-w64-mingw32/lib/libkernel32.a
  "$(command -v osslsigncode)"
)
for file in "${made_by[@]}"; do
  dpkg-query -S "$(readlink -f "$file")" | cut -d: -f1
done | awk '!seen[$0]++' | while read -r package; do
  echo "package  $(dpkg-query -W -f='${Package}=${Version}' "$package")"
done
echo "file     build/release/uninstall.exe, version $version, $(stat -c %s build/release/uninstall.exe) bytes"
echo "builds   two, at different paths: identical"
(cd build/release && sha256sum uninstall.exe)
