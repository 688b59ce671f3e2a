; The Tallyline setup program. Built by tools/package.sh:
;   makensis -DVERSION_HEADER=<build>/generated/TallyVersion.h -DICON=<.ico>
;            -DSTAGE=<folder with the files to install> -DOUTFILE=<setup.exe>
;            [-DSIGN_COMMAND=<command that signs the file named after it>]
; The version comes from the header CMake generates from project(VERSION).
;
; Command line (before /D=, which takes the rest of it): /S silent,
; /LOG=FILE every step and the text of every message into FILE,
; /CONFIG=FILE "client.exe /import FILE" once installed, /FORCE a silent
; downgrade. The uninstaller takes /S and /LOG=FILE.

Target amd64-unicode
SetCompressor /SOLID lzma

!include FileFunc.nsh
!include LogicLib.nsh
!include MUI2.nsh
!include WordFunc.nsh

!searchparse /file "${VERSION_HEADER}" '#define TALLY_VERSION_STRING "' VERSION '"'
!searchparse /file "${VERSION_HEADER}" '#define TALLY_COMPANY_NAME "' COMPANY '"'
!searchparse /file "${VERSION_HEADER}" '#define TALLY_COPYRIGHT "' COPYRIGHT '"'

!define PRODUCT "Tallyline"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tallyline"
!define START_MENU_FOLDER "$SMPROGRAMS\Tallyline"
!define CONFIGURATION_LINK "Tallyline Configuration.lnk"
!define UNINSTALL_LINK "Uninstall Tallyline.lnk"
; What an installation consists of; log files are never among them.
!define PROGRAM_FILES "tallysvc.exe client.exe README.txt ADMIN-GUIDE.txt REFERENCE.txt LICENSE.txt"
; ${ForEachProgramFile} ... ${Loop}: once for each of them, the name in $R3
; ($R2 counts).
!macro _FOR_EACH_PROGRAM_FILE un
  StrCpy $R2 1
  ${Do}
    ClearErrors
    ${${un}WordFind} "${PROGRAM_FILES}" " " "E+$R2" $R3
    ${IfThen} ${Errors} ${|} ${Break} ${|}
    IntOp $R2 $R2 + 1
!macroend
!define ForEachProgramFile `!insertmacro _FOR_EACH_PROGRAM_FILE ""`
!define un.ForEachProgramFile `!insertmacro _FOR_EACH_PROGRAM_FILE "un."`
; Beside the installed files during an upgrade: the new files wait in NEW_DIR
; while the instances still run; the replaced ones go to OLD_DIR, so that
; they can be put back if one of them cannot be moved.
!define NEW_DIR "~setup-new"
!define OLD_DIR "~setup-old"
; Exit codes of a silent run besides 0 (done) and 2 (ended by a message).
!define EXIT_NOT_ADMIN 740
!define EXIT_NOT_RESTARTED 3
!define EXIT_ANOTHER_SETUP 4
!define EXIT_HALF_CHANGED 5
!define EXIT_NOT_CONFIGURED 6
; Held while a setup or uninstaller runs: two at once would stop and swap
; the same files and services.
!define SETUP_MUTEX "Global\TallylineSetup"
; Administrators and SYSTEM full control, Users read and execute, nothing
; inherited from above (client/instances/ProgramFolder.h gives a folder the
; same): the services run this folder's program as LocalSystem.
!define PROTECTED_FOLDER_SDDL "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
; Where the MSI package records its installation; a machine has one or the
; other.
!define MSI_KEY "Software\Tallyline"
; The folder the uninstaller's cleanup copy runs from: SYSTEM and the
; Administrators only, nothing inherited from the temporary folder (where
; every user may create files).
!define CLEANUP_FOLDER_SDDL "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tallyline"
; An upgrade goes where the installed version is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ManifestDPIAware true
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COPYRIGHT}"

Var InstalledDir
Var InstalledVersion
Var ConfigFile
Var LogFile

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipFolderOnUpgrade
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\client.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Tallyline Configuration"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!ifdef SIGN_COMMAND
!finalize '${SIGN_COMMAND} "%1"'
!uninstfinalize '${SIGN_COMMAND} "%1"'
!endif

