#!/usr/bin/env bash
# Every test: installs what is missing, builds both configurations, runs the
# host tests, then the Windows-side tests and scenarios under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake --preset host
cmake --build --preset host
ctest --preset host

cmake --preset win32
cmake --build --preset win32
ctest --preset win32
