#!/usr/bin/env bash
# Installs a Windows installer silently under wine into a fresh prefix, starts the installed program, and
# uninstalls it again, checking that nothing of it is left:
#   scripts/windows/wine-install-test.sh SETUP.EXE FOLDER [VERSION]
# FOLDER gets the prefix and a home of its own (wine links the user's Documents and Desktop to $HOME).
# Leaves the prefix installed when KEEP=1 (for looking at the program), else uninstalls and checks.
set -euo pipefail
setup=$(realpath "$1")
folder=$(realpath -m "$2")
version=${3:-}
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver
export WINEPREFIX=$folder/prefix HOME=$folder/home WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml= # no Mono or Gecko to fetch
unset DISPLAY WAYLAND_DISPLAY
fail() { echo "wine-install-test: $*" >&2; exit 1; }

"$server" -k 2>/dev/null || true
rm -rf "$folder" && mkdir -p "$HOME"
"$wine" wineboot --init > /dev/null 2>&1
"$server" -w

"$wine" "$setup" /S
"$server" -w
dir="$WINEPREFIX/drive_c/Program Files/ini4zav"
link="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Editor für ZAV-IniFiles.lnk"
[ -f "$dir/bin/ini4zav.exe" ] || fail "ini4zav.exe is not installed"
[ -f "$link" ] || fail "no start-menu entry"
[ -f "$dir/share/ini4zav/manual/index.html" ] || fail "the manual is not installed"
[ -f "$dir/share/ini4zav/examples/vamtools/ini4zav.ini" ] || fail "the example family is not installed"

# The Apps list shows the installed size (KiB): about the size of the folder.
size=$("$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ini4zav' /v EstimatedSize 2>/dev/null |
  tr -d '\r' | sed -n 's/.*EstimatedSize *REG_DWORD *//p')
[ -n "$size" ] || fail "no EstimatedSize in the uninstall entry"
actual=$(du -sk "$dir" | cut -f1)
[ $((size)) -gt $((actual / 2)) ] && [ $((size)) -le $((actual * 2)) ] ||
  fail "EstimatedSize $((size)) KiB, but the folder holds $actual KiB"
echo "EstimatedSize: $((size)) KiB"

# The installed program answers without a window: every DLL it needs is there.
out=$("$wine" "$dir/bin/ini4zav.exe" --version 2>&1 | tr -d '\r') || fail "ini4zav.exe --version failed: $out"
echo "$out"
case $out in
  "ini4zav ${version}"*) ;;
  *) fail "ini4zav.exe --version answered '$out'" ;;
esac
"$server" -w

# The start-menu entry's starter: the first start copies the example family for the user, a later one keeps
# what the user changed there.
family=$HOME/ini4zav/vamtools # wine's Documents folder is the home folder
"$wine" "$dir/bin/ini4zav-start.exe" --version > /dev/null
"$server" -w
[ -f "$family/ini4zav.ini" ] || fail "the starter did not copy the example family to $family"
cmp -s "$family/ed4vam/data/störung.esr" "$dir/share/ini4zav/examples/vamtools/ed4vam/data/störung.esr" ||
  fail "the copy lacks a file with an umlaut in its name"
echo "; Änderung des Benutzers" >> "$family/ini4zav.ini"
"$wine" "$dir/bin/ini4zav-start.exe" --version > /dev/null
"$server" -w
grep -q "Änderung des Benutzers" "$family/ini4zav.ini" || fail "a second start overwrote the user's copy"
[ "${KEEP:-0}" = 1 ] && exit 0

# What the program keeps per user (the help's forwarding page, the remembered family folder, the read-only
# families told about, the file dialog's last folder, which Qt keeps in the registry) goes too.
appdata=$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/ini4zav
mkdir -p "$appdata/cache"
touch "$appdata/cache/hilfe.html" "$appdata/werkzeugfamilie.ini" "$appdata/hinweise.ini"
qtkey='HKCU\Software\QtProject\OrganizationDefaults\FileDialog'
"$wine" reg add "$qtkey" /v lastVisited /t REG_SZ /d "file:///C:/users/ich/Documents" /f > /dev/null 2>&1

"$wine" "$dir/Deinstallieren.exe" /S
"$server" -w
[ ! -e "$dir" ] || fail "left behind: $(find "$dir" | head -n 20)"
[ ! -e "$link" ] || fail "the start-menu entry is left"
if "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ini4zav' > /dev/null 2>&1; then
  fail "the uninstall entry is left in the registry"
fi
[ -f "$family/ini4zav.ini" ] || fail "the uninstaller removed the user's copy of the example family"
[ ! -e "$appdata" ] || fail "the program's files of the user are left: $(find "$appdata")"
if "$wine" reg query "$qtkey" > /dev/null 2>&1; then
  fail "the file dialog's last folder is left in the registry ($qtkey)"
fi
"$server" -k 2>/dev/null || true
echo "wine-install-test: installed, started and removed without a trace"