; ${Log} "text": a line in the /LOG file. ${Step} "text": also in the
; details. ${Message} flags "text": a message box (its default answer when
; silent), its text logged first.
!macro _LOG text
  Push "${text}"
  !ifdef __UNINSTALL__
    Call un.WriteLog
  !else
    Call WriteLog
  !endif
!macroend
!define Log `!insertmacro _LOG`
!macro _STEP text
  DetailPrint "${text}"
  ${Log} "${text}"
!macroend
!define Step `!insertmacro _STEP`
!macro _MESSAGE flags text
  ${Log} "Message: ${text}"
  MessageBox ${flags} "${text}" /SD IDOK
!macroend
!define Message `!insertmacro _MESSAGE`

!addincludedir "${__FILEDIR__}"
!include "Instances.nsh"

!macro _COMMON_FUNCTIONS un
; Appends the text on the stack, and a line break, to the /LOG file.
Function ${un}WriteLog
  Exch $0
  ${If} $LogFile != ""
    FileWrite $LogFile "$0$\r$\n"
  ${EndIf}
  Pop $0
FunctionEnd

; Reads /LOG=FILE and opens FILE (appending), before anything is logged.
Function ${un}OpenLog
  ${${un}GetParameters} $R0
  ClearErrors
  ${${un}GetOptions} $R0 "/LOG=" $R1
  ${IfNot} ${Errors}
    FileOpen $LogFile "$R1" a
    ${If} ${Errors}
      StrCpy $LogFile ""
    ${Else}
      FileSeek $LogFile 0 END
    ${EndIf}
  ${EndIf}
  ${Log} "$(^Name) ${VERSION}: $CMDLINE"
FunctionEnd

; The services and HKLM need an administrator; say so instead of failing
; half-way.
Function ${un}RequireAdministrator
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    ${Message} MB_OK|MB_ICONSTOP "$(^Name) must be run by an administrator: it installs and removes the Tallyline services.$\r$\n$\r$\nStart it again with $\"Run as administrator$\"."
    SetErrorLevel ${EXIT_NOT_ADMIN}
    Quit
  ${EndIf}
FunctionEnd

; One setup or uninstaller at a time: the mutex is held until the process
; ends.
Function ${un}TakeSetupMutex
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p .r1 ?e'
  Pop $0
  ${If} $1 P= 0
  ${OrIf} $0 = 183   ; ERROR_ALREADY_EXISTS
    ${Message} MB_OK|MB_ICONSTOP "Another Tallyline setup or uninstaller is running on this machine.$\r$\n$\r$\nNothing has been changed. Wait until it has finished, then run this program again."
    SetErrorLevel ${EXIT_ANOTHER_SETUP}
    Quit
  ${EndIf}
FunctionEnd

; $R1 from RestartInstances -> what became of the instances that were
; stopped, as a sentence for a message.
Function ${un}DescribeRestart
  ${If} $R1 == ""
    StrCpy $R8 "The instances that were stopped run again."
  ${Else}
    StrCpy $R8 "These instances were stopped and did not start again:$R1."
  ${EndIf}
FunctionEnd

; $R0 from StopInstances -> a message and the end of the run.
Function ${un}ReportInstanceNotStopped
  Call ${un}DescribeRestart
  ${If} $R0 == "scm"
    StrCpy $0 "The Service Control Manager could not be opened, so the Tallyline services cannot be stopped.$\r$\n$\r$\nNothing has been changed."
  ${Else}
    StrCpy $0 "The service ${SERVICE_BASE_NAME}$R0 (Tallyline ($R0)) did not stop.$\r$\n$\r$\nNothing else has been changed. $R8 Stop the service in the Services console (or end tallysvc.exe in Task Manager) and run this program again."
  ${EndIf}
  ${Message} MB_OK|MB_ICONSTOP "$0"
  SetErrorLevel 2
  Abort
FunctionEnd
!macroend
!insertmacro _COMMON_FUNCTIONS ""
!insertmacro _COMMON_FUNCTIONS "un."

