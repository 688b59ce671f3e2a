; Stopping and restarting the Quillbox<N> services around a change of the
; program files, shared by the setup program and the uninstaller.
;
; The calls go straight to the Service Control Manager (advapi32 through the
; System plug-in): a paused instance must be paused again after an upgrade,
; which sc.exe cannot do everywhere, and the bounded waits poll every 100 ms,
; which would otherwise start a process per poll and parse its text.

!define SERVICE_BASE_NAME "Quillbox"
!define MAX_INSTANCES 64

!define SC_MANAGER_CONNECT 0x0001
; Query status, start, stop, pause and continue.
!define INSTANCE_RIGHTS 0x0074
!define SERVICE_CONTROL_STOP 1
!define SERVICE_CONTROL_PAUSE 2
!define SERVICE_STOPPED 1
!define SERVICE_START_PENDING 2
!define SERVICE_STOP_PENDING 3
!define SERVICE_RUNNING 4
!define SERVICE_CONTINUE_PENDING 5
!define SERVICE_PAUSE_PENDING 6
!define SERVICE_PAUSED 7

; An instance may take up to 60 s to stop while it finishes a mail; it then
; reports stop pending with a rising checkpoint. One that stops reporting
; progress for longer than its wait hint has hung.
!define STOP_WAIT_MS 70000
!define STOP_SLACK_MS 2000
!define START_WAIT_MS 30000
!define POLL_MS 100

Var ScmHandle
; The instances stopped here, to be started again afterwards: character N is
; R (was running or starting), P (was paused) or a blank. Kept in memory, as
; one run both stops and starts them: a file could be changed meanwhile by
; whoever may write where it lies.
Var StoppedStates

!macro _INSTANCE_FUNCTIONS un

; $0: service handle -> $1 state (0 when unknown), $2 checkpoint, $3 wait hint.
Function ${un}QueryInstance
  System::Call '*(i,i,i,i,i,i,i) p.r9'
  System::Call 'advapi32::QueryServiceStatus(p r0, p r9) i.r8'
  ${If} $8 <> 0
    System::Call '*$9(i, i.r1, i, i, i, i.r2, i.r3)'
  ${Else}
    StrCpy $1 0
  ${EndIf}
  System::Free $9
FunctionEnd

; $0: service handle. Asks the service to stop and waits, bounded.
; -> $4 1 when it stopped, 0 when it did not.
Function ${un}StopInstance
  System::Call 'kernel32::GetTickCount() i.r5'
  StrCpy $6 $5        ; last sign of progress
  StrCpy $7 -1        ; last checkpoint seen
  StrCpy $R9 0        ; time of the last stop request, 0 for none yet
  ${Do}
    Call ${un}QueryInstance
    ${If} $1 = ${SERVICE_STOPPED}
      StrCpy $4 1
      Return
    ${EndIf}
    System::Call 'kernel32::GetTickCount() i.r4'
    ${If} $1 = ${SERVICE_STOP_PENDING}
      ${If} $2 <> $7
        StrCpy $7 $2
        StrCpy $6 $4
      ${EndIf}
      IntOp $8 $4 - $6
      IntOp $9 $3 + ${STOP_SLACK_MS}
      ${If} $8 > $9
        StrCpy $4 0   ; no progress within the wait hint: hung
        Return
      ${EndIf}
    ${Else}
      ; Running, paused or still starting: ask (again every second, as a
      ; service that is still starting cannot take the request yet).
      IntOp $8 $4 - $R9
      ${If} $R9 = 0
      ${OrIf} $8 >= 1000
        System::Alloc 28
        Pop $9
        System::Call 'advapi32::ControlService(p r0, i ${SERVICE_CONTROL_STOP}, p r9) i'
        System::Free $9
        StrCpy $R9 $4
        ${If} $R9 = 0
          StrCpy $R9 1
        ${EndIf}
      ${EndIf}
    ${EndIf}
    IntOp $8 $4 - $5
    ${If} $8 > ${STOP_WAIT_MS}
      StrCpy $4 0
      Return
    ${EndIf}
    Sleep ${POLL_MS}
  ${Loop}
FunctionEnd

