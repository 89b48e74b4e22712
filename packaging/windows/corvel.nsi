; The Windows installer of Corvel, made with makensis on any system:
;   makensis -DVERSION=0.6 -DVERSION4=0.6.0.0 -DEXE=corvel.exe -DOUTFILE=corvel-setup.exe corvel.nsi
;
; Corvel is installed for the current user only, with no administrator
; rights, into %LOCALAPPDATA%\Programs\Corvel. Its Start-menu shortcut starts
; it in the user's data folder %APPDATA%\Corvel, where it keeps the accounts
; and the seen-message files: installing, upgrading and uninstalling never
; touch that folder nor the settings under HKCU\Software\qor\Corvel, unless
; the user ticks "Remove my accounts" in the uninstaller.
;
; Silent use: corvel-setup.exe /S [/STARTWITHWINDOWS]; uninstall.exe /S
; [/REMOVEACCOUNTS]. A silent upgrade keeps a "Start with Windows" entry that
; is there.

Unicode true
ManifestDPIAware true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Corvel"
!define PUBLISHER "The Corvel developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Corvel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "qor Corvel"
!define SETTINGS_KEY "Software\qor\Corvel"
!define WINDOW_CLASS "CorvelMainWindow"
!define DATA "$APPDATA\Corvel"
!define SHORTCUT "$SMPROGRAMS\Corvel.lnk"

Name "${PRODUCT}"
Caption "Corvel ${VERSION} Setup"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Corvel"
BrandingText "Corvel ${VERSION}"

Var StartWithWindows
Var StartBox
Var RemoveAccounts
Var RemoveBox

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start Corvel now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartCorvel
!define MUI_WELCOMEPAGE_TEXT "Setup installs Corvel ${VERSION} for you alone, with no administrator \
  rights.$\r$\n$\r$\nYour accounts and settings from an earlier installation are kept.\
  $\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME
Page custom StartPage StartPageLeave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
UninstPage custom un.RemovePage un.RemovePageLeave
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Corvel!"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "qor"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Corvel! setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; The value the program itself writes for "Start with Windows": the program
; started in the tray, in the data folder.
!macro WriteRunValue
  WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\corvel.exe" --MINIMIZE --dir "${DATA}"'
!macroend

; A running Corvel holds its program file: it must end first.
!macro WaitForCorvelToEnd un
  Function ${un}WaitForCorvelToEnd
    ${Do}
      FindWindow $0 "${WINDOW_CLASS}"
      ${If} $0 == 0
        Return
      ${EndIf}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "Corvel is running. End it with $\"Exit$\" in its tray icon's menu, then click Retry." \
        /SD IDCANCEL IDRETRY +2
      Abort
    ${Loop}
  FunctionEnd
!macroend
!insertmacro WaitForCorvelToEnd ""
!insertmacro WaitForCorvelToEnd "un."

Function .onInit
  ; Ticked when the entry is there (an upgrade keeps the user's choice), or
  ; when a silent installation asks for it.
  StrCpy $StartWithWindows ${BST_UNCHECKED}
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${If} $0 != ""
    StrCpy $StartWithWindows ${BST_CHECKED}
  ${EndIf}
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/STARTWITHWINDOWS" $2
  ${IfNot} ${Errors}
    StrCpy $StartWithWindows ${BST_CHECKED}
  ${EndIf}
FunctionEnd

Function StartPage
  !insertmacro MUI_HEADER_TEXT "Start with Windows" "Corvel can start in the tray when you log on."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "Corvel keeps your accounts and seen-message files in ${DATA}. \
    Installing, upgrading and uninstalling keep them."
  Pop $0
  ${NSD_CreateCheckbox} 0 48u 100% 12u "Start with Windows"
  Pop $StartBox
  ${NSD_SetState} $StartBox $StartWithWindows
  nsDialogs::Show
FunctionEnd

Function StartPageLeave
  ${NSD_GetState} $StartBox $StartWithWindows
FunctionEnd

Function StartCorvel
  ; As the shortcut starts it: in the data folder.
  SetOutPath "${DATA}"
  Exec '"$INSTDIR\corvel.exe"'
FunctionEnd

Section "Corvel"
  Call WaitForCorvelToEnd
  SetOutPath "$INSTDIR"
  File "/oname=corvel.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The data folder is the shortcut's working folder; an upgrade finds it
  ; as it was.
  CreateDirectory "${DATA}"
  SetOutPath "${DATA}"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\corvel.exe" "" "$INSTDIR\corvel.exe" 0 \
    SW_SHOWNORMAL "" "Tells you when new mail arrives in your POP3 and IMAP mailboxes"

  ${If} $StartWithWindows == ${BST_CHECKED}
    !insertmacro WriteRunValue
  ${Else}
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}

  ; "Apps & features", for the current user.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Corvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\corvel.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  StrCpy $RemoveAccounts ${BST_UNCHECKED}
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/REMOVEACCOUNTS" $2
  ${IfNot} ${Errors}
    StrCpy $RemoveAccounts ${BST_CHECKED}
  ${EndIf}
FunctionEnd

Function un.RemovePage
  !insertmacro MUI_HEADER_TEXT "Uninstall Corvel" "Corvel will be removed from this computer."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 36u "Your accounts, seen-message files (in ${DATA}) and settings \
    stay, for a later installation of Corvel, unless you tick the box."
  Pop $0
  ${NSD_CreateCheckbox} 0 48u 100% 12u "Remove my accounts"
  Pop $RemoveBox
  ${NSD_SetState} $RemoveBox $RemoveAccounts
  nsDialogs::Show
FunctionEnd

Function un.RemovePageLeave
  ${NSD_GetState} $RemoveBox $RemoveAccounts
FunctionEnd

Section "Uninstall"
  Call un.WaitForCorvelToEnd
  Delete "${SHORTCUT}"
  DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  Delete "$INSTDIR\corvel.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${If} $RemoveAccounts == ${BST_CHECKED}
    RMDir /r "${DATA}"
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\qor"
  ${EndIf}
SectionEnd
