; The Tallyline setup program. Built by tools/package.sh:
;   makensis -DVERSION_HEADER=<build>/generated/TallyVersion.h -DICON=<.ico>
;            -DSTAGE=<folder with the files to install> -DOUTFILE=<setup.exe>
; The version comes from the header CMake generates from project(VERSION).

Target amd64-unicode
SetCompressor /SOLID lzma

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
!define PROGRAM_FILES "tallysvc.exe client.exe README.txt LICENSE.txt"
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

!addincludedir "${__FILEDIR__}"
!include "Instances.nsh"

!macro _COMMON_FUNCTIONS un
; The services and HKLM need an administrator; say so instead of failing
; half-way.
Function ${un}RequireAdministrator
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "$(^Name) must be run by an administrator: it installs and removes the Tallyline services.$\r$\n$\r$\nStart it again with $\"Run as administrator$\"." /SD IDOK
    SetErrorLevel ${EXIT_NOT_ADMIN}
    Quit
  ${EndIf}
FunctionEnd

; $R0 from StopInstances -> a message and the end of the run.
Function ${un}ReportInstanceNotStopped
  ${If} $R0 == "scm"
    StrCpy $0 "The Service Control Manager could not be opened, so the Tallyline services cannot be stopped.$\r$\n$\r$\nNothing has been changed."
  ${Else}
    StrCpy $0 "The service ${SERVICE_BASE_NAME}$R0 (Tallyline ($R0)) did not stop.$\r$\n$\r$\nNothing has been changed, and the instances that were stopped run again. Stop the service in the Services console (or end tallysvc.exe in Task Manager) and run this program again."
  ${EndIf}
  MessageBox MB_OK|MB_ICONSTOP "$0" /SD IDOK
  SetErrorLevel 2
  Abort
FunctionEnd
!macroend
!insertmacro _COMMON_FUNCTIONS ""
!insertmacro _COMMON_FUNCTIONS "un."

Function .onInit
  SetShellVarContext all
  Call RequireAdministrator
  ReadRegStr $InstalledDir HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ; The services run the program in the installed folder: a second copy
  ; elsewhere would leave them on the old one.
  ${If} $InstalledDir != ""
  ${AndIf} $INSTDIR != $InstalledDir
    MessageBox MB_OK|MB_ICONSTOP "Tallyline is installed in $\"$InstalledDir$\" and is upgraded there.$\r$\n$\r$\nTo install it in $\"$INSTDIR$\" instead, uninstall it first; that removes the instances, their logs stay." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

Function SkipFolderOnUpgrade
  ${If} $InstalledDir != ""
    Abort
  ${EndIf}
FunctionEnd

; Moves the files this run moved aside back into the installation: those
; missing there. (One that OLD_DIR kept from an earlier run, a configuration
; program that was open then, has its name taken and stays.)
Function PutBackOldFiles
  ${ForEachProgramFile}
    ${IfNot} ${FileExists} "$INSTDIR\$R3"
      Rename "$INSTDIR\${OLD_DIR}\$R3" "$INSTDIR\$R3"
    ${EndIf}
  ${Loop}
FunctionEnd

; Undoes a part of the move of the new files: those already moved in go back
; to NEW_DIR.
Function TakeBackNewFiles
  ${ForEachProgramFile}
    ${IfNot} ${FileExists} "$INSTDIR\${NEW_DIR}\$R3"
      Rename "$INSTDIR\$R3" "$INSTDIR\${NEW_DIR}\$R3"
    ${EndIf}
  ${Loop}
FunctionEnd

; Replaces the installed files by those waiting in NEW_DIR, all or none.
; -> $R0 "" when done, else the path that could not be replaced.
Function ReplaceProgramFiles
  StrCpy $R0 ""
  CreateDirectory "$INSTDIR\${OLD_DIR}"
  ; Move the installed files aside. A service that has just stopped may
  ; hold its program for a moment longer: each file is tried for 5 s.
  ${ForEachProgramFile}
    ${IfNot} ${FileExists} "$INSTDIR\$R3"
      ${Continue}
    ${EndIf}
    Delete "$INSTDIR\${OLD_DIR}\$R3"
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
  RMDir "$INSTDIR\${NEW_DIR}"
  RMDir "$INSTDIR\${OLD_DIR}"
FunctionEnd
!macroend
!insertmacro _REMOVE_STAGING ""
!insertmacro _REMOVE_STAGING "un."

Section "Tallyline"
  ; The new files are unpacked while the instances still capture, so that
  ; they stand still only for the moves.
  SetOutPath "$INSTDIR\${NEW_DIR}"
  SetOverwrite on
  File "${STAGE}\tallysvc.exe"
  File "${STAGE}\client.exe"
  File "${STAGE}\README.txt"
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
    Call RemoveStaging
    RMDir "$INSTDIR"
    MessageBox MB_OK|MB_ICONSTOP "$\"$R0$\" could not be replaced: another program is using it.$\r$\n$\r$\nNothing has been changed, and the instances that were stopped run again. Close the program that uses the file (for instance Tallyline Configuration) and run Setup again." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  Call RestartInstances
  Call RemoveStaging
  ${If} $R1 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "Tallyline has been installed, but these instances did not start again:$R1.$\r$\n$\r$\nThe Application event log (Event Viewer) says why; start them again from Tallyline Configuration." /SD IDOK
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
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\client.exe,0"
  ; The installed files only (KB), not the logs an instance may keep here.
  SectionGetSize 0 $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetShellVarContext all
  Call un.RequireAdministrator
FunctionEnd

Section "Uninstall"
  ; A running instance would keep its service until it stops.
  Call un.StopInstances
  ${If} $R0 != ""
    Call un.ReportInstanceNotStopped
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\client.exe"
    DetailPrint "Removing the Tallyline services"
    ExecWait '"$INSTDIR\client.exe" /uninstall'
  ${EndIf}

  ; Only what Setup installed: log files (the first instance logs into this
  ; folder by default) stay, and with them the folder.
  ${un.ForEachProgramFile}
    Delete "$INSTDIR\$R3"
  ${Loop}
  Call un.RemoveStaging
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  Delete "${START_MENU_FOLDER}\${CONFIGURATION_LINK}"
  Delete "${START_MENU_FOLDER}\${UNINSTALL_LINK}"
  RMDir "${START_MENU_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
