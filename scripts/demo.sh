#!/usr/bin/env bash
# Installs dependencies, builds, and shows the updater finding and programming the simulated
# charger: first with the command-line tool, then (when a display is available) in the window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh default

demo=build/demo
mkdir -p "$demo"
image="$demo/charger-fw-demo.bin"
# A firmware-like image: 30000 bytes with a version tag the window shows.
{ head -c 29990 /dev/urandom; printf 'INFO 105'; printf '\0'; } > "$image"
link="$demo/charger-port"

build/sim/charger-sim --link "$link" --save "$demo/received.bin" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done

cli=build/src/app/charger-updater-cli
echo "== charger-updater-cli info --ports $link"
"$cli" info --ports "$link"
echo "== charger-updater-cli flash $image --ports $link"
"$cli" flash "$image" --ports "$link"
cmp -s "$image" "$demo/received.bin" && echo "The simulated charger holds exactly the image that was sent."

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x build/src/app/charger-updater ]; then
  echo "== charger-updater (the window): the charger is found and the image reloaded; click 'Update'"
  printf '[File]\nPath=%s\n' "$(realpath "$image")" > "$demo/config.ini"
  (cd "$demo" && ../src/app/charger-updater --ports "$(realpath charger-port)")
fi
