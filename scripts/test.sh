#!/usr/bin/env bash
# Installs what is missing, builds ini4zav with its tests (warnings are errors) and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$root/build-test}"
jobs="${JOBS:-$(nproc)}"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DINI4ZAV_WERROR=ON -DINI4ZAV_TESTS=ON
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
