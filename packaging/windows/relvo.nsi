; relvo for Windows: relvoclient.exe registered as a service, relvoproxy.exe
; beside it. Built by scripts/package:
;   makensis -DVERSION=x.y.z.w -DSRCDIR=<staged files> -DOUTFILE=<setup.exe> relvo.nsi
; Silent: setup.exe /S (install or upgrade), uninstall.exe /S (remove; the
; ini and the logs stay), uninstall.exe /S /PURGE (remove them too).
;
; The service: automatic (delayed) start, restarted 10 s after a failure
; (three times, the count reset after a day). An upgrade stops a running
; service, replaces the programs, keeps the ini and the logs, and starts the
; service again.
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

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "WordFunc.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\relvo"

Var Service     ; the service name, from the installed ini
Var WasRunning  ; 1 when an upgrade found the service running

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage components
UninstPage instfiles

; $Service from [system] service_name of the ini in $INSTDIR (the connector's
; own default when it is not there).
!macro READ_SERVICE_NAME
  ReadINIStr $Service "$INSTDIR\relvoclient.ini" "system" "service_name"
  ${If} $Service == ""
    StrCpy $Service "OvikProxyClient"
  ${EndIf}
!macroend

; Pushes the service's state: RUNNING, STOPPED, PENDING (starting, stopping,
; paused), or "" when it is not registered.
!macro DEFINE_STATE_FUNCTION prefix
Function ${prefix}ServiceState
  nsExec::ExecToStack 'sc query "$Service"'
  Pop $0
  Pop $1
  StrCpy $2 ""
  ${If} $0 == 0
    StrCpy $2 "PENDING"
    ClearErrors
    ${WordFind} "$1" " RUNNING" "E+1{" $3
    ${IfNot} ${Errors}
      StrCpy $2 "RUNNING"
    ${EndIf}
    ClearErrors
    ${WordFind} "$1" " STOPPED" "E+1{" $3
    ${IfNot} ${Errors}
      StrCpy $2 "STOPPED"
    ${EndIf}
  ${EndIf}
  Push $2
FunctionEnd

; Stops the service if it runs and waits up to 60 s for the stopped state.
Function ${prefix}StopService
  Call ${prefix}ServiceState
  Pop $0
  ${If} $0 == ""
  ${OrIf} $0 == "STOPPED"
    Return
  ${EndIf}
  nsExec::ExecToLog 'sc stop "$Service"'
  Pop $0
  StrCpy $4 0
  ${Do}
    Call ${prefix}ServiceState
    Pop $0
    ${If} $0 == "STOPPED"
    ${OrIf} $0 == ""
      Return
    ${EndIf}
    IntOp $4 $4 + 1
    ${If} $4 > 120
      DetailPrint "$Service did not stop within 60 s"
      Return
    ${EndIf}
    Sleep 500
  ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_STATE_FUNCTION ""
!insertmacro DEFINE_STATE_FUNCTION "un."

