# Sourced by prefix.sh and wine-run: where the test prefix lives and how Wine runs in it.
# Everything lives under build/wine, so a fresh clone starts clean and `rm -rf build` resets it.
wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# WINE_TEST_STATE: another state folder, e.g. the demo's, so it never touches the suite's.
wine_state=${WINE_TEST_STATE:-$wine_root/build/wine}
wine_tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

export WINEPREFIX=$wine_state/prefix
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# Without Mono and Gecko Wine would ask to download them on first start, with no one to answer.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Private locales built by prefix.sh: Wine falls back to ASCII when the locale it is given is missing.
export LOCPATH=$wine_state/locale
# (bash itself warns that it cannot use the locale; only Wine needs it)
{
  export LANG=${WINE_RUN_LANG:-zh_CN.UTF-8}
  unset LC_ALL LC_CTYPE LC_MESSAGES LANGUAGE
} 2>/dev/null
if [ -s "$wine_state/display" ]; then
  DISPLAY=$(cat "$wine_state/display")
  export DISPLAY
fi
