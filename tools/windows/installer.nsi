; The one file a Windows user downloads, <product>MasterInstaller.exe: the brand's whole
; distribution folder, compressed. Started, it asks for administrator rights once, unpacks the
; folder into a private temporary folder, runs the installer from there with the file's own
; arguments (the channel), waits for it, ends with its exit status and removes the folder.
; tools/windows/build.sh builds it per brand:
;   makensis -INPUTCHARSET UTF8 -DBRAND=<build>/installer.nsh -DDIST=<dist> -DOUTFILE=<file> \
;            installer.nsi
Unicode true
Target amd64-unicode
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

Section
    ; A folder of this run's own under the temporary folder: a new, unique name, removed when
    ; this program ends.
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    ClearErrors
    File /r "${DIST}/*"
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(unpackFailed)"
        SetErrorLevel 1
        Return
    ${EndIf}
    ; Started from outside the folder: nothing the installer starts (the product, an earlier
    ; uninstaller) keeps it in use, so that it can be removed.
    SetOutPath "$TEMP"
    ${GetParameters} $0
    ClearErrors
    ExecWait '"$PLUGINSDIR\kovraSetupOnline.exe" $0' $1
    ${If} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(startFailed)"
        SetErrorLevel 1
    ${Else}
        SetErrorLevel $1
    ${EndIf}
SectionEnd
