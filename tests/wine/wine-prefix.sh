#!/usr/bin/env bash
# The wine prefix of a cross-build's tests, kept in the build folder.
#   wine-prefix.sh map PREFIX WINE LINKDIR     makes the prefix and maps COM40 to LINKDIR/com40, a link that the
#                                              pty peer points at its own pseudo-terminal (at configure time:
#                                              the wine server is restarted, which nothing else may be using)
#   wine-prefix.sh setup PREFIX WINE LINKDIR   starts one lasting wine server for the suite and checks that
#                                              COM40 leads to that link
#   wine-prefix.sh cleanup PREFIX WINE         stops that server
# A fresh prefix maps the first COM ports to /dev/ttyS*, which may be the machine's console: the tests open
# only COM40, and only after checking that it leads to the link.
set -euo pipefail
cmd=$1 prefix=$2 wine=$3
server=$(dirname "$wine")/wineserver
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= # no Mono or Gecko to fetch

leads_to_link() {
  [ "$(readlink "$prefix/dosdevices/com40" || true)" = "$1/com40" ]
}

case $cmd in
map)
  links=$4
  mkdir -p "$links"
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot --init >/dev/null 2>&1
    "$server" -w
  fi
  if ! leads_to_link "$links"; then
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM40 /t REG_SZ /d "$links/com40" /f >/dev/null 2>&1
    # The server reads the ports when it starts: stop it, and let the next start make the device links.
    "$server" -k 2>/dev/null || true
    "$server" -w
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  fi
  ;;
setup)
  links=$4
  # Every test under wine waits for this one, so no server is in use. The first program after the server's
  # start also starts wine's services, which keep its output open for as long as they run: here that output
  # leads nowhere, instead of into a test's.
  "$server" -k 2>/dev/null || true
  "$server" -w
  "$server" -p </dev/null >/dev/null 2>&1
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1
  if ! leads_to_link "$links"; then
    echo "COM40 leads to '$(readlink "$prefix/dosdevices/com40" || true)', not to $links/com40" >&2
    exit 1
  fi
  ;;
cleanup)
  "$server" -k 2>/dev/null || true
  ;;
*)
  echo "usage: $0 map|setup|cleanup PREFIX WINE [LINKDIR]" >&2
  exit 2
  ;;
esac