; Ends the run before anything is changed: the message, exit code 2.
!macro _REFUSE text
  ${Message} MB_OK|MB_ICONSTOP "${text}"
  SetErrorLevel 2
  Quit
!macroend
!define Refuse `!insertmacro _REFUSE`

Function .onInit
  SetShellVarContext all
  Call OpenLog
  Call RequireAdministrator
  Call TakeSetupMutex
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/CONFIG=" $R1
  ${IfNot} ${Errors}
    ; Now, while the current folder is still the caller's.
    System::Call 'kernel32::GetFullPathNameW(w R1, i ${NSIS_MAX_STRLEN}, w .r2, p 0) i .r3'
    StrCpy $ConfigFile $2
    ${If} $3 = 0
    ${OrIfNot} ${FileExists} $ConfigFile
      ${Refuse} "The configuration file $\"$R1$\" does not exist.$\r$\n$\r$\nNothing has been changed."
    ${EndIf}
  ${EndIf}
  ReadRegStr $0 HKLM "${MSI_KEY}" "MsiProductCode"
  ${If} $0 != ""
    ${Refuse} "Tallyline is installed from its Windows Installer package (Tallyline-<version>-x64.msi).$\r$\n$\r$\nNothing has been changed. Upgrade it with the package of the new version, or uninstall it first."
  ${EndIf}
  ReadRegStr $InstalledDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $InstalledVersion HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ; The services run the program in the installed folder: a second copy
  ; elsewhere would leave them on the old one.
  ${If} $InstalledDir != ""
  ${AndIf} $INSTDIR != $InstalledDir
    ${Refuse} "Tallyline is installed in $\"$InstalledDir$\" and is upgraded there.$\r$\n$\r$\nTo install it in $\"$INSTDIR$\" instead, uninstall it first; that removes the instances, their logs stay."
  ${EndIf}
  ${If} $InstalledVersion != ""
    ${VersionCompare} $InstalledVersion ${VERSION} $0
    ClearErrors
    ${GetOptions} $R0 "/FORCE" $1
    ${If} $0 = 1
    ${AndIf} ${Errors}
      ${If} ${Silent}
        ${Refuse} "Tallyline $InstalledVersion is installed, a newer version than this setup's ${VERSION}.$\r$\n$\r$\nNothing has been changed. To install ${VERSION} in its place unattended, add /FORCE to the command line."
      ${EndIf}
      ${Log} "Question: Tallyline $InstalledVersion is installed, a newer version than ${VERSION}. Install ${VERSION} in its place?"
      MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "Tallyline $InstalledVersion is installed, a newer version than this setup's ${VERSION}.$\r$\n$\r$\nInstall ${VERSION} in its place? The instances and their settings stay." IDYES downgrade
      ${Log} "Answer: No"
      SetErrorLevel 2
      Quit
      downgrade:
      ${Log} "Answer: Yes"
    ${EndIf}
  ${EndIf}
FunctionEnd

; The last line of the /LOG file: the exit code the run ends with.
!macro _LOG_EXIT_CODE un
Function ${un}LogExitCode
  GetErrorLevel $0
  ${IfThen} $0 = -1 ${|} StrCpy $0 0 ${|}   ; none set
  ${Log} "Exit code $0"
FunctionEnd
!macroend
!insertmacro _LOG_EXIT_CODE ""
!insertmacro _LOG_EXIT_CODE "un."

Function .onInstSuccess
  Call LogExitCode
FunctionEnd

Function .onInstFailed
  Call LogExitCode
FunctionEnd

; Gives $INSTDIR PROTECTED_FOLDER_SDDL. -> $0 0 when done, else the error.
Function ProtectInstallFolder
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PROTECTED_FOLDER_SDDL}", i 1, *p .r1, p 0) i .r0 ?e'
  Pop $2
  ${If} $0 = 0
    StrCpy $0 $2
    Return
  ${EndIf}
  System::Call 'advapi32::GetSecurityDescriptorOwner(p r1, *p .r2, *i .r4) i'
  System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r4, *p .r3, *i .r4) i'
  ; OWNER | DACL | PROTECTED_DACL
  System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR", i 1, i 0x80000005, p r2, p 0, p r3, p 0) i .r0'
  System::Call 'kernel32::LocalFree(p r1)'
