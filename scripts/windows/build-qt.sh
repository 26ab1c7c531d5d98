#!/usr/bin/env bash
# Qt 6 (Core, Gui, Widgets, Test, the Windows and offscreen platform plugins, the Windows styles) and libjpeg
# for mingw-w64, built from Debian's own sources of the versions the Linux build uses, and installed into cache
# folders that the Windows build of the program finds.
#
#   scripts/windows/build-qt.sh               build what is missing (nothing when matching builds are there)
#   scripts/windows/build-qt.sh --check       exit 0 when both are there or can be unpacked, else 1; builds nothing
#   scripts/windows/build-qt.sh --pack DIR    also write a tarball of each prefix into DIR
#   scripts/windows/build-qt.sh --only jpeg   only libjpeg (or only qt)
#
# INI4ZAV_QT_MINGW and INI4ZAV_JPEG_MINGW name the prefixes (defaults under /var/cache/ini4zav), INI4ZAV_WINWORK
# the folder for sources and build trees. A tarball made with --pack, put into ../shared/qt6-mingw/ beside the
# source tree, is unpacked instead of building. Qt's host tools come from Debian's qt6-base-dev-tools.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
toolchain=$root/cmake/mingw-w64-x86_64.cmake
shared=${INI4ZAV_SHARED_QT:-$root/../shared/qt6-mingw}
jobs=${JOBS:-2}
apt_get() { apt-get -o DPkg::Lock::Timeout=600 "$@"; }

# The versions are the installed Linux packages' versions: Qt's host tools must match Qt exactly.
qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null || true)
jpeg_version=$(dpkg-query -W -f='${Version}' libjpeg62-turbo-dev 2>/dev/null || true)

qt_options=(
  -DCMAKE_BUILD_TYPE=Release -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF
  -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
  -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_doubleconversion=OFF
)
jpeg_options=(
  -DCMAKE_BUILD_TYPE=Release -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON
)
# A prefix matches when it was made from the same version with the same options.
key() { printf '%s\n' "$@" | sha256sum | cut -c1-12; }
qt_key=qt6-base-${qt_version//[:+~]/_}-mingw-$(key "${qt_options[@]}")
jpeg_key=libjpeg-turbo-${jpeg_version//[:+~]/_}-mingw-$(key "${jpeg_options[@]}")
qt_prefix=${INI4ZAV_QT_MINGW:-/var/cache/ini4zav/$qt_key}
jpeg_prefix=${INI4ZAV_JPEG_MINGW:-/var/cache/ini4zav/$jpeg_key}
work=${INI4ZAV_WINWORK:-/var/cache/ini4zav/work}

matches() { [ -f "$1/.ini4zav-build" ] && [ "$(cat "$1/.ini4zav-build")" = "$2" ]; }

# Unpacks the shared tarball of this key, if there is one; its top folder is the key.
unpack_shared() {
  local prefix=$1 name=$2 tarball
  tarball=$(ls "$shared/$name".tar.* 2>/dev/null | head -n1 || true)
  [ -n "$tarball" ] || return 1
  echo "build-qt: unpacking $tarball"
  rm -rf "$prefix.unpack" && mkdir -p "$prefix.unpack"
  tar -xf "$tarball" -C "$prefix.unpack"
  rm -rf "$prefix" && mv "$prefix.unpack/$name" "$prefix" && rmdir "$prefix.unpack"
  matches "$prefix" "$name"
}

# Fetches a Debian source package of the given version into the work folder; prints its folder.
fetch_source() {
  local package=$1 version=$2
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    echo "build-qt: adding deb-src for the same archive" >&2
    sed -i 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources
    apt_get update >&2
  fi
  command -v dpkg-source > /dev/null || apt_get install -y --no-install-recommends dpkg-dev >&2
  mkdir -p "$work/$package"
  local upstream=${version#*:}
  upstream=${upstream%-*}
  local dir
  dir=$(ls -d "$work/$package"/*-"$upstream" 2>/dev/null | head -n1 || true)
  if [ -z "$dir" ]; then
    (cd "$work/$package" && apt_get source --only-source "$package=$version" >&2)
    dir=$(ls -d "$work/$package"/*-"$upstream" | head -n1)
  fi
  echo "$dir"
}

# Builds one of Debian's CMake source packages for mingw-w64 into its prefix:
# build_package PACKAGE VERSION PREFIX NEEDED-PACKAGE OPTION...
build_package() {
  local package=$1 version=$2 prefix=$3 needed=$4
  shift 4
  [ -n "$version" ] || { echo "build-qt: $needed is not installed" >&2; exit 1; }
  local src
  src=$(fetch_source "$package" "$version")
  local build=$work/$package-build
  echo "build-qt: building $package $version for mingw-w64 from $src into $prefix"
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" "$@"
  cmake --build "$build" -j "$jobs"
  rm -rf "$prefix"
  cmake --install "$build"
}

build_qt() {
  matches "$qt_prefix" "$qt_key" && return 0
  unpack_shared "$qt_prefix" "$qt_key" && return 0
  build_package qt6-base "$qt_version" "$qt_prefix" "qt6-base-dev-tools (Qt's host tools)" "${qt_options[@]}"
  # Qt's DLLs load the compiler's run-time DLLs: beside them, the prefix is complete (tests run from it).
  local gcc_bin
  gcc_bin=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
  cp "$gcc_bin/libstdc++-6.dll" "$gcc_bin/libgcc_s_seh-1.dll" /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll \
    "$qt_prefix/bin/"
  echo "$qt_key" > "$qt_prefix/.ini4zav-build"
}

build_jpeg() {
  matches "$jpeg_prefix" "$jpeg_key" && return 0
  unpack_shared "$jpeg_prefix" "$jpeg_key" && return 0
  build_package libjpeg-turbo "$jpeg_version" "$jpeg_prefix" libjpeg62-turbo-dev "${jpeg_options[@]}"
  echo "$jpeg_key" > "$jpeg_prefix/.ini4zav-build"
}

pack() {
  local prefix=$1 name=$2 dir=$3
  mkdir -p "$dir"
  tar -C "$(dirname "$prefix")" --transform "s,^$(basename "$prefix"),$name," -cf - "$(basename "$prefix")" |
    xz -T "$jobs" -6 > "$dir/$name.tar.xz"
  echo "build-qt: wrote $dir/$name.tar.xz ($(du -h "$dir/$name.tar.xz" | cut -f1))"
}

parts=(jpeg qt)
pack_dir=""
while [ $# -gt 0 ]; do
  case $1 in
    --check)
      for pair in "$qt_prefix:$qt_key" "$jpeg_prefix:$jpeg_key"; do
        prefix=${pair%:*} name=${pair##*:}
        matches "$prefix" "$name" || ls "$shared/$name".tar.* > /dev/null 2>&1 || exit 1
      done
      exit 0 ;;
    --prefixes) echo "$qt_prefix" "$jpeg_prefix"; exit 0 ;;
    --pack) pack_dir=$2; shift ;;
    --only) parts=("$2"); shift ;;
    *) echo "usage: $0 [--check | --prefixes | --pack DIR] [--only qt|jpeg]" >&2; exit 2 ;;
  esac
  shift
done
for part in "${parts[@]}"; do
  "build_$part"
  if [ -n "$pack_dir" ]; then
    if [ "$part" = qt ]; then pack "$qt_prefix" "$qt_key" "$pack_dir"; else pack "$jpeg_prefix" "$jpeg_key" "$pack_dir"; fi
  fi
done
