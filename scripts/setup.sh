#!/usr/bin/env bash
# Installs every package the build, the demo and the tests need. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 clang lld llvm-14
  libgtest-dev googletest clang-format clang-tidy cppcheck
  wine wine32:i386 wine64 fonts-wine
  xvfb xdotool x11-utils imagemagick
  fonts-wqy-zenhei python3-pefile locales
  nsis osslsigncode openssl
)

have_all() {
  dpkg --print-foreign-architectures | grep -qx i386 || return 1
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || return 1
  done
}

if have_all; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: packages are missing; run as root (or with sudo) to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