; The registered service: its path (quoted), automatic delayed start, and
; a restart 10 s after each of the first three failures, the count reset
; after a day. The same as, from an administrator's prompt:
;   sc config <name> start= delayed-auto
;   sc failure <name> reset= 86400 actions= restart/10000/restart/10000/restart/10000
Function ConfigureService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0xF003F) p.r6'
  System::Call 'advapi32::OpenServiceW(p r6, w "$Service", i 0xF01FF) p.r7'
  ${If} $7 == 0
    DetailPrint "$Service is not registered: the service keeps demand start"
    System::Call 'advapi32::CloseServiceHandle(p r6)'
    Return
  ${EndIf}
  ; SERVICE_NO_CHANGE (-1) but the start type (SERVICE_AUTO_START) and the path.
  System::Call 'advapi32::ChangeServiceConfigW(p r7, i -1, i 2, i -1, w `"$INSTDIR\relvoclient.exe"`, p 0, p 0, p 0, p 0, p 0, p 0) i.r0'
  ${If} $0 == 0
    DetailPrint "ChangeServiceConfig failed"
  ${EndIf}
  ; SERVICE_CONFIG_DELAYED_AUTO_START_INFO (3): { BOOL fDelayedAutostart }.
  System::Call '*(i 1) p.r8'
  System::Call 'advapi32::ChangeServiceConfig2W(p r7, i 3, p r8) i.r0'
  System::Free $8
  ; SERVICE_CONFIG_FAILURE_ACTIONS (2): { DWORD reset; (pad) LPWSTR reboot;
  ; LPWSTR command; DWORD count; (pad) SC_ACTION* actions }, three
  ; SC_ACTION { SC_ACTION_RESTART (1), delay ms }.
  System::Call '*(i 1, i 10000, i 1, i 10000, i 1, i 10000) p.r8'
  System::Call '*(i 86400, i 0, p 0, p 0, i 3, i 0, p r8) p.r9'
  System::Call 'advapi32::ChangeServiceConfig2W(p r7, i 2, p r9) i.r0'
  ${If} $0 == 0
    DetailPrint "Setting the recovery actions failed"
  ${EndIf}
  System::Free $9
  System::Free $8
  System::Call 'advapi32::CloseServiceHandle(p r7)'
  System::Call 'advapi32::CloseServiceHandle(p r6)'
FunctionEnd

Section "relvo"
  SetRegView 64
  !insertmacro READ_SERVICE_NAME
  StrCpy $WasRunning 0
  Call ServiceState
  Pop $0
  ${If} $0 == "RUNNING"
    StrCpy $WasRunning 1
  ${EndIf}
  Call StopService

  SetOutPath "$INSTDIR"
  File "${SRCDIR}\relvoclient.exe"
  File "${SRCDIR}\relvoproxy.exe"
  File "${SRCDIR}\README.txt"
  ; An operator's edited ini survives a reinstall and an upgrade.
  SetOverwrite off
  File "${SRCDIR}\relvoclient.ini"
  SetOverwrite on
  SetOutPath "$INSTDIR\docs"
  File "${SRCDIR}\docs\operator-guide.md"
  File "${SRCDIR}\docs\architecture.md"
  SetOutPath "$INSTDIR"
  CreateDirectory "$INSTDIR\logs"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "relvo ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'

  ; The ini read again: a first install brings it. The service takes its name
  ; and description from the installed ini; an upgrade keeps the service
  ; that is there and brings its path up to date (ConfigureService).
  !insertmacro READ_SERVICE_NAME
  Call ServiceState
  Pop $0
  ${If} $0 == ""
    nsExec::ExecToLog '"$INSTDIR\relvoclient.exe" -install'
    Pop $0
    StrCmp $0 "0" +2
      DetailPrint "relvoclient.exe -install failed ($0); see the operator's guide"
  ${EndIf}
  Call ConfigureService
  ${If} $WasRunning == 1
    nsExec::ExecToLog 'sc start "$Service"'
    Pop $0
  ${EndIf}
SectionEnd

Section "un.relvo programs" SecUnProgram
  SectionIn RO
  SetRegView 64
  !insertmacro READ_SERVICE_NAME
  Call un.StopService
  nsExec::ExecToLog '"$INSTDIR\relvoclient.exe" -remove'
  Pop $0
  Delete "$INSTDIR\relvoclient.exe"
  Delete "$INSTDIR\relvoproxy.exe"
  Delete "$INSTDIR\README.txt"
  ; Only what the installer put there: the folder may be shared.
  Delete "$INSTDIR\docs\operator-guide.md"
  Delete "$INSTDIR\docs\architecture.md"
  RMDir "$INSTDIR\docs"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

; Off unless ticked, or /PURGE on a silent command line.
Section /o "un.Settings (relvoclient.ini) and logs" SecUnData
  Delete "$INSTDIR\relvoclient.ini"
  RMDir /r "$INSTDIR\logs"
SectionEnd

Section "-un.folder"
  RMDir "$INSTDIR"
SectionEnd

Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PURGE" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecUnData} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
