# Sourced by prefix.sh and wine-run: where the test prefix lives and how Wine runs in it.
# Everything lives under build/wine (build/wine64), so a fresh clone starts clean and `rm -rf build`
# resets it.
wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# WINE_TEST_ARCH=win64: the 64-bit prefix, where the 32-bit tool runs under WOW64 as on 64-bit
# Windows (SysWOW64, Program Files (x86), the registry's 32-bit view), with a state folder of its own.
wine_arch=${WINE_TEST_ARCH:-win32}
case $wine_arch in
  win32) wine_state_name=wine ;;
  win64) wine_state_name=wine64 ;;
  *) echo "WINE_TEST_ARCH is win32 or win64, not $wine_arch" >&2; exit 2 ;;
esac
# WINE_TEST_STATE: another state folder, e.g. the demo's, so it never touches the suite's.
wine_state=${WINE_TEST_STATE:-$wine_root/build/$wine_state_name}
wine_tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Debian's `wine` is the 32-bit loader: it runs a 32-bit program in either prefix, and a builtin
# program named without its folder (regedit, reg) in its 32-bit kind. A 64-bit program needs the
# 64-bit loader, which Debian keeps off the PATH.
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)

export WINEPREFIX=$wine_state/prefix
export WINEARCH=$wine_arch
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
