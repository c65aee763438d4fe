#!/usr/bin/env bash
# Grabs the updater's window under a virtual X server and checks the picture.
#   scripts/screenshot.sh PROGRAM OUT.png [program options...]
# e.g. scripts/screenshot.sh build/src/app/charger-updater /tmp/window.png --service
# SCREENSHOT_AFTER_MS (default 2000) is how long the window runs before it is grabbed, and
# SCREENSHOT_SCREEN (default 1280x1024x24) the virtual screen it runs on.
#   SCREENSHOT_BOUNDS (default the main dialog's) the plausible window sizes; see below.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PROGRAM OUT.png [program options...]" >&2
  exit 2
fi
program=$(realpath "$1")
out=$(realpath -m "$2")
shift 2
rm -f "$out"

# Run where no config.ini is lying about, so the window shows its first-start state.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

status=0
timeout 90 xvfb-run -a -s "-screen 0 ${SCREENSHOT_SCREEN:-1280x1024x24}" \
  "$program" "$@" --screenshot "$out" --screenshot-after "${SCREENSHOT_AFTER_MS:-2000}" \
  >"$work/out.log" 2>&1 || status=$?
cat "$work/out.log"
if [ "$status" -ne 0 ]; then
  echo "$program exited with status $status" >&2
  exit 1
fi
if [ ! -s "$out" ]; then
  echo "no screenshot was written to $out" >&2
  exit 1
fi

size=$(identify -format '%wx%h' "$out")
echo "$out: $size pixels"
reported=$(sed -n 's/^screenshot .* \([0-9]*x[0-9]*\)$/\1/p' "$work/out.log" | tail -n 1)
if [ "$size" != "$reported" ]; then
  echo "the window measured ${reported:-nothing}, the picture is $size" >&2
  exit 1
fi
# 507 x 353 dialog units: any sane font gives 4..10 pixels per 4 horizontal units. A window
# that is no dialog gives its own bounds: SCREENSHOT_BOUNDS="MIN_W MAX_W MIN_H MAX_H".
read -r min_w max_w min_h max_h <<<"${SCREENSHOT_BOUNDS:-634 1268 353 1000}"
width=${size%x*}
height=${size#*x}
if [ "$width" -lt "$min_w" ] || [ "$width" -gt "$max_w" ] || [ "$height" -lt "$min_h" ] ||
  [ "$height" -gt "$max_h" ] || [ "$width" -le "$height" ]; then
  echo "implausible window size $size" >&2
  exit 1
fi
