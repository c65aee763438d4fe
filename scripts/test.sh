#!/usr/bin/env bash
# Installs dependencies, builds, and runs every test: once as shipped, once the Qt-free
# engine under ThreadSanitizer, once everything under AddressSanitizer and UBSan, then the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 300)

# Smoke check that the window renders, with the simulated charger to find.
link=$(mktemp -u /tmp/charger-smoke.XXXXXX)
build/sim/charger-sim --link "$link" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
scripts/screenshot.sh build/src/app/charger-updater build/window.png --ports "$link" || {
  kill $sim; exit 1; }
kill $sim; wait $sim 2>/dev/null || true
scripts/build.sh build-tsan -DWITH_QT=OFF -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure --timeout 600)
scripts/build.sh build-asan -DSANITIZE=address -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600)
# The Windows programs, cross-built, under Wine against the simulated charger.
timeout 900 scripts/test-windows.sh