FunctionEnd

Function SkipFolderOnUpgrade
  ${If} $InstalledDir != ""
    Abort
  ${EndIf}
FunctionEnd

; Moves the files this run moved aside back into the installation: those
; missing there. -> $R6 gains a line for each that stays missing.
Function PutBackOldFiles
  ${ForEachProgramFile}
    ${IfNot} ${FileExists} "$INSTDIR\$R3"
    ${AndIf} ${FileExists} "$INSTDIR\${OLD_DIR}\$R3"
      ClearErrors
      Rename "$INSTDIR\${OLD_DIR}\$R3" "$INSTDIR\$R3"
      ${If} ${Errors}
        StrCpy $R6 "$R6$\r$\n$INSTDIR\$R3 is missing: its earlier version is in $INSTDIR\${OLD_DIR}."
      ${EndIf}
    ${EndIf}
  ${Loop}
FunctionEnd

; Undoes a part of the move of the new files: those already moved in go back
; to NEW_DIR. -> $R6 gains a line for each that stays.
Function TakeBackNewFiles
  ${ForEachProgramFile}
    ${IfNot} ${FileExists} "$INSTDIR\${NEW_DIR}\$R3"
      ClearErrors
      Rename "$INSTDIR\$R3" "$INSTDIR\${NEW_DIR}\$R3"
      ${If} ${Errors}
        StrCpy $R6 "$R6$\r$\n$INSTDIR\$R3 is already of version ${VERSION}."
      ${EndIf}
    ${EndIf}
  ${Loop}
FunctionEnd

; Frees the names in OLD_DIR for this run. A file an earlier run left there
; (a configuration program that was still open) is deleted, or, while it
; still runs, renamed aside: a running program can be renamed, not deleted.
Function ClearOldFiles
  CreateDirectory "$INSTDIR\${OLD_DIR}"
  ${ForEachProgramFile}
    Delete "$INSTDIR\${OLD_DIR}\$R3"
    ${If} ${FileExists} "$INSTDIR\${OLD_DIR}\$R3"
      System::Call 'kernel32::GetTickCount() i.r0'
      Rename "$INSTDIR\${OLD_DIR}\$R3" "$INSTDIR\${OLD_DIR}\$R3.$0.old"
    ${EndIf}
  ${Loop}
FunctionEnd

; Replaces the installed files by those waiting in NEW_DIR, all or none.
; -> $R0 "" when done, else the path that could not be replaced; then $R6
; lists what the undoing could not put back ("" when everything is as it
; was).
Function ReplaceProgramFiles
  StrCpy $R0 ""
  StrCpy $R6 ""
  Call ClearOldFiles
  ; Move the installed files aside. A service that has just stopped may
  ; hold its program for a moment longer: each file is tried for 5 s.
  ${ForEachProgramFile}
    ${IfNot} ${FileExists} "$INSTDIR\$R3"
      ${Continue}
    ${EndIf}
    ${Step} "Moving aside $INSTDIR\$R3"
    StrCpy $R5 0
    ${For} $R4 1 20
      ClearErrors
      Rename "$INSTDIR\$R3" "$INSTDIR\${OLD_DIR}\$R3"
      ${IfNot} ${Errors}
        StrCpy $R5 1
        ${Break}
      ${EndIf}
      Sleep 250
    ${Next}
    ${If} $R5 = 0
      StrCpy $R0 "$INSTDIR\$R3"
      Call PutBackOldFiles
      Return
    ${EndIf}
  ${Loop}
  ; The names are free now: move the new files in.
  ${ForEachProgramFile}
    ${Step} "Installing $INSTDIR\$R3"
    ClearErrors
    Rename "$INSTDIR\${NEW_DIR}\$R3" "$INSTDIR\$R3"
    ${If} ${Errors}
      StrCpy $R0 "$INSTDIR\$R3"
      Call TakeBackNewFiles
      Call PutBackOldFiles
      Return
    ${EndIf}
  ${Loop}
