; ini4zav-start.exe, the start-menu entry's program: on a user's first start it copies the example tool family
; from the installation into "Dokumente\ini4zav\vamtools" (a copy that is there already is left as it is: it
; holds the user's edits), then starts ini4zav.exe in that folder, where it finds its INI file. Arguments are
; handed on. Made by scripts/windows/build.sh with makensis (VERSION, OUTFILE, ICON).
Unicode true
Target amd64-unicode
SilentInstall silent
RequestExecutionLevel user
ManifestDPIAware true
!include FileFunc.nsh

Name "Editor für ZAV-IniFiles"
OutFile "${OUTFILE}"
Icon "${ICON}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "ini4zav"
VIAddVersionKey "LegalCopyright" "ini4zav"
VIAddVersionKey "FileDescription" "Editor für ZAV-IniFiles"
VIAddVersionKey "FileVersion" "${VERSION}"

Section
  SetShellVarContext current
  StrCpy $0 "$DOCUMENTS\ini4zav\vamtools"
  IfFileExists "$0\ini4zav.ini" start
  CreateDirectory "$0"
  ClearErrors
  CopyFiles /SILENT "$EXEDIR\..\share\ini4zav\examples\vamtools\*.*" "$0"
  IfErrors 0 start
    MessageBox MB_OK|MB_ICONSTOP "Die Beispiel-Werkzeugfamilie konnte nicht nach $\"$0$\" kopiert werden."
    Quit
  start:
  ${GetParameters} $1
  SetOutPath "$0"
  Exec '"$EXEDIR\ini4zav.exe" $1'
SectionEnd
