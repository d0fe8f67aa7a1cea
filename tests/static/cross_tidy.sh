#!/bin/sh
# cross_tidy.sh BUILD_DIR FILE...
# clang-tidy on the Windows-only files, parsed as the MinGW cross compiler sees
# them. clang does not know every GCC option the build uses: those are dropped
# from a copy of the build's compile database, which is otherwise used as is.
set -eu
build=$1
shift
mkdir -p "$build/tidy"
sed -e 's/ -mpreferred-stack-boundary=2//g' -e 's/ -fno-inline-functions-called-once//g' \
  -e 's/ -mno-accumulate-outgoing-args//g' -e 's/ -mno-stack-arg-probe//g' \
  -e 's/ -fno-partial-inlining//g' -e 's/ -fno-tree-tail-merge//g' \
  "$build/compile_commands.json" >"$build/tidy/compile_commands.json"
gcc_include=/usr/lib/gcc/i686-w64-mingw32/12-posix/include
exec clang-tidy --quiet -p "$build/tidy" \
  --extra-arg=--target=i686-w64-mingw32 \
  --extra-arg=-isystem"$gcc_include/c++" \
  --extra-arg=-isystem"$gcc_include/c++/i686-w64-mingw32" \
  --extra-arg=-isystem/usr/i686-w64-mingw32/include \
  "$@"
