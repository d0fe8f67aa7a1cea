#!/usr/bin/env bash
# Side-by-side benchmark of the removal tool against its floor and an NSIS peer, under Wine.
#
#   bench/run.sh [-n ROUNDS] [-w WARMUP]      (defaults 15 and 1; BENCH_ROUNDS also sets ROUNDS)
#
# Builds what is missing, sets up a Wine prefix of its own in build/bench/prefix with its own
# Xvfb, measures in interleaved rounds and prints a Markdown table, also written to
# bench/results.md. Stops everything it started when it ends, however it ends.
set -euo pipefail

rounds=${BENCH_ROUNDS:-15}
warmup=1
while [ $# -gt 0 ]; do
  case $1 in
    -n) rounds=$2; shift 2 ;;
    -w) warmup=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "usage: bench/run.sh [-n ROUNDS] [-w WARMUP]" >&2; exit 2 ;;
  esac
done
case $rounds$warmup in *[!0-9]*) echo "bench: rounds and warm-up must be numbers" >&2; exit 2 ;; esac
[ "$rounds" -ge 1 ] || { echo "bench: need at least one round" >&2; exit 2; }

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$bench_dir/.." && pwd)
state=$root/build/bench
mkdir -p "$state/bin"
started=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
t_start=$(date +%s)

log() { echo "bench: $*" >&2; }

# --- Wine environment: the same settings as the test harness, in a prefix of our own --------
export WINEPREFIX=$state/prefix
export WINEARCH=win32
export WINEDEBUG=-all
# Without Mono and Gecko Wine would ask to download them on first start, with no one to answer.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Private locales: Wine falls back to ASCII when the locale it is given does not exist.
export LOCPATH=$state/locale
unset LC_ALL LC_CTYPE LC_MESSAGES LANGUAGE DISPLAY

xvfb_pid="" driver_pid="" server_dir="" wine_used=""

