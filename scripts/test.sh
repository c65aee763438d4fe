#!/usr/bin/env bash
# Installs dependencies, builds, and runs every test: once as shipped, once the Qt-free
# engine under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 300)
scripts/build.sh build-tsan -DWITH_QT=OFF -DSANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure --timeout 600)
