#!/usr/bin/env bash
# Installs dependencies, builds, and runs every test: once as shipped, once the Qt-free
# engine under ThreadSanitizer, once everything under AddressSanitizer and UBSan, once as a
# Release build; runs each fuzz target for a bounded time; runs the Windows build under Wine;
# last builds the packages, installs them, uses and removes them. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --all
scripts/build.sh default
ctest --preset default

# Smoke check that the window renders, with the simulated charger to find.
link=$(mktemp -u /tmp/charger-smoke.XXXXXX)
build/sim/charger-sim --link "$link" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
scripts/screenshot.sh build/src/app/charger-updater build/window.png --ports "$link" || {
  kill $sim; exit 1; }
kill $sim; wait $sim 2>/dev/null || true
# The production station at work, four rows; the picture in the README.
scripts/station-screenshot.sh build/src/app/charger-updater build/sim/charger-sim docs/station.png
scripts/build.sh tsan
ctest --preset tsan
scripts/build.sh asan
ctest --preset asan

# Users and packagers build Release (-O3): it must stay warning-free.
scripts/build.sh release
ctest --preset release

# Fuzz each target for 30 s from its seeds; a crash input is kept under
# tests/fuzz/regressions/<target>/, where every other build replays it.
scripts/build.sh fuzz
for target in menu_reply:menu_replies profile:config image:images receiver:transcripts; do
  name=${target%%:*}
  mkdir -p "build-fuzz/corpus/$name" "tests/fuzz/regressions/$name"
  "build-fuzz/tests/fuzz_$name" -max_total_time=30 -print_final_stats=1 \
    -artifact_prefix="tests/fuzz/regressions/$name/" \
    "build-fuzz/corpus/$name" "tests/data/${target#*:}"
done

# The Windows programs, cross-built, under Wine against the simulated charger.
timeout 900 scripts/test-windows.sh

# The .deb (and, from the Windows build above, the installer): built, checked, installed,
# used from /usr/bin and removed again.
scripts/test-package.sh
