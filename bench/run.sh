#!/usr/bin/env bash
# Side-by-side benchmark of the removal tool against its floor and an NSIS peer, and of its
# registry tree removal against RegDeleteTreeW, under Wine.
#
#   bench/run.sh [-n ROUNDS] [-w WARMUP]      (defaults 15 and 1; BENCH_ROUNDS also sets ROUNDS)
#   bench/run.sh --tree [-n ROUNDS]           only the tree removal; leaves bench/results.md alone
#   bench/run.sh --profiles N [-n ROUNDS]     only the tool, from a folder under Program Files, with N
#                                             more profiles listed; leaves bench/results.md alone
#   bench/run.sh --hives N [-n ROUNDS]        the same with N more users' classes hives loaded
#   bench/run.sh --probe N [-n ROUNDS]        only tools/probe.c, the tool's per-user system calls
#                                             timed one by one, with N profiles and N hives staged
#
# Builds what is missing, sets up a Wine prefix of its own in build/bench/prefix with its own
# Xvfb, measures in interleaved rounds and prints a Markdown table, also written to
# bench/results.md (with --tree: build/bench/tree.md; with --profiles N, --hives N, --probe N:
# build/bench/profiles-N.md, hives-N.md, probe-N.md). Stops everything it started, and removes every
# profile and hive it staged, when it ends, however it ends.
set -euo pipefail

