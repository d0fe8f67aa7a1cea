#!/usr/bin/env bash
# What each of GCC's size flags is worth to the shipped build: the tool is built once as it is,
# then once without each flag (or pair that only works together), in a copy of the tree under
# a temporary folder, and the file and code sizes are printed. Needs scripts/setup.sh's packages.
#
#   scripts/flag-worth.sh            print the table
#   scripts/flag-worth.sh --write    write it into docs/build-flags.md, between its figure marks
#                                    (the test docs.figures fails once its first row is not the build)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=${1:-print}
case $mode in print | --write) ;; *) echo "usage: scripts/flag-worth.sh [--write]" >&2; exit 2 ;; esac
work=$(mktemp -d "${TMPDIR:-/tmp}/flag-worth.XXXXXX")
trap 'rm -rf "$work"' EXIT

sizes() { # EXE: file bytes, then .text bytes used
  /usr/bin/python3 - "$1" <<'PY'
import sys, pefile
pe = pefile.PE(sys.argv[1])
text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
print(f"{len(pe.__data__):,} | {text.Misc_VirtualSize:,}")
PY
}

rows=()
build() { # WITHOUT SED-EXPRESSION WHAT-THE-FLAG-DOES
  local tree=$work/tree
  rm -rf "$tree"
  mkdir -p "$tree"
  git -C "$root" ls-files -z | (cd "$root" && xargs -0 cp --parents -t "$tree")
  sed -i -e "$2" "$tree/src/CMakeLists.txt"
  cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build "$tree/build" --target uninstall >/dev/null
  rows+=("| $1 | $(sizes "$tree/build/uninstall.exe") | $3 |")
  echo "${rows[-1]}" >&2
}

build "(as built)" '' ''
build '`-Oz` (`-Os` instead)' 's/UNINSTALL_CXX_FLAGS -Oz /UNINSTALL_CXX_FLAGS -Os /' "GCC 12's smallest code"
build '`-fno-partial-inlining`' 's/ -fno-partial-inlining//' \
  'no function inlined in part, its first test copied into each caller'
build '`-fno-tree-tail-merge`' 's/ -fno-tree-tail-merge//' \
  'no tails of blocks merged: the jumps to a shared tail cost more than the copies here'
build '`-mpreferred-stack-boundary=2`' 's/ -mpreferred-stack-boundary=2//' \
  "keeps the stack at Windows' 4-byte alignment: no frame padded to 16"
build '`-fomit-frame-pointer`' 's/ -fomit-frame-pointer//' 'no frame pointer'
build '`-fno-inline-functions-called-once`' 's/ -fno-inline-functions-called-once//' \
  'a function called once stays a call, which here is smaller'
build '`-mno-accumulate-outgoing-args -mno-stack-arg-probe`' 's/ -mno-accumulate-outgoing-args -mno-stack-arg-probe//' \
  'arguments pushed rather than stored; GCC then needs its stack probes off, so a frame over 3 KiB fails the build (`-Werror=frame-larger-than=3072`), well inside the 4 KiB guard page'
build 'link-time optimisation' 's/PROPERTIES INTERPROCEDURAL_OPTIMIZATION ON/PROPERTIES INTERPROCEDURAL_OPTIMIZATION OFF/' \
  'inlining and pruning across files'

table=$(printf '%s\n' '<!-- figures: written by scripts/flag-worth.sh --write -->' \
  '| Without | File | `.text` | What the flag does |' '|---|---:|---:|---|' "${rows[@]}" '<!-- end of figures -->')
if [ "$mode" = print ]; then
  echo "$table"
  exit 0
fi
TABLE=$table /usr/bin/python3 - "$root/docs/build-flags.md" <<'PY'
import os, re, sys
from pathlib import Path
doc = Path(sys.argv[1])
text = doc.read_text()
found = re.search(r"<!-- figures: written by scripts/flag-worth.sh --write -->.*?<!-- end of figures -->", text, re.S)
if not found:
    sys.exit(f"{doc}: no figure marks")
doc.write_text(text[:found.start()] + os.environ["TABLE"] + text[found.end():])
print(f"{doc}: written")
PY
