#!/usr/bin/env bash
# The installer and the portable ZIP of a Windows build (called by build.sh):
#   scripts/windows/package.sh BUILD_DIR QT_PREFIX
# Leaves BUILD_DIR/ini4zav-VERSION-setup.exe and BUILD_DIR/ini4zav-VERSION-win64.zip, made from BUILD_DIR/stage.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath "$1")
qt=$2
mingw=x86_64-w64-mingw32
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

# The installed tree: bin/ (the program, its starter, the DLLs it loads, qt.conf), plugins/, translations/,
# share/ini4zav/ (manual, example family) — the layout the program looks for its manual in.
stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/plugins/platforms" "$stage/plugins/styles" "$stage/translations" "$stage/share/ini4zav"
$mingw-strip -o "$stage/bin/ini4zav.exe" "$build/app/ini4zav.exe"
printf '[Paths]\r\nPrefix = ..\r\n' > "$stage/bin/qt.conf"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/plugins/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$stage/plugins/styles/"
cp /usr/share/qt6/translations/qtbase_de.qm "$stage/translations/"
cp -r "$root/docs/manual" "$stage/share/ini4zav/manual"
mkdir -p "$stage/share/ini4zav/examples"
cp -r "$root/examples/vamtools" "$stage/share/ini4zav/examples/vamtools"

# The DLLs: exactly those the program and the plugins import, followed through their own imports; what is
# found neither in Qt's folder nor among the compiler's run-time DLLs is a part of Windows.
gcc_bin=$(dirname "$($mingw-g++-posix -print-file-name=libstdc++-6.dll)")
dll_dirs=("$qt/bin" "$gcc_bin" "/usr/$mingw/lib")
queue=("$stage/bin/ini4zav.exe" "$stage"/plugins/*/*.dll)
system_dlls=()
while [ ${#queue[@]} -gt 0 ]; do
  binary=${queue[0]}
  queue=("${queue[@]:1}")
  for name in $($mingw-objdump -p "$binary" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
    [ -e "$stage/bin/$name" ] && continue
    found=$(find "${dll_dirs[@]}" -maxdepth 1 -iname "$name" -print -quit 2>/dev/null || true)
    if [ -z "$found" ]; then
      system_dlls+=("$name")
      continue
    fi
    $mingw-strip --strip-unneeded -o "$stage/bin/$name" "$found"
    queue+=("$stage/bin/$name")
  done
done
echo "package.sh: shipped DLLs: $(cd "$stage/bin" && ls ./*.dll | xargs -n1 basename | tr '\n' ' ')"
echo "package.sh: from Windows: $(printf '%s\n' "${system_dlls[@]}" | sort -fu | tr '\n' ' ')"

# Same bytes from the same sources: every file gets the time of the last commit.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}
find "$stage" -exec touch -h -d "@$epoch" {} +

# The starter (start-menu entry) and the installer, with the lists of what to install and to remove.
makensis -INPUTCHARSET UTF8 -V2 -DVERSION="$version" -DOUTFILE="$stage/bin/ini4zav-start.exe" \
  -DICON="$root/packaging/windows/ini4zav.ico" "$root/packaging/windows/starter.nsi"
touch -d "@$epoch" "$stage/bin/ini4zav-start.exe"
nsis_quote() { sed 's/\$/$$/g; s,/,\\,g'; }
{
  (cd "$stage" && find . -type f | sed 's,^\./,,' | sort) | while read -r file; do
    dir=$(dirname "$file")
    [ "$dir" = . ] && dir=""
    printf 'SetOutPath "$INSTDIR\\%s"\nFile "%s"\n' "$(nsis_quote <<< "$dir")" "$stage/$file"
  done
} > "$build/install.nsh"
{
  (cd "$stage" && find . -type f | sed 's,^\./,,' | sort) | while read -r file; do
    printf 'Delete "$INSTDIR\\%s"\n' "$(nsis_quote <<< "$file")"
  done
  (cd "$stage" && find . -mindepth 1 -type d | sed 's,^\./,,' | sort -r) | while read -r dir; do
    printf 'RMDir "$INSTDIR\\%s"\n' "$(nsis_quote <<< "$dir")"
  done
} > "$build/uninstall.nsh"
setup=$build/ini4zav-$version-setup.exe
makensis -INPUTCHARSET UTF8 -V2 -DVERSION="$version" -DOUTFILE="$setup" -DSTAGE="$stage" \
  -DICON="$root/packaging/windows/ini4zav.ico" -DFILES="$build/install.nsh" -DUNFILES="$build/uninstall.nsh" \
  "$root/packaging/windows/ini4zav.nsi"

# The portable ZIP: the same files in a folder ini4zav-VERSION; bin\ini4zav-start.exe starts it.
zipfile=$build/ini4zav-$version-win64.zip
rm -f "$zipfile"
rm -rf "$build/zip" && mkdir -p "$build/zip" && cp -a "$stage" "$build/zip/ini4zav-$version"
(cd "$build/zip" && find "ini4zav-$version" | LC_ALL=C sort | zip -q -X -@ "$zipfile")
echo "package.sh: $(du -h "$setup" | cut -f1) $setup"
echo "package.sh: $(du -h "$zipfile" | cut -f1) $zipfile"
