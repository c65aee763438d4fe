#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian 12 into build-win/ (the "windows" preset):
# src/app/charger-updater.exe, src/app/charger-updater-cli.exe (statically linked) and
# charger-updater-windows.zip. Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --windows
scripts/build.sh windows "$@"
echo "build-win/charger-updater-windows.zip"