rounds=${BENCH_ROUNDS:-15}
warmup=1
tree_only=""
profiles=""
hives=""
probe=""
while [ $# -gt 0 ]; do
  case $1 in
    -n) rounds=$2; shift 2 ;;
    -w) warmup=$2; shift 2 ;;
    --tree) tree_only=1; shift ;;
    --profiles) profiles=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    --hives) hives=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    --probe) probe=${2-}; shift $(($# > 1 ? 2 : 1)) ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "usage: bench/run.sh [--tree | --profiles N | --hives N | --probe N] [-n ROUNDS] [-w WARMUP]" >&2; exit 2 ;;
  esac
done
case $rounds$warmup in *[!0-9]*) echo "bench: rounds and warm-up must be numbers" >&2; exit 2 ;; esac
case $profiles$hives$probe in *[!0-9]*) echo "bench: --profiles, --hives and --probe take a number" >&2; exit 2 ;; esac
modes=$tree_only${profiles:+p}${hives:+h}${probe:+b}
[ ${#modes} -le 1 ] || { echo "bench: --tree, --profiles, --hives and --probe are separate runs" >&2; exit 2; }
[ "$rounds" -ge 1 ] || { echo "bench: need at least one round" >&2; exit 2; }

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$bench_dir/.." && pwd)
state=$root/build/bench
mkdir -p "$state/bin"
started=$(date -u '+%Y-%m-%d %H:%M:%S UTC')
t_start=$(date +%s)

log() { echo "bench: $*" >&2; }

# --- Wine environment: the test harness's prefix script, with a state folder of our own ------
# (prefix, locales, a private Xvfb) so a running test suite is never disturbed.
export WINE_TEST_STATE=$state
export WINE_TEST_XVFB=1
prefix_sh=$root/tests/wine/prefix.sh
driver_pid="" tree_pid="" probe_pid="" wine_used="" staged_kinds="" tool_stage=""

is_ours() { # PID NAME: still running and still the program we started
  [ -n "$1" ] && [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "$2"
}

cleanup() {
  local status=$?
  if is_ours "$driver_pid" wine; then kill "$driver_pid" 2>/dev/null || true; fi
  if is_ours "$tree_pid" wine; then kill "$tree_pid" 2>/dev/null || true; fi
  if is_ours "$probe_pid" wine; then kill "$probe_pid" 2>/dev/null || true; fi
  # Before the prefix goes down: the registry is the wineserver's until then.
  for kind in $staged_kinds; do unstage "$kind" || true; done
  if [ -n "$tool_stage" ]; then rm -rf "$tool_stage"; fi
  # Ends this prefix's Wine processes, all ours, our Xvfb and the prefix's socket folder.
  if [ -n "$wine_used" ]; then "$prefix_sh" down >&2 || true; fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

winpath() { printf 'Z:%s' "${1//\//\\}"; }

# --- Staged users (--profiles N, --hives N, --probe N) ---------------------------------------
# A folder under Program Files may have a VirtualStore mirror in any profile, and Wine's token is
# an administrator's, so the tool looks in every profile ProfileList lists and in every classes
# hive HKEY_USERS lists. These modes stage N more users, S-1-5-21-1-2-3-<n>:
# - profiles: ProfileList entries for C:\users\p<n>, beside each other in the profiles folder as
#   real ones are, odd ones with their folder and its AppData\Local, even ones with no folder;
#   every third stored with %SystemDrive%, all REG_EXPAND_SZ as Windows stores them. Wine looks a
#   name it cannot find up by reading the whole folder (ext4 is case-sensitive, Windows names are
#   not), so the absent ones add a term in N squared; it is Wine's (Windows looks a name up in the
#   folder's index), and --probe shows it apart.
# - hives: HKEY_USERS\<SID>_Classes as a loaded classes hive shows there, each with another
#   program's *\shell\Corvane\command and Folder\shell\Corvane\command: the shell keys the tool
#   walks are there, its own key is not.
# One .reg file each way: regedit imports thousands of keys in about a second where `reg add`
# starts Wine per key.
profile_list='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
user_sid=S-1-5-21-1-2-3

import_reg() { # FILE.reg: written as UTF-16 with its mark, as regedit exports
  wine regedit /S "$(winpath "$1")" >>"$state/wine.log" 2>&1 </dev/null
}

# A .reg file that stages users 1..COUNT of KIND, making the profile folders that exist, or
# removes them and those folders.
users_reg() { # profiles|hives add|remove COUNT OUT.reg
  /usr/bin/python3 - "$@" "$profile_list" "$user_sid" "$WINEPREFIX/drive_c/users" <<'PY'
import os, shutil, sys
kind, how, count, out, listed, sid, users = sys.argv[1], sys.argv[2], int(sys.argv[3]), *sys.argv[4:]
lines = ["Windows Registry Editor Version 5.00", ""]
for n in range(1, count + 1):
    if kind == "hives":
        hive = f"HKEY_USERS\\{sid}-{n}_Classes"
        if how == "remove":
            lines.append(f"[-{hive}]")
            continue
        for cls in ("*", "Folder"):
            lines += [f"[{hive}\\{cls}\\shell\\Corvane\\command]", '@="corvane.exe \\"%1\\""', ""]
        continue
    folder = os.path.join(users, f"p{n}")
    if how == "remove":
        lines.append(f"[-{listed}\\{sid}-{n}]")
        if n % 2:
            shutil.rmtree(folder, ignore_errors=True)
        continue
    if n % 2:
        os.makedirs(os.path.join(folder, "AppData", "Local"), exist_ok=True)
    stored = ("%SystemDrive%" if n % 3 == 0 else "C:") + f"\\users\\p{n}"
    data = ",".join(f"{b:02x}" for b in (stored + "\0").encode("utf-16-le"))
    lines += [f"[{listed}\\{sid}-{n}]", f'"ProfileImagePath"=hex(2):{data}', ""]
with open(out, "wb") as f:
    f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
PY
}

staged_key() { # KIND N: the key that shows user N of KIND staged
  if [ "$1" = profiles ]; then echo "$profile_list\\$user_sid-$2"
  else echo "HKEY_USERS\\$user_sid-$2_Classes\\Folder\\shell\\Corvane\\command"; fi
}

# Removes what stage added, from the record it leaves: also a killed run's, next time.
unstage() { # KIND
  local record=$state/$1-added count
  [ -f "$record" ] || return 0
  read -r count _ <"$record"
  users_reg "$1" remove "$count" "$state/$1-remove.reg"
  import_reg "$state/$1-remove.reg"
  if [ "$count" -gt 0 ] && wine reg query "$(staged_key "$1" 1)" >/dev/null 2>&1 </dev/null; then
    log "could not remove the staged $1; $record says how many"
    return 1
  fi
  rm -f "$record"
}

stage() { # KIND COUNT
  unstage "$1"
  # The record first, so that a run stopped half-way still removes what it got to.
  echo "$2" >"$state/$1-added"
  staged_kinds="$staged_kinds $1"
  users_reg "$1" add "$2" "$state/$1-add.reg"
  import_reg "$state/$1-add.reg"
  if [ "$2" -gt 0 ] && ! wine reg query "$(staged_key "$1" "$2")" >/dev/null 2>&1 </dev/null; then
    log "regedit did not stage the $1"
    exit 1
  fi
}

wine_up() { # up|prefix
  wine_used=1
  "$prefix_sh" "$1" >&2
  # shellcheck source=../tests/wine/env.sh
  source "$root/tests/wine/env.sh"
  # What a killed run staged goes first: the tool walks every staged user, whatever the mode.
  unstage profiles
  unstage hives
}

# The tool alone, from a folder under Program Files, with COUNT users of KIND staged.
users_mode() { # profiles|hives COUNT
  local kind=$1 count=$2 csv=$state/$1-$2.csv
  wine_up up
  log "staging $count $kind"
  stage "$kind" "$count"
  tool_stage="$WINEPREFIX/drive_c/Program Files/bench-stage"
  rm -rf "$tool_stage"
  log "measuring: $rounds rounds (+$warmup warm-up) of the tool under Program Files, $count $kind staged"
  setsid wine "$bin/driver.exe" "$(winpath "$csv")" "$rounds" "$warmup" 'C:\Program Files\bench-stage' \
    "tool=full=$(winpath "$tool")" >"$state/driver.out" 2>"$state/driver.err" </dev/null &
  driver_pid=$!
  local status=0
  wait "$driver_pid" || status=$?
  driver_pid=""
  rm -rf "$tool_stage"
  [ "$status" -eq 0 ] || { log "driver failed ($status): $(tail -5 "$state/driver.err")"; exit 1; }
  unstage "$kind"
  t_end=$(date +%s)
  /usr/bin/python3 "$bench_dir/report.py" "--$kind" "$count" --csv "$csv" --out "$state/$kind-$count.md" \
    --command "bench/run.sh --$kind $count -n $rounds -w $warmup" --date "$started" \
    --seconds $((t_end - t_start)) --wine "$(wine --version 2>/dev/null)" \
    --gcc "$(i686-w64-mingw32-gcc -dumpfullversion)" --tool-build "$tool_note" --program "tool=$tool"
}

# tools/probe.c with COUNT profiles and COUNT hives staged: the tool's per-user calls, each timed.
probe_mode() { # COUNT
  local out=$state/probe-$1.md
  i686-w64-mingw32-gcc -O2 -s -municode -o "$bin/probe.exe" "$bench_dir/tools/probe.c" -lntdll -luserenv
  wine_up prefix
  log "staging $1 profiles and $1 hives"
  stage profiles "$1"
  stage hives "$1"
  log "probing: $rounds rounds (+$warmup warm-up)"
  setsid wine "$bin/probe.exe" "$rounds" "$warmup" >"$state/probe.out" 2>"$state/probe.err" </dev/null &
  probe_pid=$!
  local status=0
  wait "$probe_pid" || status=$?
  probe_pid=""
  [ "$status" -eq 0 ] || { log "probe failed ($status): $(tail -5 "$state/probe.err")"; exit 1; }
  unstage hives
  unstage profiles
  {
    echo "# Probe: the tool's per-user system calls, $1 profiles and $1 hives staged (Wine)"
    echo
    echo "- Command: \`bench/run.sh --probe $1 -n $rounds -w $warmup\`"
    echo "- Date: $started; $(wine --version 2>/dev/null); $(uname -n), $(nproc) CPUs"
    echo
    tr -d '\r' <"$state/probe.out"
  } >"$out"
  cat "$out"
}

# --- Programs ----------------------------------------------------------------------------
"$root/scripts/setup.sh" >&2
bin=$state/bin

# The tree program links the tool's removal code from src/ as it is now. Its own build folder,
# configured as the win32 preset, so it never shares a ninja run with build/win32.
tree_build=$root/build/bench-tree
if [ -z "$profiles$hives$probe" ]; then
  if [ ! -f "$tree_build/build.ninja" ]; then
    (cd "$root" && cmake --preset win32 -B "$tree_build" >/dev/null)
  fi
  cmake --build "$tree_build" --target tree_bench >"$state/tree-build.log" 2>&1 ||
    { log "building tree_bench failed: $(tail -20 "$state/tree-build.log")"; exit 1; }
  cp "$tree_build/bench/tree/tree_bench.exe" "$bin/tree_bench.exe"
fi
src_dirty=""
if git -C "$root" status --porcelain -- src 2>/dev/null | grep -q .; then
  src_dirty=" with uncommitted changes in src/"
fi
tree_note="bench/tree/tree_bench.cpp linked with src/ at $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$src_dirty, win32 preset options"

run_tree() { # CSV: the tree rounds, each checked; any failure ends the benchmark
  log "measuring: $rounds rounds (+$warmup warm-up) of tree removal, tool and RegDeleteTreeW"
  setsid wine "$bin/tree_bench.exe" "$(winpath "$1")" "$rounds" "$warmup" \
    >"$state/tree.out" 2>"$state/tree.err" </dev/null &
  tree_pid=$!
  local status=0
  wait "$tree_pid" || status=$?
  tree_pid=""
  [ "$status" -eq 0 ] || { log "tree removal failed ($status): $(tail -5 "$state/tree.err")"; exit 1; }
  log "$(cat "$state/tree.out")"
}

if [ -n "$probe" ]; then
  probe_mode "$probe"
  exit 0
fi

if [ -n "$tree_only" ]; then
  wine_up up
  run_tree "$state/tree.csv"
  t_end=$(date +%s)
  /usr/bin/python3 "$bench_dir/report.py" --tree-only --tree-csv "$state/tree.csv" --out "$state/tree.md" \
    --command "bench/run.sh --tree -n $rounds -w $warmup" --date "$started" --seconds $((t_end - t_start)) \
    --wine "$(wine --version 2>/dev/null)" --gcc "$(i686-w64-mingw32-gcc -dumpfullversion)" \
    --tree-build "$tree_note"
  exit 0
fi

tool=$root/build/win32/uninstall.exe
if [ ! -f "$tool" ]; then
  log "building the tool"
  (cd "$root" && cmake --preset win32 >/dev/null && cmake --build --preset win32 >/dev/null)
fi

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
i686-w64-mingw32-gcc -O2 -s -municode -o "$bin/driver.exe" "$bench_dir/tools/driver.c" -lpsapi

if [ -n "$profiles$hives" ]; then
  users_mode "${profiles:+profiles}${hives:+hives}" "$profiles$hives"
  exit 0
fi

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
makensis -V1 -DOUTFILE="$bin/peer-setup.exe" "$bench_dir/nsis/peer.nsi" >&2

wine_up up

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
# After the windows, so their rounds never share the wineserver with a tree being built.
run_tree "$state/tree.csv"

# --- Report -------------------------------------------------------------------------------
t_end=$(date +%s)
/usr/bin/python3 "$bench_dir/report.py" --csv "$csv" --out "$bench_dir/results.md" \
  --command "bench/run.sh -n $rounds -w $warmup" --date "$started" --seconds $((t_end - t_start)) \
  --wine "$(wine --version 2>/dev/null)" --makensis "$(makensis -VERSION)" \
  --gcc "$(i686-w64-mingw32-gcc -dumpfullversion)" \
  --tool-build "$tool_note" --tree-csv "$state/tree.csv" --tree-build "$tree_note" \
  --program "tool=$tool" --program "floor-a=$bin/floor-a.exe" \
  --program "floor-b=$bin/floor-b.exe" --program "nsis=$bin/peer-uninstall.exe" \
  "${context_report[@]}"
