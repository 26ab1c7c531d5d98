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
# Another apt or an unattended upgrade may hold the package locks: wait for them (up to ten minutes).
# apt-get install waits by itself; apt-get update does not wait for the lock of the package lists.
lock=(-o DPkg::Lock::Timeout=600)
update() {
  local waited=0 out
  until out=$(LC_ALL=C $SUDO apt-get "${lock[@]}" update 2>&1); do
    if ! grep -q "Could not get lock" <<<"$out" || [ "$waited" -ge 600 ]; then
      echo "$out" >&2
      return 1
    fi
    [ "$waited" -eq 0 ] && echo "Another apt holds the package lists; waiting for it ..."
    sleep 5
    waited=$((waited + 5))
  done
  echo "$out"
}
update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y --no-install-recommends "${missing[@]}"