FunctionEnd

; Removes the staging folders; a replaced client.exe that is still open
; stays in OLD_DIR until the next upgrade or the uninstall.
!macro _REMOVE_STAGING un
Function ${un}RemoveStaging
  ${${un}ForEachProgramFile}
    Delete "$INSTDIR\${NEW_DIR}\$R3"
    Delete "$INSTDIR\${OLD_DIR}\$R3"
  ${Loop}
  Delete "$INSTDIR\${OLD_DIR}\*.old"
  RMDir "$INSTDIR\${NEW_DIR}"
  RMDir "$INSTDIR\${OLD_DIR}"
FunctionEnd
!macroend
!insertmacro _REMOVE_STAGING ""
!insertmacro _REMOVE_STAGING "un."

; /CONFIG: "client.exe /import FILE" with the new files in place. A failure
; is reported and ends the run with EXIT_NOT_CONFIGURED; the installation goes
; on.
Function ImportConfiguration
  ${If} $ConfigFile == ""
    Return
  ${EndIf}
  ${Step} "Importing $ConfigFile"
  nsExec::ExecToStack '"$INSTDIR\client.exe" /import "$ConfigFile"'
  Pop $0
  Pop $1
  ${Log} "client.exe /import: exit code $0$\r$\n$1"
  ${If} $0 != 0
    ${Message} MB_OK|MB_ICONSTOP "Tallyline has been installed, but the configuration in $\"$ConfigFile$\" was not imported: Tallyline Configuration ended with exit code $0.$\r$\n$\r$\n$1"
    SetErrorLevel ${EXIT_NOT_CONFIGURED}
  ${EndIf}
FunctionEnd

