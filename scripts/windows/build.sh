#!/usr/bin/env bash
# The whole Windows build in one command: Qt and libjpeg for mingw-w64 (built once, see build-qt.sh),
# ini4zav.exe, the installer and the portable ZIP.
#   scripts/windows/build.sh [BUILD_DIR]          (default build-win in the source tree)
# Leaves BUILD_DIR/ini4zav-VERSION-setup.exe and BUILD_DIR/ini4zav-VERSION-win64.zip. With INI4ZAV_WIN_TESTS=ON
# the tests are configured too (build the ones wanted, e.g. those labelled gui, and run them with ctest: wine
# runs them). Exits with status 3 when the program cannot be built for Windows in this source tree. Needs the packages g++-mingw-w64-x86-64-posix,
# qt6-base-dev-tools, qt6-translations-l10n, nsis, zip and dpkg-dev (build-qt.sh fetches the sources with apt).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath -m "${1:-$root/build-win}")
jobs=${JOBS:-2}
mingw=x86_64-w64-mingw32

"$here/build-qt.sh"
read -r qt jpeg < <("$here/build-qt.sh" --prefixes)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-qt.cmake" \
  -DINI4ZAV_QT_MINGW="$qt" -DINI4ZAV_JPEG_MINGW="$jpeg" -DCMAKE_BUILD_TYPE=Release \
  -DINI4ZAV_TESTS="${INI4ZAV_WIN_TESTS:-OFF}"
# The program needs every layer on Windows; until then the build stops here with status 3 and says why.
if ! ninja -C "$build" -t query ini4zav > /dev/null 2>&1; then
  echo "build.sh: ini4zav.exe cannot be built for Windows yet: config/ needs the Windows file layer of platform/"
  exit 3
fi
# Programs of the build (the string table generators) run under wine in the build's own prefix. Two of them
# starting a fresh prefix at once fail, so it is made here first (the tests' set-up makes it when they are on).
if [ ! -f "$build/wineprefix/system.reg" ]; then
  WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= /usr/lib/wine/wine64 wineboot --init \
    > /dev/null 2>&1
  WINEPREFIX="$build/wineprefix" /usr/lib/wine/wineserver -w
fi
cmake --build "$build" -j "$jobs" --target ini4zav
"$here/package.sh" "$build" "$qt"
