#!/usr/bin/env bash
# Installs what is missing, builds ini4zav and opens it on the bundled example tool family
# (a working copy of examples/vamtools in build/vamtools).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DINI4ZAV_TESTS=OFF
# The program and the simulated modem for a pseudo-terminal (the README starts it from build/sim/modemsim).
cmake --build "$root/build" --target ini4zav ini4zav-modemsim
# The program writes its INI files back and keeps its logs in the tool family, so it runs on a working copy
# in the build directory; files already there (your edits) are kept.
family="$root/build/vamtools"
mkdir -p "$family"
cp -r -n "$root/examples/vamtools/." "$family/"
cd "$family"
exec "$root/build/app/ini4zav" /i=ini4zav.ini "$@"
