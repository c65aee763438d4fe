#!/usr/bin/env bash
# build.sh PRESET [cmake options...]: configures and builds one of CMakePresets.json's builds
# (default, tsan, asan, release, fuzz, windows) into its folder.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
shift
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