Section "Tallyline"
  ${Step} "Installing Tallyline ${VERSION} in $INSTDIR"
  ; The whole drive's permissions would change with the folder's.
  StrLen $0 $INSTDIR
  ${If} $0 <= 3
    ${Message} MB_OK|MB_ICONSTOP "Tallyline cannot be installed in the root of a drive ($INSTDIR).$\r$\n$\r$\nNothing has been changed. Choose a folder such as $PROGRAMFILES64\Tallyline."
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; Before anything is put in it, so that all it holds inherits the DACL.
  CreateDirectory "$INSTDIR"
  Call ProtectInstallFolder
  ${If} $0 <> 0
    RMDir "$INSTDIR"
    ${Message} MB_OK|MB_ICONSTOP "The permissions of $\"$INSTDIR$\" could not be restricted to administrators (error $0). The Tallyline services run their program from there as LocalSystem.$\r$\n$\r$\nNothing has been changed."
    SetErrorLevel 2
    Abort
  ${EndIf}
  ${Step} "Restricted the permissions of $INSTDIR to administrators"
  ; The new files are unpacked while the instances still capture, so that
  ; they stand still only for the moves.
  ${Step} "Unpacking the new files into $INSTDIR\${NEW_DIR}"
  SetOutPath "$INSTDIR\${NEW_DIR}"
  SetOverwrite on
  File "${STAGE}\tallysvc.exe"
  File "${STAGE}\client.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\ADMIN-GUIDE.txt"
  File "${STAGE}\REFERENCE.txt"
  File "${STAGE}\LICENSE.txt"
  SetOutPath "$INSTDIR"

  Call StopInstances
  ${If} $R0 != ""
    Call RemoveStaging
    RMDir "$INSTDIR"
    Call ReportInstanceNotStopped
  ${EndIf}
  Call ReplaceProgramFiles
  ${If} $R0 != ""
    Call RestartInstances
    Call DescribeRestart
    ${If} $R6 == ""
      Call RemoveStaging
      RMDir "$INSTDIR"
      ${Message} MB_OK|MB_ICONSTOP "$\"$R0$\" could not be replaced: another program is using it.$\r$\n$\r$\nNothing else has been changed. $R8 Close the program that uses the file (for instance Tallyline Configuration) and run Setup again."
      SetErrorLevel 2
    ${Else}
      ; The staging folders keep what could not be put back.
      ${Message} MB_OK|MB_ICONSTOP "$\"$R0$\" could not be replaced: another program is using it, and Setup could not put everything back as it was:$R6$\r$\n$\r$\n$R8 Close the programs that use these files and run Setup again: it completes the installation."
      SetErrorLevel ${EXIT_HALF_CHANGED}
    ${EndIf}
    Abort
  ${EndIf}
  ; Before the instances start again, so that they start with the imported
  ; values.
  Call ImportConfiguration
  ; Instances registered from another folder (a zip deployment) would go on
  ; running the old copy: the new configuration program points them here.
  ${Step} "Pointing the instances at $INSTDIR\tallysvc.exe"
  nsExec::ExecToStack '"$INSTDIR\client.exe" /start-instances'
  Pop $R7
  Pop $R9
  ${Log} "client.exe /start-instances: exit code $R7 $R9"
  Call RestartInstances
  Call RemoveStaging
  ${If} $R7 != 0
    ${Message} MB_OK|MB_ICONEXCLAMATION "Tallyline has been installed, but not every instance could be pointed at $INSTDIR\tallysvc.exe:$\r$\n$\r$\n$R9"
    SetErrorLevel ${EXIT_NOT_RESTARTED}
  ${EndIf}
  ${If} $R1 != ""
    ${Message} MB_OK|MB_ICONEXCLAMATION "Tallyline has been installed, but these instances did not start again:$R1.$\r$\n$\r$\nThe Application event log (Event Viewer) says why; start them again from Tallyline Configuration."
    SetErrorLevel ${EXIT_NOT_RESTARTED}
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "${START_MENU_FOLDER}"
  CreateShortcut "${START_MENU_FOLDER}\${CONFIGURATION_LINK}" "$INSTDIR\client.exe"
  CreateShortcut "${START_MENU_FOLDER}\${UNINSTALL_LINK}" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  ; In place (_?=): otherwise the uninstaller copies itself away, and the
  ; caller sees exit code 0 before any work is done.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\client.exe,0"
  ; The installed files only (KB), not the logs an instance may keep here.
  SectionGetSize 0 $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${Step} "Wrote the uninstaller, the Start-menu folder and the entry in the list of installed programs"
SectionEnd

Function un.onInit
  SetShellVarContext all
  ; The copy that removes uninstall.exe after an uninstall run in place.
  ${un.GetParameters} $R0
  ClearErrors
  ${un.GetOptions} $R0 "/CLEANUP=" $R1
  ${IfNot} ${Errors}
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i R1) p .r0'   ; SYNCHRONIZE
    ${If} $0 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r0, i 60000) i'
      System::Call 'kernel32::CloseHandle(p r0)'
    ${EndIf}
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete /REBOOTOK "$EXEPATH"
    RMDir /REBOOTOK "$EXEDIR"
    SetErrorLevel 0
    Quit
  ${EndIf}
  Call un.OpenLog
  Call un.RequireAdministrator
  Call un.TakeSetupMutex
FunctionEnd

; Makes a new folder in the temporary folder with CLEANUP_FOLDER_SDDL, under a
; name no other run uses (one that exists already is not taken). -> $1 its
; path, "" when none could be made.
Function un.MakeCleanupFolder
  StrCpy $1 ""
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${CLEANUP_FOLDER_SDDL}", i 1, *p .r2, p 0) i .r3'
  ${If} $3 = 0
    Return
  ${EndIf}
  ; SECURITY_ATTRIBUTES: length, (padding), descriptor, not inherited.
  System::Call '*(i 24, i 0, p r2, i 0, i 0) p .r4'
  System::Call 'kernel32::GetTickCount() i .r5'
  StrCpy $6 "$TEMP\Tallyline-uninstall-$0-$5"
  System::Call 'kernel32::CreateDirectoryW(w r6, p r4) i .r3'
  ${If} $3 <> 0
    StrCpy $1 $6
  ${EndIf}
  System::Free $4
  System::Call 'kernel32::LocalFree(p r2)'
