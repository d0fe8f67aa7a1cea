#!/usr/bin/env bash
# What each of GCC's size flags is worth to the shipped build: the tool is built once as it is,
# then once without each flag (or pair that only works together), in a copy of the tree under
# a temporary folder, and the file and code sizes are printed. Needs scripts/setup.sh's packages.
#
#   scripts/flag-worth.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/flag-worth.XXXXXX")
trap 'rm -rf "$work"' EXIT

sizes() { # EXE: file bytes, then .text bytes used
  /usr/bin/python3 - "$1" <<'PY'
import sys, pefile
pe = pefile.PE(sys.argv[1])
text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
print(f"{len(pe.__data__):>7,} bytes  .text {text.Misc_VirtualSize:>6,}")
PY
}

build() { # LABEL SED-EXPRESSION
  local tree=$work/tree
  rm -rf "$tree"
  mkdir -p "$tree"
  git -C "$root" ls-files -z | (cd "$root" && xargs -0 cp --parents -t "$tree")
  sed -i -e "$2" "$tree/src/CMakeLists.txt"
  cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build "$tree/build" --target uninstall >/dev/null
  printf '%-48s %s\n' "$1" "$(sizes "$tree/build/uninstall.exe")"
}

build "as built" ''
build "-Os instead of -Oz" 's/UNINSTALL_CXX_FLAGS -Oz)/UNINSTALL_CXX_FLAGS -Os)/'
build "without -mpreferred-stack-boundary=2" 's/ -mpreferred-stack-boundary=2//'
build "without -fomit-frame-pointer" 's/ -fomit-frame-pointer//'
build "without -fno-inline-functions-called-once" 's/ -fno-inline-functions-called-once//'
build "without -mno-accumulate-outgoing-args (and probes)" 's/ -mno-accumulate-outgoing-args -mno-stack-arg-probe//'
build "without link-time optimisation" 's/PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON/PROPERTIES INTERPROCEDURAL_OPTIMIZATION OFF/'
