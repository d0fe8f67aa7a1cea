#!/usr/bin/env bash
# Every test: installs what is missing, builds the three configurations, runs
# the host tests, the Windows-side tests and scenarios under Wine (MinGW-w64
# GCC), then the clang and lld build of the same tool with its checks and a
# part of the scenarios (which use the Wine helpers of the MinGW build).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake --preset host
cmake --build --preset host
ctest --preset host

cmake --preset win32
cmake --build --preset win32
ctest --preset win32

cmake --preset clang
cmake --build --preset clang
ctest --preset clang
