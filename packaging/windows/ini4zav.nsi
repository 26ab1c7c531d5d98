; The Windows installer of ini4zav, made on Linux with makensis by scripts/windows/build.sh, which passes
;   VERSION   the program's version          STAGE     the folder with the files to install
;   ICON      the installer's icon
;   OUTFILE   the installer to write         FILES     the generated list of File lines (install.nsh)
;   UNFILES   the generated list of Delete and RMDir lines (uninstall.nsh), so the uninstaller removes exactly
;             what was installed and leaves everything else in the folder alone
; "/S" installs (and uninstalls) silently; "/D=FOLDER" as the last argument chooses the folder.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
; A 64-bit installer for a 64-bit program (it also runs under a 64-bit-only wine).
RequestExecutionLevel admin
ManifestDPIAware true

!include FileFunc.nsh
!include MUI2.nsh
!include x64.nsh

!define PRODUCT "Editor für ZAV-IniFiles"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ini4zav"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\ini4zav"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "ini4zav ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\bin\ini4zav-start.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Editor für ZAV-IniFiles jetzt starten"
!define MUI_WELCOMEPAGE_TEXT "Dieser Assistent installiert ini4zav ${VERSION}, den Einstellungs-Editor für ed4vam, \
ed4qir, mon4vam, Reader und Decoder mit der Test-Konsole für Modem und Aufzugssteuerung.$\r$\n$\r$\n\
Beim ersten Start legt das Programm für jeden Benutzer eine eigene Kopie der Beispiel-Werkzeugfamilie in \
$\"Dokumente\ini4zav\vamtools$\" an.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "German"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductName" "ini4zav"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileDescription" "Installation: ${PRODUCT}"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "LegalCopyright" "ini4zav"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "ini4zav läuft nur auf 64-Bit-Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "ini4zav"
  SetShellVarContext all
  !include "${FILES}"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Deinstallieren.exe"
  ; The start-menu entry runs the starter, which copies the example family for the user on first use.
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\bin\ini4zav-start.exe" "" "$INSTDIR\bin\ini4zav.exe" 0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "ini4zav"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\bin\ini4zav.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Deinstallieren.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Deinstallieren.exe" /S'
  ; The installed size for the Apps list, in KiB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there, file by file; the folders go only when nothing else is left in them.
; The users' copies of the example family and their logs are theirs and stay. Of what the program keeps per
; user, the uninstalling user's help page, remembered family folder and file dialog's last folder go as well.
Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  !include "${UNFILES}"
  Delete "$INSTDIR\Deinstallieren.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  SetShellVarContext current
  Delete "$LOCALAPPDATA\ini4zav\cache\hilfe.html"
  RMDir "$LOCALAPPDATA\ini4zav\cache"
  Delete "$LOCALAPPDATA\ini4zav\werkzeugfamilie.ini"
  Delete "$LOCALAPPDATA\ini4zav\hinweise.ini"
  RMDir "$LOCALAPPDATA\ini4zav"
  ; Qt's file dialog keeps the last folder in the registry; the keys above it go when nothing else is left.
  DeleteRegKey HKCU "Software\QtProject\OrganizationDefaults\FileDialog"
  DeleteRegKey /ifempty HKCU "Software\QtProject\OrganizationDefaults"
  DeleteRegKey /ifempty HKCU "Software\QtProject"
SectionEnd