; Stops every instance that is not stopped and records it in StoppedStates.
; -> $R0 "" when all are stopped, else the number of the instance that did
; not stop ("scm" when the SCM could not be opened); the instances stopped
; before it are then started again.
Function ${un}StopInstances
  StrCpy $StoppedStates ""
  ${For} $R1 0 ${MAX_INSTANCES}
    StrCpy $StoppedStates "$StoppedStates "
  ${Next}
  StrCpy $R0 ""
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.r0'
  ${If} $0 P= 0
    StrCpy $R0 "scm"
    Return
  ${EndIf}
  StrCpy $ScmHandle $0
  ${For} $R1 1 ${MAX_INSTANCES}
    System::Call 'advapi32::OpenServiceW(p $ScmHandle, w "${SERVICE_BASE_NAME}$R1", i ${INSTANCE_RIGHTS}) p.r0'
    ${If} $0 P<> 0
      Call ${un}QueryInstance
      StrCpy $R2 "R"
      ${If} $1 = ${SERVICE_PAUSED}
      ${OrIf} $1 = ${SERVICE_PAUSE_PENDING}
        StrCpy $R2 "P"
      ${ElseIf} $1 = ${SERVICE_STOP_PENDING}
        StrCpy $R2 ""   ; already on its way down: it stays stopped
      ${EndIf}
      ${If} $1 <> ${SERVICE_STOPPED}
      ${AndIf} $1 <> 0
        ${Step} "Stopping ${SERVICE_BASE_NAME}$R1"
        Call ${un}StopInstance
        ${If} $4 = 0
          StrCpy $R0 $R1
        ${ElseIf} $R2 != ""
          IntOp $9 $R1 + 1
          StrCpy $8 $StoppedStates $R1
          StrCpy $9 $StoppedStates "" $9
          StrCpy $StoppedStates "$8$R2$9"
        ${EndIf}
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r0)'
      ${If} $R0 != ""
        ${Break}
      ${EndIf}
    ${EndIf}
  ${Next}
  System::Call 'advapi32::CloseServiceHandle(p $ScmHandle)'
  StrCpy $R1 ""   ; none failed to start again (RestartInstances lists them)
  ${If} $R0 != ""
    Push $R0
    Call ${un}RestartInstances
    Pop $R0
  ${EndIf}
FunctionEnd

; Starts the instances of StoppedStates again and pauses those that were
; paused. -> $R1 the numbers of those that did not get back to their state
; (" 3 5"), "" when all did.
Function ${un}RestartInstances
  StrCpy $R1 ""
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_CONNECT}) p.r0'
  ${If} $0 P= 0
    StrCpy $R1 " all"
    Return
  ${EndIf}
  StrCpy $ScmHandle $0
  ${For} $R2 1 ${MAX_INSTANCES}
    StrCpy $R5 $StoppedStates 1 $R2
    ${If} $R5 == ""
    ${OrIf} $R5 == " "
      ${Continue}
    ${EndIf}
    ${Step} "Starting ${SERVICE_BASE_NAME}$R2"
    System::Call 'advapi32::OpenServiceW(p $ScmHandle, w "${SERVICE_BASE_NAME}$R2", i ${INSTANCE_RIGHTS}) p.r0'
    ${If} $0 P= 0
      StrCpy $R1 "$R1 $R2"
      ${Continue}
    ${EndIf}
    System::Call 'advapi32::StartServiceW(p r0, i 0, p 0) i'
    System::Call 'kernel32::GetTickCount() i.r5'
    ${Do}
      Call ${un}QueryInstance
      System::Call 'kernel32::GetTickCount() i.r4'
      IntOp $8 $4 - $5
      ${If} $1 <> ${SERVICE_START_PENDING}
      ${OrIf} $8 > ${START_WAIT_MS}
        ${Break}
      ${EndIf}
      Sleep ${POLL_MS}
    ${Loop}
    ${If} $1 = ${SERVICE_RUNNING}
    ${AndIf} $R5 == "P"
      System::Alloc 28
      Pop $9
      System::Call 'advapi32::ControlService(p r0, i ${SERVICE_CONTROL_PAUSE}, p r9) i'
      System::Free $9
    ${ElseIf} $1 <> ${SERVICE_RUNNING}
      StrCpy $R1 "$R1 $R2"
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${Next}
  System::Call 'advapi32::CloseServiceHandle(p $ScmHandle)'
FunctionEnd

!macroend

!insertmacro _INSTANCE_FUNCTIONS ""
!insertmacro _INSTANCE_FUNCTIONS "un."
