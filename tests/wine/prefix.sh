#!/usr/bin/env bash
# The throwaway Wine prefix the tests and the demo run in, with the X display and the
# keeper program they need.
#
#   prefix.sh up [--keeper KEEPER.exe] [--dpi N]  prefix ready, display and keeper running
#   prefix.sh prefix                              prefix ready (no display; for console programs)
#   prefix.sh dpi N                               switch LogPixels, restart the prefix's Wine processes
#   prefix.sh down                                stop exactly what "up" started
#
# State lives in build/wine (build/wine64 for the 64-bit prefix, WINE_TEST_ARCH=win64): prefix/,
# locale/, display, xvfb.pid, keeper.pid, keeper.path, *.log.
# Every step is skipped when already done, so a second "up" takes well under a second.
set -euo pipefail
outer_display=${DISPLAY:-}
# shellcheck source=env.sh
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# Bump when the registry settings below change, so existing prefixes get them.
config_version=3
stamp=$WINEPREFIX/.test-config

log() { echo "prefix: $*" >&2; }

is_our_process() { # PID NAME: the process still runs and is the program we started
  [ -n "$1" ] && [ -r "/proc/$1/cmdline" ] && tr '\0' ' ' <"/proc/$1/cmdline" | grep -q -- "$2"
}

build_locales() {
  mkdir -p "$LOCPATH"
  local name
  for name in zh_CN en_US; do
    [ -f "$LOCPATH/$name.UTF-8/LC_CTYPE" ] && continue
    log "building locale $name.UTF-8"
    # localedef exits 1 on harmless warnings; the check below is what matters.
    localedef -i "$name" -f UTF-8 "$LOCPATH/$name.UTF-8" >/dev/null 2>&1 || true
    [ -f "$LOCPATH/$name.UTF-8/LC_CTYPE" ] || { log "localedef failed for $name.UTF-8"; exit 1; }
  done
}

windows_path() { # unix absolute path -> the same file through Wine's Z: drive
  printf 'Z:%s' "${1//\//\\}"
}

import_registry() { # FILE.reg in UTF-8; regedit wants UTF-16 for the Chinese names
  local utf16=${1%.reg}.utf16.reg
  { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$1"; } >"$utf16"
  wine regedit /S "$(windows_path "$utf16")" >>"$wine_state/wine.log" 2>&1 </dev/null 9>&-
}

dpi_settings() {
  printf '[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"LogPixels"=dword:%08x\r\n\r\n' "$1"
  printf '[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts]\r\n'
  printf '"LogPixels"=dword:%08x\r\n\r\n' "$1"
}

multi_sz() { # one REG_MULTI_SZ entry as regedit's hex(7) bytes
  printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 -v | tr -s ' \n' ' ' |
    sed 's/^ //; s/ $//; s/ /,/g; s/$/,00,00,00,00/'
}

write_settings() { # DPI
  local link font
  # The collection's Sharp face carries hand-drawn bitmaps for the small sizes: drawn from
  # the outlines at 12 px, strokes merge and 是 and 否 read as other characters.
  link=$(multi_sz "wqy-zenhei.ttc,WenQuanYi Zen Hei Sharp")
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    # No window manager under Xvfb: unmanaged windows draw their own frames and never
    # wait for a manager to map them.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
    # A crash should fail the test, not leave a dialog waiting for a click.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
    # No sound device here; message boxes would otherwise probe for one.
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]\r\n"Audio"=""\r\n\r\n'
    # Chinese text through the dialog fonts: link them to WenQuanYi rather than replace them,
    # since a replacement of a font that exists is ignored and would break Latin text anyway.
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
    for font in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
      printf '"%s"=hex(7):%s\r\n' "$font" "$link"
    done
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for font in "宋体" "新宋体" "SimSun" "NSimSun"; do
      printf '"%s"="WenQuanYi Zen Hei Sharp"\r\n' "$font"
    done
    printf '\r\n'
    dpi_settings "$1"
  } >"$wine_state/settings.reg"
  import_registry "$wine_state/settings.reg"
}

