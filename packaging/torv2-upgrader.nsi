; The Windows installer, torv2-upgrader-VERSION-setup.exe. packaging/CMakeLists.txt runs makensis
; on it with these defines:
;   VERSION       the project's version, "1.0.0"
;   GUI_EXE       torv2-upgrader.exe, as built
;   CLI_EXE       torv2-upgrader-cli.exe, as built
;   README_TXT    the short text the .zip carries (README.txt)
;   ICON          the program's icon (.ico), drawn by the build
;   OUTFILE       where the installer goes
; It installs both programs and README.txt under Program Files (the 64-bit one), a Start-menu
; shortcut for all users and the uninstall entry in the 64-bit registry view; the uninstaller
; removes exactly those. The history (%LOCALAPPDATA%\torv2-upgrader\) belongs to the user and is
; kept. "/S" installs and uninstalls silently.

Unicode true
; Only a 64-bit installer runs under 64-bit Windows alone (and under wine64).
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!macro REQUIRE NAME
  !ifndef ${NAME}
    !error "makensis needs -D${NAME}=... (see the top of this file)"
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE GUI_EXE
!insertmacro REQUIRE CLI_EXE
!insertmacro REQUIRE README_TXT
!insertmacro REQUIRE ICON
!insertmacro REQUIRE OUTFILE

!define PRODUCT "ZARN TORV II Upgrader"
!define PUBLISHER "ZARN"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\torv2-upgrader"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; Installing again goes where the first installation went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\torv2-upgrader.exe"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The installer's own version resource; Windows shows four numbers.
VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; The Start-menu shortcut is for every user (.onInit: the installation is machine-wide).
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=torv2-upgrader.exe" "${GUI_EXE}"
  File "/oname=torv2-upgrader-cli.exe" "${CLI_EXE}"
  File "/oname=README.txt" "${README_TXT}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "${SHORTCUT}" "$INSTDIR\torv2-upgrader.exe" "" "$INSTDIR\torv2-upgrader.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\torv2-upgrader.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; The size "Apps & features" shows, in KiB.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

; Only what the installer put there goes: a file someone left in the folder keeps the folder.
Section "Uninstall"
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\torv2-upgrader.exe"
  Delete "$INSTDIR\torv2-upgrader-cli.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
