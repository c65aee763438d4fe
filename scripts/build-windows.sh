#!/usr/bin/env bash
# Cross-builds the Windows programs on Debian 12 into build-win/: src/app/charger-updater.exe,
# src/app/charger-updater-cli.exe (statically linked) and charger-updater-windows.zip.
# Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake g++-mingw-w64-x86-64-posix libcli11-dev googletest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build-win -j"$(nproc)"
echo "build-win/charger-updater-windows.zip"
