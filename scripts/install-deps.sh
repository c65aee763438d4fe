#!/usr/bin/env bash
# Installs the Debian 12 packages a job needs:
#   install-deps.sh            building and the demo
#   install-deps.sh --windows  the Windows cross-build only
#   install-deps.sh --wine     the Windows build and its run under Wine, with the Linux peers
#   install-deps.sh --all      every test: also the packaging checks and fuzzing
set -euo pipefail
# fonts-wqy-microhei: the serial channel's messages are Chinese, in the Qt window and under Wine.
# libcurl4-openssl-dev: posting records; python3 and openssl: the record server of its tests.
core=(build-essential cmake g++ libgtest-dev libcli11-dev qt6-base-dev qt6-multimedia-dev libcurl4-openssl-dev
      fonts-liberation fonts-wqy-microhei xvfb xauth imagemagick help2man librsvg2-bin python3
      openssl)
windows=(cmake g++-mingw-w64-x86-64-posix libcli11-dev googletest)
wine=(wine64 fonts-wqy-microhei xvfb xauth imagemagick x11-utils gcc libc6-dev bc time procps
      python3)
extras=(file lintian desktop-file-utils appstream nsis clang-14 libclang-rt-14-dev)
case "${1:-}" in
  "") packages=("${core[@]}") ;;
  --windows) packages=("${windows[@]}") ;;
  --wine) packages=("${core[@]}" "${windows[@]}" "${wine[@]}") ;;
  --all) packages=("${core[@]}" "${windows[@]}" "${wine[@]}" "${extras[@]}") ;;
  *)
    echo "usage: install-deps.sh [--windows | --wine | --all]" >&2
    exit 2
    ;;
esac
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
