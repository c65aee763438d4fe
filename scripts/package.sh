#!/usr/bin/env bash
# Builds the installable packages from scratch:
#   build-pkg/charger-updater_<version>_amd64.deb   (Release build, cpack)
#   build-win/charger-updater-<version>-setup.exe   (when scripts/build-windows.sh has built
#                                                     the Windows programs and makensis exists)
set -euo pipefail
cd "$(dirname "$0")/.."

rm -rf build-pkg
# The hardening a Debian package build gets (dpkg-buildflags), read by CMake's first configure.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build build-pkg -j"$(nproc)" --target package-files >/dev/null
(cd build-pkg && cpack -G DEB >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
deb=build-pkg/charger-updater_${version}_amd64.deb
[ -f "$deb" ] || { echo "cpack did not produce $deb" >&2; exit 1; }
echo "$deb"

win=build-win/src/app
if [ -f "$win/charger-updater.exe" ] && [ -f "$win/charger-updater-cli.exe" ]; then
  if ! command -v makensis >/dev/null; then
    echo "makensis not found (Debian package nsis): no Windows installer" >&2
    exit 1
  fi
  setup=build-win/charger-updater-${version}-setup.exe
  makensis -V2 -WX -DVERSION="$version" -DPROGRAMS="$(realpath "$win")" -DTOP="$PWD" \
    -DOUTFILE="$(realpath -m "$setup")" packaging/windows/installer.nsi
  echo "$setup"
fi
