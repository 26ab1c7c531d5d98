#!/usr/bin/env bash
# The wine prefix of a cross-build's tests, kept in the build folder.
#   wine-prefix.sh setup PREFIX WINE LINKDIR   makes the prefix, maps COM40 to LINKDIR/com40 (a link that the
#                                              pty peer points at its own pseudo-terminal) and starts one
#                                              lasting wine server for the suite
#   wine-prefix.sh cleanup PREFIX WINE         stops that server
# A fresh prefix maps the first COM ports to /dev/ttyS*, which may be the machine's console: the tests open
# only COM40, and only after checking that it leads to the link below.
set -euo pipefail
cmd=$1 prefix=$2 wine=$3
server=$(dirname "$wine")/wineserver
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= # no Mono or Gecko to fetch
case $cmd in
setup)
  links=$4
  mkdir -p "$links"
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    "$server" -w
  fi
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM40 /t REG_SZ /d "$links/com40" /f >/dev/null 2>&1
  # The server reads the ports when it starts: stop it, and let the next start make the device links.
  "$server" -k 2>/dev/null || true
  "$server" -w
  "$server" -p </dev/null >/dev/null 2>&1
  "$wine" cmd /c exit >/dev/null 2>&1
  target=$(readlink "$prefix/dosdevices/com40" || true)
  if [ "$target" != "$links/com40" ]; then
    echo "COM40 leads to '$target', not to $links/com40" >&2
    exit 1
  fi
  ;;
cleanup)
  "$server" -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 setup|cleanup PREFIX WINE [LINKDIR]" >&2
  exit 2
  ;;
esac
