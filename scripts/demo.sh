#!/usr/bin/env bash
# The tool end to end under Wine: builds it, stages a folder and registry keys for it to
# remove, runs it, and shows what it left.
#
# With a display and a terminal you answer the box yourself. Otherwise (CI, no display, no
# stdin) it runs under its own Xvfb, answers Yes, closes the completion window with its button
# and saves screenshots to build/demo/screenshots/. Safe to run again: everything is restaged.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
demo=$root/build/demo
folder=$demo/app
tools=$root/build/win32/tests/wine/tools
# What the tool removes, from the tests' own list.
mapfile -t targets < <(sed -n 's/^file //p' tests/targets.txt)
mapfile -t keys < <(sed -n 's/^key //p' tests/targets.txt)

step() { printf '\n== %s\n' "$*"; }

quietly() { # LOG COMMAND...: the output only when it fails
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    exit 1
  fi
}

step "packages"
"$root/scripts/setup.sh"

step "build (cmake --preset win32)"
mkdir -p "$demo"
quietly "$demo/configure.log" cmake --preset win32
quietly "$demo/build.log" cmake --build --preset win32
ls -l build/win32/uninstall.exe

interactive=
if [ -t 0 ] && [ -t 1 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  interactive=1
fi

# A prefix, display and keeper of the demo's own, apart from the test suite's in build/wine.
export WINE_TEST_STATE=$demo/wine
if [ -z "$interactive" ]; then
  export WINE_TEST_XVFB=1
fi
step "Wine prefix ($WINE_TEST_STATE/prefix)"
trap '"$root/tests/wine/prefix.sh" down' EXIT
"$root/tests/wine/prefix.sh" up --keeper "$tools/keeper.exe"
wine_run=$root/tests/wine/wine-run

step "staging $folder"
if [ -d "$folder" ]; then
  chmod -R u+w "$folder"
  rm -rf "$folder"
fi
mkdir -p "$folder"
cp build/win32/uninstall.exe "$folder/"
for name in "${targets[@]}"; do
  echo "$name" >"$folder/$name"
done
echo "not the tool's: stays" >"$folder/notes.txt"

windows_folder="Z:${folder//\//\\}"
command_value="\\\"${windows_folder//\\/\\\\}\\\\Orvandel.exe\\\" \\\"%1\\\""
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  for key in "${keys[@]}"; do
    printf '[-%s]\r\n\r\n[%s]\r\n@="Orvandel"\r\n\r\n[%s\\command]\r\n@="%s"\r\n\r\n' \
      "$key" "$key" "$key" "$command_value"
  done
} | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } >"$demo/keys.reg"
"$wine_run" regedit /S "Z:${demo//\//\\}\\keys.reg"

show() {
  echo "folder $folder:"
  (cd "$folder" && ls -1p | sed 's/^/  /')
  echo "registry:"
  local key
  for key in "${keys[@]}"; do
    if "$wine_run" reg query "$key" >/dev/null 2>&1; then
      echo "  $key"
      # reg writes in the ANSI code page, 936 under zh_CN.
      "$wine_run" reg query "$key" /s | iconv -f GB18030 -t UTF-8 -c | tr -d '\r' | grep -v '^ *$' | sed 's/^/    /'
    else
      echo "  $key  (absent)"
    fi
  done
}

step "before"
show

step "running uninstall.exe under Wine"
set +e
if [ -n "$interactive" ]; then
  echo "answer the box on your display"
  "$wine_run" "$folder/uninstall.exe"
  status=$?
else
  "$wine_run" "$folder/uninstall.exe" >"$demo/tool.log" 2>&1 &
  tool=$!
  rm -rf "$demo/screenshots"
  /usr/bin/python3 "$root/tests/wine/scenarios.py" --answer-yes --tools "$tools" --screenshots "$demo/screenshots"
  driver=$?
  wait "$tool"
  status=$?
  [ "$driver" -eq 0 ] || echo "the automatic answer failed ($driver)" >&2
  echo "answered Yes and clicked 确定; screenshots: $(ls "$demo"/screenshots/*.png 2>/dev/null | tr '\n' ' ')"
fi
set -e
case $status in
  0) echo "exit code 0: removed" ;;
  1) echo "exit code 1: answered No, nothing changed" ;;
  *) echo "exit code $status: stopped at an error" ;;
esac

step "after"
show
exit "$status"
