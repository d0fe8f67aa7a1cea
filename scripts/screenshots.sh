#!/usr/bin/env bash
# Makes the README's pictures again from the current build: runs the Wine scenarios they show,
# in a 32-bit prefix, display and keeper of their own (build/screenshots/; two of the scenarios,
# the 144 DPI window and the held file, run in the 32-bit prefix only), with the folder named as a
# 32-bit program is installed on 64-bit Windows (C:\Program Files (x86)\Orvandel), and copies
# their screenshots into docs/.
#
#   scripts/screenshots.sh        builds the win32 preset if needed, then writes docs/*.png
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
state=$root/build/screenshots
tools=$root/build/win32/tests/wine/tools

"$root/scripts/setup.sh"
if [ ! -f build/win32/uninstall.exe ] || [ ! -f "$tools/inspect.exe" ]; then
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 >/dev/null
fi

# picture in docs/ = the scenario's screenshot (scenario-run-window.png)
pictures=(
  "confirm.png=yes_removes_everything-1-confirm.png"
  "completed.png=yes_removes_everything-1-done.png"
  "completed-144dpi.png=window_layout_144_dpi-1-done.png"
  "error-running.png=running_program_is_named-1-error.png"
  "error.png=held_file_stops_then_rerun_finishes-1-error.png"
)

export WINE_TEST_STATE=$state WINE_TEST_XVFB=1 WINE_TEST_ARCH=win32
trap '"$root/tests/wine/prefix.sh" down' EXIT
"$root/tests/wine/prefix.sh" up --keeper "$tools/keeper.exe" >/dev/null
rm -rf "$state/shots"
only=()
for picture in "${pictures[@]}"; do
  shot=${picture#*=}
  only+=(--only "${shot%-[0-9]-*}")
done
/usr/bin/python3 tests/wine/scenarios.py "${only[@]}" --exe build/win32/uninstall.exe --tools "$tools" \
  --work "$state/scenarios" --screenshots "$state/shots" --stage-in "Program Files (x86)/Orvandel"
for picture in "${pictures[@]}"; do
  # Palette and no metadata: small files, and the same bytes for the same pixels.
  convert "$state/shots/${picture#*=}" -strip -define png:exclude-chunks=date,time "docs/${picture%%=*}"
  echo "docs/${picture%%=*}: $(identify -format '%wx%h' "docs/${picture%%=*}")"
done
