#!/usr/bin/env bash
# The production station's window at work under a virtual X server, with four rows: one
# charger passed, one failed (its cable pulled mid-transfer), one being programmed (on a slow
# line) and one port waiting (nothing plugged in). Saves the picture and checks it.
#   scripts/station-screenshot.sh PROGRAM SIM OUT.png
# e.g. scripts/station-screenshot.sh build/src/app/charger-updater build/sim/charger-sim docs/station.png
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 PROGRAM SIM OUT.png" >&2
  exit 2
fi
program=$(realpath "$1")
sim=$(realpath "$2")
scripts=$(realpath "$(dirname "$0")")
out=$(realpath -m "$3")
rm -f "$out"

work=$(mktemp -d /tmp/stXXXX)  # short, as port names are
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# The image as a release carries it: a version tag the header shows.
head -c 40960 /dev/urandom >fw_v20.bin
printf 'INFO\0V20' | dd of=fw_v20.bin bs=1 seek=4096 conv=notrunc status=none

"$sim" --link "$work/ttyUSB0" --serial 24001001 >/dev/null 2>&1 &
sims+=($!)
"$sim" --link "$work/ttyUSB1" --serial 24001002 --unplug-after-blocks 3 >/dev/null 2>&1 &
sims+=($!)
"$sim" --link "$work/ttyUSB2" --serial 24001003 --baud 4800 >/dev/null 2>&1 &
sims+=($!)
for link in ttyUSB0 ttyUSB1 ttyUSB2; do
  for _ in $(seq 100); do [ -e "$work/$link" ] && break; sleep 0.05; done
done

SCREENSHOT_AFTER_MS=11000 SCREENSHOT_SCREEN=1600x1000x24 SCREENSHOT_BOUNDS="800 1600 480 1000" \
  "$scripts/screenshot.sh" "$program" "$out" --station \
  "$work/fw_v20.bin" --ports "$work/ttyUSB0,$work/ttyUSB1,$work/ttyUSB2,$work/ttyUSB3" --start
"$scripts/check-station-picture.sh" "$out"
