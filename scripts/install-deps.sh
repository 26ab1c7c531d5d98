#!/usr/bin/env bash
# Installs the Debian packages that building and testing ini4zav need, when they are missing.
# Uses sudo when not run as root.
set -euo pipefail

PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libjpeg62-turbo-dev libgtest-dev libgmock-dev
          libbenchmark-dev qt6-translations-l10n desktop-file-utils appstream dpkg-dev clang libclang-rt-14-dev)
# Network serial ports: their tests run the ser2net terminal server.
PACKAGES+=(ser2net)
PACKAGES+=("$@")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}"
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
