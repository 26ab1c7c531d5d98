#!/usr/bin/env bash
# Installs what is missing, builds ini4zav and opens it on the bundled example tool family.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINI4ZAV_TESTS=OFF
cmake --build "$root/build" --target ini4zav
cd "$root/examples/vamtools"
exec "$root/build/app/ini4zav" /i=ini4zav.ini "$@"
