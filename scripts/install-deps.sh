#!/usr/bin/env bash
# Installs what building, packaging, testing and the demo need on Debian 12.
set -euo pipefail
packages=(build-essential cmake g++ libgtest-dev libcli11-dev qt6-base-dev
          fonts-liberation xvfb xauth imagemagick
          help2man librsvg2-bin file lintian desktop-file-utils appstream nsis
          clang-14 libclang-rt-14-dev
          # The Windows build and its run under Wine (scripts/test-windows.sh).
          g++-mingw-w64-x86-64-posix googletest wine64 x11-utils bc time)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