link_marlett() {
  # Title-bar buttons are Marlett glyphs, letters in any other font. Debian's fonts-wine puts it in
  # Wine's data folder, which Wine 8 as built here never searches (measured); the prefix's Fonts is.
  local marlett=/usr/share/wine/fonts/marlett.ttf
  if [ -f "$marlett" ]; then
    ln -sf "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf"
  else
    log "no $marlett (fonts-wine): title-bar buttons will show as letters"
  fi
}

ensure_prefix() { # DPI (empty: keep what the prefix has, 96 for a new one)
  build_locales
  local want_dpi=${1:-}
  # The stamp marks a finished prefix even before wineserver has flushed system.reg to disk;
  # testing system.reg alone made a second caller rebuild a prefix that was just made.
  if [ ! -f "$WINEPREFIX/system.reg" ] && [ ! -f "$stamp" ]; then
    log "creating $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >>"$wine_state/wine.log" 2>&1 </dev/null 9>&-
  fi
  local have
  have=$(cat "$stamp" 2>/dev/null || true)
  [ -n "$want_dpi" ] || want_dpi=$(sed -n 's/.* dpi=//p' <<<"$have")
  [ -n "$want_dpi" ] || want_dpi=96
  if [ "$have" != "v$config_version dpi=$want_dpi" ]; then
    if [ "${have%% *}" = "v$config_version" ]; then
      set_dpi_only "$want_dpi"
    else
      log "configuring prefix (dpi $want_dpi)"
      link_marlett
      write_settings "$want_dpi"
    fi
    echo "v$config_version dpi=$want_dpi" >"$stamp"
  fi
}

set_dpi_only() {
  log "LogPixels $1"
  { printf 'Windows Registry Editor Version 5.00\r\n\r\n'; dpi_settings "$1"; } >"$wine_state/dpi.reg"
  import_registry "$wine_state/dpi.reg"
  # Wine reads LogPixels when its processes start: restart them all.
  stop_wine
  if [ -s "$wine_state/keeper.path" ] && [ -n "${DISPLAY:-}" ]; then
    start_keeper "$(cat "$wine_state/keeper.path")"
  fi
}

display_usable() { [ -n "${1:-}" ] && xdpyinfo -display "$1" >/dev/null 2>&1; }

display_still_ours() { # the recorded display is our live Xvfb, or an outside display that still answers
  [ -s "$wine_state/display" ] || return 1
  if [ -s "$wine_state/xvfb.pid" ]; then
    # Another Xvfb may have taken the number since ours ended.
    is_our_process "$(cat "$wine_state/xvfb.pid")" Xvfb || return 1
  fi
  display_usable "$(cat "$wine_state/display")"
}

ensure_display() {
  if display_still_ours; then
    DISPLAY=$(cat "$wine_state/display")
    export DISPLAY
    return
  fi
  rm -f "$wine_state/display" "$wine_state/xvfb.pid"
  # A usable DISPLAY from outside is used as is; WINE_TEST_XVFB=1 forces a private Xvfb.
  if [ -z "${WINE_TEST_XVFB:-}" ] && display_usable "$outer_display"; then
    echo "$outer_display" >"$wine_state/display"
  else
    log "starting Xvfb"
    rm -f "$wine_state/xvfb.display"
    # -displayfd lets Xvfb pick a free display number and tells us once it accepts clients.
    start_detached "$wine_state/xvfb.pid" Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp \
      5>"$wine_state/xvfb.display" >"$wine_state/xvfb.log" 2>&1
    local waited
    for waited in $(seq 200); do
      [ -s "$wine_state/xvfb.display" ] && break
      started_and_gone "$wine_state/xvfb.pid" && { log "Xvfb failed: $(tail -3 "$wine_state/xvfb.log")"; exit 1; }
      sleep 0.05
    done
    [ -s "$wine_state/xvfb.display" ] || { log "Xvfb did not start: $(tail -3 "$wine_state/xvfb.log")"; exit 1; }
    echo ":$(tr -d '\n' <"$wine_state/xvfb.display")" >"$wine_state/display"
  fi
  DISPLAY=$(cat "$wine_state/display")
  export DISPLAY
}

start_detached() { # PIDFILE COMMAND...: in a session of its own, so it outlives this script and CTest's cleanup
  local pidfile=$1
  shift
  rm -f "$pidfile"
  # The process writes its own PID before exec: setsid forks when called by a group leader,
  # and then $! would be setsid's.
  setsid bash -c 'echo $$ >"$0"; exec "$@"' "$pidfile" "$@" </dev/null 9>&- &
}

