; The Windows installer: per user, without administrator rights, into
; %LOCALAPPDATA%\Programs, with a Start-menu entry and an uninstaller the user's
; "Apps" list knows. scripts/package.sh passes VERSION, PROGRAMS (the directory
; holding the two .exe), TOP (the source tree) and OUTFILE.
; The programs are x86-64 builds, so the installer is one too.
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"

!define APP "Charger Firmware Updater"
!define STATION "Charger Updater - Production station"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\charger-updater"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Charger Updater"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
; The program's own icon, and no installer-tool line at the bottom of each page.
!define MUI_ICON "${TOP}/src/res/app.ico"
!define MUI_UNICON "${TOP}/src/res/app.ico"
BrandingText " "

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "CompanyName" "Brelka"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "MIT License"

!insertmacro MUI_PAGE_LICENSE "${TOP}/LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\charger-updater.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File "${PROGRAMS}/charger-updater.exe"
  File "${PROGRAMS}/charger-updater-cli.exe"
  File "/oname=README.md" "${TOP}/README.md"
  File "/oname=LICENSE.txt" "${TOP}/LICENSE"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The shortcut starts in $INSTDIR, so the window keeps its config.ini there.
  CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\charger-updater.exe"
  CreateShortCut "$SMPROGRAMS\${STATION}.lnk" "$INSTDIR\charger-updater.exe" "--station"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Brelka"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\charger-updater.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Removes only what the installer put there (and the window's remembered image path), so a
; folder the user chose that holds other files keeps them.
Section "Uninstall"
  SetShellVarContext current
  Delete "$INSTDIR\charger-updater.exe"
  Delete "$INSTDIR\charger-updater-cli.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\config.ini"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}.lnk"
  Delete "$SMPROGRAMS\${STATION}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
