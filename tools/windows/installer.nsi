; The one file a Windows user downloads, <product>MasterInstaller.exe: the brand's whole
; distribution folder, compressed. Started, it asks for administrator rights once, unpacks the
; folder into a private temporary folder, runs the installer from there with the file's own
; arguments (the channel), waits for it, ends with its exit status and removes the folder, which
; only administrators and the system may change.
; tools/windows/build.sh builds it per brand:
;   makensis -INPUTCHARSET UTF8 -DBRAND=<build>/installer.nsh -DDIST=<dist> -DOUTFILE=<file> \
;            -DPLUGINS=<folder with NSIS's System.dll> installer.nsi
Unicode true
Target amd64-unicode
; The plug-in this file carries (System, which makes the private folder) from the build's own
; folder, where the build signs it like every program and DLL the file holds.
!addplugindir /amd64-unicode "${PLUGINS}"
!include "${BRAND}"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
Icon "${ICON}"
; The installer itself needs administrator rights: asked here, once; it inherits them.
RequestExecutionLevel admin
ManifestSupportedOS all
ManifestDPIAware true
; No pages of its own: the installer's window is the first thing the user sees.
SilentInstall silent
; zlib rather than LZMA: a third larger, but it unpacks in well under half the time, and the user
; waits for the unpacking before the installer's first box.
SetCompressor /SOLID zlib

; Chinese unless the system speaks English, as the installer chooses.
LoadLanguageFile "${NSISDIR}\Contrib\Language files\SimpChinese.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
LangString unpackFailed ${LANG_SIMPCHINESE} "无法把安装程序解压到临时文件夹，请检查它的可用空间后重试。"
LangString unpackFailed ${LANG_ENGLISH} "The installer could not be unpacked into the temporary folder. Please check its free space and try again."
LangString startFailed ${LANG_SIMPCHINESE} "无法启动安装程序。"
LangString startFailed ${LANG_ENGLISH} "The installer could not be started."

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "${PRODUCT_NAME}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "InternalName" "${PRODUCT}MasterInstaller"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "OriginalFilename" "${PRODUCT}MasterInstaller.exe"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" ""

; The folder the installer is unpacked into and started from: only administrators and the system
; may change it (or read it). This file runs with administrator rights, the user's other programs
; without: none of them may replace the installer or a library in it, or add a library it would
; load, between the unpacking and the start. Administrators own it, and nothing is inherited from
; the temporary folder.
!define PRIVATE_FOLDER "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
Var folder
Var held

; Makes $folder, a new folder under the temporary folder, and holds it open until the end in
; $held: opened without sharing its deletion, it can be neither renamed nor replaced by another
; folder of its name. Sets the error flag when it cannot.
Function MakePrivateFolder
    StrCpy $held -1
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PRIVATE_FOLDER}", i 1, *p .r1, p 0) i .r0'
    ${If} $0 = 0
        SetErrors
        Return
    ${EndIf}
    ; SECURITY_ATTRIBUTES as 64-bit Windows lays it out: its length, padding, the descriptor,
    ; handles not inherited, padding.
    System::Call '*(i 24, i 0, p r1, i 0, i 0) p .r2'
    ; A new name: a folder that someone else made under it is never taken.
    StrCpy $3 0
    retry:
        System::Call 'ole32::CoCreateGuid(g .r4)'
        StrCpy $folder "$TEMP\kovra$4"
        System::Call 'kernel32::CreateDirectoryW(w "$folder", p r2) i .r0'
        IntOp $3 $3 + 1
        ${If} $0 = 0
        ${AndIf} $3 < 10
            Goto retry
        ${EndIf}
    System::Free $2
    System::Call 'kernel32::LocalFree(p r1)'
    ${If} $0 = 0
        SetErrors
        Return
    ${EndIf}
    ; FILE_READ_ATTRIBUTES, shared for reading and writing only, the folder itself even if it
    ; were a link (FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT).
    System::Call 'kernel32::CreateFileW(w "$folder", i 0x80, i 3, p 0, i 3, i 0x02200000, p 0) p .r0'
    StrCpy $held $0
    ${If} $held == -1
        RMDir "$folder"
        SetErrors
    ${EndIf}
FunctionEnd

Section
    ClearErrors
    Call MakePrivateFolder
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(unpackFailed)"
        SetErrorLevel 1
        Return
    ${EndIf}
    SetOutPath "$folder"
    File /r "${DIST}/*"
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(unpackFailed)"
        SetErrorLevel 1
        Goto done
    ${EndIf}
    ; Started from outside the folder: nothing the installer starts (the product, an earlier
    ; uninstaller) keeps it in use, so that it can be removed.
    SetOutPath "$TEMP"
    ${GetParameters} $0
    ClearErrors
    ExecWait '"$folder\kovraSetupOnline.exe" $0' $1
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(startFailed)"
        SetErrorLevel 1
    ${Else}
        SetErrorLevel $1
    ${EndIf}
    done:
    ; Removed whatever the outcome; the folder is let go first, or it could not be removed.
    System::Call 'kernel32::CloseHandle(p $held)'
    RMDir /r "$folder"
SectionEnd
