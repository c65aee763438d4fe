#!/usr/bin/env bash
# Builds the packages and checks them as a user meets them: lintian finds no errors, the menu
# entry and metainfo validate, the .deb installs with apt, the programs in /usr/bin program the
# simulated charger, and the package removes cleanly. Installs and removes system-wide, so it
# refuses to run where charger-updater is already installed.
set -euo pipefail
cd "$(dirname "$0")/.."
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() { echo "test-package: $*" >&2; exit 1; }

if dpkg-query -W -f='${Status}' charger-updater 2>/dev/null | grep -q "ok installed"; then
  fail "charger-updater is installed on this machine; remove it first (this test removes it)"
fi

scripts/package.sh
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
deb=$PWD/build-pkg/charger-updater_${version}_amd64.deb

lintian --fail-on error "$deb"
desktop-file-validate packaging/*.desktop
appstreamcli validate --no-net build-pkg/packaging/*.metainfo.xml
if [ -f build-win/src/app/charger-updater.exe ]; then
  [ -s "build-win/charger-updater-${version}-setup.exe" ] || fail "no Windows installer was built"
fi

work=$(mktemp -d)
sim=""
cleanup() {
  [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
  rm -rf "$work"
  if dpkg-query -W -f='${Status}' charger-updater 2>/dev/null | grep -q "ok installed"; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq charger-updater >/dev/null
  fi
}
trap cleanup EXIT

DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null
[ "$(/usr/bin/charger-updater-cli --version)" = "charger-updater-cli $version" ] ||
  fail "installed charger-updater-cli does not report version $version"
for page in charger-updater charger-updater-cli charger-sim; do
  [ -s "/usr/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done

# A 3000-byte image through the installed programs; the charger must hold exactly it.
head -c 3000 /dev/urandom > "$work/fw.bin"
/usr/bin/charger-sim --link "$work/port" --once --save "$work/received.bin" 2>/dev/null &
sim=$!
for _ in $(seq 50); do [ -e "$work/port" ] && break; sleep 0.1; done
/usr/bin/charger-updater-cli flash "$work/fw.bin" --ports "$work/port"
wait "$sim" || fail "the simulated charger reports a failed session"
sim=""
cmp "$work/fw.bin" "$work/received.bin" || fail "the charger received other bytes than were sent"

DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq charger-updater >/dev/null
[ ! -e /usr/bin/charger-updater-cli ] || fail "removing the package left /usr/bin/charger-updater-cli"
echo "test-package: $deb installs, programs the simulated charger from /usr/bin, and removes"
