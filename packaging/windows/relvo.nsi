; relvo for Windows: relvoclient.exe registered as a service, relvoproxy.exe
; beside it. Built by scripts/package:
;   makensis -DVERSION=x.y.z.w -DSRCDIR=<staged files> -DOUTFILE=<setup.exe> relvo.nsi
; Silent: setup.exe /S (install), uninstall.exe /S (remove).
Unicode true
Target amd64-unicode
Name "relvo ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\relvo"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "relvo"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "relvo setup"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\relvo"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "relvo"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File "${SRCDIR}\relvoclient.exe"
  File "${SRCDIR}\relvoproxy.exe"
  File "${SRCDIR}\README.txt"
  ; An operator's edited ini survives a reinstall.
  SetOverwrite off
  File "${SRCDIR}\relvoclient.ini"
  SetOverwrite on
  SetOutPath "$INSTDIR\docs"
  File "${SRCDIR}\docs\*.*"
  SetOutPath "$INSTDIR"
  CreateDirectory "$INSTDIR\logs"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "relvo ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  ; The service takes its name and description from the installed ini.
  nsExec::ExecToLog '"$INSTDIR\relvoclient.exe" -install'
  Pop $0
  StrCmp $0 "0" +2
    DetailPrint "relvoclient.exe -install failed ($0); see the operator's guide"
SectionEnd

Section "Uninstall"
  SetRegView 64
  nsExec::ExecToLog '"$INSTDIR\relvoclient.exe" -remove'
  Pop $0
  Delete "$INSTDIR\relvoclient.exe"
  Delete "$INSTDIR\relvoproxy.exe"
  Delete "$INSTDIR\relvoclient.ini"
  Delete "$INSTDIR\README.txt"
  RMDir /r "$INSTDIR\docs"
  RMDir /r "$INSTDIR\logs"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