started_and_gone() { # PIDFILE: the process has written its PID and already ended
  local pid
  pid=$(cat "$1" 2>/dev/null || true)
  [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null
}

start_keeper() { # KEEPER.exe
  if is_our_process "$(cat "$wine_state/keeper.pid" 2>/dev/null || true)" keeper; then
    return
  fi
  echo "$1" >"$wine_state/keeper.path"
  # A wineserver left by an earlier program (CTest lists the GoogleTest cases through Wine before
  # any test runs) shuts down a few seconds after its last client, and takes a keeper that
  # connected meanwhile with it. Start from a fresh one that stays until "down".
  stop_wine
  wineserver -p >>"$wine_state/wine.log" 2>&1 </dev/null 9>&-
  : >"$wine_state/keeper.log"
  # Files, not the caller's pipes: Wine's background processes inherit these and keep them open.
  start_detached "$wine_state/keeper.pid" wine "$1" >"$wine_state/keeper.log" 2>&1
  local waited
  for waited in $(seq 600); do
    grep -q ready "$wine_state/keeper.log" && return
    started_and_gone "$wine_state/keeper.pid" && break
    sleep 0.05
  done
  log "keeper did not start: $(tail -3 "$wine_state/keeper.log")"
  exit 1
}

server_dirs() { # Wine's socket folder for this prefix: /tmp/wine-*/server-DEV-INODE of the prefix folder
  local dev ino
  read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX" 2>/dev/null) || return 0
  compgen -G "/tmp/wine-*/$(printf 'server-%x-%x' "$dev" "$ino")" || true
}

stop_wine() {
  local pid
  pid=$(cat "$wine_state/keeper.pid" 2>/dev/null || true)
  if is_our_process "$pid" keeper; then kill "$pid" 2>/dev/null || true; fi
  rm -f "$wine_state/keeper.pid"
  if [ -d "$WINEPREFIX" ]; then
    # Ends every process of this prefix, all of them started by this suite or the demo.
    wineserver -k >/dev/null 2>&1 9>&- || true
    wineserver -w >/dev/null 2>&1 9>&- || true
  fi
}

command=${1:-up}
shift || true
keeper="" dpi=""
while [ $# -gt 0 ]; do
  case $1 in
    --keeper) keeper=$2; shift 2 ;;
    --dpi) dpi=$2; shift 2 ;;
    *) [ "$command" = dpi ] && [ -z "$dpi" ] && { dpi=$1; shift; continue; }
       echo "usage: prefix.sh up|prefix|dpi N|down [--keeper KEEPER.exe] [--dpi N]" >&2; exit 2 ;;
  esac
done

mkdir -p "$wine_state"
# One caller at a time: parallel CTest runs all come through here. Everything started
# below closes fd 9, or Wine's background processes would hold the lock for good.
exec 9>"$wine_state/lock"
flock 9

case $command in
  up)
    ensure_display
    ensure_prefix "${dpi:-96}"
    # Absolute: a later DPI switch restarts it from wherever it is called.
    if [ -n "$keeper" ]; then start_keeper "$(readlink -f "$keeper")"; fi
    echo "DISPLAY=$DISPLAY WINEPREFIX=$WINEPREFIX"
    ;;
  prefix)
    ensure_prefix ""
    ;;
  dpi)
    [ -n "$dpi" ] || { echo "prefix.sh dpi N" >&2; exit 2; }
    ensure_prefix "$dpi"
    ;;
  down)
    stop_wine
    pid=$(cat "$wine_state/xvfb.pid" 2>/dev/null || true)
    if is_our_process "$pid" Xvfb; then kill "$pid" 2>/dev/null || true; fi
    rm -f "$wine_state/xvfb.pid" "$wine_state/display" "$wine_state/xvfb.display"
    for dir in $(server_dirs); do
      rm -rf "$dir"
      rmdir "$(dirname "$dir")" 2>/dev/null || true
    done
    ;;
  *)
    echo "usage: prefix.sh up|prefix|dpi N|down [--keeper KEEPER.exe] [--dpi N]" >&2
    exit 2
    ;;
esac
