#!/usr/bin/env bash
# Installs dependencies, builds, and runs every test: once as shipped, once the Qt-free
# engine under ThreadSanitizer, once everything under AddressSanitizer and UBSan, once as a
# Release build; runs each fuzz target for a bounded time; runs the Windows build under Wine;
# last builds the packages, installs them, uses and removes them. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --all
scripts/build.sh build -DWARNINGS_AS_ERRORS=ON
(cd build && ctest --output-on-failure --timeout 300)

# Smoke check that the window renders, with the simulated charger to find.
link=$(mktemp -u /tmp/charger-smoke.XXXXXX)
build/sim/charger-sim --link "$link" >/dev/null 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
scripts/screenshot.sh build/src/app/charger-updater build/window.png --ports "$link" || {
  kill $sim; exit 1; }
kill $sim; wait $sim 2>/dev/null || true
scripts/build.sh build-tsan -DWARNINGS_AS_ERRORS=ON -DWITH_QT=OFF -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure --timeout 600)
scripts/build.sh build-asan -DWARNINGS_AS_ERRORS=ON -DSANITIZE=address -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600)

# Users and packagers build Release (-O3): it must stay warning-free.
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DWARNINGS_AS_ERRORS=ON
(cd build-release && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 300)

# Fuzz each target for 30 s from its seeds; a crash input is kept under
# tests/fuzz/regressions/<target>/, where every other build replays it.
cmake -S . -B build-fuzz -DFUZZ=ON -DWITH_QT=OFF -DWARNINGS_AS_ERRORS=ON \
  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzzers
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
