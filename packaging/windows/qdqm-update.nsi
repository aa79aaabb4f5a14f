; The setup program of qdqm-update for 64-bit Windows (scripts/package-windows.sh runs makensis):
;   makensis -DVERSION=3.19.0.7 -DSTAGE=<folder with qdqm-update.exe and README.txt>
;            -DOUTFILE=<setup.exe> -DSIZE_KIB=<size of the folder in KiB> qdqm-update.nsi
; Installs into Program Files for all users, with a Start-menu entry and an uninstaller
; registered with the system. /S installs silently, /D=DIR (last, unquoted) picks the folder.
;
; The uninstaller removes the files it installed, its Start-menu entry and its registry key, and
; the folder only when that is then empty: update sets (type directories) copied in beside the
; program are the user's and stay.

!macro QDQM_REQUIRE name
  !ifndef ${name}
    !error "makensis -D${name}=... is missing"
  !endif
!macroend
!insertmacro QDQM_REQUIRE VERSION
!insertmacro QDQM_REQUIRE STAGE
!insertmacro QDQM_REQUIRE OUTFILE
!insertmacro QDQM_REQUIRE SIZE_KIB
!ifndef PUBLISHER
  !define PUBLISHER "Seed 2d2bbdb4 maintainers"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\qdqm-update"

Unicode true
; A 64-bit installer: the program is 64-bit, and $PROGRAMFILES64 and the registry's 64-bit view
; are then its own.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

Name "qdqm-update ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\qdqm-update"
; A folder chosen before is offered again (an update in place).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "qdqm-update"
VIAddVersionKey "FileDescription" "qdqm-update setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "All rights reserved"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "qdqm-update"
  SetOutPath "$INSTDIR"
  File "${STAGE}/qdqm-update.exe"
  File "${STAGE}/README.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateShortcut "$SMPROGRAMS\qdqm-update.lnk" "$INSTDIR\qdqm-update.exe" "" \
    "$INSTDIR\qdqm-update.exe" 0 SW_SHOWNORMAL "" "QD/QM module update"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "qdqm-update ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\qdqm-update.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; Size of the installed files in KiB, for the system's list of programs.
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KIB}
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\qdqm-update.lnk"
  Delete "$INSTDIR\qdqm-update.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"
  ; Not /r: whatever else is in the folder (update sets, traces) stays, and so does the folder.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
