#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian 12 into build-win/: src/app/charger-updater.exe,
# src/app/charger-updater-cli.exe (statically linked) and charger-updater-windows.zip.
# Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build-win -j"$(nproc)"
echo "build-win/charger-updater-windows.zip"