is_ours() { # PID NAME: still running and still the program we started
  [ -n "$1" ] && [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "$2"
}

cleanup() {
  local status=$?
  if is_ours "$driver_pid" wine; then kill "$driver_pid" 2>/dev/null || true; fi
  if [ -n "$wine_used" ]; then
    # Ends this prefix's wineserver and with it every Wine process of this prefix, all ours.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
  fi
  if is_ours "$xvfb_pid" Xvfb; then kill "$xvfb_pid" 2>/dev/null || true; fi
  # Our prefix's socket folder (named after the prefix's device and inode) and its parent when empty.
  if [ -n "$server_dir" ]; then
    local d
    for d in /tmp/wine-*/"$server_dir" /tmp/.wine-"$(id -u)"/"$server_dir"; do
      [ -d "$d" ] || continue
      rm -rf "$d"
      rmdir "$(dirname "$d")" 2>/dev/null || true
    done
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build_locale() {
  [ -f "$LOCPATH/zh_CN.UTF-8/LC_CTYPE" ] && return
  log "building locale zh_CN.UTF-8"
  mkdir -p "$LOCPATH"
  # localedef exits 1 on harmless warnings; the file check is what matters.
  localedef -i zh_CN -f UTF-8 "$LOCPATH/zh_CN.UTF-8" >/dev/null 2>&1 || true
  [ -f "$LOCPATH/zh_CN.UTF-8/LC_CTYPE" ] || { log "localedef failed"; exit 1; }
}

start_xvfb() {
  rm -f "$state/xvfb.display"
  # -displayfd: Xvfb picks a free display and reports it once it accepts clients.
  setsid Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp \
    5>"$state/xvfb.display" >"$state/xvfb.log" 2>&1 </dev/null &
  xvfb_pid=$!
  local i
  for i in $(seq 200); do
    [ -s "$state/xvfb.display" ] && break
    is_ours "$xvfb_pid" Xvfb || { log "Xvfb failed: $(tail -3 "$state/xvfb.log")"; exit 1; }
    sleep 0.05
  done
  DISPLAY=":$(tr -d '\n' <"$state/xvfb.display")"
  export DISPLAY
}

winpath() { printf 'Z:%s' "${1//\//\\}"; }

multi_sz() { # one REG_MULTI_SZ value as regedit's hex(7) bytes
  printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ' ' |
    sed 's/^ //; s/ $//; s/ /,/g; s/$/,00,00,00,00/'
}

configure_prefix() {
  local link font reg=$state/settings.reg
  link=$(multi_sz "wqy-zenhei.ttc,WenQuanYi Zen Hei")
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    # No window manager under Xvfb: unmanaged windows never wait for one to map them.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"Audio"=""\r\n\r\n'
    # Chinese text through the dialog fonts: linked to WenQuanYi, as in the test prefix.
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
    for font in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
      printf '"%s"=hex(7):%s\r\n' "$font" "$link"
    done
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for font in "宋体" "新宋体" "SimSun" "NSimSun"; do
      printf '"%s"="WenQuanYi Zen Hei"\r\n' "$font"
    done
    printf '\r\n'
  } >"$reg"
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$reg"; } >"$state/settings.utf16.reg"
  wine regedit /S "$(winpath "$state/settings.utf16.reg")" >>"$state/wine.log" 2>&1 </dev/null
}

ensure_prefix() {
  local version=1
  wine_used=1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    log "creating $WINEPREFIX (about 10 s)"
    rm -rf "$WINEPREFIX"
    wineboot -i >>"$state/wine.log" 2>&1 </dev/null
  fi
  if [ "$(cat "$WINEPREFIX/.bench-config" 2>/dev/null)" != "v$version" ]; then
    configure_prefix
    echo "v$version" >"$WINEPREFIX/.bench-config"
  fi
  local dev ino
  read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX")
  # Debian's Wine puts it in a /tmp/wine-XXXXXX folder of random name, upstream in /tmp/.wine-UID.
  server_dir=$(printf 'server-%x-%x' "$dev" "$ino")
}

# --- Programs ----------------------------------------------------------------------------
"$root/scripts/setup.sh" >&2

tool=$root/build/win32/uninstall.exe
if [ ! -f "$tool" ]; then
  log "building the tool"
  (cd "$root" && cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null)
fi

bin=$state/bin
# A snapshot: the tool's build folder is shared, and a rebuild during the run must not mix two
# versions into one set of rounds.
cp "$tool" "$bin/uninstall.exe"
dirty=""
# A clean tree makes grep fail; that is not an error here.
if git -C "$root" status --porcelain -- src cmake CMakeLists.txt 2>/dev/null | grep -q .; then
  dirty=" with uncommitted changes in src/ or the CMake files"
fi
tool_note="build/win32/uninstall.exe of $(date -u -r "$tool" '+%Y-%m-%d %H:%M UTC'), sha256 $(sha256sum "$tool" | cut -c1-12), tree at $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$dirty"
tool=$bin/uninstall.exe
# Rebuilt on every run: they are small and a stale copy would hide a change to the sources.
for f in floor-a floor-b; do
  i686-w64-mingw32-gcc -Os -s -mwindows -municode -o "$bin/$f.exe" "$bench_dir/floor/$f.c"
done
# Context only: floor (a) carrying the tool's own manifest, to tell what the manifest costs apart
# from what the code costs. Skipped when the tool has no manifest file.
manifest=$root/src/resources/uninstall.manifest
context=() context_report=()
if [ -f "$manifest" ]; then
  printf '#include <winuser.h>\n1 RT_MANIFEST "%s"\n' "$manifest" >"$bin/floor-a-manifest.rc"
  i686-w64-mingw32-windres "$bin/floor-a-manifest.rc" -O coff -o "$bin/floor-a-manifest.o"
  i686-w64-mingw32-gcc -Os -s -mwindows -municode -o "$bin/floor-a-manifest.exe" \
    "$bench_dir/floor/floor-a.c" "$bin/floor-a-manifest.o"
  context=("floor-a-manifest=box=$(winpath "$bin/floor-a-manifest.exe")")
  context_report=(--program "floor-a-manifest=$bin/floor-a-manifest.exe")
fi
i686-w64-mingw32-gcc -O2 -s -municode -o "$bin/driver.exe" "$bench_dir/tools/driver.c" -lpsapi
makensis -V1 -DOUTFILE="$bin/peer-setup.exe" "$bench_dir/nsis/peer.nsi" >&2

build_locale
export LANG=zh_CN.UTF-8
start_xvfb
ensure_prefix

# The installer's one job is to write the uninstaller next to itself.
rm -f "$bin/peer-uninstall.exe"
wine "$bin/peer-setup.exe" >>"$state/wine.log" 2>&1 </dev/null || true
[ -f "$bin/peer-uninstall.exe" ] || { log "the NSIS installer wrote no uninstaller"; exit 1; }

# --- Measure ------------------------------------------------------------------------------
stage_unix=$WINEPREFIX/drive_c/bench-stage
rm -rf "$stage_unix"
csv=$state/runs.csv
log "measuring: $rounds rounds (+$warmup warm-up) of tool, floor-a, floor-b, nsis${context:+, floor-a-manifest}"
setsid wine "$bin/driver.exe" "$(winpath "$csv")" "$rounds" "$warmup" 'C:\bench-stage' \
  "tool=full=$(winpath "$tool")" \
  "floor-a=box=$(winpath "$bin/floor-a.exe")" \
  "floor-b=full=$(winpath "$bin/floor-b.exe")" \
  "nsis=full=$(winpath "$bin/peer-uninstall.exe")" \
  "${context[@]}" \
  >"$state/driver.out" 2>"$state/driver.err" </dev/null &
driver_pid=$!
driver_status=0
wait "$driver_pid" || driver_status=$?
driver_pid=""
[ "$driver_status" -eq 0 ] || { log "driver failed ($driver_status): $(tail -5 "$state/driver.err")"; exit 1; }
rm -rf "$stage_unix"

# --- Report -------------------------------------------------------------------------------
t_end=$(date +%s)
/usr/bin/python3 "$bench_dir/report.py" --csv "$csv" --out "$bench_dir/results.md" \
  --command "bench/run.sh -n $rounds -w $warmup" --date "$started" --seconds $((t_end - t_start)) \
  --wine "$(wine --version 2>/dev/null)" --makensis "$(makensis -VERSION)" \
  --gcc "$(i686-w64-mingw32-gcc -dumpfullversion)" \
  --tool-build "$tool_note" \
  --program "tool=$tool" --program "floor-a=$bin/floor-a.exe" \
  --program "floor-b=$bin/floor-b.exe" --program "nsis=$bin/peer-uninstall.exe" \
  "${context_report[@]}"
