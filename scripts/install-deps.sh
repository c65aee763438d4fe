#!/usr/bin/env bash
# Installs what building and the demo need on Debian 12; with --all, what every test needs.
set -euo pipefail
packages=(build-essential cmake g++ libgtest-dev libcli11-dev qt6-base-dev
          fonts-liberation xvfb xauth imagemagick help2man librsvg2-bin)
# --all: also what the full test run needs (packaging checks, fuzzing, the Windows build and
# its run under Wine); the demo does without them.
if [ "${1:-}" = "--all" ]; then
  packages+=(file lintian desktop-file-utils appstream nsis clang-14 libclang-rt-14-dev
             g++-mingw-w64-x86-64-posix googletest wine64 x11-utils bc time)
fi
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
