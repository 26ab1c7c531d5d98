#!/usr/bin/env bash
# Installs the build directory given as $1 into a temporary prefix and checks what arrived there.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FEHLER: $*" >&2; exit 1; }

# Stripped, as the Debian package installs it.
cmake --install "$build" --prefix "$prefix" --strip > /dev/null

expected=(
  bin/ini4zav
  share/applications/ini4zav.desktop
  share/metainfo/de.ini4zav.ini4zav.metainfo.xml
  share/icons/hicolor/scalable/apps/ini4zav.svg
  share/man/man1/ini4zav.1.gz
  share/man/man1/ini4zav-modemsim.1.gz
  share/doc/ini4zav/copyright
  share/doc/ini4zav/changelog.gz
  share/ini4zav/manual/index.html
  share/ini4zav/examples/vamtools/ini4zav.ini
  share/ini4zav/examples/vamtools/mon4vam/mon4vam.ini
)
for size in 16 24 32 48 64 128 256; do expected+=("share/icons/hicolor/${size}x${size}/apps/ini4zav.png"); done
for f in "${expected[@]}"; do [ -f "$prefix/$f" ] || fail "$f fehlt im installierten Baum"; done
[ -x "$prefix/bin/ini4zav" ] || fail "bin/ini4zav ist nicht ausführbar"

# Nothing of the build itself: no test programs, libraries or headers.
unexpected=$(cd "$prefix" && find . -type f \( -name '*.a' -o -name '*.h' -o -name 'tst_*' -o -name 'test_*' \
  -o -name '*_test' -o -name 'CMake*' \) | sort)
[ -z "$unexpected" ] || fail "unerwartet installiert: $unexpected"
# Every program in bin/ is one of ours.
for p in "$prefix"/bin/*; do case $(basename "$p") in ini4zav|ini4zav-*) ;; *) fail "fremdes Programm $p" ;; esac; done

# The programs are hardened as Debian's are: full RELRO (BIND_NOW), the stack protector, fortified functions
# in an optimised build; and stripped of the compiler's .comment and the .note sections.
if command -v readelf > /dev/null; then
  optimised=$(grep -qE '^CMAKE_BUILD_TYPE:[A-Z]*=(Release|RelWithDebInfo|MinSizeRel)$' "$build/CMakeCache.txt" && echo 1 || true)
  hardened=$(grep -q '^INI4ZAV_HARDEN:BOOL=ON$' "$build/CMakeCache.txt" && echo 1 || true)
  for p in "$prefix"/bin/*; do
    name=$(basename "$p")
    sections=$(readelf -S -W "$p")
    grep -qE ' \.comment | \.note ' <<< "$sections" && fail "$name hat noch .comment oder .note"
    [ -n "$hardened" ] || continue
    readelf -d "$p" | grep -qE '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' || fail "$name ohne BIND_NOW"
    readelf -l -W "$p" | grep -q GNU_RELRO || fail "$name ohne RELRO"
    symbols=$(readelf --dyn-syms -W "$p")
    grep -q '__stack_chk_fail' <<< "$symbols" || fail "$name ohne Stack-Schutz"
    if [ -n "$optimised" ]; then grep -qE '__[a-z0-9_]+_chk@' <<< "$symbols" || fail "$name ohne _FORTIFY_SOURCE"; fi
  done
fi

# Each PNG is the size its directory says.
for size in 16 24 32 48 64 128 256; do
  header=$(od -An -tx1 -j16 -N8 "$prefix/share/icons/hicolor/${size}x${size}/apps/ini4zav.png" | tr -d ' \n')
  [ "$header" = "$(printf '%08x%08x' "$size" "$size")" ] || fail "ini4zav.png ${size}x${size} hat die Größe $header"
done

command -v desktop-file-validate > /dev/null || fail "desktop-file-validate fehlt (Paket desktop-file-utils)"
desktop-file-validate "$prefix/share/applications/ini4zav.desktop" | grep -v '^.*: hint: ' && fail "Desktop-Datei ungültig" || true
desktop-file-validate "$prefix/share/applications/ini4zav.desktop" > /dev/null
grep -q '^Name=Editor für ZAV-IniFiles$' "$prefix/share/applications/ini4zav.desktop" || fail "Name der Desktop-Datei"
# One main category, so that menus list the program once.
grep -q '^Categories=Utility;$' "$prefix/share/applications/ini4zav.desktop" || fail "Kategorien"

command -v appstreamcli > /dev/null || fail "appstreamcli fehlt (Paket appstream)"
appstreamcli validate --no-net "$prefix/share/metainfo/de.ini4zav.ini4zav.metainfo.xml" > /dev/null \
  || fail "AppStream-Metadaten ungültig"

# The installed program answers without a display and finds its installed manual.
out=$(cd "$prefix" && "$prefix/bin/ini4zav" --help) || fail "--help endet nicht mit 0"
grep -q '^Aufruf: ini4zav' <<< "$out" || fail "--help ohne Aufruf-Zeile"
grep -qF "Handbuch: $(cd "$prefix" && pwd -P)/share/ini4zav/manual/index.html" <<< "$(sed 's|//*|/|g' <<< "$out")" \
  || fail "--help nennt nicht das installierte Handbuch: $(grep Handbuch <<< "$out")"
ver=$("$prefix/bin/ini4zav" --version) || fail "--version endet nicht mit 0"
grep -q '^ini4zav [0-9]' <<< "$ver" || fail "--version: $ver"

# The man pages format without errors; the program's names the network ports.
if command -v man > /dev/null; then
  for page in ini4zav ini4zav-modemsim; do
    man -l "$prefix/share/man/man1/$page.1.gz" 2>&1 > /dev/null | grep -v "can't set the locale" | grep . \
      && fail "man-Seite $page" || true
  done
fi
for scheme in rfc2217:// tcp://; do
  gzip -dc "$prefix/share/man/man1/ini4zav.1.gz" | grep -qF "$scheme" || fail "ini4zav.1 nennt $scheme nicht"
done

# Every picture and page the manual refers to is installed beside it.
manual="$prefix/share/ini4zav/manual"
for ref in $(grep -oE '(src|href)="[^"#:]+' "$manual/index.html" | sed 's/^[a-z]*="//' | sort -u); do
  [ -f "$manual/$ref" ] || fail "Handbuch verweist auf $ref, das nicht installiert ist"
done
# Every link inside the manual leads to a section that exists.
for anchor in $(grep -oE 'href="#[^"]+' "$manual/index.html" | sed 's/^href="#//' | sort -u); do
  grep -qE "id=\"$anchor\"" "$manual/index.html" || fail "Handbuch: Verweis auf #$anchor ohne Abschnitt"
done
echo "Installierter Baum in Ordnung: ${#expected[@]} Dateien geprüft"