FunctionEnd

Function un.onUninstSuccess
  Call un.LogExitCode
FunctionEnd

Function un.onUninstFailed
  Call un.LogExitCode
FunctionEnd

Section "Uninstall"
  ${Step} "Uninstalling Tallyline ${VERSION} from $INSTDIR"
  ; A running instance would keep its service until it stops.
  Call un.StopInstances
  ${If} $R0 != ""
    Call un.ReportInstanceNotStopped
  ${EndIf}
  ; Without client.exe the services could not be removed, and deleting the
  ; program they run would leave LocalSystem services pointing at a file
  ; that could be made again: the uninstaller stops instead.
  ${Step} "Removing the Tallyline services"
  ClearErrors
  ${If} ${FileExists} "$INSTDIR\client.exe"
    ExecWait '"$INSTDIR\client.exe" /uninstall' $0
    ${If} ${Errors}
      StrCpy $0 "(not started)"
    ${EndIf}
  ${Else}
    StrCpy $0 "(missing)"
  ${EndIf}
  ${If} $0 != 0
    Call un.RestartInstances
    Call un.DescribeRestart
    StrCpy $1 "The uninstaller has stopped: the program files, the Start-menu folder and the entry in the list of installed programs stay, so that the services still have their program. $R8"
    ${If} $0 == "(missing)"
      ${Message} MB_OK|MB_ICONSTOP "The Tallyline services cannot be removed: $\"$INSTDIR\client.exe$\", which removes them, is missing.$\r$\n$\r$\n$1 Run the setup program of Tallyline ${VERSION} to put the missing file back, then uninstall again."
    ${Else}
      ${Message} MB_OK|MB_ICONSTOP "Not every Tallyline service could be removed: $\"$INSTDIR\client.exe$\" /uninstall ended with exit code $0.$\r$\n$\r$\n$1 Remove the remaining instances in Tallyline Configuration (Edit, Delete, then File, Save Settings) and uninstall again."
    ${EndIf}
    SetErrorLevel 2
    Abort
  ${EndIf}

  ; Only what Setup installed: log files (the first instance logs into this
  ; folder by default) stay, and with them the folder.
  ${un.ForEachProgramFile}
    Delete "$INSTDIR\$R3"
  ${Loop}
  Call un.RemoveStaging
  ${If} $EXEDIR == $INSTDIR
    ; Run in place (_?=), so that its caller can wait for its end: it cannot
    ; delete itself. A copy does, once it has ended. Deployment tools run
    ; this as SYSTEM, whose temporary folder every user may write into: the
    ; copy goes into a folder made for it, under a name of its own, with
    ; permissions for SYSTEM and the Administrators alone from the moment it
    ; exists, and runs only when the copy succeeded. Without it uninstall.exe
    ; goes at the next restart.
    System::Call 'kernel32::GetCurrentProcessId() i .r0'
    Call un.MakeCleanupFolder
    ClearErrors
    ${If} $1 != ""
      CopyFiles /SILENT "$EXEPATH" "$1\uninstall.exe"
    ${EndIf}
    ${If} $1 != ""
    ${AndIfNot} ${Errors}
      Exec '"$1\uninstall.exe" /CLEANUP=$0 _?=$INSTDIR'
    ${Else}
      ${Log} "No copy of the uninstaller could be made in $TEMP: $INSTDIR\uninstall.exe is deleted at the next restart"
      ${If} $1 != ""
        RMDir "$1"
      ${EndIf}
      Delete /REBOOTOK "$INSTDIR\uninstall.exe"
      RMDir /REBOOTOK "$INSTDIR"
    ${EndIf}
  ${Else}
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
  ${EndIf}

  Delete "${START_MENU_FOLDER}\${CONFIGURATION_LINK}"
  Delete "${START_MENU_FOLDER}\${UNINSTALL_LINK}"
  RMDir "${START_MENU_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${Step} "Removed the program files, the Start-menu folder and the entry in the list of installed programs"
SectionEnd
